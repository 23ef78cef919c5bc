// The console's model: panes with their two line bounds and scroll positions, status bars and
// control states. Control thread only.
#include "hosting/untDisplayModel.h"

#include <algorithm>

namespace {
constexpr int STATUS_PANELS[STB_COUNT] = {2, 4, 3, 4, 3, 4, 3, 4};
}

int32_t TPane::WrappedCount(const std::string& sLine) const {
  if (sLine.empty() || bClipLines) return 1;
  const auto nWidth = static_cast<size_t>(nWrapWidth);
  return static_cast<int32_t>((sLine.size() + nWidth - 1) / nWidth);
}

void TPane::Append(const std::string& sText) {
  // One entry may hold several lines; CR LF, a lone CR and a lone LF each end a line.
  int32_t nAdded = 0;
  size_t nStart = 0;
  for (size_t n = 0; n <= sText.size(); ++n) {
    if (n < sText.size() && sText[n] != '\r' && sText[n] != '\n') continue;
    std::string sLine = sText.substr(nStart, n - nStart);
    nAdded += WrappedCount(sLine);
    vLines.push_back(std::move(sLine));
    if (n + 1 < sText.size() && sText[n] == '\r' && sText[n + 1] == '\n') ++n;
    nStart = n + 1;
    if (nStart == sText.size()) break;  // a trailing line end adds no empty line
  }
  nDisplayedLines += nAdded;
  if (nLineLimit > 0 && nDisplayedLines > nLineLimit) {
    Clear();
    return;
  }
  if (nScrollBack > 0) nScrollBack += nAdded;  // the view stays on the text the operator reads
  DropOldest();
}

void TPane::DropOldest() {
  // The last line stays even when it alone passes the bound, so an entry is never lost unseen.
  while (nRetainLimit > 0 && nDisplayedLines > nRetainLimit && vLines.size() > 1) {
    nDisplayedLines -= WrappedCount(vLines.front());
    vLines.pop_front();
  }
  nScrollBack = std::min(nScrollBack, nDisplayedLines);
}

void TPane::Clear() {
  vLines.clear();
  nDisplayedLines = 0;
  nScrollBack = 0;
}

void TPane::SetWrapWidth(int32_t nWidth, bool bClip) {
  nWrapWidth = nWidth > 0 ? nWidth : 1;
  bClipLines = bClip;
  nDisplayedLines = 0;
  for (const std::string& sLine : vLines) nDisplayedLines += WrappedCount(sLine);
  nScrollBack = std::min(nScrollBack, nDisplayedLines);
}

std::vector<std::string> TPane::View(int32_t nRows) const {
  std::vector<std::string> vOut;
  if (nRows <= 0) return vOut;
  int32_t nSkip = std::min(nScrollBack, std::max(0, nDisplayedLines - nRows));
  const auto nWidth = static_cast<size_t>(nWrapWidth);
  // From the newest line upwards: skip the lines below the view, then take nRows.
  for (auto it = vLines.rbegin(); it != vLines.rend() && static_cast<int32_t>(vOut.size()) < nRows; ++it) {
    const int32_t nParts = WrappedCount(*it);
    if (nSkip >= nParts) {
      nSkip -= nParts;
      continue;
    }
    if (bClipLines) {
      vOut.push_back(it->substr(0, nWidth));
      if (it->size() > nWidth) vOut.back().back() = CLIPPED_MARK;
    } else {
      for (int32_t k = nParts - 1 - nSkip; k >= 0 && static_cast<int32_t>(vOut.size()) < nRows; --k)
        vOut.push_back(it->substr(static_cast<size_t>(k) * nWidth, nWidth));
    }
    nSkip = 0;
  }
  std::reverse(vOut.begin(), vOut.end());
  return vOut;
}

void TPane::ScrollBy(int32_t nDelta, int32_t nRows) {
  const int32_t nMax = std::max(0, nDisplayedLines - std::max(nRows, 1));
  nScrollBack = std::clamp(nScrollBack + nDelta, 0, nMax);
}

TDisplayModel::TDisplayModel() {
  for (int n = 0; n < STB_COUNT; ++n) vStatusBars[n].resize(STATUS_PANELS[n]);
  for (int n = PANE_GENERIC_RECEIVED; n < PANE_COUNT; ++n) vPanes[n].nLineLimit = PANE_LINE_LIMIT;
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

void TDisplayModel::ScrollPane(TPaneId tPane, int32_t nDelta, int32_t nRows) {
  vPanes[tPane].ScrollBy(nDelta, nRows);
  ++nVersion;
}

void TDisplayModel::SetWrapWidth(TPaneId tPane, int32_t nWidth, bool bClip) {
  if (vPanes[tPane].WrapWidth() == nWidth && vPanes[tPane].ClipsLines() == bClip) return;
  vPanes[tPane].SetWrapWidth(nWidth, bClip);
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

void TDisplayModel::SetBusy(bool bNewBusy) {
  bBusy = bNewBusy;
  ++nVersion;
  if (fnPaintNow) fnPaintNow();
}
