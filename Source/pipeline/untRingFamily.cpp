#include "pipeline/untRingFamily.h"

#include <exception>
#include <memory>
#include <stdexcept>

#include "logging/untUtil.h"
#include "pipeline/untPipelineCommon.h"

namespace {

void StartConsumer(TCreateConsumer fnCreate) {
  std::unique_ptr<TWorkerThread> pThread(fnCreate());
  if (!pThread->Start()) throw std::runtime_error("the consumer thread could not be started");
  pThread.release();  // from here the thread owns and frees itself
}

bool IsPowerOfTen(uint32_t n) {
  while (n >= 10 && n % 10 == 0) n /= 10;
  return n == 1;
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
  // Compared in 64 bits: no key, however wild, can wrap into the table.
  const int64_t nIndex = int64_t{nKey} - tTable.nFirstKey;
  if (nIndex >= 0 && nIndex < tTable.nCount) {
    FifoPush(tTable.vRings[nIndex], std::move(sText), tTable.sSource, tTable.sFullText);
    return;
  }
  if (!sText || !MyAppInfo.bIsRunning) return;
  const uint32_t nDropped = tTable.pnOutOfRange->fetch_add(1, std::memory_order_relaxed) + 1;
  if (!IsPowerOfTen(nDropped)) return;
  PipelineLog(tTable.sSource, LOG_WARNING,
              "Event dropped: " + IntToStr(nKey) + " lies outside " + IntToStr(tTable.nFirstKey) + " to " +
                  IntToStr(tTable.nFirstKey + tTable.nCount - 1) + " (" + IntToStr(nDropped) + " so far).",
              false);
}
