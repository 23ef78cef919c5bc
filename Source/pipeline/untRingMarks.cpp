// Ring marks; see untRingMarks.h.
#include "pipeline/untRingMarks.h"

#include <bit>

int32_t TRingMarks::Next(int32_t nFrom, int32_t nEnd) const {
  for (int32_t nWord = nFrom / 64; nFrom < nEnd; ++nWord, nFrom = nWord * 64) {
    const uint64_t nBits = vWords[nWord].load(std::memory_order_acquire) >> (nFrom % 64);
    if (nBits == 0) continue;
    return std::min(nEnd, nFrom + std::countr_zero(nBits));
  }
  return nEnd;
}

TRingMarks& SpecificRingMarks(TEventFamily_OPT tFamily) {
  static TRingMarks vMarks[EVENT_FAMILY_COUNT];
  return vMarks[tFamily];
}
