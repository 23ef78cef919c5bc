#include "pipeline/untFifo.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/untCounters.h"
#include "pipeline/untGeneralMsgRead.h"
#include "pipeline/untPipelineCommon.h"
#include "pipeline/untSpecificMsgRead.h"
#include "platform/untMemory.h"

namespace {

struct TLogLine {
  std::string sSource;
  int nLevel;
  std::string sText;
  bool bEcho;
};

std::mutex crsLines;
std::vector<TLogLine> vLines;  // guarded by crsLines

void Observe(const std::string& sSource, int nLevel, const std::string& sText, bool bEcho) {
  std::lock_guard<std::mutex> lock(crsLines);
  vLines.push_back({sSource, nLevel, sText, bEcho});
}

std::vector<TLogLine> TakeLines() {
  std::lock_guard<std::mutex> lock(crsLines);
  return std::exchange(vLines, {});
}

// Rings are process-wide; each case opens what it uses (opening twice changes nothing).
class FifoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MyAppInfo.bIsRunning = true;
    SetPipelineLogObserver(&Observe);
    TakeLines();
  }
  void TearDown() override { SetPipelineLogObserver(nullptr); }

  static void OpenTable(TSpecificMsgReadFifo* vRings, int32_t nCount) {
    for (int32_t n = 0; n < nCount - 1; ++n) ASSERT_TRUE(FifoOpen(vRings[n]));
  }
  static int64_t TotalWP(TSpecificMsgReadFifo* vRings, int32_t nCount) {
    int64_t n = 0;
    for (int32_t i = 0; i < nCount; ++i) n += vRings[i].nWP;
    return n;
  }
};

// One row per family: how to push into it, and the ring that push lands in.
struct TFamilyCase {
  const char* sSource;
  const char* sFullText;
  std::function<void(TText)> fnPush;
  std::function<TText()> fnPop;
  std::function<bool()> fnOpen;
  int32_t nSlots;
};

std::vector<TFamilyCase> Families() {
  TFifoReceived& f = MyFifoReceived;
  return {
      {"TGeneralMsgRead.GeneralMsgRead", "Error: FIFO FULL (GENERAL) - ",
       [](TText s) { TGeneralMsgRead::GeneralMsgRead(std::move(s)); }, [&f] { return FifoPop(f.MyGenericMsgRead); },
       [&f] { return FifoOpen(f.MyGenericMsgRead); }, GENERIC_MSG_READ_SLOTS},
      {"TGlobalQueueMsgRead.GlobalQueueMsgRead", "Error: FIFO FULL (Global/Queue) - ",
       [](TText s) { TGlobalQueueMsgRead::GlobalQueueMsgRead(std::move(s)); },
       [&f] { return FifoPop(f.MyGlobalQueueMsgRead); }, [&f] { return FifoOpen(f.MyGlobalQueueMsgRead); },
       SPECIFIC_MSG_READ_SLOTS},
      {"TSpecificQueueMsgRead.SpecificQueueMsgRead", "Error: FIFO FULL (Specific/Queue) - ",
       [](TText s) { TSpecificQueueMsgRead::SpecificQueueMsgRead(std::move(s), 10007); },
       [&f] { return FifoPop(f.MySpecificQueueMsgRead[6]); }, [&f] { return FifoOpen(f.MySpecificQueueMsgRead[6]); },
       SPECIFIC_MSG_READ_SLOTS},
      {"TGlobalPeerMsgRead.GlobalPeerMsgRead", "Error: FIFO FULL (Global/Peer) - ",
       [](TText s) { TGlobalPeerMsgRead::GlobalPeerMsgRead(std::move(s)); },
       [&f] { return FifoPop(f.MyGlobalPeerMsgRead); }, [&f] { return FifoOpen(f.MyGlobalPeerMsgRead); },
       SPECIFIC_MSG_READ_SLOTS},
      {"TSpecificPeerMsgRead.SpecificPeerMsgRead", "Error: FIFO FULL (Specific/Peer) - ",
       [](TText s) { TSpecificPeerMsgRead::SpecificPeerMsgRead(std::move(s), 29999); },
       [&f] { return FifoPop(f.MySpecificPeerMsgRead[9998]); },
       [&f] { return FifoOpen(f.MySpecificPeerMsgRead[9998]); }, SPECIFIC_MSG_READ_SLOTS},
      {"TGlobalFeatureParkMsgRead.GlobalFeatureParkMsgRead", "Error: FIFO FULL (Global/FeaturePark) - ",
       [](TText s) { TGlobalFeatureParkMsgRead::GlobalFeatureParkMsgRead(std::move(s)); },
       [&f] { return FifoPop(f.MyGlobalFeatureParkMsgRead); },
       [&f] { return FifoOpen(f.MyGlobalFeatureParkMsgRead); }, SPECIFIC_MSG_READ_SLOTS},
      {"TSpecificFeatureParkMsgRead.SpecificFeatureParkMsgRead", "Error: FIFO FULL (Specific/FeaturePark) - ",
       [](TText s) { TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead(std::move(s), 750); },
       [&f] { return FifoPop(f.MySpecificFeatureParkMsgRead[49]); },
       [&f] { return FifoOpen(f.MySpecificFeatureParkMsgRead[49]); }, SPECIFIC_MSG_READ_SLOTS},
  };
}

// A full ring refuses every text, but a flood of refusals writes the plain full-ring line once and
// then only the 10th, 100th, 1000th, ... refusal of the family, each with the count so far.
TEST_F(FifoTest, HoldsOneTextFewerThanItsSlotsThenLogsFullRingThinnedOut) {
  for (const TFamilyCase& c : Families()) {
    ASSERT_TRUE(c.fnOpen()) << c.sSource;
    for (int32_t n = 0; n < c.nSlots - 1; ++n) c.fnPush(MakeText(std::to_string(n)));
    EXPECT_TRUE(TakeLines().empty()) << c.sSource;

    c.fnPush(MakeText("refused"));  // nWP + 1 wraps to 0, which is nRP
    std::vector<TLogLine> vFull = TakeLines();
    ASSERT_EQ(vFull.size(), 1u) << c.sSource;
    EXPECT_EQ(vFull[0].sSource, c.sSource);
    EXPECT_EQ(vFull[0].sText, std::string(c.sFullText) + "0");
    EXPECT_EQ(vFull[0].nLevel, 0);
    EXPECT_TRUE(vFull[0].bEcho);

    TText sFirst = c.fnPop();
    ASSERT_TRUE(sFirst) << c.sSource;
    EXPECT_EQ(*sFirst, "0");
    c.fnPush(MakeText("accepted"));  // lands in the last slot; nWP wraps to 0
    for (int n = 2; n <= 1000; ++n) c.fnPush(MakeText("refused"));
    vFull = TakeLines();
    ASSERT_EQ(vFull.size(), 3u) << c.sSource;
    const char* vCounts[] = {"10", "100", "1000"};
    for (size_t n = 0; n < vFull.size(); ++n) {  // the current nRP, then the count
      EXPECT_EQ(vFull[n].sText, std::string(c.sFullText) + "1, " + vCounts[n] + " so far");
      EXPECT_TRUE(vFull[n].bEcho);
    }

    int32_t nPopped = 0;
    std::string sLast;
    while (TText s = c.fnPop()) ++nPopped, sLast = *s;
    EXPECT_EQ(nPopped, c.nSlots - 1) << c.sSource;
    EXPECT_EQ(sLast, "accepted") << c.sSource;
  }
}

TEST_F(FifoTest, WrappedPositionsDeliverInPushOrder) {
  TSpecificMsgReadFifo& ring = MyFifoReceived.MyGlobalQueueMsgRead;
  ASSERT_TRUE(FifoOpen(ring));
  int nPushed = 0, nPopped = 0;
  // Three times round the ring, in bursts that leave it partly full across the wrap.
  for (int nRound = 0; nRound < 9; ++nRound) {
    for (int n = 0; n < 7000; ++n)
      TGlobalQueueMsgRead::GlobalQueueMsgRead(MakeText(std::to_string(nPushed++)));
    for (int n = 0; n < 7000 - (nRound == 0 ? 3000 : 0); ++n) {
      TText s = FifoPop(ring);
      ASSERT_TRUE(s);
      ASSERT_EQ(*s, std::to_string(nPopped++));
    }
  }
  while (TText s = FifoPop(ring)) ASSERT_EQ(*s, std::to_string(nPopped++));
  EXPECT_EQ(nPopped, nPushed);
  EXPECT_TRUE(TakeLines().empty());
}

TEST_F(FifoTest, ProducerAndConsumerThreadsKeepOrderAcrossWraps) {
  TSpecificMsgReadFifo& ring = MyFifoReceived.MyGlobalFeatureParkMsgRead;
  ASSERT_TRUE(FifoOpen(ring));
  constexpr int N_TEXTS = 50000;  // five times round the ring
  std::atomic<bool> bStop{false};  // the consumer gave up: the producer must not wait for room
  std::thread tProducer([&bStop] {
    for (int n = 0; n < N_TEXTS && !bStop; ++n) {
      TSpecificMsgReadFifo& r = MyFifoReceived.MyGlobalFeatureParkMsgRead;
      while (!bStop && (r.nWP - r.nRP + SPECIFIC_MSG_READ_SLOTS) % SPECIFIC_MSG_READ_SLOTS >= SPECIFIC_MSG_READ_SLOTS - 2)
        std::this_thread::yield();
      TGlobalFeatureParkMsgRead::GlobalFeatureParkMsgRead(MakeText(std::to_string(n)));
    }
  });
  int nNext = 0;
  const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (nNext < N_TEXTS && std::chrono::steady_clock::now() < tDeadline) {
    if (TText s = FifoPop(ring)) {
      if (*s != std::to_string(nNext)) break;
      ++nNext;
    } else {
      std::this_thread::yield();
    }
  }
  bStop = true;
  tProducer.join();
  EXPECT_EQ(nNext, N_TEXTS);
  EXPECT_TRUE(TakeLines().empty());
}

TEST_F(FifoTest, PoppedSlotNoLongerHoldsItsText) {
  TSpecificMsgReadFifo& ring = MyFifoReceived.MyGlobalPeerMsgRead;
  ASSERT_TRUE(FifoOpen(ring));
  const int32_t nSlot = ring.nRP;
  TGlobalPeerMsgRead::GlobalPeerMsgRead(MakeText("x"));
  ASSERT_NE(ring.vFifo[nSlot], nullptr);
  ASSERT_TRUE(FifoPop(ring));
  EXPECT_EQ(ring.vFifo[nSlot], nullptr);
}

TEST_F(FifoTest, ClosedRingsAndStoppedRelayRefuseSilently) {
  TFifoReceived& f = MyFifoReceived;
  // Never opened: a ring of a family whose Initialize has not run.
  ASSERT_FALSE(f.MySpecificQueueMsgRead[500].bOpen);
  TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText("x"), 10501);
  EXPECT_EQ(f.MySpecificQueueMsgRead[500].nWP, 0);

  ASSERT_TRUE(FifoOpen(f.MyGlobalFeatureParkMsgRead));
  const int32_t nWP = f.MyGlobalFeatureParkMsgRead.nWP;
  MyAppInfo.bIsRunning = false;
  TGlobalFeatureParkMsgRead::GlobalFeatureParkMsgRead(MakeText("x"));
  EXPECT_EQ(f.MyGlobalFeatureParkMsgRead.nWP, nWP);
  EXPECT_TRUE(TakeLines().empty());
}

TEST_F(FifoTest, KeysOutsideTheServedRingsTouchNothing) {
  TFifoReceived& f = MyFifoReceived;
  OpenTable(f.MySpecificQueueMsgRead, QUEUE_COUNT);
  OpenTable(f.MySpecificPeerMsgRead, PEER_COUNT);
  OpenTable(f.MySpecificFeatureParkMsgRead, PARK_COUNT);
  const int64_t nBefore = TotalWP(f.MySpecificQueueMsgRead, QUEUE_COUNT) +
                          TotalWP(f.MySpecificPeerMsgRead, PEER_COUNT) +
                          TotalWP(f.MySpecificFeatureParkMsgRead, PARK_COUNT) + f.MyGlobalPeerMsgRead.nWP +
                          f.MyGlobalFeatureParkMsgRead.nWP;
  struct Case {
    std::function<void(TText, int32_t)> fnPush;
    int32_t nKey;
    bool bSilent;  // the last ring of a table is closed: refused without a line
  };
  const std::vector<Case> vCases = {
      {&TSpecificQueueMsgRead::SpecificQueueMsgRead, 10000, false},
      {&TSpecificQueueMsgRead::SpecificQueueMsgRead, 11001, true},
      {&TSpecificQueueMsgRead::SpecificQueueMsgRead, 12345, false},
      {&TSpecificQueueMsgRead::SpecificQueueMsgRead, INT32_MIN, false},
      {&TSpecificPeerMsgRead::SpecificPeerMsgRead, 20000, false},
      {&TSpecificPeerMsgRead::SpecificPeerMsgRead, 30001, true},
      {&TSpecificPeerMsgRead::SpecificPeerMsgRead, INT32_MAX, false},
      {&TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead, 700, false},
      {&TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead, 801, true},
  };
  for (const Case& c : vCases) {
    c.fnPush(MakeText("x"), c.nKey);
    const std::vector<TLogLine> vLog = TakeLines();
    if (c.bSilent) {
      EXPECT_TRUE(vLog.empty()) << c.nKey;
    }
    for (const TLogLine& t : vLog) EXPECT_EQ(t.nLevel, 1) << t.sText;  // warnings only, never a full ring
  }
  EXPECT_EQ(TotalWP(f.MySpecificQueueMsgRead, QUEUE_COUNT) + TotalWP(f.MySpecificPeerMsgRead, PEER_COUNT) +
                TotalWP(f.MySpecificFeatureParkMsgRead, PARK_COUNT) + f.MyGlobalPeerMsgRead.nWP +
                f.MyGlobalFeatureParkMsgRead.nWP,
            nBefore);
  EXPECT_FALSE(f.MySpecificQueueMsgRead[QUEUE_COUNT - 1].bOpen);
  EXPECT_FALSE(f.MySpecificPeerMsgRead[PEER_COUNT - 1].bOpen);
  EXPECT_FALSE(f.MySpecificFeatureParkMsgRead[PARK_COUNT - 1].bOpen);
}

TEST_F(FifoTest, WarningsForOutOfRangeKeysThinOut) {
  // Only the 1st, 10th, 100th, ... refusal of a family is logged (earlier cases may have counted some).
  for (int n = 0; n < 1000; ++n) TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText("x"), 500);
  const std::vector<TLogLine> vLog = TakeLines();
  EXPECT_GE(vLog.size(), 3u);
  EXPECT_LE(vLog.size(), 4u);
  for (const TLogLine& t : vLog) {
    EXPECT_EQ(t.sSource, "TSpecificQueueMsgRead.SpecificQueueMsgRead");
    EXPECT_NE(t.sText.find(" 500 "), std::string::npos) << t.sText;
    const size_t nOpen = t.sText.rfind('(');
    ASSERT_NE(nOpen, std::string::npos) << t.sText;
    std::string sCount = t.sText.substr(nOpen + 1, t.sText.find(' ', nOpen) - nOpen - 1);
    while (sCount.size() > 1 && sCount.back() == '0') sCount.pop_back();
    EXPECT_EQ(sCount, "1") << t.sText;
  }
}

TEST_F(FifoTest, KeySelectsRingByIndex) {
  TFifoReceived& f = MyFifoReceived;
  struct Case {
    std::function<void(TText, int32_t)> fnPush;
    int32_t nKey;
    TSpecificMsgReadFifo& ring;
  };
  const std::vector<Case> vCases = {
      {&TSpecificQueueMsgRead::SpecificQueueMsgRead, 10001, f.MySpecificQueueMsgRead[0]},
      {&TSpecificQueueMsgRead::SpecificQueueMsgRead, 10002, f.MySpecificQueueMsgRead[1]},
      {&TSpecificQueueMsgRead::SpecificQueueMsgRead, 11000, f.MySpecificQueueMsgRead[999]},
      {&TSpecificPeerMsgRead::SpecificPeerMsgRead, 20001, f.MySpecificPeerMsgRead[0]},
      {&TSpecificPeerMsgRead::SpecificPeerMsgRead, 30000, f.MySpecificPeerMsgRead[9999]},
      {&TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead, 701, f.MySpecificFeatureParkMsgRead[0]},
      {&TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead, 800, f.MySpecificFeatureParkMsgRead[99]},
  };
  for (const Case& c : vCases) {
    ASSERT_TRUE(FifoOpen(c.ring));
    c.fnPush(MakeText("key " + std::to_string(c.nKey)), c.nKey);
    TText s = FifoPop(c.ring);
    ASSERT_TRUE(s) << c.nKey;
    EXPECT_EQ(*s, "key " + std::to_string(c.nKey));
  }
}

TEST_F(FifoTest, EveryRingOwnsItsOwnStretchOfWholePages) {
  TFifoReceived& f = MyFifoReceived;
  ASSERT_TRUE(FifoOpen(f.MyGenericMsgRead));
  ASSERT_TRUE(FifoOpen(f.MyGlobalQueueMsgRead));
  ASSERT_TRUE(FifoOpen(f.MySpecificQueueMsgRead[0]));
  ASSERT_TRUE(FifoOpen(f.MySpecificQueueMsgRead[999]));
  ASSERT_TRUE(FifoOpen(f.MyGlobalPeerMsgRead));
  ASSERT_TRUE(FifoOpen(f.MySpecificFeatureParkMsgRead[99]));
  // A stretch is the ring's slots rounded up to whole pages, so no page is shared by two rings.
  const int64_t nPerPage = static_cast<int64_t>(MemoryPageSize() / sizeof(TPipelineText*));
  const int64_t nGeneric = (GENERIC_MSG_READ_SLOTS + nPerPage - 1) / nPerPage * nPerPage;
  const int64_t nSpecific = (SPECIFIC_MSG_READ_SLOTS + nPerPage - 1) / nPerPage * nPerPage;
  EXPECT_EQ(f.MyGlobalQueueMsgRead.vFifo - f.MyGenericMsgRead.vFifo, nGeneric);
  EXPECT_EQ(f.MySpecificQueueMsgRead[0].vFifo - f.MyGlobalQueueMsgRead.vFifo, nSpecific);
  EXPECT_EQ(f.MySpecificQueueMsgRead[999].vFifo - f.MySpecificQueueMsgRead[0].vFifo, 999 * nSpecific);
  EXPECT_EQ(f.MyGlobalPeerMsgRead.vFifo - f.MySpecificQueueMsgRead[999].vFifo, 2 * nSpecific);
  // The last opened ring of the whole layout is the last but one of 11,106 specific rings.
  EXPECT_EQ(f.MySpecificFeatureParkMsgRead[99].vFifo - f.MyGenericMsgRead.vFifo, nGeneric + 11'104 * nSpecific);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(f.MySpecificFeatureParkMsgRead[99].vFifo) % MemoryPageSize(), 0u);
  TSpecificMsgReadFifo tStranger;  // not part of MyFifoReceived: has no slots to get
  EXPECT_FALSE(FifoOpen(tStranger));
}

// The texts waiting in all rings together may take [GENERAL] MAXQUEUEDMB; past it a push is refused
// like a push into a full ring, whichever ring it is for, and the refusals are counted.
TEST_F(FifoTest, TextsPastTheByteBudgetAreRefusedCountedAndLoggedThinnedOut) {
  if (FifoQueuedBytes() != 0) GTEST_SKIP() << "an earlier case of this process left texts queued";
  MyConfigInfo.MyQueueBudget.nMaxQueuedMB = 1;
  TFifoReceived& f = MyFifoReceived;
  ASSERT_TRUE(FifoOpen(f.MyGenericMsgRead));
  ASSERT_TRUE(FifoOpen(f.MySpecificPeerMsgRead[5]));
  const std::string sRead(100'000, 'r');  // ten fit in 1 MB, the eleventh does not
  const uint64_t nReadsDroppedBefore = MyCounters.nExchangeReadsDropped.load();
  const uint64_t nOverBudgetBefore = MyCounters.vEventsDropped[DROP_REASON_OVER_BUDGET].load();
  for (int n = 0; n < 10; ++n) TGeneralMsgRead::GeneralMsgRead(MakeText(sRead));
  EXPECT_TRUE(TakeLines().empty());
  const int64_t nTen = FifoQueuedBytes();
  EXPECT_GE(nTen, 10 * 100'000);
  EXPECT_LE(nTen, 1 << 20);

  // Refused in every ring alike: an event just larger than the room left (with its string object).
  TGeneralMsgRead::GeneralMsgRead(MakeText(sRead));
  const std::string sEvent(static_cast<size_t>((1 << 20) - nTen), 'e');
  for (int n = 0; n < 99; ++n) TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText(sEvent), 20006);
  EXPECT_EQ(f.MyGenericMsgRead.nWP - f.MyGenericMsgRead.nRP, 10);
  EXPECT_EQ(f.MySpecificPeerMsgRead[5].nWP, f.MySpecificPeerMsgRead[5].nRP);
  EXPECT_EQ(FifoBudgetRefusals(), 100u);
  EXPECT_EQ(MyCounters.nExchangeReadsDropped.load() - nReadsDroppedBefore, 1u) << "the refused read, for the metrics";
  EXPECT_EQ(MyCounters.vEventsDropped[DROP_REASON_OVER_BUDGET].load() - nOverBudgetBefore, 99u);
  EXPECT_EQ(FifoQueuedBytes(), nTen);
  const std::vector<TLogLine> vLog = TakeLines();
  ASSERT_EQ(vLog.size(), 3u) << "the 1st, 10th and 100th refusal";
  const char* vCounts[] = {"1", "10", "100"};
  for (size_t n = 0; n < vLog.size(); ++n) {
    EXPECT_EQ(vLog[n].sText, std::string("Error: QUEUED TEXTS OVER [GENERAL] MAXQUEUEDMB (1 MB) - text dropped, ") +
                                 vCounts[n] + " so far");
    EXPECT_EQ(vLog[n].nLevel, 0);
    EXPECT_TRUE(vLog[n].bEcho);
  }
  EXPECT_EQ(vLog[0].sSource, "TGeneralMsgRead.GeneralMsgRead");
  EXPECT_EQ(vLog[2].sSource, "TSpecificPeerMsgRead.SpecificPeerMsgRead");

  // What a pop gives back may be taken again; emptied rings count nothing.
  ASSERT_TRUE(FifoPop(f.MyGenericMsgRead));
  TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText("Event: PeerStatus\r\n"), 20006);
  EXPECT_EQ(f.MySpecificPeerMsgRead[5].nWP - f.MySpecificPeerMsgRead[5].nRP, 1);
  while (FifoPop(f.MyGenericMsgRead)) {
  }
  ASSERT_TRUE(FifoPop(f.MySpecificPeerMsgRead[5]));
  EXPECT_EQ(FifoQueuedBytes(), 0);
  EXPECT_TRUE(TakeLines().empty());
}

// Pages of the ring's stretch that are resident now.
int ResidentPages(const TSpecificMsgReadFifo& ring) {
  const size_t nBytes = (SPECIFIC_MSG_READ_SLOTS * sizeof(TPipelineText*) + MemoryPageSize() - 1) / MemoryPageSize() *
                        MemoryPageSize();
  std::vector<unsigned char> vResident(nBytes / MemoryPageSize());
  if (mincore(ring.vFifo, nBytes, vResident.data()) != 0) return -1;
  return static_cast<int>(std::count_if(vResident.begin(), vResident.end(), [](unsigned char c) { return c & 1; }));
}

// The ring gives back the pages its read position leaves; a page in which a text still waits (the
// write position wrapped round into it) must keep it.
TEST_F(FifoTest, PagesGivenBackNeverHoldAWaitingText) {
  TSpecificMsgReadFifo& ring = MyFifoReceived.MySpecificQueueMsgRead[42];
  ASSERT_TRUE(FifoOpen(ring));
  auto Push = [](int n) { TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText(std::to_string(n)), 10043); };
  int nPushed = 0, nPopped = 0;
  while (nPushed < SPECIFIC_MSG_READ_SLOTS - 1) Push(nPushed++);
  // Kept full for two laps, one out and one in: every page the read position leaves then holds
  // the texts pushed just before.
  for (int n = 0; n < 2 * SPECIFIC_MSG_READ_SLOTS; ++n) {
    TText s = FifoPop(ring);
    ASSERT_TRUE(s) << "text " << nPopped << " lost";
    ASSERT_EQ(*s, std::to_string(nPopped++));
    Push(nPushed++);
  }
  while (TText s = FifoPop(ring)) ASSERT_EQ(*s, std::to_string(nPopped++));
  EXPECT_EQ(nPopped, nPushed);
  EXPECT_TRUE(TakeLines().empty());
  EXPECT_LE(ResidentPages(ring), 1) << "a drained ring keeps at most the page its positions stand on";
}

TEST_F(FifoTest, DrainedRingGivesBackThePagesItPassed) {
  TSpecificMsgReadFifo& ring = MyFifoReceived.MySpecificPeerMsgRead[77];
  ASSERT_TRUE(FifoOpen(ring));
  auto Push = [](int n) { TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText(std::to_string(n)), 20078); };
  struct Case {
    const char* sName;
    int nBatch;       // texts pushed before the ring is drained
    int nTexts;       // texts in all
    int nMaxPages;    // resident pages of the stretch afterwards
  };
  const Case vCases[] = {
      {"a busy key: batches of 1,000, once round the ring", 1000, SPECIFIC_MSG_READ_SLOTS, 0},
      {"a quiet key: one text at a time, ending inside a page", 1, 700, 1},
      {"a backlog drained at once", SPECIFIC_MSG_READ_SLOTS - 1, SPECIFIC_MSG_READ_SLOTS - 1, 0},
  };
  for (const Case& c : vCases) {
    int nPushed = 0, nPopped = 0;
    while (nPushed < c.nTexts) {
      for (int n = 0; n < c.nBatch && nPushed < c.nTexts; ++n) Push(nPushed++);
      while (TText s = FifoPop(ring)) ASSERT_EQ(*s, std::to_string(nPopped++)) << c.sName;
    }
    EXPECT_EQ(nPopped, c.nTexts) << c.sName;
    EXPECT_LE(ResidentPages(ring), c.nMaxPages) << c.sName;
  }
}

// The budget counts what the rings really hold. The resident pages of the slots are followed as
// pushes open pages and pops give them back: after every push and pop the count moves exactly as
// the ring's resident pages do, through batches, a quiet key, a wrap and a full ring whose write
// position wrapped into the read position's page.
TEST_F(FifoTest, QueuedBytesFollowTheSlotPagesTheRingKeepsResident) {
  TSpecificMsgReadFifo& ring = MyFifoReceived.MySpecificPeerMsgRead[88];
  ASSERT_TRUE(FifoOpen(ring));
  const int64_t nPage = static_cast<int64_t>(MemoryPageSize());
  const int64_t nOthers = FifoSlotPageBytes() - ResidentPages(ring) * nPage;  // pages of other rings
  int nPushed = 0, nPopped = 0;
  struct Step {
    const char* sName;
    int nPush;  // texts pushed, then
    int nPop;   // texts popped
  };
  const Step vSteps[] = {
      {"a quiet key", 1, 1},         {"refilled on its page", 3, 3},  {"a batch over three pages", 1200, 1100},
      {"up to the end", 8000, 8000}, {"wrapped round", 900, 1000},    {"full", SPECIFIC_MSG_READ_SLOTS, 0},
      {"drained", 0, SPECIFIC_MSG_READ_SLOTS},                        {"once more", 700, 700},
  };
  for (const Step& c : vSteps) {
    for (int n = 0; n < c.nPush; ++n) {
      const int32_t nWP = ring.nWP;
      TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText(std::to_string(nPushed)), 20089);
      if (ring.nWP != nWP) ++nPushed;
      ASSERT_EQ(FifoSlotPageBytes() - nOthers, ResidentPages(ring) * nPage) << c.sName << ", push " << n;
    }
    for (int n = 0; n < c.nPop; ++n) {
      if (FifoPop(ring)) ++nPopped;
      ASSERT_EQ(FifoSlotPageBytes() - nOthers, ResidentPages(ring) * nPage) << c.sName << ", pop " << n;
    }
  }
  EXPECT_EQ(nPopped, nPushed);
  TakeLines();  // the full-ring lines of "full"
}

// A text is counted for no less than the heap its object and its characters take.
TEST(FifoAccountingTest, TextIsCountedForTheHeapItTakes) {
#ifdef __GLIBC__
  for (size_t nSize : {0, 15, 16, 31, 100, 333, 4095, 65536, 100000}) {
    TText sText = MakeText(std::string(nSize, 'a'));
    constexpr int64_t SIZE_WORD = 8;  // the allocator's header of every chunk
    int64_t nHeap = static_cast<int64_t>(malloc_usable_size(sText.get())) + SIZE_WORD;
    const char* pObject = reinterpret_cast<const char*>(sText.get());
    if (sText->data() < pObject || sText->data() >= pObject + sizeof(TPipelineText))  // a buffer of its own
      nHeap += static_cast<int64_t>(malloc_usable_size(const_cast<char*>(sText->data()))) + SIZE_WORD;
    EXPECT_GE(QueuedTextBytes(*sText), nHeap) << nSize;
  }
#else
  GTEST_SKIP() << "the allocator's block sizes are glibc's";
#endif
}

}  // namespace

// Regression: a stage paced by the raw difference napped after every event once its write
// position had wrapped, so its ring filled and dropped events at any steady rate.
TEST(FifoBacklogTest, BacklogAfterTheWritePositionWrapsIsTheCountWaiting) {
  struct Case { int32_t nWP, nRP, nSlots, nExpected; };
  const Case vCases[] = {
      {0, 0, SPECIFIC_MSG_READ_SLOTS, 0},
      {7, 2, SPECIFIC_MSG_READ_SLOTS, 5},
      {3, 10000, SPECIFIC_MSG_READ_SLOTS, 4},      // wrote 10000, 0, 1, 2 past the end
      {9999, 10000, SPECIFIC_MSG_READ_SLOTS, 10000},  // full: N - 1 waiting
      {5, 99990, GENERIC_MSG_READ_SLOTS, 16},
  };
  for (const Case& c : vCases)
    EXPECT_EQ(FifoBacklog(c.nWP, c.nRP, c.nSlots), c.nExpected) << c.nWP << " " << c.nRP;
}
