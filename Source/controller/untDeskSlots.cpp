// The desk service's slot table: 100 slots in MyAppInfo.MyServerSocketInfo, one per client that
// the listener accepted while a slot was free. A slot is taken at connect, filled by the handshake,
// changed by the three change commands and released at disconnect or by the listener's stop. The
// storage stays in the shared record, which the console, the metrics and the web pages read; after
// start-up only the desk service writes it. The log keeps the sources it always had ("TValidate.<operation>").
//
// Threads: control thread only (listener events, the handshake, the fan-out's look-up); no lock.
// Invariants: a free slot is a released one (state NONE, no address, port 0, no flag set), so a
// free slot never matches an open connection; a connection's tag names its slot while it holds
// one (-1 after the release); UpdateClientInfo only ever sets flags, the change
// operations set or clear them, the release clears them all.
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "base/untVariables.h"
#include "controller/untDeskService.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "platform/untServerSocket.h"

namespace {

void LogError(const char* sOperation, const std::string& sMessage) {
  LogOperationError("TValidate", sOperation, sMessage, LOG_TARGET_PROXY);
}

// Error lines of one list (one read): the first few name their entry, the rest are only counted,
// so a list of a million bad entries costs a handful of lines, not a stalled control thread.
constexpr int ENTRY_ERRORS_LOGGED = 3;
constexpr size_t ENTRY_LOG_BYTES = 64;  // an entry longer than this is cut in its error line

struct TEntryErrors {
  int nLogged = 0;        // error lines written for this list
  int64_t nLeftOut = 0;   // further bad entries, not logged
};

// An entry as its error line shows it: control characters escaped, cut with its size when long.
std::string EntryForLog(std::string_view sEntry) {
  size_t nTaken = 0;
  std::string sShown = EscapeControlChars(sEntry, ENTRY_LOG_BYTES, &nTaken);
  if (nTaken < sEntry.size()) sShown += "... (" + IntToStr(static_cast<int64_t>(sEntry.size())) + " bytes)";
  return sShown;
}

// A list entry that is not a number names itself (the conversion's own message), and the list
// goes on.
void LogEntryError(TEntryErrors& tErrors, const char* sOperation, std::string_view sNumber, std::string_view sEntry) {
  if (tErrors.nLogged >= ENTRY_ERRORS_LOGGED) {
    ++tErrors.nLeftOut;
    return;
  }
  ++tErrors.nLogged;
  WriteErrorLog(std::string("TValidate.") + sOperation, LOG_TARGET_PROXY,
                "'" + EntryForLog(sNumber) + "' is not a valid integer value", sOperation, EntryForLog(sEntry));
}

void LogEntryErrorsLeftOut(const TEntryErrors& tErrors, const char* sOperation) {
  if (tErrors.nLeftOut == 0) return;
  WriteErrorLog(std::string("TValidate.") + sOperation, LOG_TARGET_PROXY,
                IntToStr(tErrors.nLeftOut) + " more invalid entries of this list left out of the log", sOperation);
}

bool IsSlotIndex(int32_t nSlot) { return nSlot >= 0 && nSlot < MAX_CLIENT_SLOTS; }

std::string RemoveParentheses(std::string_view sText) {
  std::string sOut;
  sOut.reserve(sText.size());
  for (char c : sText)
    if (c != '(' && c != ')') sOut += c;
  return sOut;
}

// Trim, then every CR LF pair out: how every value the client gives is cleaned.
std::string CleanValue(std::string_view sText) { return RemoveCrLf(Trim(sText)); }

// The desk service's texts of a family: "ChangeQueueClientInfo" names the change's operation, and
// "Changing Queue: " begins its line.
std::string ChangeOperation(const TEventFamily& family) {
  return std::string("Change") + family.sDeskName + "ClientInfo";
}
std::string ChangePrefix(const TEventFamily& family) { return std::string("Changing ") + family.sDeskName + ": "; }

size_t DigitCount(int64_t n) { return n < 10 ? 1 : 1 + DigitCount(n / 10); }

// A change entry is a number of the range written in full, a colon and TRUE or FALSE: with the
// classic ranges 10 or 11 characters for queues and extensions, 8 or 9 for parking lots. Other
// ranges allow every width their numbers have.
bool IsChangeEntryLength(const TEventFamily& family, size_t nLength) {
  const int32_t nFirst = family.FirstKey();
  const size_t nShortest = DigitCount(nFirst), nLongest = DigitCount(int64_t{nFirst} + family.nKeyCount - 1);
  return nLength >= nShortest + 5 && nLength <= nLongest + 6;
}

// Sets the flag of every listed number in range; a number that does not convert is logged by
// entry and the list goes on. The entries are trimmed one by one, and one left blank (the CR that
// follows an empty list "()", or "10001, ,10002") is skipped without a line like an empty one.
void AddSubscriptions(TServerSocketInfo& slot, const TEventFamily& family, std::string_view sList, TEntryErrors& tErrors) {
  if (sList.empty()) return;
  std::vector<std::string> lstEntries;
  SplitDelimited(',', RemoveParentheses(sList), true, lstEntries);
  for (const std::string& sEntry : lstEntries) {
    const std::string sNumber = Trim(sEntry);
    if (sNumber.empty()) continue;
    const std::optional<int32_t> n = StrToIntStrict(sNumber);
    if (!n) {
      LogEntryError(tErrors, "UpdateClientInfo", sNumber, sEntry);
      continue;
    }
    const int32_t nIndex = family.IndexOf(*n);
    if (nIndex >= 0) family.DeskList(slot)[static_cast<size_t>(nIndex)] = true;
  }
}

// One change entry, "number:yes-or-no" of one of the family's lengths; anything else is skipped
// without a log.
void ChangeSubscription(TServerSocketInfo& slot, const TEventFamily& family, const std::string& sEntry,
                        TEntryErrors& tErrors) {
  if (!IsChangeEntryLength(family, sEntry.size())) return;
  std::vector<std::string> lstParts;
  SplitDelimited(':', sEntry, true, lstParts);
  if (lstParts.size() != 2) return;
  const std::string sNumber = Trim(lstParts[0]);
  const std::optional<int32_t> n = StrToIntStrict(sNumber);
  if (!n) {
    LogEntryError(tErrors, ChangeOperation(family).c_str(), sNumber, sEntry);
    return;
  }
  const int32_t nIndex = family.IndexOf(*n);
  if (nIndex < 0) return;
  const bool bOn = IsTrueText(lstParts[1]);
  family.DeskList(slot)[static_cast<size_t>(nIndex)] = bOn;
  WriteLog("TValidate." + ChangeOperation(family), LOG_TARGET_PROXY, LOG_VERBOSE,
           ChangePrefix(family) + IntToStr(*n) + " to " + (bOn ? "True" : "False"), false);
}

bool ChangeClientInfo(const TEventFamily& family, int32_t nSlot, const std::string& sList) {
  try {
    if (!IsSlotIndex(nSlot)) return false;
    TServerSocketInfo& slot = MyAppInfo.MyServerSocketInfo[nSlot];
    const std::string sClean = CleanValue(sList);
    std::vector<std::string> lstEntries;
    if (!sClean.empty()) SplitDelimited(',', RemoveParentheses(sClean), true, lstEntries);
    TEntryErrors tErrors;
    for (const std::string& sEntry : lstEntries) ChangeSubscription(slot, family, sEntry, tErrors);
    LogEntryErrorsLeftOut(tErrors, ChangeOperation(family).c_str());
    return true;
  } catch (const std::exception& e) {
    LogError(ChangeOperation(family).c_str(), e.what());
    return false;
  }
}

}  // namespace

bool TDeskService::InsertClientInfo(const std::string& sAddress, int32_t nPort, TServerConnection* pConnection) {
  try {
    for (int32_t i = 0; i < MAX_CLIENT_SLOTS; ++i) {
      TServerSocketInfo& slot = MyAppInfo.MyServerSocketInfo[i];
      if (slot.tMainSocketServerStateMachine != MAIN_SOCKET_SERVER_STATE_MACHINE_NONE) continue;
      slot.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING;
      slot.sRemoteAddress = sAddress;
      slot.nRemotePort = nPort;
      vSessions[i] = pConnection;
      if (pConnection != nullptr) pConnection->nOwnerTag = i;  // its reads find the slot at once
      break;
    }
    // A full table leaves the connection without a slot; that is not a failure.
    return true;
  } catch (const std::exception& e) {
    LogError("InsertClientInfo", e.what());
    return false;
  }
}

bool TDeskService::DeleteClientInfo(const std::string& sAddress, int32_t nPort) {
  try {
    for (int32_t i = 0; i < MAX_CLIENT_SLOTS; ++i) {
      TServerSocketInfo& slot = MyAppInfo.MyServerSocketInfo[i];
      if (slot.sRemoteAddress != sAddress || slot.nRemotePort != nPort) continue;
      if (TServerConnection* pSession = Session(i); pSession != nullptr) pSession->nOwnerTag = -1;
      vSessions[i] = nullptr;
      slot = TServerSocketInfo();  // the release: NONE, no address, port 0, every flag off
      break;
    }
    return true;
  } catch (const std::exception& e) {
    LogError("DeleteClientInfo", e.what());
    return false;
  }
}

int32_t TDeskService::SlotOf(const TServerConnection& connection) const {
  const int32_t nSlot = connection.nOwnerTag;
  if (!IsSlotIndex(nSlot) || Session(nSlot) != &connection) return -1;
  return nSlot;
}

TServerConnection* TDeskService::Session(int32_t nSlot) const {
  if (!IsSlotIndex(nSlot) ||
      MyAppInfo.MyServerSocketInfo[nSlot].tMainSocketServerStateMachine == MAIN_SOCKET_SERVER_STATE_MACHINE_NONE)
    return nullptr;
  return vSessions[nSlot];
}

bool TDeskService::UpdateClientInfo(int32_t nSocketInfoArrayPos, const std::string& sAppInfo, const std::string& sToken,
                                 const std::string& sQueueList, const std::string& sPeerList,
                                 const std::string& sFeatureParkList) {
  try {
    if (!IsSlotIndex(nSocketInfoArrayPos)) return false;
    TServerSocketInfo& slot = MyAppInfo.MyServerSocketInfo[nSocketInfoArrayPos];
    const std::string sCleanAppInfo = CleanValue(sAppInfo);
    const std::string sCleanToken = CleanValue(sToken);
    if (!sCleanAppInfo.empty()) slot.sAppInfo = sCleanAppInfo;
    if (!sCleanToken.empty()) slot.sToken = sCleanToken;
    TEntryErrors tErrors;
    AddSubscriptions(slot, Family(EVENT_FAMILY_QUEUE), CleanValue(sQueueList), tErrors);
    AddSubscriptions(slot, Family(EVENT_FAMILY_PEER), CleanValue(sPeerList), tErrors);
    // The parking list is not cleaned as a whole; its entries are trimmed one by one.
    AddSubscriptions(slot, Family(EVENT_FAMILY_FEATUREPARK), sFeatureParkList, tErrors);
    LogEntryErrorsLeftOut(tErrors, "UpdateClientInfo");
    return true;
  } catch (const std::exception& e) {
    LogError("UpdateClientInfo", e.what());
    return false;
  }
}

bool TDeskService::ChangeQueueClientInfo(int32_t nSocketInfoArrayPos, const std::string& sQueueList) {
  return ChangeClientInfo(Family(EVENT_FAMILY_QUEUE), nSocketInfoArrayPos, sQueueList);
}

bool TDeskService::ChangePeerClientInfo(int32_t nSocketInfoArrayPos, const std::string& sPeerList) {
  return ChangeClientInfo(Family(EVENT_FAMILY_PEER), nSocketInfoArrayPos, sPeerList);
}

bool TDeskService::ChangeFeatureParkClientInfo(int32_t nSocketInfoArrayPos, const std::string& sFeatureParkList) {
  return ChangeClientInfo(Family(EVENT_FAMILY_FEATUREPARK), nSocketInfoArrayPos, sFeatureParkList);
}
