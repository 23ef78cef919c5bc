// The exchange connection as seen by the controller: start, stop and every read of connection 0.
//
//   NONE --StartSocketClient--> CONNECTING --greeting--> AUTHENTICATING --"Response: Success" line-->
//   RUNNING (each read goes whole into the raw-event ring).  "Response: "+"Error" ends in a stop.
//   Any StopSocketClient passes through CLOSING and leaves NONE within the same call.
//
// Deadlines (T = nServerTimeoutTmr seconds): once the TCP connection is open the greeting must come
// within T, and once the login is sent its answer must come within T; otherwise the connection is
// stopped like a lost one (a WARNING line names the step), so an exchange that accepts and then
// stays silent is retried rather than waited for without end. The keep-alive timer's tick checks
// them; data that is neither greeting nor answer does not extend them.
//
// Outages (what the log tells at every VERBOSE, as WARNING lines of "TValidate.ExchangeLink"): every
// failure path calls SocketClientFailed with the system's reason before the stop. A logged-in
// connection that goes down begins an outage with one "Lost" line; each failed attempt after that
// (or before the first login) is counted and written thinned (1st, 10th, 100th, ..., and once a
// minute while it goes on); the next login ends the outage with one line saying how long it lasted
// and how many attempts failed. An operator's stop is no failure and writes none of these.
//
// Control thread only (socket events, timers, operator actions); no lock is taken here except the
// raw-event ring's (inside its push) and the extension table's (inside its reset). The greeting is
// recognised as a case-sensitive substring of one read, the login's acceptance only as a whole line
// "Response: Success" of one read (a "Success" elsewhere, such as in a refusal's message, is not an
// acceptance): text split over two reads is never recognised. Texts are Windows-1252 bytes both on
// the wire and inside the program, so they pass through unconverted. Text that shares the login
// answer's read and follows its block (the first events) is forwarded like any later read rather
// than dropped.
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "controller/untValidate.h"
#include "logging/untCounters.h"
#include "logging/untDisplaySink.h"
#include "logging/untLogger.h"
#include "logging/untThinnedLine.h"
#include "logging/untUtil.h"
#include "pipeline/untGeneralMsgRead.h"
#include "platform/untClientSocket.h"
#include "startup/untMessage.h"

namespace {

const char* const GREETING_MARK = "Zunda Call Manager";

TClientSocket& ExchangeSocket() {
  if (socManagerClient == nullptr) throw std::runtime_error("Exchange socket not created");
  return *socManagerClient;
}

// host:port) of the exchange socket, the completion of the "(" messages.
std::string HostPort() {
  const TClientSocket& soc = ExchangeSocket();
  return soc.Host + ":" + IntToStr(soc.Port) + ")";
}

bool Contains(const std::string& sText, const char* sNeedle) { return sText.find(sNeedle) != std::string::npos; }

// True when one line of sText, without its line end, is exactly sLine. A line ends at LF or at the
// end of the text; a CR before that end is not part of it.
bool HasLine(const std::string& sText, const std::string& sLine) {
  for (size_t nFrom = 0; nFrom <= sText.size();) {
    size_t nEnd = sText.find('\n', nFrom);
    if (nEnd == std::string::npos) nEnd = sText.size();
    size_t nLength = nEnd - nFrom;
    if (nLength > 0 && sText[nEnd - 1] == '\r') --nLength;
    if (sText.compare(nFrom, nLength, sLine) == 0) return true;
    nFrom = nEnd + 1;
  }
  return false;
}

// The step of the connection that waits for the exchange, and since when. Control thread only.
struct TLinkWait {
  TMainSocketClientStateMachine_OPT tState = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;  // CONNECTING (greeting)
                                          // or AUTHENTICATING (login answer); NONE: no deadline runs
  int64_t nSinceUs = 0;                   // MonotonicMicroseconds when the wait began
};
TLinkWait MyLinkWait;

void StartLinkWait(TMainSocketClientStateMachine_OPT tState) { MyLinkWait = {tState, MonotonicMicroseconds()}; }
void ClearLinkWait() { MyLinkWait = {}; }

// An outage of the exchange link, from its first failure to the next login. Control thread only.
struct TLinkOutage {
  bool bOn = false;                     // failures since the last login (or since start) are being counted
  bool bEverLoggedIn = false;           // a login has succeeded since the process started
  int64_t nSinceUs = 0;                 // MonotonicMicroseconds of the outage's first failure
  std::optional<TThinnedLine> Failed;   // failed attempts of this outage; a fresh count per outage
};
TLinkOutage MyLinkOutage;

const char* const LINK_SOURCE = "TValidate.ExchangeLink";

void BeginOutage() {
  MyLinkOutage.bOn = true;
  MyLinkOutage.nSinceUs = MonotonicMicroseconds();
  MyLinkOutage.Failed.emplace();
}

// host:port of the exchange, without the closing parenthesis of the link's older messages.
std::string Endpoint() {
  const TClientSocket& soc = ExchangeSocket();
  return soc.Host + ":" + IntToStr(soc.Port);
}

// The WARNING line of a failure in state tState, before the stop that follows it.
void LogLinkFailure(TMainSocketClientStateMachine_OPT tState, const std::string& sReason) {
  if (tState == MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING) {
    BeginOutage();
    WriteLog(LINK_SOURCE, LOG_TARGET_MAIN, LOG_WARNING,
             "Lost the exchange link to " + Endpoint() + ": " + sReason +
                 (MyConfigInfo.bServerAutoReconnect ? "." : "; automatic reconnection is off."),
             false);
    return;
  }
  if (tState != MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING && tState != MAIN_SOCKET_CLIENT_STATE_MACHINE_AUTHENTICATING)
    return;  // no attempt under way: nothing failed
  if (!MyLinkOutage.bOn) BeginOutage();
  if (const uint64_t nCount = MyLinkOutage.Failed->Count(); nCount != 0)
    WriteLog(LINK_SOURCE, LOG_TARGET_MAIN, LOG_WARNING,
             "Attempt to reach the exchange at " + Endpoint() + " failed: " + sReason + TThinnedLine::SoFar(nCount),
             false);
}

// The login that ends an outage says how long the link was missing and how many attempts failed.
void LogLinkLoggedIn() {
  if (MyLinkOutage.bOn) {
    const int64_t nSeconds = (MonotonicMicroseconds() - MyLinkOutage.nSinceUs + 500000) / 1000000;
    const uint64_t nFailed = MyLinkOutage.Failed->Total();
    WriteLog(LINK_SOURCE, LOG_TARGET_MAIN, LOG_WARNING,
             "Logged in to the exchange at " + Endpoint() + (MyLinkOutage.bEverLoggedIn ? " again" : "") +
                 " after " + IntToStr(nSeconds) + " s (" + IntToStr(static_cast<int64_t>(nFailed)) +
                 (nFailed == 1 ? " failed attempt)." : " failed attempts)."),
             false);
  }
  MyLinkOutage.bOn = false;
  MyLinkOutage.bEverLoggedIn = true;
}

void LogError(const char* sOperation, const std::exception& e) { LogOperationError("TValidate", sOperation, e.what()); }

// What follows the login answer's block in the same read: events the exchange sent right after it.
// Empty when the block's closing empty line is not in this read.
std::string AfterLoginAnswer(const std::string& sText) {
  const size_t nEnd = sText.find("\r\n\r\n", sText.find("Response: "));
  return nEnd == std::string::npos ? std::string() : sText.substr(nEnd + 4);
}

void ResetKeepAlive() {
  MyAppInfo.MyTimeoutEventsControl.nTimeoutControl = 0;
  MyAppInfo.MyTimeoutEventsControl.tStateMachine = TIMEOUTEVENTS_STATE_STEP1;
}

// The console's connection controls back to "not connected"; nothing without a registered console.
// With this side stopped, "Start Proxy" has a side to start again.
void ShowClientStopped() {
  TDisplaySink* pSink = DisplaySink();
  if (pSink == nullptr) return;
  for (TControlId t : {CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET, CTL_CMD_START_CLIENT,
                       CTL_CMD_START_PROXY})
    pSink->SetEnabled(t, true);
  pSink->SetEnabled(CTL_CMD_STOP_CLIENT, false);
}

}  // namespace

bool TValidate::StartSocketClient(const std::string& sHost, int32_t nPort) {
  try {
    MyAppInfo.bReconnecting = false;
    WriteLog("TValidate.StartSocketClient", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(21) + sHost + ":" + IntToStr(nPort) + ")", false);
    MyAppInfo.tMainSocketClientStateMachine.at(0) = MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING;
    ClearLinkWait();  // the greeting's deadline starts once the TCP connection is open
    ResetKeepAlive();
    ResetPeerTable();
    TClientSocket& soc = ExchangeSocket();
    soc.SetActive(false);
    soc.Host = sHost;
    soc.Port = nPort;
    soc.bTls = MyConfigInfo.MyExchangeTls.bEnabled;
    soc.sTlsCaFile = MyConfigInfo.MyExchangeTls.sCaFile;
    soc.bTlsVerify = MyConfigInfo.MyExchangeTls.bVerify;
    soc.SetActive(true);  // the outcome arrives later through the socket's events
    return true;
  } catch (const std::exception& e) {
    LogError("StartSocketClient", e);
    return false;
  }
}

bool TValidate::StopSocketClient(int32_t nSocketClient, bool bDoNotAutoReconnect) {
  try {
    WriteLog("TValidate.StopSocketClient", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(22) + HostPort(), false);
    MyAppInfo.tMainSocketClientStateMachine.at(nSocketClient) = MAIN_SOCKET_CLIENT_STATE_MACHINE_CLOSING;
    ClearLinkWait();
    ResetKeepAlive();
    SocketClientRead("", nSocketClient);  // in CLOSING: logs the closure and deactivates the socket
    ResetPeerTable();
    if (MyAuditEvents.bEnabled) AuditStop();
    if (!bDoNotAutoReconnect) {
      // Logged once per pending reconnection, not on every failed attempt while one is pending.
      if (MyConfigInfo.bServerAutoReconnect && !MyAppInfo.bReconnecting)
        WriteLog("TfrmTelvane.socManagerClientDisconnect", LOG_TARGET_MAIN, LOG_VERBOSE, "AMI Auto Reconnect Process...", true);
      MyAppInfo.bReconnecting = MyConfigInfo.bServerAutoReconnect;
    }
    ShowClientStopped();
    return true;
  } catch (const std::exception& e) {
    LogError("StopSocketClient", e);
    return false;
  }
}

bool TValidate::SocketClientRead(const std::string& sReceivedText, int32_t nSocketClient) {
  const char* sSource = "TValidate.SocketClientRead";
  try {
    TMainSocketClientStateMachine_OPT& tState = MyAppInfo.tMainSocketClientStateMachine.at(nSocketClient);
    switch (tState) {
      case MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING:
        if (Contains(sReceivedText, GREETING_MARK)) {
          tState = MAIN_SOCKET_CLIENT_STATE_MACHINE_AUTHENTICATING;
          StartLinkWait(tState);
          WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, Msg(23) + HostPort(), true);
          ExchangeSocket().SendText("Action: Login\r\nUsername: " + MyConfigInfo.sUsername +
                                    "\r\nSecret: " + MyConfigInfo.sSecret + "\r\n\r\n");
        }
        break;
      case MAIN_SOCKET_CLIENT_STATE_MACHINE_AUTHENTICATING:
        if (!Contains(sReceivedText, "Response: ")) break;
        if (HasLine(sReceivedText, "Response: Success")) {
          ClearLinkWait();
          WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, Msg(24) + HostPort(), true);
          tState = MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING;
          WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, Msg(26) + HostPort(), true);
          LogLinkLoggedIn();
          ExchangeSocket().SendText("Action: Queues\r\n\r\n");
          // Events that shared the answer's read would otherwise be lost; they go on as a read of
          // the running connection would.
          if (const std::string sRest = AfterLoginAnswer(sReceivedText); !sRest.empty())
            SocketClientRead(sRest, nSocketClient);
        } else if (Contains(sReceivedText, "Error")) {
          WriteLog(sSource, LOG_TARGET_MAIN, LOG_WARNING, Msg(25) + HostPort(), true);
          SocketClientFailed(nSocketClient, "login rejected");
        }
        break;
      case MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING:
        // Whole and unchanged: the splitter reassembles events that span reads.
        TGeneralMsgRead::GeneralMsgRead(MakeText(sReceivedText, MonotonicMicroseconds()));
        PrintGeneralLogReceived(sReceivedText);
        break;
      case MAIN_SOCKET_CLIENT_STATE_MACHINE_CLOSING:
        WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, Msg(27) + HostPort(), true);
        tState = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;
        MyAppInfo.nTotalSocketReadEvents = 0;
        ExchangeSocket().SetActive(false);
        break;
      case MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE:
        break;
    }
    return true;
  } catch (const std::exception& e) {
    LogError("SocketClientRead", e);
    return false;
  }
}

void TValidate::SocketClientConnected(int32_t nSocketClient) {
  if (MyAppInfo.tMainSocketClientStateMachine.at(nSocketClient) == MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING)
    StartLinkWait(MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING);
}

bool TValidate::SocketClientDeadline(int32_t nSocketClient) {
  try {
    const TMainSocketClientStateMachine_OPT tState = MyAppInfo.tMainSocketClientStateMachine.at(nSocketClient);
    // A state set by other means than this file's transitions, or a socket already closed, has no
    // deadline to enforce.
    if (MyLinkWait.tState != tState || !ExchangeSocket().Active()) ClearLinkWait();
    if (MyLinkWait.tState == MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE) return true;
    const int32_t nSeconds = MyConfigInfo.nServerTimeoutTmr;
    if (MonotonicMicroseconds() - MyLinkWait.nSinceUs < static_cast<int64_t>(nSeconds) * 1000000) return true;
    const char* sStep =
        tState == MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING ? "no greeting" : "no answer to the login";
    WriteLog("TValidate.SocketClientDeadline", LOG_TARGET_MAIN, LOG_WARNING,
             std::string("The exchange sent ") + sStep + " within " + IntToStr(nSeconds) +
                 " s; closing the connection.",
             true);
    return SocketClientFailed(nSocketClient, std::string(sStep) + " within " + IntToStr(nSeconds) + " s");
  } catch (const std::exception& e) {
    LogError("SocketClientDeadline", e);
    return false;
  }
}

bool TValidate::SocketClientFailed(int32_t nSocketClient, const std::string& sReason) {
  try {
    LogLinkFailure(MyAppInfo.tMainSocketClientStateMachine.at(nSocketClient), sReason);
  } catch (const std::exception& e) {
    LogError("SocketClientFailed", e);
  }
  return StopSocketClient(nSocketClient, false);  // the stop happens whatever the line's fate
}
