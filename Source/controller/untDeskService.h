// TDeskService, the desk service: the one owner of the desk listener (plain and TLS) with its
// connections. It wires the listener's events to its own handlers once, logs each event to the
// proxy pane and hands it to the client service's operations (admission, the slot table, the
// handshake and change commands), which reach the same listener through socManagerServer to start
// and stop it and to count connections. The fan-out writes through the session each slot holds.
//
// The log keeps the sources it always had: the listener's lines are the manager object's
// handlers ("TfrmTelvane.socManagerServerClientRead", ...).
//
// Control thread only: create, use and destroy it there. It lives as long as the manager object
// that owns it; while it lives it is published as socManagerServer.
#pragma once

#include <string>

#include "platform/untServerSocket.h"

class TDeskService {
 public:
  TDeskService();   // wires the listener's events and publishes it; the listener is inactive
  ~TDeskService();  // unpublishes; the listener closes without raising events
  TDeskService(const TDeskService&) = delete;
  TDeskService& operator=(const TDeskService&) = delete;

  // ---- The listener's events (sources "TfrmTelvane.<handler>") ----
  void socManagerServerListen();
  TAdmission_OPT socManagerServerAdmit(TServerConnection& connection);
  void socManagerServerAccept(TServerConnection& connection);
  void socManagerServerClientConnect(TServerConnection& connection);
  void socManagerServerClientDisconnect(TServerConnection& connection);
  void socManagerServerClientError(TServerConnection& connection, int& nErrorCode);
  void socManagerServerClientRead(TServerConnection& connection);
  void socManagerServerClientOverflow(TServerConnection& connection);
  void socManagerServerClientTimeout(TServerConnection& connection);
  void socManagerServerClientTlsError(TServerConnection& connection, const std::string& sReason);
  void socManagerServerAcceptError(const std::string& sReason);

  // ---- Owned (control thread) ----
  TServerSocket socManagerServer;  // the desk listener
};
