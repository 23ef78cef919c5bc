// The client service end to end: real TCP clients against the relay binary for the handshake, the
// change commands, the client limit and hostile input; and, in-process on the control thread, the
// listener's stop and restart and the cut-off of a client that does not read.
#include "controller/untValidate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "base/untCodePage.h"
#include "base/untMessage.h"
#include "base/untVariables.h"
#include "hosting/untTelvane.h"
#include "logging/untLogger.h"
#include "pipeline/untEventOutlet.h"
#include "platform/untServerSocket.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

using testsupport::PollUntil;
using testsupport::TTcpClient;

const std::string WELCOME = "Welcome to Telvane 1.0\r\n\r\n";
const std::string TOKEN_PROMPT = "Token:  ?\r\n\r\n";
const std::string QUEUE_PROMPT = "QueueInfo:  ?\r\n\r\n";
const std::string PEER_PROMPT = "PeerInfo:  ?\r\n\r\n";
const std::string PARK_PROMPT = "FeatureParkInfo:  ?\r\n\r\n";
const std::string READY = "Server is ready and up!\r\n\r\n";
const std::string STOP_NOTICE = "Server is going down!";

// One frame through the fan-out, as a per-key stage hands it over; control thread.
bool WriteFrame(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame) {
  return MyValidate->SocketServerWriteBatch(TEventBatch::One(tFamily, nKey, sFrame));
}

// Message n as it stands in the log file (UTF-8).
std::string LogMsg(int n) { return Cp1252ToUtf8(Msg(n)); }

int LocalPort(const TTcpClient& client) {
  sockaddr_in addr{};
  socklen_t nLen = sizeof(addr);
  getsockname(client.Fd(), reinterpret_cast<sockaddr*>(&addr), &nLen);
  return ntohs(addr.sin_port);
}

// The client tag that ends the handshake's log lines.
std::string Tag(const TTcpClient& client) { return "127.0.0.1:" + std::to_string(LocalPort(client)) + ")"; }

// Sends one message and expects exactly sReply back.
::testing::AssertionResult Step(TTcpClient& client, const std::string& sSend, const std::string& sReply) {
  if (!client.Send(sSend)) return ::testing::AssertionFailure() << "send failed: " << sSend;
  if (!client.ReadUntil(sReply)) return ::testing::AssertionFailure() << "no " << sReply << " after " << sSend;
  const std::string sGot = client.Take();
  if (sGot != sReply) return ::testing::AssertionFailure() << "got " << sGot << " after " << sSend;
  return ::testing::AssertionSuccess();
}

// The six steps of a handshake that succeeds, each with its reply.
std::vector<std::pair<std::string, std::string>> GoodSteps(const std::string& sQueues = "10001",
                                                           const std::string& sPeers = "20001",
                                                           const std::string& sParks = "701") {
  return {{"Hi, lets connect...\r\n", WELCOME},
          {"MyAppID: Desk\r\n", TOKEN_PROMPT},
          {"MyAppToken: qmRoK8]\r\n", QUEUE_PROMPT},
          {"GetQueueInfo: (" + sQueues + ")\r\n", PEER_PROMPT},
          {"GetPeerInfo: (" + sPeers + ")\r\n", PARK_PROMPT},
          {"GetFeatureParkInfo: (" + sParks + ")\r\n", READY}};
}

::testing::AssertionResult FullHandshake(TTcpClient& client, const std::string& sQueues = "10001",
                                         const std::string& sPeers = "20001", const std::string& sParks = "701") {
  for (const auto& [sSend, sReply] : GoodSteps(sQueues, sPeers, sParks)) {
    ::testing::AssertionResult r = Step(client, sSend, sReply);
    if (!r) return r;
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------------
// Against the relay binary: the exchange's port is closed, so only the client side is in play.

class RelayClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nProxyPort = testsupport::FreePort();
    // Every client here comes from 127.0.0.1, up to 101 at once; the per-address limit has tests
    // of its own (client_port_test).
    relay.WriteConfig(testsupport::RelayConfig(testsupport::FreePort(), nProxyPort, "MAXPERADDRESS=0\r\n" + ExtraConfig()));
    ASSERT_TRUE(relay.Start());
    ASSERT_TRUE(relay.WaitForLog(LogMsg(35))) << relay.LogText();
  }
  virtual std::string ExtraConfig() const { return ""; }  // more [PROXY] keys
  bool Logged(const std::string& sText) const { return relay.WaitForLog(sText); }
  size_t Count(const std::string& sText) const {
    return static_cast<size_t>(testsupport::CountOf(relay.LogText(), sText));
  }

  testsupport::TRelay relay;
  int nProxyPort = 0;
};

TEST_F(RelayClientTest, HandshakeOneStepPerReadEndsRunningWithItsLogLinesInOrder) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nProxyPort));
  ASSERT_TRUE(FullHandshake(client));
  const std::string sTag = Tag(client);
  ASSERT_TRUE(Logged(LogMsg(54) + sTag));
  const std::string sLog = relay.LogText();
  size_t nLast = 0;
  for (int n : {38, 39, 40, 41, 42, 43, 54}) {
    const size_t nAt = sLog.find(LogMsg(n) + sTag);
    ASSERT_NE(nAt, std::string::npos) << n;
    EXPECT_GT(nAt, nLast) << "message " << n << " out of order";
    nLast = nAt;
  }
  // Every read is logged with the text in quotes and without its CR LF pairs.
  EXPECT_NE(sLog.find(":\"MyAppToken: qmRoK8]\""), std::string::npos);
}

TEST_F(RelayClientTest, GreetingAndAppIdInOneReadTakeOnlyTheGreeting) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nProxyPort));
  ASSERT_TRUE(Step(client, "Hi, lets connect...\r\nMyAppID: Desk\r\n", WELCOME));
  // Still waiting for the application id: the same line now gets the token prompt, and nothing
  // else came in between.
  ASSERT_TRUE(Step(client, "Some preamble MyAppID: Desk\r\n", TOKEN_PROMPT));
}

struct FailureCase {
  const char* sName;
  int nStepsBefore;   // good steps taken first
  std::string sBad;   // the message that fails
  int nMessage;       // failure message logged
};

void PrintTo(const FailureCase& c, std::ostream* pOut) { *pOut << c.sName; }

class HandshakeFailureTest : public RelayClientTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(HandshakeFailureTest, FailedStepLogsItsMessageAndStartsOver) {
  const FailureCase& c = GetParam();
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nProxyPort));
  const auto vSteps = GoodSteps();
  for (int n = 0; n < c.nStepsBefore; ++n) ASSERT_TRUE(Step(client, vSteps[n].first, vSteps[n].second));
  ASSERT_TRUE(client.Send(c.sBad));
  ASSERT_TRUE(Logged(LogMsg(c.nMessage) + Tag(client)));
  // Back in STARTING: the greeting is answered and the whole handshake goes through again.
  ASSERT_TRUE(FullHandshake(client));
  EXPECT_TRUE(client.Received().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, HandshakeFailureTest,
    ::testing::Values(FailureCase{"AppIdWithoutLineEnd", 1, "MyAppID: Desk", 44},
                      FailureCase{"NoAppId", 1, "MyName: Desk\r\n", 45},
                      FailureCase{"TokenWithoutLineEnd", 2, "MyAppToken: qmRoK8]", 46},
                      FailureCase{"WrongAccessCode", 2, "MyAppToken: qmRoK8}\r\n", 47},
                      FailureCase{"QueuesWithoutParenthesis", 3, "GetQueueInfo: (10001\r\n", 48},
                      FailureCase{"NoQueues", 3, "GetQueue: (10001)\r\n", 49},
                      FailureCase{"PeersWithoutParenthesis", 4, "GetPeerInfo: (20001", 50},
                      FailureCase{"NoPeers", 4, "\r\n", 51},
                      FailureCase{"ParksWithoutParenthesis", 5, "GetFeatureParkInfo: (701\r\n", 52},
                      FailureCase{"NoParks", 5, "GetFeatureParkinfo: (701)\r\n", 53}),
    [](const auto& info) { return std::string(info.param.sName); });

const std::string SITE_CODE = "S1te-Code]x";
const std::string PUBLIC_CODE_WARNING =
    "WARNING[001] TValidate.StartSocketServer: The client port listens beyond this host with the public default "
    "access code; set [PROXY] ACCESSCODE.";

struct ListenCase {
  const char* sName;
  std::string sKeys;  // [PROXY] keys
  bool bWarned;       // the listener's start warns of the public code
};

void PrintTo(const ListenCase& c, std::ostream* pOut) { *pOut << c.sName; }

class AccessCodeTest : public RelayClientTest, public ::testing::WithParamInterface<ListenCase> {
 protected:
  std::string ExtraConfig() const override { return GetParam().sKeys; }
};

// The token step asks for the code in force: a site's own code shuts out the published one, and
// the published one, open to other hosts, is warned of once.
TEST_P(AccessCodeTest, TokenStepTakesOnlyTheCodeInForce) {
  const ListenCase& c = GetParam();
  const bool bSiteCode = c.sKeys.find("ACCESSCODE=") != std::string::npos;
  const std::string sRefused = bSiteCode ? "qmRoK8]" : SITE_CODE;
  const std::string sTaken = bSiteCode ? SITE_CODE : "qmRoK8]";
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nProxyPort));
  ASSERT_TRUE(Step(client, "Hi, lets connect...\r\n", WELCOME));
  ASSERT_TRUE(Step(client, "MyAppID: Desk\r\n", TOKEN_PROMPT));
  ASSERT_TRUE(client.Send("MyAppToken: " + sRefused + "\r\n"));
  ASSERT_TRUE(Logged(LogMsg(47) + Tag(client)));
  auto vSteps = GoodSteps();
  vSteps[2].first = "MyAppToken: " + sTaken + "\r\n";
  for (const auto& [sSend, sReply] : vSteps) ASSERT_TRUE(Step(client, sSend, sReply));
  EXPECT_TRUE(Logged(LogMsg(54) + Tag(client)));
  EXPECT_EQ(Count(PUBLIC_CODE_WARNING), c.bWarned ? 1u : 0u);
  EXPECT_TRUE(client.Received().empty()) << "a refused code gets no reply";
}

INSTANTIATE_TEST_SUITE_P(
    Codes, AccessCodeTest,
    ::testing::Values(ListenCase{"PublicCodeOnEveryInterface", "", true},
                      ListenCase{"PublicCodeOnLoopback", "BINDIP=127.0.0.1\r\n", false},
                      ListenCase{"SiteCodeOnEveryInterface", "ACCESSCODE=" + SITE_CODE + "\r\n", false}),
    [](const auto& info) { return std::string(info.param.sName); });

struct FloodCase {
  const char* sName;
  bool bRunning;  // through the handshake first; else the flood comes instead of a greeting
};

void PrintTo(const FloodCase& c, std::ostream* pOut) { *pOut << c.sName; }

class ReadFloodTest : public RelayClientTest, public ::testing::WithParamInterface<FloodCase> {};

// Every read used to be logged whole, control characters and all: a flood of garbage grew the log
// by three times its size and could write lines of its own into it.
TEST_P(ReadFloodTest, GarbageFloodTakesABoundedShareOfTheLogAndForgesNoLine) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nProxyPort));
  if (GetParam().bRunning) {
    ASSERT_TRUE(FullHandshake(client));
  }
  const std::string sPeer = "127.0.0.1:" + std::to_string(LocalPort(client));
  ASSERT_TRUE(Logged(LogMsg(29) + "1:" + sPeer + ")"));
  const size_t nBefore = relay.LogText().size();
  static constexpr char GARBAGE[] = "\x80\x80\r\x1b[2J\n[1999/01/01 00:00:00] ERROR[000] forged\r\n\0\x81\t";
  std::string sChunk;
  while (sChunk.size() < 1024 * 1024) sChunk.append(GARBAGE, sizeof(GARBAGE) - 1);
  for (int n = 0; n < 100; ++n) ASSERT_TRUE(client.Send(sChunk));
  client.Close();
  // Reads come in pieces of 1 MiB at most, so 100 MiB make a hundred reads at least, more than the
  // budget takes: the disconnect tells what was left out.
  ASSERT_TRUE(Logged(" bytes of reads from " + sPeer + " left out of the log this minute"));
  const std::string sLog = relay.LogText();
  const std::string sGrowth = sLog.substr(nBefore);
  EXPECT_LT(sGrowth.size(), 256u * 1024u);
  EXPECT_GT(testsupport::CountOf(sGrowth, "\\r\\x1b[2J\\n[1999/01/01 00:00:00] ERROR[000] forged"), 0);
  EXPECT_EQ(sGrowth.find('\x1b'), std::string::npos);
  EXPECT_EQ(sGrowth.find('\0'), std::string::npos);
  EXPECT_EQ(sGrowth.find("\xc2\x81"), std::string::npos) << "no C1 control in the UTF-8 log";
  // Every line is one the relay began: its time stamp first, no line end inside.
  for (size_t n = 0; n < sGrowth.size();) {
    const size_t nEol = sGrowth.find("\r\n", n);
    ASSERT_NE(nEol, std::string::npos);
    const std::string sLine = sGrowth.substr(n, nEol - n);
    EXPECT_TRUE(sLine.starts_with("[") && sLine.find_first_of("\r\n") == std::string::npos) << sLine.substr(0, 200);
    EXPECT_FALSE(sLine.starts_with("[1999/01/01 00:00:00]")) << "a line forged by the client";
    n = nEol + 2;
  }
}

INSTANTIATE_TEST_SUITE_P(Clients, ReadFloodTest,
                         ::testing::Values(FloodCase{"Running", true}, FloodCase{"WithoutGreeting", false}),
                         [](const auto& info) { return std::string(info.param.sName); });

// A client whose reads no longer reach the log is still served: past its log budget, every read
// of the handshake still gets its answer on the client's own connection.
TEST_F(RelayClientTest, ClientPastItsReadLogBudgetStillGetsThroughTheHandshake) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nProxyPort));
  const std::string sPeer = "127.0.0.1:" + std::to_string(LocalPort(client));
  ASSERT_TRUE(Logged(LogMsg(29) + "1:" + sPeer + ")"));
  // A hundred reads at least (1 MiB each at most), far more than the budget's 64 KiB of lines.
  const std::string sChunk(1024 * 1024, 'x');
  for (int n = 0; n < 100; ++n) ASSERT_TRUE(client.Send(sChunk));
  ASSERT_TRUE(FullHandshake(client));
  ASSERT_TRUE(Logged(LogMsg(54) + Tag(client)));
  client.Close();
  ASSERT_TRUE(Logged(" bytes of reads from " + sPeer + " left out of the log this minute"));
}

TEST_F(RelayClientTest, EmptyListsPassAndTheGreetingRestartsARunningClient) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nProxyPort));
  for (const auto& [sSend, sReply] : GoodSteps("", "", "")) ASSERT_TRUE(Step(client, sSend, sReply));
  // In RUNNING the greeting starts everything over, on the same connection.
  ASSERT_TRUE(FullHandshake(client));
  EXPECT_TRUE(PollUntil([&] { return Count(LogMsg(54) + Tag(client)) == 2; }));
}

TEST_F(RelayClientTest, ChangeCommandsApplyWellFormedEntriesOfTheFirstCommandFound) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nProxyPort));
  ASSERT_TRUE(FullHandshake(client));
  const std::string sTag = Tag(client);
  // 10003 carries a blank (12 characters), 10004 has three parts, 99999 is out of range.
  ASSERT_TRUE(client.Send("ChangeQueueInfo: (10001:FALSE,10002:TRUE, 10003:FALSE,1004:TRUE:X,99999:TRUE)\r\n"));
  ASSERT_TRUE(Logged(LogMsg(55) + sTag));
  EXPECT_EQ(Count("Changing Queue: "), 2u);
  EXPECT_EQ(Count("Changing Queue: 10001 to False"), 1u);
  EXPECT_EQ(Count("Changing Queue: 10002 to True"), 1u);
  // Both a peer and a queue change in one read: the queue change wins, wherever it stands.
  ASSERT_TRUE(client.Send("ChangePeerInfo: (20001:FALSE)\r\nChangeQueueInfo: (10005:TRUE)\r\n"));
  ASSERT_TRUE(Logged("Changing Queue: 10005 to True"));
  ASSERT_TRUE(PollUntil([&] { return Count(LogMsg(55) + sTag) == 2; }));
  // A queue change without ")" does nothing at all; the parking change after it shows it was read.
  ASSERT_TRUE(client.Send("ChangeQueueInfo: (10006:TRUE\r\n"));
  ASSERT_TRUE(Logged(":\"ChangeQueueInfo: (10006:TRUE\""));  // read on its own
  ASSERT_TRUE(client.Send("ChangeFeatureParkInfo: (701:FALSE,800:TRUE)\r\n"));
  ASSERT_TRUE(Logged(LogMsg(57) + sTag));
  EXPECT_EQ(Count("Changing FeaturePark: 701 to False"), 1u);
  EXPECT_EQ(Count("Changing FeaturePark: 800 to True"), 1u);
  EXPECT_EQ(Count("Changing Queue: 10006"), 0u);
  EXPECT_EQ(Count("Changing Peer: "), 0u);
  EXPECT_EQ(Count(LogMsg(55) + sTag), 2u);
  EXPECT_EQ(Count(LogMsg(56) + sTag), 0u);
  EXPECT_TRUE(client.Received().empty()) << "commands get no reply";
}

TEST_F(RelayClientTest, TwoClientsFromOneAddressKeepTheirOwnSlots) {
  TTcpClient first, second;
  ASSERT_TRUE(first.Connect(nProxyPort));
  ASSERT_TRUE(second.Connect(nProxyPort));
  // Interleaved: each reply goes to the client whose step it was.
  for (const auto& [sSend, sReply] : GoodSteps()) {
    ASSERT_TRUE(Step(first, sSend, sReply));
    ASSERT_TRUE(Step(second, sSend, sReply));
  }
  EXPECT_TRUE(Logged(LogMsg(54) + Tag(first)));
  EXPECT_TRUE(Logged(LogMsg(54) + Tag(second)));
}

TEST_F(RelayClientTest, HundredAndFirstClientIsAcceptedButNeverServed) {
  std::vector<std::unique_ptr<TTcpClient>> vClients;
  for (int n = 0; n < MAX_CLIENT_SLOTS; ++n) {
    vClients.push_back(std::make_unique<TTcpClient>());
    ASSERT_TRUE(vClients.back()->Connect(nProxyPort));
  }
  ASSERT_TRUE(Logged(LogMsg(29) + "100:"));
  TTcpClient extra;
  ASSERT_TRUE(extra.Connect(nProxyPort));
  const std::string sPeer = "127.0.0.1:" + std::to_string(LocalPort(extra)) + ")";
  ASSERT_TRUE(Logged(LogMsg(28) + "101:" + sPeer));
  ASSERT_TRUE(Logged(LogMsg(29) + "101:" + sPeer));
  // A slot freed later does not go to it either.
  vClients.front()->Close();
  ASSERT_TRUE(Logged(LogMsg(30) + "127.0.0.1) - "));
  ASSERT_TRUE(extra.Send("Hi, lets connect...\r\n"));
  ASSERT_TRUE(Logged(LogMsg(32) + "100:" + sPeer + ":\"Hi, lets connect...\""));
  // A round trip of a served client after that read: any reply to the extra one was sent before.
  ASSERT_TRUE(Step(*vClients.back(), "Hi, lets connect...\r\n", WELCOME));
  EXPECT_TRUE(extra.ReadFor(std::chrono::milliseconds(50)));
  EXPECT_EQ(extra.Received(), "");
  EXPECT_EQ(Count(LogMsg(38) + sPeer), 0u);
}

// Nothing a client sends may bring the relay down or stop it serving the others.
TEST_F(RelayClientTest, HostileInputLeavesTheRelayServing) {
  TTcpClient silent, binary, flood;
  ASSERT_TRUE(silent.Connect(nProxyPort));  // connects and never speaks
  ASSERT_TRUE(binary.Connect(nProxyPort));
  std::string sAllBytes;
  for (int n = 0; n < 256; ++n) sAllBytes += static_cast<char>(n);
  ASSERT_TRUE(Step(binary, std::string("\x80\xff Hi, lets connect...\0\r\n", 25), WELCOME));
  ASSERT_TRUE(binary.Send(std::string("MyAppID: \0\x81", 11) + sAllBytes + "\r\n"));
  ASSERT_TRUE(binary.Send(sAllBytes + sAllBytes));
  // A 10 MiB line reaches the relay in pieces; each is handled as one message.
  ASSERT_TRUE(flood.Connect(nProxyPort));
  ASSERT_TRUE(flood.Send(std::string(10 * 1024 * 1024, '(') + "\r\n"));
  // A thousand connections opened at once and dropped, half of them with a reset.
  std::vector<int> vFds;
  for (int n = 0; n < 1000; ++n) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nProxyPort));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) vFds.push_back(fd);
    else close(fd);
  }
  for (size_t n = 0; n < vFds.size(); ++n) {
    if (n % 2 == 0) {
      const linger lin{1, 0};
      setsockopt(vFds[n], SOL_SOCKET, SO_LINGER, &lin, sizeof(lin));
    }
    close(vFds[n]);
  }
  flood.Close();
  // Until the relay has seen every drop, a newcomer may find all slots taken; it then tries again.
  TTcpClient fresh;
  EXPECT_TRUE(PollUntil([&] {
    return fresh.Connect(nProxyPort) && fresh.Send("Hi, lets connect...\r\n") &&
           fresh.ReadUntil(WELCOME, std::chrono::milliseconds(500));
  }));
  fresh.Take();
  const auto vSteps = GoodSteps();
  for (size_t n = 1; n < vSteps.size(); ++n) EXPECT_TRUE(Step(fresh, vSteps[n].first, vSteps[n].second));
  EXPECT_TRUE(Step(silent, "Hi, lets connect...\r\n", WELCOME)) << "the silent one is still served";
  EXPECT_TRUE(relay.Process().Running());
}

// ---------------------------------------------------------------------------------------------
// In-process: the manager object wires the listener to the client service on a control thread.

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(relay.Start({.sConfig = "[LOG]\r\nVERBOSE=3\r\n[GENERAL]\r\nAUTOSTART=0\r\n[AMI]\r\nAUTOSTART=0\r\n"
                                        "SERVERIP=127.0.0.1\r\nSERVERPORT=1\r\n[PROXY]\r\nAUTOSTART=0\r\nSERVERPORT=1\r\n",
                             .bService = true,
                             .bLogWriter = true}));
    // Service mode forces the automatic starts; here the test starts the listener itself.
    MyConfigInfo.bAutoStart = MyConfigInfo.bServerAutoStart = MyConfigInfo.bProxyAutoStart = false;
    relay.StartControlThread();
    nPort = testsupport::FreePort();
    bool bStarted = false;
    relay.CreateManager(false, [&](TfrmTelvane&) { bStarted = MyValidate->StartSocketServer(nPort); });
    ASSERT_TRUE(bStarted);
  }
  void TearDown() override {
    relay.Stop([this] {
      if (relay.HasManager()) relay.Manager().MyDeskService.socManagerServer.SetActive(false);
    });
  }

  void OnControl(const std::function<void()>& fn) { ASSERT_TRUE(relay.OnControl(fn)); }
  std::string LogText() const { return relay.LogText(); }
  bool Logged(const std::string& sText) const { return relay.WaitForLog(sText); }
  std::vector<TMainSocketServerStateMachine_OPT> States() {
    std::vector<TMainSocketServerStateMachine_OPT> v;
    OnControl([&] {
      for (const TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo) v.push_back(slot.tMainSocketServerStateMachine);
    });
    return v;
  }

  testsupport::TRelayFixture relay;
  int nPort = 0;
};

TEST_F(ListenerTest, StopSendsTheNoticeToEveryClientWithASlotAndLeavesTheRestClosing) {
  TTcpClient running, halfway, fresh;
  ASSERT_TRUE(running.Connect(nPort));
  ASSERT_TRUE(FullHandshake(running));
  ASSERT_TRUE(halfway.Connect(nPort));
  ASSERT_TRUE(Step(halfway, "Hi, lets connect...\r\n", WELCOME));
  ASSERT_TRUE(fresh.Connect(nPort));
  ASSERT_TRUE(Logged(LogMsg(29) + "3:" + Tag(fresh)));
  bool bStopped = false, bActive = true;
  OnControl([&] {
    bStopped = MyValidate->StopSocketServer();
    bActive = relay.Manager().MyDeskService.socManagerServer.Active();
  });
  EXPECT_TRUE(bStopped);
  EXPECT_FALSE(bActive);
  for (TTcpClient* pClient : {&running, &halfway, &fresh}) {
    EXPECT_TRUE(pClient->WaitClosed());
    EXPECT_EQ(pClient->Received(), STOP_NOTICE);
    EXPECT_TRUE(Logged(LogMsg(58) + Tag(*pClient)));
  }
  EXPECT_TRUE(Logged(LogMsg(37) + std::to_string(nPort) + ")"));
  const auto vStates = States();
  for (int n = 0; n < MAX_CLIENT_SLOTS; ++n)
    EXPECT_EQ(vStates[n], n < 3 ? MAIN_SOCKET_SERVER_STATE_MACHINE_NONE : MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING) << n;
  EXPECT_EQ(LogText().find(LogMsg(30)), std::string::npos) << "no disconnect events after a stop";
}

TEST_F(ListenerTest, StopWithoutClientsLeavesEverySlotClosingUntilTheNextStart) {
  OnControl([&] { EXPECT_TRUE(MyValidate->StopSocketServer()); });
  EXPECT_TRUE(Logged(LogMsg(37) + std::to_string(nPort) + ")"));
  for (auto t : States()) EXPECT_EQ(t, MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING);
  TTcpClient client;
  EXPECT_FALSE(client.Connect(nPort, std::chrono::milliseconds(200))) << "the listener is inactive";
  OnControl([&] { EXPECT_TRUE(MyValidate->StartSocketServer(nPort)); });
  for (auto t : States()) EXPECT_EQ(t, MAIN_SOCKET_SERVER_STATE_MACHINE_NONE);
  ASSERT_TRUE(client.Connect(nPort));
  EXPECT_TRUE(FullHandshake(client));
}

TEST_F(ListenerTest, StartOnANewPortClosesOpenConnectionsWithoutTheNotice) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nPort));
  ASSERT_TRUE(FullHandshake(client));
  const int nNewPort = testsupport::FreePort();
  OnControl([&] { EXPECT_TRUE(MyValidate->StartSocketServer(nNewPort)); });
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(client.Received(), "");
  for (auto t : States()) EXPECT_EQ(t, MAIN_SOCKET_SERVER_STATE_MACHINE_NONE);
  TTcpClient old, renewed;
  EXPECT_FALSE(old.Connect(nPort, std::chrono::milliseconds(200)));
  ASSERT_TRUE(renewed.Connect(nNewPort));
  EXPECT_TRUE(FullHandshake(renewed));
}

TEST_F(ListenerTest, StartOnATakenPortFailsWithItsErrorLine) {
  testsupport::TLoopbackListener taken(1);
  ASSERT_TRUE(taken.Listening());
  bool bStarted = true, bActive = true;
  OnControl([&] {
    bStarted = MyValidate->StartSocketServer(taken.Port());
    bActive = relay.Manager().MyDeskService.socManagerServer.Active();
  });
  EXPECT_FALSE(bStarted);
  EXPECT_FALSE(bActive);
  EXPECT_TRUE(Logged("ERROR[000] TValidate.StartSocketServer: Error: "));
  EXPECT_TRUE(Logged(" during StartSocketServer Process."));
}

// Events go to RUNNING clients whose list holds the key, in full and unchanged, and to no one else.
TEST_F(ListenerTest, FanOutReachesOnlyRunningSubscribers) {
  TTcpClient subscribed, other, halfway, switchedOff;
  ASSERT_TRUE(subscribed.Connect(nPort));
  ASSERT_TRUE(FullHandshake(subscribed, "10005", "20005", "705"));
  ASSERT_TRUE(other.Connect(nPort));
  ASSERT_TRUE(FullHandshake(other, "10006", "20006", "706"));
  ASSERT_TRUE(halfway.Connect(nPort));  // has given queue 10005, still owes the rest
  const auto vSteps = GoodSteps("10005");
  for (int n = 0; n < 4; ++n) ASSERT_TRUE(Step(halfway, vSteps[n].first, vSteps[n].second));
  ASSERT_TRUE(switchedOff.Connect(nPort));
  ASSERT_TRUE(FullHandshake(switchedOff, "10005", "20005", "705"));
  ASSERT_TRUE(switchedOff.Send("ChangeQueueInfo: (10005:FALSE)\r\n"));
  ASSERT_TRUE(Logged(LogMsg(55) + Tag(switchedOff)));

  const std::string sQueueEvent = "Event: QueueMemberPaused\r\nQueue: 10005\r\n\r\n\r\n";
  const std::string sPeerEvent = "Event: PeerStatus\r\nPeer: SIP/20005\r\n\r\n\r\n";
  const std::string sParkEvent = "Event: ParkedCall\r\nExten: 705\r\n\r\n\r\n";
  OnControl([&] {
    EXPECT_TRUE(WriteFrame(EVENT_FAMILY_QUEUE, 10005, sQueueEvent));
    EXPECT_TRUE(WriteFrame(EVENT_FAMILY_PEER, 20005, sPeerEvent));
    EXPECT_TRUE(WriteFrame(EVENT_FAMILY_FEATUREPARK, 705, sParkEvent));
  });
  ASSERT_TRUE(subscribed.ReadUntil(sParkEvent));
  EXPECT_EQ(subscribed.Take(), sQueueEvent + sPeerEvent + sParkEvent);
  // The writes went to the kernel before the hand-over returned; whatever was sent is here now.
  for (TTcpClient* pClient : {&other, &halfway}) {
    EXPECT_TRUE(pClient->ReadFor(std::chrono::milliseconds(50)));
    EXPECT_EQ(pClient->Received(), "");
  }
  EXPECT_TRUE(switchedOff.ReadFor(std::chrono::milliseconds(50)));
  EXPECT_EQ(switchedOff.Received(), sPeerEvent + sParkEvent);
}

// A batch of queue frames (key, text) laid out one after another in sBytes, as a pass builds it.
TEventBatch QueueBatch(const std::vector<std::pair<int32_t, std::string>>& vFrames, std::string& sBytes) {
  TEventBatch tBatch;
  sBytes.clear();
  for (const auto& [nKey, sFrame] : vFrames) {
    tBatch.vFrames.push_back({nKey, sBytes.size(), sFrame.size()});
    sBytes += sFrame;
  }
  tBatch.svBytes = sBytes;
  return tBatch;
}

std::string QueueFrame(int32_t nKey, const std::string& sTag) {
  return "Event: Join\r\nQueue: " + std::to_string(nKey) + "\r\nTag: " + sTag + "\r\n\r\n\r\n";
}

// Batches reach each client as the frames of its keys, in batch order and byte for byte, whether
// it takes the whole batch (shared), runs with gaps, or a small part (copied for it alone).
TEST_F(ListenerTest, BatchesReachEachClientAsTheFramesOfItsKeysInOrder) {
  const std::vector<std::vector<std::pair<int32_t, std::string>>> vBatches = {
      {{10001, QueueFrame(10001, "A1")}, {10002, QueueFrame(10002, "B1")}, {10003, QueueFrame(10003, "C1")},
       {10004, QueueFrame(10004, "D1")}},
      {{10001, QueueFrame(10001, "A2")}, {10003, QueueFrame(10003, "C2")}},  // keys with a backlog
      {{10001, QueueFrame(10001, "A3")}},
  };
  struct Case {
    const char* sQueues;
    std::vector<std::string> vTags;  // what the client receives, in order
  };
  const std::vector<Case> vCases = {
      {"10001,10002,10003,10004", {"A1", "B1", "C1", "D1", "A2", "C2", "A3"}},
      {"10001,10003", {"A1", "C1", "A2", "C2", "A3"}},  // two runs in the first batch
      {"10004", {"D1"}},                                // a quarter of one batch
      {"10002,10005", {"B1"}},
      {"10005", {}},
  };
  std::vector<std::unique_ptr<TTcpClient>> vClients;
  for (const Case& c : vCases) {
    vClients.push_back(std::make_unique<TTcpClient>());
    ASSERT_TRUE(vClients.back()->Connect(nPort));
    ASSERT_TRUE(FullHandshake(*vClients.back(), c.sQueues));
  }
  OnControl([&] {
    std::string sBytes;  // reused, as a stage reuses its buffer
    for (const auto& vFrames : vBatches) EXPECT_TRUE(MyValidate->SocketServerWriteBatch(QueueBatch(vFrames, sBytes)));
    EXPECT_TRUE(WriteFrame(EVENT_FAMILY_QUEUE, 10001, QueueFrame(10001, "Z")));  // marks the end
  });
  for (size_t n = 0; n < vCases.size(); ++n) {
    std::string sExpected;
    for (const std::string& sTag : vCases[n].vTags)
      sExpected += QueueFrame(10000 + (sTag[0] - 'A' + 1), sTag);
    TTcpClient& client = *vClients[n];
    if (std::string(vCases[n].sQueues).find("10001") != std::string::npos) {
      ASSERT_TRUE(client.ReadUntil(QueueFrame(10001, "Z"))) << vCases[n].sQueues;
      sExpected += QueueFrame(10001, "Z");
    } else {
      EXPECT_TRUE(client.ReadFor(std::chrono::milliseconds(50)));
    }
    EXPECT_EQ(client.Take(), sExpected) << vCases[n].sQueues;
  }
}

// A subscribed client that stops reading is cut off at the bound; the other subscribed client
// receives every event in full meanwhile.
TEST_F(ListenerTest, ClientThatNeverReadsIsDroppedWithoutHoldingUpTheOthers) {
  // One large frame per hand-over, or batches of smaller frames that the silent client shares
  // with the reader.
  struct Case {
    int nFrames;       // frames per batch, keys 10005, 10006, ...
    size_t nPadBytes;  // filler in each frame
  };
  for (const Case c : {Case{1, 64 * 1024}, Case{6, 12 * 1024}}) {
    SCOPED_TRACE(c.nFrames);
    // The silent client goes through the handshake, then reads no more.
    TTcpClient silent;
    ASSERT_TRUE(silent.Connect(nPort));
    ASSERT_TRUE(FullHandshake(silent, "10005,10006,10007,10008,10009,10010"));
    TTcpClient reader;
    ASSERT_TRUE(reader.Connect(nPort));
    ASSERT_TRUE(FullHandshake(reader, "10005,10006,10007,10008,10009,10010"));
    std::vector<std::pair<int32_t, std::string>> vFrames;
    for (int n = 0; n < c.nFrames; ++n)
      vFrames.emplace_back(10005 + n, QueueFrame(10005 + n, std::string(c.nPadBytes, 'x')));
    std::string sBytes;
    const TEventBatch tBatch = QueueBatch(vFrames, sBytes);
    const std::string sOverflow = "Error: client output queue over 4194304 bytes, disconnecting (" + Tag(silent);
    const int nSilentPort = LocalPort(silent);
    size_t nSent = 0, nReceived = 0;
    bool bDropped = false;
    for (int nRound = 0; nRound < 1000 && !bDropped; ++nRound) {
      OnControl([&] {
        EXPECT_TRUE(MyValidate->SocketServerWriteBatch(tBatch));
        nSent += tBatch.svBytes.size();
        bDropped = true;
        for (int32_t i = 0; i < MAX_CLIENT_SLOTS; ++i)
          if (relay.Manager().MyDeskService.Session(i) != nullptr && MyAppInfo.MyServerSocketInfo[i].nRemotePort == nSilentPort)
            bDropped = false;
      });
      ASSERT_TRUE(PollUntil([&] {
        reader.ReadFor(std::chrono::milliseconds(20));
        nReceived += reader.Take().size();
        return nReceived == nSent;
      })) << "round " << nRound;
    }
    EXPECT_TRUE(bDropped);
    EXPECT_TRUE(Logged(sOverflow));
    EXPECT_TRUE(Logged(LogMsg(30) + "127.0.0.1) - "));
    // The reader is still served.
    OnControl([&] { EXPECT_TRUE(WriteFrame(EVENT_FAMILY_QUEUE, 10005, "Event: Last\r\n\r\n\r\n")); });
    EXPECT_TRUE(reader.ReadUntil("Event: Last\r\n\r\n\r\n"));
  }
}

}  // namespace
