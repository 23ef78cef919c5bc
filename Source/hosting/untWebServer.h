// The web server of [WEB]: the wallboard page and its files (GET /, embedded in the binary) and
// the web desks' WebSocket (GET /events), served by civetweb on [WEB] BINDIP:PORT, or on the
// metrics endpoint's listener when both name the same port. With TLSCERT and TLSKEY set, the page
// and the desks speak HTTPS and WSS: the relay's TLS front (platform/untTlsFront) listens on
// BINDIP:PORT and passes each connection on to civetweb, started plain on a loopback port of its
// own; the desks and the log lines name the real peer, which the front publishes per loopback
// connection. A connection to that loopback port that did not come through the front is refused,
// so nothing is served in plain text where the site asked for TLS. TLS never shares the metrics
// endpoint's port (an error line says so).
//
// Threads: created and destroyed on the control thread by the manager object. civetweb serves on
// threads of its own: they read only the values fixed before it starts (the allow-list, the
// limits, the page's bytes) and a counter of open connections; every WebSocket event (a desk
// opens, sends a message, closes) goes to the desk table (untWebDesks) by the blocking hand-over.
// Each connection has a writer thread that drains its bounded queue with mg_websocket_write; the
// queue's lock is never held while writing, and the control thread never waits for a writer.
// A connection's civetweb thread joins its writer when the connection ends.
// A 1 s timer drives the desk table's deadlines, the link state and the drop notices. The front
// runs on the control thread; civetweb's threads read only its published map of peers.
#pragma once

#include <memory>

#include "platform/untTimer.h"

struct mg_context;
class TTlsFront;

class TWebServer {
 public:
  // Control thread. pSharedContext: the metrics endpoint's civetweb, when [WEB] PORT is its port.
  explicit TWebServer(mg_context* pSharedContext);
  ~TWebServer();
  TWebServer(const TWebServer&) = delete;
  TWebServer& operator=(const TWebServer&) = delete;

 private:
  void Stop();  // stops serving: the front, then civetweb; control thread

  mg_context* pContext = nullptr;  // civetweb (own or shared); null when not serving
  bool bOwnContext = false;        // started here, so stopped here
  std::unique_ptr<TTlsFront> pFront;  // with TLS: faces the network for civetweb; control thread
  TTimer tmrTick;                  // every 1000 ms; control thread
};

// The server for MyConfigInfo.MyWeb, or null when its PORT is 0. Control thread.
std::unique_ptr<TWebServer> StartWebServer(mg_context* pMetricsContext);
