// The console's layout rule in cells; see the header for the rule itself.
#include "hosting/untConsoleLayout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "pipeline/untEventFamily.h"

namespace {

constexpr int32_t TOP_BAR_ROWS = 3;
constexpr int32_t BUTTON_GAP = 1;  // blank cells between button columns, and before the fields
constexpr int32_t IP_MIN_WIDTH = 15, IP_MAX_WIDTH = 32;  // the Server IP field's value cells

int32_t Half(int32_t n) { return static_cast<int32_t>(std::lround(n / 2.0)); }

TCellRect Rect(int32_t nRow, int32_t nCol, int32_t nHeight, int32_t nWidth) {
  TCellRect r;
  r.nRow = nRow;
  r.nCol = nCol;
  r.nHeight = std::max(nHeight, 0);
  r.nWidth = std::max(nWidth, 0);
  return r;
}

// Panels of a bar across the page: each 1/n of the width, rounded; the last takes what is left.
std::vector<TCellRect> Panels(int32_t nRow, int32_t nWidth, int nCount) {
  std::vector<TCellRect> v;
  const auto nEach = static_cast<int32_t>(std::lround(static_cast<double>(nWidth) / nCount));
  for (int n = 0; n < nCount; ++n) {
    const int32_t nCol = n * nEach;
    v.push_back(Rect(nRow, nCol, 1, n + 1 == nCount ? nWidth - nCol : nEach));
  }
  return v;
}

int PanelCount(TStatusBarId tBar) {
  static constexpr int PANELS[STB_COUNT] = {2, 4, 3, 4, 3, 4, 3, 4};
  return PANELS[tBar];
}

// A pane of nHeight rows from nRow, with nLead rows (a status bar) before its caption row.
TPaneLayout Pane(int32_t nRow, int32_t nHeight, int32_t nWidth, int32_t nLead, bool bEnabled) {
  TPaneLayout p;
  const int32_t nCaption = nRow + nLead;
  const int32_t nMemoRows = nHeight - nLead - 1;
  const int32_t nMemoWidth = nWidth - CONSOLE_CLEAR_WIDTH - 3;
  p.rCaption = Rect(nCaption, 0, 1, nWidth);
  p.rMemo = Rect(nCaption + 1, 1, nMemoRows, nMemoWidth);
  p.rScrollBar = Rect(nCaption + 1, p.rMemo.nCol + nMemoWidth, nMemoRows, 1);
  p.rClear = Rect(p.rMemo.Bottom(), p.rMemo.nCol + nMemoWidth + 1, 1, CONSOLE_CLEAR_WIDTH);
  if (bEnabled) p.rEnabled = Rect(p.rClear.nRow - 1, p.rClear.nCol, 1, CONSOLE_CLEAR_WIDTH);
  p.nWrapWidth = p.rMemo.nWidth;
  return p;
}

// "[F3 Start Client]": the key, a blank and the caption between brackets.
int32_t ButtonWidth(TControlId t) {
  return static_cast<int32_t>(std::strlen(ButtonKey(t)) + 1 + std::strlen(ControlCaption(t)) + 2);
}

void LayOutTopBar(TConsoleLayout& l, int32_t nCols) {
  // Buttons right-aligned in three columns (proxy, client, server), start above, stop below; one
  // blank column to the right edge, as beside the panes' "Clear".
  const int32_t nProxyWidth = std::max(ButtonWidth(CTL_CMD_START_PROXY), ButtonWidth(CTL_CMD_STOP_PROXY));
  const int32_t nClientWidth = std::max(ButtonWidth(CTL_CMD_START_CLIENT), ButtonWidth(CTL_CMD_STOP_CLIENT));
  const int32_t nServerWidth = std::max({ButtonWidth(CTL_CMD_START_SERVER), ButtonWidth(CTL_CMD_STOP_SERVER),
                                         ButtonWidth(CTL_CMD_CLEAR_ALL_LOGS)});
  const int32_t nServer = nCols - 1 - nServerWidth;
  const int32_t nClient = nServer - BUTTON_GAP - nClientWidth;
  const int32_t nProxy = nClient - BUTTON_GAP - nProxyWidth;
  const int32_t nTop = l.rTopBar.nRow;
  l.vControls[CTL_CMD_START_PROXY] = Rect(nTop, nProxy, 1, nProxyWidth);
  l.vControls[CTL_CMD_STOP_PROXY] = Rect(nTop + 1, nProxy, 1, nProxyWidth);
  l.vControls[CTL_CMD_START_CLIENT] = Rect(nTop, nClient, 1, nClientWidth);
  l.vControls[CTL_CMD_STOP_CLIENT] = Rect(nTop + 1, nClient, 1, nClientWidth);
  l.vControls[CTL_CMD_START_SERVER] = Rect(nTop, nServer, 1, nServerWidth);
  l.vControls[CTL_CMD_STOP_SERVER] = Rect(nTop + 1, nServer, 1, nServerWidth);
  l.vControls[CTL_CMD_CLEAR_ALL_LOGS] = Rect(nTop + 2, nServer, 1, nServerWidth);
  // The five fields flow left to right over the rows left of the buttons, from the left edge.
  const int32_t vRowWidth[TOP_BAR_ROWS] = {nProxy - BUTTON_GAP, nProxy - BUTTON_GAP, nServer - BUTTON_GAP};
  const int32_t nIpWidth = std::clamp(vRowWidth[0] - 11, IP_MIN_WIDTH, IP_MAX_WIDTH);
  const struct { TControlId t; int32_t nValue; } vFields[] = {
      {CTL_TXT_SERVER_IP, nIpWidth}, {CTL_TXT_SERVER_PORT, 5}, {CTL_TXT_USERNAME, 8},
      {CTL_TXT_SECRET, 8}, {CTL_TXT_PROXY_PORT, 5}};
  int32_t nRow = 0, nCol = 0;
  for (const auto& f : vFields) {
    const auto nWidth = static_cast<int32_t>(std::strlen(ControlCaption(f.t))) + 2 + f.nValue;
    while (nRow < TOP_BAR_ROWS - 1 && nCol + nWidth > vRowWidth[nRow]) {
      ++nRow;
      nCol = 0;
    }
    l.vControls[f.t] = Rect(nTop + nRow, nCol, 1, std::min(nWidth, vRowWidth[nRow] - nCol));
    nCol += nWidth + 2;
  }
}

void LayOutTabs(TConsoleLayout& l) {
  int32_t nCol = 0;
  for (int n = 0; n < PAGE_COUNT; ++n) {
    const auto nWidth = static_cast<int32_t>(std::strlen(PageCaption(n))) + 4;  // "[1 Main]"
    l.vTabs[n] = Rect(l.rTabStrip.nRow, nCol, 1, nWidth);
    nCol += nWidth;
  }
}

// Text rows of the lower (proxy) and upper (main) log when the audit group takes nAuditRows.
int32_t FewerLogRows(int32_t nPageHeight, int32_t nAuditRows) {
  const int32_t nRest = nPageHeight - nAuditRows;
  const int32_t nProxy = Half(nRest);
  return std::min(nProxy, nRest - nProxy) - 1;  // each log has a caption row
}

// The audit group with its frame: the check box row, then the memo's two rows with "Clear".
void LayOutAuditGroup(TConsoleLayout& l, int32_t nTop, int32_t nWidth) {
  l.rAuditGroup = Rect(nTop, 1, CONSOLE_AUDIT_HEIGHT, nWidth - 2);  // panel width - 2
  const TCellRect& g = l.rAuditGroup;
  l.vControls[CTL_CHK_MAIN_AUDIT] = Rect(nTop + 1, g.nCol + 2, 1, 29);  // "[ ] Enabled Audit Time (Min.)"
  l.vControls[CTL_TXT_AUDIT_TIME] = Rect(nTop + 1, g.nCol + 2 + 29 + 1, 1, CONSOLE_MINUTES_DIGITS + 2);
  TPaneLayout& audit = l.vPanes[PANE_MAIN_AUDIT];
  const int32_t nMemoWidth = g.nWidth - CONSOLE_CLEAR_WIDTH - 3;  // group width - Clear width - 3
  audit.rMemo = Rect(nTop + 2, g.nCol + 1, 2, nMemoWidth);
  audit.rScrollBar = Rect(audit.rMemo.nRow, audit.rMemo.nCol + nMemoWidth, 2, 1);
  audit.rClear = Rect(audit.rMemo.Bottom(), audit.rScrollBar.nCol + 1, 1, CONSOLE_CLEAR_WIDTH);
  audit.nWrapWidth = nMemoWidth;
}

// The audit group folded into one row without a frame: check box, minutes, memo, "Clear"; the
// memo and "Clear" end where they end in the other panes.
void LayOutFoldedAuditGroup(TConsoleLayout& l, int32_t nTop, int32_t nWidth) {
  l.rAuditGroup = Rect(nTop, 1, 1, nWidth - 2);
  l.vControls[CTL_CHK_MAIN_AUDIT] = Rect(nTop, 1, 1, 29);
  l.vControls[CTL_TXT_AUDIT_TIME] = Rect(nTop, 1 + 29 + 1, 1, CONSOLE_MINUTES_DIGITS + 2);
  TPaneLayout& audit = l.vPanes[PANE_MAIN_AUDIT];
  const int32_t nMemoCol = l.vControls[CTL_TXT_AUDIT_TIME].Right() + 2;
  const int32_t nScrollCol = nWidth - CONSOLE_CLEAR_WIDTH - 2;
  audit.rMemo = Rect(nTop, nMemoCol, 1, nScrollCol - nMemoCol);
  audit.rScrollBar = Rect(nTop, nScrollCol, 1, 1);
  audit.rClear = Rect(nTop, nScrollCol + 1, 1, CONSOLE_CLEAR_WIDTH);
  audit.nWrapWidth = nWidth - 2 - CONSOLE_CLEAR_WIDTH - 3;
}

void LayOutMainPage(TConsoleLayout& l) {
  const TCellRect& page = l.rPage;
  const int32_t nTop = page.nRow, nWidth = page.nWidth;
  l.bAuditFolded = FewerLogRows(page.nHeight, CONSOLE_AUDIT_HEIGHT) < CONSOLE_LOG_MIN_ROWS;
  const int32_t nAuditRows = l.bAuditFolded ? 1 : CONSOLE_AUDIT_HEIGHT;
  if (l.bAuditFolded)
    LayOutFoldedAuditGroup(l, nTop, nWidth);
  else
    LayOutAuditGroup(l, nTop, nWidth);
  // The rest: proxy log below with half, main log above with the remainder.
  const int32_t nRest = page.nHeight - nAuditRows;
  const int32_t nProxy = Half(nRest);
  const int32_t nMain = nRest - nProxy;
  l.vPanes[PANE_MAIN_LOG] = Pane(nTop + nAuditRows, nMain, nWidth, 0, false);
  l.vPanes[PANE_PROXY_LOG] = Pane(nTop + nAuditRows + nMain, nProxy, nWidth, 0, false);
  l.vPanes[PANE_MAIN_LOG].bClipLines = l.vPanes[PANE_PROXY_LOG].bClipLines = l.bAuditFolded;
}

// A traffic page: a status bar row, the upper pane, then the lower pane (with its own status bar
// row first when tLowerBar is not STB_COUNT).
void LayOutTrafficPage(TConsoleLayout& l, TStatusBarId tTopBar, TPaneId tUpper, TStatusBarId tLowerBar,
                       TPaneId tLower) {
  const TCellRect& page = l.rPage;
  const int32_t nUpper = Half(page.nHeight - 1);
  const int32_t nLower = page.nHeight - 1 - nUpper;
  const int32_t nUpperRow = page.nRow + 1, nLowerRow = nUpperRow + nUpper;
  l.vStatusPanels[tTopBar] = Panels(page.nRow, page.nWidth, PanelCount(tTopBar));
  l.vPanes[tUpper] = Pane(nUpperRow, nUpper, page.nWidth, 0, true);
  const bool bLowerBar = tLowerBar != STB_COUNT;
  if (bLowerBar) l.vStatusPanels[tLowerBar] = Panels(nLowerRow, page.nWidth, PanelCount(tLowerBar));
  l.vPanes[tLower] = Pane(nLowerRow, nLower, page.nWidth, bLowerBar ? 1 : 0, true);
}

}  // namespace

TConsoleLayout ComputeConsoleLayout(int32_t nRows, int32_t nCols) {
  TConsoleLayout l;
  l.nRows = nRows;
  l.nCols = nCols;
  l.bTooSmall = nRows < CONSOLE_MIN_ROWS || nCols < CONSOLE_MIN_COLS;
  const int32_t nR = std::max(nRows, CONSOLE_MIN_ROWS), nC = std::max(nCols, CONSOLE_MIN_COLS);
  l.rTitle = Rect(0, 0, 1, nC);
  l.rTopBar = Rect(1, 0, TOP_BAR_ROWS, nC);
  l.rTabStrip = Rect(1 + TOP_BAR_ROWS, 0, 1, nC);
  l.rPage = Rect(2 + TOP_BAR_ROWS, 0, nR - TOP_BAR_ROWS - 4, nC);
  l.rMainStatus = Rect(nR - 2, 0, 1, nC);
  l.rLegend = Rect(nR - 1, 0, 1, nC);
  l.vStatusPanels[STB_MAIN] = {Rect(nR - 2, 0, 1, CONSOLE_MAIN_PANEL0_WIDTH),
                               Rect(nR - 2, CONSOLE_MAIN_PANEL0_WIDTH, 1, nC - CONSOLE_MAIN_PANEL0_WIDTH)};
  LayOutTopBar(l, nC);
  LayOutTabs(l);
  LayOutMainPage(l);
  LayOutTrafficPage(l, STB_GENERIC_MSG_READ, PANE_GENERIC_RECEIVED, STB_COUNT, PANE_GENERIC_PROCESSED);
  for (const TEventFamily& family : AllFamilies())  // one page per family, global stage above
    LayOutTrafficPage(l, family.tGlobal.tStatusBar, family.tGlobal.tPane, family.tSpecific.tStatusBar,
                      family.tSpecific.tPane);
  for (TPaneId t : {PANE_GENERIC_RECEIVED, PANE_GENERIC_PROCESSED, PANE_GLOBAL_QUEUE, PANE_SPECIFIC_QUEUE,
                    PANE_GLOBAL_PEER, PANE_SPECIFIC_PEER, PANE_GLOBAL_FEATUREPARK, PANE_SPECIFIC_FEATUREPARK})
    l.vControls[EnabledOfPane(t)] = l.vPanes[t].rEnabled;
  return l;
}

const char* PageCaption(int nPage) {
  static const char* const CAPTIONS[PAGE_COUNT] = {"Main", "GenericMsgRead", "QueueMsgRead", "PeerMsgRead",
                                                   "FeatureParkMsgRead"};
  return nPage >= 0 && nPage < PAGE_COUNT ? CAPTIONS[nPage] : "";
}

int PageOfPane(TPaneId tPane) {
  static constexpr int PAGES[PANE_COUNT] = {PAGE_MAIN, PAGE_MAIN, PAGE_MAIN,
                                            PAGE_GENERIC_MSG_READ, PAGE_GENERIC_MSG_READ,
                                            PAGE_QUEUE_MSG_READ, PAGE_QUEUE_MSG_READ,
                                            PAGE_PEER_MSG_READ, PAGE_PEER_MSG_READ,
                                            PAGE_FEATUREPARK_MSG_READ, PAGE_FEATUREPARK_MSG_READ};
  return PAGES[tPane];
}

int PageOfStatusBar(TStatusBarId tBar) {
  static constexpr int PAGES[STB_COUNT] = {-1, PAGE_GENERIC_MSG_READ, PAGE_QUEUE_MSG_READ, PAGE_QUEUE_MSG_READ,
                                           PAGE_PEER_MSG_READ, PAGE_PEER_MSG_READ,
                                           PAGE_FEATUREPARK_MSG_READ, PAGE_FEATUREPARK_MSG_READ};
  return PAGES[tBar];
}

const char* PaneCaption(TPaneId tPane) {
  static const char* const CAPTIONS[PANE_COUNT] = {
      "Main log", "Proxy log", "Audit", "Received", "Processed", "Global queue", "Specific queue",
      "Global peer", "Specific peer", "Global parking", "Specific parking"};
  return CAPTIONS[tPane];
}

TControlId EnabledOfPane(TPaneId tPane) {
  if (tPane < PANE_GENERIC_RECEIVED) return CTL_COUNT;
  return static_cast<TControlId>(CTL_CHK_GENERIC_RECEIVED + (tPane - PANE_GENERIC_RECEIVED));
}

std::vector<TPaneId> PanesOfPage(int nPage) {
  // Top to bottom: on "Main" the audit memo sits above the main log and the proxy log.
  if (nPage == PAGE_MAIN) return {PANE_MAIN_AUDIT, PANE_MAIN_LOG, PANE_PROXY_LOG};
  std::vector<TPaneId> v;
  for (int n = PANE_GENERIC_RECEIVED; n < PANE_COUNT; ++n)
    if (PageOfPane(static_cast<TPaneId>(n)) == nPage) v.push_back(static_cast<TPaneId>(n));
  return v;
}

const char* ControlCaption(TControlId tControl) {
  switch (tControl) {
    case CTL_TXT_SERVER_IP: return "Server IP";
    case CTL_TXT_SERVER_PORT: return "Server Port";
    case CTL_TXT_USERNAME: return "Username";
    case CTL_TXT_SECRET: return "Secret";
    case CTL_TXT_PROXY_PORT: return "Proxy Port";
    case CTL_CMD_START_PROXY: return "Start Proxy";
    case CTL_CMD_STOP_PROXY: return "Stop Proxy";
    case CTL_CMD_START_CLIENT: return "Start Client";
    case CTL_CMD_STOP_CLIENT: return "Stop Client";
    case CTL_CMD_START_SERVER: return "Start Server";
    case CTL_CMD_STOP_SERVER: return "Stop Server";
    case CTL_CMD_CLEAR_ALL_LOGS: return "Clear All Log";
    case CTL_CHK_MAIN_AUDIT: return "Enabled Audit Time (Min.)";
    default: return tControl >= CTL_CHK_GENERIC_RECEIVED && tControl < CTL_COUNT ? "Enabled" : "";
  }
}

const char* ButtonKey(TControlId tControl) {
  switch (tControl) {
    case CTL_CMD_START_PROXY: return "F1";
    case CTL_CMD_STOP_PROXY: return "F2";
    case CTL_CMD_START_CLIENT: return "F3";
    case CTL_CMD_STOP_CLIENT: return "F4";
    case CTL_CMD_START_SERVER: return "F5";
    case CTL_CMD_STOP_SERVER: return "F6";
    case CTL_CMD_CLEAR_ALL_LOGS: return "C";
    default: return "";
  }
}
