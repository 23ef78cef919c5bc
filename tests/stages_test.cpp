#include "pipeline/untSpecificMsgReadThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "logging/untCounters.h"
#include "pipeline/untEventKeys.h"
#include "pipeline/untGeneralMsgRead.h"
#include "pipeline/untGlobalMsgReadThread.h"
#include "pipeline/untSpecificMsgRead.h"
#include "pipeline/untStageDisplay.h"
#include "pipeline/untStageWake.h"
#include "platform/untControlLoop.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

struct TKeyCase {
  const char* sEvent;
  std::optional<int32_t> nKey;
};

void CheckKeys(std::optional<int32_t> (*fnExtract)(std::string_view), const std::vector<TKeyCase>& vCases) {
  for (const TKeyCase& c : vCases) EXPECT_EQ(fnExtract(c.sEvent), c.nKey) << c.sEvent;
}

TEST(EventKeys, QueueNumberIsFiveCharactersAfterQueue) {
  CheckKeys(&ExtractQueueNumber, {
                                     {"Event: Join\r\nQueue: 10005\r\n", 10005},
                                     {"Event: Join\r\nQueue: 1005\r\n", std::nullopt},  // "1005\r"
                                     {"Event: Join\r\nQueue: 100051\r\n", 10005},
                                     {"Queue: 10001\r\nQueue: 10002\r\n", 10001},
                                     {"Event: QueueMember\r\nMyQueue: 10009\r\n", 10009},  // inside a longer name
                                     {"Event: Join\r\nQueue:  1005\r\n", 1005},          // leading blank allowed
                                     {"Event: Join\r\nQueue: 0x1F\r\n", std::nullopt},   // "0x1F\r"
                                     {"Event: Join\r\nQueue: $2711\r\n", 10001},
                                     {"Event: Join\r\nQueue: 1000", 1000},               // text ends early: fewer characters
                                     {"Event: Join\r\nQueue: 10005", 10005},
                                     {"Event: Join\r\nqueue: 10005\r\n", std::nullopt},
                                     {"Event: Join\r\n", std::nullopt},
                                 });
}

TEST(EventKeys, PeerNumberFromChannelElsePeer) {
  CheckKeys(&ExtractPeerNumber, {
                                    {"Channel: SIP/20015-0000001a\r\n", 20015},
                                    {"Peer: SIP/20015\r\n", 20015},
                                    {"Channel: SIP/2015-0000001a\r\nPeer: SIP/20015\r\n", std::nullopt},  // no fallback
                                    {"Channel: SIP/3015-0000001a\r\nPeer: SIP/20015\r\n", 20015},
                                    {"Channel: IAX2/20015-1\r\nPeer: SIP/20016\r\n", 20016},
                                    {"Channel: IAX2/20015-1\r\n", std::nullopt},
                                    {"DestChannel: SIP/20017-1\r\nChannel: SIP/20018-1\r\n", 20017},
                                    {"Peer: SIP/2001\r\n", std::nullopt},
                                    {"Channel: SIP/20000-1\r\n", 20000},
                                    {"Channel: SIP/29999", 29999},
                                    {"Channel: SIP/30000-1\r\n", 30000},  // the range's last served number
                                    {"Peer: SIP/30000\r\n", 30000},
                                    {"Channel: SIP/30001-1\r\n", std::nullopt},
                                    {"Channel: SIP/30000-1\r\nPeer: SIP/20015\r\n", 30000},
                                    {"Event: PeerStatus\r\nPeerStatus: Registered\r\n", std::nullopt},
                                });
}

TEST(EventKeys, ParkingLotIsThreeCharactersAfterExten) {
  CheckKeys(&ExtractFeatureParkNumber, {
                                           {"Event: ParkedCall\r\nExten: 701\r\n", 701},
                                           {"Event: ParkedCall\r\nExten: 71\r\n", std::nullopt},
                                           {"Event: ParkedCall\r\nExten: 7015\r\n", 701},
                                           {"Event: ParkedCall\r\nParkingExten: 702\r\nExten: 703\r\n", 702},
                                           {"Event: ParkedCall\r\nExten:  71\r\n", 71},
                                           {"Event: ParkedCall\r\n", std::nullopt},
                                       });
}

// A per-key stage whose ways out are recorded instead of handed to the control thread.
template <class TStage>
class TRecordingStage : public TStage {
 public:
  std::vector<std::pair<int32_t, std::string>> vWritten, vShown;
  std::vector<size_t> vBatchSizes;     // frames of each batch handed over
  bool bUseRealCheck = true;           // false: the events in vHeldBack are held back, all others forwarded
  std::vector<std::string> vHeldBack;
  std::function<void(int32_t)> fnOnCheck;  // called with the key before each forwarding check

 protected:
  void DeliverBatch(const TEventBatch& tBatch) override {
    vBatchSizes.push_back(tBatch.vFrames.size());
    for (const TEventBatch::TFrame& t : tBatch.vFrames) vWritten.emplace_back(t.nKey, std::string(tBatch.Frame(t)));
  }
  void ShowInPane(int32_t nKey, const std::string& sEvent) override { vShown.emplace_back(nKey, sEvent); }
  void ShowPassStatus(const TExecSpecificStageThread::TPassStatus&) override {}
  bool ForwardEvent(const std::string& sEvent, int32_t nKey) override {
    if (fnOnCheck) fnOnCheck(nKey);
    if (bUseRealCheck) return TStage::ForwardEvent(sEvent, nKey);
    return std::find(vHeldBack.begin(), vHeldBack.end(), sEvent) == vHeldBack.end();
  }
};

class StagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TControlLoop::Instance().Stop();  // any hand-over that is not recorded is skipped
    MyAppInfo.bIsRunning = true;
    MyAppInfo.bWriteSpecificPeerLog = false;
    MyAuditEvents.bEnabled = false;
    Open(MyFifoReceived.MySpecificQueueMsgRead, QUEUE_COUNT);
    Open(MyFifoReceived.MySpecificPeerMsgRead, PEER_COUNT);
    Open(MyFifoReceived.MySpecificFeatureParkMsgRead, PARK_COUNT);
    ASSERT_TRUE(FifoOpen(MyFifoReceived.MyGlobalQueueMsgRead));
  }
  static void Open(TSpecificMsgReadFifo* vRings, int32_t nCount) {
    for (int32_t n = 0; n < nCount - 1; ++n) ASSERT_TRUE(FifoOpen(vRings[n]));
  }
};

TEST_F(StagesTest, PassTakesOneEventPerRingInKeyOrder) {
  TRecordingStage<TExecSpecificQueueMsgReadThread> tStage;
  for (const char* s : {"A1\r\n", "A2\r\n", "A3\r\n"}) TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText(s), 10001);
  TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText("B1\r\n"), 10002);

  using TWrites = std::vector<std::pair<int32_t, std::string>>;
  const std::vector<TWrites> vPasses = {
      {{10001, "A1\r\n\r\n\r\n"}, {10002, "B1\r\n\r\n\r\n"}},
      {{10001, "A2\r\n\r\n\r\n"}},
      {{10001, "A3\r\n\r\n\r\n"}},
      {},
  };
  for (const TWrites& vExpected : vPasses) {
    tStage.vWritten.clear();
    tStage.RunPass();
    EXPECT_EQ(tStage.vWritten, vExpected);
  }
  EXPECT_TRUE(tStage.vShown.empty());  // pane switch off, no audit
}

TEST_F(StagesTest, PassReportsLargestBacklogLowerKeyOnTies) {
  TRecordingStage<TExecSpecificFeatureParkMsgReadThread> tStage;
  const TExecSpecificStageThread::TPassStatus tEmpty = tStage.RunPass();
  EXPECT_EQ(std::tie(tEmpty.nMaxKey, tEmpty.nMaxDiff), std::make_tuple(701, 0));

  const std::vector<std::pair<int32_t, int>> vLoad = {{703, 1}, {705, 2}, {707, 2}};
  for (const auto& [nKey, nCount] : vLoad)
    for (int n = 0; n < nCount; ++n) TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead(MakeText("e"), nKey);
  const TExecSpecificStageThread::TPassStatus t = tStage.RunPass();
  EXPECT_EQ(t.nMaxKey, 705);
  EXPECT_EQ(t.nMaxDiff, 2);
  EXPECT_EQ(t.nMaxWP - t.nMaxRP, 2);
  tStage.RunPass();
}

// A pass looks only at marked rings: a ring on either side of a word of marks and the last served
// ring are all found, in key order; a push refused by the never-opened last ring marks it but holds
// up nothing; and a drained table is left with no mark among its served rings.
TEST_F(StagesTest, PassFindsEveryMarkedRingAndLeavesADrainedTableUnmarked) {
  TRecordingStage<TExecSpecificPeerMsgReadThread> tStage;
  tStage.bUseRealCheck = false;
  const int32_t nServed = PEER_COUNT - 1;
  for (int n = 0; n < 2; ++n) tStage.RunPass();  // rings other tests emptied by hand lose their marks
  ASSERT_EQ(SpecificRingMarks(EVENT_FAMILY_PEER).Next(0, nServed), nServed);

  const std::vector<int32_t> vKeys = {30001, 30000, 20065, 20064, 20001, 20128};  // 30001: the closed ring
  for (int32_t nKey : vKeys)
    for (int n = 0; n < 2; ++n) TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText(std::to_string(nKey) + "\r\n"), nKey);
  const std::vector<int32_t> vInOrder = {20001, 20064, 20065, 20128, 30000};
  for (int nPass = 0; nPass < 3; ++nPass) {
    tStage.vWritten.clear();
    tStage.RunPass();
    std::vector<int32_t> vTaken;
    for (const auto& [nKey, sFrame] : tStage.vWritten) vTaken.push_back(nKey);
    EXPECT_EQ(vTaken, nPass < 2 ? vInOrder : std::vector<int32_t>{}) << "pass " << nPass;
  }
  EXPECT_EQ(SpecificRingMarks(EVENT_FAMILY_PEER).Next(0, nServed), nServed);
}

TEST_F(StagesTest, HeldBackExtensionEventIsFramedForThePaneOnly) {
  TRecordingStage<TExecSpecificPeerMsgReadThread> tStage;
  tStage.bUseRealCheck = false;
  tStage.vHeldBack = {"Event: Newstate\r\nChannel: SIP/20015-1\r\n"};
  MyAppInfo.bWriteSpecificPeerLog = true;
  TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText(tStage.vHeldBack[0]), 20015);
  TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText("Event: Hangup\r\nChannel: SIP/20016-1\r\n"), 20016);
  tStage.RunPass();

  const std::string sAvoid = "********** Avoiding this Message **********";
  using TCalls = std::vector<std::pair<int32_t, std::string>>;
  EXPECT_EQ(tStage.vWritten, (TCalls{{20016, "Event: Hangup\r\nChannel: SIP/20016-1\r\n\r\n\r\n"}}));
  EXPECT_EQ(tStage.vShown, (TCalls{{20015, sAvoid + "\r\nEvent: Newstate\r\nChannel: SIP/20015-1\r\n" + sAvoid + "\r\n"},
                                   {20016, "Event: Hangup\r\nChannel: SIP/20016-1\r\n"}}));
}

TEST_F(StagesTest, ExtensionEventTheCheckDoesNotKnowIsForwarded) {
  TRecordingStage<TExecSpecificPeerMsgReadThread> tStage;
  TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText("Event: VarSet\r\nChannel: SIP/20020-1\r\n"), 20020);
  tStage.RunPass();
  ASSERT_EQ(tStage.vWritten.size(), 1u);
  EXPECT_EQ(tStage.vWritten[0].first, 20020);
}

TEST_F(StagesTest, AuditShowsEventsWithPaneSwitchOff) {
  TRecordingStage<TExecSpecificQueueMsgReadThread> tStage;
  MyAuditEvents.bEnabled = true;
  TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText("Q\r\n"), 10500);
  tStage.RunPass();
  MyAuditEvents.bEnabled = false;
  EXPECT_EQ(tStage.vShown, (std::vector<std::pair<int32_t, std::string>>{{10500, "Q\r\n"}}));
}

// A stage display that records the per-key pane calls and the thread each ran on; control thread.
class TRecordingDisplay : public TStageDisplay {
 public:
  std::vector<std::tuple<TPaneId, int32_t, std::string>> vKeyLines;
  std::vector<std::thread::id> vThreads;

  void PrintStageKeyLog(TPaneId tPane, int32_t nKey, const std::string& sEvent) override {
    vKeyLines.emplace_back(tPane, nKey, sEvent);
    vThreads.push_back(std::this_thread::get_id());
  }
  void PrintGeneralLogProcessed(const std::string&) override {}
  void PrintStageLog(TPaneId, const std::string&) override {}
  void PrintStatusBarMain(int32_t, int32_t, bool, int32_t) override {}
  void PrintStatusBarGlobal(TStatusBarId, int32_t, int32_t) override {}
  void PrintStatusBarSpecific(TStatusBarId, int32_t, int32_t, int32_t, int32_t) override {}
};

// A per-extension stage whose pane goes the real way: the hand-over to the registered display.
class TPaneShowingPeerStage : public TExecSpecificPeerMsgReadThread {
 protected:
  void DeliverBatch(const TEventBatch&) override {}
};

// The stages reach whatever display the controller registered, on the control thread, and nothing
// once it is gone; a display that leaves late does not take its successor with it.
TEST_F(StagesTest, PaneGoesToTheRegisteredDisplayOnTheControlThread) {
  testsupport::TControlThread control;
  std::thread::id idControl;
  ASSERT_TRUE(control.OnControl([&] { idControl = std::this_thread::get_id(); }));
  MyAppInfo.bWriteSpecificPeerLog = true;
  const std::string sEvent = "Event: VarSet\r\nChannel: SIP/20020-1\r\n";
  TPaneShowingPeerStage tStage;
  TRecordingDisplay first, second;

  RegisterStageDisplay(&first);
  TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText(sEvent), 20020);
  tStage.RunPass();
  using TLines = std::vector<std::tuple<TPaneId, int32_t, std::string>>;
  EXPECT_EQ(first.vKeyLines, (TLines{{PANE_SPECIFIC_PEER, 20020, sEvent}}));
  EXPECT_EQ(first.vThreads, std::vector<std::thread::id>{idControl});

  RegisterStageDisplay(&second);
  UnregisterStageDisplay(&first);
  EXPECT_EQ(StageDisplay(), &second);
  UnregisterStageDisplay(&second);
  TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText(sEvent), 20020);
  EXPECT_EQ(tStage.RunPass().nTaken, 1);
  EXPECT_EQ(first.vKeyLines.size(), 1u);
  EXPECT_TRUE(second.vKeyLines.empty());
}

// The global stages file each event into the ring of its own family's key.
TEST_F(StagesTest, GlobalStagesFileEventsByTheirKey) {
  TExecGlobalQueueMsgReadThread tQueue;
  TExecGlobalPeerMsgReadThread tPeer;
  TExecGlobalFeatureParkMsgReadThread tPark;
  struct Case {
    TExecGlobalStageThread& tStage;
    const char* sEvent;
    TSpecificMsgReadFifo* pRing;  // null: dropped
  };
  TFifoReceived& f = MyFifoReceived;
  const std::vector<Case> vCases = {
      {tQueue, "Event: Join\r\nQueue: 10005\r\nChannel: SIP/20001-1\r\n", &f.MySpecificQueueMsgRead[4]},
      {tQueue, "Event: Join\r\nQueue: 1005\r\n", nullptr},
      {tPeer, "Event: Newstate\r\nQueue: 10005\r\nChannel: SIP/20015-1\r\n", &f.MySpecificPeerMsgRead[14]},
      {tPeer, "Event: PeerStatus\r\nPeer: SIP/20016\r\n", &f.MySpecificPeerMsgRead[15]},
      {tPark, "Event: ParkedCall\r\nExten: 701\r\n", &f.MySpecificFeatureParkMsgRead[0]},
      {tPark, "Event: ParkedCall\r\nExten: 71\r\n", nullptr},
  };
  for (const Case& c : vCases) {
    c.tStage.ProcessGlobalMessage(MakeText(c.sEvent));
    if (!c.pRing) continue;
    TText s = FifoPop(*c.pRing);
    ASSERT_TRUE(s) << c.sEvent;
    EXPECT_EQ(*s, c.sEvent);
  }
  int nLeft = 0;
  for (auto* vTable : {f.MySpecificQueueMsgRead, f.MySpecificPeerMsgRead, f.MySpecificFeatureParkMsgRead})
    for (int n = 0; n < 100; ++n) nLeft += FifoPop(vTable[n]) ? 1 : 0;
  EXPECT_EQ(nLeft, 0);
}

// A pass hands its events over in one batch, or in several once a batch holds BATCH_BYTES; every
// frame arrives whole, in key order.
TEST_F(StagesTest, PassHandsOverItsEventsInBatchesOfBoundedSize) {
  TRecordingStage<TExecSpecificQueueMsgReadThread> tStage;
  const size_t nBig = TExecSpecificStageThread::BATCH_BYTES * 5 / 8;
  struct Case {
    std::vector<std::pair<int32_t, size_t>> vEvents;  // key and size of the events pushed
    std::vector<size_t> vBatchSizes;
  };
  const std::vector<Case> vCases = {
      {{{10001, 20}, {10002, 30}, {10900, 40}}, {3}},
      {{{10001, nBig}, {10002, nBig}, {10003, 20}}, {2, 1}},  // the second frame passes the bound
      {{}, {}},                                              // an idle pass hands nothing over
  };
  for (const Case& c : vCases) {
    tStage.vWritten.clear();
    tStage.vBatchSizes.clear();
    std::vector<std::pair<int32_t, std::string>> vExpected;
    for (const auto& [nKey, nSize] : c.vEvents) {
      const std::string sEvent = "Key " + std::to_string(nKey) + std::string(nSize, 'x') + "\r\n";
      TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText(sEvent), nKey);
      vExpected.emplace_back(nKey, sEvent + "\r\n\r\n");
    }
    tStage.RunPass();
    EXPECT_EQ(tStage.vBatchSizes, c.vBatchSizes);
    EXPECT_EQ(tStage.vWritten, vExpected);
  }
}

// A pass passes over rings it finds empty without their locks. An event pushed while the pass runs
// is taken in this pass when its ring still lies ahead, in the next one when the pass has passed
// it; none is lost.
TEST_F(StagesTest, EventPushedDuringThePassIsTakenByThisPassOrTheNext) {
  TRecordingStage<TExecSpecificQueueMsgReadThread> tStage;
  tStage.fnOnCheck = [](int32_t nKey) {
    if (nKey != 10002) return;
    TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText("behind\r\n"), 10001);
    TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText("ahead\r\n"), 10005);
  };
  TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText("first\r\n"), 10002);
  using TWrites = std::vector<std::pair<int32_t, std::string>>;
  tStage.RunPass();
  EXPECT_EQ(tStage.vWritten, (TWrites{{10002, "first\r\n\r\n\r\n"}, {10005, "ahead\r\n\r\n\r\n"}}));
  tStage.vWritten.clear();
  tStage.RunPass();
  EXPECT_EQ(tStage.vWritten, (TWrites{{10001, "behind\r\n\r\n\r\n"}}));
}

// An event past the splitter's 1 MiB would cut every desk of its key at their output bound: it is
// dropped before any ring and counted, and the next event of the same key is delivered.
TEST_F(StagesTest, TwoMiBEventIsDroppedAndTheNextOfItsKeyIsDelivered) {
  ASSERT_TRUE(TGeneralMsgRead::Initialize());
  ASSERT_TRUE(TGlobalQueueMsgRead::Initialize());
  TRecordingStage<TExecSpecificQueueMsgReadThread> tStage;  // the per-key stage, run by the test
  const uint64_t nTooLargeBefore = MyCounters.vEventsDropped[DROP_REASON_TOO_LARGE].load();
  std::string sHuge = "Event: QueueParams\r\nQueue: 10005\r\nFile: app_queue.c\r\n";
  while (sHuge.size() < (size_t{2} << 20)) sHuge += "Variable: 0123456789abcdefghijklmnopqrstuvwxyz\r\n";
  const std::string sNext = "Event: Join\r\nQueue: 10005\r\nFile: app_queue.c\r\n";
  const std::string sStream = sHuge + "\r\n" + sNext + "\r\n";
  for (size_t n = 0; n < sStream.size(); n += 65536) TGeneralMsgRead::GeneralMsgRead(MakeText(sStream.substr(n, 65536)));

  ASSERT_TRUE(testsupport::PollUntil([&] {
    tStage.RunPass();
    return !tStage.vWritten.empty();
  }));
  ASSERT_EQ(tStage.vWritten.size(), 1u);
  EXPECT_EQ(tStage.vWritten[0].first, 10005);
  EXPECT_TRUE(tStage.vWritten[0].second == sNext + "\r\n\r\n")  // not EXPECT_EQ: it might be 2 MiB
      << tStage.vWritten[0].second.substr(0, 40);
  EXPECT_EQ(MyCounters.vEventsDropped[DROP_REASON_TOO_LARGE].load() - nTooLargeBefore, 1u);
  MyAppInfo.bIsRunning = false;
  EXPECT_TRUE(WaitForWorkers(std::chrono::seconds(20)));
}

// What a per-key stage running on its own thread handed over, kept outside it (the thread frees
// itself when it ends), in the order the batches left.
struct TDelivered {
  std::mutex crsFrames;
  std::vector<std::pair<int32_t, std::string>> vFrames;
  size_t Count() {
    std::lock_guard<std::mutex> lock(crsFrames);
    return vFrames.size();
  }
};

class TThreadedQueueStage : public TExecSpecificQueueMsgReadThread {
 public:
  explicit TThreadedQueueStage(TDelivered& tOut) : tOut(tOut) {}

 protected:
  void DeliverBatch(const TEventBatch& tBatch) override {
    std::lock_guard<std::mutex> lock(tOut.crsFrames);
    for (const TEventBatch::TFrame& t : tBatch.vFrames) tOut.vFrames.emplace_back(t.nKey, std::string(tBatch.Frame(t)));
  }
  void ShowInPane(int32_t, const std::string&) override {}
  void ShowPassStatus(const TExecSpecificStageThread::TPassStatus&) override {}

 private:
  TDelivered& tOut;
};

// The per-key queue stage on its own thread, paced by events. The test ends it as the relay does:
// running flag off, every bell rung; a stage asleep on its bell must then leave at once.
class EventPacedStageTest : public StagesTest {
 protected:
  void SetUp() override {
    StagesTest::SetUp();
    MyConfigInfo.tPacing = PACING_EVENT;
  }
  void TearDown() override {
    MyAppInfo.bIsRunning = false;
    RingAllStageBells();
    EXPECT_TRUE(WaitForWorkers(std::chrono::seconds(20))) << "a stage slept through the shut-down";
    MyConfigInfo.tPacing = PACING_PASS;
  }
  void StartStage() {
    auto* pStage = new TThreadedQueueStage(tOut);
    ASSERT_TRUE(pStage->Start());
  }
  bool WaitDelivered(size_t nCount) {
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (tOut.Count() < nCount && std::chrono::steady_clock::now() < tDeadline) std::this_thread::yield();
    return tOut.Count() >= nCount;
  }
  static std::string Numbered(int n) { return "Event " + std::to_string(n) + "\r\n"; }

  TDelivered tOut;
};

// A burst of 1,000 events for one queue, then one for another: passes still take one event per
// key, so the other queue's event leaves long before the burst has drained.
TEST_F(EventPacedStageTest, OneEventForAnotherQueueOvertakesABurst) {
  for (int n = 0; n < 1000; ++n) TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText(Numbered(n)), 10007);
  TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText("Other\r\n"), 10900);
  StartStage();
  ASSERT_TRUE(WaitDelivered(1001));
  std::lock_guard<std::mutex> lock(tOut.crsFrames);
  const auto itOther = std::find(tOut.vFrames.begin(), tOut.vFrames.end(),
                                 std::make_pair(int32_t{10900}, std::string("Other\r\n\r\n\r\n")));
  ASSERT_NE(itOther, tOut.vFrames.end());
  EXPECT_EQ(itOther - tOut.vFrames.begin(), 1) << "the first pass takes one event of each queue";
}

// A producer pushes while the stage runs, in bursts with pauses between them, so the stage keeps
// falling asleep on an empty table and being woken: every event must arrive (no wake-up lost), and
// each queue's events in the order they were pushed.
TEST_F(EventPacedStageTest, EveryEventOfARunningProducerArrivesInKeyOrder) {
  constexpr int kEvents = 30000;
  constexpr int32_t vKeys[] = {10001, 10002, 10500, 10999};
  StartStage();
  std::thread tProducer([&] {
    for (int n = 0; n < kEvents; ++n) {
      TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText(Numbered(n)), vKeys[n % 4]);
      if (n % 97 == 0) std::this_thread::yield();
      if (n % 1000 == 0) SleepMs(1);
    }
  });
  tProducer.join();
  ASSERT_TRUE(WaitDelivered(kEvents)) << tOut.Count() << " of " << kEvents;
  std::lock_guard<std::mutex> lock(tOut.crsFrames);
  EXPECT_EQ(tOut.vFrames.size(), size_t{kEvents});
  std::map<int32_t, int> vLast;
  for (const auto& [nKey, sFrame] : tOut.vFrames) {
    const int n = std::stoi(sFrame.substr(6));
    EXPECT_EQ(vKeys[n % 4], nKey) << sFrame;
    const auto it = vLast.find(nKey);
    if (it != vLast.end()) {
      EXPECT_LT(it->second, n) << "key " << nKey;
    }
    vLast[nKey] = n;
  }
}

// One event at a time, each pushed as soon as the one before has left: every push finds the stage
// about to fall asleep on an empty table, where a wake-up that slipped between its last look and
// its sleep would strand the event for good.
TEST_F(EventPacedStageTest, EachEventPushedAsTheStageFallsAsleepWakesIt) {
  constexpr int kEvents = 5000;
  StartStage();
  for (int n = 0; n < kEvents; ++n) {
    TSpecificQueueMsgRead::SpecificQueueMsgRead(MakeText(Numbered(n)), 10001 + n % 3);
    ASSERT_TRUE(WaitDelivered(n + 1)) << "event " << n << " was never taken";
  }
}

// All seven families with their real threads: one event of each kind goes from the raw ring down
// to the per-key stage that takes it out of its key's ring, under either pacing. Runs last: it
// starts the consumers.
class StagesTravelTest : public StagesTest, public ::testing::WithParamInterface<TPacing_OPT> {
 protected:
  void TearDown() override { MyConfigInfo.tPacing = PACING_PASS; }
};

TEST_P(StagesTravelTest, EventsTravelFromRawRingToTheirPerKeyStage) {
  MyConfigInfo.tPacing = GetParam();
  ASSERT_TRUE(TGeneralMsgRead::Initialize());
  ASSERT_TRUE(TGlobalQueueMsgRead::Initialize() && TSpecificQueueMsgRead::Initialize());
  ASSERT_TRUE(TGlobalPeerMsgRead::Initialize() && TSpecificPeerMsgRead::Initialize());
  ASSERT_TRUE(TGlobalFeatureParkMsgRead::Initialize() && TSpecificFeatureParkMsgRead::Initialize());
  TFifoReceived& f = MyFifoReceived;
  const int32_t nQueueRP = f.MySpecificQueueMsgRead[4].nRP, nPeerRP = f.MySpecificPeerMsgRead[14].nRP,
                nParkRP = f.MySpecificFeatureParkMsgRead[99].nRP;
  TGeneralMsgRead::GeneralMsgRead(MakeText("Event: Join\r\nQueue: 10005\r\nFile: app_queue.c\r\n\r\nEvent: Var"));
  TGeneralMsgRead::GeneralMsgRead(MakeText("Set\r\nChannel: SIP/20015-1\r\nFile: channel.c\r\n\r\n"));
  TGeneralMsgRead::GeneralMsgRead(MakeText("Event: ParkedCall\r\nExten: 800\r\nFile: features.c\r\n\r\n"));
  const auto Arrived = [&] {
    return f.MySpecificQueueMsgRead[4].nRP != nQueueRP && f.MySpecificPeerMsgRead[14].nRP != nPeerRP &&
           f.MySpecificFeatureParkMsgRead[99].nRP != nParkRP;
  };
  const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Arrived() && std::chrono::steady_clock::now() < tDeadline) SleepMs(10);
  EXPECT_TRUE(Arrived());
  MyAppInfo.bIsRunning = false;
  RingAllStageBells();
  EXPECT_TRUE(WaitForWorkers(std::chrono::seconds(20)));
}

INSTANTIATE_TEST_SUITE_P(Pacing, StagesTravelTest, ::testing::Values(PACING_PASS, PACING_EVENT),
                         [](const ::testing::TestParamInfo<TPacing_OPT>& t) {
                           return std::string(t.param == PACING_EVENT ? "Event" : "Pass");
                         });

}  // namespace
