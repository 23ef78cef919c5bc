// Drawing the console: the whole screen is drawn from the model into the terminal's off-screen
// buffer and flushed, and the terminal layer sends only what changed. Control thread only.
//
// Plain text shows every state, so the console reads the same without colour (and in a screen
// capture): an enabled button is "[F3 Start Client]", a disabled one " F3 Start Client " drawn dim,
// a hidden one is not drawn; the page shown is "[1 Main]"; a check box is "[x]" or "[ ]".
#include <algorithm>
#include <utility>

#include "base/untCodePage.h"
#include "base/untMessage.h"
#include "base/untVariables.h"
#include "hosting/untConsole.h"
#include "hosting/untTelvane.h"
#include "logging/untUtil.h"

namespace {

using TLegend = std::vector<std::pair<const char*, const char*>>;  // key, what it does

TLegend LegendFor(bool bDialog, bool bEditing, int nPage) {
  if (bDialog) return {{"Left/Right", "Select"}, {"Enter", "Press"}, {"Esc", "Close"}, {"Ctrl+C", "Quit"}};
  if (bEditing) return {{"0-9", "Minutes"}, {"Backspace", "Erase"}, {"Enter", "Done"}};
  if (nPage == PAGE_MAIN)
    return {{"1-5/Tab", "Page"}, {"Up/Dn", "Pane"}, {"PgUp/PgDn", "Scroll"}, {"c", "Clear"},
            {"a", "Audit"}, {"m", "Minutes"}, {"q/F10", "Quit"}};
  return {{"1-5/Tab", "Page"}, {"Up/Dn", "Pane"}, {"PgUp/PgDn", "Scroll"}, {"e", "Enabled"},
          {"c", "Clear"}, {"q/F10", "Quit"}};
}

}  // namespace

int32_t TConsole::Text(int32_t nRow, int32_t nCol, const std::string& sCp1252, int32_t nMaxCells,
                       TTermStyle tStyle) {
  std::string s = sCp1252;
  std::replace(s.begin(), s.end(), '\t', ' ');  // a tab is one cell, as the wrap counts it
  return term.Put(nRow, nCol, Cp1252ToUtf8(s), nMaxCells, tStyle);
}

void TConsole::PaintIfChanged() {
  if (form.MyDisplay.nVersion != nPaintedVersion) Paint();
}

void TConsole::Paint() {
  if (!term.IsOpen()) return;
  term.Erase();
  if (tLayout.bTooSmall) {
    DrawTooSmall();
    if (pDialog) DrawDialog();  // a notice still waits for its answer
  } else {
    DrawTitle();
    DrawTopBar();
    DrawTabs();
    if (nPage == PAGE_MAIN) {
      DrawMainPage();
    } else {
      for (int n = STB_GENERIC_MSG_READ; n < STB_COUNT; ++n)
        if (PageOfStatusBar(static_cast<TStatusBarId>(n)) == nPage) DrawStatusBar(static_cast<TStatusBarId>(n));
      for (TPaneId t : PanesOfPage(nPage)) DrawPane(t);
    }
    DrawStatusBar(STB_MAIN);
    DrawLegend();
    if (pDialog) DrawDialog();
  }
  term.Flush();
  nPaintedVersion = form.MyDisplay.nVersion;
}

void TConsole::DrawTitle() {
  const TCellRect& r = tLayout.rTitle;
  term.Fill(r.nRow, r.nCol, r.nWidth, TERM_STYLE_TITLE);
  const std::string& sTitle = Msg(0);
  Text(r.nRow, (r.nWidth - static_cast<int32_t>(sTitle.size())) / 2, sTitle, r.nWidth, TERM_STYLE_TITLE);
  // The pacing in force tells the operator what latency to expect from the panes and the desks.
  if (!MyConfigInfo.sPacing.empty()) {
    const std::string sPacing = " Pacing: " + MyConfigInfo.sPacing;
    if (static_cast<int32_t>(sPacing.size() + sTitle.size()) + 20 < r.nWidth)
      Text(r.nRow, 0, sPacing, static_cast<int32_t>(sPacing.size()), TERM_STYLE_TITLE);
  }
  if (form.MyDisplay.bBusy) Text(r.nRow, r.nWidth - 9, "Busy... ", 8, TERM_STYLE_TITLE);
}

void TConsole::DrawTopBar() {
  for (TControlId t : {CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET, CTL_TXT_PROXY_PORT})
    DrawField(t);
  for (int n = CTL_CMD_START_PROXY; n <= CTL_CMD_CLEAR_ALL_LOGS; ++n) DrawButton(static_cast<TControlId>(n));
}

void TConsole::DrawField(TControlId tField) {
  const TCellRect& r = tLayout.vControls[tField];
  const TControlState& c = form.MyDisplay.vControls[tField];
  if (r.Empty() || !c.bVisible) return;
  const std::string sLabel = std::string(ControlCaption(tField)) + ": ";
  const int32_t nLabel = Text(r.nRow, r.nCol, sLabel, r.nWidth, TERM_STYLE_NORMAL);
  // The user name and the secret show one '*' per character.
  const bool bMasked = tField == CTL_TXT_USERNAME || tField == CTL_TXT_SECRET;
  const std::string sValue = bMasked ? std::string(c.sText.size(), '*') : c.sText;
  const TTermStyle tStyle = c.bEnabled ? TERM_STYLE_FIELD : TERM_STYLE_DISABLED;
  term.Fill(r.nRow, r.nCol + nLabel, r.nWidth - nLabel, tStyle);
  Text(r.nRow, r.nCol + nLabel, sValue, r.nWidth - nLabel, tStyle);
}

void TConsole::DrawButton(TControlId tButton) {
  const TCellRect& r = tLayout.vControls[tButton];
  const TControlState& c = form.MyDisplay.vControls[tButton];
  if (r.Empty() || !c.bVisible) return;
  const std::string sKey = ButtonKey(tButton);
  const std::string sCaption = std::string(" ") + ControlCaption(tButton);
  if (!c.bEnabled) {
    Text(r.nRow, r.nCol, " " + sKey + sCaption + " ", r.nWidth, TERM_STYLE_DISABLED);
    return;
  }
  int32_t nCol = r.nCol;
  nCol += Text(r.nRow, nCol, "[", 1, TERM_STYLE_BUTTON);
  nCol += Text(r.nRow, nCol, sKey, r.nWidth, TERM_STYLE_KEY);
  nCol += Text(r.nRow, nCol, sCaption, r.nWidth, TERM_STYLE_BUTTON);
  Text(r.nRow, nCol, "]", 1, TERM_STYLE_BUTTON);
}

void TConsole::DrawTabs() {
  for (int n = 0; n < PAGE_COUNT; ++n) {
    const TCellRect& r = tLayout.vTabs[n];
    const std::string sDigit(1, static_cast<char>('1' + n));
    if (n == nPage) {
      Text(r.nRow, r.nCol, "[" + sDigit + " " + PageCaption(n) + "]", r.nWidth, TERM_STYLE_ACTIVE);
      continue;
    }
    Text(r.nRow, r.nCol + 1, sDigit, 1, TERM_STYLE_KEY);
    Text(r.nRow, r.nCol + 3, PageCaption(n), r.nWidth - 3, TERM_STYLE_NORMAL);
  }
}

void TConsole::DrawMainPage() {
  const TCellRect& g = tLayout.rAuditGroup;
  if (!tLayout.bAuditFolded) {  // folded into one row, the group has no frame to carry its name
    term.Frame(g.nRow, g.nCol, g.nHeight, g.nWidth, TERM_STYLE_FRAME);
    Text(g.nRow, g.nCol + 2, " Audit ", g.nWidth - 4,
         FocusedPane() == PANE_MAIN_AUDIT ? TERM_STYLE_ACTIVE : TERM_STYLE_FRAME);
  }
  DrawCheckBox(CTL_CHK_MAIN_AUDIT, tLayout.vControls[CTL_CHK_MAIN_AUDIT]);
  const TCellRect& r = tLayout.vControls[CTL_TXT_AUDIT_TIME];
  const TControlState& c = form.MyDisplay.vControls[CTL_TXT_AUDIT_TIME];
  const TTermStyle tStyle = !c.bEnabled ? TERM_STYLE_DISABLED
                            : bEditingMinutes ? TERM_STYLE_FIELD_FOCUS : TERM_STYLE_FIELD;
  Text(r.nRow, r.nCol, "[", 1, TERM_STYLE_NORMAL);
  term.Fill(r.nRow, r.nCol + 1, r.nWidth - 2, tStyle);
  Text(r.nRow, r.nCol + 1, c.sText, r.nWidth - 2, tStyle);
  Text(r.nRow, r.Right(), "]", 1, TERM_STYLE_NORMAL);
  for (TPaneId t : PanesOfPage(PAGE_MAIN)) DrawPane(t);
}

void TConsole::DrawPane(TPaneId tPane) {
  const TPaneLayout& p = tLayout.vPanes[tPane];
  const TPane& pane = form.MyDisplay.vPanes[tPane];
  const bool bFocused = FocusedPane() == tPane;
  if (!p.rCaption.Empty()) {
    const TCellRect& r = p.rCaption;
    term.HLine(r.nRow, r.nCol, r.nWidth, TERM_STYLE_FRAME);
    Text(r.nRow, r.nCol + 1, std::string(" ") + PaneCaption(tPane) + " ", r.nWidth - 2,
         bFocused ? TERM_STYLE_ACTIVE : TERM_STYLE_FRAME);
    std::string sInfo = " " + IntToStr(pane.DisplayedLineCount()) + " lines";
    if (pane.ScrollBack() > 0) sInfo += ", " + IntToStr(pane.ScrollBack()) + " back";
    sInfo += " ";
    Text(r.nRow, r.Right() - static_cast<int32_t>(sInfo.size()), sInfo, r.nWidth, TERM_STYLE_FRAME);
  }
  const TCellRect& m = p.rMemo;
  const std::vector<std::string> vLines = pane.View(m.nHeight);
  for (size_t n = 0; n < vLines.size(); ++n)
    Text(m.nRow + static_cast<int32_t>(n), m.nCol, vLines[n], m.nWidth, TERM_STYLE_NORMAL);
  // The scroll bar: a rule with a thumb where the view sits, when there is more than one view.
  const TCellRect& b = p.rScrollBar;
  term.VLine(b.nRow, b.nCol, b.nHeight, TERM_STYLE_FRAME);
  const int32_t nHidden = pane.DisplayedLineCount() - m.nHeight;
  if (nHidden > 0 && b.nHeight > 0) {
    const int32_t nTop = nHidden - std::min(pane.ScrollBack(), nHidden);
    term.Block(b.nRow + static_cast<int32_t>(static_cast<int64_t>(nTop) * (b.nHeight - 1) / nHidden), b.nCol,
               TERM_STYLE_FRAME);
  }
  const TCellRect& c = p.rClear;
  if (bFocused) {
    Text(c.nRow, c.nCol, "[ ", 2, TERM_STYLE_BUTTON);
    Text(c.nRow, c.nCol + 2, "c", 1, TERM_STYLE_KEY);
    Text(c.nRow, c.nCol + 3, " Clear ]", c.nWidth - 3, TERM_STYLE_BUTTON);
  } else {
    Text(c.nRow, c.nCol, "[  Clear  ]", c.nWidth, TERM_STYLE_BUTTON);
  }
  if (!p.rEnabled.Empty()) DrawCheckBox(EnabledOfPane(tPane), p.rEnabled);
}

void TConsole::DrawCheckBox(TControlId tCheck, const TCellRect& r) {
  const TControlState& c = form.MyDisplay.vControls[tCheck];
  if (r.Empty() || !c.bVisible) return;
  const std::string sBox = c.bChecked ? "[x] " : "[ ] ";
  Text(r.nRow, r.nCol, sBox + ControlCaption(tCheck), r.nWidth, c.bEnabled ? TERM_STYLE_BUTTON : TERM_STYLE_DISABLED);
}

void TConsole::DrawStatusBar(TStatusBarId tBar) {
  const std::vector<TCellRect>& vPanels = tLayout.vStatusPanels[tBar];
  const std::vector<std::string>& vTexts = form.MyDisplay.vStatusBars[tBar];
  for (size_t n = 0; n < vPanels.size(); ++n) {
    const TCellRect& r = vPanels[n];
    term.Fill(r.nRow, r.nCol, r.nWidth, TERM_STYLE_BAR);
    if (n < vTexts.size()) Text(r.nRow, r.nCol + 1, vTexts[n], r.nWidth - 2, TERM_STYLE_BAR);
    if (n + 1 < vPanels.size()) term.VLine(r.nRow, r.Right(), 1, TERM_STYLE_BAR);
  }
}

void TConsole::DrawLegend() {
  const TCellRect& r = tLayout.rLegend;
  const TLegend vItems = LegendFor(pDialog != nullptr, bEditingMinutes, nPage);
  size_t nLength = 0;
  for (const auto& [sKey, sWhat] : vItems) nLength += std::string(sKey).size() + 1 + std::string(sWhat).size();
  // Two blanks between items where they fit, one otherwise.
  const int32_t nGap = nLength + 2 * vItems.size() <= static_cast<size_t>(r.nWidth) ? 2 : 1;
  int32_t nCol = r.nCol;
  for (const auto& [sKey, sWhat] : vItems) {
    nCol += Text(r.nRow, nCol, sKey, r.nWidth, TERM_STYLE_KEY) + 1;
    nCol += Text(r.nRow, nCol, sWhat, r.nWidth, TERM_STYLE_NORMAL) + nGap;
  }
}

void TConsole::DrawTooSmall() {
  const std::string sText = "Telvane needs at least " + IntToStr(CONSOLE_MIN_COLS) + " x " +
                            IntToStr(CONSOLE_MIN_ROWS) + " cells (now " + IntToStr(term.Cols()) + " x " +
                            IntToStr(term.Rows()) + "). q quits.";
  Text(0, 0, sText, term.Cols(), TERM_STYLE_NORMAL);
}
