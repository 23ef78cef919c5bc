// The ring discipline and the slot storage of every event ring.
//
// Storage: the slots of all 11,107 rings are one anonymous mapping of 111,171,107 pointers, reserved
// by the first FifoOpen and never released. Each ring owns a fixed stretch of it, in the field order
// of TFifoReceived (raw ring first, then the specific rings one after another), so a ring's place
// never depends on which families were opened or in which order. Opening a ring touches none of its
// slots: the kernel hands out zeroed pages only when a push first writes into one.
//
// Threads: FifoOpen runs at start-up before the ring's consumer exists; FifoPush runs on the ring's
// one producer, FifoPop on its one consumer. Both hold the ring's lock only to move one pointer and
// one position. The full-ring line is the one log call made under a ring lock (ring lock, then log
// lock; never the reverse).
#include "pipeline/untFifo.h"

#include <exception>
#include <functional>
#include <utility>

#include "logging/untCounters.h"
#include "logging/untUtil.h"
#include "pipeline/untPipelineCommon.h"
#include "pipeline/untRingFamily.h"
#include "platform/untMemory.h"
#include "platform/untMutex.h"

// Allocated once and never freed: workers may still pop while the process ends.
TFifoReceived& MyFifoReceived = *new TFifoReceived();

namespace {

constexpr int64_t SPECIFIC_RING_COUNT = 3 + QUEUE_COUNT + PEER_COUNT + PARK_COUNT;
constexpr int64_t TOTAL_SLOTS = GENERIC_MSG_READ_SLOTS + SPECIFIC_RING_COUNT * SPECIFIC_MSG_READ_SLOTS;
static_assert(TOTAL_SLOTS == 111'171'107, "every ring keeps its full slot count");

TMutex crsSlotBase;                                       // guards pSlotBase and sSlotBaseError
TPipelineText** pSlotBase GUARDED_BY(crsSlotBase) = nullptr;  // the shared mapping; null until the first FifoOpen
std::string sSlotBaseError GUARDED_BY(crsSlotBase);         // why the last reservation failed

TPipelineText** SlotBase() {
  TMutexLock lock(crsSlotBase);
  if (!pSlotBase) {
    std::string sError;
    pSlotBase = static_cast<TPipelineText**>(ReserveZeroedMemory(TOTAL_SLOTS * sizeof(TPipelineText*), &sError));
    if (!pSlotBase) sSlotBaseError = "ring slots could not be reserved: " + sError;
  }
  return pSlotBase;
}

// Position of pRing among n rings starting at pFirst, or -1.
int64_t IndexIn(const TSpecificMsgReadFifo* pRing, const TSpecificMsgReadFifo* pFirst, int64_t n) {
  const std::less_equal<const TSpecificMsgReadFifo*> le;
  return le(pFirst, pRing) && !le(pFirst + n, pRing) ? pRing - pFirst : -1;
}

// Place of a specific ring among all specific rings, in field order; -1 for a ring outside MyFifoReceived.
int64_t SpecificOrdinal(const TSpecificMsgReadFifo& ring) {
  const TFifoReceived& f = MyFifoReceived;
  const struct { const TSpecificMsgReadFifo* pFirst; int64_t nCount; } vTables[] = {
      {&f.MyGlobalQueueMsgRead, 1},       {f.MySpecificQueueMsgRead, QUEUE_COUNT},
      {&f.MyGlobalPeerMsgRead, 1},        {f.MySpecificPeerMsgRead, PEER_COUNT},
      {&f.MyGlobalFeatureParkMsgRead, 1}, {f.MySpecificFeatureParkMsgRead, PARK_COUNT}};
  int64_t nBefore = 0;
  for (const auto& t : vTables) {
    const int64_t n = IndexIn(&ring, t.pFirst, t.nCount);
    if (n >= 0) return nBefore + n;
    nBefore += t.nCount;
  }
  return -1;
}

std::mutex& RingLock(TGenericMsgReadFifo& ring) { return ring.crsMsgReadGeneric; }
std::mutex& RingLock(TSpecificMsgReadFifo& ring) { return ring.crsMsgReadSpecific; }
constexpr int32_t RingSlots(const TGenericMsgReadFifo&) { return GENERIC_MSG_READ_SLOTS; }
constexpr int32_t RingSlots(const TSpecificMsgReadFifo&) { return SPECIFIC_MSG_READ_SLOTS; }

template <class TRing>
bool OpenAt(TRing& ring, int64_t nFirstSlot) {
  if (ring.bOpen.load(std::memory_order_acquire)) return true;  // a ring opens once and stays open
  if (nFirstSlot < 0) return false;
  TPipelineText** pBase = SlotBase();
  if (!pBase) return false;
  ring.vFifo = pBase + nFirstSlot;
  ring.nWP.store(0, std::memory_order_relaxed);
  ring.nRP.store(0, std::memory_order_relaxed);
  ring.bOpen.store(true, std::memory_order_release);
  return true;
}

// A refusal is counted for the metrics: a raw read is not an event yet, so it has its own counter.
void CountRefused(TGenericMsgReadFifo&, TDropReason_OPT tReason) {
  if (tReason == DROP_REASON_RING_FULL) CountUp(MyCounters.nExchangeReadsDropped);
}
void CountRefused(TSpecificMsgReadFifo&, TDropReason_OPT tReason) { CountUp(MyCounters.vEventsDropped[tReason]); }

template <class TRing>
void Push(TRing& ring, TText sText, const char* sSource, const char* sFullText) {
  if (!sText || !MyAppInfo.bIsRunning) return;
  if (!ring.bOpen.load(std::memory_order_acquire)) {
    CountRefused(ring, DROP_REASON_RING_CLOSED);
    return;
  }
  try {
    std::lock_guard<std::mutex> lock(RingLock(ring));
    const int32_t nWP = ring.nWP.load(std::memory_order_relaxed);
    const int32_t nNext = nWP + 1 >= RingSlots(ring) ? 0 : nWP + 1;
    if (nNext == ring.nRP.load(std::memory_order_relaxed)) {
      CountRefused(ring, DROP_REASON_RING_FULL);
      // The text is dropped (freed when this call returns, outside the lock); the ring keeps its contents.
      PipelineLog(sSource, LOG_ERROR, sFullText + IntToStr(nNext), true);
      return;
    }
    ring.vFifo[nWP] = sText.release();
    ring.nWP.store(nNext, std::memory_order_relaxed);
  } catch (const std::exception& e) {
    PipelineLogError(sSource, e.what());
  }
}

template <class TRing>
TText Pop(TRing& ring) {
  if (!ring.bOpen.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard<std::mutex> lock(RingLock(ring));
  const int32_t nRP = ring.nRP.load(std::memory_order_relaxed);
  if (nRP == ring.nWP.load(std::memory_order_relaxed)) return nullptr;
  // The slot is emptied at once: the ring never keeps a reference to a text that has left it.
  TText sText(std::exchange(ring.vFifo[nRP], nullptr));
  ring.nRP.store(nRP + 1 >= RingSlots(ring) ? 0 : nRP + 1, std::memory_order_relaxed);
  return sText;
}

}  // namespace

void FifoPush(TGenericMsgReadFifo& ring, TText sText, const char* sSource, const char* sFullText) {
  Push(ring, std::move(sText), sSource, sFullText);
}
void FifoPush(TSpecificMsgReadFifo& ring, TText sText, const char* sSource, const char* sFullText) {
  Push(ring, std::move(sText), sSource, sFullText);
}
TText FifoPop(TGenericMsgReadFifo& ring) { return Pop(ring); }
TText FifoPop(TSpecificMsgReadFifo& ring) { return Pop(ring); }

bool FifoOpen(TGenericMsgReadFifo& ring) {
  return OpenAt(ring, &ring == &MyFifoReceived.MyGenericMsgRead ? 0 : -1);
}
bool FifoOpen(TSpecificMsgReadFifo& ring) {
  const int64_t nOrdinal = SpecificOrdinal(ring);
  return OpenAt(ring, nOrdinal < 0 ? -1 : GENERIC_MSG_READ_SLOTS + nOrdinal * SPECIFIC_MSG_READ_SLOTS);
}

std::string FifoOpenError() {
  TMutexLock lock(crsSlotBase);
  return sSlotBaseError.empty() ? std::string("the ring does not belong to MyFifoReceived") : sSlotBaseError;
}
