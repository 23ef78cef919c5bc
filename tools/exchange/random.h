// Small deterministic random source (splitmix64) for the generator and the random cuts.
//
// The standard distributions differ between library versions; this one gives the same sequence
// for a seed on every build, which is what makes --seed reproducible. Not thread-safe: each user
// owns its instance.
#pragma once

#include <cstdint>

namespace exsim {

class TRandom {
 public:
  explicit TRandom(uint64_t nSeed) : nState(nSeed) {}

  uint64_t Next() {
    uint64_t z = (nState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform in [0, nBound); nBound 0 gives 0. The modulo bias is far below what matters here.
  uint64_t Below(uint64_t nBound) { return nBound == 0 ? 0 : Next() % nBound; }

  // True with the given chance in percent.
  bool Percent(uint32_t nChance) { return Below(100) < nChance; }

 private:
  uint64_t nState;  // generator state; owner's thread
};

}  // namespace exsim
