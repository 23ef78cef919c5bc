// Stage wake-ups: what waking a sleeping stage costs with the stage bell (an epoch counter and a
// condition variable, untStageWake) against an eventfd per stage, the other way considered.
//
// - Ring with nobody asleep: what every push pays while its stage is busy. The bell adds one
//   atomic add and one load; an eventfd, unless guarded by the same waiter count, one write(2).
// - Ping-pong: two threads wake each other in turn, each sleeping in between, so one iteration is
//   two full wake-ups (notice, scheduler, return from the wait): the latency a sleeping stage adds
//   to the first event that reaches it; with and without the spin before the sleep.
#include <benchmark/benchmark.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "base/untVariables.h"
#include "pipeline/untStageWake.h"

namespace {

void BM_BellRingNobodyWaits(benchmark::State& state) {
  TStageBell bell;
  for (auto _ : state) bell.Ring();
}
BENCHMARK(BM_BellRingNobodyWaits);

void BM_EventfdWriteNobodyWaits(benchmark::State& state) {
  const int fd = eventfd(0, EFD_NONBLOCK);
  const uint64_t nOne = 1;
  for (auto _ : state) benchmark::DoNotOptimize(write(fd, &nOne, sizeof nOne));
  close(fd);
}
BENCHMARK(BM_EventfdWriteNobodyWaits);

// state.range(0): 1 when both sides spin before they sleep, as a stage whose last look found work
// does; 0 when they sleep at once.
void BM_BellPingPong(benchmark::State& state) {
  MyAppInfo.bIsRunning = true;
  const bool bSpin = state.range(0) != 0;
  TStageBell bellPing, bellPong;
  std::atomic<bool> bDone{false};
  const uint64_t nFirstSeen = bellPing.Epoch();  // before the first ring, or that ring is missed
  std::thread tOther([&] {
    uint64_t nSeen = nFirstSeen;
    while (!bDone.load()) {
      bellPing.Wait(nSeen, bSpin);
      nSeen = bellPing.Epoch();
      bellPong.Ring();
    }
  });
  for (auto _ : state) {
    const uint64_t nSeen = bellPong.Epoch();
    bellPing.Ring();
    bellPong.Wait(nSeen, bSpin);
  }
  bDone = true;
  bellPing.Ring();
  tOther.join();
}
BENCHMARK(BM_BellPingPong)->Arg(0)->Arg(1)->UseRealTime();

void BM_EventfdPingPong(benchmark::State& state) {
  const int fdPing = eventfd(0, 0), fdPong = eventfd(0, 0);
  std::atomic<bool> bDone{false};
  std::thread tOther([&] {
    uint64_t n = 0;
    while (read(fdPing, &n, sizeof n) == sizeof n && !bDone.load()) {
      const uint64_t nOne = 1;
      if (write(fdPong, &nOne, sizeof nOne) != sizeof nOne) break;
    }
  });
  const uint64_t nOne = 1;
  uint64_t n = 0;
  for (auto _ : state) {
    if (write(fdPing, &nOne, sizeof nOne) != sizeof nOne || read(fdPong, &n, sizeof n) != sizeof n) break;
  }
  bDone = true;
  benchmark::DoNotOptimize(write(fdPing, &nOne, sizeof nOne));
  tOther.join();
  close(fdPing);
  close(fdPong);
}
BENCHMARK(BM_EventfdPingPong)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
