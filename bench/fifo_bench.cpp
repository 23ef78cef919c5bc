// Ring throughput: push/pop pairs per second on one ring, producer and consumer on two threads,
// as the splitter and a global stage use it. The producer waits instead of overfilling the ring.
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "pipeline/untFifo.h"

namespace {

TThinnedLine tBenchFullLine;  // full-ring refusals of the runs (none expected)


constexpr int32_t TEXTS_PER_ITERATION = 200000;

void BM_PushPopTwoThreads(benchmark::State& state) {
  MyAppInfo.bIsRunning = true;
  TSpecificMsgReadFifo& ring = MyFifoReceived.MyGlobalQueueMsgRead;
  if (!FifoOpen(ring)) {
    state.SkipWithError("ring could not be opened");
    return;
  }
  std::vector<TText> vTexts;
  for (auto _ : state) {
    state.PauseTiming();
    vTexts.clear();
    for (int32_t n = 0; n < TEXTS_PER_ITERATION; ++n) vTexts.push_back(MakeText("Event: X\r\n"));
    state.ResumeTiming();
    std::thread tConsumer([&ring] {
      for (int32_t nTaken = 0; nTaken < TEXTS_PER_ITERATION;) {
        if (TText s = FifoPop(ring)) ++nTaken;
        else std::this_thread::yield();
      }
    });
    for (TText& s : vTexts) {
      while ((ring.nWP - ring.nRP + SPECIFIC_MSG_READ_SLOTS) % SPECIFIC_MSG_READ_SLOTS >= SPECIFIC_MSG_READ_SLOTS - 2)
        std::this_thread::yield();
      FifoPush(ring, std::move(s), "bench", "full - ", tBenchFullLine);
    }
    tConsumer.join();
  }
  state.SetItemsProcessed(state.iterations() * TEXTS_PER_ITERATION);
  state.counters["pairs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * TEXTS_PER_ITERATION), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PushPopTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
