#include "hosting/untMetricsServer.h"

#include <civetweb.h>

#include <cstring>
#include <exception>
#include <string>

#include "hosting/untCivetweb.h"
#include "hosting/untMetricsText.h"
#include "logging/untCounters.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "pipeline/untFifo.h"
#include "platform/untAddressRange.h"
#include "platform/untServerSocket.h"

namespace {

constexpr const char* SOURCE = "TMetricsServer.Start";
constexpr int PUBLISH_INTERVAL_MS = 1000;
// civetweb gives each accepted connection a worker of its own until its request is read, so
// connections that send nothing hold workers: with enough of them, and a short wait for the
// request (which also bounds the wait for its first byte), a handful of idle or slow peers cannot
// hold a scrape or a health check back.
constexpr int32_t WORKER_THREADS = 64;
constexpr const char* REQUEST_TIMEOUT_MS = "2000";

// ---- Gauges (control thread) ----

void StoreGauge(std::atomic<int32_t>& nGauge, int32_t nValue) { nGauge.store(nValue, std::memory_order_relaxed); }

int32_t RingBacklog(const TGenericMsgReadFifo& ring) {
  if (!ring.bOpen.load(std::memory_order_acquire)) return 0;
  return FifoBacklog(ring.nWP.load(std::memory_order_relaxed), ring.nRP.load(std::memory_order_relaxed),
                     GENERIC_MSG_READ_SLOTS);
}
int32_t RingBacklog(const TSpecificMsgReadFifo& ring) {
  if (!ring.bOpen.load(std::memory_order_acquire)) return 0;
  return FifoBacklog(ring.nWP.load(std::memory_order_relaxed), ring.nRP.load(std::memory_order_relaxed),
                     SPECIFIC_MSG_READ_SLOTS);
}
int32_t MaxBacklog(const TSpecificMsgReadFifo* vRings, int32_t nCount) {
  int32_t nMax = 0;
  for (int32_t n = 0; n < nCount; ++n) {
    const int32_t nBacklog = RingBacklog(vRings[n]);
    if (nBacklog > nMax) nMax = nBacklog;
  }
  return nMax;
}

void PublishClients() {
  int32_t nRunning = 0, nHandshake = 0;
  for (const TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo) {
    const TMainSocketServerStateMachine_OPT t = slot.tMainSocketServerStateMachine;
    if (t == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) ++nRunning;
    else if (t >= MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING &&
             t <= MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP5)
      ++nHandshake;
  }
  StoreGauge(MyCounters.nClientsRunning, nRunning);
  StoreGauge(MyCounters.nClientsHandshake, nHandshake);
}

void PublishRings() {
  const TFifoReceived& f = MyFifoReceived;
  TRelayCounters& c = MyCounters;
  StoreGauge(c.vRingBacklog[COUNTER_RING_RAW], RingBacklog(f.MyGenericMsgRead));
  for (const TEventFamily& family : AllFamilies()) {
    const TEventFamily_OPT t = family.tFamily;
    StoreGauge(c.vRingBacklog[CounterRingOf(t)], RingBacklog(family.GlobalRing()));
    StoreGauge(c.vKeyBacklogMax[t], MaxBacklog(family.KeyRings().data(), family.nKeyCount));
  }
}

// ---- HTTP (civetweb's threads) ----

void Reply(mg_connection* pConn, int nStatus, const char* sContentType, const std::string& sBody) {
  const bool bHead = std::strcmp(mg_get_request_info(pConn)->request_method, "HEAD") == 0;
  mg_response_header_start(pConn, nStatus);
  mg_response_header_add(pConn, "Content-Type", sContentType, -1);
  mg_response_header_add(pConn, "Content-Length", std::to_string(sBody.size()).c_str(), -1);
  mg_response_header_add(pConn, "Cache-Control", "no-store", -1);
  mg_response_header_send(pConn);
  if (!bHead) mg_write(pConn, sBody.data(), sBody.size());
}

// GET and HEAD only; false (the answer sent) otherwise.
bool AcceptMethod(mg_connection* pConn) {
  const char* sMethod = mg_get_request_info(pConn)->request_method;
  if (std::strcmp(sMethod, "GET") == 0 || std::strcmp(sMethod, "HEAD") == 0) return true;
  mg_response_header_start(pConn, 405);
  mg_response_header_add(pConn, "Allow", "GET, HEAD", -1);
  mg_response_header_add(pConn, "Content-Length", "0", -1);
  mg_response_header_send(pConn);
  return false;
}

int HandleMetrics(mg_connection* pConn, void*) {
  if (!AcceptMethod(pConn)) return 405;
  try {
    Reply(pConn, 200, METRICS_CONTENT_TYPE, MetricsText(MyCounters, ReadProcessFigures()));
    return 200;
  } catch (const std::exception&) {
    mg_send_http_error(pConn, 500, "%s", "metrics unavailable");
    return 500;
  }
}

int HandleHealth(mg_connection* pConn, void*) {
  if (!AcceptMethod(pConn)) return 405;
  const THealth tHealth = HealthOf(MyCounters);
  const int nStatus = tHealth.bHealthy ? 200 : 503;
  Reply(pConn, nStatus, "text/plain; charset=utf-8", tHealth.sReason + "\n");
  return nStatus;
}

// civetweb's own complaints (bad requests, time-outs): thinned to the 1st, 10th, 100th, ... so that
// a scanner cannot flood the log.
int LogServerMessage(const mg_connection*, const char* sMessage) {
  static std::atomic<uint64_t> nMessages{0};
  uint64_t n = nMessages.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t nCount = n;
  while (n >= 10 && n % 10 == 0) n /= 10;
  if (n == 1)
    WriteLog("TMetricsServer.Request", LOG_TARGET_MAIN, LOG_WARNING,
             std::string("HTTP: ") + sMessage + " (" + IntToStr(static_cast<int64_t>(nCount)) + " so far)", false);
  return 1;  // handled: civetweb writes nothing to stderr
}

mg_context* StartServer(const std::string& sPorts, std::string& sError) {
  // A web server that shares the port keeps one thread per web desk: room for all of them, beyond
  // the workers that keep /healthz answering while idle connections wait for their time-out.
  const TWebConfig& w = MyConfigInfo.MyWeb;
  const bool bShared = w.nPort != 0 && w.nPort == MyConfigInfo.MyMetrics.nPort;
  TCivetwebOptions tOptions;
  tOptions.sPorts = sPorts;
  tOptions.nThreads = bShared ? w.nMaxClients + WORKER_THREADS : WORKER_THREADS;
  tOptions.sRequestTimeoutMs = REQUEST_TIMEOUT_MS;
  tOptions.fnLogMessage = &LogServerMessage;
  return StartCivetweb(tOptions, sError);
}

}  // namespace

TMetricsServer::TMetricsServer(const TMetricsConfig& tConfig, const TServerSocket* pDeskListenerIn)
    : pDeskListener(pDeskListenerIn) {
  PublishGauges();
  tmrPublish.OnTimer = [this] { PublishGauges(); };
  tmrPublish.SetInterval(PUBLISH_INTERVAL_MS);
  tmrPublish.SetEnabled(true);
  const std::string sPorts = CivetwebPorts(tConfig.sBindIP, tConfig.nPort);
  std::string sError;
  AcquireCivetweb();  // the destructor's release balances it on every path
  // civetweb reads a comma-separated list of ports: anything but one address could open a port
  // on every interface ("9100,127.0.0.1"), so such a value opens nothing.
  if (!IsIpAddressText(Trim(tConfig.sBindIP))) {
    WriteLog(SOURCE, LOG_TARGET_MAIN, LOG_ERROR,
             "Error: metrics endpoint not started on " + sPorts + ": [METRICS] BINDIP is not an IP address", true);
    return;
  }
  pContext = StartServer(sPorts, sError);
  if (pContext == nullptr) {
    WriteLog(SOURCE, LOG_TARGET_MAIN, LOG_ERROR, "Error: metrics endpoint not started on " + sPorts + ": " + sError,
             true);
    return;
  }
  mg_set_request_handler(pContext, "/metrics$", &HandleMetrics, nullptr);
  mg_set_request_handler(pContext, "/healthz$", &HandleHealth, nullptr);
  WriteLog(SOURCE, LOG_TARGET_MAIN, LOG_VERBOSE, "Metrics endpoint listening on " + sPorts, false);
}

TMetricsServer::~TMetricsServer() {
  tmrPublish.SetEnabled(false);
  if (pContext != nullptr) mg_stop(pContext);  // waits for civetweb's threads
  ReleaseCivetweb();
}

void TMetricsServer::PublishGauges() {
  try {
    TRelayCounters& c = MyCounters;
    c.bExchangeConnected.store(MyAppInfo.tMainSocketClientStateMachine[0] == MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING,
                               std::memory_order_relaxed);
    c.bListenerOpen.store(pDeskListener != nullptr && pDeskListener->Active(), std::memory_order_relaxed);
    PublishClients();
    PublishRings();
    c.bPublished.store(true, std::memory_order_relaxed);
  } catch (const std::exception& e) {
    LogOperationError("TMetricsServer", "PublishGauges", e.what());
  }
}

std::unique_ptr<TMetricsServer> StartMetricsServer(const TServerSocket* pDeskListener) {
  if (MyConfigInfo.MyMetrics.nPort == 0) return nullptr;
  try {
    return std::make_unique<TMetricsServer>(MyConfigInfo.MyMetrics, pDeskListener);
  } catch (const std::exception& e) {
    LogOperationError("TMetricsServer", "Start", e.what());
    return nullptr;
  }
}
