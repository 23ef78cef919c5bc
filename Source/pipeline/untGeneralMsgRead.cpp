// STUB: replaced by the pipeline work.
#include "pipeline/untGeneralMsgRead.h"
bool TGeneralMsgRead::Initialize() { return true; }
void TGeneralMsgRead::GeneralMsgRead(TText) {}
