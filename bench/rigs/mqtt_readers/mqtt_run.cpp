// The benchmark's MQTT readers; see mqtt_run.h.
//
// Threads: the main thread only. libmosquitto is driven without its own loop thread: each turn
// polls every subscriber's socket (reading when data waits, writing when the library has packets
// queued) and the signalfd; once a second it runs the library's housekeeping (keep-alive pings).
// The library's callbacks run inside those calls, on this thread.
//
// libmosquitto reads one packet per read call, so a readable socket is read until the kernel holds
// no more bytes for it (FIONREAD), at most kPacketsPerTurn packets before the next subscriber's
// turn, so that one busy subscriber cannot starve the others.
#include "mqtt_run.h"

#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "client/broker_tally.h"
#include "client/protocol.h"
#include "client/run.h"
#include "client/session.h"
#include "client/stats.h"

namespace cticlient {

namespace {

constexpr int kKeepAliveSeconds = 60;          // the broker's silence bound; pings are sent well before
constexpr int64_t kSubscribeTimeoutMs = 30000;  // every subscriber connected and subscribed
constexpr int kPacketsPerTurn = 256;            // packets read from one socket before the next one's turn
constexpr int kTurnMs = 100;                    // longest poll of one turn

using TClock = std::chrono::steady_clock;

class TMqttRun;

// One subscriber: its connection and its tally. Main thread only.
struct TMqttReader final : public TFrameSink {
  TMqttRun* pRun = nullptr;   // constant
  mosquitto* pMosq = nullptr;  // its connection; destroyed by the run
  TFrameSplitter tSplitter;   // one message is one frame
  TReaderTally tTally;        // its counts
  int64_t nReadMicros = 0;    // receive time of the message being split
  bool bSubscribed = false;   // the broker confirmed the subscriptions
  bool bGone = false;         // the connection was lost

  void OnFrame(const TFrame& tFrame) override;
  void OnGoingDown() override {}  // a port-mode notice; never on MQTT
  void OnFrameDropped(size_t) override;
};

class TMqttRun {
 public:
  TMqttRun(const TClientOptions& tNewOptions, const std::string& sNewAddress);
  ~TMqttRun();

  bool Start(std::string& sError);
  void WaitForEnd();
  void PrintEnd();
  int ExitCode() const { return nExitCode; }

  void OnFrame(TMqttReader& tReader, const TFrame& tFrame);
  void OnFrameDropped() { tTally.CountDropped(); }

 private:
  bool IsLoad() const { return tOptions.nLoad > 0; }
  bool AddReader(std::string& sError);
  bool Turn(int nTimeoutMs);  // false when a stop signal came
  void ReadFrom(TMqttReader& tReader);
  bool EndReached(TClock::time_point tStart);

  static void OnConnect(mosquitto* pMosq, void* pClosure, int nRc);
  static void OnSubscribe(mosquitto*, void* pClosure, int, int, const int*);
  static void OnMessage(mosquitto*, void* pClosure, const mosquitto_message* pMsg);
  static void OnDisconnect(mosquitto*, void* pClosure, int);

  // Constant after construction.
  const TClientOptions tOptions;                // the command line
  const std::string sAddress;                   // the broker's "host:port"
  std::string sHost;                            // broker's address
  int nPort = 1883;                             // broker's port
  std::vector<std::string> vTopics;             // each subscriber's topics
  const TKeyFilter tFilter;                     // what the lists hold
  int nSignalFd = -1;                           // SIGINT and SIGTERM

  // Main thread.
  std::vector<std::unique_ptr<TMqttReader>> vReaders;  // one per subscriber
  TBrokerTally tTally;               // all subscribers' counts
  int32_t nDone = 0;                 // subscribers that reached --count
  TClock::time_point tReady;         // all subscriptions in place
  TClock::time_point tEnd;           // the end was reached
  TClock::time_point tNextMisc;      // next housekeeping of the connections
  int nExitCode = 0;                 // what main returns
};

void TMqttReader::OnFrame(const TFrame& tFrame) { pRun->OnFrame(*this, tFrame); }
void TMqttReader::OnFrameDropped(size_t) { pRun->OnFrameDropped(); }

TMqttRun::TMqttRun(const TClientOptions& tNewOptions, const std::string& sNewAddress)
    : tOptions(tNewOptions), sAddress(sNewAddress), vTopics(MqttTopics(tNewOptions)), tFilter(tNewOptions, '/'), tTally(tOptions) {
  const size_t nColon = sAddress.rfind(':');
  sHost = sAddress.substr(0, nColon);
  if (nColon != std::string::npos) nPort = std::atoi(sAddress.c_str() + nColon + 1);
  mosquitto_lib_init();
}

TMqttRun::~TMqttRun() {
  for (auto& pReader : vReaders) {
    if (pReader->pMosq == nullptr) continue;
    mosquitto_disconnect(pReader->pMosq);
    mosquitto_destroy(pReader->pMosq);
  }
  mosquitto_lib_cleanup();
  if (nSignalFd >= 0) close(nSignalFd);
}

// ---- Start ----

bool TMqttRun::Start(std::string& sError) {
  sigset_t tSignals;
  sigemptyset(&tSignals);
  sigaddset(&tSignals, SIGINT);
  sigaddset(&tSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &tSignals, nullptr);
  nSignalFd = signalfd(-1, &tSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  const int32_t nSubscribers = std::max(1, tOptions.nLoad);
  for (int32_t n = 0; n < nSubscribers; ++n)
    if (!AddReader(sError)) return false;
  const TClock::time_point tDeadline = TClock::now() + std::chrono::milliseconds(kSubscribeTimeoutMs);
  auto fnAllIn = [&] {
    return std::all_of(vReaders.begin(), vReaders.end(), [](const auto& p) { return p->bSubscribed; });
  };
  auto fnAnyGone = [&] { return std::any_of(vReaders.begin(), vReaders.end(), [](const auto& p) { return p->bGone; }); };
  while (!fnAllIn() && !fnAnyGone() && TClock::now() < tDeadline) {
    if (!Turn(kTurnMs)) {
      sError = "stopped before every subscriber was in place";
      return false;
    }
  }
  if (!fnAllIn()) {
    sError = "the MQTT broker at " + sAddress + " did not accept every subscriber in time";
    return false;
  }
  tReady = TClock::now();
  std::fputs("READY\n", stdout);
  std::fflush(stdout);
  return true;
}

// One more subscriber: its connection is made and its CONNECT sent; the subscriptions follow the
// broker's acceptance (OnConnect).
bool TMqttRun::AddReader(std::string& sError) {
  vReaders.push_back(std::make_unique<TMqttReader>());
  TMqttReader& tReader = *vReaders.back();
  tReader.pRun = this;
  tReader.pMosq = mosquitto_new(nullptr, true, &tReader);
  if (tReader.pMosq == nullptr) {
    sError = "cannot create an MQTT client";
    return false;
  }
  mosquitto_int_option(tReader.pMosq, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_callback_set(tReader.pMosq, OnConnect);
  mosquitto_subscribe_callback_set(tReader.pMosq, OnSubscribe);
  mosquitto_message_callback_set(tReader.pMosq, OnMessage);
  mosquitto_disconnect_callback_set(tReader.pMosq, OnDisconnect);
  const int nRc = mosquitto_connect(tReader.pMosq, sHost.c_str(), nPort, kKeepAliveSeconds);
  if (nRc != MOSQ_ERR_SUCCESS) {
    sError = "cannot connect to MQTT at " + sAddress + ": " + mosquitto_strerror(nRc);
    return false;
  }
  return true;
}

void TMqttRun::OnConnect(mosquitto* pMosq, void* pClosure, int nRc) {
  TMqttReader& tReader = *static_cast<TMqttReader*>(pClosure);
  const std::vector<std::string>& vTopics = tReader.pRun->vTopics;
  std::vector<const char*> vNames;
  for (const std::string& sTopic : vTopics) vNames.push_back(sTopic.c_str());
  if (nRc != 0 || vNames.empty() ||
      mosquitto_subscribe_multiple(pMosq, nullptr, static_cast<int>(vNames.size()), const_cast<char* const*>(vNames.data()),
                                   0, 0, nullptr) != MOSQ_ERR_SUCCESS)
    tReader.bGone = true;
}

void TMqttRun::OnSubscribe(mosquitto*, void* pClosure, int, int, const int*) {
  static_cast<TMqttReader*>(pClosure)->bSubscribed = true;
}

void TMqttRun::OnDisconnect(mosquitto*, void* pClosure, int) { static_cast<TMqttReader*>(pClosure)->bGone = true; }

// ---- Turns ----

bool TMqttRun::Turn(int nTimeoutMs) {
  std::vector<pollfd> vPoll;
  std::vector<TMqttReader*> vPolled;
  for (auto& pReader : vReaders) {
    const int nSocket = pReader->bGone ? -1 : mosquitto_socket(pReader->pMosq);
    if (nSocket < 0) continue;
    const short nEvents = static_cast<short>(POLLIN | (mosquitto_want_write(pReader->pMosq) ? POLLOUT : 0));
    vPoll.push_back({nSocket, nEvents, 0});
    vPolled.push_back(pReader.get());
  }
  vPoll.push_back({nSignalFd, POLLIN, 0});
  if (poll(vPoll.data(), vPoll.size(), nTimeoutMs) < 0) return true;  // EINTR: the next turn
  if (vPoll.back().revents & POLLIN) return false;
  for (size_t n = 0; n < vPolled.size(); ++n) {
    if (vPoll[n].revents & POLLOUT) mosquitto_loop_write(vPolled[n]->pMosq, 1);
    if (vPoll[n].revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(*vPolled[n]);
  }
  if (TClock::now() >= tNextMisc) {
    for (auto& pReader : vReaders)
      if (!pReader->bGone) mosquitto_loop_misc(pReader->pMosq);
    tNextMisc = TClock::now() + std::chrono::seconds(1);
  }
  return true;
}

void TMqttRun::ReadFrom(TMqttReader& tReader) {
  for (int n = 0; n < kPacketsPerTurn && !tReader.bGone; ++n) {
    if (mosquitto_loop_read(tReader.pMosq, 1) != MOSQ_ERR_SUCCESS) {
      tReader.bGone = true;
      return;
    }
    int nWaiting = 0;
    const int nSocket = mosquitto_socket(tReader.pMosq);
    if (nSocket < 0 || ioctl(nSocket, FIONREAD, &nWaiting) != 0 || nWaiting <= 0) return;
  }
}

void TMqttRun::OnMessage(mosquitto*, void* pClosure, const mosquitto_message* pMsg) {
  TMqttReader& tReader = *static_cast<TMqttReader*>(pClosure);
  if (pMsg->topic == nullptr || !tReader.pRun->tFilter.Wants(pMsg->topic)) return;
  tReader.nReadMicros = RealtimeMicros();
  const size_t nLength = static_cast<size_t>(std::max(0, pMsg->payloadlen));
  tReader.tSplitter.Feed(std::string_view(static_cast<const char*>(pMsg->payload), nLength), tReader);
  if (tReader.tSplitter.Finish() > 0) tReader.pRun->OnFrameDropped();
}

void TMqttRun::OnFrame(TMqttReader& tReader, const TFrame& tFrame) {
  if (tTally.Count(tReader.tTally, tFrame, tReader.nReadMicros)) ++nDone;
}

// ---- End ----

bool TMqttRun::EndReached(TClock::time_point tStart) {
  if (tOptions.dDuration > 0 && std::chrono::duration<double>(TClock::now() - tStart).count() >= tOptions.dDuration)
    return true;
  if (tOptions.nCount > 0 && nDone == static_cast<int32_t>(vReaders.size())) return true;
  if (tTally.StdoutGone()) return true;
  if (std::all_of(vReaders.begin(), vReaders.end(), [](const auto& p) { return p->bGone; })) {
    std::fputs("telvane-mqtt-readers: MQTT connection closed\n", stderr);
    if (!IsLoad()) nExitCode = 1;
    return true;
  }
  return false;
}

void TMqttRun::WaitForEnd() {
  const TClock::time_point tStart = TClock::now();
  TClock::time_point tNextTick = tStart + std::chrono::seconds(1);
  while (Turn(kTurnMs) && !EndReached(tStart)) {
    if (tOptions.bProgress && TClock::now() >= tNextTick) {
      tTally.PrintProgress(std::chrono::duration<double>(TClock::now() - tStart).count(), vReaders.size());
      tNextTick += std::chrono::seconds(1);
    }
  }
  tEnd = TClock::now();
}

void TMqttRun::PrintEnd() {
  std::vector<const TReaderTally*> vTallies;
  for (const auto& pReader : vReaders) vTallies.push_back(&pReader->tTally);
  tTally.PrintEnd(tTally.Totals(vTallies, std::chrono::duration<double>(tEnd - tReady).count()));
}

}  // namespace

std::vector<std::string> MqttTopics(const TClientOptions& tOptions) { return BrokerNames(tOptions, '/', "+"); }

int RunMqtt(const TClientOptions& tOptions, const std::string& sAddress) {
  TMqttRun tRun(tOptions, sAddress);
  std::string sError;
  if (!tRun.Start(sError)) {
    std::fprintf(stderr, "telvane-mqtt-readers: %s\n", sError.c_str());
    return 1;
  }
  tRun.WaitForEnd();
  tRun.PrintEnd();
  return tRun.ExitCode();
}

}  // namespace cticlient
