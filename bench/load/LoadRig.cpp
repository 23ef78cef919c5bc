// One measured run of simulator, relay and clients; see LoadRig.h.
#include "LoadRig.h"

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

namespace telvaneload {

namespace fs = std::filesystem;

namespace {

constexpr int64_t kStartTimeoutMs = 30000;      // a process to come up, the relay to log in
constexpr int64_t kHandshakeTimeoutMs = 180000;  // every client through the handshake
constexpr double kStallSeconds = 5;              // no new frame for this long: delivery is over
// Every client of a run comes from 127.0.0.1 and they all connect at once: the per-address limit,
// meant for strangers, would only make them queue up.
constexpr const char* kOneAddressForAll = "MAXPERADDRESS=0\r\n";
constexpr int kRelayTimeoutSeconds = 30;         // the exchange's keep-alive silence: not reached here
constexpr std::chrono::seconds kStopGrace(5);    // a program to end after SIGTERM, before SIGKILL
constexpr std::chrono::seconds kClientsGrace(10);  // the clients to write their RESULT line and end
const char* const kRelayLoggedIn = "recebendo eventos do servidor AMI";
const char* const kRelayListening = "Cliente em modo Listen!";

}  // namespace

TLoadRig::TLoadRig(TRigConfig tNewConfig)
    : tConfig(std::move(tNewConfig)),
      tRelay(tConfig.sBinDir + "/telvane", "telvane-load-"),
      tExchange(tConfig.sBinDir + "/telvane-exchange") {
  if (tConfig.bKeepDir) tRelay.Keep();
}

TLoadRig::~TLoadRig() {
  tNatsClients.Stop(SIGTERM, kStopGrace);
  tClients.Stop(SIGTERM, kStopGrace);
  tRelay.Process().Stop(SIGTERM, kStopGrace);
  tExchange.Process().WriteStdin("quit\n");
  tExchange.Process().Stop(SIGTERM, kStopGrace);
}

bool TLoadRig::Setup(std::string& sError) {
  if (tRelay.Dir().empty()) {
    sError = "cannot create a run folder under /tmp";
    return false;
  }
  const bool bNats = tConfig.nNatsSubscribers > 0;
  if (bNats && !tNats.Start(0, false)) {
    sError = "nats-server did not start";
    return false;
  }
  return StartExchange(sError) && StartRelay(sError) && StartClients(sError) && (!bNats || StartNatsClients(sError));
}

// The replay file holds a bounded number of events; --repeat makes up the requested count
// (rounded up to whole passes over the file).
bool TLoadRig::StartExchange(std::string& sError) {
  std::vector<std::string> vArgs = {"--silent", "--stamp"};
  if (tConfig.nEvents != 0) {
    const TReplayPlan tPlan = PlanReplay(tConfig.nEvents);
    const int64_t nPasses = tPlan.nPasses;
    nFileEvents = tPlan.nFileEvents;
    nEvents = tConfig.nEvents < 0 ? -1 : nFileEvents * nPasses;
    const std::string sFile = tRelay.Dir() + "/events.txt";
    if (!testsupport::WriteFile(sFile, ReplayText(tConfig.tFamily, tConfig.nFirstKey, tConfig.nKeys, nFileEvents))) {
      sError = "cannot write " + sFile;
      return false;
    }
    std::ostringstream sRate;
    sRate << tConfig.dRate;
    vArgs.insert(vArgs.end(), {"--replay", sFile, "--repeat", std::to_string(nEvents < 0 ? 0 : nPasses),
                               "--rate", sRate.str()});
  }
  if (!tExchange.Start(vArgs, {.sWorkDir = tRelay.Dir(), .vExtraEnv = {}, .sOutputPrefix = tRelay.Dir() + "/exchange"},
                       std::chrono::milliseconds(kStartTimeoutMs))) {
    sError = "the exchange simulator did not start: " + tExchange.Process().Stderr();
    return false;
  }
  nExchangePort = tExchange.Port();
  return true;
}

bool TLoadRig::StartRelay(std::string& sError) {
  nProxyPort = testsupport::FreePort();
  // With NATS subscribers, the relay publishes to the run's nats-server.
  const std::string sNats = tConfig.nNatsSubscribers > 0 ? "[NATS]\r\nURL=" + tNats.Url() + "\r\n" : "";
  const std::string sPacing = tConfig.sPacing.empty() ? "" : "[GENERAL]\r\nPACING=" + tConfig.sPacing + "\r\n";
  if (nProxyPort == 0 || !tRelay.WriteConfig(testsupport::RelayConfig(nExchangePort, nProxyPort,
                                                                      kOneAddressForAll + sNats + sPacing,
                                                                      kRelayTimeoutSeconds))) {
    sError = "cannot prepare the relay's folder " + tRelay.Dir();
    return false;
  }
  if (!tRelay.Start({}, {}, tRelay.Dir() + "/relay")) {
    sError = "cannot copy or start " + tConfig.sBinDir + "/telvane in " + tRelay.Dir();
    return false;
  }
  const bool bUp = WaitFor([&] {
    const std::string sLog = RelayLog();
    return !tRelay.Process().Running() || (sLog.find(kRelayLoggedIn) != std::string::npos &&
                                           sLog.find(kRelayListening) != std::string::npos);
  }, kStartTimeoutMs);
  if (!bUp || !tRelay.Process().Running()) {
    sError = "the relay did not log in to the simulator and open its client port; see " + tRelay.Dir();
    tRelay.Keep();
    return false;
  }
  return true;
}

bool TLoadRig::StartClients(std::string& sError) {
  std::vector<std::string> vArgs = {
      tConfig.sBinDir + "/telvane-client", "--port", std::to_string(nProxyPort), "--load",
      std::to_string(tConfig.nClients), "--app-id", "Bench", "--queues", "10001-11000", "--peers",
      "20001-30000", "--parks", "701-800", "--quiet", "--progress", "--retries", "5",
      "--handshake-timeout", "10"};
  if (nEvents > 0) {
    const double dNominal = tConfig.dRate > 0 ? static_cast<double>(nEvents) / tConfig.dRate : 0;
    vArgs.insert(vArgs.end(), {"--expect-seq", "1-" + std::to_string(nEvents), "--count",
                               std::to_string(nEvents), "--duration",
                               std::to_string(static_cast<int64_t>(dNominal * 3 + 600))});
  }
  if (!tClients.Start(vArgs, {.sWorkDir = tRelay.Dir(), .vExtraEnv = {}, .sOutputPrefix = tRelay.Dir() + "/clients"})) {
    sError = "cannot start the client tool";
    return false;
  }
  if (!WaitFor([&] { return tClients.Stdout().find("READY\n") != std::string::npos || !tClients.Running(); },
               kHandshakeTimeoutMs, 100) || !tClients.Running()) {
    sError = "the clients did not get through the handshake: " + tClients.Stderr().substr(0, 2000);
    return false;
  }
  // The relay's log cannot tell: its ring drops lines while 100 handshakes are logged at once.
  // The tool names every client that gave up ("client N: reason") on stderr; retries say so.
  std::istringstream in(tClients.Stderr());
  for (std::string sLine; std::getline(in, sLine);) {
    if (sLine.rfind("client ", 0) == 0 && sLine.find("retrying") == std::string::npos) {
      sError = "a client did not get through the handshake: " + sLine;
      return false;
    }
  }
  return true;
}

// Events of one replay pass go round the keys, so the first nNatsKeys keys get a known share.
int64_t TLoadRig::NatsFramesPerSubscriber() const {
  if (nEvents <= 0 || nFileEvents <= 0) return 0;
  int64_t nPerPass = 0;
  for (int64_t j = 0; j < std::min<int64_t>(tConfig.nNatsKeys, tConfig.nKeys); ++j)
    nPerPass += j < nFileEvents ? (nFileEvents - 1 - j) / tConfig.nKeys + 1 : 0;
  return nPerPass * (nEvents / nFileEvents);
}

bool TLoadRig::StartNatsClients(std::string& sError) {
  const bool bQueues = tConfig.tFamily == KEY_FAMILY_QUEUE;
  const std::string sKeys = std::to_string(tConfig.nFirstKey) + "-" +
                            std::to_string(tConfig.nFirstKey + std::min(tConfig.nNatsKeys, tConfig.nKeys) - 1);
  std::vector<std::string> vArgs = {tConfig.sBinDir + "/telvane-client", "--nats", tNats.Url(), "--load",
                                    std::to_string(tConfig.nNatsSubscribers), bQueues ? "--queues" : "--peers", sKeys,
                                    "--quiet", "--progress"};
  if (nEvents > 0) {
    const double dNominal = tConfig.dRate > 0 ? static_cast<double>(nEvents) / tConfig.dRate : 0;
    vArgs.insert(vArgs.end(), {"--count", std::to_string(NatsFramesPerSubscriber()), "--duration",
                               std::to_string(static_cast<int64_t>(dNominal * 3 + 600))});
  }
  if (!tNatsClients.Start(vArgs, {.sWorkDir = tRelay.Dir(), .vExtraEnv = {}, .sOutputPrefix = tRelay.Dir() + "/nats-clients"}) ||
      !WaitFor([&] { return tNatsClients.Stdout().find("READY\n") != std::string::npos || !tNatsClients.Running(); },
               kHandshakeTimeoutMs, 100) ||
      !tNatsClients.Running()) {
    sError = "the NATS subscribers did not start: " + tNatsClients.Stderr().substr(0, 2000);
    return false;
  }
  return true;
}

// Their own figures; loss from frame counts (each subscriber sees only its keys' stamps).
void TLoadRig::FinishNats(TRigResult& tResult) {
  WaitFor([&] { return !tNatsClients.Running(); }, static_cast<int64_t>(tConfig.dGraceSeconds * 1000));
  tNatsClients.Stop(SIGTERM, kClientsGrace);
  std::string sResult;
  if (!tNatsClients.FindStdoutLine("RESULT", sResult)) {
    tResult.sError = "the NATS subscribers wrote no RESULT line: " + tNatsClients.Stderr().substr(0, 2000);
    tResult.bOk = false;
    return;
  }
  tResult.nNatsFrames = static_cast<uint64_t>(ResultField(sResult, "frames"));
  const uint64_t nDistinct = tResult.nNatsFrames - static_cast<uint64_t>(ResultField(sResult, "dup"));
  const uint64_t nExpected = static_cast<uint64_t>(NatsFramesPerSubscriber()) * tConfig.nNatsSubscribers;
  tResult.nNatsLost = nExpected > nDistinct ? nExpected - nDistinct : 0;
  tResult.dNatsP50Ms = ResultField(sResult, "p50_ms");
  tResult.dNatsP99Ms = ResultField(sResult, "p99_ms");
  tResult.dNatsMaxMs = ResultField(sResult, "max_ms");
}

std::string TLoadRig::RelayLog() const {
  std::string sText;
  std::error_code ec;
  for (const auto& tEntry : fs::directory_iterator(tRelay.Dir() + "/Log", ec))
    if (tEntry.path().filename().string().rfind("GENERAL_", 0) == 0) sText += ReadFile(tEntry.path());
  return sText;
}

TRigResult TLoadRig::RunEvents() {
  TRigResult tResult;
  const double dNominal = tConfig.dRate > 0 ? static_cast<double>(nEvents) / tConfig.dRate : 0;
  const double dCpuStart = CpuSeconds(RelayPid());
  const auto tStart = TClock::now();
  tExchange.Process().WriteStdin("silent off\n");
  uint64_t nSeen = 0;
  auto tLastFrame = tStart;
  double dCpuAtLastFrame = dCpuStart;
  while (tClients.Running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double dCpuNow = CpuSeconds(RelayPid());
    if (!tClients.Running()) {  // every client has every event
      tLastFrame = TClock::now();
      dCpuAtLastFrame = dCpuNow;
      break;
    }
    const uint64_t nFrames = LastProgressFrames(tClients.Stderr());
    if (nFrames > nSeen) {
      nSeen = nFrames;
      tLastFrame = TClock::now();
      dCpuAtLastFrame = dCpuNow;
    }
    const double dElapsed = SecondsSince(tStart);
    const bool bStalled = dElapsed > dNominal + kStallSeconds && SecondsSince(tLastFrame) > kStallSeconds;
    tResult.bCut = dElapsed > dNominal + tConfig.dGraceSeconds;
    if (bStalled || tResult.bCut || !tRelay.Process().Running() || StopRequested()) tClients.Stop(SIGTERM, kClientsGrace);
  }
  tResult.dSeconds = std::chrono::duration<double>(tLastFrame - tStart).count();
  tResult.dCpuSeconds = dCpuAtLastFrame - dCpuStart;
  Finish(tResult);
  if (tConfig.nNatsSubscribers > 0 && tResult.bOk) FinishNats(tResult);
  return tResult;
}

TRigResult TLoadRig::RunIdle(double dSeconds) {
  TRigResult tResult;
  const double dCpuStart = CpuSeconds(RelayPid());
  const auto tStart = TClock::now();
  WaitFor([&] { return !tRelay.Process().Running() || StopRequested(); }, static_cast<int64_t>(dSeconds * 1000), 200);
  tResult.dCpuSeconds = CpuSeconds(RelayPid()) - dCpuStart;
  tResult.dSeconds = SecondsSince(tStart);
  tClients.Stop(SIGTERM, kClientsGrace);
  Finish(tResult);
  return tResult;
}

TRigResult TLoadRig::RunEndless(int64_t nEveryMs, const std::function<bool(double, int64_t)>& fnSample) {
  TRigResult tResult;
  const double dCpuStart = CpuSeconds(RelayPid());
  const auto tStart = TClock::now();
  tExchange.Process().WriteStdin("silent off\n");
  bool bGoOn = true;
  while (bGoOn && tRelay.Process().Running() && tClients.Running() && !StopRequested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(nEveryMs));
    bGoOn = fnSample(SecondsSince(tStart), StatusKb(RelayPid(), "VmRSS"));
  }
  tResult.dCpuSeconds = CpuSeconds(RelayPid()) - dCpuStart;
  tResult.dSeconds = SecondsSince(tStart);
  tClients.Stop(SIGTERM, kClientsGrace);
  Finish(tResult);
  return tResult;
}

// Reads what the clients reported and what /proc and the log say about the relay.
void TLoadRig::Finish(TRigResult& tResult) {
  tResult.bRelayAlive = tRelay.Process().Running();
  tResult.nPeakRssKb = StatusKb(RelayPid(), "VmHWM");
  tResult.nFullRingLines = testsupport::CountOf(RelayLog(), "FIFO FULL");
  WaitFor([&] { return !tClients.Running(); }, 10000);
  std::string sResult;
  if (!tClients.FindStdoutLine("RESULT", sResult)) {
    tResult.sError = "the client tool wrote no RESULT line: " + tClients.Stderr().substr(0, 2000);
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
  if (!tResult.bRelayAlive) tRelay.Keep();
}

}  // namespace telvaneload
