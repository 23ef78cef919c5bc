// The exchange link: its socket's events, the login state machine, the greeting and login
// deadlines, the outage lines, keep-alive and reconnection. See the header for the state diagrams.
//
// Deadlines (T = nServerTimeoutTmr seconds): once the TCP connection is open the greeting must come
// within T, and once the login is sent its answer must come within T; otherwise the connection is
// stopped like a lost one (a WARNING line names the step), so an exchange that accepts and then
// stays silent is retried rather than waited for without end. Data that is neither greeting nor
// answer does not extend them.
//
// Outages (what the log tells at every VERBOSE, as WARNING lines of "TValidate.ExchangeLink"): every
// failure path calls Failed with the system's reason before the stop. A logged-in connection that
// goes down begins an outage with one "Lost" line; each failed attempt after that (or before the
// first login) is counted and written thinned (1st, 10th, 100th, ..., and once a minute while it
// goes on); the next login ends the outage with one line saying how long it lasted and how many
// attempts failed. An operator's stop is no failure and writes none of these.
//
// The greeting is recognised as a case-sensitive substring of one read, the login's acceptance only
// as a whole line "Response: Success" of one read (a "Success" elsewhere, such as in a refusal's
// message, is not an acceptance): text split over two reads is never recognised. Texts are
// Windows-1252 bytes both on the wire and inside the program, so they pass through unconverted.
// Text that shares the login answer's read and follows its block (the first events) is forwarded
// like any later read rather than dropped.
//
// Control thread only; no lock is taken here.
#include "controller/untExchangeLink.h"

#include <exception>
#include <limits>
#include <optional>

#include "base/untMessage.h"
#include "base/untVariables.h"
#include "logging/untCounters.h"
#include "logging/untDisplaySink.h"
#include "logging/untLogger.h"
#include "logging/untThinnedLine.h"
#include "logging/untUtil.h"

namespace {

const char* const GREETING_MARK = "Zunda Call Manager";

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

const char* const LINK_SOURCE = "TValidate.ExchangeLink";

}  // namespace

void TExchangeLink::StartLinkWait(TMainSocketClientStateMachine_OPT tState) {
  MyLinkWait = {tState, MonotonicMicroseconds()};
}
void TExchangeLink::ClearLinkWait() { MyLinkWait = {}; }

void TExchangeLink::BeginOutage() {
  MyLinkOutage.bOn = true;
  MyLinkOutage.nSinceUs = MonotonicMicroseconds();
  MyLinkOutage.Failed.emplace();
}

// The WARNING line of a failure in state tState, before the stop that follows it.
void TExchangeLink::LogLinkFailure(TMainSocketClientStateMachine_OPT tState, const std::string& sEndpoint,
                                   const std::string& sReason) {
  if (tState == MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING) {
    BeginOutage();
    WriteLog(LINK_SOURCE, LOG_TARGET_MAIN, LOG_WARNING,
             "Lost the exchange link to " + sEndpoint + ": " + sReason +
                 (MyConfigInfo.bServerAutoReconnect ? "." : "; automatic reconnection is off."),
             false);
    return;
  }
  if (tState != MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING && tState != MAIN_SOCKET_CLIENT_STATE_MACHINE_AUTHENTICATING)
    return;  // no attempt under way: nothing failed
  if (!MyLinkOutage.bOn) BeginOutage();
  if (const uint64_t nCount = MyLinkOutage.Failed->Count(); nCount != 0)
    WriteLog(LINK_SOURCE, LOG_TARGET_MAIN, LOG_WARNING,
             "Attempt to reach the exchange at " + sEndpoint + " failed: " + sReason + TThinnedLine::SoFar(nCount),
             false);
}

// The login that ends an outage says how long the link was missing and how many attempts failed.
void TExchangeLink::LogLinkLoggedIn(const std::string& sEndpoint) {
  if (MyLinkOutage.bOn) {
    const int64_t nSeconds = (MonotonicMicroseconds() - MyLinkOutage.nSinceUs + 500000) / 1000000;
    const uint64_t nFailed = MyLinkOutage.Failed->Total();
    WriteLog(LINK_SOURCE, LOG_TARGET_MAIN, LOG_WARNING,
             "Logged in to the exchange at " + sEndpoint + (MyLinkOutage.bEverLoggedIn ? " again" : "") +
                 " after " + IntToStr(nSeconds) + " s (" + IntToStr(static_cast<int64_t>(nFailed)) +
                 (nFailed == 1 ? " failed attempt)." : " failed attempts)."),
             false);
  }
  MyLinkOutage.bOn = false;
  MyLinkOutage.bEverLoggedIn = true;
}

namespace {

void LogError(const char* sOperation, const std::exception& e) { LogOperationError("TValidate", sOperation, e.what()); }

void LogTimerError(const char* sSource, const std::exception& e, const char* sWhere) {
  WriteErrorLog(sSource, LOG_TARGET_MAIN, e.what(), std::string("Main Timer") + sWhere);
}

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

}  // namespace

TExchangeLink::TExchangeLink() {
  socManagerClient.Tag = 0;
  socManagerClient.OnConnecting = [this] { socManagerClientConnecting(); };
  socManagerClient.OnConnect = [this] { socManagerClientConnect(); };
  socManagerClient.OnDisconnect = [this] { socManagerClientDisconnect(); };
  socManagerClient.OnError = [this](int& nCode) { socManagerClientError(nCode); };
  socManagerClient.OnRead = [this] { socManagerClientRead(); };
  tmrAMIKeepAlive.OnTimer = [this] { tmrAMIKeepAliveTimer(); };
  tmrReconnect.OnTimer = [this] {
    // Ticks never overlap: the timer is off while its handler runs and always on again afterwards.
    tmrReconnect.SetEnabled(false);
    tmrMainTimerReconnect();
    tmrReconnect.SetEnabled(true);
  };
}

TExchangeLink::~TExchangeLink() {
  tmrAMIKeepAlive.SetEnabled(false);
  tmrReconnect.SetEnabled(false);
  socManagerClient.SetActive(false);  // raises no event
}

void TExchangeLink::StartTimers() {
  tmrReconnect.SetInterval(5000);
  tmrAMIKeepAlive.SetInterval(1000);
  tmrReconnect.SetEnabled(true);
  tmrAMIKeepAlive.SetEnabled(true);
}

std::string TExchangeLink::Endpoint() const { return socManagerClient.Host + ":" + IntToStr(socManagerClient.Port); }
std::string TExchangeLink::HostPort() const { return Endpoint() + ")"; }

bool TExchangeLink::Start(const std::string& sHost, int32_t nPort) {
  try {
    MyAppInfo.bReconnecting = false;
    WriteLog("TValidate.StartSocketClient", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(21) + sHost + ":" + IntToStr(nPort) + ")", false);
    MyAppInfo.tMainSocketClientStateMachine.at(0) = MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING;
    ClearLinkWait();  // the greeting's deadline starts once the TCP connection is open
    ResetKeepAlive();
    if (pEvents != nullptr) pEvents->ExchangeReset();
    TClientSocket& soc = socManagerClient;
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

bool TExchangeLink::Stop(int32_t nSocketClient, bool bDoNotAutoReconnect) {
  try {
    WriteLog("TValidate.StopSocketClient", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(22) + HostPort(), false);
    MyAppInfo.tMainSocketClientStateMachine.at(nSocketClient) = MAIN_SOCKET_CLIENT_STATE_MACHINE_CLOSING;
    ClearLinkWait();
    ResetKeepAlive();
    Read("", nSocketClient);  // in CLOSING: logs the closure and deactivates the socket
    if (pEvents != nullptr) {
      pEvents->ExchangeReset();
      pEvents->ExchangeStopped();
    }
    if (!bDoNotAutoReconnect) {
      // Logged once per pending reconnection, not on every failed attempt while one is pending.
      if (MyConfigInfo.bServerAutoReconnect && !MyAppInfo.bReconnecting)
        WriteLog("TfrmTelvane.socManagerClientDisconnect", LOG_TARGET_MAIN, LOG_VERBOSE, "AMI Auto Reconnect Process...", true);
      MyAppInfo.bReconnecting = MyConfigInfo.bServerAutoReconnect;
    }
    return true;
  } catch (const std::exception& e) {
    LogError("StopSocketClient", e);
    return false;
  }
}

bool TExchangeLink::Read(const std::string& sReceivedText, int32_t nSocketClient) {
  const char* sSource = "TValidate.SocketClientRead";
  try {
    TMainSocketClientStateMachine_OPT& tState = MyAppInfo.tMainSocketClientStateMachine.at(nSocketClient);
    switch (tState) {
      case MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING:
        if (Contains(sReceivedText, GREETING_MARK)) {
          tState = MAIN_SOCKET_CLIENT_STATE_MACHINE_AUTHENTICATING;
          StartLinkWait(tState);
          WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, Msg(23) + HostPort(), true);
          socManagerClient.SendText("Action: Login\r\nUsername: " + MyConfigInfo.sUsername +
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
          LogLinkLoggedIn(Endpoint());
          socManagerClient.SendText("Action: Queues\r\n\r\n");
          // Events that shared the answer's read would otherwise be lost; they go on as a read of
          // the running connection would.
          if (const std::string sRest = AfterLoginAnswer(sReceivedText); !sRest.empty()) Read(sRest, nSocketClient);
        } else if (Contains(sReceivedText, "Error")) {
          WriteLog(sSource, LOG_TARGET_MAIN, LOG_WARNING, Msg(25) + HostPort(), true);
          Failed(nSocketClient, "login rejected");
        }
        break;
      case MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING:
        // Whole and unchanged: the splitter reassembles events that span reads.
        if (pEvents != nullptr) pEvents->ExchangeText(sReceivedText);
        break;
      case MAIN_SOCKET_CLIENT_STATE_MACHINE_CLOSING:
        WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, Msg(27) + HostPort(), true);
        tState = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;
        MyAppInfo.nTotalSocketReadEvents = 0;
        socManagerClient.SetActive(false);
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

bool TExchangeLink::Deadline(int32_t nSocketClient) {
  try {
    const TMainSocketClientStateMachine_OPT tState = MyAppInfo.tMainSocketClientStateMachine.at(nSocketClient);
    // A state set by other means than this file's transitions, or a socket already closed, has no
    // deadline to enforce.
    if (MyLinkWait.tState != tState || !socManagerClient.Active()) ClearLinkWait();
    if (MyLinkWait.tState == MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE) return true;
    const int32_t nSeconds = MyConfigInfo.nServerTimeoutTmr;
    if (MonotonicMicroseconds() - MyLinkWait.nSinceUs < static_cast<int64_t>(nSeconds) * 1000000) return true;
    const char* sStep =
        tState == MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING ? "no greeting" : "no answer to the login";
    WriteLog("TValidate.SocketClientDeadline", LOG_TARGET_MAIN, LOG_WARNING,
             std::string("The exchange sent ") + sStep + " within " + IntToStr(nSeconds) +
                 " s; closing the connection.",
             true);
    return Failed(nSocketClient, std::string(sStep) + " within " + IntToStr(nSeconds) + " s");
  } catch (const std::exception& e) {
    LogError("SocketClientDeadline", e);
    return false;
  }
}

bool TExchangeLink::Failed(int32_t nSocketClient, const std::string& sReason) {
  try {
    LogLinkFailure(MyAppInfo.tMainSocketClientStateMachine.at(nSocketClient), Endpoint(), sReason);
  } catch (const std::exception& e) {
    LogError("SocketClientFailed", e);
  }
  return Stop(nSocketClient, false);  // the stop happens whatever the line's fate
}

// ---- Socket events ----

void TExchangeLink::socManagerClientConnecting() {
  try {
    WriteLog("TfrmTelvane.socManagerClientConnecting", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(19) + socManagerClient.Host + ")", false);
  } catch (const std::exception&) {
    // A socket event's failure has no line of its own; the read handler's has.
  }
}

void TExchangeLink::socManagerClientConnect() {
  try {
    WriteLog("TfrmTelvane.socManagerClientConnect", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(18) + socManagerClient.Host + ")", false);
    // The TCP connection is open: the greeting's deadline starts now.
    if (pEvents != nullptr && MyAppInfo.tMainSocketClientStateMachine.at(socManagerClient.Tag) ==
                                  MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING)
      StartLinkWait(MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING);
  } catch (const std::exception&) {
    // A socket event's failure has no line of its own; the read handler's has.
  }
}

void TExchangeLink::socManagerClientDisconnect() {
  try {
    WriteLog("TfrmTelvane.socManagerClientDisconnect", LOG_TARGET_MAIN, LOG_VERBOSE,
             Msg(20) + socManagerClient.RemoteAddress() + ")", true);
    if (pEvents != nullptr) Failed(0, "connection closed by the exchange");
  } catch (const std::exception&) {
    // A socket event's failure has no line of its own; the read handler's has.
  }
}

void TExchangeLink::socManagerClientError(int& nErrorCode) {
  try {
    nErrorCode = 0;  // handled here: the socket layer raises nothing further
    WriteLog("TfrmTelvane.socManagerClientError", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(4) + socManagerClient.Host + ")", false);
    // Over TLS the reason matters to the operator (a refused certificate, an unknown authority).
    if (socManagerClient.bTls)
      WriteLog("TfrmTelvane.socManagerClientError", LOG_TARGET_MAIN, LOG_WARNING,
               "Exchange link over TLS failed (" + Endpoint() + "): " + socManagerClient.LastErrorText(), false);
    // A failed connect attempt ends here too; the system's reason goes in the WARNING line that
    // follows the general error line.
    const std::string sReason = socManagerClient.LastErrorText();
    if (pEvents != nullptr) Failed(0, sReason.empty() ? "socket error" : sReason);
  } catch (const std::exception&) {
    // A socket event's failure has no line of its own; the read handler's has.
  }
}

void TExchangeLink::socManagerClientRead() {
  try {
    int32_t& nReads = MyAppInfo.nTotalSocketReadEvents;
    nReads = nReads == std::numeric_limits<int32_t>::max() ? 0 : nReads + 1;
    ResetKeepAlive();  // any data proves the link alive, whatever the state
    const std::string sText = socManagerClient.ReceiveText();
    CountUp(MyCounters.nExchangeBytes, sText.size());
    if (pEvents != nullptr) Read(sText, socManagerClient.Tag);
    TDisplaySink* pSink = DisplaySink();
    if (pSink != nullptr && MyAppInfo.nTotalSocketReadEvents % 10 == 0)
      pSink->SetStatus(STB_MAIN, 0, Msg(59) + IntToStr(MyAppInfo.nTotalSocketReadEvents));
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerClientRead", e.what());
  }
}

// ---- Timers ----

// One keep-alive step, taken when T silent seconds have been counted.
void TExchangeLink::KeepAliveStep() {
  TTimeoutEventsControl& keep = MyAppInfo.MyTimeoutEventsControl;
  const std::string sSeconds = IntToStr(MyConfigInfo.nServerTimeoutTmr);
  keep.nTimeoutControl = 0;
  if (keep.tStateMachine == TIMEOUTEVENTS_STATE_STEP1) {
    // Set before the send: if the send fails, the next silent period still closes the connection.
    keep.tStateMachine = TIMEOUTEVENTS_STATE_STEP2;
    WriteLog("TfrmTelvane.tmrAMIKeepAliveTimer", LOG_TARGET_MAIN, LOG_VERBOSE,
             "Timer of Keep Alive(" + sSeconds + "s) - Step 1. Sending command to AMI Server...", false);
    socManagerClient.SendText("Action: Command\r\nCommand: core show uptime\r\n\r\n");
  } else {
    keep.tStateMachine = TIMEOUTEVENTS_STATE_STEP1;
    WriteLog("TfrmTelvane.tmrAMIKeepAliveTimer", LOG_TARGET_MAIN, LOG_VERBOSE,
             "Timer of Keep Alive(" + sSeconds + "s) - Step 2. Restarting Connection with AMI Server...", false);
    if (pEvents != nullptr) Failed(0, "keep-alive probe unanswered for " + sSeconds + " s");
  }
}

void TExchangeLink::tmrAMIKeepAliveTimer() {
  tmrAMIKeepAlive.SetEnabled(false);  // ticks never overlap
  bool bActing = false;
  try {
    TTimeoutEventsControl& keep = MyAppInfo.MyTimeoutEventsControl;
    if (MyAppInfo.tMainSocketClientStateMachine[0] == MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING) {
      if (keep.nTimeoutControl < std::numeric_limits<int32_t>::max()) ++keep.nTimeoutControl;
      if (keep.nTimeoutControl >= MyConfigInfo.nServerTimeoutTmr) {
        bActing = true;
        KeepAliveStep();
      }
    } else if (pEvents != nullptr) {
      Deadline(0);  // the greeting or the login answer may be overdue
    }
  } catch (const std::exception& e) {
    // (A console in a terminal has no busy mouse pointer to restore.)
    LogTimerError("TfrmTelvane.tmrAMIKeepAliveTimer", e, bActing ? " (MyAppInfo.nTimeoutControl)" : "");
  }
  tmrAMIKeepAlive.SetEnabled(true);
}

void TExchangeLink::tmrMainTimerReconnect() {
  bool bActing = false;
  try {
    if (!MyAppInfo.bReconnecting) {
      MyMainTimerControl.nReconnectTicks = 0;
      return;
    }
    bActing = true;
    const int32_t nSeconds = MyConfigInfo.nServerReconnectTmr;
    ++MyMainTimerControl.nReconnectTicks;
    if (static_cast<double>(MyMainTimerControl.nReconnectTicks) > static_cast<double>(nSeconds) * 1000.0 / 5000.0) {
      WriteLog("TfrmTelvane.tmrMainTimer", LOG_TARGET_MAIN, LOG_VERBOSE, "Timer of Auto Reconnect: " + IntToStr(nSeconds) + " seconds...",
               false);
      MyMainTimerControl.nReconnectTicks = 0;
      MyAppInfo.bReconnecting = false;
      WriteLog("TfrmTelvane.tmrMainTimer", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(14) + IntToStr(nSeconds), false);
      CountUp(MyCounters.nExchangeReconnects);
      if (OnReconnect) OnReconnect();
    }
  } catch (const std::exception& e) {
    LogTimerError("TfrmTelvane.tmrMainTimer", e, bActing ? " (MyAppInfo.bReconnecting)" : "");
  }
}
