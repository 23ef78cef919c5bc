// Tests of the exchange connection: login, keep-alive, reconnection and hand-over to the raw ring.
//
// Two kinds. The relay binary (service mode, its own folder) against a scripted exchange in this
// test, where exact bytes and their timing matter, or against the simulator. And in process: the
// controller and the manager object on a control thread of this process, with the form's timers
// held off so that each tick is one direct call, and the raw ring opened without its splitter so
// this thread can pop what the connection pushed. Only loopback; ports from the OS.
#include "controller/untValidate.h"

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/untCodePage.h"
#include "base/untMessage.h"
#include "base/untVariables.h"
#include "hosting/untTelvane.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "pipeline/untFifo.h"
#include "platform/untClientSocket.h"
#include "platform/untControlLoop.h"
#include "platform/untWorker.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::kDeadline;
using testsupport::CountOf;
using testsupport::PollUntil;

const std::string GREETING = "Zunda Call Manager/5.0.1\r\n";
const std::string LOGIN = "Action: Login\r\nUsername: amiadmin\r\nSecret: pxwdkr\r\n\r\n";
const std::string LOGIN_OK = "Response: Success\r\nMessage: Authentication accepted\r\n\r\n";
const std::string QUEUES = "Action: Queues\r\n\r\n";
const std::string PROBE = "Action: Command\r\nCommand: core show uptime\r\n\r\n";
const std::string RECONNECT_ARMED = "VERBOSE[003] TfrmTelvane.socManagerClientDisconnect: AMI Auto Reconnect Process...";

// ---- A scripted exchange: a loopback listener whose accepted connections the test thread drives ----

using TExchangeListener = testsupport::TLoopbackListener;
using TExchangePeer = testsupport::TTcpClient;

// ---- Log helpers ----

// A message of the table as the log file shows it (the file is UTF-8).
std::string LogMsg(int nIndex) { return Cp1252ToUtf8(Msg(nIndex)); }

std::string HostPort(const std::string& sHost, int nPort) { return sHost + ":" + IntToStr(nPort) + ")"; }

// Each line must appear after the one before it.
::testing::AssertionResult InOrder(const std::string& sLog, const std::vector<std::string>& lstLines) {
  size_t nFrom = 0;
  for (const std::string& sLine : lstLines) {
    const size_t nAt = sLog.find(sLine, nFrom);
    if (nAt == std::string::npos)
      return ::testing::AssertionFailure() << "missing, or out of order: \"" << sLine << "\"\nlog:\n" << sLog;
    nFrom = nAt + sLine.size();
  }
  return ::testing::AssertionSuccess();
}

std::string LinkConfig(const std::string& sHost, int nPort, int nVerbose = 3) {
  return "[LOG]\r\nVERBOSE=" + IntToStr(nVerbose) + "\r\n[GENERAL]\r\nAUTOSTART=1\r\n[AMI]\r\nAUTOSTART=1\r\nAUTORECONNECT=1\r\n"
         "RECONNECTTMR=5\r\nTIMEOUTTMR=5\r\nSERVERIP=" + sHost + "\r\nSERVERPORT=" + IntToStr(nPort) +
         "\r\nUSERNAME=amiadmin\r\nSECRET=pxwdkr\r\n[PROXY]\r\nAUTOSTART=1\r\nSERVERPORT=" +
         IntToStr(testsupport::FreePort()) + "\r\n";
}

// ==== The relay binary ====

// T = 5 and R = 5: the probe goes out at the 5th silent second, the close at the 10th, and the
// reconnection at the second main tick after the close (5 to 10 s). Only lower bounds are checked:
// a slow machine may only make things later.
TEST(ExchangeLinkRelay, LoginQueuesProbeCloseAndReconnectionWithTheirBytesAndLogLines) {
  TExchangeListener exchange;
  testsupport::TRelay relay;
  relay.WriteConfig(LinkConfig("127.0.0.1", exchange.Port()));
  ASSERT_TRUE(relay.Start());
  auto peer = exchange.Accept();
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->Send(GREETING));
  EXPECT_EQ(peer->TakeThrough("\r\n\r\n"), LOGIN);
  ASSERT_TRUE(peer->Send(LOGIN_OK));
  const auto tLogin = Clock::now();
  EXPECT_EQ(peer->TakeThrough("\r\n\r\n"), QUEUES);
  EXPECT_EQ(peer->TakeThrough("\r\n\r\n", 30s), PROBE);
  const auto tProbe = Clock::now();
  EXPECT_GE(tProbe - tLogin, 4s) << "probe before T seconds of silence";
  ASSERT_TRUE(peer->WaitClosed(30s));
  const auto tClosed = Clock::now();
  EXPECT_GE(tClosed - tProbe, 4s) << "closed before a second silent period";
  auto again = exchange.Accept(30s);
  ASSERT_TRUE(again) << "no reconnection";
  EXPECT_GE(Clock::now() - tClosed, 4s) << "reconnected before the wait";
  ASSERT_TRUE(again->Send(GREETING));
  EXPECT_EQ(again->TakeThrough("\r\n\r\n"), LOGIN);

  const std::string sHp = HostPort("127.0.0.1", exchange.Port());
  ASSERT_TRUE(PollUntil([&] { return CountOf(relay.LogText(), LogMsg(23) + sHp) == 2; }));
  EXPECT_TRUE(InOrder(relay.LogText(), {
      "VERBOSE[003] TValidate.StartSocketClient: " + LogMsg(21) + sHp,
      "VERBOSE[003] TfrmTelvane.socManagerClientConnecting: " + LogMsg(19) + "127.0.0.1)",
      "VERBOSE[003] TfrmTelvane.socManagerClientConnect: " + LogMsg(18) + "127.0.0.1)",
      "VERBOSE[003] TValidate.SocketClientRead: " + LogMsg(23) + sHp,
      "VERBOSE[003] TValidate.SocketClientRead: " + LogMsg(24) + sHp,
      "VERBOSE[003] TValidate.SocketClientRead: " + LogMsg(26) + sHp,
      "VERBOSE[003] TfrmTelvane.tmrAMIKeepAliveTimer: Timer of Keep Alive(5s) - Step 1. Sending command to AMI Server...",
      "VERBOSE[003] TfrmTelvane.tmrAMIKeepAliveTimer: Timer of Keep Alive(5s) - Step 2. Restarting Connection with AMI Server...",
      "VERBOSE[003] TValidate.StopSocketClient: " + LogMsg(22) + sHp,
      "VERBOSE[003] TValidate.SocketClientRead: " + LogMsg(27) + sHp,
      RECONNECT_ARMED,
      "VERBOSE[003] TfrmTelvane.tmrMainTimer: Timer of Auto Reconnect: 5 seconds...",
      "VERBOSE[003] TfrmTelvane.tmrMainTimer: " + LogMsg(14) + "5",
      "VERBOSE[003] TValidate.StartSocketClient: " + LogMsg(21) + sHp,
      "VERBOSE[003] TValidate.SocketClientRead: " + LogMsg(23) + sHp,
  }));
}

TEST(ExchangeLinkRelay, RejectedLoginIsAWarningThenAStopAndIsRetriedAfterTheWait) {
  testsupport::TExchangeSim sim;
  ASSERT_TRUE(sim.Start({"--refuse-login"}));
  testsupport::TRelay relay;
  relay.WriteConfig(LinkConfig("127.0.0.1", sim.Port()));
  ASSERT_TRUE(relay.Start());
  const std::string sHp = HostPort("127.0.0.1", sim.Port());
  const std::string sRejected = "WARNING[001] TValidate.SocketClientRead: " + LogMsg(25) + sHp;
  ASSERT_TRUE(PollUntil([&] { return CountOf(relay.LogText(), sRejected) == 2; }, 40s)) << relay.LogText();
  ASSERT_TRUE(PollUntil([&] { return CountOf(relay.LogText(), "AMI Auto Reconnect Process...") == 2; }));
  const std::string sCycle[] = {
      sRejected,
      "VERBOSE[003] TValidate.StopSocketClient: " + LogMsg(22) + sHp,
      "VERBOSE[003] TValidate.SocketClientRead: " + LogMsg(27) + sHp,
      RECONNECT_ARMED,
  };
  std::vector<std::string> lstExpected(std::begin(sCycle), std::end(sCycle));
  lstExpected.push_back("TfrmTelvane.tmrMainTimer: Timer of Auto Reconnect: 5 seconds...");
  lstExpected.push_back("TfrmTelvane.tmrMainTimer: " + LogMsg(14) + "5");
  lstExpected.insert(lstExpected.end(), std::begin(sCycle), std::end(sCycle));
  EXPECT_TRUE(InOrder(relay.LogText(), lstExpected));
}

// An exchange that accepts and then stays silent, before its greeting or before its answer to the
// login, is given T = 5 s for that step; then the connection is stopped like a lost one and opened
// again after the reconnection's wait. Only lower bounds are checked.
TEST(ExchangeLinkRelay, SilentExchangeIsClosedAfterTheDeadlineOfTheStepItLeftOpen) {
  struct Case {
    const char* sName;
    bool bGreet;           // greets and takes the login before falling silent
    std::string sWarning;  // the deadline's line
  };
  const std::vector<Case> vCases = {
      {"no greeting", false,
       "WARNING[001] TValidate.SocketClientDeadline: The exchange sent no greeting within 5 s; closing the connection."},
      {"no answer to the login", true,
       "WARNING[001] TValidate.SocketClientDeadline: The exchange sent no answer to the login within 5 s; closing "
       "the connection."},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sName);
    TExchangeListener exchange;
    testsupport::TRelay relay;
    relay.WriteConfig(LinkConfig("127.0.0.1", exchange.Port()));
    ASSERT_TRUE(relay.Start());
    auto peer = exchange.Accept();
    ASSERT_TRUE(peer);
    const auto tSilentFrom = Clock::now();
    if (c.bGreet) {
      ASSERT_TRUE(peer->Send(GREETING));
      EXPECT_EQ(peer->TakeThrough("\r\n\r\n"), LOGIN);
    }
    ASSERT_TRUE(peer->WaitClosed(30s)) << "the relay waits for ever";
    EXPECT_GE(Clock::now() - tSilentFrom, 4s) << "closed before the deadline";
    auto again = exchange.Accept(30s);
    ASSERT_TRUE(again) << "no reconnection";
    const std::string sHp = HostPort("127.0.0.1", exchange.Port());
    ASSERT_TRUE(relay.WaitForLog(RECONNECT_ARMED)) << relay.LogText();
    std::vector<std::string> lstExpected = {"TfrmTelvane.socManagerClientConnect: " + LogMsg(18) + "127.0.0.1)"};
    if (c.bGreet) lstExpected.push_back("TValidate.SocketClientRead: " + LogMsg(23) + sHp);
    lstExpected.insert(lstExpected.end(), {c.sWarning, "TValidate.StopSocketClient: " + LogMsg(22) + sHp,
                                           "TValidate.SocketClientRead: " + LogMsg(27) + sHp, RECONNECT_ARMED});
    const std::string sLog = relay.LogText();
    EXPECT_TRUE(InOrder(sLog, lstExpected));
    EXPECT_EQ(CountOf(sLog, c.sWarning), 1);
    EXPECT_EQ(sLog.find(LogMsg(24)), std::string::npos);
  }
}

// Every way a connection can fail ends in the stop (messages 22 and 27) with the reconnection
// armed. The scripted exchange acts on the test thread while the relay runs.
TEST(ExchangeLinkRelay, ConnectionFailuresEndInAStopThatArmsTheReconnection) {
  using TScript = std::function<void(TExchangePeer&, testsupport::TRelay&)>;
  const std::string sHalfEvent = "Event: QueueMemberStatus\r\nQueue: 10001\r\nMemb";
  struct Case {
    const char* sName;
    std::string sHost;
    TScript fnScript;          // null: nothing listens on the port
    std::string sEndLine;      // the handler's line that leads to the stop
    std::vector<int> vSeen;    // messages (with host:port) logged before it
    std::vector<int> vUnseen;  // messages never logged
  };
  const std::string sErrorLine = "VERBOSE[003] TfrmTelvane.socManagerClientError: " + LogMsg(4);
  const std::string sDropLine = "VERBOSE[003] TfrmTelvane.socManagerClientDisconnect: " + LogMsg(20) + "127.0.0.1)";
  const std::vector<Case> vCases = {
      {"refused", "127.0.0.1", nullptr, sErrorLine + "127.0.0.1)", {}, {23}},
      // An empty label cannot be encoded, so the lookup fails locally without a query.
      {"name not found", "no-such-host..invalid", nullptr, sErrorLine + "no-such-host..invalid)", {}, {23}},
      {"accepts and never speaks", "127.0.0.1",
       [](TExchangePeer& p, testsupport::TRelay& r) {
         ASSERT_TRUE(r.WaitForLog(LogMsg(18)));
         p.Close();
       },
       sDropLine, {}, {23}},
      {"garbage and NULs instead of a greeting", "127.0.0.1",
       [](TExchangePeer& p, testsupport::TRelay&) {
         const char sGarbage[] = "\0\0\xff\xfe" "Zunda Call\0Manager\r\nResponse: Success\r\n\r\n";
         p.Send(std::string(sGarbage, sizeof(sGarbage) - 1));
         p.Close();
       },
       sDropLine, {}, {23}},
      {"reset after the greeting", "127.0.0.1",
       [](TExchangePeer& p, testsupport::TRelay&) {
         p.Send(GREETING);
         EXPECT_EQ(p.TakeThrough("\r\n\r\n"), LOGIN);
         p.Reset();
       },
       sErrorLine + "127.0.0.1)", {23}, {24}},
      {"closes in the middle of an event", "127.0.0.1",
       [&sHalfEvent](TExchangePeer& p, testsupport::TRelay&) {
         p.Send(GREETING);
         EXPECT_EQ(p.TakeThrough("\r\n\r\n"), LOGIN);
         p.Send(LOGIN_OK);
         EXPECT_EQ(p.TakeThrough("\r\n\r\n"), QUEUES);
         p.Send(sHalfEvent);
         p.Close();
       },
       sDropLine, {23, 24, 26}, {}},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sName);
    TExchangeListener exchange;
    const int nPort = c.fnScript ? exchange.Port() : testsupport::FreePort();
    testsupport::TRelay relay;
    relay.WriteConfig(LinkConfig(c.sHost, nPort));
    ASSERT_TRUE(relay.Start());
    if (c.fnScript) {
      auto peer = exchange.Accept();
      ASSERT_TRUE(peer);
      c.fnScript(*peer, relay);
    }
    const std::string sHp = HostPort(c.sHost, nPort);
    ASSERT_TRUE(relay.WaitForLog("AMI Auto Reconnect Process...")) << relay.LogText();
    std::vector<std::string> lstExpected = {"TValidate.StartSocketClient: " + LogMsg(21) + sHp,
                                            "TfrmTelvane.socManagerClientConnecting: " + LogMsg(19) + c.sHost + ")"};
    for (int nMsg : c.vSeen) lstExpected.push_back(LogMsg(nMsg) + sHp);
    lstExpected.insert(lstExpected.end(), {c.sEndLine, "TValidate.StopSocketClient: " + LogMsg(22) + sHp,
                                           "TValidate.SocketClientRead: " + LogMsg(27) + sHp,
                                           RECONNECT_ARMED});
    const std::string sLog = relay.LogText();
    EXPECT_TRUE(InOrder(sLog, lstExpected));
    for (int nMsg : c.vUnseen) EXPECT_EQ(sLog.find(LogMsg(nMsg)), std::string::npos) << "message " << nMsg;
  }
}

// The outage lines of the exchange link, as the log writes them (WARNING: written at every VERBOSE).
std::string LinkLine(const std::string& sText) { return "WARNING[001] TValidate.ExchangeLink: " + sText; }

// Count of the 1st, 10th, 100th, ... among nAttempts: the thinned lines they are due.
int PowersOfTenUpTo(int64_t nAttempts) {
  int nLines = 0;
  for (int64_t n = 1; n <= nAttempts; n *= 10) ++nLines;
  return nLines;
}

// With VERBOSE=1 the link's progress lines (level 3) stay out, yet a lost exchange shows: the loss with
// the system's reason, each refused attempt thinned, and the login again with the outage's figures.
// The exchange goes away for good after the loss (nothing listens), then comes back on its port.
TEST(ExchangeLinkRelay, LostExchangeShowsAtVerboseOneWithItsReasonItsRefusalsAndTheLoginAgain) {
  struct Case {
    const char* sName;
    std::function<void(TExchangePeer&)> fnLose;  // what the exchange does to the logged-in link
    std::string sReason;
  };
  const std::vector<Case> vCases = {
      {"closes", [](TExchangePeer& p) { p.Close(); }, "connection closed by the exchange"},
      {"resets", [](TExchangePeer& p) { p.Reset(); }, "Connection reset by peer"},
      {"falls silent", [](TExchangePeer&) {}, "keep-alive probe unanswered for 5 s"},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sName);
    std::optional<TExchangeListener> exchange(std::in_place);
    const int nPort = exchange->Port();
    const std::string sEndpoint = "127.0.0.1:" + IntToStr(nPort);
    testsupport::TRelay relay;
    relay.WriteConfig(LinkConfig("127.0.0.1", nPort, 1));
    ASSERT_TRUE(relay.Start());
    auto LogInPeer = [&](std::chrono::milliseconds tWait) {
      auto peer = exchange->Accept(tWait);
      if (!peer) return peer;
      peer->Send(GREETING);
      EXPECT_EQ(peer->TakeThrough("\r\n\r\n"), LOGIN);
      peer->Send(LOGIN_OK);
      EXPECT_EQ(peer->TakeThrough("\r\n\r\n"), QUEUES);
      return peer;
    };
    auto peer = LogInPeer(kDeadline);
    ASSERT_TRUE(peer);
    c.fnLose(*peer);
    const std::string sLost = LinkLine("Lost the exchange link to " + sEndpoint + ": " + c.sReason + ".");
    ASSERT_TRUE(relay.WaitForLog(sLost, 40s)) << relay.LogText();
    peer.reset();
    exchange.reset();
    const std::string sRefused = LinkLine("Attempt to reach the exchange at " + sEndpoint + " failed: Connection refused, ");
    ASSERT_TRUE(relay.WaitForLog(sRefused + "1 so far", 40s)) << relay.LogText();
    exchange.emplace(16, nPort);
    ASSERT_TRUE(exchange->Listening());
    auto again = LogInPeer(40s);
    ASSERT_TRUE(again) << "no reconnection once the exchange came back";
    const std::string sAgain = LinkLine("Logged in to the exchange at " + sEndpoint + " again after ");
    ASSERT_TRUE(relay.WaitForLog(sAgain)) << relay.LogText();
    const std::string sLog = relay.LogText();
    EXPECT_TRUE(InOrder(sLog, {sLost, sRefused + "1 so far", sAgain}));
    // "... again after N s (M failed attempts)."; M >= 1, and one line per power of ten among them.
    const size_t nOpen = sLog.find(" s (", sLog.find(sAgain));
    ASSERT_NE(nOpen, std::string::npos);
    const int64_t nFailed = std::stoll(sLog.substr(nOpen + 4));
    EXPECT_GE(nFailed, 1);
    EXPECT_EQ(CountOf(sLog, sRefused), PowersOfTenUpTo(nFailed));
    EXPECT_EQ(CountOf(sLog, sLost), 1);
    EXPECT_EQ(sLog.find("VERBOSE[003]"), std::string::npos) << "VERBOSE=1 keeps level 3 out";
  }
}

// ==== In process ====

// The relay in this process, started once per process: the folder beside "the executable", the
// log writer, the controller, and the raw ring (opened without its splitter: this thread is its
// consumer). Each case adds a control thread and a manager object of its own.
std::unique_ptr<testsupport::TRelayFixture> pInProcessRelay;  // test thread

bool StartInProcessOnce() {
  static const bool bStarted = [] {
    pInProcessRelay = std::make_unique<testsupport::TRelayFixture>();
    const testsupport::TRelayOptions tOptions{.sConfig = LinkConfig("127.0.0.1", 5038), .bService = false,
                                              .bLogWriter = true};
    return pInProcessRelay->Start(tOptions) && FifoOpen(MyFifoReceived.MyGenericMsgRead);
  }();
  return bStarted;
}

// Stops the relay, its log writer first, before its folder goes and the process ends.
class TInProcessEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { pInProcessRelay.reset(); }
};
[[maybe_unused]] ::testing::Environment* const pInProcessEnvironment =
    ::testing::AddGlobalTestEnvironment(new TInProcessEnvironment());

int OpenDescriptors() {
  int nCount = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++nCount;
    closedir(dir);
  }
  return nCount;
}

// The manager object on a control thread of this process, its timers held off: a tick is a call.
class ExchangeLinkInProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StartInProcessOnce());
    while (FifoPop(MyFifoReceived.MyGenericMsgRead)) {
    }
    TConfigInfo& c = MyConfigInfo;
    c.bAutoStart = c.bServerAutoStart = c.bProxyAutoStart = false;
    c.bServerAutoReconnect = true;
    c.nServerReconnectTmr = c.nServerTimeoutTmr = 5;
    c.sServerIP = "127.0.0.1";
    c.nServerPort = exchange.Port();
    MyAppInfo.tMainSocketClientStateMachine[0] = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;
    MyAppInfo.bReconnecting = false;
    MyAppInfo.nTotalSocketReadEvents = 0;
    MyMainTimerControl.nReconnectTicks = 0;
    Relay().StartControlThread();
    sMarker = std::string("---- ") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + " ----";
    Relay().CreateManager(true, [this](TfrmTelvane& tManager) {
      form = &tManager;
      HoldTimers();
      WriteLog("ExchangeLinkTest", 1, 3, sMarker, false);
    });
  }
  void TearDown() override {
    Relay().DestroyManager([this] { form->MyExchangeLink.socManagerClient.SetActive(false); });
    form = nullptr;
    Relay().StopControlThread();
    // Texts left in the ring would be abandoned at exit, where the leak checker counts them.
    while (FifoPop(MyFifoReceived.MyGenericMsgRead)) {
    }
  }
  static testsupport::TRelayFixture& Relay() { return *pInProcessRelay; }
  static void OnControl(const std::function<void()>& fn) { ASSERT_TRUE(Relay().OnControl(fn)); }
  // A handler restarts its timer on the way out; a test's tick is a direct call instead.
  void HoldTimers() {
    form->tmrMain.SetEnabled(false);
    form->MyExchangeLink.tmrAMIKeepAlive.SetEnabled(false);
    form->MyExchangeLink.tmrReconnect.SetEnabled(false);
  }
  void KeepAliveTick() {
    form->MyExchangeLink.tmrAMIKeepAliveTimer();
    HoldTimers();
  }
  static TMainSocketClientStateMachine_OPT State() { return MyAppInfo.tMainSocketClientStateMachine[0]; }
  TMainSocketClientStateMachine_OPT StateNow() {
    TMainSocketClientStateMachine_OPT t{};
    OnControl([&] { t = State(); });
    return t;
  }
  int ReadsNow() {
    int n = 0;
    OnControl([&] { n = MyAppInfo.nTotalSocketReadEvents; });
    return n;
  }
  // The log from this test's marker on, once it holds sLast.
  std::string LogThrough(const std::string& sLast) {
    const std::string sPath = MyAppInfo.sAppFilePath + "Log/GENERAL_" + testsupport::Today() + ".log";
    std::string sLog;
    PollUntil([&] {
      sLog = testsupport::ReadFile(sPath);
      const size_t nAt = sLog.rfind(sMarker);
      sLog = nAt == std::string::npos ? std::string() : sLog.substr(nAt);
      return sLog.find(sLast) != std::string::npos;
    });
    return sLog;
  }
  // Starts the connection as the operator would and logs in through the scripted exchange.
  std::unique_ptr<TExchangePeer> LogIn(const std::string& sAnswer = LOGIN_OK) {
    OnControl([this] { form->cmdStartClientClick(); });
    auto peer = exchange.Accept();
    if (!peer) return nullptr;
    peer->Send(GREETING);
    EXPECT_EQ(peer->TakeThrough("\r\n\r\n"), LOGIN);
    peer->Send(sAnswer);
    EXPECT_EQ(peer->TakeThrough("\r\n\r\n"), QUEUES);
    return peer;
  }

  TExchangeListener exchange;
  TfrmTelvane* form = nullptr;  // the fixture's manager object; control thread
  std::string sMarker;
};

// Recognition is a substring test over the text of one read; the answers of a state do nothing in another.
TEST_F(ExchangeLinkInProcess, RecognitionNeedsTheWholeTextInOneRead) {
  const char sGarbage[] = "\0\xff\x01Zunda\0Call Manager\r\n\0";
  struct Case {
    const char* sName;
    TMainSocketClientStateMachine_OPT tFrom;
    std::vector<std::string> lstReads;
    TMainSocketClientStateMachine_OPT tTo;
  };
  const auto CONNECTING = MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING;
  const auto AUTHENTICATING = MAIN_SOCKET_CLIENT_STATE_MACHINE_AUTHENTICATING;
  const auto RUNNING = MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING;
  const auto NONE = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;
  const std::vector<Case> vCases = {
      {"greeting", CONNECTING, {GREETING}, AUTHENTICATING},
      {"greeting inside other text", CONNECTING, {"Welcome\r\nthe Zunda Call Manager here\r\n"}, AUTHENTICATING},
      {"greeting split over two reads", CONNECTING, {"Zunda Call Ma", "nager/5.0.1\r\n"}, CONNECTING},
      {"another greeting", CONNECTING, {"Other Call Manager/1.0\r\n"}, CONNECTING},
      {"greeting in other letter case", CONNECTING, {"zunda call manager\r\n"}, CONNECTING},
      {"garbage and NULs", CONNECTING, {std::string(sGarbage, sizeof(sGarbage) - 1)}, CONNECTING},
      {"login answer before the greeting", CONNECTING, {LOGIN_OK}, CONNECTING},
      {"login accepted", AUTHENTICATING, {LOGIN_OK}, RUNNING},
      {"accepted at the end of a read", AUTHENTICATING, {"Message: Hi\r\nResponse: Success"}, RUNNING},
      {"accepted with bare LF line ends", AUTHENTICATING, {"Response: Success\nMessage: ok\n\n"}, RUNNING},
      {"Success outside the Response line", AUTHENTICATING, {"Message: Success\r\nResponse: Follows\r\n"},
       AUTHENTICATING},
      {"Success inside a longer line", AUTHENTICATING, {"X-Response: Success\r\nResponse: Successful\r\n"},
       AUTHENTICATING},
      {"refusal whose message says Success", AUTHENTICATING,
       {"Response: Error\r\nMessage: Authentication Success not granted\r\n\r\n"}, NONE},
      {"answer with neither word", AUTHENTICATING, {"Response: Goodbye\r\n\r\n"}, AUTHENTICATING},
      {"both words without Response", AUTHENTICATING, {"Success\r\nError\r\n"}, AUTHENTICATING},
      {"answer split over two reads", AUTHENTICATING, {"Response: ", "Success\r\n"}, AUTHENTICATING},
      {"login rejected", AUTHENTICATING, {"Response: Error\r\nMessage: Authentication failed\r\n\r\n"}, NONE},
      {"text while disconnected", NONE, {GREETING, LOGIN_OK}, NONE},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sName);
    TMainSocketClientStateMachine_OPT tTo{};
    bool bAllTrue = true;
    bool bReconnecting = false;
    OnControl([&] {
      MyAppInfo.bReconnecting = false;
      MyAppInfo.tMainSocketClientStateMachine[0] = c.tFrom;
      for (const std::string& sRead : c.lstReads) bAllTrue = MyValidate->SocketClientRead(sRead, 0) && bAllTrue;
      tTo = State();
      bReconnecting = MyAppInfo.bReconnecting;
      MyAppInfo.tMainSocketClientStateMachine[0] = NONE;
    });
    EXPECT_TRUE(bAllTrue);
    EXPECT_EQ(tTo, c.tTo);
    // Only a rejection stops the connection, and its stop arms the reconnection.
    EXPECT_EQ(bReconnecting, c.tFrom == AUTHENTICATING && c.tTo == NONE);
  }
  const std::string sLog = LogThrough(LogMsg(25));
  EXPECT_NE(sLog.find("WARNING[001] TValidate.SocketClientRead: " + LogMsg(25)), std::string::npos);
}

TEST_F(ExchangeLinkInProcess, GreetingSplitOverTwoRealReadsIsNeverRecognised) {
  OnControl([this] { form->cmdStartClientClick(); });
  auto peer = exchange.Accept();
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->Send("Zunda Call Man"));
  ASSERT_TRUE(PollUntil([&] { return ReadsNow() == 1; }));
  ASSERT_TRUE(peer->Send("ager/5.0.1\r\n"));
  ASSERT_TRUE(PollUntil([&] { return ReadsNow() == 2; }));
  EXPECT_EQ(StateNow(), MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING);
  // A whole greeting later on the same connection is recognised at once.
  ASSERT_TRUE(peer->Send(GREETING));
  EXPECT_EQ(peer->TakeThrough("\r\n\r\n"), LOGIN);
  EXPECT_EQ(StateNow(), MAIN_SOCKET_CLIENT_STATE_MACHINE_AUTHENTICATING);
  EXPECT_EQ(CountOf(LogThrough(LogMsg(23)), LogMsg(23)), 1);
}

// Each read after the login goes whole and byte for byte into the raw ring, one ring text per read.
TEST_F(ExchangeLinkInProcess, ReadsAfterLoginReachTheRawRingWholeAndUnchanged) {
  auto peer = LogIn();
  ASSERT_TRUE(peer);
  ASSERT_EQ(StateNow(), MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING);
  const int nReadsAtLogin = ReadsNow();
  const char sOdd[] = "Event: PeerStatus\r\nPeer: SIP/20001\r\nNote: \0\x01\xe7\xe3\xff\x80\r\n\r\n";
  std::string sStream(sOdd, sizeof(sOdd) - 1);
  sStream += "Event: Big\r\nData: " + std::string(200 * 1024, 'x') + "\r\n\r\nEvent: Cut\r\nQueue: 100";
  sStream += "01\r\n\r\n";
  for (size_t nFrom = 0; nFrom < sStream.size(); nFrom += 70000) ASSERT_TRUE(peer->Send(sStream.substr(nFrom, 70000)));
  std::string sPopped;
  int nPops = 0;
  ASSERT_TRUE(PollUntil([&] {
    while (TText sText = FifoPop(MyFifoReceived.MyGenericMsgRead)) {
      sPopped += *sText;
      ++nPops;
    }
    return sPopped.size() >= sStream.size();
  }));
  EXPECT_TRUE(sPopped == sStream) << "the ring's text differs from the wire's";
  EXPECT_EQ(nPops, ReadsNow() - nReadsAtLogin) << "one ring text per read";
}

// The exchange may send its first events right behind the login answer, in the same read; they
// reach the ring like any later read instead of being dropped with the answer.
TEST_F(ExchangeLinkInProcess, EventsSharingTheLoginAnswersReadAreNotLost) {
  const std::string sEarly = "Event: FullyBooted\r\nStatus: Fully Booted\r\n\r\nEvent: PeerStatus\r\nPeer: SIP/20002\r\n\r\n";
  auto peer = LogIn(LOGIN_OK + sEarly);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->Send("Event: Later\r\n\r\n"));
  std::string sPopped;
  ASSERT_TRUE(PollUntil([&] {
    while (TText sText = FifoPop(MyFifoReceived.MyGenericMsgRead)) sPopped += *sText;
    return sPopped.find("Event: Later") != std::string::npos;
  }));
  EXPECT_EQ(sPopped, sEarly + "Event: Later\r\n\r\n") << "nothing of the answer itself, nothing lost";
}

// T = 5: the probe at the 5th silent tick, the close at the 10th; any read restarts the count;
// nothing is counted before the login. Automatic reconnection is off here, so the close is final.
TEST_F(ExchangeLinkInProcess, KeepAliveCountsOnlyWhenLoggedInAndAnyReadRestartsIt) {
  enum TDo { TICK, READ, SET_AUTHENTICATING, SET_RUNNING };
  struct Step {
    TDo tDo;
    int nTimes;
    TMainSocketClientStateMachine_OPT tState;
    int32_t nCount;
    TTimeoutEventsState_OPT tStep;
  };
  const auto S1 = TIMEOUTEVENTS_STATE_STEP1, S2 = TIMEOUTEVENTS_STATE_STEP2;
  const auto CONNECTING = MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING;
  const auto AUTHENTICATING = MAIN_SOCKET_CLIENT_STATE_MACHINE_AUTHENTICATING;
  const auto RUNNING = MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING;
  const auto NONE = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;
  const std::vector<Step> vSteps = {
      {TICK, 12, CONNECTING, 0, S1},       {SET_AUTHENTICATING, 1, AUTHENTICATING, 0, S1},
      {TICK, 12, AUTHENTICATING, 0, S1},   {SET_RUNNING, 1, RUNNING, 0, S1},
      {TICK, 4, RUNNING, 4, S1},           {READ, 1, RUNNING, 0, S1},
      {TICK, 4, RUNNING, 4, S1},           {TICK, 1, RUNNING, 0, S2},   // probe
      {TICK, 3, RUNNING, 3, S2},           {READ, 1, RUNNING, 0, S1},   // any answer
      {TICK, 5, RUNNING, 0, S2},           {TICK, 4, RUNNING, 4, S2},   // probe again
      {TICK, 1, NONE, 0, S1},              {TICK, 7, NONE, 0, S1},      // closed for good
  };
  OnControl([&] {
    MyConfigInfo.bServerAutoReconnect = false;
    MyAppInfo.tMainSocketClientStateMachine[0] = CONNECTING;
    for (size_t n = 0; n < vSteps.size(); ++n) {
      const Step& s = vSteps[n];
      for (int i = 0; i < s.nTimes; ++i) {
        if (s.tDo == TICK) KeepAliveTick();
        if (s.tDo == READ) form->MyExchangeLink.socManagerClientRead();
        if (s.tDo == SET_AUTHENTICATING) MyAppInfo.tMainSocketClientStateMachine[0] = AUTHENTICATING;
        if (s.tDo == SET_RUNNING) MyAppInfo.tMainSocketClientStateMachine[0] = RUNNING;
      }
      EXPECT_EQ(State(), s.tState) << "step " << n;
      EXPECT_EQ(MyAppInfo.MyTimeoutEventsControl.nTimeoutControl, s.nCount) << "step " << n;
      EXPECT_EQ(MyAppInfo.MyTimeoutEventsControl.tStateMachine, s.tStep) << "step " << n;
    }
    EXPECT_FALSE(MyAppInfo.bReconnecting);
    for (int i = 0; i < 3; ++i) form->MyExchangeLink.tmrMainTimerReconnect();
    EXPECT_EQ(State(), NONE);
  });
  const std::string sStep1 = "TfrmTelvane.tmrAMIKeepAliveTimer: Timer of Keep Alive(5s) - Step 1. Sending command to AMI Server...";
  const std::string sStep2 = "TfrmTelvane.tmrAMIKeepAliveTimer: Timer of Keep Alive(5s) - Step 2. Restarting Connection with AMI Server...";
  const std::string sLog = LogThrough(LogMsg(27));
  EXPECT_EQ(CountOf(sLog, sStep1), 2);
  EXPECT_EQ(CountOf(sLog, sStep2), 1);
  EXPECT_TRUE(InOrder(sLog, {sStep1, sStep1, sStep2, "TValidate.StopSocketClient: " + LogMsg(22), LogMsg(27)}));
  EXPECT_EQ(sLog.find("AMI Auto Reconnect Process..."), std::string::npos);
}

// The reconnection starts at the first main tick at which the count exceeds R / 5.
TEST_F(ExchangeLinkInProcess, ReconnectionStartsAtTheFirstMainTickPastRDividedByFive) {
  struct Case {
    int32_t nSeconds;
    int nTick;
  };
  for (const Case& c : std::vector<Case>{{5, 2}, {12, 3}, {30, 7}}) {
    SCOPED_TRACE(c.nSeconds);
    int nStartedAt = 0;
    OnControl([&] {
      MyConfigInfo.nServerReconnectTmr = c.nSeconds;
      MyAppInfo.bReconnecting = true;
      for (int nTick = 1; nTick <= 20 && nStartedAt == 0; ++nTick) {
        form->MyExchangeLink.tmrMainTimerReconnect();
        if (State() == MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING) nStartedAt = nTick;
      }
      EXPECT_FALSE(MyAppInfo.bReconnecting);
      EXPECT_EQ(MyMainTimerControl.nReconnectTicks, 0);
      form->MyExchangeLink.socManagerClient.SetActive(false);
      MyAppInfo.tMainSocketClientStateMachine[0] = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;
    });
    EXPECT_EQ(nStartedAt, c.nTick);
    const std::vector<std::string> lstLines = {
        "TfrmTelvane.tmrMainTimer: Timer of Auto Reconnect: " + IntToStr(c.nSeconds) + " seconds...",
        "TfrmTelvane.tmrMainTimer: " + LogMsg(14) + IntToStr(c.nSeconds), "TValidate.StartSocketClient: " + LogMsg(21)};
    // The writer puts one line at a time into the file: wait for the last line, not the tick's.
    std::string sLog;
    PollUntil([&] { return static_cast<bool>(InOrder(sLog = LogThrough(lstLines[1]), lstLines)); });
    EXPECT_TRUE(InOrder(sLog, lstLines));
  }
  // Without a pending reconnection a main tick only clears the count.
  OnControl([&] {
    MyMainTimerControl.nReconnectTicks = 3;
    form->MyExchangeLink.tmrMainTimerReconnect();
    EXPECT_EQ(MyMainTimerControl.nReconnectTicks, 0);
    EXPECT_EQ(State(), MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE);
  });
}

TEST_F(ExchangeLinkInProcess, OperatorStopLeavesAPendingReconnectionPendingAndRestoresTheControls) {
  const std::vector<TControlId> vFields = {CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET,
                                           CTL_CMD_START_CLIENT};
  OnControl([&] {
    for (TControlId t : vFields) form->MyDisplay.SetEnabled(t, false);
    form->MyDisplay.SetEnabled(CTL_CMD_STOP_CLIENT, true);
    {
      TMutexLock lock(MyAppInfo.MyClientSocketInfo.crsPeerTable);
      MyAppInfo.MyClientSocketInfo.vPeerList[7] = {PEER_STATE_UP, 2};
    }
    MyAppInfo.tMainSocketClientStateMachine[0] = MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING;
    EXPECT_TRUE(MyValidate->StopSocketClient(0, false));  // arms the reconnection
    EXPECT_TRUE(MyValidate->StopSocketClient(0, false));  // a second failure while it is pending
    form->cmdStopClientClick();                           // the operator's stop
    EXPECT_TRUE(MyAppInfo.bReconnecting);
    EXPECT_EQ(State(), MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE);
    for (TControlId t : vFields) EXPECT_TRUE(form->MyDisplay.vControls[t].bEnabled) << t;
    EXPECT_FALSE(form->MyDisplay.vControls[CTL_CMD_STOP_CLIENT].bEnabled);
    {
      TMutexLock lock(MyAppInfo.MyClientSocketInfo.crsPeerTable);
      EXPECT_EQ(MyAppInfo.MyClientSocketInfo.vPeerList[7].tPeerState, PEER_STATE_UNKNOWN);
      EXPECT_EQ(MyAppInfo.MyClientSocketInfo.vPeerList[7].nChannelCount, 0);
    }
    form->MyExchangeLink.tmrMainTimerReconnect();
    form->MyExchangeLink.tmrMainTimerReconnect();
    EXPECT_EQ(State(), MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING) << "the wait ran out: reconnected";
    EXPECT_FALSE(form->MyDisplay.vControls[CTL_CMD_START_CLIENT].bEnabled);
    EXPECT_TRUE(form->MyDisplay.vControls[CTL_CMD_STOP_CLIENT].bEnabled);
  });
  const std::string sLog = LogThrough(LogMsg(14) + "5");
  EXPECT_EQ(CountOf(sLog, "AMI Auto Reconnect Process..."), 1) << "logged only when a reconnection is armed";
  EXPECT_EQ(CountOf(sLog, LogMsg(22)), 3);
  EXPECT_EQ(CountOf(sLog, LogMsg(27)), 3);
}

// One outage end to end without timers: the loss, ten refused attempts (lines for the 1st and the
// 10th only, each right after the general socket error line it explains), and the login again.
TEST_F(ExchangeLinkInProcess, OutageLinesThinTheRefusedAttemptsAndTheLoginAgainSumsThemUp) {
  auto peer = LogIn();
  ASSERT_TRUE(peer);
  const std::string sEndpoint = "127.0.0.1:" + IntToStr(exchange.Port());
  peer->Close();
  ASSERT_TRUE(PollUntil([&] { return StateNow() == MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE; }));
  const int nRefusingPort = testsupport::FreePort();
  const std::string sRefusing = "127.0.0.1:" + IntToStr(nRefusingPort);
  for (int n = 0; n < 10; ++n) {
    OnControl([&] {
      MyConfigInfo.nServerPort = nRefusingPort;
      form->cmdStartClientClick();
    });
    ASSERT_TRUE(PollUntil([&] { return StateNow() == MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE; })) << "attempt " << n;
  }
  OnControl([&] { MyConfigInfo.nServerPort = exchange.Port(); });
  ASSERT_TRUE(LogIn());
  const std::string sAgainPrefix = LinkLine("Logged in to the exchange at " + sEndpoint + " again after ");
  // An outage left open by an earlier case ends at this case's first login with a line of the same
  // beginning: wait for the line that sums up this outage's ten attempts instead.
  const std::string sLog = LogThrough(" s (10 failed attempts).");
  const std::string sRefused = LinkLine("Attempt to reach the exchange at " + sRefusing + " failed: Connection refused, ");
  EXPECT_TRUE(InOrder(sLog, {LinkLine("Lost the exchange link to " + sEndpoint + ": connection closed by the exchange."),
                             sRefused + "1 so far", sRefused + "10 so far", sAgainPrefix}));
  EXPECT_EQ(CountOf(sLog, sRefused), 2);
  EXPECT_NE(sLog.find(" s (10 failed attempts).", sLog.find(sAgainPrefix)), std::string::npos) << sLog;
  // The general error line keeps its text; the reason follows it on the very next line.
  const std::string sError = "TfrmTelvane.socManagerClientError: " + LogMsg(4) + "127.0.0.1)";
  const size_t nError = sLog.find(sError);
  ASSERT_NE(nError, std::string::npos);
  const size_t nNext = sLog.find('\n', nError) + 1;
  EXPECT_NE(sLog.substr(nNext, sLog.find('\n', nNext) - nNext).find(sRefused + "1 so far"), std::string::npos) << sLog;
}

// An exchange that accepts and closes at once, 1,000 times through the real handlers, reconnecting
// from inside the disconnect handler: no descriptor may stay behind (and, under ASan, no memory).
TEST_F(ExchangeLinkInProcess, ThousandConnectionsClosedAtOnceLeaveNothingBehind) {
  std::atomic<bool> bStop{false};
  std::thread thExchange([&] {
    for (int n = 0; n < 100000 && !bStop; ++n) exchange.Accept(50ms);  // each peer closes as it goes
  });
  std::atomic<int> nCycles{0};
  std::atomic<int> nErrors{0};
  std::atomic<int> nTarget{1};
  OnControl([&] {
    form->MyExchangeLink.socManagerClient.OnDisconnect = [&] {
      form->MyExchangeLink.socManagerClientDisconnect();
      if (++nCycles < nTarget) MyValidate->StartSocketClient(MyConfigInfo.sServerIP, MyConfigInfo.nServerPort);
    };
    form->MyExchangeLink.socManagerClient.OnError = [&](int& nCode) {
      ++nErrors;
      form->MyExchangeLink.socManagerClientError(nCode);
    };
    form->cmdStartClientClick();
  });
  ASSERT_TRUE(PollUntil([&] { return nCycles == 1; }));
  const int nBaseline = OpenDescriptors();
  nTarget = 1001;
  OnControl([&] { form->cmdStartClientClick(); });
  EXPECT_TRUE(PollUntil([&] { return nCycles == nTarget || nErrors > 0; }, 120s)) << nCycles;
  EXPECT_EQ(nErrors, 0);
  EXPECT_EQ(StateNow(), MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE);
  EXPECT_TRUE(PollUntil([&] { return OpenDescriptors() == nBaseline; })) << OpenDescriptors() << " vs " << nBaseline;
  bStop = true;
  thExchange.join();
  OnControl([&] {
    form->MyExchangeLink.socManagerClient.OnDisconnect = [this] { form->MyExchangeLink.socManagerClientDisconnect(); };
    form->MyExchangeLink.socManagerClient.OnError = [this](int& nCode) { form->MyExchangeLink.socManagerClientError(nCode); };
  });
}

}  // namespace
