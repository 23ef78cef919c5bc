// STUB: replaced by the exchange connection work.
#include "controller/untValidate.h"
bool TValidate::StartSocketClient(const std::string&, int32_t) { return false; }
bool TValidate::StopSocketClient(int32_t, bool) { return true; }
bool TValidate::SocketClientRead(const std::string&, int32_t) { return true; }
