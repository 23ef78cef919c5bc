// The exchange connection as seen by the controller. The link (untExchangeLink) owns the socket,
// the login, keep-alive and reconnection; the controller is registered with it at start-up and
// takes what the link hands up: the text of every logged-in read goes whole into the raw-event
// ring and the "Received" pane, and a start or stop resets the extension table and, on a stop,
// ends a running capture and gives the console's connection controls back.
//
// StartSocketClient, StopSocketClient and SocketClientRead are the link's own operations, kept
// here under the names the operator's log has always shown.
//
// Control thread only; no lock is taken here except the raw-event ring's (inside its push) and the
// extension table's (inside its reset).
#include <exception>
#include <stdexcept>
#include <string>

#include "controller/untExchangeLink.h"
#include "controller/untValidate.h"
#include "logging/untCounters.h"
#include "logging/untDisplaySink.h"
#include "logging/untLogger.h"
#include "pipeline/untGeneralMsgRead.h"

namespace {

void LogError(const char* sOperation, const std::exception& e) { LogOperationError("TValidate", sOperation, e.what()); }

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

void TValidate::AttachExchangeLink(TExchangeLink* pLink) {
  if (pExchangeLink != nullptr && pExchangeLink != pLink) pExchangeLink->SetEvents(nullptr);
  pExchangeLink = pLink;
  if (pExchangeLink != nullptr) pExchangeLink->SetEvents(this);
}

TExchangeLink& TValidate::ExchangeLink() const {
  if (pExchangeLink == nullptr) throw std::runtime_error("Exchange socket not created");
  return *pExchangeLink;
}

bool TValidate::StartSocketClient(const std::string& sHost, int32_t nPort) {
  try {
    return ExchangeLink().Start(sHost, nPort);
  } catch (const std::exception& e) {
    LogError("StartSocketClient", e);
    return false;
  }
}

bool TValidate::StopSocketClient(int32_t nSocketClient, bool bDoNotAutoReconnect) {
  try {
    return ExchangeLink().Stop(nSocketClient, bDoNotAutoReconnect);
  } catch (const std::exception& e) {
    LogError("StopSocketClient", e);
    return false;
  }
}

bool TValidate::SocketClientRead(const std::string& sReceivedText, int32_t nSocketClient) {
  try {
    return ExchangeLink().Read(sReceivedText, nSocketClient);
  } catch (const std::exception& e) {
    LogError("SocketClientRead", e);
    return false;
  }
}

void TValidate::ExchangeText(const std::string& sText) {
  try {
    TGeneralMsgRead::GeneralMsgRead(MakeText(sText, MonotonicMicroseconds()));
    PrintGeneralLogReceived(sText);
  } catch (const std::exception& e) {
    LogError("SocketClientRead", e);
  }
}

void TValidate::ExchangeReset() { ResetPeerTable(); }

void TValidate::ExchangeStopped() {
  try {
    if (MyAuditEvents.bEnabled) AuditStop();
    ShowClientStopped();
  } catch (const std::exception& e) {
    LogError("StopSocketClient", e);
  }
}
