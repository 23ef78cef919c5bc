// The ring discipline, the slot storage of every event ring and the byte budget of queued texts.
//
// Storage: the slots of all 11,107 rings are one anonymous mapping, reserved by the first FifoOpen
// and never released. Each ring owns a fixed stretch of it, in the field order of TFifoReceived
// (raw ring first, then the specific rings one after another), so a ring's place never depends on
// which families were opened or in which order. Every stretch starts on a page boundary and is
// padded to whole pages, so no page holds the slots of two rings and a ring can give its pages
// back on its own. Opening a ring touches none of its slots: the kernel hands out zeroed pages
// only when a push first writes into one.
//
// Giving pages back (under the ring's lock, so no push can write into a page while it goes):
//   - a pop that moves the read position onto a new page gives back the page it left, unless a
//     waiting text still lies in it (a ring so full that its write position wrapped into it);
//   - a pop that empties the ring gives back the page the positions now stand on, once while they
//     stand on it: a ring that empties after every event does not give its page back and fault it
//     in again each time, only when its positions have moved on to another page.
// So an empty ring holds at most the one page it stands on, and a busy ring the pages its backlog
// spans. Every slot that is not waiting is null, so a page given back reads exactly as it was.
// The resident pages are counted as they come and go (a push into a page not resident, a page given
// back), from the positions and bEmptyPageGivenBack alone, and count in the byte budget: with
// thousands of keys backed up, the slot pages are tens of MB.
//
// Threads: FifoOpen runs at start-up before the ring's consumer exists; FifoPush runs on the ring's
// one producer, FifoPop on its one consumer. Both hold the ring's lock only to move one pointer and
// one position (and, once per page, to give a page back). The full-ring line is the one log call
// made under a ring lock (ring lock, then log lock; never the reverse); the budget line is made
// before the lock is taken.
#include "pipeline/untFifo.h"

#include <exception>
#include <functional>
#include <utility>

#include "base/untMutex.h"
#include "logging/untCounters.h"
#include "logging/untThinnedLine.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "pipeline/untPipelineCommon.h"
#include "pipeline/untRingFamily.h"
#include "platform/untMemory.h"

// Allocated once and never freed: workers may still pop while the process ends.
TFifoReceived& MyFifoReceived = *new TFifoReceived();

namespace {

constexpr int64_t SPECIFIC_RING_COUNT = 3 + QUEUE_COUNT + PEER_COUNT + PARK_COUNT;
static_assert(GENERIC_MSG_READ_SLOTS + SPECIFIC_RING_COUNT * SPECIFIC_MSG_READ_SLOTS == 111'171'107,
              "every ring keeps its full slot count");

TMutex crsSlotBase;                                       // guards pSlotBase and sSlotBaseError
TPipelineText** pSlotBase GUARDED_BY(crsSlotBase) = nullptr;  // the shared mapping; null until the first FifoOpen
std::string sSlotBaseError GUARDED_BY(crsSlotBase);         // why the last reservation failed

std::atomic<int64_t> nQueuedBytes{0};        // QueuedTextBytes of every text in every ring
std::atomic<int64_t> nSlotPageBytes{0};      // resident pages of the slot mapping, in bytes
TThinnedLine tBudgetLine;                    // refusals for the budget since start, and their line

// Slots on one page of the mapping (512 with 4 KiB pages and 8-byte slots).
int32_t SlotsPerPage() {
  static const int32_t n = static_cast<int32_t>(MemoryPageSize() / sizeof(TPipelineText*));
  return n;
}

// A ring's stretch: its slots rounded up to whole pages.
int64_t Stretch(int64_t nSlots) { return (nSlots + SlotsPerPage() - 1) / SlotsPerPage() * SlotsPerPage(); }

TPipelineText** SlotBase() {
  TMutexLock lock(crsSlotBase);
  if (!pSlotBase) {
    std::string sError;
    const int64_t nSlots = Stretch(GENERIC_MSG_READ_SLOTS) + SPECIFIC_RING_COUNT * Stretch(SPECIFIC_MSG_READ_SLOTS);
    pSlotBase = static_cast<TPipelineText**>(ReserveZeroedMemory(nSlots * sizeof(TPipelineText*), &sError));
    if (!pSlotBase) sSlotBaseError = "ring slots could not be reserved: " + sError;
  }
  return pSlotBase;
}

// True when the text fits the budget; otherwise counts it and, thinned, logs it.
bool FitsBudget(const TPipelineText& sText, const char* sSource) {
  const int64_t nBudget = FifoQueuedByteBudget();
  if (FifoQueuedBytes() + QueuedTextBytes(sText) <= nBudget) return true;
  if (const uint64_t nRefused = tBudgetLine.Count()) {
    PipelineLog(sSource, LOG_ERROR,
                "Error: QUEUED TEXTS OVER [GENERAL] MAXQUEUEDMB (" + IntToStr(nBudget >> 20) + " MB) - text dropped" +
                    TThinnedLine::SoFar(nRefused),
                true);
  }
  return false;
}

// Position of pRing among n rings starting at pFirst, or -1.
int64_t IndexIn(const TSpecificMsgReadFifo* pRing, const TSpecificMsgReadFifo* pFirst, int64_t n) {
  const std::less_equal<const TSpecificMsgReadFifo*> le;
  return le(pFirst, pRing) && !le(pFirst + n, pRing) ? pRing - pFirst : -1;
}

// Place of a specific ring among all specific rings, in field order (each family's global ring,
// then its per-key rings); -1 for a ring outside MyFifoReceived.
int64_t SpecificOrdinal(const TSpecificMsgReadFifo& ring) {
  int64_t nBefore = 0;
  for (const TEventFamily& family : AllFamilies()) {
    const std::span<TSpecificMsgReadFifo> vKeyRings = family.KeyRings();
    const struct { const TSpecificMsgReadFifo* pFirst; int64_t nCount; } vTables[] = {
        {&family.GlobalRing(), 1}, {vKeyRings.data(), static_cast<int64_t>(vKeyRings.size())}};
    for (const auto& t : vTables) {
      const int64_t n = IndexIn(&ring, t.pFirst, t.nCount);
      if (n >= 0) return nBefore + n;
      nBefore += t.nCount;
    }
  }
  return -1;
}

std::mutex& RingLock(TGenericMsgReadFifo& ring) { return ring.crsMsgReadGeneric; }
std::mutex& RingLock(TSpecificMsgReadFifo& ring) { return ring.crsMsgReadSpecific; }
constexpr int32_t RingSlots(const TGenericMsgReadFifo&) { return GENERIC_MSG_READ_SLOTS; }
constexpr int32_t RingSlots(const TSpecificMsgReadFifo&) { return SPECIFIC_MSG_READ_SLOTS; }

// True when slot nSlot is waiting (lies in [nRP, nWP), wrapping).
bool IsWaiting(int32_t nSlot, int32_t nRP, int32_t nWP, int32_t nSlots) {
  return FifoBacklog(nSlot, nRP, nSlots) < FifoBacklog(nWP, nRP, nSlots);
}

// Gives back page nPage of the ring's stretch; the caller holds the ring's lock.
template <class TRing>
void ReleasePage(TRing& ring, int32_t nPage) {
  ReleaseZeroedPages(ring.vFifo + int64_t{nPage} * SlotsPerPage(), MemoryPageSize());
}

void CountSlotPages(int32_t nPages) {
  nSlotPageBytes.fetch_add(int64_t{nPages} * static_cast<int64_t>(MemoryPageSize()), std::memory_order_relaxed);
}

// True when a push into slot nWP (ring lock held) is the first write into a page that is not
// resident. A page the read position left was given back, unless a waiting text still lay in it,
// which only a ring whose write position wrapped round into the read position's page can have. So
// the slot opening a page needs a page unless waiting texts on the read position's page share it.
// Any other slot shares its page with the slot before it, which is waiting (the page is resident)
// unless the ring is empty; then the page is resident unless it was given back as the ring emptied.
template <class TRing>
bool PushCommitsPage(const TRing& ring, int32_t nWP, int32_t nRP) {
  const int32_t nPerPage = SlotsPerPage();
  if (nWP % nPerPage == 0) return nWP == nRP || nRP / nPerPage != nWP / nPerPage;
  return nWP == nRP && ring.bEmptyPageGivenBack;
}

// After a pop moved the read position from nOldRP to nRP (ring lock held): see the header. Every
// page given back here is taken off the resident slot pages, except the page a pop that empties the
// ring moved onto: nothing was written into it since it was last given back.
template <class TRing>
void ReleasePassedPages(TRing& ring, int32_t nOldRP, int32_t nRP, int32_t nWP) {
  const int32_t nPerPage = SlotsPerPage();
  const int32_t nOldPage = nOldRP / nPerPage, nPage = nRP / nPerPage;
  if (nPage != nOldPage) {
    // The page left behind holds slots nOldPage * nPerPage up to the read position's old page end;
    // its last slot is the one just popped, so only its first slot can still be waiting.
    if (!IsWaiting(nOldPage * nPerPage, nRP, nWP, RingSlots(ring))) {
      ReleasePage(ring, nOldPage);
      CountSlotPages(-1);
    }
    ring.nReleasedPage = -1;  // a new visit to a page may give it back once more
  }
  if (nRP == nWP && nPage != ring.nReleasedPage) {
    ReleasePage(ring, nPage);
    if (nPage == nOldPage) CountSlotPages(-1);
    ring.nReleasedPage = nPage;
    ring.bEmptyPageGivenBack = true;
  }
}

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
  if (tReason == DROP_REASON_RING_FULL || tReason == DROP_REASON_OVER_BUDGET)
    CountUp(MyCounters.nExchangeReadsDropped);
}
void CountRefused(TSpecificMsgReadFifo&, TDropReason_OPT tReason) { CountUp(MyCounters.vEventsDropped[tReason]); }

// True when the text was refused for a full ring or the budget (not for a closed ring).
template <class TRing>
bool Push(TRing& ring, TText sText, const char* sSource, const char* sFullText, TThinnedLine& tFullLine) {
  if (!sText || !MyAppInfo.bIsRunning) return false;
  if (!ring.bOpen.load(std::memory_order_acquire)) {
    CountRefused(ring, DROP_REASON_RING_CLOSED);
    return false;
  }
  try {
    if (!FitsBudget(*sText, sSource)) {
      CountRefused(ring, DROP_REASON_OVER_BUDGET);
      return true;
    }
    const int64_t nBytes = QueuedTextBytes(*sText);
    std::lock_guard<std::mutex> lock(RingLock(ring));
    const int32_t nWP = ring.nWP.load(std::memory_order_relaxed);
    const int32_t nNext = nWP + 1 >= RingSlots(ring) ? 0 : nWP + 1;
    if (nNext == ring.nRP.load(std::memory_order_relaxed)) {
      CountRefused(ring, DROP_REASON_RING_FULL);
      // The text is dropped (freed when this call returns, outside the lock); the ring keeps its
      // contents. The first line of a flood is the plain full-ring line; later ones add the count.
      if (const uint64_t nRefused = tFullLine.Count())
        PipelineLog(sSource, LOG_ERROR, sFullText + IntToStr(nNext) + (nRefused > 1 ? TThinnedLine::SoFar(nRefused) : ""),
                    true);
      return true;
    }
    if (PushCommitsPage(ring, nWP, ring.nRP.load(std::memory_order_relaxed))) CountSlotPages(1);
    ring.bEmptyPageGivenBack = false;
    ring.vFifo[nWP] = sText.release();
    ring.nWP.store(nNext, std::memory_order_relaxed);
    nQueuedBytes.fetch_add(nBytes, std::memory_order_relaxed);
  } catch (const std::exception& e) {
    PipelineLogError(sSource, e.what());
  }
  return false;
}

template <class TRing>
TText Pop(TRing& ring) {
  if (!ring.bOpen.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard<std::mutex> lock(RingLock(ring));
  const int32_t nRP = ring.nRP.load(std::memory_order_relaxed);
  if (nRP == ring.nWP.load(std::memory_order_relaxed)) return nullptr;
  // The slot is emptied at once: the ring never keeps a reference to a text that has left it.
  TText sText(std::exchange(ring.vFifo[nRP], nullptr));
  const int32_t nNext = nRP + 1 >= RingSlots(ring) ? 0 : nRP + 1;
  ring.nRP.store(nNext, std::memory_order_relaxed);
  ReleasePassedPages(ring, nRP, nNext, ring.nWP.load(std::memory_order_relaxed));
  nQueuedBytes.fetch_sub(QueuedTextBytes(*sText), std::memory_order_relaxed);
  return sText;
}

}  // namespace

void FifoPush(TGenericMsgReadFifo& ring, TText sText, const char* sSource, const char* sFullText,
              TThinnedLine& tFullLine) {
  Push(ring, std::move(sText), sSource, sFullText, tFullLine);
}
bool FifoPush(TSpecificMsgReadFifo& ring, TText sText, const char* sSource, const char* sFullText,
              TThinnedLine& tFullLine) {
  return Push(ring, std::move(sText), sSource, sFullText, tFullLine);
}
TText FifoPop(TGenericMsgReadFifo& ring) { return Pop(ring); }
TText FifoPop(TSpecificMsgReadFifo& ring) { return Pop(ring); }

bool FifoOpen(TGenericMsgReadFifo& ring) {
  return OpenAt(ring, &ring == &MyFifoReceived.MyGenericMsgRead ? 0 : -1);
}
bool FifoOpen(TSpecificMsgReadFifo& ring) {
  const int64_t nOrdinal = SpecificOrdinal(ring);
  if (nOrdinal < 0) return OpenAt(ring, -1);
  return OpenAt(ring, Stretch(GENERIC_MSG_READ_SLOTS) + nOrdinal * Stretch(SPECIFIC_MSG_READ_SLOTS));
}

int64_t FifoQueuedBytes() {
  return nQueuedBytes.load(std::memory_order_relaxed) + nSlotPageBytes.load(std::memory_order_relaxed);
}
int64_t FifoSlotPageBytes() { return nSlotPageBytes.load(std::memory_order_relaxed); }
int64_t FifoQueuedByteBudget() { return int64_t{MyConfigInfo.MyQueueBudget.nMaxQueuedMB} << 20; }
uint64_t FifoBudgetRefusals() { return tBudgetLine.Total(); }

std::string FifoOpenError() {
  TMutexLock lock(crsSlotBase);
  return sSlotBaseError.empty() ? std::string("the ring does not belong to MyFifoReceived") : sSlotBaseError;
}
