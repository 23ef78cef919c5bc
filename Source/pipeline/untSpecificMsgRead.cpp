// STUB: replaced by the pipeline work.
#include "pipeline/untSpecificMsgRead.h"
bool TGlobalQueueMsgRead::Initialize() { return true; }
void TGlobalQueueMsgRead::GlobalQueueMsgRead(TText) {}
bool TSpecificQueueMsgRead::Initialize() { return true; }
void TSpecificQueueMsgRead::SpecificQueueMsgRead(TText, int32_t) {}
bool TGlobalPeerMsgRead::Initialize() { return true; }
void TGlobalPeerMsgRead::GlobalPeerMsgRead(TText) {}
bool TSpecificPeerMsgRead::Initialize() { return true; }
void TSpecificPeerMsgRead::SpecificPeerMsgRead(TText, int32_t) {}
bool TGlobalFeatureParkMsgRead::Initialize() { return true; }
void TGlobalFeatureParkMsgRead::GlobalFeatureParkMsgRead(TText) {}
bool TSpecificFeatureParkMsgRead::Initialize() { return true; }
void TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead(TText, int32_t) {}
