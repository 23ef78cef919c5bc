// TExchangeLink, the exchange link: the one owner of the connection to the exchange's manager
// interface. It owns the socket, the login state machine, the keep-alive timer and the
// reconnection timer; the bytes of a read go from the socket through here to whoever registered
// for them, and nowhere else.
//
// Login, driven by the socket's reads:
//
//   NONE --Start--> CONNECTING --greeting--> AUTHENTICATING --"Response: Success" line--> RUNNING
//   (each read goes whole to ExchangeText). "Response: "+"Error" ends in a stop. Any Stop passes
//   through CLOSING and leaves NONE within the same call.
//
// Keep-alive, counted only while logged in (T = nServerTimeoutTmr seconds), one tick a second:
//
//          any read, start, stop: count := 0
//     +--------------------------------------------+
//     v                                            |
//   STEP1 --T silent ticks: send probe--> STEP2 --T silent ticks: Stop(0, False)--> STEP1
//
// Before the login the same tick checks the deadlines instead: no greeting within T of the TCP
// connect, or no answer within T of the login, stops the connection.
//
// Reconnection (R = nServerReconnectTmr seconds), armed by Stop(.., False), one tick every 5 s:
//
//   bReconnecting --tick: ticks := ticks + 1; ticks > R/5 (real)--> OnReconnect, cleared
//   not reconnecting --tick--> ticks := 0
//
// Every failure of a connection (refused, unresolved, reset, closed, rejected login, greeting or
// login answer overdue, probe unanswered) ends in Stop(0, False), so with automatic reconnection
// the cycle repeats without limit. An operator's stop leaves a pending reconnection pending.
//
// The log keeps the sources it always had: the login's lines are TValidate's operations, the
// socket's and the timers' lines the manager object's handlers.
//
// Control thread only: socket events and timer ticks never overlap, and each timer is off while
// its handler runs and always on again afterwards. The state lives in MyAppInfo
// (tMainSocketClientStateMachine[0], MyTimeoutEventsControl, bReconnecting,
// nTotalSocketReadEvents) and MyMainTimerControl.nReconnectTicks, where the console and the
// metrics read it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/untClientSocket.h"
#include "platform/untTimer.h"

// What the link tells the layer above it. Registered once at start-up; called on the control
// thread, from inside socket events and timer ticks, so nothing here may block.
class TExchangeLinkEvents {
 public:
  virtual ~TExchangeLinkEvents() = default;
  // The text of one read of the logged-in link, whole and unchanged (events may span reads).
  virtual void ExchangeText(const std::string& sText) = 0;
  // The link starts or stops: what was derived from the old connection no longer holds.
  virtual void ExchangeReset() = 0;
  // The link has stopped (its socket is closed).
  virtual void ExchangeStopped() = 0;
};

class TExchangeLink {
 public:
  TExchangeLink();
  ~TExchangeLink();
  TExchangeLink(const TExchangeLink&) = delete;
  TExchangeLink& operator=(const TExchangeLink&) = delete;

  // Registers the layer above; null unregisters it. Without one (before start-up wires it and
  // after the controller is gone) the socket's events are only logged and change nothing.
  void SetEvents(TExchangeLinkEvents* pEventsIn) { pEvents = pEventsIn; }
  // What a due reconnection runs: the manager's start, which also sets the console's controls.
  std::function<void()> OnReconnect;
  // Turns both timers on (every 1000 ms and every 5000 ms).
  void StartTimers();

  // ---- The connection (sources "TValidate.<operation>") ----
  bool Start(const std::string& sHost, int32_t nPort);
  bool Stop(int32_t nSocketClient, bool bDoNotAutoReconnect);
  // One read's text through the login state machine.
  bool Read(const std::string& sReceivedText, int32_t nSocketClient);
  // Once a second before the login: stops, as a lost connection, a connection whose greeting or
  // login answer has not come within nServerTimeoutTmr seconds. False on an error.
  bool Deadline(int32_t nSocketClient);
  // Every failure: writes the outage's WARNING line with sReason, then Stop(nSocketClient, False).
  bool Failed(int32_t nSocketClient, const std::string& sReason);

  // ---- Socket events and timer ticks (sources "TfrmTelvane.<handler>") ----
  void socManagerClientConnecting();
  void socManagerClientConnect();
  void socManagerClientDisconnect();
  void socManagerClientError(int& nErrorCode);
  void socManagerClientRead();
  void tmrAMIKeepAliveTimer();
  void tmrMainTimerReconnect();

  // ---- Owned (control thread) ----
  TClientSocket socManagerClient;  // the connection, index 0
  TTimer tmrAMIKeepAlive;          // every 1000 ms
  TTimer tmrReconnect;             // every 5000 ms

 private:
  void KeepAliveStep();
  std::string HostPort() const;  // "host:port)", the tail of the "(" messages
  std::string Endpoint() const;  // "host:port"

  TExchangeLinkEvents* pEvents = nullptr;  // the layer above, or null; control thread
};
