// The extension table's reset, as the controller's operation: the rules themselves live beside
// the stages (pipeline/untPeerRules), which run them on the per-extension stage's thread without
// the controller. The exchange connection resets the table through the controller, on the control
// thread, when it starts or stops.
#include "controller/untValidate.h"
#include "pipeline/untPeerRules.h"

void TValidate::ResetPeerTable() { ::ResetPeerTable(); }
