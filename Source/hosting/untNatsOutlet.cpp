// NATS publishing outlet; see the header for what it is for.
//
// Threads, and what each may touch:
//   - Deliver and DeliverBatch run on the per-key stage threads, three at once. natsConnection_PublishMsg copies
//     the message into the client's buffer and returns; the client's flusher thread writes it out.
//     While no server is reachable the client keeps what is published in its reconnect buffer, up
//     to RECONNECT_BUFFER_BYTES, and sends it on reconnecting; past that, and on any other error,
//     the frame is dropped and counted, and the count is logged at 1, 10, 100, ... drops. Before
//     the first server has answered the client cannot know whether it takes headers, so frames are
//     dropped (and counted) until then. Only a server that stops reading while the connection stays
//     up can hold a publish, for at most WRITE_DEADLINE_MS: the client then drops the connection
//     and buffers again.
//   - The link thread makes the connection once, so that an unreachable server never delays the
//     start-up, then every LINK_NAP_MS compares nConnects with the count at which it last looked
//     at the stream: after every (re)connect it looks the stream up and creates it when missing,
//     and while that fails (JetStream off, a cluster still electing its leader) it tries again
//     every STREAM_RETRY. Stream requests wait at most JS_WAIT_MS; a failure is a thinned log line
//     and publishing goes on without the stream.
//   - The client library runs the connection callbacks on a thread of its own, one at a time.
//     They call WriteLog (thread-safe) and touch atomics only, never the control thread's state.
// Ordering: one connection, and the frames of one key come from one stage thread in order, so the
// servers get each key's frames in the order the desks get them.
// Telvane-Seq counts the frames of one subject (one key) handed to the outlet, published or
// dropped, and Telvane-Family-Seq those of its family: a consumer of one key, or of one family,
// that sees a gap in its counter knows frames were dropped there. Frames of different families
// come from different stage threads, so no counter across families could be seen in order. The
// per-key counters are one fixed array per family over its whole range, so their memory does not
// grow with what the exchange sends; each is written by its family's stage thread only.
// Nothing is freed: the outlet and its connection live until the process ends, so a stage thread
// that outlives the shut-down's wait still finds them (the closed connection refuses the frame).
#include "hosting/untNatsOutlet.h"

#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/untVariables.h"
#include "logging/untCounters.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "pipeline/untEventOutlet.h"
#include "platform/untWorker.h"

namespace {

constexpr int RECONNECT_BUFFER_BYTES = 8 * 1024 * 1024;  // frames kept while no server answers
constexpr int64_t WRITE_DEADLINE_MS = 1000;    // longest a publish waits for a server that stalls
constexpr int64_t CONNECT_TIMEOUT_MS = 2000;   // one server's TCP and protocol handshake
constexpr int64_t RECONNECT_WAIT_MS = 1000;    // between two rounds over the servers
constexpr int64_t JS_WAIT_MS = 2000;           // one stream request
constexpr std::chrono::seconds STREAM_RETRY{30};  // between looks while the stream cannot be had
constexpr int64_t CLOSE_FLUSH_MS = 1000;       // what the shut-down gives the last frames
constexpr int LINK_NAP_MS = 100;               // the link thread's turn
constexpr int64_t NANOS_PER_HOUR = 3600LL * 1000 * 1000 * 1000;

const char* const SOURCE_DELIVER = "TNatsOutlet.Deliver";
const char* const SOURCE_CONNECT = "TNatsOutlet.Connect";
const char* const SOURCE_STREAM = "TNatsOutlet.KeepStream";

void LogNats(const char* sSource, int nLevel, const std::string& sText) {
  WriteLog(sSource, LOG_TARGET_MAIN, nLevel, sText, false);
}

// The client's word for a status, with the detail it keeps for the calling thread when it adds
// something ("(pub.c:143): " and a repetition of the word do not).
std::string StatusText(natsStatus s) {
  const std::string sText = natsStatus_GetText(s);
  natsStatus sLast = NATS_OK;
  const char* pDetail = nats_GetLastError(&sLast);
  std::string sDetail = sLast == s && pDetail != nullptr ? pDetail : "";
  const size_t nWhere = sDetail.starts_with("(") ? sDetail.find("): ") : std::string::npos;
  if (nWhere != std::string::npos) sDetail.erase(0, nWhere + 3);
  return sDetail.empty() || sDetail == sText ? sText : sText + ": " + sDetail;
}

class TNatsOutlet : public TEventOutlet {
 public:
  explicit TNatsOutlet(const TNatsConfig& tNewConfig)
      : tConfig(tNewConfig), vServers(SplitNatsServers(tNewConfig.sUrl)) {
    for (int n = 0; n < EVENT_FAMILY_COUNT; ++n)
      vKeySeq[n] = std::make_unique<std::atomic<uint64_t>[]>(static_cast<size_t>(AllFamilies()[n].nKeyCount));
  }

  void Deliver(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame) override;
  // Frame by frame, in order, as Deliver; the frames are read in place, not copied first.
  void DeliverBatch(const TEventBatch& tBatch) override;
  void DeliverFrame(TEventFamily_OPT tFamily, int32_t nKey, std::string_view sFrame);
  void Connect();     // link thread, once
  void KeepStream();  // link thread, every turn
  void Close();       // end of process

 private:
  natsOptions* CreateOptions();
  struct TFrameSeq {
    uint64_t nKey = 0;     // Telvane-Seq: this frame's number among its key's
    uint64_t nFamily = 0;  // Telvane-Family-Seq: among its family's
  };
  natsStatus Publish(natsConnection* pConn, TEventFamily_OPT tFamily, int32_t nKey, TFrameSeq tSeq,
                     std::string_view sFrame) const;
  // The counters a frame of the key takes; nullopt for a key outside the family's range, which
  // the stages never hand over.
  std::optional<TFrameSeq> NextSeq(TEventFamily_OPT tFamily, int32_t nKey);
  void CountDrop(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sReason);
  // The client's word for a status with its detail, any secret of [NATS] URL hidden in it.
  std::string StatusOf(natsStatus s) const { return HideUrlSecretsIn(StatusText(s), tConfig.sUrl); }
  bool AsksTls() const;  // some server of the URL is a tls:// one
  std::string EnsureStream(natsConnection* pConn);
  std::string CreateStream(jsCtx* pJs);
  void ReportStreamFound(const jsStreamInfo* pInfo);
  void NoteConnected(natsConnection* pConn, const char* sWord);

  static void OnConnected(natsConnection* pConn, void* pClosure);
  static void OnReconnected(natsConnection* pConn, void* pClosure);
  static void OnDisconnected(natsConnection* pConn, void* pClosure);
  static void OnClosed(natsConnection* pConn, void* pClosure);
  static void OnAsyncError(natsConnection* pConn, natsSubscription* pSub, natsStatus s, void* pClosure);

  // Constant after start-up.
  const TNatsConfig tConfig;                // [NATS] as corrected
  const std::vector<std::string> vServers;  // the URL's entries

  // Any thread.
  std::atomic<natsConnection*> pConnection{nullptr};  // set once by the link thread; never freed
  std::atomic<bool> bEverConnected{false};  // a server has answered once, so headers are known
  std::unique_ptr<std::atomic<uint64_t>[]> vKeySeq[EVENT_FAMILY_COUNT];  // frames handed over, by key index
  std::atomic<uint64_t> vFamilySeq[EVENT_FAMILY_COUNT]{};  // frames handed over, by family
  std::atomic<uint64_t> nDropped{0};        // frames not published
  std::atomic<uint64_t> nAsyncErrors{0};    // errors the client reported on its own
  std::atomic<uint64_t> nConnects{0};       // connects and reconnects so far
  std::atomic<std::shared_ptr<const std::string>> pLastServer;  // of the last (re)connect, secrets hidden

  // Link thread only.
  uint64_t nStreamConnects = 0;  // nConnects when the stream was last looked at
  uint64_t nStreamFailures = 0;  // looks in a row that failed; 0 once the stream is there
  std::chrono::steady_clock::time_point tNextStreamTry;  // while failing: the next look
};

TNatsOutlet* pNatsOutlet = nullptr;  // set once at start-up, never freed

// ---- Publishing (stage threads) ----

void TNatsOutlet::Deliver(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame) {
  DeliverFrame(tFamily, nKey, sFrame);
}

void TNatsOutlet::DeliverBatch(const TEventBatch& tBatch) {
  for (const TEventBatch::TFrame& tFrame : tBatch.vFrames)
    DeliverFrame(tBatch.tFamily, tFrame.nKey, tBatch.Frame(tFrame));
}

std::optional<TNatsOutlet::TFrameSeq> TNatsOutlet::NextSeq(TEventFamily_OPT tFamily, int32_t nKey) {
  if (tFamily < 0 || tFamily >= EVENT_FAMILY_COUNT) return std::nullopt;
  const int32_t nIndex = Family(tFamily).IndexOf(nKey);
  if (nIndex < 0) return std::nullopt;
  TFrameSeq tSeq;
  tSeq.nKey = vKeySeq[tFamily][nIndex].fetch_add(1, std::memory_order_relaxed) + 1;
  tSeq.nFamily = vFamilySeq[tFamily].fetch_add(1, std::memory_order_relaxed) + 1;
  return tSeq;
}

void TNatsOutlet::DeliverFrame(TEventFamily_OPT tFamily, int32_t nKey, std::string_view sFrame) {
  const std::optional<TFrameSeq> tSeq = NextSeq(tFamily, nKey);
  if (!tSeq) {
    CountDrop(tFamily, nKey, "the key lies outside its range");
    return;
  }
  natsConnection* pConn = pConnection.load(std::memory_order_acquire);
  if (pConn == nullptr) {
    CountDrop(tFamily, nKey, "no connection to NATS");
    return;
  }
  const natsStatus s = Publish(pConn, tFamily, nKey, *tSeq, sFrame);
  if (s == NATS_OK) {
    CountUp(MyCounters.nNatsPublished);
    return;
  }
  if (s == NATS_NO_SERVER_SUPPORT && !bEverConnected.load()) {
    CountDrop(tFamily, nKey, "no NATS server has answered yet");
  } else {
    CountDrop(tFamily, nKey, StatusOf(s));
  }
}

natsStatus TNatsOutlet::Publish(natsConnection* pConn, TEventFamily_OPT tFamily, int32_t nKey,
                                TFrameSeq tSeq, std::string_view sFrame) const {
  if (sFrame.size() > static_cast<size_t>(INT_MAX)) return NATS_MAX_PAYLOAD;
  const char* sFamily = Family(tFamily).sName;
  const std::string sSubject = NatsSubject(tConfig.sSubjectPrefix, sFamily, nKey);
  natsMsg* pMsg = nullptr;
  natsStatus s = natsMsg_Create(&pMsg, sSubject.c_str(), nullptr, sFrame.data(), static_cast<int>(sFrame.size()));
  if (s == NATS_OK) s = natsMsgHeader_Set(pMsg, "Telvane-Family", sFamily);
  if (s == NATS_OK) s = natsMsgHeader_Set(pMsg, "Telvane-Key", std::to_string(nKey).c_str());
  if (s == NATS_OK) s = natsMsgHeader_Set(pMsg, "Telvane-Seq", std::to_string(tSeq.nKey).c_str());
  if (s == NATS_OK) s = natsMsgHeader_Set(pMsg, "Telvane-Family-Seq", std::to_string(tSeq.nFamily).c_str());
  if (s == NATS_OK) s = natsConnection_PublishMsg(pConn, pMsg);
  natsMsg_Destroy(pMsg);
  return s;
}

void TNatsOutlet::CountDrop(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sReason) {
  const uint64_t nCount = nDropped.fetch_add(1, std::memory_order_relaxed) + 1;
  CountUp(MyCounters.nNatsDropped);
  if (!IsPowerOfTen(nCount)) return;
  LogNats(SOURCE_DELIVER, LOG_ERROR,
          std::string("Frame of ") + Family(tFamily).sName + " " + IntToStr(nKey) + " not published to NATS (" +
              sReason + "); " + IntToStr(static_cast<int64_t>(nCount)) + " dropped so far.");
}

// ---- Connection (link thread) ----

natsOptions* TNatsOutlet::CreateOptions() {
  std::vector<const char*> vUrls;
  bool bTls = false;
  for (const std::string& sServer : vServers) {
    vUrls.push_back(sServer.c_str());
    bTls = bTls || sServer.rfind("tls://", 0) == 0;
  }
  natsOptions* pOptions = nullptr;
  natsStatus s = natsOptions_Create(&pOptions);
  // Each step runs only while the ones before it succeeded.
  auto Step = [&s](auto fSet) { if (s == NATS_OK) s = fSet(); };
  Step([&] { return natsOptions_SetServers(pOptions, vUrls.data(), static_cast<int>(vUrls.size())); });
  Step([&] { return natsOptions_SetName(pOptions, "telvane"); });
  // tls:// asks for TLS; the server's certificate is checked against the system's trusted authorities.
  if (bTls) Step([&] { return natsOptions_SetSecure(pOptions, true); });
  if (!tConfig.sCreds.empty())
    Step([&] { return natsOptions_SetUserCredentialsFromFiles(pOptions, tConfig.sCreds.c_str(), nullptr); });
  Step([&] { return natsOptions_SetTimeout(pOptions, CONNECT_TIMEOUT_MS); });
  Step([&] { return natsOptions_SetRetryOnFailedConnect(pOptions, true, OnConnected, this); });
  Step([&] { return natsOptions_SetMaxReconnect(pOptions, -1); });  // forever
  Step([&] { return natsOptions_SetReconnectWait(pOptions, RECONNECT_WAIT_MS); });
  Step([&] { return natsOptions_SetReconnectBufSize(pOptions, RECONNECT_BUFFER_BYTES); });
  Step([&] { return natsOptions_SetWriteDeadline(pOptions, WRITE_DEADLINE_MS); });
  Step([&] { return natsOptions_SetDisconnectedCB(pOptions, OnDisconnected, this); });
  Step([&] { return natsOptions_SetReconnectedCB(pOptions, OnReconnected, this); });
  Step([&] { return natsOptions_SetClosedCB(pOptions, OnClosed, this); });
  Step([&] { return natsOptions_SetErrorHandler(pOptions, OnAsyncError, this); });
  if (s == NATS_OK) return pOptions;
  LogNats(SOURCE_CONNECT, LOG_ERROR, "Cannot set up the NATS connection: " + StatusOf(s) + "; nothing is published.");
  natsOptions_Destroy(pOptions);
  return nullptr;
}

bool TNatsOutlet::AsksTls() const {
  return std::any_of(vServers.begin(), vServers.end(),
                     [](const std::string& sServer) { return sServer.rfind("tls://", 0) == 0; });
}

void TNatsOutlet::Connect() {
  natsOptions* pOptions = CreateOptions();
  if (pOptions == nullptr) return;
  natsConnection* pConn = nullptr;
  natsStatus s = NATS_OK;
  std::string sWhy;  // why a first TLS attempt failed
  if (AsksTls()) {
    // The client's own retrying forgets why an attempt failed, and a refused certificate is what
    // the operator needs to read: one attempt without it first.
    s = natsOptions_SetRetryOnFailedConnect(pOptions, false, nullptr, nullptr);
    if (s == NATS_OK) s = natsConnection_Connect(&pConn, pOptions);
    if (s != NATS_OK) {
      sWhy = StatusOf(s);
      for (char& c : sWhy) c = static_cast<unsigned char>(c) < 32 ? ' ' : c;  // one line, whatever the server sent
      pConn = nullptr;
      s = natsOptions_SetRetryOnFailedConnect(pOptions, true, OnConnected, this);
    }
  }
  if (pConn == nullptr && s == NATS_OK) s = natsConnection_Connect(&pConn, pOptions);
  natsOptions_Destroy(pOptions);
  if (s == NATS_OK) {
    NoteConnected(pConn, "Connected to");
  } else if (s == NATS_NOT_YET_CONNECTED) {
    LogNats(SOURCE_CONNECT, LOG_WARNING,
            "No NATS server answers yet (" + NatsServersForLog(tConfig.sUrl) + ")" + (sWhy.empty() ? "" : ": " + sWhy) +
                "; trying again every second, frames are dropped and counted until one answers.");
  } else {
    LogNats(SOURCE_CONNECT, LOG_ERROR,
            "Cannot connect to NATS (" + NatsServersForLog(tConfig.sUrl) + "): " + StatusOf(s) +
                "; nothing is published.");
    return;
  }
  pConnection.store(pConn, std::memory_order_release);
}

// Connect() and the callback thread: a server answers. The stream is looked at again afterwards.
void TNatsOutlet::NoteConnected(natsConnection* pConn, const char* sWord) {
  char sUrl[512];
  if (natsConnection_GetConnectedUrl(pConn, sUrl, sizeof sUrl) != NATS_OK) sUrl[0] = '\0';
  pLastServer.store(std::make_shared<const std::string>(HideUrlSecrets(sUrl)));
  bEverConnected.store(true);
  MyCounters.bNatsConnected.store(true, std::memory_order_relaxed);
  nConnects.fetch_add(1);
  LogNats(SOURCE_CONNECT, LOG_VERBOSE, std::string(sWord) + " NATS at " + *pLastServer.load() + ".");
}

// ---- Callbacks (the client's callback thread: log lines and atomics only) ----

void TNatsOutlet::OnConnected(natsConnection* pConn, void* pClosure) {
  static_cast<TNatsOutlet*>(pClosure)->NoteConnected(pConn, "Connected to");
}

void TNatsOutlet::OnReconnected(natsConnection* pConn, void* pClosure) {
  static_cast<TNatsOutlet*>(pClosure)->NoteConnected(pConn, "Reconnected to");
}

void TNatsOutlet::OnDisconnected(natsConnection*, void* pClosure) {
  MyCounters.bNatsConnected.store(false, std::memory_order_relaxed);
  const std::shared_ptr<const std::string> pServer = static_cast<TNatsOutlet*>(pClosure)->pLastServer.load();
  LogNats(SOURCE_CONNECT, LOG_WARNING,
          "Disconnected from NATS at " + (pServer ? *pServer : std::string("(none)")) +
              "; frames wait in the client's buffer (8 MiB) until it reconnects.");
}

void TNatsOutlet::OnClosed(natsConnection* pConn, void* pClosure) {
  MyCounters.bNatsConnected.store(false, std::memory_order_relaxed);
  const char* sError = nullptr;
  natsConnection_GetLastError(pConn, &sError);
  const std::string sWhy = sError != nullptr && *sError != '\0' ? sError : "no error";
  LogNats(SOURCE_CONNECT, LOG_ERROR,
          "NATS connection closed (" + HideUrlSecretsIn(sWhy, static_cast<TNatsOutlet*>(pClosure)->tConfig.sUrl) +
              "); nothing more is published until the relay restarts.");
}

void TNatsOutlet::OnAsyncError(natsConnection*, natsSubscription*, natsStatus s, void* pClosure) {
  const uint64_t nCount = static_cast<TNatsOutlet*>(pClosure)->nAsyncErrors.fetch_add(1) + 1;
  if (!IsPowerOfTen(nCount)) return;
  LogNats(SOURCE_CONNECT, LOG_ERROR,
          std::string("NATS reported: ") + natsStatus_GetText(s) + "; " + IntToStr(static_cast<int64_t>(nCount)) +
              " such reports so far.");
}

// ---- Stream (link thread) ----

// Looks at the stream after every (re)connect, and again every STREAM_RETRY while it could not.
void TNatsOutlet::KeepStream() {
  if (tConfig.sStream.empty()) return;
  const uint64_t nNow = nConnects.load();
  natsConnection* pConn = pConnection.load(std::memory_order_acquire);
  const bool bRetryDue = nStreamFailures > 0 && std::chrono::steady_clock::now() >= tNextStreamTry;
  if (pConn == nullptr || (nNow == nStreamConnects && !bRetryDue)) return;
  if (natsConnection_Status(pConn) != NATS_CONN_STATUS_CONNECTED) return;
  nStreamConnects = nNow;
  const std::string sFailure = EnsureStream(pConn);
  if (sFailure.empty()) {
    nStreamFailures = 0;
    return;
  }
  tNextStreamTry = std::chrono::steady_clock::now() + STREAM_RETRY;
  if (IsPowerOfTen(++nStreamFailures))
    LogNats(SOURCE_STREAM, LOG_ERROR,
            sFailure + "; frames are published all the same, and the stream is tried again every " +
                IntToStr(STREAM_RETRY.count()) + " s (failed tries so far: " +
                IntToStr(static_cast<int64_t>(nStreamFailures)) + ").");
}

// "" when the stream is there (found or created), else what went wrong.
std::string TNatsOutlet::EnsureStream(natsConnection* pConn) {
  jsOptions tOptions;
  jsOptions_Init(&tOptions);
  tOptions.Wait = JS_WAIT_MS;
  jsCtx* pJs = nullptr;
  jsStreamInfo* pInfo = nullptr;
  jsErrCode nError = static_cast<jsErrCode>(0);
  std::string sFailure;
  natsStatus s = natsConnection_JetStream(&pJs, pConn, &tOptions);
  if (s == NATS_OK) s = js_GetStreamInfo(&pInfo, pJs, tConfig.sStream.c_str(), nullptr, &nError);
  if (s == NATS_OK)
    ReportStreamFound(pInfo);
  else if (s == NATS_NOT_FOUND)
    sFailure = CreateStream(pJs);
  else
    sFailure = "Cannot look up the NATS stream " + tConfig.sStream + ": " + StatusOf(s);
  jsStreamInfo_Destroy(pInfo);
  jsCtx_Destroy(pJs);
  return sFailure;
}

std::string TNatsOutlet::CreateStream(jsCtx* pJs) {
  const std::string sSubjects = tConfig.sSubjectPrefix + ".>";
  const char* vSubjects[] = {sSubjects.c_str()};
  jsStreamConfig tStream;
  jsStreamConfig_Init(&tStream);
  tStream.Name = tConfig.sStream.c_str();
  tStream.Subjects = vSubjects;
  tStream.SubjectsLen = 1;
  tStream.MaxAge = static_cast<int64_t>(tConfig.nMaxAgeHours) * NANOS_PER_HOUR;
  tStream.Storage = js_FileStorage;
  jsStreamInfo* pInfo = nullptr;
  jsErrCode nError = static_cast<jsErrCode>(0);
  const natsStatus s = js_AddStream(&pInfo, pJs, &tStream, nullptr, &nError);
  jsStreamInfo_Destroy(pInfo);
  if (s != NATS_OK)
    return "Cannot create the NATS stream " + tConfig.sStream + " over " + sSubjects + ": " + StatusOf(s) +
           " (JetStream error " + IntToStr(nError) + ")";
  LogNats(SOURCE_STREAM, LOG_VERBOSE,
          "NATS stream " + tConfig.sStream + " created over " + sSubjects + ", keeping frames " +
              IntToStr(tConfig.nMaxAgeHours) + " hours.");
  return "";
}

// An existing stream is the operator's: it is used as it is, with a warning when it does not take
// this relay's subjects.
void TNatsOutlet::ReportStreamFound(const jsStreamInfo* pInfo) {
  const std::string sSubjects = tConfig.sSubjectPrefix + ".>";
  bool bTakes = false;
  for (int n = 0; pInfo->Config != nullptr && n < pInfo->Config->SubjectsLen; ++n)
    bTakes = bTakes || sSubjects == pInfo->Config->Subjects[n] || std::string(">") == pInfo->Config->Subjects[n];
  if (bTakes)
    LogNats(SOURCE_STREAM, LOG_VERBOSE, "NATS stream " + tConfig.sStream + " found; it keeps the frames of " + sSubjects + ".");
  else
    LogNats(SOURCE_STREAM, LOG_WARNING,
            "NATS stream " + tConfig.sStream + " found, but it does not take " + sSubjects + "; frames are not kept in it.");
}

// ---- End of process ----

void TNatsOutlet::Close() {
  natsConnection* pConn = pConnection.load(std::memory_order_acquire);
  if (pConn == nullptr) return;
  if (natsConnection_Status(pConn) == NATS_CONN_STATUS_CONNECTED) natsConnection_FlushTimeout(pConn, CLOSE_FLUSH_MS);
  natsConnection_Close(pConn);
}

// The link thread: one connect, then the stream after every (re)connect until the relay stops.
class TExecNatsLinkThread : public TWorkerThread {
 public:
  explicit TExecNatsLinkThread(TNatsOutlet& tNewOutlet) : tOutlet(tNewOutlet) {}

 protected:
  void Execute() override {
    tOutlet.Connect();
    while (MyAppInfo.bIsRunning) {
      tOutlet.KeepStream();
      SleepMs(LINK_NAP_MS);
    }
  }

 private:
  TNatsOutlet& tOutlet;  // lives until the process ends
};

// The families' subject parts as the start-up line lists them: ".queue, .extension and .parking".
std::string FamilySubjects() {
  std::string sList;
  const std::span<const TEventFamily, EVENT_FAMILY_COUNT> vFamilies = AllFamilies();
  for (size_t n = 0; n < vFamilies.size(); ++n)
    sList += std::string(n == 0 ? "." : n + 1 == vFamilies.size() ? " and ." : ", .") + vFamilies[n].sName;
  return sList;
}

}  // namespace

void StartNatsOutlet() {
  const TNatsConfig& tConfig = MyConfigInfo.MyNats;
  if (Trim(tConfig.sUrl).empty()) return;
  if (SplitNatsServers(tConfig.sUrl).empty()) {
    LogNats(SOURCE_CONNECT, LOG_ERROR, "[NATS] URL names no server (" + tConfig.sUrl + "); nothing is published.");
    return;
  }
  pNatsOutlet = new TNatsOutlet(tConfig);
  if (!AddEventOutlet(pNatsOutlet)) {
    LogNats(SOURCE_CONNECT, LOG_ERROR, "No room for the NATS outlet; nothing is published.");
    return;
  }
  LogNats(SOURCE_CONNECT, LOG_VERBOSE,
          "Publishing every frame to NATS (" + NatsServersForLog(tConfig.sUrl) + ") under " +
              tConfig.sSubjectPrefix + FamilySubjects() + ".");
  auto* pLink = new TExecNatsLinkThread(*pNatsOutlet);
  if (!pLink->Start()) {
    delete pLink;
    LogNats(SOURCE_CONNECT, LOG_ERROR, "Cannot start the NATS link thread; nothing is published.");
  }
}

void CloseNatsOutlet() {
  if (pNatsOutlet != nullptr) pNatsOutlet->Close();
}

std::vector<std::string> SplitNatsServers(const std::string& sUrl) {
  std::vector<std::string> vEntries, vServers;
  SplitDelimited(',', sUrl, true, vEntries);
  for (const std::string& sEntry : vEntries) {
    std::string sServer = Trim(sEntry);
    if (!sServer.empty()) vServers.push_back(std::move(sServer));
  }
  return vServers;
}

namespace {

// Where a server's user information may begin in the entry sUrl[nFrom, nTo): just after its scheme
// ("nats://"), or npos when the entry names none.
size_t AfterScheme(const std::string& sUrl, size_t nFrom, size_t nTo) {
  while (nFrom < nTo && (sUrl[nFrom] == ' ' || sUrl[nFrom] == '\t')) ++nFrom;
  size_t n = nFrom;
  while (n < nTo && (std::isalnum(static_cast<unsigned char>(sUrl[n])) || sUrl[n] == '+' || sUrl[n] == '-' ||
                     sUrl[n] == '.'))
    ++n;
  const bool bScheme = n > nFrom && std::isalpha(static_cast<unsigned char>(sUrl[nFrom])) &&
                       sUrl.compare(n, 3, "://") == 0 && n + 3 <= nTo;
  return bScheme ? n + 3 : std::string::npos;
}

// The spans of sUrl that HideUrlSecrets hides, in order, none overlapping.
std::vector<std::pair<size_t, size_t>> SecretSpans(const std::string& sUrl) {
  // Each comma-separated entry with an "@" hides what lies between its scheme and its last "@". An
  // entry without a scheme may be the tail of a password that holds a comma, so it hides from the
  // last scheme before it (or from the start of the text): a password is never shown, whatever it
  // holds, at the cost of a host name now and then.
  std::vector<std::pair<size_t, size_t>> vHidden;  // [from, to)
  size_t nLastScheme = 0;                          // where the latest scheme's user information begins
  for (size_t nFrom = 0; nFrom <= sUrl.size();) {
    size_t nTo = sUrl.find(',', nFrom);
    if (nTo == std::string::npos) nTo = sUrl.size();
    const size_t nScheme = AfterScheme(sUrl, nFrom, nTo);
    if (nScheme != std::string::npos) nLastScheme = nScheme;
    const size_t nAt = nTo == 0 ? std::string::npos : sUrl.rfind('@', nTo - 1);
    if (nAt != std::string::npos && nAt >= nFrom) {
      size_t nStart = nScheme != std::string::npos ? nScheme : nLastScheme;
      while (!vHidden.empty() && vHidden.back().second >= nStart) {  // overlapping spans become one
        nStart = std::min(nStart, vHidden.back().first);
        vHidden.pop_back();
      }
      vHidden.emplace_back(nStart, nAt);
    }
    nFrom = nTo + 1;
  }
  return vHidden;
}

}  // namespace

std::string HideUrlSecrets(const std::string& sUrl) {
  std::string sShown;
  size_t nCopied = 0;
  for (const auto& [nStart, nEnd] : SecretSpans(sUrl)) {
    sShown += sUrl.substr(nCopied, nStart - nCopied) + "***";
    nCopied = nEnd;
  }
  return sShown + sUrl.substr(nCopied);
}

std::string HideUrlSecretsIn(const std::string& sText, const std::string& sUrl) {
  std::string sShown = sText;
  for (const auto& [nStart, nEnd] : SecretSpans(sUrl))
    if (nEnd > nStart) sShown = ReplaceAll(sShown, sUrl.substr(nStart, nEnd - nStart), "***");
  return sShown;
}

std::string NatsServersForLog(const std::string& sUrl) {
  std::string sText;
  for (const std::string& sServer : SplitNatsServers(HideUrlSecrets(sUrl)))
    sText += (sText.empty() ? "" : ", ") + sServer;
  return sText;
}

std::string NatsSubject(const std::string& sPrefix, const char* sFamilyName, int32_t nKey) {
  return sPrefix + "." + sFamilyName + "." + std::to_string(nKey);
}
