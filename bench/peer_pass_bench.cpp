// Per-extension pass: CPU time of one pass over the 10,000 extension rings when all are empty (the
// marks of 10,000 rings read, no ring looked at), and when some hold an event; and the resident
// memory after all seven ring families are initialised.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <vector>

#include "pipeline/untGeneralMsgRead.h"
#include "pipeline/untSpecificMsgRead.h"
#include "pipeline/untSpecificMsgReadThread.h"
#include "platform/untControlLoop.h"

namespace {

void BM_PeerPassEmptyRings(benchmark::State& state) {
  MyAppInfo.bIsRunning = true;
  for (int32_t n = 0; n < PEER_COUNT - 1; ++n)
    if (!FifoOpen(MyFifoReceived.MySpecificPeerMsgRead[n])) return state.SkipWithError("ring could not be opened");
  TExecSpecificPeerMsgReadThread tStage;
  for (auto _ : state) benchmark::DoNotOptimize(tStage.RunPass());
  state.counters["rings"] = PEER_COUNT - 1;
}
BENCHMARK(BM_PeerPassEmptyRings)->Unit(benchmark::kMicrosecond);

// The same pass as the relay makes it: 100 ms after the last one, when other work has pushed the
// ring headers out of the caches (here: 32 MiB written between passes).
void BM_PeerPassEmptyRingsCold(benchmark::State& state) {
  MyAppInfo.bIsRunning = true;
  for (int32_t n = 0; n < PEER_COUNT - 1; ++n)
    if (!FifoOpen(MyFifoReceived.MySpecificPeerMsgRead[n])) return state.SkipWithError("ring could not be opened");
  TExecSpecificPeerMsgReadThread tStage;
  std::vector<char> vEvict(32u << 20);
  for (auto _ : state) {
    state.PauseTiming();
    for (size_t n = 0; n < vEvict.size(); n += 64) vEvict[n] = static_cast<char>(vEvict[n] + 1);
    benchmark::ClobberMemory();
    state.ResumeTiming();
    benchmark::DoNotOptimize(tStage.RunPass());
  }
  state.counters["rings"] = PEER_COUNT - 1;
}
BENCHMARK(BM_PeerPassEmptyRingsCold)->Unit(benchmark::kMicrosecond);

// A pass that finds one event in each of state.range(0) rings spread over the table, as under load
// (the pushes are not timed): it looks at the marked rings only, so it costs the events it takes,
// not the 10,000 rings. No outlet is registered, so the batch goes nowhere.
void BM_PeerPassMarkedRings(benchmark::State& state) {
  MyAppInfo.bIsRunning = true;
  for (int32_t n = 0; n < PEER_COUNT - 1; ++n)
    if (!FifoOpen(MyFifoReceived.MySpecificPeerMsgRead[n])) return state.SkipWithError("ring could not be opened");
  TExecSpecificPeerMsgReadThread tStage;
  const int32_t nBusy = static_cast<int32_t>(state.range(0));
  const int32_t nStride = (PEER_COUNT - 1) / nBusy;
  for (auto _ : state) {
    state.PauseTiming();
    for (int32_t n = 0; n < nBusy; ++n)
      TSpecificPeerMsgRead::SpecificPeerMsgRead(MakeText("Event: Hangup\r\nChannel: SIP/x-1\r\n"),
                                                PEER_FIRST + n * nStride);
    state.ResumeTiming();
    benchmark::DoNotOptimize(tStage.RunPass());
  }
  state.counters["busy_rings"] = nBusy;
  state.SetItemsProcessed(state.iterations() * nBusy);
}
BENCHMARK(BM_PeerPassMarkedRings)->Arg(10)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

double ResidentMiB() {
  std::ifstream tStatm("/proc/self/statm");
  long nSize = 0, nResident = 0;
  tStatm >> nSize >> nResident;
  return static_cast<double>(nResident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Runs last: it starts the seven real consumer threads (display hand-overs skipped: loop closed).
void BM_ResidentAfterInitialize(benchmark::State& state) {
  TControlLoop::Instance().Stop();
  MyAppInfo.bIsRunning = true;
  const double nBefore = ResidentMiB();
  bool bOk = true;
  for (auto _ : state) {
    bOk = TGeneralMsgRead::Initialize() && TGlobalQueueMsgRead::Initialize() && TSpecificQueueMsgRead::Initialize() &&
          TGlobalPeerMsgRead::Initialize() && TSpecificPeerMsgRead::Initialize() &&
          TGlobalFeatureParkMsgRead::Initialize() && TSpecificFeatureParkMsgRead::Initialize();
  }
  if (!bOk) state.SkipWithError("an Initialize failed");
  state.counters["rss_MiB_before"] = nBefore;
  state.counters["rss_MiB_after"] = ResidentMiB();
  MyAppInfo.bIsRunning = false;
  WaitForWorkers(std::chrono::seconds(5));
}
BENCHMARK(BM_ResidentAfterInitialize)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
