// NATS outlet: what publishing one frame costs the relay, measured apart from everything else on
// the machine. A local nats-server (Debian package) takes the frames; the relay's outlet is
// started as at start-up and fed through DeliverToOutlets, as a per-key stage feeds it. The CPU
// time is the whole process's (getrusage), so it holds the stage thread's share (building the
// message and its headers, copying it into the client's buffer) and the client library's threads'
// (its flusher writing to the socket). Frames are 420 bytes, like the simulator's queue events.
//   BM_NatsPublishPaced: passes of 100 frames, then 100 ms of rest, as the stages deliver at
//     about 1,000 events/s over 1,000 keys;
//   BM_NatsPublishFlat: frames back to back.
// Skipped when nats-server cannot be started.
#include <arpa/inet.h>
#include <fcntl.h>
#include <benchmark/benchmark.h>
#include <nats/nats.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "hosting/untNatsOutlet.h"
#include "pipeline/untEventOutlet.h"
#include "startup/untVariables.h"

namespace {

pid_t nServerPid = -1;       // the nats-server child
std::string sServerUrl;      // its URL
bool bReady = false;         // the outlet publishes to it
std::atomic<int> nProbes{0};  // probe frames a subscriber saw

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

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in tAddr{};
  tAddr.sin_family = AF_INET;
  tAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t nLen = sizeof tAddr;
  const bool bOk = bind(fd, reinterpret_cast<sockaddr*>(&tAddr), sizeof tAddr) == 0 &&
                   getsockname(fd, reinterpret_cast<sockaddr*>(&tAddr), &nLen) == 0;
  close(fd);
  return bOk ? ntohs(tAddr.sin_port) : 0;
}

bool StartServer(int nPort) {
  const std::string sBinary = std::filesystem::exists("/usr/sbin/nats-server") ? "/usr/sbin/nats-server" : "nats-server";
  nServerPid = fork();
  if (nServerPid == 0) {
    const int fdNull = open("/dev/null", O_WRONLY);
    dup2(fdNull, 1);
    dup2(fdNull, 2);
    const std::string sPort = std::to_string(nPort);
    execlp(sBinary.c_str(), sBinary.c_str(), "-a", "127.0.0.1", "-p", sPort.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  sServerUrl = "nats://127.0.0.1:" + std::to_string(nPort);
  return nServerPid > 0;
}

// Connects a subscriber and feeds probe frames through the outlet until one arrives.
bool WaitUntilPublishing() {
  natsConnection* pConn = nullptr;
  natsSubscription* pSub = nullptr;
  const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (natsConnection_ConnectTo(&pConn, sServerUrl.c_str()) != NATS_OK) {
    if (std::chrono::steady_clock::now() > tEnd) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  natsConnection_Subscribe(&pSub, pConn, "telvane.>", [](natsConnection*, natsSubscription*, natsMsg* pMsg, void*) {
    ++nProbes;
    natsMsg_Destroy(pMsg);
  }, nullptr);
  natsConnection_Flush(pConn);
  while (nProbes.load() == 0 && std::chrono::steady_clock::now() < tEnd) {
    DeliverToOutlets(EVENT_FAMILY_QUEUE, 10005, Frame());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  natsSubscription_Destroy(pSub);
  natsConnection_Destroy(pConn);
  return nProbes.load() > 0;
}

void SetUpOnce() {
  static bool bDone = false;
  if (bDone) return;
  bDone = true;
  const int nPort = FreePort();
  if (nPort == 0 || !StartServer(nPort)) return;
  MyAppInfo.bIsRunning = true;
  MyConfigInfo.MyNats.sUrl = sServerUrl;
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
    for (int n = 0; n < 100; ++n) DeliverToOutlets(EVENT_FAMILY_QUEUE, 10001 + n, sFrame);
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
  for (auto _ : state) DeliverToOutlets(EVENT_FAMILY_QUEUE, 10001 + (nKey++ % 1000), sFrame);
}
BENCHMARK(BM_NatsPublishFlat)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CloseNatsOutlet();
  if (nServerPid > 0) {
    kill(nServerPid, SIGTERM);
    waitpid(nServerPid, nullptr, 0);
  }
  return 0;
}
