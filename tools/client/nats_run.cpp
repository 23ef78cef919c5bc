// The client tool's NATS mode; see nats_run.h.
//
// Threads: the main thread makes the connections and subscriptions, waits for the end and prints
// the report. The client library reads each connection on a thread of its own and hands the
// messages to a small pool of delivery threads (kDeliveryThreads), each subscriber's messages in
// order. Every delivery takes crsRun for the whole of its work, so the subscribers' tallies, the
// shared latency histogram and stdout need nothing else; once bFinished is set under crsRun no
// delivery touches anything. The connection callbacks run on the library's callback thread and
// touch atomics and stderr only.
#include "nats_run.h"

#include <nats/nats.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "broker_tally.h"
#include "protocol.h"
#include "run.h"
#include "session.h"
#include "stats.h"

namespace cticlient {

namespace {

constexpr int kDeliveryThreads = 2;                // the library's delivery pool
constexpr int64_t kConnectTimeoutMs = 5000;        // one server's connect and handshake
constexpr int64_t kFlushTimeoutMs = 10000;         // the server's answer to the subscriptions
constexpr int64_t kCloseWaitMs = 2000;             // the library's threads at the end
constexpr long kWaitTurnNanos = 100L * 1000 * 1000;

using TClock = std::chrono::steady_clock;

class TNatsRun;

// One subscriber: its subscriptions and its tally.
struct TSubscriber final : public TFrameSink {
  TNatsRun* pRun = nullptr;  // constant
  // Guarded by the run's crsRun.
  TFrameSplitter tSplitter;  // one message is one frame
  TReaderTally tTally;       // its counts
  int64_t nReadMicros = 0;   // receive time of the message being split

  void OnFrame(const TFrame& tFrame) override;
  void OnGoingDown() override {}  // the notice is a port-mode thing; never on NATS
  void OnFrameDropped(size_t) override;
};

class TNatsRun {
 public:
  explicit TNatsRun(const TClientOptions& tNewOptions) : tOptions(tNewOptions), tFilter(tNewOptions, '.'), tTally(tOptions) {}
  ~TNatsRun();

  bool Start(std::string& sError);
  void WaitForEnd(const sigset_t& tSignals);
  void PrintEnd();
  int ExitCode() const { return nExitCode; }

  // Delivery threads, holding crsRun.
  void OnFrame(TSubscriber& tSub, const TFrame& tFrame);
  void OnFrameDropped() { tTally.CountDropped(); }

 private:
  bool IsLoad() const { return tOptions.nLoad > 0; }
  natsOptions* CreateOptions();
  bool Connect(std::string& sError);
  bool Subscribe(TSubscriber& tSub, size_t nConnection, std::string& sError);
  bool EndReached(TClock::time_point tStart);

  static void OnMessage(natsConnection*, natsSubscription*, natsMsg* pMsg, void* pClosure);
  static void OnDisconnected(natsConnection* pConn, void* pClosure);
  static void OnReconnected(natsConnection* pConn, void* pClosure);
  static void OnClosed(natsConnection* pConn, void* pClosure);

  // Constant after Start.
  const TClientOptions tOptions;                            // the command line
  const TKeyFilter tFilter;                                 // what the lists hold
  std::vector<natsConnection*> vConnections;                // nNatsPerConnection subscribers each
  std::vector<jsCtx*> vStreams;                             // per connection, with --nats-stream
  std::vector<std::unique_ptr<TSubscriber>> vSubscribers;   // one per subscriber
  std::vector<natsSubscription*> vSubscriptions;            // all of them

  // Any thread.
  std::atomic<int32_t> nClosed{0};         // connections closed for good
  std::atomic<int32_t> nDone{0};           // subscribers that reached --count

  // Guarded by crsRun.
  std::mutex crsRun;
  TBrokerTally tTally;          // all subscribers' counts
  bool bFinished = false;       // the end was reached; deliveries touch nothing more

  // Main thread.
  TClock::time_point tReady;    // all subscriptions in place
  TClock::time_point tEnd;      // the end was reached
  int nExitCode = 0;            // what main returns
};

void TSubscriber::OnFrame(const TFrame& tFrame) { pRun->OnFrame(*this, tFrame); }
void TSubscriber::OnFrameDropped(size_t) { pRun->OnFrameDropped(); }

// The library's word for a status, with its detail for this thread when that adds something.
std::string StatusText(natsStatus s) {
  const std::string sText = natsStatus_GetText(s);
  natsStatus sLast = NATS_OK;
  const char* pDetail = nats_GetLastError(&sLast);
  std::string sDetail = sLast == s && pDetail != nullptr ? pDetail : "";
  const size_t nWhere = sDetail.starts_with("(") ? sDetail.find("): ") : std::string::npos;
  if (nWhere != std::string::npos) sDetail.erase(0, nWhere + 3);
  return sDetail.empty() || sDetail == sText ? sText : sText + ": " + sDetail;
}

// ---- Start ----

natsOptions* TNatsRun::CreateOptions() {
  natsOptions* pOptions = nullptr;
  natsStatus s = natsOptions_Create(&pOptions);
  auto Step = [&s](auto fSet) { if (s == NATS_OK) s = fSet(); };
  Step([&] { return natsOptions_SetURL(pOptions, tOptions.sNatsUrl.c_str()); });
  Step([&] { return natsOptions_SetName(pOptions, "telvane-client"); });
  if (tOptions.sNatsUrl.find("tls://") != std::string::npos) Step([&] { return natsOptions_SetSecure(pOptions, true); });
  if (!tOptions.sNatsCreds.empty())
    Step([&] { return natsOptions_SetUserCredentialsFromFiles(pOptions, tOptions.sNatsCreds.c_str(), nullptr); });
  Step([&] { return natsOptions_SetTimeout(pOptions, kConnectTimeoutMs); });
  Step([&] { return natsOptions_UseGlobalMessageDelivery(pOptions, true); });
  Step([&] { return natsOptions_SetMaxReconnect(pOptions, -1); });
  Step([&] { return natsOptions_SetReconnectWait(pOptions, 1000); });
  Step([&] { return natsOptions_SetDisconnectedCB(pOptions, OnDisconnected, this); });
  Step([&] { return natsOptions_SetReconnectedCB(pOptions, OnReconnected, this); });
  Step([&] { return natsOptions_SetClosedCB(pOptions, OnClosed, this); });
  if (s == NATS_OK) return pOptions;
  natsOptions_Destroy(pOptions);
  return nullptr;
}

bool TNatsRun::Connect(std::string& sError) {
  const int32_t nSubscribers = std::max(1, tOptions.nLoad);
  const int32_t nCount = (nSubscribers + tOptions.nNatsPerConnection - 1) / tOptions.nNatsPerConnection;
  natsOptions* pOptions = CreateOptions();
  if (pOptions == nullptr) {
    sError = "cannot set up a NATS connection to " + tOptions.sNatsUrl;
    return false;
  }
  natsStatus s = NATS_OK;
  for (int32_t n = 0; n < nCount && s == NATS_OK; ++n) {
    natsConnection* pConn = nullptr;
    s = natsConnection_Connect(&pConn, pOptions);
    if (s == NATS_OK) vConnections.push_back(pConn);
    if (s == NATS_OK && !tOptions.sNatsStream.empty()) {
      jsCtx* pJs = nullptr;
      s = natsConnection_JetStream(&pJs, pConn, nullptr);
      vStreams.push_back(pJs);
    }
  }
  natsOptions_Destroy(pOptions);
  if (s != NATS_OK) sError = "cannot connect to NATS at " + tOptions.sNatsUrl + ": " + StatusText(s);
  return s == NATS_OK;
}

// Live subjects, or one ordered consumer of the stream that replays it from its first frame.
bool TNatsRun::Subscribe(TSubscriber& tSub, size_t nConnection, std::string& sError) {
  const std::vector<std::string> vSubjects = NatsSubjects(tOptions);
  natsStatus s = NATS_OK;
  if (!tOptions.sNatsStream.empty()) {
    const std::string sSubject = vSubjects.size() == 1 ? vSubjects.front() : tOptions.sNatsPrefix + ".>";
    jsSubOptions tSubOptions;
    jsSubOptions_Init(&tSubOptions);
    tSubOptions.Stream = tOptions.sNatsStream.c_str();
    tSubOptions.Ordered = true;
    natsSubscription* pSub = nullptr;
    jsErrCode nError = static_cast<jsErrCode>(0);
    s = js_Subscribe(&pSub, vStreams[nConnection], sSubject.c_str(), OnMessage, &tSub, nullptr, &tSubOptions, &nError);
    if (s == NATS_OK) vSubscriptions.push_back(pSub);
  }
  for (size_t n = 0; tOptions.sNatsStream.empty() && n < vSubjects.size() && s == NATS_OK; ++n) {
    natsSubscription* pSub = nullptr;
    s = natsConnection_Subscribe(&pSub, vConnections[nConnection], vSubjects[n].c_str(), OnMessage, &tSub);
    if (s == NATS_OK) vSubscriptions.push_back(pSub);
  }
  if (s != NATS_OK) sError = "cannot subscribe on NATS: " + StatusText(s);
  return s == NATS_OK;
}

bool TNatsRun::Start(std::string& sError) {
  nats_Open(-1);
  nats_SetMessageDeliveryPoolSize(kDeliveryThreads);
  if (!Connect(sError)) return false;
  // Held until READY is out: a stream replays at once, and its frames come after READY.
  std::lock_guard<std::mutex> tLock(crsRun);
  const int32_t nSubscribers = std::max(1, tOptions.nLoad);
  for (int32_t n = 0; n < nSubscribers; ++n) {
    vSubscribers.push_back(std::make_unique<TSubscriber>());
    vSubscribers.back()->pRun = this;
    if (!Subscribe(*vSubscribers.back(), static_cast<size_t>(n / tOptions.nNatsPerConnection), sError)) return false;
  }
  // The subscriptions are in place once every server has answered a ping sent after them.
  for (natsConnection* pConn : vConnections) {
    const natsStatus s = natsConnection_FlushTimeout(pConn, kFlushTimeoutMs);
    if (s != NATS_OK) {
      sError = "NATS did not confirm the subscriptions: " + StatusText(s);
      return false;
    }
  }
  tReady = TClock::now();
  std::fputs("READY\n", stdout);
  std::fflush(stdout);
  return true;
}

// ---- Deliveries ----

void TNatsRun::OnMessage(natsConnection*, natsSubscription*, natsMsg* pMsg, void* pClosure) {
  TSubscriber& tSub = *static_cast<TSubscriber*>(pClosure);
  TNatsRun& tRun = *tSub.pRun;
  const int64_t nNow = RealtimeMicros();
  if (tRun.tFilter.Wants(natsMsg_GetSubject(pMsg))) {
    std::lock_guard<std::mutex> tLock(tRun.crsRun);
    if (!tRun.bFinished) {
      tSub.nReadMicros = nNow;
      const int nLength = natsMsg_GetDataLength(pMsg);
      tSub.tSplitter.Feed(std::string_view(natsMsg_GetData(pMsg), static_cast<size_t>(std::max(0, nLength))), tSub);
      if (tSub.tSplitter.Finish() > 0) tRun.OnFrameDropped();
    }
  }
  natsMsg_Destroy(pMsg);
}

void TNatsRun::OnFrame(TSubscriber& tSub, const TFrame& tFrame) {
  if (tTally.Count(tSub.tTally, tFrame, tSub.nReadMicros)) ++nDone;
}

void TNatsRun::OnDisconnected(natsConnection*, void* pClosure) {
  if (static_cast<TNatsRun*>(pClosure)->tOptions.bVerbose) std::fputs("telvane-client: NATS connection lost; reconnecting\n", stderr);
}

void TNatsRun::OnReconnected(natsConnection*, void* pClosure) {
  if (static_cast<TNatsRun*>(pClosure)->tOptions.bVerbose) std::fputs("telvane-client: NATS connection back\n", stderr);
}

void TNatsRun::OnClosed(natsConnection*, void* pClosure) { ++static_cast<TNatsRun*>(pClosure)->nClosed; }

// ---- End ----

bool TNatsRun::EndReached(TClock::time_point tStart) {
  if (tOptions.dDuration > 0 && std::chrono::duration<double>(TClock::now() - tStart).count() >= tOptions.dDuration)
    return true;
  if (tOptions.nCount > 0 && nDone.load() == static_cast<int32_t>(vSubscribers.size())) return true;
  if (tTally.StdoutGone()) return true;
  if (nClosed.load() == static_cast<int32_t>(vConnections.size())) {
    std::fputs("telvane-client: NATS connection closed\n", stderr);
    if (!IsLoad()) nExitCode = 1;
    return true;
  }
  return false;
}

void TNatsRun::WaitForEnd(const sigset_t& tSignals) {
  const TClock::time_point tStart = TClock::now();
  TClock::time_point tNextTick = tStart + std::chrono::seconds(1);
  while (true) {
    const timespec tTurn{0, kWaitTurnNanos};
    const int nSignal = sigtimedwait(&tSignals, nullptr, &tTurn);
    if (nSignal == SIGINT || nSignal == SIGTERM || EndReached(tStart)) break;
    if (tOptions.bProgress && TClock::now() >= tNextTick) {
      std::lock_guard<std::mutex> tLock(crsRun);
      tTally.PrintProgress(std::chrono::duration<double>(TClock::now() - tStart).count(), vSubscribers.size());
      tNextTick += std::chrono::seconds(1);
    }
  }
  std::lock_guard<std::mutex> tLock(crsRun);
  bFinished = true;
  tEnd = TClock::now();
}

void TNatsRun::PrintEnd() {
  std::lock_guard<std::mutex> tLock(crsRun);
  std::vector<const TReaderTally*> vTallies;
  for (const auto& pSub : vSubscribers) vTallies.push_back(&pSub->tTally);
  tTally.PrintEnd(tTally.Totals(vTallies, std::chrono::duration<double>(tEnd - tReady).count()));
}

// No delivery runs once the library's threads are gone, so the subscribers go last.
TNatsRun::~TNatsRun() {
  {
    std::lock_guard<std::mutex> tLock(crsRun);
    bFinished = true;
  }
  for (natsSubscription* pSub : vSubscriptions) natsSubscription_Destroy(pSub);
  for (jsCtx* pJs : vStreams) jsCtx_Destroy(pJs);
  for (natsConnection* pConn : vConnections) {
    natsConnection_Close(pConn);
    natsConnection_Destroy(pConn);
  }
  nats_CloseAndWait(kCloseWaitMs);
}

}  // namespace

std::vector<std::string> NatsSubjects(const TClientOptions& tOptions) { return BrokerNames(tOptions, '.', "*"); }

int RunNats(const TClientOptions& tOptions) {
  // Blocked before the library starts a thread, so every thread inherits the mask and the main
  // thread alone takes the signals, in WaitForEnd.
  sigset_t tSignals;
  sigemptyset(&tSignals);
  sigaddset(&tSignals, SIGINT);
  sigaddset(&tSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &tSignals, nullptr);
  TNatsRun tRun(tOptions);
  std::string sError;
  if (!tRun.Start(sError)) {
    std::fprintf(stderr, "telvane-client: %s\n", sError.c_str());
    return 1;
  }
  tRun.WaitForEnd(tSignals);
  tRun.PrintEnd();
  return tRun.ExitCode();
}

}  // namespace cticlient
