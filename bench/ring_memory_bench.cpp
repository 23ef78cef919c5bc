// Ring memory: resident memory after every extension ring's positions have passed over all of its
// 10,001 slots and the ring has drained again. Before the rings gave their emptied pages back,
// each such ring kept its 80 KB of slot pages for good (800 MB for 10,000 extensions); now an
// empty ring keeps at most the one page its positions stand on.
//
// Two ways of cycling, each over all 10,000 extension rings of the product (full capacity):
//   - InBatches: up to 1,000 texts pushed, then all popped, until 10,001 have passed (a busy key);
//   - OneByOne: each text pushed and popped at once (a quiet key that empties after every event),
//     for 10,001 + 256 texts, so the positions end in the middle of a page: such a ring keeps the
//     page it stands on (it would otherwise give it back and fault it in again for every event).
// Counters: resident memory before and after, in MiB, and the growth. One iteration each: the
// figure is the memory, the time is only how long the cycling took.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "pipeline/untFifo.h"
#include "platform/untMemory.h"

namespace {

TThinnedLine tBenchFullLine;  // full-ring refusals of the runs (none expected)


constexpr int32_t BATCH_TEXTS = 1000;

double ResidentMiB() { return static_cast<double>(ProcessResidentBytes()) / (1024.0 * 1024.0); }

bool OpenExtensionRings() {
  MyAppInfo.bIsRunning = true;
  for (int32_t n = 0; n < PEER_COUNT - 1; ++n)
    if (!FifoOpen(MyFifoReceived.MySpecificPeerMsgRead[n])) return false;
  return true;
}

// Pushes every text of vTexts into ring, then pops them all back into vTexts.
void PushAndDrain(TSpecificMsgReadFifo& ring, std::vector<TText>& vTexts, size_t nCount) {
  for (size_t n = 0; n < nCount; ++n) FifoPush(ring, std::move(vTexts[n]), "bench", "full - ", tBenchFullLine);
  for (size_t n = 0; n < nCount; ++n) vTexts[n] = FifoPop(ring);
}

void CycleInBatches(TSpecificMsgReadFifo& ring, std::vector<TText>& vTexts) {
  for (int32_t nPassed = 0; nPassed < SPECIFIC_MSG_READ_SLOTS;) {
    const int32_t nCount = std::min(BATCH_TEXTS, SPECIFIC_MSG_READ_SLOTS - nPassed);
    PushAndDrain(ring, vTexts, static_cast<size_t>(nCount));
    nPassed += nCount;
  }
}

void CycleOneByOne(TSpecificMsgReadFifo& ring, std::vector<TText>& vTexts) {
  for (int32_t nPassed = 0; nPassed < SPECIFIC_MSG_READ_SLOTS + 256; ++nPassed) PushAndDrain(ring, vTexts, 1);
}

template <void (*fnCycle)(TSpecificMsgReadFifo&, std::vector<TText>&)>
void BM_ExtensionRingsCycledAndDrained(benchmark::State& state) {
  if (!OpenExtensionRings()) return state.SkipWithError("rings could not be opened");
  // An event-sized text, the same objects going round and round: the heap stays as it is.
  std::vector<TText> vTexts;
  for (int32_t n = 0; n < BATCH_TEXTS; ++n) vTexts.push_back(MakeText(std::string(300, 'e')));
  const double dStart = ResidentMiB();
  for (auto _ : state)
    for (int32_t n = 0; n < PEER_COUNT - 1; ++n) fnCycle(MyFifoReceived.MySpecificPeerMsgRead[n], vTexts);
  const double dEnd = ResidentMiB();
  for (int32_t n = 0; n < PEER_COUNT - 1; ++n)
    if (MyFifoReceived.MySpecificPeerMsgRead[n].nWP != MyFifoReceived.MySpecificPeerMsgRead[n].nRP)
      return state.SkipWithError("a ring did not drain");
  state.counters["rss_start_MiB"] = dStart;
  state.counters["rss_end_MiB"] = dEnd;
  state.counters["growth_MiB"] = dEnd - dStart;
  state.counters["rings"] = PEER_COUNT - 1;
}
BENCHMARK(BM_ExtensionRingsCycledAndDrained<CycleInBatches>)
    ->Name("BM_ExtensionRingsCycledAndDrained/InBatches")->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_ExtensionRingsCycledAndDrained<CycleOneByOne>)
    ->Name("BM_ExtensionRingsCycledAndDrained/OneByOne")->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
