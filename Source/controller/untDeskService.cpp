// The desk service: the listener's events, each logged to the proxy pane and handed to the desk
// service's own admission, slot table and handshake (untDeskAdmission.cpp, untDeskSlots.cpp,
// untDeskHandshake.cpp), and the read log budget of every connection.
//
// Control thread only, one event at a time. A peer is first asked about (admission: allow-list and
// per-address limit); a refused one raises nothing more, a held one nothing until it is let in, and
// the handshake deadline of both starts then. A connection takes a slot when it connects and
// never later; the slot is released by its disconnect (also after an error, an overflow cut-off,
// a failed TLS handshake or a passed deadline, which the listener follows with a disconnect). A
// read is logged, then given to the handshake of the slot that holds the session (the session
// carries its slot's number, set when it took the slot), which answers on that session; a
// connection without a slot is only logged.
// Every handler logs its own errors to the proxy pane ("Error: ... during <handler> Process."); the
// listener reports anything else a handler lets through: nothing reaches the event loop.
//
// Log budget of reads, per connection (slot or none, handshake or running), so no peer can fill
// the log or forge lines in it: a read's copy is cut at 1 KiB with the read's size after it, its
// control characters are escaped, and a connection's read lines take at most 64 KiB of the log
// (counted as written, in UTF-8) per minute. Reads beyond that are left out; the bytes left out
// are told in one line when the minute is over (at the connection's next read) or at its
// disconnect. The budgets live in a table keyed by the connection, made at its first read,
// dropped at its disconnect and emptied when the listener starts (its stop raises no disconnects).
//
// Accept failures for lack of descriptors come every 100 ms for as long as the shortage lasts; they
// are logged thinned (the 1st, 10th, 100th, ... of a shortage), and the first accept after one
// says how many attempts failed, so the log shows when it began and when it ended.
#include "controller/untDeskService.h"

#include <chrono>
#include <exception>
#include <string>
#include <unordered_map>

#include "base/untCodePage.h"
#include "base/untMessage.h"
#include "base/untVariables.h"
#include "controller/untValidate.h"
#include "controller/untValidateServer.h"
#include "logging/untCounters.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "platform/untServerSocket.h"

namespace {

constexpr size_t READ_LOG_BYTES = 1024;          // log copy of one read, escaped, at most
constexpr size_t READ_LOG_BUDGET = 64 * 1024;    // bytes of read lines per connection per window
constexpr std::chrono::seconds READ_LOG_WINDOW{60};

void LogEvent(const char* sHandler, const std::string& sText, int nLevel = LOG_VERBOSE) {
  WriteLog(std::string("TfrmTelvane.") + sHandler, LOG_TARGET_PROXY, nLevel, sText, false);
}

std::string ConnectionCount(const TServerSocket& listener) { return IntToStr(listener.ActiveConnections()); }

// count ":" address ":" port ")", the tail of messages 28, 29 and 32.
std::string CountAndPeer(const TServerSocket& listener, const TServerConnection& connection) {
  return ConnectionCount(listener) + ":" + connection.RemoteAddress() + ":" + IntToStr(connection.RemotePort()) + ")";
}

// The read's log copy in quotes, without its CR LF pairs and with its control characters escaped;
// cut when long, with the read's full size after it.
std::string QuotedLogCopy(const std::string& sText) {
  const std::string sCopy = RemoveAllCrLfPairs(sText);
  size_t nTaken = 0;
  const std::string sShown = EscapeControlChars(sCopy, READ_LOG_BYTES, &nTaken);
  if (nTaken == sCopy.size()) return "\"" + sShown + "\"";
  return "\"" + sShown + "\" (" + IntToStr(static_cast<int64_t>(sText.size())) + " bytes)";
}

std::string Peer(const TServerConnection& connection) {
  return connection.RemoteAddress() + ":" + IntToStr(connection.RemotePort());
}

// Tells the bytes of the window's reads that were left out of the log, if any.
void LogLeftOut(const TServerConnection& connection, const TReadLogBudget& budget) {
  if (budget.nLeftOutBytes == 0) return;
  LogEvent("socManagerServerClientRead",
           IntToStr(budget.nLeftOutBytes) + " bytes of reads from " + Peer(connection) +
               " left out of the log this minute",
           LOG_WARNING);
}

// The connection's budget for a read now; a window that is over is told and started again.
TReadLogBudget& ReadLogBudget(TReadLogBudgets& mapBudgets, const TServerConnection& connection) {
  const auto tNow = std::chrono::steady_clock::now();
  auto [it, bNew] = mapBudgets.try_emplace(&connection);
  TReadLogBudget& budget = it->second;
  if (bNew || tNow - budget.tWindowStart >= READ_LOG_WINDOW) {
    if (!bNew) LogLeftOut(connection, budget);
    budget = TReadLogBudget();
    budget.tWindowStart = tNow;
  }
  return budget;
}

// True when the read lines (as WriteLog takes them) fit the budget, which they then take; else the
// read of nReadBytes is counted as left out, and so are the window's later reads.
bool TakeReadLogBudget(TReadLogBudget& budget, const std::string& sLines, size_t nReadBytes) {
  if (!budget.bSpent) {
    const size_t nBytes = Cp1252ToUtf8(sLines).size();
    if (budget.nLoggedBytes + nBytes <= READ_LOG_BUDGET) {
      budget.nLoggedBytes += nBytes;
      return true;
    }
    budget.bSpent = true;
  }
  budget.nLeftOutBytes += static_cast<int64_t>(nReadBytes);
  return false;
}

// The client service runs while the controller does: the console's shut-down ends the controller
// before the manager object and its desk service, and from then on nobody comes in, takes a slot or
// is served, though the listener may still be open.
bool ControllerRunning() { return MyValidate != nullptr; }

// The session's index in the listener's list, which the read's slot line names. The list moves
// up as connections leave, so the index is looked for, in a scan over the list; it serves only
// that line (and the handshake's error line).
int32_t FindConnection(TServerSocket& listener, const TServerConnection& connection) {
  const int nCount = listener.ActiveConnections();
  for (int n = 0; n < nCount; ++n)
    if (listener.Connections(n) == &connection) return n;
  return -1;
}

}  // namespace

TDeskService::TDeskService() {
  socManagerServer.OnListen = [this] { socManagerServerListen(); };
  socManagerServer.OnAdmit = [this](TServerConnection& c) { return socManagerServerAdmit(c); };
  socManagerServer.OnAccept = [this](TServerConnection& c) { socManagerServerAccept(c); };
  socManagerServer.OnClientConnect = [this](TServerConnection& c) { socManagerServerClientConnect(c); };
  socManagerServer.OnClientDisconnect = [this](TServerConnection& c) { socManagerServerClientDisconnect(c); };
  socManagerServer.OnClientError = [this](TServerConnection& c, int& n) { socManagerServerClientError(c, n); };
  socManagerServer.OnClientRead = [this](TServerConnection& c) { socManagerServerClientRead(c); };
  socManagerServer.OnClientOverflow = [this](TServerConnection& c) { socManagerServerClientOverflow(c); };
  socManagerServer.OnClientTimeout = [this](TServerConnection& c) { socManagerServerClientTimeout(c); };
  socManagerServer.OnClientTlsError = [this](TServerConnection& c, const std::string& s) {
    socManagerServerClientTlsError(c, s);
  };
  socManagerServer.OnAcceptError = [this](const std::string& sReason) { socManagerServerAcceptError(sReason); };
  // Each accept is logged: in a burst of connections the next peer waits in the kernel's queue
  // while the log writer is behind, rather than the log losing the lines of those before it.
  socManagerServer.OnAcceptHold = [] { return LogFallingBehind(); };
  socManagerServer.OnHandlerError = [](const std::string& sWhat) {
    LogOperationError("TfrmTelvane", "socManagerServer", sWhat, LOG_TARGET_PROXY);
  };
}

TDeskService::~TDeskService() {
  // The listener closes with this object and raises no event while it does.
}

void TDeskService::socManagerServerListen() {
  try {
    mapReadLogBudgets.clear();  // the connections of an earlier start are gone
    LogEvent("socManagerServerListen", Msg(35));
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerListen", e.what(), LOG_TARGET_PROXY);
  }
}

TAdmission_OPT TDeskService::socManagerServerAdmit(TServerConnection& connection) {
  try {
    return ControllerRunning() ? AdmitClient(connection) : ADMISSION_REFUSE;
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerAdmit", e.what(), LOG_TARGET_PROXY);
    return ADMISSION_REFUSE;
  }
}

void TDeskService::socManagerServerAccept(TServerConnection& connection) {
  try {
    if (nAcceptFailures > 0) {
      LogEvent("socManagerServerAccept", "Accepting connections again after " +
                                             IntToStr(static_cast<int64_t>(nAcceptFailures)) + " failed attempts.",
               LOG_WARNING);
      nAcceptFailures = 0;
    }
    LogEvent("socManagerServerAccept", Msg(28) + CountAndPeer(socManagerServer, connection));
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerAccept", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::socManagerServerClientConnect(TServerConnection& connection) {
  try {
    LogEvent("socManagerServerClientConnect", Msg(29) + CountAndPeer(socManagerServer, connection));
    // Its handshake deadline runs since its admission, with or without a slot.
    if (ControllerRunning()) InsertClientInfo(connection.RemoteAddress(), connection.RemotePort(), &connection);
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerClientConnect", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::socManagerServerClientDisconnect(TServerConnection& connection) {
  try {
    LogEvent("socManagerServerClientDisconnect", Msg(30) + connection.RemoteAddress() + ") - " + ConnectionCount(socManagerServer));
    if (const auto it = mapReadLogBudgets.find(&connection); it != mapReadLogBudgets.end()) {
      LogLeftOut(connection, it->second);
      mapReadLogBudgets.erase(it);
    }
    if (ControllerRunning()) {
      ClientLeaving(connection);
      DeleteClientInfo(connection.RemoteAddress(), connection.RemotePort());
    }
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerClientDisconnect", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::socManagerServerClientError(TServerConnection& connection, int& nErrorCode) {
  try {
    // Handled here; the listener ends the connection itself when the error ended it.
    nErrorCode = 0;
    LogEvent("socManagerServerClientError", Msg(31) + connection.RemoteAddress() + ")");
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerClientError", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::socManagerServerClientRead(TServerConnection& connection) {
  try {
    const std::string sAddress = connection.RemoteAddress();
    const int32_t nPort = connection.RemotePort();
    // Bytes and Windows-1252 text are the same thing inside the relay: nothing to decode.
    const std::string sText = connection.ReceiveText();
    const int32_t nSlot = SlotOf(connection);
    TReadLogBudget& budget = ReadLogBudget(mapReadLogBudgets, connection);
    const std::string sRead = budget.bSpent ? "" : Msg(32) + CountAndPeer(socManagerServer, connection) + ":" + QuotedLogCopy(sText);
    if (nSlot < 0) {  // a connection that found no free slot: its bytes are dropped
      if (TakeReadLogBudget(budget, sRead, sText.size())) LogEvent("socManagerServerClientRead", sRead);
      return;
    }
    // The session's index shows only in the slot line, so it is looked for only while the budget
    // may still take the read's lines: a peer flooding past its budget costs no scan per read.
    // The listener lists a connection during every event that names it, so the index is found
    // whenever it is looked for; the handshake names the one it gets (-1: not looked for) only in
    // an error line.
    const bool bLogIndex = !budget.bSpent;
    const int32_t nConnection = bLogIndex ? FindConnection(socManagerServer, connection) : -1;
    const std::string sSlot =
        nConnection < 0 ? "" : Msg(33) + IntToStr(nSlot) + " - " + Msg(34) + IntToStr(nConnection);
    if (TakeReadLogBudget(budget, sRead + sSlot, sText.size())) {
      LogEvent("socManagerServerClientRead", sRead);
      if (!sSlot.empty()) LogEvent("socManagerServerClientRead", sSlot);
    }
    if (bLogIndex && nConnection < 0) return;
    if (ControllerRunning()) SocketServerRead(sText, nConnection, nSlot, sAddress, nPort);
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerClientRead", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::socManagerServerClientOverflow(TServerConnection& connection) {
  CountUp(MyCounters.nClientCutoffs);
  try {
    const size_t nBound = socManagerServer.nMaxQueuedBytes;
    LogEvent("socManagerServerClientOverflow",
             "Error: client output queue over " + IntToStr(static_cast<int64_t>(nBound)) +
                 " bytes, disconnecting (" + connection.RemoteAddress() + ":" + IntToStr(connection.RemotePort()) + ")",
             LOG_ERROR);
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerClientOverflow", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::socManagerServerClientTimeout(TServerConnection& connection) {
  try {
    if (ControllerRunning()) HandshakeDeadlinePassed(connection);
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerClientTimeout", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::socManagerServerClientTlsError(TServerConnection& connection, const std::string& sReason) {
  try {
    if (ControllerRunning()) TlsHandshakeFailed(connection, sReason);
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerClientTlsError", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::socManagerServerAcceptError(const std::string& sReason) {
  try {
    if (!IsPowerOfTen(++nAcceptFailures)) return;
    LogEvent("socManagerServerAcceptError",
             "Error: cannot accept a connection: " + sReason + "; trying again every 100 ms (" +
                 IntToStr(static_cast<int64_t>(nAcceptFailures)) + " failed so far).",
             LOG_ERROR);
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "socManagerServerAcceptError", e.what(), LOG_TARGET_PROXY);
  }
}
