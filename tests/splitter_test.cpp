#include "pipeline/untEventSplitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/untVariables.h"
#include "logging/untCounters.h"
#include "pipeline/untFifo.h"
#include "pipeline/untGeneralMsgRead.h"
#include "pipeline/untGeneralMsgReadThread.h"
#include "pipeline/untPipelineCommon.h"
#include "platform/untControlLoop.h"
#include "platform/untWorker.h"
#include "support/ReferenceSplitter.h"
#include "support/TestSupport.h"

namespace {

using TEvents = std::vector<std::pair<std::string, uint32_t>>;  // event text, rings

struct TRecorder : TEventSplitterOutput {
  TEvents vEvents;
  std::vector<int32_t> vNotEvent;
  std::vector<std::string> vDropped;
  void OnEvent(std::string_view sEvent, uint32_t nRings) override { vEvents.emplace_back(sEvent, nRings); }
  void OnNotEvent(int32_t n) override { vNotEvent.push_back(n); }
  void OnCarryOverDropped(const std::string& sWhat) override { vDropped.push_back(sWhat); }
  void OnEventTooLarge(size_t nBytes) override { vTooLarge.push_back(nBytes); }
  std::vector<size_t> vTooLarge;  // bytes read of each event dropped for its size
};

// The splitting rule written the plain way (support/ReferenceSplitter.h): the splitter must give
// exactly what it gives, chunk by chunk.
using testsupport::TReferenceSplitter;

TRecorder FeedAll(const std::vector<std::string>& vChunks) {
  TEventSplitter tSplitter;
  TRecorder tOut;
  for (const std::string& s : vChunks) tSplitter.Feed(s, tOut);
  return tOut;
}

std::string QueueEvent(int n) {
  return "Event: QueueMemberStatus\r\nPrivilege: agent,all\r\nQueue: " + std::to_string(10001 + n % 50) +
         "\r\nLocation: SIP/" + std::to_string(20001 + n % 300) + "\r\nFile: app_queue.c\r\n\r\n";
}
std::string ChannelEvent(int n) {
  return "Event: Newstate\r\nPrivilege: call,all\r\nChannel: SIP/" + std::to_string(20001 + n % 300) +
         "-0000" + std::to_string(n % 10) + "\r\nChannelState: 6\r\nFile: channel.c\r\n\r\n";
}
std::string ParkEvent(int n) {
  return "Event: ParkedCall\r\nExten: " + std::to_string(701 + n % 100) + "\r\nFile: features.c\r\n\r\n";
}
std::string DialEvent(int n) {
  return "Event: Dial\r\nSubEvent: Begin\r\nChannel: SIP/" + std::to_string(20001 + n % 300) +
         "-1\r\nFile: chan_sip.c\r\nFile: app_dial.c\r\n\r\n";
}

// A mixed stream with replies between the events, and the events it holds in order.
std::pair<std::string, TEvents> MixedStream(int nEvents) {
  std::string sStream = "Zunda Call Manager/5.0.1\r\nResponse: Success\r\nMessage: Authentication accepted\r\n\r\n";
  TEvents vExpected;
  for (int n = 0; n < nEvents; ++n) {
    std::string sEvent;
    uint32_t nRings = 0;
    switch (n % 5) {
      case 0: sEvent = QueueEvent(n), nRings = EVENT_RING_QUEUE; break;
      case 1: sEvent = ChannelEvent(n), nRings = EVENT_RING_PEER; break;
      case 2: sEvent = ParkEvent(n), nRings = EVENT_RING_FEATUREPARK; break;
      case 3: sEvent = DialEvent(n), nRings = EVENT_RING_PEER; break;
      default: sEvent = "Event: Reload\r\nModule: x\r\n\r\n"; break;
    }
    sStream += sEvent;
    vExpected.emplace_back(sEvent.substr(0, sEvent.size() - 2), nRings);
    if (n % 7 == 0) sStream += "Response: Success\r\nPing: Pong\r\n\r\n";
  }
  return {sStream, vExpected};
}

std::vector<std::string> CutRandomly(const std::string& s, std::mt19937& rng, size_t nMaxRead) {
  std::vector<std::string> vChunks;
  std::uniform_int_distribution<size_t> tRead(1, nMaxRead);
  for (size_t n = 0; n < s.size();) {
    const size_t nLen = std::min(tRead(rng), s.size() - n);
    vChunks.push_back(s.substr(n, nLen));
    n += nLen;
  }
  return vChunks;
}

TEST(EventSplitter, MixedStreamGivesSameEventsHoweverItIsCut) {
  const auto [sStream, vExpected] = MixedStream(400);
  std::mt19937 rng(20240611);
  for (size_t nMaxRead : {1, 2, 3, 7, 64, 1500, 65536}) {
    for (int nCut = 0; nCut < 5; ++nCut) {
      const TRecorder tOut = FeedAll(CutRandomly(sStream, rng, nMaxRead));
      ASSERT_EQ(tOut.vEvents, vExpected) << "reads of at most " << nMaxRead << " bytes, cut " << nCut;
      EXPECT_TRUE(tOut.vDropped.empty());
    }
  }
}

// Streams built from the pieces the rule is sensitive to, cut anywhere, against the plain rule.
TEST(EventSplitter, MatchesPlainRuleChunkByChunkOnAdversarialStreams) {
  const std::vector<std::string> vPieces = {
      "Event:", "Event: A\r\n", "Even", "t:", "E", "SubEvent: B\r\n", "\r\n", "\r", "\n", "\r\n\r\n", "\r\n\r",
      " ", "\t", std::string(1, '\0'), "\xff\x80", "x", "Key: v\r\n", "File: app_queue.c", "File: chan_sip.c\r\n",
      "File: app_dial.c", "File: features.c\r\n", "File: ", "\n\n"};
  std::mt19937 rng(7);
  std::uniform_int_distribution<size_t> tPiece(0, vPieces.size() - 1);
  for (int nStream = 0; nStream < 3000; ++nStream) {
    std::string sStream;
    for (int n = 0; n < 40; ++n) sStream += vPieces[tPiece(rng)];
    TEventSplitter tSplitter;
    TReferenceSplitter tReference;
    TRecorder tOut;
    TEvents vExpected;
    for (const std::string& sChunk : CutRandomly(sStream, rng, 9)) {
      tSplitter.Feed(sChunk, tOut);
      tReference.Feed(sChunk, vExpected);
      ASSERT_EQ(tOut.vEvents, vExpected) << "stream " << nStream;
      ASSERT_EQ(tSplitter.CountErrNotEvent(), tReference.CountErrNotEvent()) << "stream " << nStream;
    }
  }
}

TEST(EventSplitter, EdgeCasesOfReadBoundaries) {
  struct Case {
    const char* sName;
    std::vector<std::string> vChunks;
    std::vector<std::string> vEvents;
    int32_t nNotEvent;
  };
  const std::string sNul(1, '\0');
  const std::vector<Case> vCases = {
      {"split inside Event:", {"Even", "t: A\r\nK: v\r\n\r\n"}, {"Event: A\r\nK: v\r\n"}, 1},
      {"split between the two line ends", {"Event: A\r\n", "\r\nEvent: B\r\n\r\n"}, {"Event: A\r\n", "Event: B\r\n"}, 0},
      {"read ends with CR LF CR, next begins with LF", {"Event: A\r\n\r", "\nEvent: B\r\n\r\n"},
       {"Event: A\r\n", "Event: B\r\n"}, 0},
      {"marker split over three reads", {"Event: A\r", "\n", "\r", "\n"}, {"Event: A\r\n"}, 0},
      {"reply before the event in its own read", {"Response: Success\r\n\r\n", "Event: A\r\n\r\n"}, {"Event: A\r\n"}, 1},
      {"reply before the event in the same read", {"Response: Success\r\n\r\nEvent: A\r\n\r\n"}, {"Event: A\r\n"}, 0},
      {"blanks-only read changes nothing", {" \r\n\t ", "Event: A\r\n\r\n"}, {"Event: A\r\n"}, 0},
      {"blanks after carried reply count again", {"Pong", " \r\n "}, {}, 2},
      {"several events in one read", {"Event: A\r\n\r\nEvent: B\r\n\r\nEvent: C\r\n\r\n"},
       {"Event: A\r\n", "Event: B\r\n", "Event: C\r\n"}, 0},
      {"text after the last event counts", {"Event: A\r\n\r\nPong"}, {"Event: A\r\n"}, 1},
      {"bare LF never ends an event", {"Event: A\nK: v\n\n", "Event: B\r\n\r\n"}, {"Event: A\nK: v\n\nEvent: B\r\n"}, 0},
      {"NUL is blank, kept inside events", {sNul + sNul, "Event: A\r\n" + sNul + "\r\n\r\n"},
       {"Event: A\r\n" + sNul + "\r\n"}, 0},
      {"bytes 0x80-0xFF are not blank", {"\x80\xff", "Event: \xe9\r\n\r\n"}, {"Event: \xe9\r\n"}, 1},
      {"event keeps only its own CR LF", {"Event: A\r\n\r\n\r\n\r\n"}, {"Event: A\r\n"}, 0},
  };
  for (const Case& c : vCases) {
    const TRecorder tOut = FeedAll(c.vChunks);
    std::vector<std::string> vTexts;
    for (const auto& [sEvent, nRings] : tOut.vEvents) vTexts.push_back(sEvent);
    EXPECT_EQ(vTexts, c.vEvents) << c.sName;
    EXPECT_EQ(tOut.vNotEvent.size(), static_cast<size_t>(c.nNotEvent)) << c.sName;
  }
}

TEST(EventSplitter, ClassifiesByFileLines) {
  struct Case {
    const char* sFields;
    uint32_t nRings;
  };
  const std::vector<Case> vCases = {
      {"File: app_queue.c\r\n", EVENT_RING_QUEUE},
      {"File: channel.c\r\n", EVENT_RING_PEER},
      {"File: chan_sip.c\r\n", EVENT_RING_PEER},
      {"File: app_dial.c\r\n", EVENT_RING_PEER},
      {"File: chan_sip.c\r\nFile: app_dial.c\r\n", EVENT_RING_PEER},
      {"File: features.c\r\n", EVENT_RING_FEATUREPARK},
      {"File: app_queue.c\r\nFile: features.c\r\n", EVENT_RING_QUEUE | EVENT_RING_FEATUREPARK},
      {"File: app_queue.c\r\nFile: channel.c\r\nFile: features.c\r\n",
       EVENT_RING_QUEUE | EVENT_RING_PEER | EVENT_RING_FEATUREPARK},
      {"XFile: app_queue.cpp\r\n", EVENT_RING_QUEUE},  // a substring test, as the exchange's texts are fixed
      {"File: \r\n", 0},
      {"file: app_queue.c\r\n", 0},
      {"File:  app_queue.c\r\n", 0},
      {"Module: app_queue.c\r\n", 0},
  };
  for (const Case& c : vCases) {
    const TRecorder tOut = FeedAll({"Event: X\r\n" + std::string(c.sFields) + "\r\n"});
    ASSERT_EQ(tOut.vEvents.size(), 1u) << c.sFields;
    EXPECT_EQ(tOut.vEvents[0].second, c.nRings) << c.sFields;
  }
}

TEST(EventSplitter, TextWithoutEventIsBoundedAndDroppedPastOneMiB) {
  TEventSplitter tSplitter;
  TRecorder tOut;
  const std::string sReply = "Response: Success\r\nMessage: Pong 0123456789\r\n";  // no "Event:" in it
  size_t nMostHeld = 0;
  for (int n = 0; n < 100000; ++n) {
    tSplitter.Feed(sReply, tOut);
    nMostHeld = std::max(nMostHeld, tSplitter.HeldBytes());
  }
  EXPECT_LE(nMostHeld, 5u);
  EXPECT_EQ(tSplitter.CountErrNotEvent(), 100000);
  EXPECT_EQ(tOut.vDropped.size(), 100000 * sReply.size() / (TEventSplitter::MAX_TEXT_BEFORE_EVENT + 1));
  tSplitter.Feed("Event: A\r\n\r\n", tOut);
  ASSERT_EQ(tOut.vEvents.size(), 1u);
  EXPECT_EQ(tOut.vEvents[0].first, "Event: A\r\n");
}

TEST(EventSplitter, DropKeepsTheStartOfAnEventThatStraddlesTheRead) {
  TRecorder tOut;
  TEventSplitter tSplitter;
  tSplitter.Feed(std::string(TEventSplitter::MAX_TEXT_BEFORE_EVENT, 'x') + "Eve", tOut);
  ASSERT_EQ(tOut.vDropped.size(), 1u);
  tSplitter.Feed("nt: A\r\n\r\n", tOut);
  ASSERT_EQ(tOut.vEvents.size(), 1u);
  EXPECT_EQ(tOut.vEvents[0].first, "Event: A\r\n");
}

// An event of exactly n bytes (ending in its last line's CR LF) with a queue module line.
std::string EventOfSize(size_t nBytes) {
  std::string sEvent = "Event: Big\r\nFile: app_queue.c\r\n";
  const std::string sLine = "Variable: 0123456789abcdefghijklmnopqrstuvwxyz\r\n";
  while (sEvent.size() + sLine.size() + 16 <= nBytes) sEvent += sLine;
  return sEvent + "Pad: " + std::string(nBytes - sEvent.size() - 7, 'p') + "\r\n";
}

// An event up to 1 MiB comes out whole however the reads cut it; a larger one is dropped whole,
// reported once, and the event after it comes out. The unfinished event held meanwhile never
// passes the bound, whether the reads are small or larger than the bound itself.
TEST(EventSplitter, EventsPastOneMiBAreDroppedWholeAndTheNextComesOut) {
  constexpr size_t MAX = TEventSplitter::MAX_EVENT_BYTES;
  struct Case {
    size_t nEventBytes;
    size_t nReadBytes;
  };
  const Case vCases[] = {
      {MAX, 1024}, {MAX, 3 * MAX},  {MAX + 1, 1024}, {MAX + 1, 3 * MAX},
      {2 * MAX, 1024}, {2 * MAX, 3 * MAX / 2}, {2 * MAX, 3 * MAX}, {10 * MAX, 64 * 1024},
  };
  for (const Case& c : vCases) {
    const std::string sEvent = EventOfSize(c.nEventBytes);
    ASSERT_EQ(sEvent.size(), c.nEventBytes);
    const std::string sStream = "Event: Before\r\n\r\n" + sEvent + "\r\nEvent: Next\r\n\r\n";
    TEventSplitter tSplitter;
    TRecorder tOut;
    size_t nMostHeld = 0;
    for (size_t n = 0; n < sStream.size(); n += c.nReadBytes) {
      tSplitter.Feed(std::string_view(sStream).substr(n, c.nReadBytes), tOut);
      nMostHeld = std::max(nMostHeld, tSplitter.HeldBytes());
    }
    const std::string sCase = std::to_string(c.nEventBytes) + " bytes in reads of " + std::to_string(c.nReadBytes);
    EXPECT_LE(nMostHeld, MAX) << sCase;
    EXPECT_TRUE(tOut.vDropped.empty()) << sCase;
    const bool bPassed = c.nEventBytes <= MAX;
    ASSERT_EQ(tOut.vEvents.size(), bPassed ? 3u : 2u) << sCase;
    EXPECT_EQ(tOut.vEvents.front().first, "Event: Before\r\n") << sCase;
    EXPECT_EQ(tOut.vEvents.back().first, "Event: Next\r\n") << sCase;
    if (bPassed) {
      EXPECT_TRUE(tOut.vEvents[1].first == sEvent) << sCase;  // not EXPECT_EQ: a failure would print 1 MiB
      EXPECT_EQ(tOut.vEvents[1].second, EVENT_RING_QUEUE) << sCase;
      EXPECT_TRUE(tOut.vTooLarge.empty()) << sCase;
    } else {
      ASSERT_EQ(tOut.vTooLarge.size(), 1u) << sCase;
      EXPECT_GT(tOut.vTooLarge[0], MAX) << sCase;
    }
  }
}

TEST(EventSplitter, UnfinishedEventPastOneMiBIsDroppedToItsEnd) {
  TEventSplitter tSplitter;
  TRecorder tOut;
  tSplitter.Feed("Event: Dial\r\n", tOut);
  std::string sBlock;
  while (sBlock.size() < 64 * 1024) sBlock += "SubEvent: Begin\r\n";  // an "Event:" inside every line
  while (tOut.vTooLarge.empty()) tSplitter.Feed(sBlock, tOut);
  EXPECT_LE(tSplitter.HeldBytes(), 2u);
  tSplitter.Feed(sBlock, tOut);  // the rest of the dropped event yields nothing
  tSplitter.Feed("SubEvent: End\r", tOut);
  tSplitter.Feed("\n\r\nEvent: After\r\n\r\n", tOut);
  EXPECT_EQ(tOut.vTooLarge.size(), 1u);
  EXPECT_TRUE(tOut.vDropped.empty());
  ASSERT_EQ(tOut.vEvents.size(), 1u);
  EXPECT_EQ(tOut.vEvents[0].first, "Event: After\r\n");
}

// What the splitter drops is counted every time, but a flood of drops writes only the 1st, 10th,
// 100th, ... line, each with the count so far.
std::vector<std::string> vSplitterLines;  // pipeline lines seen; the test's thread
void ObserveSplitterLine(const std::string& sSource, int nLevel, const std::string& sText, bool) {
  if (sSource == "TExecGeneralMsgReadThread.ProcessGenericMessage" && nLevel == 0) vSplitterLines.push_back(sText);
}

TEST(GeneralMsgReadThread, FloodsOfDroppedTextAndOversizedEventsLogThinnedLinesWithTheirCount) {
  TControlLoop::Instance().Stop();  // the status hand-overs are skipped
  MyAppInfo.bIsRunning = true;
  struct Case {
    std::string sChunk;  // one drop per chunk
    TDropReason_OPT tReason;
    std::string sFirst;  // the first line, up to its count
  };
  const std::string sOversized = EventOfSize(TEventSplitter::MAX_EVENT_BYTES + 100) + "\r\n";
  const Case vCases[] = {
      {std::string(TEventSplitter::MAX_TEXT_BEFORE_EVENT + 1, 'x'), DROP_REASON_CARRY_OVER,
       "Error: text of 1048577 bytes without \"Event:\" dropped"},
      {sOversized, DROP_REASON_TOO_LARGE, "Error: event larger than 1048576 bytes dropped (1048676 bytes of it read)"},
  };
  SetPipelineLogObserver(&ObserveSplitterLine);
  for (const Case& c : vCases) {
    vSplitterLines.clear();
    TExecGeneralMsgReadThread tThread;  // not started: the test's thread splits
    const uint64_t nBefore = MyCounters.vEventsDropped[c.tReason].load();
    for (int n = 0; n < 120; ++n) tThread.ProcessGenericMessage(c.sChunk);
    EXPECT_EQ(MyCounters.vEventsDropped[c.tReason].load() - nBefore, 120u) << c.sFirst;
    EXPECT_EQ(vSplitterLines, (std::vector<std::string>{c.sFirst + ", 1 so far", c.sFirst + ", 10 so far",
                                                        c.sFirst + ", 100 so far"}));
  }
  SetPipelineLogObserver(nullptr);
}

// The splitter thread on the real rings: chunks pushed into the raw ring come out of the global
// rings in order. The control loop is closed, so the thread's display hand-overs are skipped.
TEST(GeneralMsgReadThread, SplitsRawRingIntoGlobalRings) {
  TControlLoop::Instance().Stop();
  MyAppInfo.bIsRunning = true;
  TFifoReceived& f = MyFifoReceived;
  ASSERT_TRUE(FifoOpen(f.MyGlobalQueueMsgRead));
  ASSERT_TRUE(FifoOpen(f.MyGlobalPeerMsgRead));
  ASSERT_TRUE(FifoOpen(f.MyGlobalFeatureParkMsgRead));
  ASSERT_TRUE(TGeneralMsgRead::Initialize());

  const std::string sStream = QueueEvent(1) + ChannelEvent(2) + "Event: Both\r\nFile: app_queue.c\r\nFile: features.c\r\n\r\n" +
                              ParkEvent(3) + DialEvent(4);
  for (size_t n = 0; n < sStream.size(); n += 17) TGeneralMsgRead::GeneralMsgRead(MakeText(sStream.substr(n, 17)));

  std::vector<std::string> vQueue, vPeer, vPark;
  const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (vQueue.size() + vPeer.size() + vPark.size() < 6 && std::chrono::steady_clock::now() < tDeadline) {
    if (TText s = FifoPop(f.MyGlobalQueueMsgRead)) vQueue.push_back(*s);
    else if (TText s = FifoPop(f.MyGlobalPeerMsgRead)) vPeer.push_back(*s);
    else if (TText s = FifoPop(f.MyGlobalFeatureParkMsgRead)) vPark.push_back(*s);
    else SleepMs(5);
  }
  const auto Cut = [](const std::string& s) { return s.substr(0, s.size() - 2); };
  const std::string sBoth = "Event: Both\r\nFile: app_queue.c\r\nFile: features.c\r\n";
  EXPECT_EQ(vQueue, (std::vector<std::string>{Cut(QueueEvent(1)), sBoth}));
  EXPECT_EQ(vPeer, (std::vector<std::string>{Cut(ChannelEvent(2)), Cut(DialEvent(4))}));
  EXPECT_EQ(vPark, (std::vector<std::string>{sBoth, Cut(ParkEvent(3))}));

  MyAppInfo.bIsRunning = false;
  EXPECT_TRUE(WaitForWorkers(std::chrono::seconds(20)));
}

// The latency of an event is measured from the exchange read that completed it: each event takes
// the stamp of the chunk in which its end arrived, not of the chunk in which it began. The events
// are counted by the ring they went to.
TEST(GeneralMsgReadThread, EachEventCarriesTheStampOfTheReadThatCompletedIt) {
  TControlLoop::Instance().Stop();
  MyAppInfo.bIsRunning = true;
  TFifoReceived& f = MyFifoReceived;
  ASSERT_TRUE(FifoOpen(f.MyGlobalQueueMsgRead));
  ASSERT_TRUE(FifoOpen(f.MyGlobalPeerMsgRead));
  ASSERT_TRUE(FifoOpen(f.MyGlobalFeatureParkMsgRead));
  ASSERT_TRUE(TGeneralMsgRead::Initialize());

  const std::pair<const char*, int64_t> vChunks[] = {
      {"Event: Join\r\nFile: app_queue.c\r\nQueue: 10001\r\n", 100},
      {"\r\nEvent: Leave\r\nFile: app_queue.c\r\n", 200},  // ends Join, begins Leave
      {"\r\nEvent: Other\r\nFile: pbx.c\r\n\r\n", 300},   // ends Leave and Other (no ring)
  };
  for (const auto& [sChunk, nStamp] : vChunks) TGeneralMsgRead::GeneralMsgRead(MakeText(sChunk, nStamp));

  std::vector<std::pair<std::string, int64_t>> vQueue;
  ASSERT_TRUE(testsupport::PollUntil([&] {
    if (TText s = FifoPop(f.MyGlobalQueueMsgRead)) vQueue.emplace_back(s->substr(0, s->find("\r\n")), s->nReadStampUs);
    return vQueue.size() == 2 && MyCounters.vEvents[COUNTER_EVENTS_NO_FAMILY] == 1;
  }));
  EXPECT_EQ(vQueue, (std::vector<std::pair<std::string, int64_t>>{{"Event: Join", 200}, {"Event: Leave", 300}}));
  EXPECT_EQ(MyCounters.vEvents[EVENT_FAMILY_QUEUE].load(), 2u);
  EXPECT_EQ(MyCounters.vEvents[EVENT_FAMILY_PEER].load(), 0u);

  MyAppInfo.bIsRunning = false;
  EXPECT_TRUE(WaitForWorkers(std::chrono::seconds(20)));
}

}  // namespace
