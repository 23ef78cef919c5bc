// civetweb as the relay's two HTTP servers start it (the metrics endpoint and the web server):
// the library's process-wide start and end, and the one option list both pass.
//
// Threads: control thread only (the manager object creates and destroys both servers there).
// civetweb's threads never see the options once it has started.
//
// No TLS: Debian's civetweb 1.15 loads OpenSSL at run time and, after every TLS handshake, calls
// SSL_get_peer_certificate through the table it loaded; OpenSSL 3 no longer exports that name
// (it is a macro there), so the call goes to address 0 and the whole process dies at the first
// HTTPS connection. Both servers therefore start the library without its TLS part; the web
// server's HTTPS and WSS go through the relay's own TLS front (untWebServer, platform/untTlsFront).
#pragma once

#include <cstdint>
#include <string>

struct mg_connection;
struct mg_context;

// The library's start for each server that runs; each Acquire is balanced by a Release. The
// library counts them, so two servers in one process start and end it once.
void AcquireCivetweb();
void ReleaseCivetweb();

// civetweb's listening_ports text for one address and port: "127.0.0.1:9100", "[::1]:9100".
std::string CivetwebPorts(const std::string& sBindIP, int32_t nPort);

struct TCivetwebOptions {
  std::string sPorts;                  // from CivetwebPorts
  int32_t nThreads = 0;                // civetweb's workers: each open connection holds one
  const char* sRequestTimeoutMs = "";  // the whole request, from the connect on
  int (*fnLogMessage)(const mg_connection*, const char*) = nullptr;  // civetweb's complaints
};

// Starts civetweb listening; null and sError (what went wrong) when it does not.
mg_context* StartCivetweb(const TCivetwebOptions& tOptions, std::string& sError);
