// The manager object's side of the exchange connection: the five socManagerClient events, the
// keep-alive timer (every 1 s) and the reconnection half of the main timer (every 5 s).
//
// Keep-alive, counted only while logged in (T = nServerTimeoutTmr seconds):
//
//          any read, start, stop: count := 0
//     +--------------------------------------------+
//     v                                            |
//   STEP1 --T silent ticks: send probe--> STEP2 --T silent ticks: StopSocketClient(0, False)--> STEP1
//
// Reconnection (R = nServerReconnectTmr seconds), armed by StopSocketClient(.., False):
//
//   bReconnecting --main tick: ticks := ticks + 1; ticks > R/5 (real)--> StartSocketClient, cleared
//   not reconnecting --main tick--> ticks := 0
//
// Before the login the same 1 s tick checks the controller's deadlines instead: no greeting within T
// of the TCP connect, or no answer within T of the login, stops the connection.
//
// Every failure of a connection (refused, unresolved, reset, closed, rejected login, greeting or
// login answer overdue, probe unanswered) ends in StopSocketClient(0, False), so with automatic
// reconnection the cycle repeats without limit. An operator's stop leaves a pending reconnection
// pending.
//
// Control thread only: socket events and timer ticks never overlap, and each timer is off while its
// handler runs and always on again afterwards.
#include <cstdint>
#include <exception>
#include <limits>

#include "controller/untValidate.h"
#include "hosting/untTelvane.h"
#include "logging/untCounters.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "platform/untClientSocket.h"
#include "startup/untMessage.h"
#include "startup/untVariables.h"

namespace {

void LogTimerError(const char* sSource, const std::exception& e, const char* sWhere) {
  WriteErrorLog(sSource, LOG_TARGET_MAIN, e.what(), std::string("Main Timer") + sWhere);
}

void ResetKeepAlive() {
  MyAppInfo.MyTimeoutEventsControl.nTimeoutControl = 0;
  MyAppInfo.MyTimeoutEventsControl.tStateMachine = TIMEOUTEVENTS_STATE_STEP1;
}

// Every failure of the connection goes through here with the reason the log is to give.
void StopExchangeConnection(const std::string& sReason) {
  if (MyValidate != nullptr) MyValidate->SocketClientFailed(0, sReason);
}

// One keep-alive step, taken when T silent seconds have been counted.
void KeepAliveStep() {
  TTimeoutEventsControl& keep = MyAppInfo.MyTimeoutEventsControl;
  const std::string sSeconds = IntToStr(MyConfigInfo.nServerTimeoutTmr);
  keep.nTimeoutControl = 0;
  if (keep.tStateMachine == TIMEOUTEVENTS_STATE_STEP1) {
    // Set before the send: if the send fails, the next silent period still closes the connection.
    keep.tStateMachine = TIMEOUTEVENTS_STATE_STEP2;
    WriteLog("TfrmTelvane.tmrAMIKeepAliveTimer", LOG_TARGET_MAIN, LOG_VERBOSE,
             "Timer of Keep Alive(" + sSeconds + "s) - Step 1. Sending command to AMI Server...", false);
    if (socManagerClient != nullptr) socManagerClient->SendText("Action: Command\r\nCommand: core show uptime\r\n\r\n");
  } else {
    keep.tStateMachine = TIMEOUTEVENTS_STATE_STEP1;
    WriteLog("TfrmTelvane.tmrAMIKeepAliveTimer", LOG_TARGET_MAIN, LOG_VERBOSE,
             "Timer of Keep Alive(" + sSeconds + "s) - Step 2. Restarting Connection with AMI Server...", false);
    StopExchangeConnection("keep-alive probe unanswered for " + sSeconds + " s");
  }
}

}  // namespace

void TfrmTelvane::socManagerClientConnecting() {
  try {
    WriteLog("TfrmTelvane.socManagerClientConnecting", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(19) + socManagerClient->Host + ")", false);
  } catch (const std::exception&) {
  }
}

void TfrmTelvane::socManagerClientConnect() {
  try {
    WriteLog("TfrmTelvane.socManagerClientConnect", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(18) + socManagerClient->Host + ")", false);
    if (MyValidate != nullptr) MyValidate->SocketClientConnected(socManagerClient->Tag);
  } catch (const std::exception&) {
  }
}

void TfrmTelvane::socManagerClientDisconnect() {
  try {
    WriteLog("TfrmTelvane.socManagerClientDisconnect", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(20) + socManagerClient->RemoteAddress() + ")",
             true);
    StopExchangeConnection("connection closed by the exchange");
  } catch (const std::exception&) {
  }
}

void TfrmTelvane::socManagerClientError(int& nErrorCode) {
  try {
    nErrorCode = 0;  // handled here: the socket layer raises nothing further
    WriteLog("TfrmTelvane.socManagerClientError", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(4) + socManagerClient->Host + ")", false);
    // Over TLS the reason matters to the operator (a refused certificate, an unknown authority).
    if (socManagerClient->bTls)
      WriteLog("TfrmTelvane.socManagerClientError", LOG_TARGET_MAIN, LOG_WARNING,
               "Exchange link over TLS failed (" + socManagerClient->Host + ":" + IntToStr(socManagerClient->Port) +
                   "): " + socManagerClient->LastErrorText(),
               false);
    // A failed connect attempt ends here too; the system's reason goes in the WARNING line that
    // follows the general error line.
    const std::string sReason = socManagerClient->LastErrorText();
    StopExchangeConnection(sReason.empty() ? "socket error" : sReason);
  } catch (const std::exception&) {
  }
}

void TfrmTelvane::socManagerClientRead() {
  try {
    int32_t& nReads = MyAppInfo.nTotalSocketReadEvents;
    nReads = nReads == std::numeric_limits<int32_t>::max() ? 0 : nReads + 1;
    ResetKeepAlive();  // any data proves the link alive, whatever the state
    const std::string sText = socManagerClient->ReceiveText();
    CountUp(MyCounters.nExchangeBytes, sText.size());
    if (MyValidate != nullptr) MyValidate->SocketClientRead(sText, socManagerClient->Tag);
    TfrmTelvane* frm = frmTelvane.load();
    if (frm != nullptr && MyAppInfo.nTotalSocketReadEvents % 10 == 0)
      frm->MyDisplay.SetStatus(STB_MAIN, 0, Msg(59) + IntToStr(MyAppInfo.nTotalSocketReadEvents));
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerClientRead", e.what());
  }
}

void TfrmTelvane::tmrAMIKeepAliveTimer() {
  tmrAMIKeepAlive.SetEnabled(false);  // ticks never overlap
  bool bActing = false;
  try {
    TTimeoutEventsControl& keep = MyAppInfo.MyTimeoutEventsControl;
    if (MyAppInfo.tMainSocketClientStateMachine[0] == MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING) {
      if (keep.nTimeoutControl < std::numeric_limits<int32_t>::max()) ++keep.nTimeoutControl;
      if (keep.nTimeoutControl >= MyConfigInfo.nServerTimeoutTmr) {
        bActing = true;
        KeepAliveStep();
      }
    } else if (MyValidate != nullptr) {
      MyValidate->SocketClientDeadline(0);  // the greeting or the login answer may be overdue
    }
  } catch (const std::exception& e) {
    // (A console in a terminal has no busy mouse pointer to restore.)
    LogTimerError("TfrmTelvane.tmrAMIKeepAliveTimer", e, bActing ? " (MyAppInfo.nTimeoutControl)" : "");
  }
  tmrAMIKeepAlive.SetEnabled(true);
}

void TfrmTelvane::tmrMainTimerReconnect() {
  // tmrMainTimer holds the main timer off around both halves and restarts it afterwards.
  bool bActing = false;
  try {
    if (!MyAppInfo.bReconnecting) {
      MyMainTimerControl.nReconnectTicks = 0;
      return;
    }
    bActing = true;
    const int32_t nSeconds = MyConfigInfo.nServerReconnectTmr;
    ++MyMainTimerControl.nReconnectTicks;
    if (static_cast<double>(MyMainTimerControl.nReconnectTicks) > static_cast<double>(nSeconds) * 1000.0 / 5000.0) {
      WriteLog("TfrmTelvane.tmrMainTimer", LOG_TARGET_MAIN, LOG_VERBOSE, "Timer of Auto Reconnect: " + IntToStr(nSeconds) + " seconds...",
               false);
      MyMainTimerControl.nReconnectTicks = 0;
      MyAppInfo.bReconnecting = false;
      WriteLog("TfrmTelvane.tmrMainTimer", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(14) + IntToStr(nSeconds), false);
      CountUp(MyCounters.nExchangeReconnects);
      cmdStartClientClick();
    }
  } catch (const std::exception& e) {
    LogTimerError("TfrmTelvane.tmrMainTimer", e, bActing ? " (MyAppInfo.bReconnecting)" : "");
  }
}
