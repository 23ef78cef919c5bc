#include "pipeline/untSpecificMsgReadThread.h"

#include <exception>

#include "logging/untCounters.h"
#include "pipeline/untPeerRules.h"
#include "pipeline/untPipelineCommon.h"
#include "pipeline/untStageWake.h"

namespace {

constexpr int SLEEP_MS = 100;  // pause after every pass
constexpr int64_t EVENT_STATUS_US = 100'000;  // EVENT: least time between two status bars while busy
constexpr const char* AVOIDING = "********** Avoiding this Message **********";

}  // namespace

namespace {

TSpecificStageFamily SpecificStageOf(TEventFamily_OPT tFamily) {
  const TEventFamily& family = Family(tFamily);
  return {tFamily,
          family.KeyRings().data(),
          &SpecificRingMarks(tFamily),
          family.FirstKeyPtr(),
          family.nKeyCount - 1,
          &(MyAppInfo.*family.tSpecific.pbPaneSwitch),
          family.tSpecific.tPane,
          family.tSpecific.tStatusBar,
          family.tSpecific.sExecuteSource,
          family.tSpecific.sProcessSource};
}

}  // namespace

// The marks are the pipeline's; everything else of a row comes from the family.
const TSpecificStageFamily& SpecificStageFamily(TEventFamily_OPT tFamily) {
  static const TSpecificStageFamily vFamilies[EVENT_FAMILY_COUNT] = {
      SpecificStageOf(EVENT_FAMILY_QUEUE),
      SpecificStageOf(EVENT_FAMILY_PEER),
      SpecificStageOf(EVENT_FAMILY_FEATUREPARK),
  };
  return vFamilies[tFamily];
}

TExecSpecificQueueMsgReadThread::TExecSpecificQueueMsgReadThread()
    : TExecSpecificStageThread(SpecificStageFamily(EVENT_FAMILY_QUEUE)) {}
TExecSpecificPeerMsgReadThread::TExecSpecificPeerMsgReadThread()
    : TExecSpecificStageThread(SpecificStageFamily(EVENT_FAMILY_PEER)) {}
TExecSpecificFeatureParkMsgReadThread::TExecSpecificFeatureParkMsgReadThread()
    : TExecSpecificStageThread(SpecificStageFamily(EVENT_FAMILY_FEATUREPARK)) {}

void TExecSpecificStageThread::Execute() {
  try {
    if (EventPacing()) return ExecuteEventPaced();
    while (MyAppInfo.bIsRunning) {
      ShowPassStatus(RunPass());
      SleepMs(SLEEP_MS);
    }
  } catch (const std::exception& e) {
    PipelineLogError(tFamily.sExecuteSource, e.what());
  }
}

void TExecSpecificStageThread::ExecuteEventPaced() {
  TStageBell& bell = SpecificStageBell(tFamily.tFamily);
  int64_t nStatusUs = 0;      // when the status bar was last shown
  bool bStatusStale = true;   // a pass took events since then
  bool bBusy = false;         // the last pass took events
  while (MyAppInfo.bIsRunning) {
    const uint64_t nEpoch = bell.Epoch();  // before the pass: a push after it rings anew
    const TPassStatus tStatus = RunPass();
    const bool bIdle = tStatus.nTaken == 0;
    bStatusStale = bStatusStale || !bIdle;
    const int64_t nNowUs = MonotonicMicroseconds();
    if ((bIdle && bStatusStale) || nNowUs - nStatusUs >= EVENT_STATUS_US) {
      ShowPassStatus(tStatus);
      nStatusUs = nNowUs;
      bStatusStale = false;
    }
    if (bIdle) bell.Wait(nEpoch, bBusy);
    bBusy = !bIdle;
  }
}

TExecSpecificStageThread::TPassStatus TExecSpecificStageThread::RunPass() {
  TPassStatus tStatus;
  int32_t nTaken = 0;
  const int32_t nFirstKey = *tFamily.pnFirstKey;
  const int32_t nEnd = tFamily.nServedRings;
  // The marks are read afresh at every step: a ring marked ahead of the pass while it runs is
  // taken in this pass, one marked behind it in the next.
  for (int32_t n = tFamily.pMarks->Next(0, nEnd); n < nEnd; n = tFamily.pMarks->Next(n + 1, nEnd)) {
    TSpecificMsgReadFifo& ring = tFamily.vRings[n];
    const int32_t nWP = ring.nWP.load(std::memory_order_relaxed);
    const int32_t nRP = ring.nRP.load(std::memory_order_relaxed);
    if (nWP - nRP > tStatus.nMaxDiff) tStatus = {nFirstKey + n, nWP - nRP, nRP, nWP};
    TText sText;
    if (nWP != nRP) sText = FifoPop(ring);  // else empty, or its push not seen yet: the next pass takes it
    UnmarkIfEmpty(n);
    if (sText) ++nTaken;
    if (!sText || !ProcessSpecificMessage(*sText, nFirstKey + n, sText->nReadStampUs)) continue;
    if (sBatchBytes.size() >= BATCH_BYTES) HandOverBatch();
  }
  HandOverBatch();
  StatusOfEmptyRings(tStatus);
  tStatus.nTaken = nTaken;
  return tStatus;
}

void TExecSpecificStageThread::UnmarkIfEmpty(int32_t n) {
  const TSpecificMsgReadFifo& ring = tFamily.vRings[n];
  auto fnEmpty = [&ring] {
    return ring.nWP.load(std::memory_order_relaxed) == ring.nRP.load(std::memory_order_relaxed);
  };
  if (!fnEmpty()) return;
  tFamily.pMarks->Clear(n);
  if (!fnEmpty()) tFamily.pMarks->Mark(n);
}

void TExecSpecificStageThread::StatusOfEmptyRings(TPassStatus& tStatus) const {
  if (tStatus.nMaxDiff > 0) return;
  for (int32_t n = 0; n < tFamily.nServedRings; ++n) {
    const TSpecificMsgReadFifo& ring = tFamily.vRings[n];
    const int32_t nWP = ring.nWP.load(std::memory_order_relaxed);
    const int32_t nRP = ring.nRP.load(std::memory_order_relaxed);
    if (nWP != nRP) continue;
    tStatus = {*tFamily.pnFirstKey + n, 0, nRP, nWP};
    return;
  }
}

bool TExecSpecificStageThread::ProcessSpecificMessage(std::string& sMyNewMessage, int32_t nKey,
                                                      int64_t nReadStampUs) {
  bool bAdded = false;
  try {
    const bool bShow = ShowStagePane(*tFamily.pbPaneSwitch);
    if (ForwardEvent(sMyNewMessage, nKey)) {
      // The event ends with its last line's CR LF; the blank line and one more close it for clients.
      vBatchFrames.push_back({nKey, sBatchBytes.size(), sMyNewMessage.size() + 4});
      vBatchStamps.push_back(nReadStampUs);
      sBatchBytes.append(sMyNewMessage).append("\r\n\r\n");
      bAdded = true;
    } else {
      CountUp(MyCounters.vEventsDropped[DROP_REASON_HELD_BACK]);
      // Only a shown pane gets the framed text; nothing is formatted for a hidden one.
      if (bShow) sMyNewMessage = std::string(AVOIDING) + "\r\n" + sMyNewMessage + AVOIDING + "\r\n";
    }
    if (bShow) ShowInPane(nKey, sMyNewMessage);
  } catch (const std::exception& e) {
    PipelineLogError(tFamily.sProcessSource, e.what());
  }
  return bAdded;
}

void TExecSpecificStageThread::HandOverBatch() {
  if (vBatchFrames.empty()) return;
  try {
    TEventBatch tBatch{tFamily.tFamily, sBatchBytes, {}};
    tBatch.vFrames.swap(vBatchFrames);
    DeliverBatch(tBatch);
    const int64_t nNowUs = MonotonicMicroseconds();
    for (int64_t nStampUs : vBatchStamps)
      if (nStampUs != 0) MyCounters.tRelayLatency.Observe(nNowUs - nStampUs);
    vBatchFrames.swap(tBatch.vFrames);  // keeps the capacity for the next batch
  } catch (const std::exception& e) {
    PipelineLogError(tFamily.sProcessSource, e.what());
  }
  // The buffers keep their capacity: the outlets are done with the bytes once DeliverBatch returned.
  sBatchBytes.clear();
  vBatchFrames.clear();
  vBatchStamps.clear();
}

void TExecSpecificStageThread::DeliverBatch(const TEventBatch& tBatch) { DeliverBatchToOutlets(tBatch); }

void TExecSpecificStageThread::ShowInPane(int32_t nKey, const std::string& sEvent) {
  HandOverToControl([&](TStageDisplay& d) { d.PrintStageKeyLog(tFamily.tPane, nKey, sEvent); });
}

void TExecSpecificStageThread::ShowPassStatus(const TPassStatus& t) {
  if (!StatusBarsShown()) return;
  HandOverToControl([&](TStageDisplay& d) {
    d.PrintStatusBarSpecific(tFamily.tStatusBar, t.nMaxWP, t.nMaxRP, t.nMaxDiff, t.nMaxKey);
  });
}

bool TExecSpecificPeerMsgReadThread::ForwardEvent(const std::string& sMyNewMessage, int32_t nPeerNumber) {
  bool bGenerateEvent = true;  // events the check does not recognise are forwarded
  ValidatePeerEvents(sMyNewMessage, nPeerNumber, bGenerateEvent);
  return bGenerateEvent;
}
