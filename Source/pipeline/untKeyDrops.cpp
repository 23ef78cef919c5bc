#include "pipeline/untKeyDrops.h"

#include <atomic>
#include <memory>

namespace {

// One count per ring of each per-key table, indexed as the rings are; sized from the families once,
// before the first count.
struct TDropCounts {
  std::unique_ptr<std::atomic<uint32_t>[]> vCounts[EVENT_FAMILY_COUNT];  // by family, then key index
  TDropCounts() {
    for (const TEventFamily& family : AllFamilies())
      vCounts[family.tFamily] = std::make_unique<std::atomic<uint32_t>[]>(static_cast<size_t>(family.nKeyCount));
  }
};

std::atomic<uint32_t>* Counts(TEventFamily_OPT tFamily) {
  static TDropCounts tCounts;
  return tCounts.vCounts[tFamily].get();
}

}  // namespace

int32_t KeyTableSize(TEventFamily_OPT tFamily) {
  return tFamily >= 0 && tFamily < EVENT_FAMILY_COUNT ? Family(tFamily).nKeyCount : 0;
}

void CountKeyDrop(TEventFamily_OPT tFamily, int32_t nIndex) {
  if (nIndex < 0 || nIndex >= KeyTableSize(tFamily)) return;
  Counts(tFamily)[nIndex].fetch_add(1, std::memory_order_relaxed);
}

uint32_t TakeKeyDrops(TEventFamily_OPT tFamily, int32_t nIndex) {
  if (nIndex < 0 || nIndex >= KeyTableSize(tFamily)) return 0;
  std::atomic<uint32_t>& nCount = Counts(tFamily)[nIndex];
  // A plain read first: almost every key has nothing, and a read does not take the cache line.
  if (nCount.load(std::memory_order_relaxed) == 0) return 0;
  return nCount.exchange(0, std::memory_order_relaxed);
}
