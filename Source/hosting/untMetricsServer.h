// The metrics and health endpoint: an embedded HTTP server (civetweb) on [METRICS] BINDIP:PORT
// that answers GET /metrics (Prometheus text format) and GET /healthz (200 "ok" or 503 and why).
//
// Threads: created and destroyed on the control thread (by the manager object, in both modes).
// civetweb answers on threads of its own; they read the counters (logging/untCounters.h), the
// gauges published there and the process figures, and nothing else of the relay: no lock of the
// relay is taken, no hand-over is made, so a scrape can never slow a stage. The gauges are stored
// by tmrPublish once a second on the control thread, the one thread that may read the client
// slots, the exchange state and the listener; the stages themselves only add to counters.
// The destructor stops civetweb and waits for its threads (they never wait for anything of ours).
//
// A failure to listen (port taken, address not local, BINDIP not one address) is one ERROR line
// in the log; the relay runs on without the endpoint. Requests are bounded by civetweb (16 KiB of
// request, 64 workers, a 2 s time-out for the whole request from the connect on, no keep-alive),
// so idle connections cannot starve a scrape; anything but GET or HEAD of the two paths gets 404
// or 405.
#pragma once

#include <memory>

#include "base/untVariables.h"
#include "platform/untTimer.h"

struct mg_context;
class TServerSocket;

class TMetricsServer {
 public:
  // Control thread. Publishes the gauges once, starts listening and the publish timer.
  // pDeskListener: the desk listener whose state the gauges show (null: shown closed); it must
  // outlive this object.
  TMetricsServer(const TMetricsConfig& tConfig, const TServerSocket* pDeskListenerIn);
  ~TMetricsServer();
  TMetricsServer(const TMetricsServer&) = delete;
  TMetricsServer& operator=(const TMetricsServer&) = delete;

  // The civetweb context, for the web server that shares the port; null when not listening.
  mg_context* Context() const { return pContext; }

  // Control thread: stores every gauge of MyCounters from the relay's state (the timer's tick).
  void PublishGauges();

 private:
  mg_context* pContext = nullptr;  // civetweb; null when not listening
  TTimer tmrPublish;               // every 1000 ms; control thread
  const TServerSocket* pDeskListener;  // the desk listener, read by the gauges; control thread
};

// The endpoint for MyConfigInfo.MyMetrics, or null when its PORT is 0. Control thread; the manager
// object owns it for its whole life.
std::unique_ptr<TMetricsServer> StartMetricsServer(const TServerSocket* pDeskListener);
