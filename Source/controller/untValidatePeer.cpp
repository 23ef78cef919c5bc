// STUB: replaced by the extension state work.
#include "controller/untValidate.h"
bool TValidate::ValidatePeerEvents(const std::string&, int32_t, bool&) { return true; }
bool TValidate::ProcessPeerEvents(const std::string&, const std::string&, const std::string&, const std::string&, int32_t, std::string&) { return false; }
TPeerState_OPT TValidate::ConvertPeerInfoToState(const std::string&) { return PEER_STATE_RESERVED; }
void TValidate::ResetPeerTable() {}
