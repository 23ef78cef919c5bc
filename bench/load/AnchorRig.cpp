// One measured run of a broker anchor; see AnchorRig.h.
#include "AnchorRig.h"

#include <signal.h>

#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

#include "support/TestNet.h"

namespace telvaneload {

namespace {

constexpr int64_t kStartTimeoutMs = 30000;      // the broker or the publisher to come up
constexpr int64_t kSubscribeTimeoutMs = 180000;  // every reader connected and subscribed
constexpr double kStallSeconds = 5;              // no new frame for this long: delivery is over
constexpr std::chrono::seconds kStopGrace(5);    // a program to end after SIGTERM, before SIGKILL
constexpr std::chrono::seconds kReadersGrace(10);  // the readers to write their RESULT line and end

// The Debian package's binary (/usr/sbin), or the first one on PATH.
std::string SystemBinary(const std::string& sName) {
  if (testsupport::FileExists("/usr/sbin/" + sName)) return "/usr/sbin/" + sName;
  std::istringstream tPath(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string sDir; std::getline(tPath, sDir, ':');)
    if (testsupport::FileExists(sDir + "/" + sName)) return sDir + "/" + sName;
  return sName;
}

// Loopback only, anonymous, nothing kept on disk. set_tcp_nodelay: the NATS server and the relay
// send each message without waiting for the previous one's acknowledgement; so does mosquitto.
std::string MosquittoConfig(int nPort) {
  return "listener " + std::to_string(nPort) + " 127.0.0.1\n"
         "allow_anonymous true\n"
         "persistence false\n"
         "set_tcp_nodelay true\n"
         "log_dest stderr\n";  // the default kinds: its "running" line is an information one
}

}  // namespace

const char* AnchorName(TAnchor_OPT tAnchor) { return tAnchor == ANCHOR_NATS ? "nats-server" : "mosquitto"; }

TAnchorRig::TAnchorRig(TAnchor_OPT tNewAnchor, TRigConfig tNewConfig)
    : tAnchor(tNewAnchor), tConfig(std::move(tNewConfig)), dirRun("telvane-anchor-") {
  if (tConfig.bKeepDir) dirRun.Keep();
}

TAnchorRig::~TAnchorRig() {
  tPublisher.Stop(SIGTERM, kStopGrace);
  tReaders.Stop(SIGTERM, kStopGrace);
  tBroker.Stop(SIGTERM, kStopGrace);
}

bool TAnchorRig::Setup(std::string& sError) {
  if (dirRun.Path().empty()) {
    sError = "cannot create a run folder under /tmp";
    return false;
  }
  const TReplayPlan tPlan = PlanReplay(tConfig.nEvents);
  nFileEvents = tPlan.nFileEvents;
  nPasses = tPlan.nPasses;
  nEvents = nFileEvents * nPasses;
  const std::string sFile = dirRun.Path() + "/events.txt";
  if (tConfig.nEvents <= 0) {
    sError = "an anchor run needs a number of events";
    return false;
  }
  if (!testsupport::WriteFile(sFile, ReplayText(tConfig.tFamily, tConfig.nFirstKey, tConfig.nKeys, nFileEvents))) {
    sError = "cannot write " + sFile;
    return false;
  }
  return StartBroker(sError) && StartReaders(sError) && StartPublisher(sError);
}

bool TAnchorRig::StartBroker(std::string& sError) {
  nPort = testsupport::FreePort();
  std::vector<std::string> vArgs;
  std::string sReady;
  if (tAnchor == ANCHOR_NATS) {
    vArgs = {SystemBinary("nats-server"), "-a", "127.0.0.1", "-p", std::to_string(nPort)};
    sReady = "Server is ready";
  } else {
    const std::string sConfig = dirRun.Path() + "/mosquitto.conf";
    if (!testsupport::WriteFile(sConfig, MosquittoConfig(nPort))) {
      sError = "cannot write " + sConfig;
      return false;
    }
    vArgs = {SystemBinary("mosquitto"), "-c", sConfig};
    sReady = " running";
  }
  const std::string sName = AnchorName(tAnchor);
  if (nPort == 0 || !tBroker.Start(vArgs, {.sWorkDir = dirRun.Path(), .vExtraEnv = {}, .sOutputPrefix = dirRun.Path() + "/" + sName}) ||
      !WaitFor([&] { return tBroker.Stderr().find(sReady) != std::string::npos || !tBroker.Running(); }, kStartTimeoutMs) ||
      !tBroker.Running()) {
    sError = sName + " did not start: " + tBroker.Stderr().substr(0, 2000);
    return false;
  }
  return true;
}

bool TAnchorRig::StartReaders(std::string& sError) {
  const bool bQueues = tConfig.tFamily == KEY_FAMILY_QUEUE;
  const std::string sKeys =
      std::to_string(tConfig.nFirstKey) + "-" + std::to_string(tConfig.nFirstKey + tConfig.nKeys - 1);
  const double dNominal = tConfig.dRate > 0 ? static_cast<double>(nEvents) / tConfig.dRate : 0;
  std::vector<std::string> vArgs;
  if (tAnchor == ANCHOR_NATS)
    vArgs = {tConfig.sBinDir + "/telvane-client", "--nats", "nats://127.0.0.1:" + std::to_string(nPort),
             "--nats-per-connection", "1"};
  else
    vArgs = {tConfig.sBinDir + "/telvane-mqtt-readers", "--mqtt", "127.0.0.1:" + std::to_string(nPort)};
  vArgs.insert(vArgs.end(), {"--load", std::to_string(tConfig.nClients), bQueues ? "--queues" : "--peers", sKeys,
                             "--quiet", "--progress", "--expect-seq", "1-" + std::to_string(nEvents), "--count",
                             std::to_string(nEvents), "--duration",
                             std::to_string(static_cast<int64_t>(dNominal * 3 + 600))});
  if (!tReaders.Start(vArgs, {.sWorkDir = dirRun.Path(), .vExtraEnv = {}, .sOutputPrefix = dirRun.Path() + "/readers"}) ||
      !WaitFor([&] { return tReaders.Stdout().find("READY\n") != std::string::npos || !tReaders.Running(); },
               kSubscribeTimeoutMs, 100) ||
      !tReaders.Running()) {
    sError = std::string("the ") + AnchorName(tAnchor) + " readers did not subscribe: " + tReaders.Stderr().substr(0, 2000);
    return false;
  }
  return true;
}

bool TAnchorRig::StartPublisher(std::string& sError) {
  std::ostringstream sRate;
  sRate << tConfig.dRate;
  std::vector<std::string> vArgs = {tConfig.sBinDir + "/telvane-publish", "--replay", dirRun.Path() + "/events.txt",
                                    "--repeat", std::to_string(nPasses), "--rate", sRate.str()};
  if (tAnchor == ANCHOR_NATS)
    vArgs.insert(vArgs.end(), {"--nats", "nats://127.0.0.1:" + std::to_string(nPort)});
  else
    vArgs.insert(vArgs.end(), {"--mqtt", "127.0.0.1:" + std::to_string(nPort)});
  if (!tPublisher.Start(vArgs, {.sWorkDir = dirRun.Path(), .vExtraEnv = {}, .sOutputPrefix = dirRun.Path() + "/publisher"}) ||
      !WaitFor([&] { return tPublisher.Stdout().find("READY\n") != std::string::npos || !tPublisher.Running(); },
               kStartTimeoutMs) ||
      !tPublisher.Running()) {
    sError = "the publisher did not connect: " + tPublisher.Stderr().substr(0, 2000);
    return false;
  }
  return true;
}

// The same window and the same stall and cut rules as the relay's run (LoadRig.cpp).
TRigResult TAnchorRig::RunEvents() {
  TRigResult tResult;
  const double dNominal = tConfig.dRate > 0 ? static_cast<double>(nEvents) / tConfig.dRate : 0;
  const pid_t nBroker = tBroker.Pid();
  const double dCpuStart = CpuSeconds(nBroker);
  const auto tStart = TClock::now();
  tPublisher.WriteStdin("go\n");
  uint64_t nSeen = 0;
  auto tLastFrame = tStart;
  double dCpuAtLastFrame = dCpuStart;
  while (tReaders.Running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double dCpuNow = CpuSeconds(nBroker);
    if (!tReaders.Running()) {  // every reader has every event
      tLastFrame = TClock::now();
      dCpuAtLastFrame = dCpuNow;
      break;
    }
    const uint64_t nFrames = LastProgressFrames(tReaders.Stderr());
    if (nFrames > nSeen) {
      nSeen = nFrames;
      tLastFrame = TClock::now();
      dCpuAtLastFrame = dCpuNow;
    }
    const double dElapsed = SecondsSince(tStart);
    const bool bStalled = dElapsed > dNominal + kStallSeconds && SecondsSince(tLastFrame) > kStallSeconds;
    tResult.bCut = dElapsed > dNominal + tConfig.dGraceSeconds;
    if (bStalled || tResult.bCut || !tBroker.Running() || StopRequested()) tReaders.Stop(SIGTERM, kReadersGrace);
  }
  tResult.dSeconds = std::chrono::duration<double>(tLastFrame - tStart).count();
  tResult.dCpuSeconds = dCpuAtLastFrame - dCpuStart;
  Finish(tResult);
  return tResult;
}

void TAnchorRig::Finish(TRigResult& tResult) {
  tResult.bRelayAlive = tBroker.Running();
  tResult.nPeakRssKb = StatusKb(tBroker.Pid(), "VmHWM");
  WaitFor([&] { return !tReaders.Running(); }, 10000);
  std::string sResult;
  if (!tReaders.FindStdoutLine("RESULT", sResult)) {
    tResult.sError = "the readers wrote no RESULT line: " + tReaders.Stderr().substr(0, 2000);
    dirRun.Keep();
    return;
  }
  tResult.nClientsReady = static_cast<int32_t>(ResultField(sResult, "clients"));
  tResult.nFrames = static_cast<uint64_t>(ResultField(sResult, "frames"));
  tResult.nLost = static_cast<uint64_t>(ResultField(sResult, "lost"));
  tResult.nDuplicates = static_cast<uint64_t>(ResultField(sResult, "dup"));
  tResult.dP50Ms = ResultField(sResult, "p50_ms");
  tResult.dP99Ms = ResultField(sResult, "p99_ms");
  tResult.dMaxMs = ResultField(sResult, "max_ms");
  tResult.bOk = true;
  if (!tResult.bRelayAlive) dirRun.Keep();
}

}  // namespace telvaneload
