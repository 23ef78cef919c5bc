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
// its handler runs and always on again afterwards. The login's deadline and the outage under way
// are the link's own members. The login state and the read count live in MyAppInfo
// (tMainSocketClientStateMachine[0], nTotalSocketReadEvents), where the console and the metrics
// read them; the keep-alive and reconnection counters (MyAppInfo.MyTimeoutEventsControl,
// bReconnecting, MyMainTimerControl.nReconnectTicks) are kept there too, though only the link
// and its tests use them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/untVariables.h"
#include "logging/untThinnedLine.h"
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

  // The deadline of the step that waits for the exchange, and the outage lines (untExchangeLink.cpp).
  void StartLinkWait(TMainSocketClientStateMachine_OPT tState);
  void ClearLinkWait();
  void BeginOutage();
  // The WARNING line of a failure in state tState, before the stop that follows it.
  void LogLinkFailure(TMainSocketClientStateMachine_OPT tState, const std::string& sEndpoint,
                      const std::string& sReason);
  // The login that ends an outage says how long the link was missing and how many attempts failed.
  void LogLinkLoggedIn(const std::string& sEndpoint);

  // The step of the connection that waits for the exchange, and since when.
  struct TLinkWait {
    TMainSocketClientStateMachine_OPT tState = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;  // CONNECTING (greeting)
                                            // or AUTHENTICATING (login answer); NONE: no deadline runs
    int64_t nSinceUs = 0;                   // MonotonicMicroseconds when the wait began
  };
  // An outage of the exchange link, from its first failure to the next login.
  struct TLinkOutage {
    bool bOn = false;                    // failures since the last login (or since start) are being counted
    bool bEverLoggedIn = false;          // a login has succeeded on this link
    int64_t nSinceUs = 0;                // MonotonicMicroseconds of the outage's first failure
    std::optional<TThinnedLine> Failed;  // failed attempts of this outage; a fresh count per outage
  };

  // ---- Control thread only ----
  TExchangeLinkEvents* pEvents = nullptr;  // the layer above, or null
  TLinkWait MyLinkWait;                    // the running deadline, if any
  TLinkOutage MyLinkOutage;                // the outage under way, if any
};
