#include "pipeline/untRingFamily.h"

#include <exception>
#include <memory>
#include <stdexcept>

#include "logging/untCounters.h"
#include "logging/untUtil.h"
#include "pipeline/untKeyDrops.h"
#include "pipeline/untPipelineCommon.h"

namespace {

void StartConsumer(TCreateConsumer fnCreate) {
  std::unique_ptr<TWorkerThread> pThread(fnCreate());
  if (!pThread->Start()) throw std::runtime_error("the consumer thread could not be started");
  pThread.release();  // from here the thread owns and frees itself
}

// Counts a refused event of the family and warns on the 1st, 10th, 100th, ... of them.
void WarnDropped(const TKeyTable& tTable, const std::string& sWhy) {
  CountUp(MyCounters.vEventsDropped[DROP_REASON_KEY_OUT_OF_RANGE]);
  const uint32_t nDropped = tTable.pnOutOfRange->fetch_add(1, std::memory_order_relaxed) + 1;
  if (!IsPowerOfTen(nDropped)) return;
  PipelineLog(tTable.sSource, LOG_WARNING, "Event dropped: " + sWhy + " (" + IntToStr(nDropped) + " so far).", false);
}

}  // namespace

bool InitializeFamily(const char* sSource, TGenericMsgReadFifo& ring, TCreateConsumer fnCreate) {
  try {
    if (!FifoOpen(ring)) throw std::runtime_error(FifoOpenError());
    StartConsumer(fnCreate);
    return true;
  } catch (const std::exception& e) {
    PipelineLogError(sSource, e.what());
    return false;
  }
}

bool InitializeFamily(const char* sSource, std::span<TSpecificMsgReadFifo> vRings, TCreateConsumer fnCreate) {
  try {
    for (TSpecificMsgReadFifo& ring : vRings)
      if (!FifoOpen(ring)) throw std::runtime_error(FifoOpenError());
    StartConsumer(fnCreate);
    return true;
  } catch (const std::exception& e) {
    PipelineLogError(sSource, e.what());
    return false;
  }
}

void PushKeyed(const TKeyTable& tTable, int32_t nKey, TText sText) {
  const int32_t nFirstKey = *tTable.pnFirstKey;
  const int32_t nIndex = KeyIndex(nKey, nFirstKey, tTable.nCount);
  if (nIndex >= 0) {
    if (FifoPush(tTable.vRings[nIndex], std::move(sText), tTable.sSource, tTable.sFullText, *tTable.pFullLine))
      CountKeyDrop(tTable.tFamily, nIndex);
    tTable.pMarks->Mark(nIndex);
    return;
  }
  if (!sText || !MyAppInfo.bIsRunning) return;
  WarnDropped(tTable, IntToStr(nKey) + " lies outside " + IntToStr(nFirstKey) + " to " +
                          IntToStr(int64_t{nFirstKey} + tTable.nCount - 1));
}

void DropUnnamedKey(const TKeyTable& tTable, const std::string& sWhy) {
  if (MyAppInfo.bIsRunning) WarnDropped(tTable, sWhy);
}
