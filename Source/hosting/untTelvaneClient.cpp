// STUB: replaced by the exchange connection work.
#include "hosting/untTelvane.h"
void TfrmTelvane::tmrMainTimerReconnect() {}
void TfrmTelvane::tmrAMIKeepAliveTimer() {}
void TfrmTelvane::socManagerClientConnecting() {}
void TfrmTelvane::socManagerClientConnect() {}
void TfrmTelvane::socManagerClientDisconnect() {}
void TfrmTelvane::socManagerClientError(int&) {}
void TfrmTelvane::socManagerClientRead() {}
