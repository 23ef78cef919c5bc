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
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_set>

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

struct TFamilyList {
  const char* sName;                     // subject token
  const std::vector<int32_t>* pNumbers;  // the command line's list
};

std::vector<TFamilyList> FamilyLists(const TClientOptions& tOptions) {
  return {{"queue", &tOptions.vQueues}, {"extension", &tOptions.vPeers}, {"parking", &tOptions.vParks}};
}

// Which numbers the lists hold, for the frames a wildcard brings in. Constant after construction.
class TKeyFilter {
 public:
  explicit TKeyFilter(const TClientOptions& tOptions) : sPrefix(tOptions.sNatsPrefix + ".") {
    for (const TFamilyList& tList : FamilyLists(tOptions))
      vFamilies.push_back({tList.sName, {tList.pNumbers->begin(), tList.pNumbers->end()}});
  }

  // sSubject is "<prefix>.<family>.<number>" for a number of that family's list.
  bool Wants(std::string_view sSubject) const {
    if (!sSubject.starts_with(sPrefix)) return false;
    sSubject.remove_prefix(sPrefix.size());
    const size_t nDot = sSubject.find('.');
    if (nDot == std::string_view::npos) return false;
    const std::string_view sFamily = sSubject.substr(0, nDot), sKey = sSubject.substr(nDot + 1);
    int32_t nKey = 0;
    const auto [pStop, tError] = std::from_chars(sKey.data(), sKey.data() + sKey.size(), nKey);
    if (tError != std::errc() || pStop != sKey.data() + sKey.size()) return false;
    for (const TFamilyKeys& tFamily : vFamilies)
      if (tFamily.sName == sFamily) return tFamily.vKeys.contains(nKey);
    return false;
  }

 private:
  struct TFamilyKeys {
    std::string sName;                   // subject token
    std::unordered_set<int32_t> vKeys;   // numbers of the list
  };
  std::string sPrefix;               // "<prefix>."
  std::vector<TFamilyKeys> vFamilies;  // queue, extension, parking
};

class TNatsRun;

// One subscriber: its subscriptions and its tally.
struct TSubscriber final : public TFrameSink {
  TNatsRun* pRun = nullptr;  // constant
  // Guarded by the run's crsRun.
  TFrameSplitter tSplitter;  // one message is one frame
  uint64_t nFrames = 0;      // frames received
  TSeqTracker tSeq;          // TelvaneSeq values seen
  int64_t nReadMicros = 0;   // receive time of the message being split

  void OnFrame(const TFrame& tFrame) override;
  void OnGoingDown() override {}  // the notice is a port-mode thing; never on NATS
  void OnFrameDropped(size_t) override;
};

class TNatsRun {
 public:
  explicit TNatsRun(const TClientOptions& tNewOptions) : tOptions(tNewOptions), tFilter(tNewOptions) {}
  ~TNatsRun();

  bool Start(std::string& sError);
  void WaitForEnd(const sigset_t& tSignals);
  void PrintEnd();
  int ExitCode() const { return nExitCode; }

  // Delivery threads, holding crsRun.
  void OnFrame(TSubscriber& tSub, const TFrame& tFrame);
  void OnFrameDropped() { ++nDropped; }

 private:
  bool IsLoad() const { return tOptions.nLoad > 0; }
  natsOptions* CreateOptions();
  bool Connect(std::string& sError);
  bool Subscribe(TSubscriber& tSub, size_t nConnection, std::string& sError);
  bool EndReached(TClock::time_point tStart);
  void PrintProgress(TClock::time_point tStart);
  TRunTotals Totals() const;

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
  std::atomic<bool> bStdoutGone{false};    // the reader of stdout went away

  // Guarded by crsRun.
  std::mutex crsRun;
  TLatencyHistogram tLatency;   // all subscribers' stamped frames
  uint64_t nFrames = 0;         // frames of all subscribers
  uint64_t nDropped = 0;        // payloads that were not one whole frame
  bool bFinished = false;       // the end was reached; deliveries touch nothing more
  std::string sOut;             // output being composed, reused

  // Main thread.
  uint64_t nFramesAtTick = 0;   // nFrames at the previous progress line
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
  ++tSub.nFrames;
  ++nFrames;
  if (tFrame.bHasSeq) tSub.tSeq.Add(tFrame.nSeq);
  if (tFrame.bHasSent && tFrame.nSentMicros <= static_cast<uint64_t>(INT64_MAX))
    tLatency.Add(tSub.nReadMicros - static_cast<int64_t>(tFrame.nSentMicros));
  if (!IsLoad() && !tOptions.bQuiet) {
    sOut.clear();
    AppendFrameText(sOut, tFrame, tSub.nReadMicros, tOptions.bTimestamps);
    std::fwrite(sOut.data(), 1, sOut.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) bStdoutGone = true;
  }
  if (tOptions.nCount > 0 && tSub.nFrames == static_cast<uint64_t>(tOptions.nCount)) ++nDone;
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
  if (bStdoutGone.load()) return true;
  if (nClosed.load() == static_cast<int32_t>(vConnections.size())) {
    std::fputs("telvane-client: NATS connection closed\n", stderr);
    if (!IsLoad()) nExitCode = 1;
    return true;
  }
  return false;
}

void TNatsRun::PrintProgress(TClock::time_point tStart) {
  uint64_t nNow = 0;
  {
    std::lock_guard<std::mutex> tLock(crsRun);
    nNow = nFrames;
  }
  std::fprintf(stderr, "progress: %.1f s, ready %zu of %zu, frames %llu, %llu frames/s\n",
               std::chrono::duration<double>(TClock::now() - tStart).count(), vSubscribers.size(),
               vSubscribers.size(), static_cast<unsigned long long>(nNow),
               static_cast<unsigned long long>(nNow - nFramesAtTick));
  nFramesAtTick = nNow;
}

void TNatsRun::WaitForEnd(const sigset_t& tSignals) {
  const TClock::time_point tStart = TClock::now();
  TClock::time_point tNextTick = tStart + std::chrono::seconds(1);
  while (true) {
    const timespec tTurn{0, kWaitTurnNanos};
    const int nSignal = sigtimedwait(&tSignals, nullptr, &tTurn);
    if (nSignal == SIGINT || nSignal == SIGTERM || EndReached(tStart)) break;
    if (tOptions.bProgress && TClock::now() >= tNextTick) {
      PrintProgress(tStart);
      tNextTick += std::chrono::seconds(1);
    }
  }
  std::lock_guard<std::mutex> tLock(crsRun);
  bFinished = true;
  tEnd = TClock::now();
}

TRunTotals TNatsRun::Totals() const {
  TRunTotals tTotals;
  tTotals.nClients = static_cast<int32_t>(vSubscribers.size());
  tTotals.nReady = tTotals.nClients;
  tTotals.nFrames = nFrames;
  tTotals.dSeconds = std::chrono::duration<double>(tEnd - tReady).count();
  tTotals.nDropped = nDropped;
  tTotals.bExpectSeq = tOptions.bExpectSeq;
  tTotals.nExpectFirst = tOptions.nExpectFirst;
  tTotals.nExpectLast = tOptions.nExpectLast;
  for (size_t n = 0; n < vSubscribers.size(); ++n) {
    const TSubscriber& tSub = *vSubscribers[n];
    tTotals.nFramesMin = n == 0 ? tSub.nFrames : std::min(tTotals.nFramesMin, tSub.nFrames);
    tTotals.nFramesMax = std::max(tTotals.nFramesMax, tSub.nFrames);
    tTotals.nLost += tOptions.bExpectSeq ? tSub.tSeq.LostIn(tOptions.nExpectFirst, tOptions.nExpectLast)
                                         : tSub.tSeq.LostBetweenSeen();
    tTotals.nDuplicates += tSub.tSeq.Duplicates();
    tTotals.nUntracked += tSub.tSeq.Untracked();
  }
  return tTotals;
}

void TNatsRun::PrintEnd() {
  if (!IsLoad() && !tOptions.bQuiet) return;
  std::lock_guard<std::mutex> tLock(crsRun);
  const TRunTotals tTotals = Totals();
  const std::string sText = IsLoad() ? FormatReport(tTotals, tLatency) : FormatResultLine(tTotals, tLatency) + "\n";
  std::fputs(sText.c_str(), stdout);
  std::fflush(stdout);
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

std::vector<std::string> NatsSubjects(const TClientOptions& tOptions) {
  std::vector<std::string> vSubjects;
  for (const TFamilyList& tList : FamilyLists(tOptions)) {
    const std::string sBase = tOptions.sNatsPrefix + "." + tList.sName + ".";
    if (tList.pNumbers->size() > kWildcardAbove) {
      vSubjects.push_back(sBase + "*");
      continue;
    }
    std::vector<int32_t> vKeys = *tList.pNumbers;
    std::sort(vKeys.begin(), vKeys.end());
    vKeys.erase(std::unique(vKeys.begin(), vKeys.end()), vKeys.end());
    for (int32_t nKey : vKeys) vSubjects.push_back(sBase + std::to_string(nKey));
  }
  return vSubjects;
}

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
