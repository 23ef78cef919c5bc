// STUB: replaced by the client service work.
#include "platform/untServerSocket.h"
struct TServerSocket::TImpl {};
TServerSocket::TServerSocket() {}
TServerSocket::~TServerSocket() {}
void TServerSocket::SetActive(bool) {}
bool TServerSocket::Active() const { return false; }
int TServerSocket::LocalPort() const { return 0; }
int TServerSocket::ActiveConnections() const { return 0; }
TServerConnection* TServerSocket::Connections(int) { return nullptr; }
