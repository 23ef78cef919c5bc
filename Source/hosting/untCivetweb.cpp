#include "hosting/untCivetweb.h"

#include <civetweb.h>

#include "logging/untUtil.h"

namespace {

// No keep-alive: each connection carries one request (or one WebSocket), so an idle browser or
// scraper holds no worker past its request. WebSocket desks sit idle for long stretches: their
// time-out is long and kept alive by pings.
constexpr const char* WEBSOCKET_TIMEOUT_MS = "3600000";

}  // namespace

std::string CivetwebPorts(const std::string& sBindIP, int32_t nPort) {
  const std::string sIP = Trim(sBindIP);
  const bool bIPv6 = sIP.find(':') != std::string::npos && sIP.front() != '[';
  return (bIPv6 ? "[" + sIP + "]" : sIP) + ":" + IntToStr(nPort);
}

void AcquireCivetweb() { mg_init_library(MG_FEATURES_DEFAULT); }

void ReleaseCivetweb() { mg_exit_library(); }

mg_context* StartCivetweb(const TCivetwebOptions& tOptions, std::string& sError) {
  const std::string sThreads = IntToStr(tOptions.nThreads);
  const char* vOptions[] = {"listening_ports",      tOptions.sPorts.c_str(),
                            "num_threads",          sThreads.c_str(),
                            "request_timeout_ms",   tOptions.sRequestTimeoutMs,
                            "enable_keep_alive",    "no",
                            "websocket_timeout_ms", WEBSOCKET_TIMEOUT_MS,
                            "enable_websocket_ping_pong", "yes",
                            nullptr};
  mg_callbacks tCallbacks{};
  tCallbacks.log_message = tOptions.fnLogMessage;
  mg_init_data tInit{&tCallbacks, nullptr, vOptions};
  char sText[256] = "";
  unsigned nCode = 0;
  mg_error_data tError{&nCode, sText, sizeof(sText)};
  mg_context* pContext = mg_start2(&tInit, &tError);
  if (pContext == nullptr) sError = sText[0] != '\0' ? sText : "the HTTP server did not start";
  return pContext;
}
