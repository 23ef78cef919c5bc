// STUB: replaced by the client service work.
#include "hosting/untTelvane.h"
void TfrmTelvane::socManagerServerListen() {}
void TfrmTelvane::socManagerServerAccept(TServerConnection&) {}
void TfrmTelvane::socManagerServerClientConnect(TServerConnection&) {}
void TfrmTelvane::socManagerServerClientDisconnect(TServerConnection&) {}
void TfrmTelvane::socManagerServerClientError(TServerConnection&, int&) {}
void TfrmTelvane::socManagerServerClientRead(TServerConnection&) {}
void TfrmTelvane::socManagerServerClientOverflow(TServerConnection&) {}
