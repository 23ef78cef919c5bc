#include "hosting/untDisplayModel.h"

namespace {
constexpr int STATUS_PANELS[STB_COUNT] = {2, 4, 3, 4, 3, 4, 3, 4};
}

int32_t TPane::WrappedCount(const std::string& sLine) const {
  if (sLine.empty() || nWrapWidth <= 0) return 1;
  return static_cast<int32_t>((sLine.size() + static_cast<size_t>(nWrapWidth) - 1) / static_cast<size_t>(nWrapWidth));
}

void TPane::Append(const std::string& sText) {
  // One entry may hold several lines; CR LF, a lone CR and a lone LF each end a line.
  size_t nStart = 0;
  for (size_t n = 0; n <= sText.size(); ++n) {
    if (n < sText.size() && sText[n] != '\r' && sText[n] != '\n') continue;
    std::string sLine = sText.substr(nStart, n - nStart);
    nDisplayedLines += WrappedCount(sLine);
    vLines.push_back(std::move(sLine));
    if (n + 1 < sText.size() && sText[n] == '\r' && sText[n + 1] == '\n') ++n;
    nStart = n + 1;
    if (nStart == sText.size()) break;  // a trailing line end adds no empty line
  }
  if (nLineLimit > 0 && nDisplayedLines > nLineLimit) Clear();
}

void TPane::Clear() {
  vLines.clear();
  nDisplayedLines = 0;
}

void TPane::SetWrapWidth(int32_t nWidth) {
  nWrapWidth = nWidth > 0 ? nWidth : 1;
  nDisplayedLines = 0;
  for (const std::string& sLine : vLines) nDisplayedLines += WrappedCount(sLine);
}

TDisplayModel::TDisplayModel() {
  for (int n = 0; n < STB_COUNT; ++n) vStatusBars[n].resize(STATUS_PANELS[n]);
  for (int n = PANE_GENERIC_RECEIVED; n < PANE_COUNT; ++n) vPanes[n].nLineLimit = 10000;
  // The configuration fields start disabled; the start and stop actions switch them with their side.
  for (TControlId t : {CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET, CTL_TXT_PROXY_PORT})
    vControls[t].bEnabled = false;
  vControls[CTL_TXT_AUDIT_TIME].sText = "10";
}

void TDisplayModel::AppendPane(TPaneId tPane, const std::string& sText) {
  vPanes[tPane].Append(sText);
  ++nVersion;
}

void TDisplayModel::ClearPane(TPaneId tPane) {
  vPanes[tPane].Clear();
  ++nVersion;
}

void TDisplayModel::SetStatus(TStatusBarId tBar, int nPanel, const std::string& sText) {
  auto& vPanels = vStatusBars[tBar];
  if (nPanel < 0 || nPanel >= static_cast<int>(vPanels.size())) return;
  vPanels[nPanel] = sText;
  ++nVersion;
}

void TDisplayModel::SetEnabled(TControlId tControl, bool bEnabled) {
  vControls[tControl].bEnabled = bEnabled;
  ++nVersion;
}

void TDisplayModel::SetVisible(TControlId tControl, bool bVisible) {
  vControls[tControl].bVisible = bVisible;
  ++nVersion;
}

void TDisplayModel::SetChecked(TControlId tControl, bool bChecked) {
  vControls[tControl].bChecked = bChecked;
  ++nVersion;
}

void TDisplayModel::SetText(TControlId tControl, const std::string& sText) {
  vControls[tControl].sText = sText;
  ++nVersion;
}
