// Thinning of a log line that a flood repeats: a refusal that can happen thousands of times a
// second (a full ring, the queued-text budget, an oversized event) is counted every time but
// written only on its 1st, 10th, 100th, ... occurrence, and once more whenever a minute has gone by
// since its last line, so a flood costs a handful of lines and the operator still sees it go on.
// Each line carries the count so far.
//
// Any thread; lock-free. When two threads find a line due at the same moment, only one of them
// writes it (the other's occurrence is still counted and shows in the next line's count).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "logging/untUtil.h"

class TThinnedLine {
 public:
  static constexpr int64_t LINE_EVERY_MS = 60'000;  // at least one line a minute while it goes on

  // Counts one occurrence. Returns its number (1 for the first) when its line is due, else 0.
  uint64_t Count() {
    const uint64_t nCount = nOccurrences.fetch_add(1, std::memory_order_relaxed) + 1;
    const int64_t nNow = NowMs();
    int64_t nLast = nLastLineMs.load(std::memory_order_relaxed);
    const bool bDue = IsPowerOfTen(nCount) || (nLast >= 0 && nNow - nLast >= LINE_EVERY_MS);
    return bDue && nLastLineMs.compare_exchange_strong(nLast, nNow) ? nCount : 0;
  }
  // Occurrences counted since the process started.
  uint64_t Total() const { return nOccurrences.load(std::memory_order_relaxed); }

  // The count as the lines append it: ", 10 so far".
  static std::string SoFar(uint64_t nCount) { return ", " + IntToStr(static_cast<int64_t>(nCount)) + " so far"; }

 private:
  static int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  std::atomic<uint64_t> nOccurrences{0};  // occurrences so far; any thread
  std::atomic<int64_t> nLastLineMs{-1};   // steady clock of the last line written; -1: none yet
};
