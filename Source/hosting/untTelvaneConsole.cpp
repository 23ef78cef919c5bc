// STUB: replaced by the console work.
#include "hosting/untTelvane.h"
#include "controller/untValidate.h"
void TfrmTelvane::FormResize() {}
void TfrmTelvane::cmdClearAllLogsClick() {}
void TfrmTelvane::cmdPaneClearClick(TPaneId) {}
void TfrmTelvane::chkPaneEnabledClick(TControlId) {}
void TfrmTelvane::chkMainAuditClick() {}
void TfrmTelvane::tabShow(int) {}
void TfrmTelvane::tmrMainTimerAudit() {}
void TValidate::AuditStart(int32_t) {}
void TValidate::AuditStop() {}
