#include "pipeline/untGeneralMsgReadThread.h"

#include <array>
#include <atomic>
#include <exception>

#include "logging/untCounters.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "pipeline/untFifo.h"
#include "pipeline/untPipelineCommon.h"
#include "pipeline/untSpecificMsgRead.h"
#include "pipeline/untStageWake.h"

namespace {
constexpr const char* SOURCE_EXECUTE = "TExecGeneralMsgReadThread.Execute";
constexpr const char* SOURCE_PROCESS = "TExecGeneralMsgReadThread.ProcessGenericMessage";
constexpr int32_t SLEEP_BACKLOG = 10;  // chunks waiting at or below which the thread naps
constexpr int SLEEP_MS = 10;
}  // namespace

void TExecGeneralMsgReadThread::Execute() {
  TGenericMsgReadFifo& ring = MyFifoReceived.MyGenericMsgRead;
  const bool bEventPacing = EventPacing();
  TStageBell& bell = GeneralStageBell();
  bool bBusy = false;  // the last look found a chunk
  try {
    while (MyAppInfo.bIsRunning) {
      const uint64_t nEpoch = bell.Epoch();  // before the pop: a chunk pushed after it rings anew
      const int32_t nWP = ring.nWP.load(std::memory_order_relaxed);
      if (nWP % 10 == 0 && StatusBarsShown()) {
        const int32_t nRP = ring.nRP.load(std::memory_order_relaxed);
        HandOverToControl([&](TStageDisplay& d) { d.PrintStatusBarMain(nWP, nRP, false, 0); });
      }
      bool bTook = false;
      if (TText sText = FifoPop(ring)) {
        bTook = true;
        ProcessGenericMessage(*sText, sText->nReadStampUs);
      }
      if (bEventPacing) {
        if (!bTook) bell.Wait(nEpoch, bBusy);  // the ring is empty: sleep until the next exchange read
        bBusy = bTook;
        continue;
      }
      if (FifoBacklog(ring.nWP.load(std::memory_order_relaxed), ring.nRP.load(std::memory_order_relaxed),
                      GENERIC_MSG_READ_SLOTS) <= SLEEP_BACKLOG)
        SleepMs(SLEEP_MS);
    }
  } catch (const std::exception& e) {
    PipelineLogError(SOURCE_EXECUTE, e.what());
  }
}

void TExecGeneralMsgReadThread::ProcessGenericMessage(std::string_view sText, int64_t nReadStampUs) {
  try {
    nChunkStampUs = nReadStampUs;
    tSplitter.Feed(sText, *this);
  } catch (const std::exception& e) {
    PipelineLogError(SOURCE_PROCESS, e.what());
  }
}

void TExecGeneralMsgReadThread::OnEvent(std::string_view sEventFound, uint32_t nRings) {
  // An event filed into two rings counts once in each.
  std::array<std::atomic<uint64_t>, EVENT_FAMILY_COUNT + 1>& vEvents = MyCounters.vEvents;
  // An event goes to the global ring of each family whose bit it carries, in family order.
  for (const TEventFamily& family : AllFamilies()) {
    if ((nRings & family.nSplitterRing) == 0) continue;
    CountUp(vEvents[family.tFamily]);
    PushGlobal(family.tFamily, MakeText(std::string(sEventFound), nChunkStampUs));
  }
  if (nRings == 0) CountUp(vEvents[COUNTER_EVENTS_NO_FAMILY]);
  if (ShowStagePane(MyAppInfo.bWriteGeneralLogProcessed)) {
    const std::string sShown(sEventFound);
    HandOverToControl([&](TStageDisplay& d) { d.PrintGeneralLogProcessed(sShown); });
  }
}

void TExecGeneralMsgReadThread::OnNotEvent(int32_t nCountErrNotEvent) {
  if (nCountErrNotEvent % 10 == 0)
    HandOverToControl([&](TStageDisplay& d) { d.PrintStatusBarMain(0, 0, true, nCountErrNotEvent); });
}

void TExecGeneralMsgReadThread::OnCarryOverDropped(const std::string& sWhat) {
  CountUp(MyCounters.vEventsDropped[DROP_REASON_CARRY_OVER]);
  if (const uint64_t nCount = tCarryOverLine.Count())
    PipelineLog(SOURCE_PROCESS, LOG_ERROR, "Error: " + sWhat + TThinnedLine::SoFar(nCount), false);
}

void TExecGeneralMsgReadThread::OnEventTooLarge(size_t nBytes) {
  CountUp(MyCounters.vEventsDropped[DROP_REASON_TOO_LARGE]);
  if (const uint64_t nCount = tTooLargeLine.Count())
    PipelineLog(SOURCE_PROCESS, LOG_ERROR,
                "Error: event larger than " + IntToStr(static_cast<int64_t>(TEventSplitter::MAX_EVENT_BYTES)) +
                    " bytes dropped (" + IntToStr(static_cast<int64_t>(nBytes)) + " bytes of it read)" +
                    TThinnedLine::SoFar(nCount),
                false);
}
