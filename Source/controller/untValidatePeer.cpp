// Extension states, as the controller's operations: the rules themselves live beside the stages
// (pipeline/untPeerRules), which run them on the per-extension stage's thread without the
// controller. These members hand each call on unchanged: the operations keep the names they are
// known by, and the exchange connection resets the table through the controller as before.
#include "controller/untValidate.h"
#include "pipeline/untPeerRules.h"

bool TValidate::ValidatePeerEvents(const std::string& sMyNewMessage, int32_t nPeerNumber, bool& bGenerateEvent) {
  return ::ValidatePeerEvents(sMyNewMessage, nPeerNumber, bGenerateEvent);
}

bool TValidate::ProcessPeerEvents(const std::string& sData, const std::string& sEventToFind,
                                  const std::string& sHowToFindPeer, const std::string& sGenericInfoToFind,
                                  int32_t nPeerNumber, std::string& sPeerInfo) {
  return ::ProcessPeerEvents(sData, sEventToFind, sHowToFindPeer, sGenericInfoToFind, nPeerNumber, sPeerInfo);
}

TPeerState_OPT TValidate::ConvertPeerInfoToState(const std::string& sPeerInfo) {
  return ::ConvertPeerInfoToState(sPeerInfo);
}

void TValidate::ResetPeerTable() { ::ResetPeerTable(); }
