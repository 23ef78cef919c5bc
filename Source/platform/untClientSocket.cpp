// STUB: replaced by the exchange connection work.
#include "platform/untClientSocket.h"
struct TClientSocket::TImpl {};
TClientSocket::TClientSocket() {}
TClientSocket::~TClientSocket() {}
void TClientSocket::SetActive(bool) {}
bool TClientSocket::Active() const { return false; }
std::string TClientSocket::RemoteAddress() const { return {}; }
int TClientSocket::SendText(const std::string&) { return 0; }
std::string TClientSocket::ReceiveText() { return {}; }
std::string TClientSocket::LastErrorText() const { return {}; }
