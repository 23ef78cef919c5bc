// The manager object's creation: which start/stop pairs are hidden, enabled or disabled for each
// combination of the three auto-start keys, the order of the auto-start log lines, and the button
// states that the start actions leave behind.
#include "hosting/untTelvane.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "controller/untValidate.h"
#include "logging/untLogger.h"
#include "platform/untControlLoop.h"
#include "startup/untVariables.h"
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

class ManagerTest : public ::testing::TestWithParam<AutoStartCase> {
 protected:
  void SetUp() override {
    MyAppInfo.sAppFilePath = dir.Path() + "/";
    // An exchange that accepts and never speaks keeps the connection in its first state.
    fdExchange = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fdExchange, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(fdExchange, 4), 0);
    socklen_t nLen = sizeof(addr);
    getsockname(fdExchange, reinterpret_cast<sockaddr*>(&addr), &nLen);
    testsupport::WriteFile(dir.Path() + "/Lib/Config.ini",
                           "[AMI]\r\nSERVERIP=127.0.0.1\r\nSERVERPORT=" + std::to_string(ntohs(addr.sin_port)) +
                               "\r\n[PROXY]\r\nSERVERPORT=" + std::to_string(testsupport::FreePort()) + "\r\n");
    InitializeSharedState();
    ASSERT_TRUE(StartLogWriter(TValidate::GetLogDirectory()));
    MyValidate = new TValidate();
    TControlLoop::Instance().ResetForTest();
    tControl = std::thread([] { TControlLoop::Instance().Run(); });
  }
  void TearDown() override {
    TControlLoop::Instance().Synchronize([this] {
      form.reset();
      delete MyValidate;
      MyValidate = nullptr;
    });
    TControlLoop::Instance().Post([] { TControlLoop::Instance().Stop(); });
    tControl.join();
    close(fdExchange);
  }
  void Create(const AutoStartCase& c) {
    MyConfigInfo.bAutoStart = c.bAutoStart;
    MyConfigInfo.bServerAutoStart = c.bServerAutoStart;
    MyConfigInfo.bProxyAutoStart = c.bProxyAutoStart;
    TControlLoop::Instance().Synchronize([this] { form = std::make_unique<TfrmTelvane>(true); });
  }
  void OnControl(const std::function<void()>& fn) { ASSERT_TRUE(TControlLoop::Instance().Synchronize(fn)); }
  TControlState Control(TControlId t) {
    TControlState state;
    TControlLoop::Instance().Synchronize([&] { state = form->MyDisplay.vControls[t]; });
    return state;
  }
  std::string LogText() { return ReadFile(TValidate::GetLogDirectory() + "/" + LogFileName()); }

  testsupport::TTempDir dir;
  std::thread tControl;
  std::unique_ptr<TfrmTelvane> form;  // control thread only
  int fdExchange = -1;
};

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
  TControlLoop::Instance().Synchronize([this] { form->cmdStartClientClick(); });
  for (TControlId t : {CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET, CTL_CMD_START_CLIENT})
    EXPECT_FALSE(Control(t).bEnabled) << t;
  EXPECT_TRUE(Control(CTL_CMD_STOP_CLIENT).bEnabled);
  // The operator's stop gives the fields and "Start Client" back.
  TControlLoop::Instance().Synchronize([this] { form->cmdStopClientClick(); });
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
    OnControl([&] { step.fn(*form); });
    EXPECT_EQ(Control(CTL_CMD_START_PROXY).bEnabled, step.bStartProxy) << "after " << step.sAction;
  }
}

TEST_F(ManagerTest, ServerStartThatFailsLeavesStartServerEnabled) {
  Create(AutoStartCase{"None", false, false, false, true, true, true, {}});
  // Someone else listens on the proxy port already, so the activation fails.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  socklen_t nLen = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
  MyConfigInfo.nProxyPort = ntohs(addr.sin_port);
  TControlLoop::Instance().Synchronize([this] { form->cmdStartServerClick(); });
  EXPECT_TRUE(Control(CTL_CMD_START_SERVER).bEnabled);
  EXPECT_FALSE(Control(CTL_CMD_STOP_SERVER).bEnabled);
  EXPECT_TRUE(PollUntil([&] { return LogText().find("during StartSocketServer Process.") != std::string::npos; }));
  close(fd);
}

}  // namespace
