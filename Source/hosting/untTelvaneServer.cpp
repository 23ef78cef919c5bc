// socManagerServer's events: log each one to the proxy pane and hand it to the client service.
//
// Control thread only, one event at a time. A peer is first asked about (admission: allow-list and
// per-address limit); a refused one raises nothing more, a held one nothing until it is let in, and
// the handshake deadline of both starts then. A connection takes a slot when it connects and
// never later; the slot is released by its
// disconnect (also after an error, an overflow cut-off, a failed TLS handshake or a passed
// deadline, which the listener follows with a disconnect). A read is logged whole, then given to
// the handshake of the slot that holds the session; a connection without a slot is only logged,
// and only its first KiB, so a stranger cannot fill the log. Every handler swallows its own
// errors: nothing reaches the event loop.
//
// Accept failures for lack of descriptors come every 100 ms for as long as the shortage lasts; they
// are logged thinned (the 1st, 10th, 100th, ... of a shortage), and the first accept after one
// says how many attempts failed, so the log shows when it began and when it ended.
#include <string>

#include "controller/untValidate.h"
#include "controller/untValidateServer.h"
#include "hosting/untTelvane.h"
#include "logging/untCounters.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "platform/untServerSocket.h"
#include "startup/untMessage.h"
#include "startup/untVariables.h"

namespace {

constexpr size_t SLOTLESS_LOG_BYTES = 1024;  // log copy of a read from a connection without a slot
uint64_t nAcceptFailures = 0;  // failed accepts of the current shortage; control thread

void LogEvent(const char* sHandler, const std::string& sText, int nLevel = LOG_VERBOSE) {
  WriteLog(std::string("TfrmTelvane.") + sHandler, LOG_TARGET_PROXY, nLevel, sText, false);
}

std::string ConnectionCount() {
  return IntToStr(socManagerServer != nullptr ? socManagerServer->ActiveConnections() : 0);
}

// count ":" address ":" port ")", the tail of messages 28, 29 and 32.
std::string CountAndPeer(const TServerConnection& connection) {
  return ConnectionCount() + ":" + connection.RemoteAddress() + ":" + IntToStr(connection.RemotePort()) + ")";
}

// The read's log copy in quotes, without its CR LF pairs; cut for a connection without a slot,
// with the read's full size after it.
std::string QuotedLogCopy(const std::string& sText, bool bHasSlot) {
  const std::string sCopy = RemoveAllCrLfPairs(sText);
  if (bHasSlot || sCopy.size() <= SLOTLESS_LOG_BYTES) return "\"" + sCopy + "\"";
  return "\"" + sCopy.substr(0, SLOTLESS_LOG_BYTES) + "\" (" + IntToStr(static_cast<int64_t>(sText.size())) + " bytes)";
}

// The slot that holds this session, or -1 (it found no free slot).
int32_t FindSlot(const TServerConnection& connection) {
  for (int32_t i = 0; i < MAX_CLIENT_SLOTS; ++i)
    if (MyAppInfo.MyServerSocketInfo[i].pConnection == &connection) return i;
  return -1;
}

// The session's index in the listener's list, which the read's log line names.
int32_t FindConnection(const TServerConnection& connection) {
  const int nCount = socManagerServer != nullptr ? socManagerServer->ActiveConnections() : 0;
  for (int n = 0; n < nCount; ++n)
    if (socManagerServer->Connections(n) == &connection) return n;
  return -1;
}

}  // namespace

void TfrmTelvane::socManagerServerListen() {
  try {
    LogEvent("socManagerServerListen", Msg(35));
  } catch (...) {
  }
}

TAdmission_OPT TfrmTelvane::socManagerServerAdmit(TServerConnection& connection) {
  try {
    // Without the controller (shut-down) there is nobody to check with, so nobody comes in.
    return MyValidate != nullptr ? MyValidate->AdmitClient(connection) : ADMISSION_REFUSE;
  } catch (...) {
    return ADMISSION_REFUSE;
  }
}

void TfrmTelvane::socManagerServerAccept(TServerConnection& connection) {
  try {
    if (nAcceptFailures > 0) {
      LogEvent("socManagerServerAccept", "Accepting connections again after " +
                                             IntToStr(static_cast<int64_t>(nAcceptFailures)) + " failed attempts.",
               LOG_WARNING);
      nAcceptFailures = 0;
    }
    LogEvent("socManagerServerAccept", Msg(28) + CountAndPeer(connection));
  } catch (...) {
  }
}

void TfrmTelvane::socManagerServerClientConnect(TServerConnection& connection) {
  try {
    LogEvent("socManagerServerClientConnect", Msg(29) + CountAndPeer(connection));
    // Its handshake deadline runs since its admission, with or without a slot.
    if (MyValidate != nullptr) MyValidate->InsertClientInfo(connection.RemoteAddress(), connection.RemotePort(), &connection);
  } catch (...) {
  }
}

void TfrmTelvane::socManagerServerClientDisconnect(TServerConnection& connection) {
  try {
    LogEvent("socManagerServerClientDisconnect", Msg(30) + connection.RemoteAddress() + ") - " + ConnectionCount());
    if (MyValidate != nullptr) {
      MyValidate->ClientLeaving(connection);
      MyValidate->DeleteClientInfo(connection.RemoteAddress(), connection.RemotePort());
    }
  } catch (...) {
  }
}

void TfrmTelvane::socManagerServerClientError(TServerConnection& connection, int& nErrorCode) {
  try {
    // Handled here; the listener ends the connection itself when the error ended it.
    nErrorCode = 0;
    LogEvent("socManagerServerClientError", Msg(31) + connection.RemoteAddress() + ")");
  } catch (...) {
  }
}

void TfrmTelvane::socManagerServerClientRead(TServerConnection& connection) {
  try {
    const std::string sAddress = connection.RemoteAddress();
    const int32_t nPort = connection.RemotePort();
    // Bytes and Windows-1252 text are the same thing inside the relay: nothing to decode.
    const std::string sText = connection.ReceiveText();
    const int32_t nSlot = FindSlot(connection);
    LogEvent("socManagerServerClientRead", Msg(32) + CountAndPeer(connection) + ":" + QuotedLogCopy(sText, nSlot >= 0));
    if (nSlot < 0) return;  // a connection that found no free slot: its bytes are dropped
    const int32_t nConnection = FindConnection(connection);
    if (nConnection < 0) return;
    LogEvent("socManagerServerClientRead", Msg(33) + IntToStr(nSlot) + " - " + Msg(34) + IntToStr(nConnection));
    if (MyValidate != nullptr) MyValidate->SocketServerRead(sText, nConnection, nSlot, sAddress, nPort);
  } catch (...) {
  }
}

void TfrmTelvane::socManagerServerClientOverflow(TServerConnection& connection) {
  CountUp(MyCounters.nClientCutoffs);
  try {
    const size_t nBound = socManagerServer != nullptr ? socManagerServer->nMaxQueuedBytes
                                                      : TServerSocket::nDefaultMaxQueuedBytes;
    LogEvent("socManagerServerClientOverflow",
             "Error: client output queue over " + IntToStr(static_cast<int64_t>(nBound)) +
                 " bytes, disconnecting (" + connection.RemoteAddress() + ":" + IntToStr(connection.RemotePort()) + ")",
             LOG_ERROR);
  } catch (...) {
  }
}

void TfrmTelvane::socManagerServerClientTimeout(TServerConnection& connection) {
  try {
    if (MyValidate != nullptr) MyValidate->HandshakeDeadlinePassed(connection);
  } catch (...) {
  }
}

void TfrmTelvane::socManagerServerClientTlsError(TServerConnection& connection, const std::string& sReason) {
  try {
    if (MyValidate != nullptr) MyValidate->TlsHandshakeFailed(connection, sReason);
  } catch (...) {
  }
}

void TfrmTelvane::socManagerServerAcceptError(const std::string& sReason) {
  try {
    if (!IsPowerOfTen(++nAcceptFailures)) return;
    LogEvent("socManagerServerAcceptError",
             "Error: cannot accept a connection: " + sReason + "; trying again every 100 ms (" +
                 IntToStr(static_cast<int64_t>(nAcceptFailures)) + " failed so far).",
             LOG_ERROR);
  } catch (...) {
  }
}
