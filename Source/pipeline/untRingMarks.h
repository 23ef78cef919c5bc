// Ring marks: which rings of a per-key table may hold an event, one bit per ring, so that the
// family's stage looks only at those instead of at every ring of the table (10,000 for the
// extensions, however few are in use).
//
// The producer (the family's global stage) marks a ring after every push into it, taken or refused:
// a refused push finds the ring full or closed, and a needless mark costs the stage one look. The
// consumer (the per-key stage) walks the marked rings in ascending order and unmarks a ring only
// when it leaves it empty: it clears the bit, looks at the ring again, and marks it anew when a push
// came meanwhile. Either that second look sees the push, or the push's mark comes after the clear
// (both are read-modify-writes of one word: the producer's releases its push, the consumer's
// acquires it), so a ring that holds an event is never left unmarked.
//
// The producer marks before it rings the stage's bell (untStageWake), so a stage that read the
// bell's epoch after that ring finds the mark.
//
// Threads: Mark from the table's one producer and its one consumer; Clear and Next from the
// consumer. Lock-free; no system call.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "base/untVariables.h"
#include "pipeline/untEventFamily.h"

class TRingMarks {
 public:
  static constexpr int32_t MAX_RINGS = std::max({QUEUE_COUNT, PEER_COUNT, PARK_COUNT});  // largest table

  // Ring nIndex (0 to MAX_RINGS - 1) may hold an event.
  void Mark(int32_t nIndex) {
    vWords[nIndex / 64].fetch_or(uint64_t{1} << (nIndex % 64), std::memory_order_acq_rel);
  }
  void Clear(int32_t nIndex) {
    vWords[nIndex / 64].fetch_and(~(uint64_t{1} << (nIndex % 64)), std::memory_order_acq_rel);
  }
  // The lowest marked ring from nFrom up to nEnd - 1; nEnd when none is.
  int32_t Next(int32_t nFrom, int32_t nEnd) const;

 private:
  std::atomic<uint64_t> vWords[(MAX_RINGS + 63) / 64]{};  // bit n % 64 of word n / 64: ring n; any thread
};

// The marks of a family's per-key table; they live as long as the process.
TRingMarks& SpecificRingMarks(TEventFamily_OPT tFamily);
