#include "pipeline/untEventOutlet.h"

#include <array>
#include <atomic>
#include <mutex>

#include "base/untMutex.h"

namespace {

// Filled in order under crsAdd; readers see a slot only after nOutlets counts it.
std::array<std::atomic<TEventOutlet*>, MAX_EVENT_OUTLETS> vOutlets{};
std::atomic<int> nOutlets{0};
TMutex crsAdd;  // serialises AddEventOutlet; never taken by Deliver

}  // namespace

bool AddEventOutlet(TEventOutlet* pOutlet) {
  TMutexLock lock(crsAdd);
  const int nCount = nOutlets.load(std::memory_order_relaxed);
  for (int n = 0; n < nCount; ++n)
    if (vOutlets[n].load(std::memory_order_relaxed) == pOutlet) return true;
  if (nCount >= MAX_EVENT_OUTLETS) return false;
  vOutlets[nCount].store(pOutlet, std::memory_order_relaxed);
  nOutlets.store(nCount + 1, std::memory_order_release);
  return true;
}

void TEventOutlet::DeliverBatch(const TEventBatch& tBatch) {
  for (const TEventBatch::TFrame& tFrame : tBatch.vFrames)
    Deliver(tBatch.tFamily, tFrame.nKey, std::string(tBatch.Frame(tFrame)));
}

void DeliverBatchToOutlets(const TEventBatch& tBatch) {
  if (tBatch.vFrames.empty()) return;
  const int nCount = nOutlets.load(std::memory_order_acquire);
  for (int n = 0; n < nCount; ++n) vOutlets[n].load(std::memory_order_relaxed)->DeliverBatch(tBatch);
}
