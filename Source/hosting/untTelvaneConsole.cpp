// The manager object's console handlers: the layout rule, the "Clear" buttons, the "Enabled"
// check boxes, the first showing of each page, and the audit box with the audit on tmrMain.
//
// Control thread only. Every handler logs its own failure ("Error: ... during <handler> Process.").
// The audit counts tmrMain's 5-second ticks while a capture runs; a capture of m minutes ends on
// the (12 m + 1)-th tick, between 60 m and 60 m + 5 seconds after it started.
#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <string>

#include "base/untMessage.h"
#include "base/untVariables.h"
#include "controller/untValidate.h"
#include "hosting/untConsoleLayout.h"
#include "hosting/untTelvane.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"

namespace {

// nDurationSeconds * 1000 must stay inside 32 bits; longer captures are cut to this many minutes.
constexpr int32_t AUDIT_MAX_MINUTES = 35791;

std::atomic<bool>* PaneSwitch(TControlId tCheck) {
  if (tCheck == CTL_CHK_GENERIC_RECEIVED) return &MyAppInfo.bWriteGeneralLogReceived;
  if (tCheck == CTL_CHK_GENERIC_PROCESSED) return &MyAppInfo.bWriteGeneralLogProcessed;
  for (const TEventFamily& family : AllFamilies())
    for (const TFamilyStage* pStage : {&family.tGlobal, &family.tSpecific})
      if (pStage->tPaneCheck == tCheck) return &(MyAppInfo.*pStage->pbPaneSwitch);
  return nullptr;
}

}  // namespace

void TfrmTelvane::FormResize() {
  try {
    // Each pane wraps (or clips) at its memo's width, so its displayed line count follows the layout.
    const TConsoleLayout tLayout = ComputeConsoleLayout(MyDisplay.nScreenRows, MyDisplay.nScreenCols);
    for (int n = 0; n < PANE_COUNT; ++n)
      MyDisplay.SetWrapWidth(static_cast<TPaneId>(n), tLayout.vPanes[n].nWrapWidth, tLayout.vPanes[n].bClipLines);
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "FormResize", e.what());
  }
}

void TfrmTelvane::cmdClearAllLogsClick() {
  try {
    if (MyValidate != nullptr) MyValidate->ClearAllLogs();
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "cmdClearAllLogsClick", e.what());
  }
}

void TfrmTelvane::cmdPaneClearClick(TPaneId tPane) {
  try {
    MyDisplay.ClearPane(tPane);
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "cmdPaneClearClick", e.what());
  }
}

void TfrmTelvane::chkPaneEnabledClick(TControlId tCheck) {
  try {
    if (std::atomic<bool>* pSwitch = PaneSwitch(tCheck)) *pSwitch = MyDisplay.vControls[tCheck].bChecked;
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "chkPaneEnabledClick", e.what());
  }
}

void TfrmTelvane::tabShow(int nTab) {
  try {
    if (nTab < 0 || nTab >= static_cast<int>(vTabShown.size()) || vTabShown[nTab]) return;
    vTabShown[nTab] = true;
    FormResize();
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "tabShow", e.what());
  }
}

void TfrmTelvane::chkMainAuditClick() {
  try {
    if (MyAuditEvents.bEnabled) {
      // A running capture ends, whatever the box now shows.
      if (MyValidate != nullptr) MyValidate->AuditStop();
      return;
    }
    if (!MyDisplay.vControls[CTL_CHK_MAIN_AUDIT].bChecked) return;
    // Not a number, or below 1: one minute. The number shown is the number used.
    const std::optional<int32_t> nRead = StrToIntStrict(MyDisplay.vControls[CTL_TXT_AUDIT_TIME].sText);
    const int32_t nMinutes = nRead && *nRead >= 1 ? std::min(*nRead, AUDIT_MAX_MINUTES) : 1;
    MyDisplay.SetText(CTL_TXT_AUDIT_TIME, IntToStr(nMinutes));
    if (MyValidate != nullptr) MyValidate->AuditStart(nMinutes);
  } catch (const std::exception& e) {
    LogOperationError("TfrmTelvane", "chkMainAuditClick", e.what());
  }
}

void TfrmTelvane::tmrMainTimerAudit() {
  const char* sSource = "TfrmTelvane.tmrMainTimer";
  try {
    if (!MyAuditEvents.bEnabled) {
      MyMainTimerControl.nAuditTicks = 0;
      return;
    }
    ++MyMainTimerControl.nAuditTicks;
    const int32_t nSeconds = MyAuditEvents.nDurationSeconds;
    if (static_cast<double>(MyMainTimerControl.nAuditTicks) <= nSeconds * 1000.0 / 5000.0) return;
    WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, "Timer of Audit: " + IntToStr(nSeconds) + " seconds...", false);
    MyMainTimerControl.nAuditTicks = 0;
    const std::string sTimeout = Msg(17) + IntToStr(nSeconds / 60);
    WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, sTimeout, false);
    if (MyValidate != nullptr) {
      MyValidate->PrintMainAudit(sTimeout);
      MyValidate->AuditStop();
    }
  } catch (const std::exception& e) {
    WriteErrorLog(sSource, LOG_TARGET_MAIN, e.what(), "Main Timer (MyAuditEvents.bEnabled)");
    MyDisplay.SetBusy(false);
  }
}
