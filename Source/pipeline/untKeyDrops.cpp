#include "pipeline/untKeyDrops.h"

#include <atomic>

#include "base/untVariables.h"

namespace {

// One count per ring of each per-key table, indexed as the rings are.
std::atomic<uint32_t> vQueueDrops[QUEUE_COUNT];
std::atomic<uint32_t> vPeerDrops[PEER_COUNT];
std::atomic<uint32_t> vParkDrops[PARK_COUNT];

std::atomic<uint32_t>* Counts(TEventFamily_OPT tFamily) {
  switch (tFamily) {
    case EVENT_FAMILY_QUEUE: return vQueueDrops;
    case EVENT_FAMILY_PEER: return vPeerDrops;
    case EVENT_FAMILY_FEATUREPARK: return vParkDrops;
    default: return nullptr;
  }
}

}  // namespace

int32_t KeyTableSize(TEventFamily_OPT tFamily) {
  switch (tFamily) {
    case EVENT_FAMILY_QUEUE: return QUEUE_COUNT;
    case EVENT_FAMILY_PEER: return PEER_COUNT;
    case EVENT_FAMILY_FEATUREPARK: return PARK_COUNT;
    default: return 0;
  }
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
