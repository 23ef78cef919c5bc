// Manager object: creation with the automatic start, the start/stop actions of both sides, the
// shut-down, and the main timer that hosts the reconnection and audit halves.
// Control thread only.
#include "hosting/untTelvane.h"

#include <exception>

#include "base/untMessage.h"
#include "base/untVariables.h"
#include "controller/untValidate.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "pipeline/untStageWake.h"
#include "platform/untControlLoop.h"

std::atomic<TfrmTelvane*> frmTelvane{nullptr};

namespace {

void LogError(const char* sOperation, const std::exception& e, int nTarget = LOG_TARGET_MAIN) {
  LogOperationError("TfrmTelvane", sOperation, e.what(), nTarget);
}

}  // namespace

TfrmTelvane::TfrmTelvane(bool bWindowModeIn) : bWindowMode(bWindowModeIn) {
  // Registered before the creation logic runs, so its log lines already find the window.
  if (bWindowMode) {
    frmTelvane = this;
    RegisterDisplaySink(this);
  }
  FormCreate();
  // After the automatic start, so the first gauges already see both sides starting.
  pMetrics = StartMetricsServer(&MyDeskService.socManagerServer);
  pWeb = StartWebServer(pMetrics ? pMetrics->Context() : nullptr);
}

TfrmTelvane::~TfrmTelvane() {
  pWeb.reset();      // before the metrics endpoint, whose listener it may share
  pMetrics.reset();  // its timer and HTTP threads end before anything they read goes
  tmrMain.SetEnabled(false);
  // The link goes with the manager object; the controller must not reach it afterwards. The desk
  // service goes too, and with it the listener, which raises no event as it closes.
  if (MyValidate != nullptr) MyValidate->AttachExchangeLink(nullptr);
  if (MyValidate != nullptr) MyValidate->AttachDeskService(nullptr);
  UnregisterDisplaySink(this);
  TfrmTelvane* pSelf = this;
  frmTelvane.compare_exchange_strong(pSelf, nullptr);
}

void TfrmTelvane::FormCreate() {
  try {
    TDisplayModel& d = MyDisplay;
    // 1. The configuration in use.
    d.SetText(CTL_TXT_SERVER_IP, MyConfigInfo.sServerIP);
    d.SetText(CTL_TXT_SERVER_PORT, IntToStr(MyConfigInfo.nServerPort));
    d.SetText(CTL_TXT_USERNAME, MyConfigInfo.sUsername);
    d.SetText(CTL_TXT_SECRET, MyConfigInfo.sSecret);
    d.SetText(CTL_TXT_PROXY_PORT, IntToStr(MyConfigInfo.nProxyPort));
    // 2-4. A pair whose side starts by itself is hidden for the whole run.
    if (MyConfigInfo.bAutoStart) {
      d.SetVisible(CTL_CMD_START_PROXY, false);
      d.SetVisible(CTL_CMD_STOP_PROXY, false);
    }
    if (MyConfigInfo.bServerAutoStart) {
      for (TControlId t : {CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET})
        d.SetEnabled(t, false);
      d.SetVisible(CTL_CMD_START_CLIENT, false);
      d.SetVisible(CTL_CMD_STOP_CLIENT, false);
    }
    if (MyConfigInfo.bProxyAutoStart) {
      d.SetEnabled(CTL_TXT_PROXY_PORT, false);
      d.SetVisible(CTL_CMD_START_SERVER, false);
      d.SetVisible(CTL_CMD_STOP_SERVER, false);
    }
    // 5. The exchange connection, index 0: the link owns its socket and timers; the controller
    // takes what it reads, and a due reconnection starts it as the operator's button does.
    if (MyValidate != nullptr) MyValidate->AttachExchangeLink(&MyExchangeLink);
    MyExchangeLink.OnReconnect = [this] { cmdStartClientClick(); };
    // 6. The desk listener is the desk service's, wired when it was made; the controller's client
    // operations and the client outlet (through the controller) hand on to it.
    if (MyValidate != nullptr) MyValidate->AttachDeskService(&MyDeskService);
    // 7. (The window's size belongs to the console's layout.)
    // 8. Start buttons on, stop buttons off.
    d.SetEnabled(CTL_CMD_START_PROXY, true);
    d.SetEnabled(CTL_CMD_START_CLIENT, true);
    d.SetEnabled(CTL_CMD_START_SERVER, true);
    d.SetEnabled(CTL_CMD_STOP_PROXY, false);
    d.SetEnabled(CTL_CMD_STOP_CLIENT, false);
    d.SetEnabled(CTL_CMD_STOP_SERVER, false);
    // 9. Check boxes follow the pane switches (all off at this point).
    d.SetChecked(CTL_CHK_GENERIC_RECEIVED, MyAppInfo.bWriteGeneralLogReceived);
    d.SetChecked(CTL_CHK_GENERIC_PROCESSED, MyAppInfo.bWriteGeneralLogProcessed);
    for (const TEventFamily& family : AllFamilies())
      for (const TFamilyStage* pStage : {&family.tGlobal, &family.tSpecific})
        d.SetChecked(pStage->tPaneCheck, MyAppInfo.*pStage->pbPaneSwitch);
    // 10. Status texts.
    d.SetStatus(STB_MAIN, 0, Msg(59) + "0");
    d.SetStatus(STB_MAIN, 1, "...");
    d.SetStatus(STB_GENERIC_MSG_READ, 0, Msg(60) + "0");
    d.SetStatus(STB_GENERIC_MSG_READ, 1, Msg(61) + "0");
    d.SetStatus(STB_GENERIC_MSG_READ, 2, Msg(62) + "0");
    d.SetStatus(STB_GENERIC_MSG_READ, 3, Msg(66) + "0");
    // 11-12. Timers.
    MyMainTimerControl.nReconnectTicks = 0;
    MyMainTimerControl.nAuditTicks = 0;
    tmrMain.OnTimer = [this] { tmrMainTimer(); };
    tmrMain.SetInterval(5000);
    tmrMain.SetEnabled(true);
    MyExchangeLink.StartTimers();
    // 13. Automatic start.
    const char* sSource = "TfrmTelvane.FormCreate";
    if (MyConfigInfo.bAutoStart) {
      WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, "General Auto Start Process...", true);
      cmdStartProxyClick();
    } else {
      if (MyConfigInfo.bServerAutoStart) {
        WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, "AMI Auto Start Process...", true);
        cmdStartClientClick();
      }
      if (MyConfigInfo.bProxyAutoStart) {
        WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, "Server Auto Start Process...", true);
        cmdStartServerClick();
      }
    }
  } catch (const std::exception& e) {
    LogError("FormCreate", e);
  }
}

void TfrmTelvane::FormCloseQuery() {
  try {
    WriteLog("TfrmTelvane.FormCloseQuery", LOG_TARGET_MAIN, LOG_VERBOSE,
             Msg(13) + MyConfigInfo.sServerIP + ":" + IntToStr(MyConfigInfo.nServerPort) + ")", false);
    // A running capture ends here and writes its ten files, whatever the exchange connection's
    // state (the exchange's stop below ends it only when logged in), while the log still takes
    // its closing line.
    if (MyValidate != nullptr && MyAuditEvents.bEnabled) MyValidate->AuditStop();
    MyAppInfo.bIsRunning = false;
    RingAllStageBells();  // stages asleep on an empty ring see the end at once
    WakeLogWriter();
    if (MyValidate != nullptr &&
        MyAppInfo.tMainSocketClientStateMachine[0] == MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING)
      MyValidate->StopSocketClient(0, true);
    for (const TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo) {
      if (slot.tMainSocketServerStateMachine == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) {
        // Puts every slot into CLOSING, so it runs at most once.
        if (MyValidate != nullptr) MyValidate->StopSocketServer();
        break;
      }
    }
    TValidate* pValidate = MyValidate;
    MyValidate = nullptr;
    delete pValidate;
  } catch (const std::exception& e) {
    LogError("FormCloseQuery", e);
  }
}

void TfrmTelvane::FormClose() {
  try {
    RequestTermination();
  } catch (const std::exception& e) {
    LogError("FormClose", e);
  }
}

void TfrmTelvane::Execute() {}

void TfrmTelvane::cmdStartProxyClick() {
  try {
    cmdStartServerClick();
    cmdStartClientClick();
  } catch (const std::exception& e) {
    LogError("cmdStartProxyClick", e);
  }
}

void TfrmTelvane::cmdStopProxyClick() {
  try {
    if (MyValidate != nullptr) MyValidate->StopSocketClient(0, true);
    cmdStopServerClick();
  } catch (const std::exception& e) {
    LogError("cmdStopProxyClick", e);
  }
}

void TfrmTelvane::cmdStartClientClick() {
  try {
    if (MyValidate != nullptr && MyValidate->StartSocketClient(MyConfigInfo.sServerIP, MyConfigInfo.nServerPort)) {
      for (TControlId t : {CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET,
                           CTL_CMD_START_CLIENT})
        MyDisplay.SetEnabled(t, false);
      MyDisplay.SetEnabled(CTL_CMD_STOP_CLIENT, true);
      ShowStartProxy();
    }
  } catch (const std::exception& e) {
    LogError("cmdStartClientClick", e);
  }
}

void TfrmTelvane::cmdStopClientClick() {
  try {
    // StopSocketClient restores the fields and buttons itself.
    if (MyValidate != nullptr) MyValidate->StopSocketClient(0, true);
  } catch (const std::exception& e) {
    LogError("cmdStopClientClick", e);
  }
}

void TfrmTelvane::cmdStartServerClick() {
  try {
    // SERVERPORT=0 with a TLSPORT: the TLS port serves alone, and the start and stop lines name it.
    const bool bServePlain = MyConfigInfo.nProxyPort != 0;
    MyDeskService.socManagerServer.bServePlain = bServePlain;
    const int32_t nPort = bServePlain ? MyConfigInfo.nProxyPort : MyConfigInfo.MyClientPort.nTlsPort;
    // Started only when a port listens: with the TLS port alone, its failure leaves none.
    if (MyValidate != nullptr && MyValidate->StartSocketServer(nPort) && MyDeskService.socManagerServer.Active()) {
      MyDisplay.SetEnabled(CTL_TXT_PROXY_PORT, false);
      MyDisplay.SetEnabled(CTL_CMD_START_SERVER, false);
      MyDisplay.SetEnabled(CTL_CMD_STOP_SERVER, true);
      ShowStartProxy();
    }
  } catch (const std::exception& e) {
    LogError("cmdStartServerClick", e, 2);
  }
}

void TfrmTelvane::cmdStopServerClick() {
  try {
    if (MyValidate != nullptr) MyValidate->StopSocketServer();
    MyDisplay.SetEnabled(CTL_TXT_PROXY_PORT, true);
    MyDisplay.SetEnabled(CTL_CMD_START_SERVER, true);
    MyDisplay.SetEnabled(CTL_CMD_STOP_SERVER, false);
    ShowStartProxy();
  } catch (const std::exception& e) {
    LogError("cmdStopServerClick", e);
  }
}

void TfrmTelvane::ShowStartProxy() {
  // A side runs from its start to its stop, as its "Stop" button shows (also while hidden).
  const bool bBothRun =
      MyDisplay.vControls[CTL_CMD_STOP_CLIENT].bEnabled && MyDisplay.vControls[CTL_CMD_STOP_SERVER].bEnabled;
  MyDisplay.SetEnabled(CTL_CMD_START_PROXY, !bBothRun);
}

void TfrmTelvane::tmrMainTimer() {
  // Ticks never overlap: the timer is off while the audit runs and always on again afterwards.
  tmrMain.SetEnabled(false);
  tmrMainTimerAudit();
  tmrMain.SetEnabled(true);
}
