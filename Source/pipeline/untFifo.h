// The event rings: fixed circular arrays of text slots with a write and a read position.
//
// Each ring has one producer and one consumer thread and one lock, taken by push and pop only and
// never two at once. One slot always stays empty, so a ring of N slots holds N - 1 texts. nWP and
// nRP change only under the lock; consumers and status bars may read them without it (atomics,
// possibly one step old). A ring is open when bOpen is set by its family's Initialize; pushes into
// a ring that is not open are ignored. Locks are never destroyed, so a push that passed its running
// test can never use a dead lock at shut-down.
//
// Memory: the 111,171,107 pointer-sized slots of all rings are one anonymous mapping reserved at
// first use, each ring's stretch starting on a page of its own; a page is committed only when a
// push first writes into it, so an idle ring costs no memory. A pop that leaves a page behind, or
// that empties the ring, gives the emptied pages back, so a ring keeps about the pages its backlog
// spans, not every page its positions ever passed. A slot holds the text object itself (moved in
// and out, never copied).
//
// Byte budget: what the rings hold, together, may take at most [GENERAL] MAXQUEUEDMB: the heap of
// the waiting texts (their allocator chunks, not just their characters) and the resident pages of
// the slots. A push that would pass it is refused like a push into a full ring (the text dropped,
// counted, a thinned line naming the budget), so a flood cannot grow the relay without bound. The
// bytes are two process-wide atomic counters, changed at push and pop under the ring's lock only
// for its own text and pages; no lock of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/untVariables.h"
#include "logging/untThinnedLine.h"

// A text travelling down the pipeline; one allocation made by its producer, moved ever after. It
// is a std::string with one field more, so every routine that takes text takes it unchanged.
// nReadStampUs: when the exchange read that completed it arrived (MonotonicMicroseconds; 0 when
// unknown). The raw ring's chunk gets it at the read; each event the splitter cuts takes it from
// the chunk that completed the event, and keeps it through the global and per-key rings.
struct TPipelineText : std::string {
  TPipelineText(std::string sText, int64_t nStampUs) : std::string(std::move(sText)), nReadStampUs(nStampUs) {}
  int64_t nReadStampUs = 0;
};
using TText = std::unique_ptr<TPipelineText>;
inline TText MakeText(std::string sText, int64_t nReadStampUs = 0) {
  return std::make_unique<TPipelineText>(std::move(sText), nReadStampUs);
}

constexpr int32_t GENERIC_MSG_READ_SLOTS = 100001;
constexpr int32_t SPECIFIC_MSG_READ_SLOTS = 10001;

struct TGenericMsgReadFifo {
  std::mutex crsMsgReadGeneric;    // the ring's lock
  TPipelineText** vFifo = nullptr; // GENERIC_MSG_READ_SLOTS slots, page-aligned; guarded by the lock
  std::atomic<int32_t> nWP{0};     // next slot to write; changed under the lock
  std::atomic<int32_t> nRP{0};     // next slot to read; changed under the lock
  std::atomic<bool> bOpen{false};  // set once by Initialize
  int32_t nReleasedPage = -1;      // page given back as the ring emptied, while the positions stay
                                   // on it; guarded by the lock
  bool bEmptyPageGivenBack = false;  // that page is given back and nothing was written into it since;
                                     // guarded by the lock
};

struct TSpecificMsgReadFifo {
  std::mutex crsMsgReadSpecific;
  TPipelineText** vFifo = nullptr; // SPECIFIC_MSG_READ_SLOTS slots, page-aligned
  std::atomic<int32_t> nWP{0};
  std::atomic<int32_t> nRP{0};
  std::atomic<bool> bOpen{false};
  int32_t nReleasedPage = -1;      // as in TGenericMsgReadFifo
  bool bEmptyPageGivenBack = false;  // as in TGenericMsgReadFifo
};

struct TFifoReceived {
  TGenericMsgReadFifo MyGenericMsgRead;                             // raw text from the exchange
  TSpecificMsgReadFifo MyGlobalQueueMsgRead;                        // queue events before keying
  TSpecificMsgReadFifo MySpecificQueueMsgRead[QUEUE_COUNT];         // one per queue index
  TSpecificMsgReadFifo MyGlobalPeerMsgRead;                         // extension events before keying
  TSpecificMsgReadFifo MySpecificPeerMsgRead[PEER_COUNT];           // one per extension index
  TSpecificMsgReadFifo MyGlobalFeatureParkMsgRead;                  // parking events before keying
  TSpecificMsgReadFifo MySpecificFeatureParkMsgRead[PARK_COUNT];    // one per lot index
};

extern TFifoReceived& MyFifoReceived;

// Ring discipline shared by every family. A push into a full ring drops the text and counts it in
// tFullLine, the family's thinned full-ring line (sFullText + next position, target 1, echo, ERROR,
// under sSource): written on the 1st, 10th, 100th, ... refusal of the family and at least once a
// minute while they go on, the first one plain, the later ones followed by ", N so far". A text
// that would take the queued bytes past the budget is dropped too, and counted, with a line under
// sSource thinned the same way. Push ignores closed rings and pushes after bIsRunning turned false.
// The second push returns true when it dropped the text for a full ring or the budget: an event
// that the desks of its key will miss. Pop returns null when the ring is empty or closed.
void FifoPush(TGenericMsgReadFifo& ring, TText sText, const char* sSource, const char* sFullText,
              TThinnedLine& tFullLine);
bool FifoPush(TSpecificMsgReadFifo& ring, TText sText, const char* sSource, const char* sFullText,
              TThinnedLine& tFullLine);
TText FifoPop(TGenericMsgReadFifo& ring);
TText FifoPop(TSpecificMsgReadFifo& ring);
// Texts waiting in a ring, from positions read without the lock (possibly one step old). The
// difference is corrected for wrap-around: taken as plain integers it turns negative every time the
// write position wraps first, and a stage that paces itself by it would then nap after every event
// while its ring fills up and drops events.
inline int32_t FifoBacklog(int32_t nWP, int32_t nRP, int32_t nSlots) {
  const int32_t nDiff = nWP - nRP;
  return nDiff < 0 ? nDiff + nSlots : nDiff;
}
// The heap a block of nBytes takes: the allocator's chunk with its size word, in steps of 16 bytes,
// 32 at least (glibc on 64-bit systems; other allocators are close to it).
constexpr int64_t HeapChunkBytes(size_t nBytes) {
  const int64_t n = (static_cast<int64_t>(nBytes) + 8 + 15) / 16 * 16;
  return n < 32 ? 32 : n;
}
// The bytes a queued text is counted for: the heap its object and its character buffer take (a
// short text lives inside the object).
inline int64_t QueuedTextBytes(const TPipelineText& sText) {
  const bool bOwnBuffer = sText.capacity() > std::string().capacity();  // past the inline buffer
  return HeapChunkBytes(sizeof(TPipelineText)) + (bOwnBuffer ? HeapChunkBytes(sText.capacity() + 1) : 0);
}
// Bytes held for all texts waiting in all rings now: their heap and the resident pages of the ring
// slots; and the budget ([GENERAL] MAXQUEUEDMB in bytes) that this may not pass (a push that opens
// a page may overshoot it by that page).
int64_t FifoQueuedBytes();
// The resident pages of the ring slots alone, in bytes.
int64_t FifoSlotPageBytes();
int64_t FifoQueuedByteBudget();
// Texts refused because of the budget since the process started.
uint64_t FifoBudgetRefusals();
// Opens a ring: binds its slots in the shared mapping, positions to 0, bOpen set. False on failure.
bool FifoOpen(TGenericMsgReadFifo& ring);
bool FifoOpen(TSpecificMsgReadFifo& ring);
