// The client port's guards on a shared network: who may connect (ALLOWFROM), how many connections
// one address may hold in the handshake (MAXPERADDRESS), how long a connection may take to get
// through it (HANDSHAKETIMEOUT), and the TLS listener beside the plain one.
//
// Threads: control thread only (the listener's events and the listener's start), like the rest of
// the client service; the refusal counters and the parsed allow-list need no lock.
//
// Deadline of one connection (T = HANDSHAKETIMEOUT), with or without a slot:
//
//   connected --armed for T--> waiting --its slot reaches RUNNING--> none
//                                 ^  |                                 |
//                                 |  +--T passes--> closed, logged     |
//                                 |     (its disconnect frees the slot) |
//                                 +----greeting again: armed for T-----+
//
// Refusals at accept close the connection before a byte is sent (not even a TLS hello); they raise
// no other event, so they take no slot and log nothing but their own line, which is thinned under a
// flood: the 1st, 10th, 100th... refusal of each kind, with the count so far.
#include <exception>
#include <string>
#include <vector>

#include "controller/untValidate.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "platform/untAddressRange.h"
#include "platform/untServerSocket.h"

namespace {

uint64_t nRefusedOutside = 0;    // connections refused by the allow-list so far; control thread
uint64_t nRefusedOverLimit = 0;  // connections refused by the per-address limit so far; control thread

std::string Peer(const TServerConnection& connection) {
  return connection.RemoteAddress() + ":" + IntToStr(connection.RemotePort());
}

// The allow-list in force, parsed again only when the configured text changes.
const TAddressRanges& AllowList() {
  static std::string sParsed;
  static TAddressRanges ranges;
  static bool bParsed = false;
  const std::string& sAllowFrom = MyConfigInfo.MyClientPort.sAllowFrom;
  if (!bParsed || sParsed != sAllowFrom) {
    std::vector<std::string> lstInvalid;  // reported by the configuration's check already
    ranges.Parse(sAllowFrom, lstInvalid);
    sParsed = sAllowFrom;
    bParsed = true;
  }
  return ranges;
}

// Connections from sAddress that are open and not RUNNING (with or without a slot).
int32_t WaitingFrom(const std::string& sAddress) {
  int32_t nWaiting = 0;
  const int nCount = socManagerServer != nullptr ? socManagerServer->ActiveConnections() : 0;
  for (int n = 0; n < nCount; ++n)
    if (socManagerServer->Connections(n)->RemoteAddress() == sAddress) ++nWaiting;
  for (const TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo)
    if (slot.tMainSocketServerStateMachine == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING && slot.pConnection != nullptr &&
        slot.sRemoteAddress == sAddress)
      --nWaiting;
  return nWaiting;
}

void LogRefusal(uint64_t& nRefused, const std::string& sWhy) {
  ++nRefused;
  if (!IsPowerOfTen(nRefused)) return;
  WriteLog("TValidate.AdmitClient", LOG_TARGET_PROXY, LOG_VERBOSE,
           "Connection refused: " + sWhy + ", " + IntToStr(static_cast<int64_t>(nRefused)) + " refused so far.", false);
}

}  // namespace

bool TValidate::AdmitClient(TServerConnection& connection) {
  try {
    const TConfigInfo::TClientPortConfig& p = MyConfigInfo.MyClientPort;
    const std::string sAddress = connection.RemoteAddress();
    if (!p.sAllowFrom.empty() && !AllowList().Contains(sAddress)) {
      LogRefusal(nRefusedOutside, "address outside [PROXY] ALLOWFROM (" + Peer(connection) + ")");
      return false;
    }
    if (p.nMaxPerAddress > 0 && WaitingFrom(sAddress) >= p.nMaxPerAddress) {
      LogRefusal(nRefusedOverLimit, IntToStr(p.nMaxPerAddress) +
                                        " connections from this address are still in the handshake, [PROXY] "
                                        "MAXPERADDRESS (" + Peer(connection) + ")");
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    LogOperationError("TValidate", "AdmitClient", e.what(), LOG_TARGET_PROXY);
    return true;  // a fault here must not shut the port
  }
}

void TValidate::StartHandshakeDeadline(TServerConnection* pConnection) {
  const int32_t nSeconds = MyConfigInfo.MyClientPort.nHandshakeTimeout;
  if (pConnection != nullptr && nSeconds > 0) pConnection->SetDeadline(nSeconds * 1000);
}

void TValidate::StopHandshakeDeadline(TServerConnection* pConnection) {
  if (pConnection != nullptr) pConnection->SetDeadline(0);
}

void TValidate::HandshakeDeadlinePassed(TServerConnection& connection) {
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

bool TValidate::StartTlsListener() {
  const TConfigInfo::TClientPortConfig& p = MyConfigInfo.MyClientPort;
  if (p.nTlsPort == 0 || socManagerServer == nullptr) return true;
  try {
    socManagerServer->ListenTls(p.nTlsPort, p.sTlsCert, p.sTlsKey);
    WriteLog("TValidate.StartSocketServer", LOG_TARGET_PROXY, LOG_VERBOSE,
             "TLS listener open (Port: " + IntToStr(p.nTlsPort) + ", certificate " + p.sTlsCert + ")", false);
    return true;
  } catch (const std::exception& e) {
    WriteLog("TValidate.StartSocketServer", LOG_TARGET_PROXY, LOG_ERROR,
             "TLS listener not started (Port: " + IntToStr(p.nTlsPort) + "): " + e.what(), false);
    return false;
  }
}
