// The manager object: which start/stop pairs are hidden, enabled or disabled for each combination
// of the three auto-start keys, the order of the auto-start log lines, the button states that the
// start and stop actions leave behind, and the close of the console (FormCloseQuery).
#include "hosting/untTelvane.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/untVariables.h"
#include "controller/untValidate.h"
#include "platform/untServerSocket.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

using testsupport::PollUntil;
using testsupport::ReadFile;

struct AutoStartCase {
  const char* sName;
  bool bAutoStart, bServerAutoStart, bProxyAutoStart;
  bool bProxyVisible, bClientVisible, bServerVisible;
  std::vector<std::string> vLogOrder;  // auto-start lines in the order they must appear
};

class ManagerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // The exchange accepts and never speaks: the connection stays in its first state.
    ASSERT_TRUE(exchange.Listening());
    ASSERT_TRUE(relay.Start({.sConfig = "[AMI]\r\nSERVERIP=127.0.0.1\r\nSERVERPORT=" + std::to_string(exchange.Port()) +
                                        "\r\n[PROXY]\r\nSERVERPORT=" + std::to_string(testsupport::FreePort()) + "\r\n",
                             .bService = false,
                             .bLogWriter = true}));
    relay.StartControlThread();
  }
  void TearDown() override { relay.Stop(); }
  void Create(const AutoStartCase& c) {
    MyConfigInfo.bAutoStart = c.bAutoStart;
    MyConfigInfo.bServerAutoStart = c.bServerAutoStart;
    MyConfigInfo.bProxyAutoStart = c.bProxyAutoStart;
    relay.CreateManager(true);
  }
  TControlState Control(TControlId t) {
    TControlState state;
    relay.OnControl([&] { state = relay.Manager().MyDisplay.vControls[t]; });
    return state;
  }
  std::string LogText() { return relay.LogText(); }
  void OnManager(void (TfrmTelvane::*fnAction)()) {
    relay.OnControl([&] { (relay.Manager().*fnAction)(); });
  }

  testsupport::TLoopbackListener exchange{4};
  testsupport::TRelayFixture relay;
};

class ManagerTest : public ManagerFixture, public ::testing::WithParamInterface<AutoStartCase> {};

TEST_P(ManagerTest, AutoStartHidesItsPairsAndLogsInOrder) {
  const AutoStartCase& c = GetParam();
  Create(c);
  EXPECT_EQ(Control(CTL_CMD_START_PROXY).bVisible, c.bProxyVisible);
  EXPECT_EQ(Control(CTL_CMD_STOP_PROXY).bVisible, c.bProxyVisible);
  EXPECT_EQ(Control(CTL_CMD_START_CLIENT).bVisible, c.bClientVisible);
  EXPECT_EQ(Control(CTL_CMD_STOP_CLIENT).bVisible, c.bClientVisible);
  EXPECT_EQ(Control(CTL_CMD_START_SERVER).bVisible, c.bServerVisible);
  EXPECT_EQ(Control(CTL_CMD_STOP_SERVER).bVisible, c.bServerVisible);
  // "Stop Proxy" starts disabled and nothing enables it; "Start Proxy" is off once both sides run.
  const bool bBothRun = c.bAutoStart || (c.bServerAutoStart && c.bProxyAutoStart);
  EXPECT_EQ(Control(CTL_CMD_START_PROXY).bEnabled, !bBothRun);
  EXPECT_FALSE(Control(CTL_CMD_STOP_PROXY).bEnabled);
  if (c.vLogOrder.empty()) return;
  ASSERT_TRUE(PollUntil([&] { return LogText().find(c.vLogOrder.back()) != std::string::npos; }));
  const std::string sLog = LogText();
  size_t nLast = 0;
  for (const std::string& sLine : c.vLogOrder) {
    const size_t nAt = sLog.find(sLine);
    ASSERT_NE(nAt, std::string::npos) << sLine;
    EXPECT_GE(nAt, nLast) << sLine << " is out of order";
    nLast = nAt;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Combinations, ManagerTest,
    ::testing::Values(
        AutoStartCase{"All", true, true, true, false, false, false,
                      {"General Auto Start Process...", "Iniciano processo de abertura do Servidor Proxy",
                       "Iniciano processo de conexão ao Servidor AMI"}},
        AutoStartCase{"ClientAndServer", false, true, true, true, false, false,
                      {"AMI Auto Start Process...", "Server Auto Start Process..."}},
        AutoStartCase{"None", false, false, false, true, true, true, {}}),
    [](const auto& info) { return std::string(info.param.sName); });

TEST_F(ManagerTest, ManualStartClientSwitchesFieldsAndButtons) {
  Create(AutoStartCase{"None", false, false, false, true, true, true, {}});
  EXPECT_TRUE(Control(CTL_CMD_START_CLIENT).bEnabled);
  EXPECT_FALSE(Control(CTL_CMD_STOP_CLIENT).bEnabled);
  EXPECT_TRUE(Control(CTL_CMD_START_SERVER).bEnabled);
  EXPECT_FALSE(Control(CTL_CMD_STOP_SERVER).bEnabled);
  OnManager(&TfrmTelvane::cmdStartClientClick);
  for (TControlId t : {CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET, CTL_CMD_START_CLIENT})
    EXPECT_FALSE(Control(t).bEnabled) << t;
  EXPECT_TRUE(Control(CTL_CMD_STOP_CLIENT).bEnabled);
  // The operator's stop gives the fields and "Start Client" back.
  OnManager(&TfrmTelvane::cmdStopClientClick);
  for (TControlId t : {CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET, CTL_CMD_START_CLIENT})
    EXPECT_TRUE(Control(t).bEnabled) << t;
  EXPECT_FALSE(Control(CTL_CMD_STOP_CLIENT).bEnabled);
}

// "Start Proxy" would re-open a running listener and drop every client without the stop notice:
// it is off exactly while both sides run, whichever way a side started or stopped.
TEST_F(ManagerTest, StartProxyIsOffWhileBothSidesRun) {
  Create(AutoStartCase{"None", false, false, false, true, true, true, {}});
  struct Step {
    const char* sAction;
    std::function<void(TfrmTelvane&)> fn;
    bool bStartProxy;  // enabled afterwards
  };
  const Step vSteps[] = {
      {"start client", [](TfrmTelvane& f) { f.cmdStartClientClick(); }, true},
      {"start server", [](TfrmTelvane& f) { f.cmdStartServerClick(); }, false},
      {"connection lost", [](TfrmTelvane&) { MyValidate->StopSocketClient(0, false); }, true},
      {"reconnect", [](TfrmTelvane& f) { f.cmdStartClientClick(); }, false},
      {"stop server", [](TfrmTelvane& f) { f.cmdStopServerClick(); }, true},
      {"start server", [](TfrmTelvane& f) { f.cmdStartServerClick(); }, false},
      {"stop client", [](TfrmTelvane& f) { f.cmdStopClientClick(); }, true},
      {"start proxy", [](TfrmTelvane& f) { f.cmdStartProxyClick(); }, false},
      {"stop proxy", [](TfrmTelvane& f) { f.cmdStopProxyClick(); }, true},
  };
  for (const Step& step : vSteps) {
    relay.OnControl([&] { step.fn(relay.Manager()); });
    EXPECT_EQ(Control(CTL_CMD_START_PROXY).bEnabled, step.bStartProxy) << "after " << step.sAction;
  }
}

TEST_F(ManagerTest, ServerStartThatFailsLeavesStartServerEnabled) {
  Create(AutoStartCase{"None", false, false, false, true, true, true, {}});
  // Someone else listens on the proxy port already, so the activation fails.
  testsupport::TLoopbackListener taken(1);
  ASSERT_TRUE(taken.Listening());
  MyConfigInfo.nProxyPort = taken.Port();
  OnManager(&TfrmTelvane::cmdStartServerClick);
  EXPECT_TRUE(Control(CTL_CMD_START_SERVER).bEnabled);
  EXPECT_FALSE(Control(CTL_CMD_STOP_SERVER).bEnabled);
  EXPECT_TRUE(PollUntil([&] { return LogText().find("during StartSocketServer Process.") != std::string::npos; }));
}

// The close of the console. Message 13 names the exchange's address and port; a running capture
// ends and writes its ten files whatever the exchange connection's state; the exchange connection
// is stopped only when logged in; the listener is stopped, once, only when a client is running,
// and then every client with a slot gets the stop notice exactly once.
struct CloseCase {
  const char* sName;
  bool bLoggedIn;       // the exchange connection is RUNNING; else it still waits for the greeting
  bool bRunningClient;  // one client through the handshake and one at its start; else none
  bool bCapture;        // an audit capture runs
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.sName; }

class CloseTest : public ManagerFixture, public ::testing::WithParamInterface<CloseCase> {
 protected:
  std::string AuditPath(const std::string& sPrefix) const {
    return TValidate::GetAuditDirectory() + "/" + sPrefix + testsupport::Today() + ".audit";
  }
  TMainSocketClientStateMachine_OPT ExchangeState() {
    TMainSocketClientStateMachine_OPT t = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;
    relay.OnControl([&] { t = MyAppInfo.tMainSocketClientStateMachine[0]; });
    return t;
  }
  testsupport::TExchangeSim sim;
};

TEST_P(CloseTest, EndsTheCaptureStopsWhatRunsAndLogsTheExchange) {
  const CloseCase& c = GetParam();
  if (c.bLoggedIn) {
    ASSERT_TRUE(sim.Start({"--silent"}));
    MyConfigInfo.nServerPort = sim.Port();
  }
  Create(AutoStartCase{"ServerOnly", false, false, true, true, true, false, {}});
  OnManager(&TfrmTelvane::cmdStartClientClick);
  if (c.bLoggedIn) {
    ASSERT_TRUE(PollUntil([&] { return ExchangeState() == MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING; }));
  }
  testsupport::TTcpClient running, starting;
  if (c.bRunningClient) {
    ASSERT_TRUE(running.Connect(MyConfigInfo.nProxyPort));
    ASSERT_TRUE(testsupport::Handshake(running, "Desk", "10001", "20001", "701"));
    ASSERT_TRUE(starting.Connect(MyConfigInfo.nProxyPort));
    ASSERT_TRUE(PollUntil([&] {
      bool bTaken = false;
      relay.OnControl([&] {
        bTaken = MyAppInfo.MyServerSocketInfo[1].tMainSocketServerStateMachine != MAIN_SOCKET_SERVER_STATE_MACHINE_NONE;
      });
      return bTaken;
    }));
  }
  if (c.bCapture) relay.OnControl([] { MyValidate->AuditStart(1); });
  const TMainSocketClientStateMachine_OPT tBefore = ExchangeState();

  OnManager(&TfrmTelvane::FormCloseQuery);

  EXPECT_EQ(MyValidate, nullptr) << "the controller is destroyed";
  EXPECT_EQ(ExchangeState(), c.bLoggedIn ? MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE : tBefore)
      << "stopped only when logged in";
  bool bListening = false;
  relay.OnControl([&] { bListening = relay.Manager().MyDeskService.socManagerServer.Active(); });
  EXPECT_EQ(bListening, !c.bRunningClient) << "stopped only when a client runs";
  if (c.bRunningClient) {
    for (testsupport::TTcpClient* pClient : {&running, &starting}) {
      EXPECT_TRUE(pClient->WaitClosed());
      EXPECT_EQ(pClient->Received(), "Server is going down!") << "the notice, once";
    }
  }
  const std::string sClosing = "Conex\xC3\xA3o encerrada no servidor AMI (127.0.0.1:" +
                               std::to_string(MyConfigInfo.nServerPort) + ")";
  EXPECT_TRUE(PollUntil([&] { return LogText().find("TfrmTelvane.FormCloseQuery: " + sClosing + "\r\n") != std::string::npos; }))
      << LogText();
  const char* const PREFIXES[] = {"AUDIT_", "MAINLOG_", "READRECEIVED_", "READPROCESSED_", "GLOBALQUEUE_",
                                  "SPECIFICQUEUE_", "GLOBALPEER_", "SPECIFICPEER_", "GLOBALFEATUREPARK_",
                                  "SPECIFICFEATUREPARK_"};
  for (const char* sPrefix : PREFIXES)
    EXPECT_EQ(std::filesystem::is_regular_file(AuditPath(sPrefix)), c.bCapture) << sPrefix;
  if (!c.bCapture) return;
  EXPECT_EQ(ReadFile(AuditPath("AUDIT_")), "Iniciando processo de auditoria...\r\nFinalizando processo de auditoria!\r\n");
  // The capture holds the closing line, then its own end.
  const std::string sMainLog = ReadFile(AuditPath("MAINLOG_"));
  EXPECT_NE(sMainLog.find("Iniciando processo de auditoria...\r\n"), std::string::npos) << sMainLog;
  EXPECT_TRUE(sMainLog.ends_with(sClosing + "\r\nFinalizando processo de auditoria!\r\n")) << sMainLog;
}

INSTANTIATE_TEST_SUITE_P(States, CloseTest,
                         ::testing::Values(CloseCase{"NotLoggedInDuringACapture", false, false, true},
                                           CloseCase{"LoggedInWithClientsDuringACapture", true, true, true},
                                           CloseCase{"LoggedInWithoutClientsOrCapture", true, false, false}),
                         [](const auto& info) { return std::string(info.param.sName); });

}  // namespace
