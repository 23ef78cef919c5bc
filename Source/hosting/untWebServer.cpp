#include "hosting/untWebServer.h"

#include <civetweb.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/untVariables.h"
#include "hosting/untCivetweb.h"
#include "hosting/untJson.h"
#include "hosting/untWebAssets.h"
#include "hosting/untWebDesks.h"
#include "logging/untLogger.h"
#include "logging/untThinnedLine.h"
#include "logging/untUtil.h"
#include "platform/untAddressRange.h"
#include "platform/untControlLoop.h"
#include "platform/untSocketCut.h"
#include "platform/untTlsFront.h"

namespace {

constexpr const char* SOURCE = "TWebServer.Start";
constexpr int TICK_INTERVAL_MS = 1000;
constexpr size_t MESSAGE_MAX = JSON_MAX_TEXT;
constexpr int PAGE_THREADS = 4;               // civetweb's workers beyond one per desk, for the page
constexpr int TLS_HANDSHAKE_MS = 10000;       // as civetweb's own request time-out

// ---- What civetweb's threads read: fixed before the handlers are registered ----

struct TWebShared {
  TAddressRanges tAllowFrom;         // empty: everyone
  int32_t nMaxClients = 0;           // WebSocket connections at once
  std::atomic<int32_t> nOpen{0};     // connections past the upgrade, not yet closed
  std::atomic<uint64_t> nRefusals{0};  // for the thinning of the refusal lines
  std::atomic<bool> bStopping{false};  // the server stops: nothing new is admitted
  // With TLS: who is behind each loopback connection of the front; null when civetweb faces the
  // network itself. Set before civetweb starts and cleared after it stopped.
  std::shared_ptr<const TFrontPeers> pFrontPeers;
};
// With TLS, the front that carries each connection; null otherwise. Control thread only: a desk
// cut off there is cut at the front too.
TTlsFront* pCutFront = nullptr;

TWebShared& Shared() {
  static TWebShared* pShared = new TWebShared();  // never freed: civetweb may outlive the server
  return *pShared;
}

void LogThinned(const std::string& sText) {
  uint64_t n = Shared().nRefusals.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t nCount = n;
  while (n >= 10 && n % 10 == 0) n /= 10;
  if (n == 1)
    WriteLog("TWebServer.Request", LOG_TARGET_PROXY, LOG_WARNING,
             sText + " (" + IntToStr(static_cast<int64_t>(nCount)) + " so far)", false);
}

// The real peer of a connection: behind the TLS front, the one it published for the connection's
// loopback port. False for a connection that did not come through the front (another local process
// on civetweb's loopback port): it is not served, as it skipped TLS.
bool PeerOf(const mg_connection* pConn, std::string& sAddress, int& nPort) {
  const mg_request_info* pInfo = mg_get_request_info(pConn);
  const TWebShared& s = Shared();
  if (s.pFrontPeers == nullptr) {
    sAddress = pInfo->remote_addr;
    nPort = pInfo->remote_port;
    return true;
  }
  TFrontPeer tPeer;
  if (!s.pFrontPeers->Find(pInfo->remote_port, tPeer)) {
    LogThinned(std::string("Web request refused: ") + pInfo->remote_addr + ":" + IntToStr(pInfo->remote_port) +
               " did not come through the TLS listener");
    return false;
  }
  sAddress = tPeer.sAddress;
  nPort = tPeer.nPort;
  return true;
}

bool Allowed(const std::string& sAddress) {
  const TWebShared& s = Shared();
  if (s.tAllowFrom.Empty() || s.tAllowFrom.Contains(sAddress)) return true;
  LogThinned("Web request refused: " + sAddress + " is not in [WEB] ALLOWFROM");
  return false;
}

bool Admitted(const mg_connection* pConn) {
  if (Shared().bStopping.load(std::memory_order_relaxed)) return false;
  std::string sAddress;
  int nPort = 0;
  return PeerOf(pConn, sAddress, nPort) && Allowed(sAddress);
}

// ---- The hand-over from civetweb's threads ----

// civetweb's threads give each call to the control thread and wait for it, as the stages do. The
// server's stop releases every waiter first: the control thread that stops civetweb waits for
// civetweb's threads, so none of them may be left waiting for it. A released call still runs at
// the control thread's next turn, or never when the loop has closed; the desk table ignores what
// comes for a desk it no longer has.
std::mutex crsHandOver;                 // guards bReleased and every TDone
std::condition_variable cvHandOver;
bool bReleased = false;                 // the server stops: nobody waits any more

struct TDone {
  bool bDone = false;  // guarded by crsHandOver
};
// Sets the flag when the posted call has run or was dropped with the closed loop.
struct TDoneSignal {
  std::shared_ptr<TDone> pDone;
  ~TDoneSignal() {
    if (!pDone) return;
    {
      std::lock_guard<std::mutex> lock(crsHandOver);
      pDone->bDone = true;
    }
    cvHandOver.notify_all();
  }
};

void HandOver(std::function<void()> fn) {
  auto pDone = std::make_shared<TDone>();
  {
    auto pSignal = std::make_shared<TDoneSignal>();
    pSignal->pDone = pDone;
    TControlLoop::Instance().Post([fn = std::move(fn), pSignal] { fn(); });
  }
  std::unique_lock<std::mutex> lock(crsHandOver);
  cvHandOver.wait(lock, [&] { return pDone->bDone || bReleased; });
}

void ReleaseHandOvers(bool bRelease) {
  {
    std::lock_guard<std::mutex> lock(crsHandOver);
    bReleased = bRelease;
  }
  cvHandOver.notify_all();
}

// ---- One WebSocket connection ----

class TWebConnection : public TWebLink {
 public:
  explicit TWebConnection(mg_connection* pConnIn) : pConn(pConnIn) {
    const mg_request_info* pInfo = mg_get_request_info(pConn);
    // The real peer names the desk; OnConnect refused a connection without one.
    if (!PeerOf(pConn, sAddress, nPort)) {
      sAddress = pInfo->remote_addr;
      nPort = pInfo->remote_port;
    }
    // Taken now, on the thread that owns the connection, for a cut from the control thread. The
    // socket is civetweb's own (the front's loopback connection when TLS is on).
    nCutFd = DuplicateTcpConnection(pInfo->server_port, pInfo->remote_addr, pInfo->remote_port);
    if (Shared().pFrontPeers != nullptr) nLoopbackPort = pInfo->remote_port;
  }
  ~TWebConnection() override {
    Stop();
    CloseTcpDuplicate(nCutFd);
  }

  // civetweb's thread of the connection.
  void Start() { thWriter = std::thread([this] { WriterLoop(); }); }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(crsQueue);
      bStop = true;
    }
    cvQueue.notify_all();
    if (thWriter.joinable()) thWriter.join();
  }

  bool Queue(std::string sMessage) override {
    {
      std::lock_guard<std::mutex> lock(crsQueue);
      if (bCut || bStop) return true;  // going anyway
      if (nQueued + sMessage.size() > WEB_DESK_QUEUE_BOUND) return false;
      nQueued += sMessage.size();
      vQueue.push_back(std::move(sMessage));
    }
    cvQueue.notify_one();
    return true;
  }
  void Finish() override {
    {
      std::lock_guard<std::mutex> lock(crsQueue);
      bFinish = true;
    }
    cvQueue.notify_one();
  }
  void Cut() override {
    {
      std::lock_guard<std::mutex> lock(crsQueue);
      if (bCut) return;
      bCut = true;
      vQueue.clear();
      nQueued = 0;
    }
    cvQueue.notify_one();
    // civetweb's reader and our writer may both be blocked on the socket: end it under them.
    ShutdownTcpDuplicate(nCutFd);
    // civetweb's close would reach the front only behind the bytes the browser did not take.
    if (pCutFront != nullptr) pCutFront->Cut(nLoopbackPort);
  }

  const std::string& Address() const { return sAddress; }
  int Port() const { return nPort; }
  uint64_t nId = 0;  // the desk table's id; civetweb's thread of the connection

 private:
  void WriterLoop() {
    for (;;) {
      std::string sMessage;
      bool bClose = false;
      {
        std::unique_lock<std::mutex> lock(crsQueue);
        cvQueue.wait(lock, [&] { return bStop || bCut || !vQueue.empty() || bFinish; });
        if (bStop || bCut) return;
        if (!vQueue.empty()) {
          sMessage = std::move(vQueue.front());
          vQueue.pop_front();
          nQueued -= sMessage.size();
        } else {
          bClose = true;
          bFinish = false;
        }
      }
      // Written with no lock of ours held: a browser that does not read blocks only this thread.
      if (bClose) {
        const char vNormal[] = {'\x03', '\xE8'};  // 1000, normal closure
        mg_websocket_write(pConn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, vNormal, sizeof(vNormal));
        continue;
      }
      if (mg_websocket_write(pConn, MG_WEBSOCKET_OPCODE_TEXT, sMessage.data(), sMessage.size()) <= 0) {
        ShutdownTcpDuplicate(nCutFd);
        return;
      }
    }
  }

  mg_connection* pConn;  // valid until the close handler returns (it joins this writer)
  std::string sAddress;
  int nPort = 0;
  int nCutFd = -1;       // our duplicate of the socket, for Cut; -1 when none was found
  int nLoopbackPort = 0; // with TLS: the front's port on the loopback hop, for Cut; else 0
  std::mutex crsQueue;                  // guards the five below; never held while writing
  std::condition_variable cvQueue;
  std::deque<std::string> vQueue;       // messages not yet written
  size_t nQueued = 0;                   // their bytes
  bool bFinish = false, bCut = false, bStop = false;
  std::thread thWriter;
};

// What civetweb keeps for the connection: our share of it.
struct THolder {
  std::shared_ptr<TWebConnection> pConnection;
};

int OnConnect(const mg_connection* pConn, void*) {
  TWebShared& s = Shared();
  if (s.bStopping.load(std::memory_order_relaxed)) return 1;
  std::string sAddress;
  int nPort = 0;
  if (!PeerOf(pConn, sAddress, nPort) || !Allowed(sAddress)) return 1;
  if (s.nOpen.load(std::memory_order_relaxed) >= s.nMaxClients) {
    LogThinned("Web desk " + sAddress + " refused: [WEB] MAXCLIENTS (" + IntToStr(s.nMaxClients) + ") connected");
    return 1;
  }
  return 0;
}

void OnReady(mg_connection* pConn, void*) {
  auto* pHolder = new THolder{std::make_shared<TWebConnection>(pConn)};
  mg_set_user_connection_data(pConn, pHolder);
  Shared().nOpen.fetch_add(1, std::memory_order_relaxed);
  TWebConnection& c = *pHolder->pConnection;
  c.Start();
  std::shared_ptr<TWebLink> pLink = pHolder->pConnection;
  auto pId = std::make_shared<std::atomic<uint64_t>>(0);
  HandOver([pLink, pId, sAddress = c.Address(), nPort = c.Port()] { *pId = webdesks::Open(pLink, sAddress, nPort); });
  c.nId = pId->load();
}

int OnData(mg_connection* pConn, int nBits, char* pData, size_t nLength, void*) {
  auto* pHolder = static_cast<THolder*>(mg_get_user_connection_data(pConn));
  if (pHolder == nullptr) return 0;
  const int nOpcode = nBits & 0x0F;
  if (nOpcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
  if (nOpcode != MG_WEBSOCKET_OPCODE_TEXT) return 1;  // pings are civetweb's; binary is ignored
  if (nLength > MESSAGE_MAX) {
    LogThinned("Web desk " + pHolder->pConnection->Address() + " cut: a message of more than " +
               IntToStr(static_cast<int64_t>(MESSAGE_MAX)) + " bytes");
    return 0;
  }
  std::string sText(pData, nLength);
  const uint64_t nId = pHolder->pConnection->nId;
  HandOver([nId, sText] { webdesks::Message(nId, sText); });
  return 1;
}

void OnClose(const mg_connection* pConn, void*) {
  auto* pHolder = static_cast<THolder*>(mg_get_user_connection_data(pConn));
  if (pHolder == nullptr) return;
  const uint64_t nId = pHolder->pConnection->nId;
  HandOver([nId] { webdesks::Closed(nId); });
  pHolder->pConnection->Stop();
  delete pHolder;  // the table may still hold the connection until its hand-over ran; shared
  mg_set_user_connection_data(pConn, nullptr);
  Shared().nOpen.fetch_sub(1, std::memory_order_relaxed);
}

// ---- The page ----

int OnPage(mg_connection* pConn, void* pAsset) {
  if (!Admitted(pConn)) {
    mg_send_http_error(pConn, 403, "%s", "Forbidden");
    return 403;
  }
  const char* sMethod = mg_get_request_info(pConn)->request_method;
  const bool bHead = std::strcmp(sMethod, "HEAD") == 0;
  if (!bHead && std::strcmp(sMethod, "GET") != 0) {
    mg_send_http_error(pConn, 405, "%s", "Method Not Allowed");
    return 405;
  }
  const TWebAsset& a = *static_cast<const TWebAsset*>(pAsset);
  mg_response_header_start(pConn, 200);
  mg_response_header_add(pConn, "Content-Type", a.sContentType, -1);
  mg_response_header_add(pConn, "Content-Length", std::to_string(a.nSize).c_str(), -1);
  mg_response_header_add(pConn, "Cache-Control", "no-cache", -1);
  mg_response_header_add(pConn, "X-Content-Type-Options", "nosniff", -1);
  mg_response_header_add(pConn, "Content-Security-Policy",
                         "default-src 'self'; connect-src 'self' ws: wss:; img-src 'self' data:", -1);
  mg_response_header_send(pConn);
  if (!bHead) mg_write(pConn, a.pData, a.nSize);
  return 200;
}

// ---- Start ----

int LogServerMessage(const mg_connection*, const char* sMessage) {
  LogThinned(std::string("Web server: ") + sMessage);
  return 1;
}

mg_context* StartServer(const TWebConfig& w, const std::string& sPorts, std::string& sError) {
  TCivetwebOptions tOptions;
  tOptions.sPorts = sPorts;
  tOptions.nThreads = w.nMaxClients + PAGE_THREADS;  // one per desk, and a few for the page
  tOptions.sRequestTimeoutMs = "10000";
  tOptions.fnLogMessage = &LogServerMessage;
  return StartCivetweb(tOptions, sError);
}

void RegisterHandlers(mg_context* pContext) {
  for (size_t n = 0; n < WEB_ASSET_COUNT; ++n) {
    const TWebAsset& a = WEB_ASSETS[n];
    const std::string sUri = std::strcmp(a.sName, "index.html") == 0 ? "/$" : "/" + std::string(a.sName) + "$";
    mg_set_request_handler(pContext, sUri.c_str(), &OnPage, const_cast<TWebAsset*>(&a));
  }
  mg_set_websocket_handler(pContext, "/events$", &OnConnect, &OnReady, &OnData, &OnClose, nullptr);
}

// ---- The TLS front: HTTPS and WSS ----

// civetweb is started plain, on a loopback port of its own, and the relay's TLS front listens on
// [WEB] BINDIP:PORT and passes each connection on to it. The front admits a peer before its TLS
// hello: ALLOWFROM, and no more connections at once than civetweb has workers for.

TThinnedLine tTlsFailures;  // failed TLS handshakes of browsers; control thread

bool AdmitToFront(const std::string& sAddress, int nPort, int nOpen) {
  const TWebShared& s = Shared();
  if (s.bStopping.load(std::memory_order_relaxed) || !Allowed(sAddress)) return false;
  if (nOpen < s.nMaxClients + PAGE_THREADS) return true;
  LogThinned("Web connection refused: " + sAddress + ":" + IntToStr(nPort) + ", " + IntToStr(nOpen) +
             " open, as many as [WEB] MAXCLIENTS (" + IntToStr(s.nMaxClients) + ") and " + IntToStr(PAGE_THREADS) +
             " for pages allow");
  return false;
}

void LogTlsFailure(const std::string& sAddress, int nPort, const std::string& sReason) {
  const uint64_t nCount = tTlsFailures.Count();
  if (nCount == 0) return;
  WriteLog("TWebServer.TlsHandshake", LOG_TARGET_PROXY, LOG_WARNING,
           "Web TLS handshake failed (" + sAddress + ":" + IntToStr(nPort) + "): " + sReason +
               TThinnedLine::SoFar(nCount),
           false);
}

// The loopback port civetweb was given by the system; 0 when it does not say.
int CivetwebPort(const mg_context* pContext) {
  mg_server_port vPorts[2]{};
  return mg_get_server_ports(pContext, 2, vPorts) >= 1 ? vPorts[0].port : 0;
}

// The front for civetweb on nBackendPort; false and sError when it does not listen.
bool OpenFront(TTlsFront& front, const TWebConfig& w, int nBackendPort, std::string& sError) {
  if (nBackendPort <= 0) {
    sError = "the HTTP server's loopback port is unknown";
    return false;
  }
  std::string sBind = Trim(w.sBindIP);
  if (sBind.size() > 2 && sBind.front() == '[' && sBind.back() == ']') sBind = sBind.substr(1, sBind.size() - 2);
  front.Port = w.nPort;
  front.BindAddress = sBind;
  front.BackendPort = nBackendPort;
  front.nHandshakeMs = TLS_HANDSHAKE_MS;
  front.OnAdmit = &AdmitToFront;
  front.OnTlsError = &LogTlsFailure;
  front.OnBackendError = [](const std::string& sAddress, int nPort, const std::string& sReason) {
    LogThinned("Web connection " + sAddress + ":" + IntToStr(nPort) + " not passed on to the web server: " + sReason);
  };
  front.OnAcceptError = [](const std::string& sReason) { LogThinned("Web connection not accepted: " + sReason); };
  front.OnHandlerError = [](const std::string& sWhat) { LogThinned("Web TLS front: " + sWhat); };
  try {
    front.Open(w.sTlsCert, w.sTlsKey);
    return true;
  } catch (const std::exception& e) {
    sError = e.what();
    return false;
  }
}

}  // namespace

TWebServer::TWebServer(mg_context* pSharedContext) {
  const TWebConfig& w = MyConfigInfo.MyWeb;
  TWebShared& s = Shared();
  std::vector<std::string> lstInvalid;
  s.tAllowFrom.Parse(w.sAllowFrom, lstInvalid);  // corrected at start-up: nothing invalid is left
  s.nMaxClients = w.nMaxClients;
  s.bStopping = false;
  ReleaseHandOvers(false);
  tmrTick.OnTimer = [] { webdesks::Tick(); };
  tmrTick.SetInterval(TICK_INTERVAL_MS);
  tmrTick.SetEnabled(true);
  // This relay's civetweb cannot serve TLS itself (untCivetweb.h), so the relay's own TLS front
  // faces the network and civetweb serves it plain on loopback.
  const bool bTls = !w.sTlsCert.empty() && !w.sTlsKey.empty();
  if (bTls && pSharedContext != nullptr) {
    WriteLog(SOURCE, LOG_TARGET_MAIN, LOG_ERROR,
             "Error: web server not started on port " + IntToStr(w.nPort) +
                 ": with [WEB] TLSCERT/TLSKEY it needs a port of its own, not the metrics endpoint's",
             true);
    return;
  }
  if (pSharedContext != nullptr) {
    pContext = pSharedContext;
    RegisterHandlers(pContext);
    WriteLog(SOURCE, LOG_TARGET_MAIN, LOG_VERBOSE, "Web server sharing the metrics endpoint's port " + IntToStr(w.nPort),
             false);
    return;
  }
  const std::string sPorts = CivetwebPorts(w.sBindIP, w.nPort);
  if (bTls) {
    pFront = std::make_unique<TTlsFront>();
    s.pFrontPeers = pFront->Peers();
  }
  std::string sError;
  AcquireCivetweb();
  pContext = StartServer(w, bTls ? CivetwebPorts("127.0.0.1", 0) : sPorts, sError);
  if (pContext == nullptr) {
    ReleaseCivetweb();
    pFront.reset();
    s.pFrontPeers.reset();
    WriteLog(SOURCE, LOG_TARGET_MAIN, LOG_ERROR, "Error: web server not started on " + sPorts + ": " + sError, true);
    return;
  }
  bOwnContext = true;
  RegisterHandlers(pContext);
  if (bTls && !OpenFront(*pFront, w, CivetwebPort(pContext), sError)) {
    Stop();
    WriteLog(SOURCE, LOG_TARGET_MAIN, LOG_ERROR, "Error: web server not started on " + sPorts + ": " + sError, true);
    return;
  }
  pCutFront = pFront.get();
  // With TLS the line names civetweb's loopback port too: what an operator sees in `ss` there.
  const std::string sTls = bTls ? " (HTTPS and WSS, passed on to 127.0.0.1:" + IntToStr(pFront->BackendPort) + ")" : "";
  WriteLog(SOURCE, LOG_TARGET_MAIN, LOG_VERBOSE, "Web server listening on " + sPorts + sTls, false);
}

TWebServer::~TWebServer() {
  tmrTick.SetEnabled(false);
  Stop();
}

void TWebServer::Stop() {
  if (pContext == nullptr) return;
  // Nothing new comes in, no civetweb thread waits for this thread, and every desk is cut, so
  // each connection's thread ends at once while civetweb stops.
  Shared().bStopping = true;
  ReleaseHandOvers(true);
  webdesks::CutAll();
  pCutFront = nullptr;
  pFront.reset();  // its loopback connections end, and civetweb's threads with them
  if (bOwnContext) {
    mg_stop(pContext);  // waits for civetweb's threads (each joins its writer)
    ReleaseCivetweb();
  } else {
    mg_set_websocket_handler(pContext, "/events$", nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  Shared().pFrontPeers.reset();  // no civetweb thread is left to read it
  pContext = nullptr;
}

std::unique_ptr<TWebServer> StartWebServer(mg_context* pMetricsContext) {
  const TWebConfig& w = MyConfigInfo.MyWeb;
  if (w.nPort == 0) return nullptr;
  try {
    const bool bShared = pMetricsContext != nullptr && w.nPort == MyConfigInfo.MyMetrics.nPort;
    return std::make_unique<TWebServer>(bShared ? pMetricsContext : nullptr);
  } catch (const std::exception& e) {
    LogOperationError("TWebServer", "Start", e.what());
    return nullptr;
  }
}
