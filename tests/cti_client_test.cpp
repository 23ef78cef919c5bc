// Tests of the CTI client tool: its pure protocol logic (frame splitting at any
// read boundary, list expansion, handshake replies, stamps, loss and
// percentiles, option errors), compiled in directly, and the telvane-client
// binary run against a small fake relay on loopback that plays the server's
// side of the handshake one read per message, as the relay does.
#include "../tools/client/protocol.h"

#include "../tools/client/options.cpp"
#include "../tools/client/protocol.cpp"
#include "../tools/client/stats.cpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace cticlient;
using ::testing::HasSubstr;

namespace {

// ---- Frame splitter --------------------------------------------------------

struct TRecordingSink : TFrameSink {
  std::vector<std::string> lstFrames;
  std::vector<std::string> lstStamps;  // "seq/sent" per frame, "-" for a missing field
  std::vector<size_t> vDropped;
  int nGoingDown = 0;
  void OnFrame(const TFrame& f) override {
    lstFrames.emplace_back(f.sText);
    lstStamps.push_back((f.bHasSeq ? std::to_string(f.nSeq) : "-") + "/" +
                        (f.bHasSent ? std::to_string(f.nSentMicros) : "-"));
  }
  void OnGoingDown() override {
    ++nGoingDown;
    lstFrames.push_back("<going down>");
  }
  void OnFrameDropped(size_t nBytes) override {
    vDropped.push_back(nBytes);
    lstFrames.push_back("<dropped>");
  }
};

// Feeds sStream cut at the given positions (ascending, inside the stream).
TRecordingSink FeedCut(TFrameSplitter& MySplitter, const std::string& sStream,
                       const std::vector<size_t>& vCuts) {
  TRecordingSink MySink;
  size_t nFrom = 0;
  for (size_t nCut : vCuts) {
    MySplitter.Feed(std::string_view(sStream).substr(nFrom, nCut - nFrom), MySink);
    nFrom = nCut;
  }
  MySplitter.Feed(std::string_view(sStream).substr(nFrom), MySink);
  return MySink;
}

std::vector<size_t> EveryN(size_t nStep, size_t nSize) {
  std::vector<size_t> vCuts;
  for (size_t n = nStep; n < nSize; n += nStep) vCuts.push_back(n);
  return vCuts;
}

const std::string EVENT_A = "Event: QueueMemberStatus\r\nQueue: 10001\r\nTelvaneSeq: 41\r\n"
                            "TelvaneSent: 1700000000123456\r\n";
const std::string EVENT_B = "Event: ParkedCall\r\nExten: 701\r\n";
const std::string EVENT_C = "Event: Hangup\r\nTelvaneSeq: 42\r\nTelvaneSeq: 99\r\n";
const std::string TRAILER = "\r\n\r\n";

// The tail of the last prompt, three frames and the stop notice, as the relay writes them.
const std::string RUNNING_STREAM = "\r\n\r\n" + EVENT_A + TRAILER + EVENT_B + TRAILER +
                                   std::string(kGoingDownNotice) + EVENT_C + TRAILER;

TEST(FrameSplitter, SameFramesWhereverTheReadsEnd) {
  const std::vector<std::string> lstExpected = {EVENT_A, EVENT_B, "<going down>", EVENT_C};
  const std::vector<std::string> lstStamps = {"41/1700000000123456", "-/-", "42/-"};
  struct TCase {
    const char* sName;
    std::vector<size_t> vCuts;
  };
  std::vector<TCase> vCases = {
      {"one read", {}},
      {"byte by byte", EveryN(1, RUNNING_STREAM.size())},
      {"every 7 bytes", EveryN(7, RUNNING_STREAM.size())},
      {"inside the closing CR LF run", {4 + EVENT_A.size() + 1, 4 + EVENT_A.size() + 3}},
      {"inside the notice", {4 + EVENT_A.size() + 4 + EVENT_B.size() + 4 + 6}},
  };
  for (size_t nCut = 1; nCut < RUNNING_STREAM.size(); ++nCut)
    vCases.push_back({"two reads", {nCut}});
  for (const TCase& c : vCases) {
    TFrameSplitter MySplitter;
    TRecordingSink MySink = FeedCut(MySplitter, RUNNING_STREAM, c.vCuts);
    const std::string sWhere = std::string(c.sName) + (c.vCuts.size() == 1 ? " cut at " + std::to_string(c.vCuts[0]) : "");
    EXPECT_EQ(MySink.lstFrames, lstExpected) << sWhere;
    EXPECT_EQ(MySink.lstStamps, lstStamps) << sWhere;
    EXPECT_EQ(MySplitter.Finish(), 0u) << sWhere;
  }
}

TEST(FrameSplitter, FrameOverTheBoundIsDroppedAndTheNextOneKept) {
  const std::string sBig = "Event: Big\r\n" + std::string(200, 'x') + "\r\n" + std::string(90, 'y') + "\r\n";
  const std::string sStream = EVENT_B + TRAILER + sBig + TRAILER + EVENT_A + TRAILER;
  for (size_t nStep : {size_t{1}, size_t{5}, size_t{64}, sStream.size()}) {
    TFrameSplitter MySplitter(128);
    TRecordingSink MySink = FeedCut(MySplitter, sStream, EveryN(nStep, sStream.size()));
    EXPECT_EQ(MySink.lstFrames, (std::vector<std::string>{EVENT_B, "<dropped>", EVENT_A}))
        << "reads of " << nStep;
    EXPECT_EQ(MySink.vDropped, std::vector<size_t>{sBig.size()}) << "reads of " << nStep;
  }
}

TEST(FrameSplitter, GarbageNeverYieldsAFrameOverTheBound) {
  TFrameSplitter MySplitter(1024);
  TRecordingSink MySink;
  uint32_t nState = 12345;
  std::string sChunk;
  for (int nRound = 0; nRound < 200; ++nRound) {
    sChunk.clear();
    for (int i = 0; i < 4096; ++i) {
      nState = nState * 1103515245u + 12345u;
      const uint32_t r = (nState >> 16) % 64;
      sChunk += r == 0 ? '\n' : r == 1 ? '\r' : static_cast<char>(nState >> 8);
    }
    MySplitter.Feed(sChunk, MySink);
  }
  for (const std::string& sFrame : MySink.lstFrames) EXPECT_LE(sFrame.size(), 1024u);
  EXPECT_FALSE(MySink.lstFrames.empty());
}

TEST(FrameSplitter, CloseInsideAFrameReportsItsBytes) {
  struct TCase {
    std::string sStream;
    size_t nUnfinished;
  };
  const std::vector<TCase> vCases = {
      {EVENT_A + TRAILER + "Event: Cut\r\nQue", 15},
      {EVENT_A + "\r", EVENT_A.size() + 1},  // the empty line has not ended
      {EVENT_A + TRAILER + "\r\n\r", 0},     // only line ends pending
  };
  for (const TCase& c : vCases) {
    TFrameSplitter MySplitter;
    TRecordingSink MySink;
    MySplitter.Feed(c.sStream, MySink);
    EXPECT_EQ(MySplitter.Finish(), c.nUnfinished) << c.sStream;
  }
}

// ---- Handshake replies -----------------------------------------------------

TEST(Handshake, PromptsCutAcrossReadsAndEventsAfterTheLastOne) {
  THandshakeValues MyValues;
  MyValues.sAppId = "Desk";
  THandshake MyHandshake(BuildHandshakeSteps(MyValues));
  const std::vector<std::string> lstReplies = {
      "Welcome to Telvane 1.0\r\n\r\n", "Token:  ?\r\n\r\n", "QueueInfo:  ?\r\n\r\n",
      "PeerInfo:  ?\r\n\r\n", "FeatureParkInfo:  ?\r\n\r\n",
      "Server is ready and up!\r\n\r\n" + EVENT_B + TRAILER};
  std::string sRest;
  for (size_t nStep = 0; nStep < lstReplies.size(); ++nStep) {
    const std::string& sReply = lstReplies[nStep];
    const size_t nCut = 5;  // inside every prompt
    EXPECT_EQ(MyHandshake.Feed(sReply.substr(0, nCut), sRest), HANDSHAKE_REPLY_NEED_MORE) << nStep;
    EXPECT_EQ(MyHandshake.Feed(sReply.substr(nCut), sRest), HANDSHAKE_REPLY_PROMPT) << nStep;
  }
  EXPECT_TRUE(MyHandshake.Done());
  EXPECT_EQ(sRest, "\r\n\r\n" + EVENT_B + TRAILER);
}

TEST(Handshake, WrongPromptWaitsAndStopNoticeEndsIt) {
  THandshake MyHandshake(BuildHandshakeSteps(THandshakeValues{}));
  std::string sRest;
  ASSERT_EQ(MyHandshake.Feed("Welcome to Telvane 1.0\r\n\r\n", sRest), HANDSHAKE_REPLY_PROMPT);
  EXPECT_EQ(MyHandshake.Feed("QueueInfo:  ?\r\n\r\n", sRest), HANDSHAKE_REPLY_NEED_MORE);
  EXPECT_EQ(MyHandshake.Feed("Token: ?\r\n", sRest), HANDSHAKE_REPLY_NEED_MORE);  // one blank only
  EXPECT_EQ(MyHandshake.Feed("Server is going", sRest), HANDSHAKE_REPLY_NEED_MORE);
  EXPECT_EQ(MyHandshake.Feed(" down!", sRest), HANDSHAKE_REPLY_GOING_DOWN);
}

// ---- Number lists ----------------------------------------------------------

TEST(NumberList, ExpandsNumbersAndRangesAndRejectsMistakes) {
  struct TCase {
    const char* sList;
    bool bOk;
    std::vector<int32_t> vNumbers;
  };
  const std::vector<TCase> vCases = {
      {"", true, {}},
      {"   ", true, {}},
      {"10001", true, {10001}},
      {"10001-10003,10020", true, {10001, 10002, 10003, 10020}},
      {" 701 - 702 , 705 ", true, {701, 702, 705}},
      {"5-5", true, {5}},
      {"10003-10001", false, {}},
      {"1,,2", false, {}},
      {"1,", false, {}},
      {"abc", false, {}},
      {"1-", false, {}},
      {"-5", false, {}},
      {"1-2-3", false, {}},
      {"+7", false, {}},
      {"1234567890", false, {}},
      {"0-100000", false, {}},  // 100001 numbers: over the bound
  };
  for (const TCase& c : vCases) {
    std::vector<int32_t> vNumbers;
    std::string sError;
    EXPECT_EQ(ExpandNumberList(c.sList, vNumbers, sError), c.bOk) << '"' << c.sList << '"';
    if (c.bOk) EXPECT_EQ(vNumbers, c.vNumbers) << '"' << c.sList << '"';
    else EXPECT_FALSE(sError.empty()) << '"' << c.sList << '"';
  }
}

// ---- Stamps ----------------------------------------------------------------

TEST(Stamps, StrictNumbersOnlyAtTheStartOfTheLine) {
  struct TCase {
    const char* sLine;
    const char* sExpected;  // as TRecordingSink writes it
  };
  const std::vector<TCase> vCases = {
      {"TelvaneSeq: 5", "5/-"},
      {"TelvaneSeq:   17  ", "17/-"},
      {"TelvaneSent: 18446744073709551615", "-/18446744073709551615"},
      {"TelvaneSent: 18446744073709551616", "-/-"},  // overflows
      {"TelvaneSeq: -1", "-/-"},
      {"TelvaneSeq: 12a", "-/-"},
      {"TelvaneSeq: ", "-/-"},
      {"TelvaneSeq:5", "-/-"},
      {"XTelvaneSeq: 5", "-/-"},
      {"telvaneseq: 5", "-/-"},
  };
  for (const TCase& c : vCases) {
    TFrameSplitter MySplitter;
    TRecordingSink MySink;
    MySplitter.Feed("Event: X\r\n" + std::string(c.sLine) + "\r\n\r\n\r\n", MySink);
    ASSERT_EQ(MySink.lstStamps.size(), 1u) << c.sLine;
    EXPECT_EQ(MySink.lstStamps[0], c.sExpected) << c.sLine;
  }
}

// ---- Loss, duplicates, percentiles -----------------------------------------

TEST(SeqTracker, CountsGapsAndDuplicates) {
  struct TCase {
    std::vector<uint64_t> vSeqs;
    uint64_t nLostBetween, nDuplicates, nLostIn1To10;
  };
  const std::vector<TCase> vCases = {
      {{}, 0, 0, 10},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0, 0, 0},
      {{3, 1, 2, 5, 5, 7}, 2, 1, 5},
      {{4, 4, 4}, 0, 2, 9},
      {{0, 11, 12}, 10, 0, 10},  // outside 1..10 counts nothing seen inside it
      {{4095, 4096, 4098}, 1, 0, 10},  // across a block border
  };
  for (const TCase& c : vCases) {
    TSeqTracker MySeq;
    for (uint64_t n : c.vSeqs) MySeq.Add(n);
    EXPECT_EQ(MySeq.LostBetweenSeen(), c.nLostBetween) << ::testing::PrintToString(c.vSeqs);
    EXPECT_EQ(MySeq.Duplicates(), c.nDuplicates) << ::testing::PrintToString(c.vSeqs);
    EXPECT_EQ(MySeq.LostIn(1, 10), c.nLostIn1To10) << ::testing::PrintToString(c.vSeqs);
  }
  TSeqTracker MySparse;  // far apart values cost no memory in between
  MySparse.Add(0);
  MySparse.Add(uint64_t{1} << 40);
  EXPECT_EQ(MySparse.LostBetweenSeen(), (uint64_t{1} << 40) - 1);
}

TEST(LatencyHistogram, NearestRankPercentiles) {
  TLatencyHistogram MyExact;
  for (int64_t n = 1; n <= 1000; ++n) MyExact.Add(n);  // µs, all exact buckets
  EXPECT_EQ(MyExact.PercentileMicros(50), 500);
  EXPECT_EQ(MyExact.PercentileMicros(99), 990);
  EXPECT_EQ(MyExact.PercentileMicros(100), 1000);
  EXPECT_EQ(MyExact.MaxMicros(), 1000);

  TLatencyHistogram MyWide;
  for (int64_t nMs = 100; nMs >= 1; --nMs) MyWide.Add(nMs * 1000);
  EXPECT_NEAR(MyWide.PercentileMicros(50), 50000, 50000 * 0.002);
  EXPECT_NEAR(MyWide.PercentileMicros(99), 99000, 99000 * 0.002);
  EXPECT_GE(MyWide.PercentileMicros(99), 99000);  // upper edge: never under the true value
  EXPECT_EQ(MyWide.PercentileMicros(100), 100000);  // capped at the exact maximum

  TLatencyHistogram MyOne;
  MyOne.Add(-40);  // a sender clock ahead of ours
  MyOne.Add(123456789);
  EXPECT_EQ(MyOne.NegativeCount(), 1u);
  EXPECT_EQ(MyOne.PercentileMicros(50), 0);
  EXPECT_EQ(MyOne.PercentileMicros(99), 123456789);
}

TEST(ResultLine, EmptyLatencyIsNanAndRateIsOverTheReadyTime) {
  TRunTotals MyTotals;
  MyTotals.nReady = 2;
  MyTotals.nFrames = 300;
  MyTotals.dSeconds = 1.5;
  MyTotals.nLost = 3;
  MyTotals.nDuplicates = 1;
  EXPECT_EQ(FormatResultLine(MyTotals, TLatencyHistogram{}),
            "RESULT clients=2 frames=300 fps=200.0 lost=3 dup=1 p50_ms=nan p99_ms=nan max_ms=nan");
  TLatencyHistogram MyLatency;
  MyLatency.Add(1500);
  EXPECT_THAT(FormatResultLine(MyTotals, MyLatency), HasSubstr("p50_ms=1.500 p99_ms=1.500 max_ms=1.500"));
}

// ---- Options ---------------------------------------------------------------

TEST(Options, BadCommandLinesNameTheOption) {
  struct TCase {
    std::vector<std::string> lstArgs;
    const char* sMentions;
  };
  const std::vector<TCase> vCases = {
      {{"--port", "0"}, "--port"},
      {{"--port", "70000"}, "--port"},
      {{"--port"}, "needs a value"},
      {{"--queues", "10001-"}, "--queues"},
      {{"--duration", "-1"}, "--duration"},
      {{"--quiet=yes"}, "takes no value"},
      {{"--bogus"}, "unknown option"},
      {{"stray"}, "unexpected argument"},
      {{"--expect-seq", "9-1"}, "--expect-seq"},
      {{"--app-id", "a\r\nb"}, "--app-id"},
      {{"--send", "x\ny"}, "--send"},
      {{"--nats", "nats://h:4222", "--send", "A"}, "--send needs the relay's port"},
      {{"--nats-stream", "TELVANE"}, "--nats-stream needs --nats"},
      {{"--nats", ""}, "--nats"},
      {{"--ca", "ca.pem"}, "--ca needs --tls"},
      {{"--nats-per-connection", "0"}, "--nats-per-connection"},
  };
  for (const TCase& c : vCases) {
    TClientOptions MyOptions;
    std::string sError;
    EXPECT_FALSE(ParseClientOptions(c.lstArgs, MyOptions, sError)) << c.sMentions;
    EXPECT_THAT(sError, HasSubstr(c.sMentions));
  }
  TClientOptions MyOptions;
  std::string sError;
  ASSERT_TRUE(ParseClientOptions({"--port=6000", "--parks", "", "--expect-seq", "1-9", "--send",
                                  "A", "--send", "B"},
                                 MyOptions, sError))
      << sError;
  EXPECT_EQ(MyOptions.nPort, 6000);
  EXPECT_TRUE(MyOptions.vParks.empty());
  EXPECT_EQ(MyOptions.nExpectLast, 9u);
  EXPECT_EQ(MyOptions.lstSend, (std::vector<std::string>{"A", "B"}));
}

// ---- The binary against a fake relay ---------------------------------------

using testsupport::TLoopbackListener;
using TFakeConnection = testsupport::TTcpClient;

// One read of a fake relay's connection, taken as one message as the relay does; empty on close,
// error or deadline.
std::string ReadMessage(TFakeConnection& c) {
  c.Take();
  return c.ReadOnce() > 0 ? c.Take() : std::string();
}

const std::vector<std::string> PROMPTS = {
    "Welcome to Telvane 1.0\r\n\r\n", "Token:  ?\r\n\r\n", "QueueInfo:  ?\r\n\r\n",
    "PeerInfo:  ?\r\n\r\n", "FeatureParkInfo:  ?\r\n\r\n", "Server is ready and up!\r\n\r\n"};

// Plays the relay's side of the handshake: one read per step, each answered by
// its prompt. With nSilentAt, the reply to that step never comes (a rejected
// step). sAfterReady is written together with the last prompt.
std::vector<std::string> ServeHandshake(TFakeConnection& c, int nSilentAt = -1,
                                        const std::string& sAfterReady = "") {
  std::vector<std::string> lstMessages;
  for (int nStep = 0; nStep < static_cast<int>(PROMPTS.size()); ++nStep) {
    std::string sMessage = ReadMessage(c);
    if (sMessage.empty()) break;
    lstMessages.push_back(sMessage);
    if (nStep == nSilentAt) break;
    c.Send(PROMPTS[static_cast<size_t>(nStep)] + (nStep == 5 ? sAfterReady : ""));
  }
  return lstMessages;
}

// A fake relay: a loopback listener whose accepted connections are each served by fnServe on a
// thread of their own; the threads are joined when it goes away.
class TFakeRelay {
 public:
  TFakeRelay(int nConnections, TLoopbackListener::TServe fnServe) {
    listener.ServeEach(nConnections, std::move(fnServe));
  }
  int Port() const { return listener.Port(); }

 private:
  TLoopbackListener listener;
};

struct TClientResult {
  int nExitCode = -1;
  std::string sOut;
  std::string sErr;
};

// Runs the client binary to its end with sInput on stdin.
TClientResult RunClient(const std::vector<std::string>& lstArgs, const std::string& sInput = "") {
  std::vector<std::string> lstArgv = {TELVANE_CLIENT_BINARY};
  lstArgv.insert(lstArgv.end(), lstArgs.begin(), lstArgs.end());
  testsupport::TProcess MyClient;
  TClientResult MyResult;
  if (!MyClient.Start(lstArgv)) {
    ADD_FAILURE() << "cannot start " << TELVANE_CLIENT_BINARY;
    return MyResult;
  }
  MyClient.WriteStdin(sInput);
  MyClient.CloseStdin();
  MyResult.nExitCode = MyClient.WaitExit(std::chrono::seconds(60));
  if (MyResult.nExitCode == -1) ADD_FAILURE() << "client did not end";  // killed on the way out
  MyResult.sOut = MyClient.Stdout();
  MyResult.sErr = MyClient.Stderr();
  return MyResult;
}

TEST(ClientBinary, HandshakeOneWritePerStepThenFramesAndStopNotice) {
  std::vector<std::string> lstMessages;
  {
    TFakeRelay MyRelay(1, [&](TFakeConnection& c, int) {
      lstMessages = ServeHandshake(c, -1, EVENT_A + TRAILER);  // a frame glued to the last prompt
      const std::string sFrameB = EVENT_B + TRAILER;
      c.Send(sFrameB.substr(0, 10));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the frame arrive in two reads
      c.Send(sFrameB.substr(10));
      c.Send(kGoingDownNotice);
    });
    const TClientResult r = RunClient({"--port", std::to_string(MyRelay.Port()), "--app-id",
                                       "Desk7", "--queues", "10001-10003,10005", "--peers",
                                       "20001", "--parks", "", "--duration", "60"});
    EXPECT_EQ(r.nExitCode, 0) << r.sErr;
    EXPECT_EQ(r.sOut,
              "READY\n"
              "Event: QueueMemberStatus\nQueue: 10001\nTelvaneSeq: 41\nTelvaneSent: 1700000000123456\n\n"
              "Event: ParkedCall\nExten: 701\n\n"
              "Server is going down!\n");
  }
  EXPECT_EQ(lstMessages, (std::vector<std::string>{
                             "Hi, lets connect...\r\n", "MyAppID: Desk7\r\n",
                             "MyAppToken: qmRoK8]\r\n",
                             "GetQueueInfo: (10001,10002,10003,10005)\r\n",
                             "GetPeerInfo: (20001)\r\n", "GetFeatureParkInfo: ()\r\n"}));
}

TEST(ClientBinary, SendsCommandsFromOptionAndStdinAfterReady) {
  std::string sCommands;
  {
    TFakeRelay MyRelay(1, [&](TFakeConnection& c, int) {
      ServeHandshake(c);
      const std::string sWanted = "ChangeQueueInfo: (10001:FALSE)\r\nChangePeerInfo: (20001:TRUE)\r\n";
      for (int i = 0; i < 100 && sCommands.size() < sWanted.size(); ++i) {
        const std::string sRead = ReadMessage(c);
        if (sRead.empty()) break;
        sCommands += sRead;
      }
    });
    const TClientResult r = RunClient(
        {"--port", std::to_string(MyRelay.Port()), "--token", "qmRoK8]", "--queues", "10001",
         "--send", "ChangeQueueInfo: (10001:FALSE)", "--duration", "60"},
        "ChangePeerInfo: (20001:TRUE)\n");
    EXPECT_EQ(r.nExitCode, 0) << r.sErr;
    EXPECT_EQ(r.sOut, "READY\n");
  }
  EXPECT_EQ(sCommands, "ChangeQueueInfo: (10001:FALSE)\r\nChangePeerInfo: (20001:TRUE)\r\n");
}

TEST(ClientBinary, CountEndsTheRunAndTimestampsPrefixFrames) {
  TFakeRelay MyRelay(1, [&](TFakeConnection& c, int) {
    ServeHandshake(c);
    c.Send(EVENT_A + TRAILER + EVENT_B + TRAILER + EVENT_C + TRAILER);
    c.WaitClosed();
  });
  const TClientResult r = RunClient({"--port", std::to_string(MyRelay.Port()), "--count", "2",
                                     "--timestamps", "--duration", "60"});
  EXPECT_EQ(r.nExitCode, 0) << r.sErr;
  const std::regex MyExpected(
      "READY\n"
      "\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6}\\] Event: QueueMemberStatus\n[^]*?\n\n"
      "\\[[^\\]]+\\] Event: ParkedCall\nExten: 701\n\n");
  EXPECT_TRUE(std::regex_match(r.sOut, MyExpected)) << r.sOut;
}

TEST(ClientBinary, HandshakeFailuresExitNonZeroWithTheReason) {
  struct TCase {
    const char* sName;
    int nSilentAt;         // step left unanswered; -1 for no listener at all
    const char* sMentions;
  };
  const std::vector<TCase> vCases = {
      {"silent relay", 0, "\"Welcome to\""},
      {"rejected access code", 2, "\"QueueInfo:  ?\""},
      {"nothing listening", -1, "cannot connect"},
  };
  for (const TCase& c : vCases) {
    TClientResult r;
    if (c.nSilentAt >= 0) {
      TFakeRelay MyRelay(1, [&](TFakeConnection& MyConnection, int) {
        ServeHandshake(MyConnection, c.nSilentAt);
        MyConnection.WaitClosed();
      });
      r = RunClient({"--port", std::to_string(MyRelay.Port()), "--handshake-timeout", "0.5"});
    } else {
      int nPort = 0;
      { TFakeRelay MyRelay(0, [](TFakeConnection&, int) {}); nPort = MyRelay.Port(); }
      r = RunClient({"--port", std::to_string(nPort)});
    }
    EXPECT_EQ(r.nExitCode, 1) << c.sName;
    EXPECT_THAT(r.sErr, HasSubstr(c.sMentions)) << c.sName;
    EXPECT_THAT(r.sOut, ::testing::Not(HasSubstr("READY"))) << c.sName;
  }
}

// Frames 1..10 to each client, stamped; the second client misses 5, the third gets 7 twice.
void ServeStampedFrames(TFakeConnection& c, std::mutex& crsIds, std::set<std::string>& lstAppIds) {
  const std::vector<std::string> lstMessages = ServeHandshake(c);
  if (lstMessages.size() < 2) return;
  const std::string sAppId = lstMessages[1].substr(9, lstMessages[1].size() - 11);
  {
    std::lock_guard<std::mutex> MyLock(crsIds);
    lstAppIds.insert(sAppId);
  }
  std::string sFrames;
  for (int nSeq = 1; nSeq <= 10; ++nSeq) {
    if (sAppId.ends_with("-2") && nSeq == 5) continue;
    const auto nNow = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string sFrame = "Event: Tick\r\nTelvaneSeq: " + std::to_string(nSeq) +
                               "\r\nTelvaneSent: " + std::to_string(nNow) + "\r\n" + TRAILER;
    sFrames += sFrame;
    if (sAppId.ends_with("-3") && nSeq == 7) sFrames += sFrame;
  }
  c.Send(sFrames);
}

TEST(ClientBinary, LoadRunReportsLossDuplicatesAndLatency) {
  std::mutex crsIds;
  std::set<std::string> lstAppIds;
  TClientResult r;
  {
    TFakeRelay MyRelay(3, [&](TFakeConnection& c, int) { ServeStampedFrames(c, crsIds, lstAppIds); });
    r = RunClient({"--port", std::to_string(MyRelay.Port()), "--load", "3", "--app-id", "Bench",
                   "--queues", "10001", "--expect-seq", "1-10", "--duration", "60"});
  }
  EXPECT_EQ(r.nExitCode, 0) << r.sErr;
  EXPECT_EQ(lstAppIds, (std::set<std::string>{"Bench-1", "Bench-2", "Bench-3"}));
  EXPECT_THAT(r.sOut, ::testing::StartsWith("READY\n"));
  EXPECT_THAT(r.sOut, HasSubstr("per client min 9 max 11"));
  const std::regex MyResult("RESULT clients=3 frames=30 fps=[0-9.]+ lost=1 dup=1 "
                            "p50_ms=[0-9.]+ p99_ms=[0-9.]+ max_ms=[0-9.]+\n$");
  EXPECT_TRUE(std::regex_search(r.sOut, MyResult)) << r.sOut;
}

TEST(ClientBinary, LoadRunRetriesAHandshakeFromTheGreeting) {
  std::atomic<int> nGreetings{0};
  TClientResult r;
  {
    TFakeRelay MyRelay(2, [&](TFakeConnection& c, int nIndex) {
      const std::vector<std::string> lstMessages = ServeHandshake(c, nIndex == 0 ? 1 : -1);
      if (!lstMessages.empty() && lstMessages[0] == "Hi, lets connect...\r\n") ++nGreetings;
      if (nIndex == 0) c.WaitClosed();
    });
    r = RunClient({"--port", std::to_string(MyRelay.Port()), "--load", "1", "--quiet",
                   "--handshake-timeout", "0.5", "--retries", "2", "--duration", "60"});
  }
  EXPECT_EQ(r.nExitCode, 0) << r.sErr;
  EXPECT_EQ(nGreetings.load(), 2);
  EXPECT_THAT(r.sErr, HasSubstr("retrying"));
  EXPECT_THAT(r.sOut, HasSubstr("RESULT clients=1 frames=0 "));
}

TEST(ClientBinary, QuietSingleClientPrintsOnlyReadyAndResult) {
  TFakeRelay MyRelay(1, [&](TFakeConnection& c, int) {
    ServeHandshake(c);
    c.Send(EVENT_A + TRAILER + EVENT_B + TRAILER);
  });
  const TClientResult r = RunClient({"--port", std::to_string(MyRelay.Port()), "--quiet", "--duration", "60"});
  EXPECT_EQ(r.nExitCode, 0) << r.sErr;
  EXPECT_TRUE(std::regex_match(r.sOut, std::regex("READY\nRESULT clients=1 frames=2 fps=[0-9.]+ lost=0 dup=0 "
                                                  "p50_ms=[0-9.]+ p99_ms=[0-9.]+ max_ms=[0-9.]+\n")))
      << r.sOut;
}

}  // namespace
