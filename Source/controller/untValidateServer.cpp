// STUB: replaced by the client service work.
#include "controller/untValidate.h"
bool TValidate::InsertClientInfo(const std::string&, int32_t) { return true; }
bool TValidate::DeleteClientInfo(const std::string&, int32_t) { return true; }
bool TValidate::UpdateClientInfo(int32_t, const std::string&, const std::string&, const std::string&, const std::string&, const std::string&) { return true; }
int32_t TValidate::FindClientConnected(int32_t) { return -1; }
bool TValidate::ChangeQueueClientInfo(int32_t, const std::string&) { return true; }
bool TValidate::ChangePeerClientInfo(int32_t, const std::string&) { return true; }
bool TValidate::ChangeFeatureParkClientInfo(int32_t, const std::string&) { return true; }
bool TValidate::SocketServerRead(const std::string&, int32_t, int32_t, const std::string&, int32_t) { return true; }
bool TValidate::SocketServerQueueWrite(int32_t, const std::string&) { return true; }
bool TValidate::SocketServerPeerWrite(int32_t, const std::string&) { return true; }
bool TValidate::SocketServerFeatureParkWrite(int32_t, const std::string&) { return true; }
bool TValidate::StartSocketServer(int32_t) { return false; }
bool TValidate::StopSocketServer() { return true; }
