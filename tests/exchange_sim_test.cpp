// Tests of the exchange simulator (tools/exchange): the pure text and generator logic, compiled
// in directly, and the real binary driven over loopback by a raw TCP client.
//
// The simulator is a separate program with no library target of its own, so its logic sources
// are included here; main.cpp, the session and the server are exercised through the binary.
#include "../tools/exchange/protocol.h"

#include "../tools/exchange/dialogue.cpp"
#include "../tools/exchange/event_text.cpp"
#include "../tools/exchange/generator.cpp"
#include "../tools/exchange/options.cpp"
#include "../tools/exchange/protocol.cpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <numeric>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "pipeline/untEventProfile.h"
#include "support/TestSupport.h"

namespace exsim {
namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 20s;  // generous: the machines running the tests are shared
const std::string kLogin = "Action: Login\r\nUsername: amiadmin\r\nSecret: pxwdkr\r\n\r\n";

// ---------------------------------------------------------------------------------------------
// Helpers: the simulator as a child process, a raw client, event parsing.

// The simulator started by the constructor; Port() is 0 when it did not report one.
class TSimProcess {
 public:
  explicit TSimProcess(const std::vector<std::string>& lstArgs) { tSim.Start(lstArgs); }
  uint16_t Port() const { return static_cast<uint16_t>(tSim.Port()); }
  void Command(const std::string& sLine) { ASSERT_TRUE(tSim.Process().WriteStdin(sLine + "\n")); }
  void CloseStdin() { tSim.Process().CloseStdin(); }
  // Exit status after the process ends on its own, or -1 if it is still running at the deadline.
  int WaitExit() { return tSim.Process().WaitExit(kDeadline); }
  pid_t Pid() const { return tSim.Process().Pid(); }

 private:
  testsupport::TExchangeSim tSim;  // killed with this object if still running
};

class TRawClient {
 public:
  explicit TRawClient(uint16_t nPort) {
    nSocket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in tAddress{};
    tAddress.sin_family = AF_INET;
    tAddress.sin_port = htons(nPort);
    tAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bConnected = connect(nSocket, reinterpret_cast<sockaddr*>(&tAddress), sizeof tAddress) == 0;
  }
  ~TRawClient() { close(nSocket); }
  bool Connected() const { return bConnected; }
  void Send(std::string_view s) {
    ASSERT_EQ(send(nSocket, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
  }

  // One read with the deadline; false at end of stream, on error or at the deadline.
  bool ReadOnce() {
    pollfd tPoll{nSocket, POLLIN, 0};
    if (poll(&tPoll, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) <= 0)
      return false;
    char vChunk[65536];
    ssize_t n = recv(nSocket, vChunk, sizeof vChunk, 0);
    if (n <= 0) {
      bClosed = true;
      nCloseErrno = n < 0 ? errno : 0;
      return false;
    }
    sReceived.append(vChunk, static_cast<size_t>(n));
    vReadSizes.push_back(static_cast<size_t>(n));
    return true;
  }
  bool ReadUntil(std::string_view sNeedle) {
    while (sReceived.find(sNeedle) == std::string::npos)
      if (!ReadOnce()) return false;
    return true;
  }
  bool ReadUntilClosed() {
    while (ReadOnce()) {
    }
    return bClosed;
  }
  // Greeting, login, and "Action: Queues" as the relay sends them; that next action starts the
  // events at once, behind the queue summary.
  void LogIn() {
    ASSERT_TRUE(ReadUntil("Zunda Call Manager"));
    Send(kLogin + "Action: Queues\r\n\r\n");
    const std::string sAccepted(kLoginAccepted);
    ASSERT_TRUE(ReadUntil(sAccepted));
    sReceived.erase(0, sReceived.find(sAccepted) + sAccepted.size());  // keep early events
  }
  // A Ping sent after the events that are due has its answer behind them.
  void PingAndWait() {
    Send("Action: Ping\r\n\r\n");
    ASSERT_TRUE(ReadUntil("Ping: Pong\r\n\r\n"));
  }

  std::string sReceived;           // every byte received, in order
  std::vector<size_t> vReadSizes;  // bytes returned by each read
  bool bClosed = false;
  int nCloseErrno = 0;  // errno of the read that ended the stream; 0 for EOF

 private:
  int nSocket = -1;
  bool bConnected = false;
};

// Event blocks of a received stream, each without its empty line; other text is skipped.
std::vector<std::string> EventsIn(const std::string& sStream) {
  std::vector<std::string> vEvents;
  for (size_t nAt = sStream.find("Event: "); nAt != std::string::npos;
       nAt = sStream.find("Event: ", nAt)) {
    size_t nEnd = sStream.find("\r\n\r\n", nAt);
    if (nEnd == std::string::npos) break;
    vEvents.push_back(sStream.substr(nAt, nEnd + 2 - nAt));
    nAt = nEnd + 4;
  }
  return vEvents;
}

std::string FieldOf(const std::string& sBlock, const std::string& sKey) {
  size_t nAt = sBlock.find(sKey + ": ");
  if (nAt == std::string::npos) return {};
  nAt += sKey.size() + 2;
  return sBlock.substr(nAt, sBlock.find("\r\n", nAt) - nAt);
}

std::string WriteTempFile(const std::string& sText) {
  struct TCleanup {  // removes the files when the test program ends
    std::vector<std::string> lstPaths;
    ~TCleanup() {
      for (const std::string& s : lstPaths) std::remove(s.c_str());
    }
  };
  static TCleanup tCleanup;
  std::string sPath = ::testing::TempDir() + "exsim_" + std::to_string(getpid()) + "_" +
                      std::to_string(tCleanup.lstPaths.size()) + ".txt";
  std::ofstream(sPath, std::ios::binary) << sText;
  tCleanup.lstPaths.push_back(sPath);
  return sPath;
}

// ---------------------------------------------------------------------------------------------
// Pure logic.

TEST(ExchangeSimOptions, AcceptsWellFormedAndRejectsKeysTheRelayCouldNotRead) {
  struct Case {
    std::vector<std::string> lstArgs;
    bool bOk;
  };
  const Case vCases[] = {
      {{"--port", "0", "--generate", "--rate", "50000", "--queues", "10001-10100"}, true},
      {{"--peers", "20000-29999", "--parks", "100-999", "--seed", "42", "--stamp"}, true},
      {{"--queues", "1001-1010"}, false},   // four-digit queues
      {{"--peers", "30001-30010"}, false},  // extensions must begin with 2
      {{"--parks", "7001-7005"}, false},    // slots have three digits
      {{"--queues", "10010-10001"}, false},
      {{"--cut-random", "--cut-every", "5"}, false},
      {{"--rate", "-1"}, false},
      {{"--port", "65536"}, false},
      {{"--count", "12x"}, false},
      {{"--seed"}, false},
      {{"--bogus"}, false},
      {{"--tls-cert", "relay.pem", "--tls-key", "relay.key"}, true},
      {{"--tls-cert", "relay.pem"}, false},  // a certificate without its key
  };
  for (const Case& c : vCases) {
    TExchangeOptions t;
    std::string sError;
    EXPECT_EQ(ParseOptions(c.lstArgs, t, sError), c.bOk) << c.lstArgs[0] << ": " << sError;
  }
}

TEST(ExchangeSimReplay, LineEndsAreNormalisedAndBlocksSplitAtBlankLines) {
  struct Case {
    std::string sFile;
    std::vector<std::string> vBlocks;
  };
  const Case vCases[] = {
      {"Event: A\nX: 1\n\nEvent: B\n", {"Event: A\r\nX: 1\r\n", "Event: B\r\n"}},
      {"Event: A\r\nX: 1\r\n\r\nEvent: B\r\n\r\n", {"Event: A\r\nX: 1\r\n", "Event: B\r\n"}},
      {"\n\nEvent: A\n \t\n\n\nEvent: B", {"Event: A\r\n", "Event: B\r\n"}},
      {"Event: A\r\nMixed: 1\nEvent-ish: 2\r\n", {"Event: A\r\nMixed: 1\r\nEvent-ish: 2\r\n"}},
      {"\n \n", {}},
  };
  for (const Case& c : vCases) EXPECT_EQ(SplitBlocks(NormaliseLineEnds(c.sFile)), c.vBlocks);

  std::vector<std::string> vBlocks;
  std::string sError;
  EXPECT_FALSE(LoadReplayFile(WriteTempFile("\n\n"), vBlocks, sError));
  EXPECT_FALSE(LoadReplayFile("/nonexistent/replay.txt", vBlocks, sError));
}

TEST(ExchangeSimActions, ReaderReassemblesPiecesAndSurvivesGarbage) {
  TActionReader tReader;
  TAction tAction;
  const std::string sAction = "Action: Command\r\nCommand: core show uptime\r\n\r\n";
  for (char c : sAction) {  // one byte per read
    EXPECT_FALSE(tReader.Next(tAction));
    tReader.Feed(std::string_view(&c, 1));
  }
  ASSERT_TRUE(tReader.Next(tAction));
  EXPECT_EQ(tAction.Get("action"), "Command");
  EXPECT_EQ(tAction.Get("Command"), "core show uptime");

  tReader.Feed(std::string(kMaxActionBytes + 10, 'x'));  // no block end: dropped, bounded
  EXPECT_FALSE(tReader.Next(tAction));
  EXPECT_GT(tReader.DiscardedBytes(), kMaxActionBytes);
  tReader.Feed("\r\n\r\nno colon here\n\nAction: Ping\nActionID: 7\n\n");  // LF-only works too
  ASSERT_TRUE(tReader.Next(tAction));
  EXPECT_EQ(tAction.Get("Action"), "Ping");
  EXPECT_EQ(tAction.Get("ActionID"), "7");
}

TEST(ExchangeSimActions, AnswersMatchWhatTheRelayTestsFor) {
  struct Case {
    std::string sAction;
    bool bLoggedIn;
    bool bRefuse;
    bool bNoKeepAlive;
    std::string sExpected;  // whole answer, or a prefix when it ends in '*'
  };
  const std::string sCommand = "Action: Command\r\nCommand: core show uptime\r\n";
  const Case vCases[] = {
      {kLogin, false, false, false, std::string(kLoginAccepted)},
      {"Action: Login\r\nUsername: amiadmin\r\nSecret: wrong\r\n", false, false, false,
       std::string(kLoginFailed)},
      {kLogin, false, true, false, std::string(kLoginFailed)},
      {"Action: Queues\r\n", false, false, false,
       "Response: Error\r\nMessage: Authentication Required\r\n\r\n"},
      {sCommand, true, false, false,
       "Response: Follows\r\nPrivilege: Command\r\nSystem uptime: 1 minute, 5 seconds\r\n*"},
      {sCommand, true, false, true, ""},
      {"Action: Ping\r\nActionID: 9\r\n", true, false, false,
       "Response: Success\r\nActionID: 9\r\nPing: Pong\r\n\r\n"},
      {"Garbage: yes\r\n", true, false, false, ""},
      {"Action: Frobnicate\r\n", true, false, false,
       "Response: Error\r\nMessage: Invalid/unknown command\r\n\r\n"},
  };
  for (const Case& c : vCases) {
    TActionReader tReader;
    tReader.Feed(c.sAction + "\r\n");
    TAction tAction;
    ASSERT_TRUE(tReader.Next(tAction));
    TExchangeOptions tOptions;
    tOptions.bRefuseLogin = c.bRefuse;
    tOptions.bNoAnswerKeepAlive = c.bNoKeepAlive;
    std::string sText = AnswerAction(tAction, tOptions, c.bLoggedIn, 65).sText;
    if (!c.sExpected.empty() && c.sExpected.back() == '*')
      EXPECT_EQ(sText.substr(0, c.sExpected.size() - 1),
                c.sExpected.substr(0, c.sExpected.size() - 1));
    else
      EXPECT_EQ(sText, c.sExpected) << c.sAction;
  }
  TExchangeOptions tOptions;
  std::string sQueues = QueueSummaryText(tOptions);
  EXPECT_EQ(sQueues.find("Event:"), std::string::npos);
  EXPECT_EQ(sQueues.substr(sQueues.size() - 4), "\r\n\r\n");
  EXPECT_NE(sQueues.find("10010 has 0 calls"), std::string::npos);
}

TEST(ExchangeSimText, FramingStampsAndEscapes) {
  EXPECT_EQ(FrameEvent("Event: A\r\n", false, 1, 2), "Event: A\r\n\r\n");
  EXPECT_EQ(FrameEvent("Event: A\r\n", true, 7, 1700000000123456),
            "Event: A\r\nTelvaneSeq: 7\r\nTelvaneSent: 1700000000123456\r\n\r\n");
  struct Case {
    std::string sIn, sOut;
  };
  const Case vCases[] = {
      {"a\\r\\nb", "a\r\nb"}, {"\\x41\\x7e\\t", "A~\t"}, {"\\\\r", "\\r"},
      {"\\q\\x4", "\\q\\x4"}, {"end\\", "end\\"},
  };
  for (const Case& c : vCases) EXPECT_EQ(DecodeEscapes(c.sIn), c.sOut) << c.sIn;
}

TEST(ExchangeSimCuts, PiecesCoverTheWriteExactly) {
  for (size_t nLength : {1u, 2u, 7u, 100u, 70000u}) {
    std::vector<size_t> vEvery = CutEvery(nLength, 7);
    EXPECT_EQ(std::accumulate(vEvery.begin(), vEvery.end(), size_t{0}), nLength);
    EXPECT_EQ(vEvery.size(), (nLength + 6) / 7);
    for (size_t n : vEvery) EXPECT_TRUE(n >= 1 && n <= 7);

    TRandom tA(5), tB(5);
    std::vector<size_t> vRandom = CutRandom(nLength, tA);
    EXPECT_EQ(std::accumulate(vRandom.begin(), vRandom.end(), size_t{0}), nLength);
    EXPECT_EQ(vRandom, CutRandom(nLength, tB));  // same seed, same cuts
    EXPECT_GE(vRandom.size(), nLength > 1 ? 2u : 1u);
    for (size_t n : vRandom) EXPECT_GE(n, 1u);
  }
}

// ---------------------------------------------------------------------------------------------
// Generator: headers, keys as the relay reads them, and a plausible order per call.

// Checks the header and the key field of one generated block; returns "" or what is wrong.
std::string CheckGeneratedBlock(const std::string& s, const TExchangeOptions& t) {
  if (s.size() < 2 || s.compare(s.size() - 2, 2, "\r\n") != 0 ||
      s.find("\r\n\r\n") != std::string::npos)
    return "not one block of whole lines";
  size_t nAt = 0;
  for (const char* sKey :
       {"Event: ", "Privilege: ", "File: ", "Line: ", "Func: "}) {  // in this order
    if (s.compare(nAt, std::strlen(sKey), sKey) != 0) return std::string("header lacks ") + sKey;
    nAt = s.find("\r\n", nAt) + 2;
  }
  if (FieldOf(s, "Line").find_first_not_of("0123456789") != std::string::npos)
    return "Line is no number";
  auto fKey = [&](const std::string& sMarker, size_t nDigits, const TKeyRange& r,
                  const std::string& sAfter) -> std::string {
    size_t nKeyAt = s.find(sMarker);
    if (nKeyAt == std::string::npos || s.compare(nKeyAt - 2, 2, "\r\n") != 0)
      return sMarker + " not at a line start";
    std::string sKey = s.substr(nKeyAt + sMarker.size(), nDigits);
    if (sKey.size() != nDigits || sKey.find_first_not_of("0123456789") != std::string::npos ||
        s.compare(nKeyAt + sMarker.size() + nDigits, sAfter.size(), sAfter) != 0)
      return "malformed key after " + sMarker;
    int nKey = std::stoi(sKey);
    return nKey >= r.nFirst && nKey <= r.nLast ? "" : "key out of range";
  };
  const std::string sFile = FieldOf(s, "File");
  TKeyRange tAfter2{t.tPeers.nFirst - 20000, t.tPeers.nLast - 20000};  // digits after the "2"
  if (sFile == "app_queue.c") return fKey("Queue: ", 5, t.tQueues, "\r\n");
  if (sFile == "features.c") return fKey("Exten: ", 3, t.tParks, "\r\n");
  if (sFile == "chan_sip.c")
    return s.find("Channel: SIP/2") != std::string::npos ? "channel in a peer event"
                                                         : fKey("Peer: SIP/2", 4, tAfter2, "\r\n");
  if (sFile == "channel.c" || sFile == "app_dial.c") return fKey("Channel: SIP/2", 4, tAfter2, "-");
  return "unknown module " + sFile;
}

TEST(ExchangeSimGenerator, EveryEventCarriesItsModuleAndAReadableKey) {
  TExchangeOptions t;
  t.tPeers = {20001, 20004};  // few extensions: every scenario kind competes for them
  TEventGenerator tGenerator(t);
  std::set<std::string> lstSeen;
  for (int i = 0; i < 20000; ++i) {
    std::string s = tGenerator.Next();
    std::string sProblem = CheckGeneratedBlock(s, t);
    ASSERT_EQ(sProblem, "") << s;
    lstSeen.insert(FieldOf(s, "Event") + "/" + FieldOf(s, "ChannelStateDesc") +
                   FieldOf(s, "SubEvent") + FieldOf(s, "PeerStatus"));
  }
  for (const char* sKind :
       {"Join/", "Leave/", "Newchannel/Down", "Newstate/Ring", "Newstate/Ringing", "Newstate/Up",
        "Hangup/", "Dial/Begin", "Dial/End", "QueueMemberPaused/", "PeerStatus/Registered",
        "PeerStatus/Unregistered", "PeerStatus/Reachable", "ParkedCall/", "UnParkedCall/",
        "ParkedCallTimeOut/"})
    EXPECT_TRUE(lstSeen.count(sKind)) << sKind;
}

TEST(ExchangeSimGenerator, CallsQueuesAndSlotsFollowAPlausibleOrder) {
  TExchangeOptions t;
  TEventGenerator tGenerator(t);
  std::map<std::string, std::string> tChannels;  // open channel -> its state
  std::map<std::string, int> tOpenPerPeer, tQueueCount;
  std::set<std::string> lstUnregistered, lstParked;
  int nSecondCalls = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string s = tGenerator.Next(), sEvent = FieldOf(s, "Event"),
                sChannel = FieldOf(s, "Channel");
    std::string sPeer = sChannel.size() > 9 ? sChannel.substr(4, 5) : "";
    SCOPED_TRACE(s);
    if (sEvent == "Newchannel") {
      ASSERT_FALSE(tChannels.count(sChannel));
      ASSERT_FALSE(lstUnregistered.count(sPeer)) << "call to an unregistered extension";
      nSecondCalls += tOpenPerPeer[sPeer]++ > 0;
      tChannels[sChannel] = "Down";
    } else if (sEvent == "Newstate" || sEvent == "Dial") {
      ASSERT_TRUE(tChannels.count(sChannel));
      if (sEvent == "Newstate") tChannels[sChannel] = FieldOf(s, "ChannelStateDesc");
    } else if (sEvent == "Hangup") {
      ASSERT_TRUE(tChannels.erase(sChannel));
      --tOpenPerPeer[sPeer];
    } else if (sEvent == "PeerStatus") {
      std::string sStatusPeer = FieldOf(s, "Peer").substr(4);
      ASSERT_EQ(tOpenPerPeer[sStatusPeer], 0) << "status change during a call";
      if (FieldOf(s, "PeerStatus") == "Unregistered") lstUnregistered.insert(sStatusPeer);
      if (FieldOf(s, "PeerStatus") == "Registered") lstUnregistered.erase(sStatusPeer);
    } else if (sEvent == "Join" || sEvent == "Leave") {
      int& nCount = tQueueCount[FieldOf(s, "Queue")];
      nCount += sEvent == "Join" ? 1 : -1;
      ASSERT_EQ(FieldOf(s, "Count"), std::to_string(nCount));
    } else if (sEvent == "ParkedCall") {
      ASSERT_TRUE(lstParked.insert(FieldOf(s, "Exten")).second) << "slot already taken";
    } else if (sEvent == "UnParkedCall" || sEvent == "ParkedCallTimeOut") {
      ASSERT_TRUE(lstParked.erase(FieldOf(s, "Exten"))) << "nothing parked there";
    }
  }
  EXPECT_GT(nSecondCalls, 0) << "no second call on a busy extension";
}

TEST(ExchangeSimGenerator, SameSeedSameTrafficOtherSeedOther) {
  TExchangeOptions t1, t2, t3;
  t3.nSeed = 2;
  TEventGenerator g1(t1), g2(t2), g3(t3);
  std::string s1, s2, s3;
  for (int i = 0; i < 500; ++i) {
    s1 += g1.Next();
    s2 += g2.Next();
    s3 += g3.Next();
  }
  EXPECT_EQ(s1, s2);
  EXPECT_NE(s1, s3);
}

// ---- The current dialect ----

TEST(ExchangeSimOptions, CurrentProfileTakesAnyNumberingPlanAndNamedQueues) {
  struct Case {
    std::vector<std::string> lstArgs;
    std::string sError;  // empty: accepted
  };
  const Case vCases[] = {
      {{"--profile", "current", "--peers", "201-220", "--queues", "501-510", "--parks", "7001-7005"}, ""},
      {{"--profile", "current", "--queue-names", "support,sales,after-hours_2"}, ""},
      {{"--peers", "201-220"}, "--peers must lie within 20000-29999"},
      {{"--queue-names", "support"}, "--queue-names needs --profile current"},
      {{"--profile", "current", "--queue-names", "123"}, "invalid value for --queue-names: 123"},
      {{"--profile", "current", "--queue-names", "sales,sales"}, "invalid value for --queue-names: sales,sales"},
      {{"--profile", "current", "--queue-names", "a b"}, "invalid value for --queue-names: a b"},
      {{"--profile", "current", "--queue-names", "a,"}, "invalid value for --queue-names: a,"},
      {{"--profile", "modern"}, "invalid value for --profile: modern"},
  };
  for (const Case& c : vCases) {
    TExchangeOptions t;
    std::string sError;
    EXPECT_EQ(ParseOptions(c.lstArgs, t, sError), c.sError.empty()) << c.lstArgs[1];
    EXPECT_EQ(sError, c.sError) << c.lstArgs[1];
  }
}

// Every block of the current dialect is what a current release writes, and the relay's CURRENT
// rules file it under a key of the ranges and names the simulator was given.
TEST(ExchangeSimGenerator, CurrentDialectIsKeyedByTheRelaysCurrentRules) {
  TExchangeOptions t;
  std::string sError;
  ASSERT_TRUE(ParseOptions({"--profile", "current", "--peers", "201-204", "--queue-names", "support,sales",
                            "--parks", "701-702"}, t, sError)) << sError;
  TProfileConfig tRelay;
  tRelay.tProfile = AMI_PROFILE_CURRENT;
  tRelay.lstChannelTech = {"SIP", "PJSIP"};
  tRelay.nPeerFirst = 201;
  tRelay.vQueueNames = {{"SALES", 10002}, {"SUPPORT", 10001}};
  TEventGenerator tGenerator(t);
  std::set<std::string> lstSeen;
  for (int i = 0; i < 20000; ++i) {
    const std::string s = tGenerator.Next();
    SCOPED_TRACE(s);
    for (const char* sClassicLine : {"\r\nFile: ", "\r\nLine: ", "\r\nFunc: ", " SIP/", "Channel: SIP/"})
      ASSERT_EQ(s.find(sClassicLine), std::string::npos) << sClassicLine;
    const uint32_t nRings = ClassifyCurrentEvent(s);
    ASSERT_NE(nRings, 0u);
    if (nRings & EVENT_RING_QUEUE) {
      const int32_t nQueue = ExtractQueueKey(s, tRelay).value_or(0);
      ASSERT_TRUE(nQueue == 10001 || nQueue == 10002);
    }
    if (nRings & EVENT_RING_PEER) {
      const int32_t nPeer = ExtractPeerKey(s, tRelay).value_or(0);
      ASSERT_TRUE(nPeer >= 201 && nPeer <= 204);
    }
    if (nRings & EVENT_RING_FEATUREPARK) {
      const int32_t nSlot = ExtractFeatureParkKey(s, tRelay).value_or(0);
      ASSERT_TRUE(nSlot == 701 || nSlot == 702);
      ASSERT_LT(s.find("ParkeeExten: "), s.find("ParkingSpace: "));
    }
    lstSeen.insert(FieldOf(s, "Event") + "/" + FieldOf(s, "PeerStatus"));
  }
  for (const char* sKind :
       {"QueueCallerJoin/", "QueueCallerLeave/", "AgentCalled/", "AgentConnect/", "AgentComplete/",
        "QueueMemberStatus/", "QueueMemberPause/", "Newchannel/", "Newstate/", "DialBegin/", "DialEnd/", "Hangup/",
        "PeerStatus/Reachable", "PeerStatus/Unreachable", "ParkedCall/", "UnParkedCall/", "ParkedCallTimeOut/"})
    EXPECT_TRUE(lstSeen.count(sKind)) << sKind;
}

// ---------------------------------------------------------------------------------------------
// The binary over loopback.

TEST(ExchangeSimBinary, GreetingAndLoginAnswers) {
  struct Case {
    std::vector<std::string> lstArgs;
    std::string sSecret;
    std::string_view sAnswer;
  };
  const Case vCases[] = {
      {{"--generate"}, "pxwdkr", kLoginAccepted},
      {{"--generate"}, "wrong", kLoginFailed},
      {{"--generate", "--refuse-login"}, "pxwdkr", kLoginFailed},
      {{"--secret", "s3", "--user", "bob"}, "s3", kLoginFailed},  // right secret, wrong user
  };
  for (const Case& c : vCases) {
    TSimProcess tSim(c.lstArgs);
    ASSERT_NE(tSim.Port(), 0);
    TRawClient tClient(tSim.Port());
    ASSERT_TRUE(tClient.ReadUntil("\r\n"));
    EXPECT_EQ(tClient.sReceived, kGreeting);
    tClient.sReceived.clear();
    tClient.Send("Action: Login\r\nUsername: amiadmin\r\nSecret: " + c.sSecret + "\r\n\r\n");
    ASSERT_TRUE(tClient.ReadUntil("\r\n\r\n"));
    EXPECT_EQ(tClient.sReceived, c.sAnswer) << c.sSecret;
    if (c.sAnswer == kLoginFailed) {  // refused: the connection stays open and sends no events
      tClient.Send("Action: Ping\r\n\r\n");
      ASSERT_TRUE(tClient.ReadUntil("Authentication Required\r\n\r\n"));
      EXPECT_EQ(tClient.sReceived.find("Event:"), std::string::npos);
    }
  }
}

TEST(ExchangeSimBinary, GreetingVariants) {
  {
    TSimProcess tSim({"--greeting-split"});
    TRawClient tClient(tSim.Port());
    ASSERT_TRUE(tClient.ReadUntil("\r\n"));
    EXPECT_EQ(tClient.sReceived, kGreeting);
    ASSERT_GE(tClient.vReadSizes.size(), 2u);
    EXPECT_EQ(tClient.sReceived.substr(0, tClient.vReadSizes[0]).find("Zunda Call Manager"),
              std::string::npos);
  }
  TSimProcess tSim({"--no-greeting"});
  TRawClient tClient(tSim.Port());
  tClient.Send(kLogin);
  ASSERT_TRUE(tClient.ReadUntil("\r\n\r\n"));
  EXPECT_EQ(tClient.sReceived, kLoginAccepted);
}

TEST(ExchangeSimBinary, QueuesAndKeepAliveAnswers) {
  TSimProcess tSim({});
  TRawClient tClient(tSim.Port());
  tClient.LogIn();  // sends "Action: Queues"
  ASSERT_TRUE(tClient.ReadUntil("No Callers\r\n\r\n"));
  EXPECT_EQ(tClient.sReceived.rfind("10001 has 0 calls", 0), 0u);
  EXPECT_EQ(tClient.sReceived.find("Event:"), std::string::npos);
  tClient.sReceived.clear();
  tClient.Send("Action: Command\r\nCommand: core show uptime\r\n\r\n");
  ASSERT_TRUE(tClient.ReadUntil("--END COMMAND--\r\n\r\n"));
  EXPECT_EQ(
      tClient.sReceived.rfind("Response: Follows\r\nPrivilege: Command\r\nSystem uptime: ", 0), 0u);

  TSimProcess tQuiet({"--no-answer-keepalive"});
  TRawClient tQuietClient(tQuiet.Port());
  tQuietClient.LogIn();
  tQuietClient.Send("Action: Command\r\nCommand: core show uptime\r\n\r\n");
  tQuietClient.PingAndWait();  // the command's answer would have come first
  EXPECT_EQ(tQuietClient.sReceived.substr(tQuietClient.sReceived.find("No Callers\r\n\r\n") + 14),
            "Response: Success\r\nPing: Pong\r\n\r\n");
}

TEST(ExchangeSimBinary, ReplayArrivesWithCrLfInOrderAndStamped) {
  const std::string sPath =
      WriteTempFile("Event: One\nFile: x.c\n\nEvent: Two\nFile: y.c\nN: 2\n\n\nEvent: Three\n");
  const std::vector<std::string> vExpected = {
      "Event: One\r\nFile: x.c\r\n", "Event: Two\r\nFile: y.c\r\nN: 2\r\n", "Event: Three\r\n"};
  TSimProcess tSim({"--replay", sPath, "--rate", "0", "--repeat", "2", "--stamp"});
  uint64_t nSeq = 0;
  auto fNow = [] {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  for (int nConnection = 0; nConnection < 2;
       ++nConnection) {  // replay restarts, TelvaneSeq goes on
    int64_t nBefore = fNow();
    TRawClient tClient(tSim.Port());
    tClient.LogIn();
    tClient.PingAndWait();
    int64_t nAfter = fNow();
    std::vector<std::string> vEvents = EventsIn(tClient.sReceived);
    ASSERT_EQ(vEvents.size(), 6u);
    for (size_t i = 0; i < vEvents.size(); ++i) {
      const std::string& s = vEvents[i];
      size_t nStamp = s.find("TelvaneSeq: ");
      ASSERT_NE(nStamp, std::string::npos);
      EXPECT_EQ(s.substr(0, nStamp), vExpected[i % 3]);
      EXPECT_EQ(FieldOf(s, "TelvaneSeq"), std::to_string(++nSeq));
      int64_t nSent = std::stoll(FieldOf(s, "TelvaneSent"));
      EXPECT_TRUE(nSent >= nBefore && nSent <= nAfter) << nSent;
      EXPECT_EQ(s.substr(s.size() - 2), "\r\n");
    }
  }
}

TEST(ExchangeSimBinary, ReplayOnceIsNotRepeatedOnTheNextConnection) {
  TSimProcess tSim({"--replay", WriteTempFile("Event: Only\n\n"), "--rate", "0", "--replay-once"});
  for (size_t nExpected : {1u, 0u}) {
    TRawClient tClient(tSim.Port());
    tClient.LogIn();
    tClient.PingAndWait();
    EXPECT_EQ(EventsIn(tClient.sReceived).size(), nExpected);
  }
}

TEST(ExchangeSimBinary, GeneratorStopsAtCountWithValidEvents) {
  TExchangeOptions t;
  TSimProcess tSim({"--generate", "--rate", "0", "--count", "200", "--stamp"});
  TRawClient tClient(tSim.Port());
  tClient.LogIn();
  tClient.PingAndWait();
  std::vector<std::string> vEvents = EventsIn(tClient.sReceived);
  ASSERT_EQ(vEvents.size(), 200u);
  for (const std::string& s : vEvents) {
    std::string sBlock = s.substr(0, s.find("TelvaneSeq: "));
    ASSERT_EQ(CheckGeneratedBlock(sBlock, t), "") << s;
  }
  EXPECT_EQ(FieldOf(vEvents.back(), "TelvaneSeq"), "200");
}

TEST(ExchangeSimBinary, CutEverySplitsEventWritesButNotTheDialogue) {
  std::string sFile;
  for (int i = 0; i < 4; ++i)
    sFile += "Event: Cut" + std::to_string(i) + "\nFile: channel.c\nChannel: SIP/20001-0000000" +
             std::to_string(i) + "\n\n";
  TSimProcess tSim({"--replay", WriteTempFile(sFile), "--rate", "0", "--cut-every", "7",
                    "--cut-pause", "10", "--start-delay",
                    "60000"});  // only the Queues action starts the events
  TRawClient tClient(tSim.Port());
  tClient.LogIn();  // its "Action: Queues" starts the events
  size_t nReadsBefore = tClient.vReadSizes.size();
  ASSERT_TRUE(
      tClient.ReadUntil("Event: Cut3\r\nFile: channel.c\r\nChannel: SIP/20001-00000003\r\n\r\n"));
  std::string sEvents = tClient.sReceived.substr(tClient.sReceived.find("Event:"));
  std::string sExpected;
  for (const std::string& s : SplitBlocks(NormaliseLineEnds(sFile))) sExpected += s + "\r\n";
  EXPECT_EQ(sEvents, sExpected);
  EXPECT_GE(tClient.vReadSizes.size() - nReadsBefore, 5u) << "the events came in too few reads";
}

TEST(ExchangeSimBinary, CloseAndResetAfterNEventsThenServeTheNextConnection) {
  struct Case {
    std::string sOption;
    int nErrno;
  };
  const Case vCases[] = {{"--close-after", 0}, {"--reset-after", ECONNRESET}};
  const std::string sPath = WriteTempFile("Event: A\n\nEvent: B\n\nEvent: C\n\nEvent: D\n\n");
  for (const Case& c : vCases) {
    TSimProcess tSim({"--replay", sPath, "--rate", "0", c.sOption, "3", "--start-delay", "0"});
    for (int nConnection = 0; nConnection < 2; ++nConnection) {
      TRawClient tClient(tSim.Port());
      tClient.LogIn();
      EXPECT_TRUE(tClient.ReadUntilClosed());
      EXPECT_EQ(tClient.nCloseErrno, c.nErrno) << c.sOption;
      EXPECT_EQ(EventsIn(tClient.sReceived).size(), 3u) << c.sOption;
    }
  }
  TSimProcess tSim({"--close-on-connect"});
  for (int nConnection = 0; nConnection < 2; ++nConnection) {
    TRawClient tClient(tSim.Port());
    EXPECT_TRUE(tClient.ReadUntilClosed());
    EXPECT_EQ(tClient.sReceived, "");
  }
}

TEST(ExchangeSimBinary, ConsoleCommandsAndStdinEndDoNotStopIt) {
  TSimProcess tSim({"--generate", "--rate", "0", "--count", "5", "--silent"});
  TRawClient tClient(tSim.Port());
  tClient.LogIn();
  tClient.PingAndWait();
  EXPECT_EQ(tClient.sReceived.find("Event:"), std::string::npos) << "silent sent events";
  tSim.Command("raw Garbage\\x01\\r\\n");
  ASSERT_TRUE(tClient.ReadUntil("Garbage\x01\r\n"));
  tSim.Command("send " + WriteTempFile("Event: Injected\nFile: features.c\nExten: 701\n\n"));
  ASSERT_TRUE(tClient.ReadUntil("Event: Injected\r\nFile: features.c\r\nExten: 701\r\n\r\n"));
  tSim.Command("silent off");
  tClient.sReceived.clear();
  ASSERT_TRUE(tClient.ReadUntil("Event:"));
  tSim.Command("close");
  EXPECT_TRUE(tClient.ReadUntilClosed());

  tSim.CloseStdin();  // end of input is not quit: a new connection is still served
  TRawClient tNext(tSim.Port());
  ASSERT_TRUE(tNext.ReadUntil("Zunda Call Manager"));
  kill(tSim.Pid(), SIGTERM);
  EXPECT_EQ(tSim.WaitExit(), 0);

  TSimProcess tQuit({});
  tQuit.Command("quit");
  EXPECT_EQ(tQuit.WaitExit(), 0);
}

TEST(ExchangeSimBinary, GarbageFromTheClientIsSurvived) {
  TSimProcess tSim({"--generate", "--rate", "0", "--count", "3"});
  TRawClient tClient(tSim.Port());
  ASSERT_TRUE(tClient.ReadUntil("\r\n"));
  std::string sJunk(300 * 1024, 'z');
  for (size_t i = 0; i < sJunk.size(); i += 97) sJunk[i] = static_cast<char>(i % 256);
  tClient.Send(sJunk);
  tClient.Send("\r\n\r\n:\r\n\r\n");
  tClient.LogIn();
  tClient.PingAndWait();
  EXPECT_EQ(EventsIn(tClient.sReceived).size(), 3u);
}

}  // namespace
}  // namespace exsim
