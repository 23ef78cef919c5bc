#include "pipeline/untGlobalMsgReadThread.h"

#include <exception>

#include "logging/untCounters.h"
#include "pipeline/untEventProfile.h"
#include "pipeline/untPipelineCommon.h"
#include "pipeline/untSpecificMsgRead.h"
#include "pipeline/untStageWake.h"

namespace {

constexpr int32_t SLEEP_BACKLOG = 5;  // events waiting at or below which the stage naps
constexpr int SLEEP_MS = 100;

// A queue event without a key: under CURRENT, a queue named by words that is not listed is
// warned about (thinly), as a number outside the table would be; anything else goes unsaid.
void WarnUnlistedQueue(std::string_view sEvent) {
  if (const std::optional<std::string_view> sName = UnlistedQueueName(sEvent, MyConfigInfo.MyProfile))
    TSpecificQueueMsgRead::DropUnlistedQueue(*sName);
}

TGlobalStageFamily GlobalStageOf(TEventFamily_OPT tFamily, std::optional<int32_t> (*fnExtractKey)(std::string_view, const TProfileConfig&),
                                 void (*fnPushKeyed)(TText, int32_t), void (*fnNoKey)(std::string_view)) {
  const TFamilyStage& stage = Family(tFamily).tGlobal;
  return {&Family(tFamily).GlobalRing(),        &(MyAppInfo.*stage.pbPaneSwitch), stage.tPane, stage.tStatusBar, stage.sExecuteSource,
          stage.sProcessSource, fnExtractKey, fnPushKeyed, fnNoKey, tFamily};
}

}  // namespace

// The key reader is the pipeline's; the ring, texts, pane and status bar come from the family.
const TGlobalStageFamily& GlobalStageFamily(TEventFamily_OPT tFamily) {
  static const TGlobalStageFamily vFamilies[EVENT_FAMILY_COUNT] = {
      GlobalStageOf(EVENT_FAMILY_QUEUE, &ExtractQueueKey,
                    &TSpecificQueueMsgRead::SpecificQueueMsgRead, &WarnUnlistedQueue),
      GlobalStageOf(EVENT_FAMILY_PEER, &ExtractPeerKey,
                    &TSpecificPeerMsgRead::SpecificPeerMsgRead, nullptr),
      GlobalStageOf(EVENT_FAMILY_FEATUREPARK, &ExtractFeatureParkKey,
                    &TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead, nullptr),
  };
  return vFamilies[tFamily];
}

TExecGlobalQueueMsgReadThread::TExecGlobalQueueMsgReadThread()
    : TExecGlobalStageThread(GlobalStageFamily(EVENT_FAMILY_QUEUE)) {}
TExecGlobalPeerMsgReadThread::TExecGlobalPeerMsgReadThread()
    : TExecGlobalStageThread(GlobalStageFamily(EVENT_FAMILY_PEER)) {}
TExecGlobalFeatureParkMsgReadThread::TExecGlobalFeatureParkMsgReadThread()
    : TExecGlobalStageThread(GlobalStageFamily(EVENT_FAMILY_FEATUREPARK)) {}

void TExecGlobalStageThread::Execute() {
  TSpecificMsgReadFifo& ring = *tFamily.pRing;
  const bool bEventPacing = EventPacing();
  TStageBell& bell = GlobalStageBell(tFamily.tEventFamily);
  bool bBusy = false;  // the last look found an event
  try {
    while (MyAppInfo.bIsRunning) {
      const uint64_t nEpoch = bell.Epoch();  // before the pop: an event pushed after it rings anew
      const int32_t nWP = ring.nWP.load(std::memory_order_relaxed);
      if (nWP % 10 == 0 && StatusBarsShown()) {
        const int32_t nRP = ring.nRP.load(std::memory_order_relaxed);
        HandOverToControl([&](TStageDisplay& d) { d.PrintStatusBarGlobal(tFamily.tStatusBar, nWP, nRP); });
      }
      TText sText = FifoPop(ring);
      const bool bTook = sText != nullptr;
      if (bTook) ProcessGlobalMessage(std::move(sText));
      if (bEventPacing) {
        if (!bTook) bell.Wait(nEpoch, bBusy);  // the ring is empty: sleep until the splitter pushes
        bBusy = bTook;
        continue;
      }
      if (FifoBacklog(ring.nWP.load(std::memory_order_relaxed), ring.nRP.load(std::memory_order_relaxed),
                      SPECIFIC_MSG_READ_SLOTS) <= SLEEP_BACKLOG)
        SleepMs(SLEEP_MS);
    }
  } catch (const std::exception& e) {
    PipelineLogError(tFamily.sExecuteSource, e.what());
  }
}

void TExecGlobalStageThread::ProcessGlobalMessage(TText sMyNewMessage) {
  std::optional<int32_t> nKey;
  try {
    nKey = tFamily.fnExtractKey(*sMyNewMessage, MyConfigInfo.MyProfile);
    if (!nKey && tFamily.fnNoKey) tFamily.fnNoKey(*sMyNewMessage);
  } catch (const std::exception& e) {
    PipelineLogError(tFamily.sProcessSource, e.what());
    return;
  }
  if (!nKey) {
    CountUp(MyCounters.vEventsDropped[DROP_REASON_NO_KEY]);
    return;
  }
  // Push and pane are one unit: a failure in it loses this event only (or, once pushed, only its
  // pane line). A full ring has logged its own refusal; any other failure is counted when it cost
  // the event and logged thinned, since what fails once here (memory, say) fails for a flood.
  bool bPushed = false;
  try {
    const bool bShow = ShowStagePane(*tFamily.pbPaneSwitch);
    std::string sShown;
    if (bShow) sShown = *sMyNewMessage;  // the pushed text belongs to the next stage from now on
    tFamily.fnPushKeyed(std::move(sMyNewMessage), *nKey);
    bPushed = true;
    if (bShow) HandOverToControl([&](TStageDisplay& d) { d.PrintStageLog(tFamily.tPane, sShown); });
  } catch (const std::exception& e) {
    if (!bPushed) CountUp(MyCounters.vEventsDropped[DROP_REASON_STAGE_ERROR]);
    if (const uint64_t nCount = tFailureLine.Count())
      PipelineLog(tFamily.sProcessSource, LOG_ERROR,
                  std::string("Error: ") + e.what() + (bPushed ? " - pane line lost" : " - event dropped") +
                      TThinnedLine::SoFar(nCount),
                  false);
  }
}
