// The client port's guards on a shared network: who may connect (ALLOWFROM), how many connections
// one address may have in the handshake at once (MAXPERADDRESS), how long a connection may take to
// get through it (HANDSHAKETIMEOUT), and the TLS listener beside (or instead of) the plain one.
//
// The desk service's own guards, run from its listener's events and its start. The log keeps the
// sources it always had ("TValidate.AdmitClient", "TValidate.HandshakeDeadlinePassed", ...).
//
// Threads: control thread only (the listener's events and the listener's start), like the rest of
// the desk service; the refusal counters and the parsed allow-list need no lock.
//
// Over the limit, a connection is held, not refused: the listener keeps it unread and without a
// slot until a handshake of its address ends (RUNNING, or the connection closed), then lets the
// oldest held one of that address in. So a site behind one address (a NAT, a terminal server)
// whose desks all start at once gets every desk through in one round, MAXPERADDRESS at a time.
// The held are bounded (MAX_HELD_PER_ADDRESS, MAX_HELD); beyond that a connection is refused.
//
// Deadline of one connection (T = HANDSHAKETIMEOUT), with or without a slot:
//
//   connected --armed for T--> waiting --its slot reaches RUNNING--> none
//                                 ^  |                                 |
//                                 |  +--T passes--> closed, logged     |
//                                 |     (its disconnect frees the slot) |
//                                 +----greeting again: armed for T-----+
//
// The deadline starts at accept, for a held connection too: waiting counts against it.
//
// Refusals at accept close the connection before a byte is sent (not even a TLS hello); they raise
// no other event, so they take no slot and log nothing but their own line, which is thinned under a
// flood: the 1st, 10th, 100th... refusal of each kind, with the count so far. A check that fails
// refuses too: a fault must not open the port to everyone. Failed TLS handshakes are thinned alike.
#include <exception>
#include <string>
#include <vector>

#include "base/untVariables.h"
#include "controller/untDeskService.h"
#include "logging/untLogger.h"
#include "logging/untThinnedLine.h"
#include "logging/untUtil.h"
#include "platform/untAddressRange.h"
#include "platform/untServerSocket.h"

namespace {

constexpr int MAX_HELD_PER_ADDRESS = MAX_CLIENT_SLOTS;  // held from one address at most
constexpr int MAX_HELD = 3 * MAX_CLIENT_SLOTS;          // held from all addresses at most

std::string Peer(const TServerConnection& connection) {
  return connection.RemoteAddress() + ":" + IntToStr(connection.RemotePort());
}

// Connections from sAddress that are open and not RUNNING (with or without a slot).
int32_t WaitingFrom(TDeskService& desks, const std::string& sAddress) {
  TServerSocket& listener = desks.socManagerServer;
  int32_t nWaiting = 0;
  const int nCount = listener.ActiveConnections();
  for (int n = 0; n < nCount; ++n)
    if (listener.Connections(n)->RemoteAddress() == sAddress) ++nWaiting;
  for (int32_t i = 0; i < MAX_CLIENT_SLOTS; ++i) {
    const TServerSocketInfo& slot = MyAppInfo.MyServerSocketInfo[i];
    if (slot.tMainSocketServerStateMachine == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING && desks.Session(i) != nullptr &&
        slot.sRemoteAddress == sAddress)
      --nWaiting;
  }
  return nWaiting;
}

// Counts one more of a kind and logs the 1st, 10th, 100th... with the count so far: a flood
// leaves a handful of lines, and the last one says how big it was.
void LogThinned(TThinnedLine& tLine, const char* sSource, int nLevel, const std::string& sText, const char* sCounted) {
  const uint64_t nCount = tLine.Count();
  if (nCount == 0) return;
  WriteLog(sSource, LOG_TARGET_PROXY, nLevel,
           sText + ", " + IntToStr(static_cast<int64_t>(nCount)) + " " + sCounted + " so far.", false);
}

void LogRefusal(TThinnedLine& tRefused, const std::string& sWhy, int nLevel = LOG_VERBOSE) {
  LogThinned(tRefused, "TValidate.AdmitClient", nLevel, "Connection refused: " + sWhy, "refused");
}

}  // namespace

const TAddressRanges& TDeskService::AllowList() {
  const std::string& sAllowFrom = MyConfigInfo.MyClientPort.sAllowFrom;
  if (!bAllowParsed || sAllowParsed != sAllowFrom) {
    std::vector<std::string> lstInvalid;  // reported by the configuration's check already
    tAllowList.Parse(sAllowFrom, lstInvalid);
    sAllowParsed = sAllowFrom;
    bAllowParsed = true;
  }
  return tAllowList;
}

TAdmission_OPT TDeskService::AdmitClient(TServerConnection& connection) {
  try {
    const TConfigInfo::TClientPortConfig& p = MyConfigInfo.MyClientPort;
    const std::string sAddress = connection.RemoteAddress();
    if (!p.sAllowFrom.empty() && !AllowList().Contains(sAddress)) {
      LogRefusal(tRefusedOutside, "address outside [PROXY] ALLOWFROM (" + Peer(connection) + ")");
      return ADMISSION_REFUSE;
    }
    TAdmission_OPT tAdmission = ADMISSION_ACCEPT;
    // While some wait, a newcomer waits behind them: the oldest goes first.
    const int nHeldHere = socManagerServer.HeldConnections(sAddress);
    if (p.nMaxPerAddress > 0 && (nHeldHere > 0 || WaitingFrom(*this, sAddress) >= p.nMaxPerAddress)) {
      if (nHeldHere >= MAX_HELD_PER_ADDRESS || socManagerServer.HeldConnections("") >= MAX_HELD) {
        LogRefusal(tRefusedOverLimit, IntToStr(p.nMaxPerAddress) +
                                          " connections from this address are still in the handshake, [PROXY] "
                                          "MAXPERADDRESS (" + Peer(connection) + ")");
        return ADMISSION_REFUSE;
      }
      tAdmission = ADMISSION_HOLD;
    }
    StartHandshakeDeadline(&connection);
    return tAdmission;
  } catch (const std::exception& e) {
    LogRefusal(tRefusedUnchecked, std::string("the admission check failed: ") + e.what(), LOG_ERROR);
  } catch (...) {
    LogRefusal(tRefusedUnchecked, "the admission check failed", LOG_ERROR);
  }
  return ADMISSION_REFUSE;
}

void TDeskService::StartHandshakeDeadline(TServerConnection* pConnection) {
  const int32_t nSeconds = MyConfigInfo.MyClientPort.nHandshakeTimeout;
  if (pConnection != nullptr && nSeconds > 0) pConnection->SetDeadline(nSeconds * 1000);
}

void TDeskService::StopHandshakeDeadline(TServerConnection* pConnection) {
  if (pConnection == nullptr) return;
  try {
    pConnection->SetDeadline(0);
    socManagerServer.ReleaseHeld(pConnection->RemoteAddress());
  } catch (const std::exception& e) {
    LogOperationError("TValidate", "StopHandshakeDeadline", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::ClientLeaving(const TServerConnection& connection) {
  try {
    const int32_t nSlot = SlotOf(connection);
    if (nSlot >= 0 &&
        MyAppInfo.MyServerSocketInfo[nSlot].tMainSocketServerStateMachine == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING)
      return;  // through the handshake: its end was counted then
    socManagerServer.ReleaseHeld(connection.RemoteAddress());
  } catch (const std::exception& e) {
    LogOperationError("TValidate", "ClientLeaving", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::TlsHandshakeFailed(const TServerConnection& connection, const std::string& sReason) {
  try {
    LogThinned(tTlsFailures, "TValidate.TlsHandshakeFailed", LOG_WARNING,
               "TLS handshake failed (" + Peer(connection) + "): " + sReason, "failed");
  } catch (const std::exception& e) {
    LogOperationError("TValidate", "TlsHandshakeFailed", e.what(), LOG_TARGET_PROXY);
  }
}

void TDeskService::HandshakeDeadlinePassed(TServerConnection& connection) {
  try {
    WriteLog("TValidate.HandshakeDeadlinePassed", LOG_TARGET_PROXY, LOG_VERBOSE,
             "Handshake not completed within " + IntToStr(MyConfigInfo.MyClientPort.nHandshakeTimeout) +
                 " s, closing the connection (" + Peer(connection) + ").",
             false);
    connection.Close();  // its disconnect releases the slot
  } catch (const std::exception& e) {
    LogOperationError("TValidate", "HandshakeDeadlinePassed", e.what(), LOG_TARGET_PROXY);
  }
}

bool TDeskService::StartTlsListener() {
  const TConfigInfo::TClientPortConfig& p = MyConfigInfo.MyClientPort;
  if (p.nTlsPort == 0) return true;
  try {
    socManagerServer.ListenTls(p.nTlsPort, p.sTlsCert, p.sTlsKey, p.sTlsClientCa);
    const std::string sClientCa = p.sTlsClientCa.empty() ? "" : ", client CA " + p.sTlsClientCa;
    WriteLog("TValidate.StartSocketServer", LOG_TARGET_PROXY, LOG_VERBOSE,
             "TLS listener open (Port: " + IntToStr(p.nTlsPort) + ", certificate " + p.sTlsCert + sClientCa + ")", false);
    return true;
  } catch (const std::exception& e) {
    WriteLog("TValidate.StartSocketServer", LOG_TARGET_PROXY, LOG_ERROR,
             "TLS listener not started (Port: " + IntToStr(p.nTlsPort) + "): " + e.what(), false);
    return false;
  }
}
