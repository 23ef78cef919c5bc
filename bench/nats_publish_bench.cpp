// NATS outlet: what publishing one frame costs the relay, measured apart from everything else on
// the machine. A local nats-server (Debian package) takes the frames; the relay's outlet is
// started as at start-up and fed through DeliverBatchToOutlets, as a per-key stage feeds it. The CPU
// time is the whole process's (getrusage), so it holds the stage thread's share (building the
// message and its headers, copying it into the client's buffer) and the client library's threads'
// (its flusher writing to the socket). Frames are 420 bytes, like the simulator's queue events.
//   BM_NatsPublishPaced: passes of 100 frames, then 100 ms of rest, as the stages deliver at
//     about 1,000 events/s over 1,000 keys;
//   BM_NatsPublishFlat: frames back to back.
// Skipped when nats-server cannot be started.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "base/untVariables.h"
#include "hosting/untNatsOutlet.h"
#include "pipeline/untEventOutlet.h"
#include "support/NatsSupport.h"

namespace {

// The server outlives every benchmark; main stops it after the outlet is closed.
std::unique_ptr<testsupport::TNatsServer> pServer;
bool bReady = false;  // the outlet publishes to the server

double ProcessCpuSeconds() {
  rusage tUsage{};
  getrusage(RUSAGE_SELF, &tUsage);
  return static_cast<double>(tUsage.ru_utime.tv_sec + tUsage.ru_stime.tv_sec) +
         static_cast<double>(tUsage.ru_utime.tv_usec + tUsage.ru_stime.tv_usec) / 1e6;
}

std::string Frame() {
  std::string sFrame = "Event: Join\r\nPrivilege: call,all\r\nFile: app_queue.c\r\nQueue: 10005\r\n";
  while (sFrame.size() < 416) sFrame += "Padding: xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n";
  return sFrame + "\r\n\r\n";
}

// Feeds probe frames through the outlet until a subscriber sees one: the outlet's first connect
// happens on the client library's thread, and frames before it are dropped.
bool WaitUntilPublishing() {
  testsupport::TNatsCollector tProbe;
  if (!tProbe.Start(pServer->Url(), "telvane.>")) return false;
  return testsupport::PollUntil([&] {
    DeliverBatchToOutlets(TEventBatch::One(EVENT_FAMILY_QUEUE, 10005, Frame()));
    return !tProbe.Messages().empty();
  }, testsupport::kDeadline, std::chrono::milliseconds(50));
}

void SetUpOnce() {
  static bool bDone = false;
  if (bDone) return;
  bDone = true;
  pServer = std::make_unique<testsupport::TNatsServer>();
  if (!pServer->Start(0, false)) return;
  MyAppInfo.bIsRunning = true;
  MyConfigInfo.MyNats.sUrl = pServer->Url();
  MyConfigInfo.MyNats.sSubjectPrefix = "telvane";
  MyConfigInfo.MyNats.nMaxAgeHours = 24;
  StartNatsOutlet();
  bReady = WaitUntilPublishing();
}

void BM_NatsPublishPaced(benchmark::State& state) {
  SetUpOnce();
  if (!bReady) return state.SkipWithError("nats-server could not be started or reached");
  const std::string sFrame = Frame();
  const double dCpuStart = ProcessCpuSeconds();
  int64_t nFrames = 0;
  for (auto _ : state) {
    for (int n = 0; n < 100; ++n) DeliverBatchToOutlets(TEventBatch::One(EVENT_FAMILY_QUEUE, 10001 + n, sFrame));
    nFrames += 100;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  state.counters["cpu_us_per_frame"] = (ProcessCpuSeconds() - dCpuStart) * 1e6 / static_cast<double>(nFrames);
}
BENCHMARK(BM_NatsPublishPaced)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_NatsPublishFlat(benchmark::State& state) {
  SetUpOnce();
  if (!bReady) return state.SkipWithError("nats-server could not be started or reached");
  const std::string sFrame = Frame();
  int32_t nKey = 0;
  for (auto _ : state) DeliverBatchToOutlets(TEventBatch::One(EVENT_FAMILY_QUEUE, 10001 + (nKey++ % 1000), sFrame));
}
BENCHMARK(BM_NatsPublishFlat)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CloseNatsOutlet();
  pServer.reset();  // its process object kills a server still running
  return 0;
}
