// The manager object's creation: which start/stop pairs are hidden, enabled or disabled for each
// combination of the three auto-start keys, the order of the auto-start log lines, and the button
// states that the start actions leave behind.
#include "hosting/untTelvane.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/untVariables.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

using testsupport::PollUntil;

struct AutoStartCase {
  const char* sName;
  bool bAutoStart, bServerAutoStart, bProxyAutoStart;
  bool bProxyVisible, bClientVisible, bServerVisible;
  std::vector<std::string> vLogOrder;  // auto-start lines in the order they must appear
};

class ManagerTest : public ::testing::TestWithParam<AutoStartCase> {
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

TEST_P(ManagerTest, AutoStartHidesItsPairsAndLogsInOrder) {
  const AutoStartCase& c = GetParam();
  Create(c);
  EXPECT_EQ(Control(CTL_CMD_START_PROXY).bVisible, c.bProxyVisible);
  EXPECT_EQ(Control(CTL_CMD_STOP_PROXY).bVisible, c.bProxyVisible);
  EXPECT_EQ(Control(CTL_CMD_START_CLIENT).bVisible, c.bClientVisible);
  EXPECT_EQ(Control(CTL_CMD_STOP_CLIENT).bVisible, c.bClientVisible);
  EXPECT_EQ(Control(CTL_CMD_START_SERVER).bVisible, c.bServerVisible);
  EXPECT_EQ(Control(CTL_CMD_STOP_SERVER).bVisible, c.bServerVisible);
  // "Stop Proxy" starts disabled and nothing enables it; "Start Proxy" starts enabled.
  EXPECT_TRUE(Control(CTL_CMD_START_PROXY).bEnabled);
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

}  // namespace
