// The client service's operations under the names they are known by, each handed on unchanged to
// the desk service that owns the listener, the slot table, the handshake and the fan-out
// (controller/untDeskSlots.cpp, untDeskHandshake.cpp, untDeskFanOut.cpp); and the pure text
// routines of the client protocol (untValidateServer.h).
//
// Threads: control thread only, like the desk service. Without an attached desk service (before
// the manager object wires it, after it is gone) each operation logs its error line and fails.
#include "controller/untValidateServer.h"

#include <string>
#include <string_view>

#include "controller/untDeskService.h"
#include "controller/untValidate.h"
#include "logging/untLogger.h"

namespace {

bool NoDeskService(const char* sOperation) {
  LogOperationError("TValidate", sOperation, "the client listener does not exist", LOG_TARGET_PROXY);
  return false;
}

}  // namespace

TExtractResult_OPT ExtractHandshakeValue(std::string_view sText, std::string_view sKey, std::string_view sTerminator,
                                         std::string& sValue, size_t nValueOffset) {
  const size_t nKey = sText.find(sKey);
  if (nKey == std::string_view::npos) return EXTRACT_RESULT_NO_KEY;
  if (nValueOffset == std::string_view::npos) nValueOffset = sKey.size();
  const std::string_view sRest = sText.substr(nKey + nValueOffset);
  const size_t nTerminator = sRest.find(sTerminator);
  if (nTerminator == std::string_view::npos) return EXTRACT_RESULT_NO_TERMINATOR;
  sValue = std::string(sRest.substr(0, nTerminator + 2));  // t + 1 characters, t counted from 1
  return EXTRACT_RESULT_FOUND;
}

std::string RemoveAllCrLfPairs(std::string_view sText) {
  // Removing a pair can bring a CR and an LF together; a stack-like pass cancels those too.
  std::string sOut;
  sOut.reserve(sText.size());
  for (char c : sText) {
    if (c == '\n' && !sOut.empty() && sOut.back() == '\r')
      sOut.pop_back();
    else
      sOut += c;
  }
  return sOut;
}

void TValidate::AttachDeskService(TDeskService* pDesks) { pDeskService = pDesks; }

bool TValidate::InsertClientInfo(const std::string& sAddress, int32_t nPort, TServerConnection* pConnection) {
  if (pDeskService == nullptr) return NoDeskService("InsertClientInfo");
  return pDeskService->InsertClientInfo(sAddress, nPort, pConnection);
}

bool TValidate::DeleteClientInfo(const std::string& sAddress, int32_t nPort) {
  if (pDeskService == nullptr) return NoDeskService("DeleteClientInfo");
  return pDeskService->DeleteClientInfo(sAddress, nPort);
}

bool TValidate::UpdateClientInfo(int32_t nSocketInfoArrayPos, const std::string& sAppInfo, const std::string& sToken,
                                 const std::string& sQueueList, const std::string& sPeerList,
                                 const std::string& sFeatureParkList) {
  if (pDeskService == nullptr) return NoDeskService("UpdateClientInfo");
  return pDeskService->UpdateClientInfo(nSocketInfoArrayPos, sAppInfo, sToken, sQueueList, sPeerList,
                                        sFeatureParkList);
}

bool TValidate::ChangeQueueClientInfo(int32_t nSocketInfoArrayPos, const std::string& sQueueList) {
  if (pDeskService == nullptr) return NoDeskService("ChangeQueueClientInfo");
  return pDeskService->ChangeQueueClientInfo(nSocketInfoArrayPos, sQueueList);
}

bool TValidate::ChangePeerClientInfo(int32_t nSocketInfoArrayPos, const std::string& sPeerList) {
  if (pDeskService == nullptr) return NoDeskService("ChangePeerClientInfo");
  return pDeskService->ChangePeerClientInfo(nSocketInfoArrayPos, sPeerList);
}

bool TValidate::ChangeFeatureParkClientInfo(int32_t nSocketInfoArrayPos, const std::string& sFeatureParkList) {
  if (pDeskService == nullptr) return NoDeskService("ChangeFeatureParkClientInfo");
  return pDeskService->ChangeFeatureParkClientInfo(nSocketInfoArrayPos, sFeatureParkList);
}

bool TValidate::SocketServerRead(const std::string& sReceivedText, int32_t nSocketServerClientPos,
                                 int32_t nSocketInfoArrayPos, const std::string& sRemoteAddress, int32_t nRemotePort) {
  if (pDeskService == nullptr) return NoDeskService("SocketServerRead");
  return pDeskService->SocketServerRead(sReceivedText, nSocketServerClientPos, nSocketInfoArrayPos, sRemoteAddress,
                                        nRemotePort);
}

bool TValidate::SocketServerWriteBatch(const TEventBatch& tBatch) {
  if (pDeskService == nullptr) return NoDeskService("SocketServerWriteBatch");
  return pDeskService->SocketServerWriteBatch(tBatch);
}

bool TValidate::StartSocketServer(int32_t nPort) {
  if (pDeskService == nullptr) return NoDeskService("StartSocketServer");
  return pDeskService->StartSocketServer(nPort);
}

bool TValidate::StopSocketServer() {
  if (pDeskService == nullptr) return NoDeskService("StopSocketServer");
  return pDeskService->StopSocketServer();
}
