// Log panes and status bars: the pipeline stages' display (the controller registers itself as their
// TStageDisplay), drawn through the display sink. Each routine appends to its pane when its switch
// is on (the stage panes empty themselves past 10,000 displayed lines) and to its capture list
// while an audit runs. Without a registered display sink (service mode) nothing is shown and
// nothing is captured. Control thread only; failures end a routine silently.
#include <atomic>
#include <exception>
#include <vector>

#include "base/untMessage.h"
#include "controller/untValidate.h"
#include "logging/untDisplaySink.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"

namespace {

std::string Framed(int32_t nNumber, const std::string& sEvent) {
  const std::string sLine = " --- " + IntToStr(nNumber) + " --- \r\n";
  return sLine + sEvent + sLine;
}

// A stage pane: its "Enabled" switch and its capture list.
struct TStagePane {
  TPaneId tPane;
  const std::atomic<bool>* pbSwitch;
  TAuditList* TAuditEvents::*pList;
};

// The eight stage panes: the splitter's two, then each family's global and per-key pane; built on
// first use, after the shared records exist.
const std::vector<TStagePane>& StagePanes() {
  static const std::vector<TStagePane> vPanes = [] {
    std::vector<TStagePane> v = {
        {PANE_GENERIC_RECEIVED, &MyAppInfo.bWriteGeneralLogReceived, &TAuditEvents::lstReadReceived},
        {PANE_GENERIC_PROCESSED, &MyAppInfo.bWriteGeneralLogProcessed, &TAuditEvents::lstReadProcessed},
    };
    for (const TEventFamily& family : AllFamilies())
      for (const TFamilyStage* pStage : {&family.tGlobal, &family.tSpecific})
        v.push_back({pStage->tPane, &(MyAppInfo.*pStage->pbPaneSwitch), pStage->pAuditList});
    return v;
  }();
  return vPanes;
}

// The label message of panel 3 of each specific bar.
int KeyLabel(TStatusBarId tBar) {
  for (const TEventFamily& family : AllFamilies())
    if (family.tSpecific.tStatusBar == tBar) return family.nKeyLabelMsg;
  return Family(EVENT_FAMILY_FEATUREPARK).nKeyLabelMsg;
}

// Panels 0 to 2 of a ring's bar: write position, read position and their difference.
void SetPositions(TStatusBarId tBar, int32_t nWP, int32_t nRP, int32_t nDiff) {
  try {
    TDisplaySink* pSink = DisplaySink();
    if (pSink == nullptr) return;
    pSink->SetStatus(tBar, 0, Msg(60) + IntToStr(nWP));
    pSink->SetStatus(tBar, 1, Msg(61) + IntToStr(nRP));
    pSink->SetStatus(tBar, 2, Msg(62) + IntToStr(nDiff));
  } catch (const std::exception&) {
  }
}

// Panel 3 of a specific bar: the key of the ring with the largest backlog, with its label.
void SetKey(TStatusBarId tBar, int nLabel, int32_t nKey) {
  try {
    if (TDisplaySink* pSink = DisplaySink()) pSink->SetStatus(tBar, 3, Msg(nLabel) + IntToStr(nKey));
  } catch (const std::exception&) {
  }
}

}  // namespace

void TValidate::PrintMainAudit(const std::string& sMessage) {
  try {
    TDisplaySink* pSink = DisplaySink();
    if (pSink == nullptr) return;
    pSink->AppendPane(PANE_MAIN_AUDIT, sMessage);
    if (MyAuditEvents.bEnabled && MyAuditEvents.lstAudit != nullptr) MyAuditEvents.lstAudit->Add(sMessage);
  } catch (const std::exception&) {
  }
}

void TValidate::PrintStageLog(TPaneId tPane, const std::string& sMessage) {
  try {
    TDisplaySink* pSink = DisplaySink();
    if (pSink == nullptr) return;
    for (const TStagePane& t : StagePanes()) {
      if (t.tPane != tPane) continue;
      if (*t.pbSwitch) pSink->AppendPane(tPane, sMessage);
      TAuditList* lstAudit = MyAuditEvents.*t.pList;
      if (MyAuditEvents.bEnabled && lstAudit != nullptr) lstAudit->Add(sMessage);
      return;
    }
  } catch (const std::exception&) {
  }
}

void TValidate::PrintStageKeyLog(TPaneId tPane, int32_t nKey, const std::string& sEvent) {
  PrintStageLog(tPane, Framed(nKey, sEvent));
}

void TValidate::PrintGeneralLogReceived(const std::string& sMessage) { PrintStageLog(PANE_GENERIC_RECEIVED, sMessage); }
void TValidate::PrintGeneralLogProcessed(const std::string& sMessage) { PrintStageLog(PANE_GENERIC_PROCESSED, sMessage); }

void TValidate::ClearAllLogs() {
  try {
    TDisplaySink* pSink = DisplaySink();
    if (pSink == nullptr) return;
    // The two parking panes are left as they are.
    for (TPaneId t : {PANE_MAIN_AUDIT, PANE_MAIN_LOG, PANE_PROXY_LOG, PANE_GENERIC_RECEIVED, PANE_GENERIC_PROCESSED,
                      PANE_GLOBAL_QUEUE, PANE_SPECIFIC_QUEUE, PANE_GLOBAL_PEER, PANE_SPECIFIC_PEER})
      pSink->ClearPane(t);
  } catch (const std::exception&) {
  }
}

void TValidate::PrintStatusBarMain(int32_t nWP, int32_t nRP, bool bOnlyErr, int32_t nErr) {
  try {
    TDisplaySink* pSink = DisplaySink();
    if (pSink == nullptr) return;
    if (bOnlyErr)
      pSink->SetStatus(STB_GENERIC_MSG_READ, 3, Msg(66) + IntToStr(nErr));
    else
      SetPositions(STB_GENERIC_MSG_READ, nWP, nRP, nWP - nRP);
  } catch (const std::exception&) {
  }
}

void TValidate::PrintStatusBarGlobal(TStatusBarId tBar, int32_t nWP, int32_t nRP) {
  SetPositions(tBar, nWP, nRP, nWP - nRP);
}
void TValidate::PrintStatusBarSpecific(TStatusBarId tBar, int32_t nWP, int32_t nRP, int32_t nDiff, int32_t nKey) {
  SetPositions(tBar, nWP, nRP, nDiff);
  SetKey(tBar, KeyLabel(tBar), nKey);
}
