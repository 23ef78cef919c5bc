// Log panes and status bars: the display sink of the pipeline stages. Each routine appends to its
// pane when its switch is on (the stage panes empty themselves past 10,000 displayed lines) and to
// its capture list while an audit runs. Without a registered console nothing is shown and nothing
// is captured. Control thread only; failures end a routine silently.
#include <atomic>
#include <exception>

#include "controller/untValidate.h"
#include "hosting/untTelvane.h"
#include "logging/untUtil.h"
#include "startup/untMessage.h"

namespace {

std::string Framed(int32_t nNumber, const std::string& sEvent) {
  const std::string sLine = " --- " + IntToStr(nNumber) + " --- \r\n";
  return sLine + sEvent + sLine;
}

void ToPane(const std::atomic<bool>& bSwitch, TPaneId tPane, TAuditList* lstAudit, const std::string& sText) {
  try {
    TfrmTelvane* frm = frmTelvane.load();
    if (frm == nullptr) return;
    if (bSwitch) frm->MyDisplay.AppendPane(tPane, sText);
    if (MyAuditEvents.bEnabled && lstAudit != nullptr) lstAudit->Add(sText);
  } catch (const std::exception&) {
  }
}

// Panels 0 to 2 of a ring's bar: write position, read position and their difference.
void SetPositions(TStatusBarId tBar, int32_t nWP, int32_t nRP, int32_t nDiff) {
  try {
    TfrmTelvane* frm = frmTelvane.load();
    if (frm == nullptr) return;
    frm->MyDisplay.SetStatus(tBar, 0, Msg(60) + IntToStr(nWP));
    frm->MyDisplay.SetStatus(tBar, 1, Msg(61) + IntToStr(nRP));
    frm->MyDisplay.SetStatus(tBar, 2, Msg(62) + IntToStr(nDiff));
  } catch (const std::exception&) {
  }
}

// Panel 3 of a specific bar: the key of the ring with the largest backlog, with its label.
void SetKey(TStatusBarId tBar, int nLabel, int32_t nKey) {
  try {
    TfrmTelvane* frm = frmTelvane.load();
    if (frm != nullptr) frm->MyDisplay.SetStatus(tBar, 3, Msg(nLabel) + IntToStr(nKey));
  } catch (const std::exception&) {
  }
}

}  // namespace

void TValidate::PrintMainAudit(const std::string& sMessage) {
  try {
    TfrmTelvane* frm = frmTelvane.load();
    if (frm == nullptr) return;
    frm->MyDisplay.AppendPane(PANE_MAIN_AUDIT, sMessage);
    if (MyAuditEvents.bEnabled && MyAuditEvents.lstAudit != nullptr) MyAuditEvents.lstAudit->Add(sMessage);
  } catch (const std::exception&) {
  }
}

void TValidate::PrintGeneralLogReceived(const std::string& sMessage) {
  ToPane(MyAppInfo.bWriteGeneralLogReceived, PANE_GENERIC_RECEIVED, MyAuditEvents.lstReadReceived, sMessage);
}
void TValidate::PrintGeneralLogProcessed(const std::string& sMessage) {
  ToPane(MyAppInfo.bWriteGeneralLogProcessed, PANE_GENERIC_PROCESSED, MyAuditEvents.lstReadProcessed, sMessage);
}
void TValidate::PrintGlobalQueueLog(const std::string& sMessage) {
  ToPane(MyAppInfo.bWriteGlobalQueueLog, PANE_GLOBAL_QUEUE, MyAuditEvents.lstGlobalQueue, sMessage);
}
void TValidate::PrintSpecificQueueLog(int32_t nQueueNumber, const std::string& sQueueEvent) {
  ToPane(MyAppInfo.bWriteSpecificQueueLog, PANE_SPECIFIC_QUEUE, MyAuditEvents.lstSpecificQueue,
         Framed(nQueueNumber, sQueueEvent));
}
void TValidate::PrintGlobalPeerLog(const std::string& sMessage) {
  ToPane(MyAppInfo.bWriteGlobalPeerLog, PANE_GLOBAL_PEER, MyAuditEvents.lstGlobalPeer, sMessage);
}
void TValidate::PrintSpecificPeerLog(int32_t nPeerNumber, const std::string& sPeerEvent) {
  ToPane(MyAppInfo.bWriteSpecificPeerLog, PANE_SPECIFIC_PEER, MyAuditEvents.lstSpecificPeer,
         Framed(nPeerNumber, sPeerEvent));
}
void TValidate::PrintGlobalFeatureParkLog(const std::string& sMessage) {
  ToPane(MyAppInfo.bWriteGlobalFeatureParkLog, PANE_GLOBAL_FEATUREPARK, MyAuditEvents.lstGlobalFeaturePark, sMessage);
}
void TValidate::PrintSpecificFeatureParkLog(int32_t nFeatureParkinglotNumber, const std::string& sFeatureParkEvent) {
  ToPane(MyAppInfo.bWriteSpecificFeatureParkLog, PANE_SPECIFIC_FEATUREPARK, MyAuditEvents.lstSpecificFeaturePark,
         Framed(nFeatureParkinglotNumber, sFeatureParkEvent));
}

void TValidate::ClearAllLogs() {
  try {
    TfrmTelvane* frm = frmTelvane.load();
    if (frm == nullptr) return;
    // The two parking panes are left as they are.
    for (TPaneId t : {PANE_MAIN_AUDIT, PANE_MAIN_LOG, PANE_PROXY_LOG, PANE_GENERIC_RECEIVED, PANE_GENERIC_PROCESSED,
                      PANE_GLOBAL_QUEUE, PANE_SPECIFIC_QUEUE, PANE_GLOBAL_PEER, PANE_SPECIFIC_PEER})
      frm->MyDisplay.ClearPane(t);
  } catch (const std::exception&) {
  }
}

void TValidate::PrintStatusBarMain(int32_t nWP, int32_t nRP, bool bOnlyErr, int32_t nErr) {
  try {
    TfrmTelvane* frm = frmTelvane.load();
    if (frm == nullptr) return;
    if (bOnlyErr)
      frm->MyDisplay.SetStatus(STB_GENERIC_MSG_READ, 3, Msg(66) + IntToStr(nErr));
    else
      SetPositions(STB_GENERIC_MSG_READ, nWP, nRP, nWP - nRP);
  } catch (const std::exception&) {
  }
}

void TValidate::PrintStatusBarGlobalQueue(int32_t nWP, int32_t nRP) { SetPositions(STB_GLOBAL_QUEUE, nWP, nRP, nWP - nRP); }
void TValidate::PrintStatusBarGlobalPeer(int32_t nWP, int32_t nRP) { SetPositions(STB_GLOBAL_PEER, nWP, nRP, nWP - nRP); }
void TValidate::PrintStatusBarGlobalFeaturePark(int32_t nWP, int32_t nRP) {
  SetPositions(STB_GLOBAL_FEATUREPARK, nWP, nRP, nWP - nRP);
}

void TValidate::PrintStatusBarSpecificQueue(int32_t nWP, int32_t nRP, int32_t nDiff, int32_t nQueueNumber) {
  SetPositions(STB_SPECIFIC_QUEUE, nWP, nRP, nDiff);
  SetKey(STB_SPECIFIC_QUEUE, 63, nQueueNumber);
}
void TValidate::PrintStatusBarSpecificPeer(int32_t nWP, int32_t nRP, int32_t nDiff, int32_t nPeerNumber) {
  SetPositions(STB_SPECIFIC_PEER, nWP, nRP, nDiff);
  SetKey(STB_SPECIFIC_PEER, 64, nPeerNumber);
}
void TValidate::PrintStatusBarSpecificFeaturePark(int32_t nWP, int32_t nRP, int32_t nDiff, int32_t nFeatureParkinglotNumber) {
  SetPositions(STB_SPECIFIC_FEATUREPARK, nWP, nRP, nDiff);
  SetKey(STB_SPECIFIC_FEATUREPARK, 65, nFeatureParkinglotNumber);
}
