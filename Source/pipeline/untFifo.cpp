// STUB: replaced by the pipeline work.
#include "pipeline/untFifo.h"
TFifoReceived& MyFifoReceived = *new TFifoReceived();
void FifoPush(TGenericMsgReadFifo&, TText, const char*, const char*) {}
void FifoPush(TSpecificMsgReadFifo&, TText, const char*, const char*) {}
TText FifoPop(TGenericMsgReadFifo&) { return nullptr; }
TText FifoPop(TSpecificMsgReadFifo&) { return nullptr; }
bool FifoOpen(TGenericMsgReadFifo&) { return true; }
bool FifoOpen(TSpecificMsgReadFifo&) { return true; }
