// The console's life and its input: keys and mouse events become the manager object's handlers.
// Control thread only. Every action a key triggers is also reachable by a click on what it acts on.
#include "hosting/untConsole.h"

#include <algorithm>

#include "base/untCodePage.h"
#include "base/untIniFiles.h"
#include "base/untMessage.h"
#include "hosting/untTelvane.h"
#include "platform/untControlLoop.h"

namespace {

constexpr int REDRAW_INTERVAL_MS = 100;
constexpr int32_t WHEEL_LINES = 3;
constexpr int32_t KEY_CTRL_L = 12;
constexpr int NOTICE_QUESTION_YES_NO = 3;  // ShowAppMessage's type with the buttons Yes and No

// F1..F6 in this order.
constexpr TControlId FUNCTION_BUTTONS[] = {CTL_CMD_START_PROXY, CTL_CMD_STOP_PROXY, CTL_CMD_START_CLIENT,
                                           CTL_CMD_STOP_CLIENT, CTL_CMD_START_SERVER, CTL_CMD_STOP_SERVER};

}  // namespace

TConsole::TConsole(TfrmTelvane& formIn) : form(formIn) {}

TConsole::~TConsole() { Close(); }

bool TConsole::Open() {
  if (!term.Open()) return false;
  pAlive = std::make_shared<bool>(true);
  term.OnInput = [this](const std::vector<TTermEvent>& v) { OnInput(v); };
  term.OnResize = [this] { OnResize(); };
  // The terminal went away without a SIGHUP reaching us: the same as closing the window.
  term.OnHangUp = [] { RequestTermination(); };
  // What the relay writes to stderr (the log writer's own failure, say) goes where the log goes.
  term.OnStderrLine = [this](const std::string& sLine) {
    form.MyDisplay.AppendPane(PANE_MAIN_LOG, Utf8ToCp1252(sLine));
  };
  InstallNoticePresenter(this);
  form.MyDisplay.fnPaintNow = [this] { Paint(); };
  OnResize();
  ShowPage(PAGE_MAIN);
  tmrRedraw.OnTimer = [this] { PaintIfChanged(); };
  tmrRedraw.SetInterval(REDRAW_INTERVAL_MS);
  tmrRedraw.SetEnabled(true);
  Paint();
  return true;
}

void TConsole::Close() {
  if (!term.IsOpen()) return;
  if (pAlive) *pAlive = false;
  tmrRedraw.SetEnabled(false);
  InstallNoticePresenter(nullptr);
  form.MyDisplay.fnPaintNow = nullptr;
  term.Close();
}

void TConsole::OnInput(const std::vector<TTermEvent>& vEvents) {
  vInput.insert(vInput.end(), vEvents.begin(), vEvents.end());
  while (HandleNextInput()) {
  }
  Paint();
}

bool TConsole::HandleNextInput() {
  if (vInput.empty() || !term.IsOpen()) return false;
  const TTermEvent e = vInput.front();
  vInput.pop_front();
  if (e.nKey != 0)
    OnKey(e.nKey);
  else
    OnMouse(e);
  return true;
}

void TConsole::OnResize() {
  form.MyDisplay.nScreenRows = term.Rows();
  form.MyDisplay.nScreenCols = term.Cols();
  tLayout = ComputeConsoleLayout(term.Rows(), term.Cols());
  form.FormResize();
  Paint();
}

void TConsole::OnKey(int32_t nKey) {
  if (nKey == TERM_KEY_CTRL_C) {
    RequestTermination();
    return;
  }
  if (pDialog) {
    DialogKey(nKey);
    return;
  }
  if (tLayout.bTooSmall) {
    // Nothing but the notice is drawn: only the keys that need no screen work.
    if (nKey == 'q' || nKey == TERM_KEY_F1 + 9) AskToClose();
    if (nKey == TERM_KEY_RESIZE) OnResize();
    return;
  }
  if (bEditingMinutes && EditMinutes(nKey)) return;
  if (nKey >= TERM_KEY_F1 && nKey < TERM_KEY_F1 + 6) {
    PressButton(FUNCTION_BUTTONS[nKey - TERM_KEY_F1]);
    return;
  }
  const int32_t nRows = tLayout.vPanes[FocusedPane()].rMemo.nHeight;
  switch (nKey) {
    case 'q': case TERM_KEY_F1 + 9: AskToClose(); break;
    case 'C':
      if (Confirm("Clear All Log: empty every log pane?")) PressButton(CTL_CMD_CLEAR_ALL_LOGS);
      break;
    case TERM_KEY_TAB: ShowPage((nPage + 1) % PAGE_COUNT); break;
    case TERM_KEY_BACKTAB: ShowPage((nPage + PAGE_COUNT - 1) % PAGE_COUNT); break;
    case '1': case '2': case '3': case '4': case '5': ShowPage(nKey - '1'); break;
    case TERM_KEY_UP: MoveFocus(-1); break;
    case TERM_KEY_DOWN: MoveFocus(1); break;
    case TERM_KEY_PAGE_UP: ScrollFocused(std::max(1, nRows - 1)); break;
    case TERM_KEY_PAGE_DOWN: ScrollFocused(-std::max(1, nRows - 1)); break;
    case TERM_KEY_HOME: ScrollFocused(PANE_RETAIN_LIMIT * 2); break;
    case TERM_KEY_END: ScrollFocused(-PANE_RETAIN_LIMIT * 2); break;
    case 'e': case 'E': case ' ': ToggleEnabled(FocusedPane()); break;
    case 'c': form.cmdPaneClearClick(FocusedPane()); break;
    case 'a': if (nPage == PAGE_MAIN) ToggleAudit(); break;
    case 'm':
      if (nPage == PAGE_MAIN && form.MyDisplay.vControls[CTL_TXT_AUDIT_TIME].bEnabled) bEditingMinutes = true;
      break;
    case KEY_CTRL_L: term.FullRepaint(); break;
    case TERM_KEY_RESIZE: OnResize(); break;
    default: break;
  }
}

bool TConsole::EditMinutes(int32_t nKey) {
  TControlState& field = form.MyDisplay.vControls[CTL_TXT_AUDIT_TIME];
  if (!field.bEnabled) {
    bEditingMinutes = false;
    return false;
  }
  std::string sText = field.sText;
  if (nKey >= '0' && nKey <= '9') {
    if (static_cast<int32_t>(sText.size()) < CONSOLE_MINUTES_DIGITS) sText += static_cast<char>(nKey);
  } else if (nKey == TERM_KEY_BACKSPACE || nKey == TERM_KEY_DELETE) {
    if (!sText.empty()) sText.pop_back();
  } else if (nKey == TERM_KEY_ENTER || nKey == TERM_KEY_ESCAPE || nKey == 'm' || nKey == TERM_KEY_TAB) {
    bEditingMinutes = false;
    return true;
  } else {
    bEditingMinutes = false;  // any other key leaves the field and does its own work
    return false;
  }
  form.MyDisplay.SetText(CTL_TXT_AUDIT_TIME, sText);
  return true;
}

void TConsole::OnMouse(const TTermEvent& e) {
  if (pDialog) {
    if (e.tMouse == TERM_MOUSE_CLICK) DialogClick(e.nRow, e.nCol);
    return;
  }
  if (tLayout.bTooSmall) return;
  const TPaneId tUnder = PaneAt(e.nRow, e.nCol);
  if (e.tMouse == TERM_MOUSE_WHEEL_UP || e.tMouse == TERM_MOUSE_WHEEL_DOWN) {
    const TPaneId t = tUnder != PANE_COUNT ? tUnder : FocusedPane();
    form.MyDisplay.ScrollPane(t, e.tMouse == TERM_MOUSE_WHEEL_UP ? WHEEL_LINES : -WHEEL_LINES,
                              tLayout.vPanes[t].rMemo.nHeight);
    return;
  }
  bEditingMinutes = false;
  for (int n = 0; n < PAGE_COUNT; ++n)
    if (tLayout.vTabs[n].Contains(e.nRow, e.nCol)) return ShowPage(n);
  for (TControlId t : FUNCTION_BUTTONS)
    if (tLayout.vControls[t].Contains(e.nRow, e.nCol)) return PressButton(t);
  if (tLayout.vControls[CTL_CMD_CLEAR_ALL_LOGS].Contains(e.nRow, e.nCol)) return PressButton(CTL_CMD_CLEAR_ALL_LOGS);
  if (nPage == PAGE_MAIN && tLayout.vControls[CTL_CHK_MAIN_AUDIT].Contains(e.nRow, e.nCol)) return ToggleAudit();
  if (nPage == PAGE_MAIN && tLayout.vControls[CTL_TXT_AUDIT_TIME].Contains(e.nRow, e.nCol)) {
    bEditingMinutes = form.MyDisplay.vControls[CTL_TXT_AUDIT_TIME].bEnabled;
    return;
  }
  for (TPaneId t : PanesOfPage(nPage)) {
    const TPaneLayout& p = tLayout.vPanes[t];
    if (p.rClear.Contains(e.nRow, e.nCol)) return form.cmdPaneClearClick(t);
    if (p.rEnabled.Contains(e.nRow, e.nCol)) return ToggleEnabled(t);
  }
  if (tUnder == PANE_COUNT) return;
  const std::vector<TPaneId> vPanes = PanesOfPage(nPage);
  vFocus[nPage] = static_cast<int>(std::find(vPanes.begin(), vPanes.end(), tUnder) - vPanes.begin());
  const TPaneLayout& p = tLayout.vPanes[tUnder];
  if (p.rScrollBar.Contains(e.nRow, e.nCol)) {
    // Above the middle of the bar a page back, below it a page forward.
    const int32_t nPageRows = std::max(1, p.rMemo.nHeight - 1);
    ScrollFocused(e.nRow < p.rScrollBar.nRow + p.rScrollBar.nHeight / 2 ? nPageRows : -nPageRows);
  }
}

// The pane whose caption, memo or scroll bar holds the cell, on the page shown; PANE_COUNT if none.
TPaneId TConsole::PaneAt(int32_t nRow, int32_t nCol) const {
  for (TPaneId t : PanesOfPage(nPage)) {
    const TPaneLayout& p = tLayout.vPanes[t];
    if (p.rCaption.Contains(nRow, nCol) || p.rMemo.Contains(nRow, nCol) || p.rScrollBar.Contains(nRow, nCol))
      return t;
  }
  return PANE_COUNT;
}

void TConsole::ShowPage(int nNewPage) {
  nPage = nNewPage;
  bEditingMinutes = false;
  form.tabShow(nPage);  // the first showing lays the page out once more
}

void TConsole::MoveFocus(int nDelta) {
  const auto nCount = static_cast<int>(PanesOfPage(nPage).size());
  vFocus[nPage] = std::clamp(vFocus[nPage] + nDelta, 0, nCount - 1);
}

TPaneId TConsole::FocusedPane() const { return PanesOfPage(nPage)[static_cast<size_t>(vFocus[nPage])]; }

void TConsole::PressButton(TControlId tButton) {
  const TControlState& c = form.MyDisplay.vControls[tButton];
  if (!c.bVisible || !c.bEnabled) return;  // hidden and disabled buttons are inert
  switch (tButton) {
    case CTL_CMD_START_PROXY: form.cmdStartProxyClick(); break;
    case CTL_CMD_STOP_PROXY: form.cmdStopProxyClick(); break;
    case CTL_CMD_START_CLIENT: form.cmdStartClientClick(); break;
    case CTL_CMD_STOP_CLIENT: form.cmdStopClientClick(); break;
    case CTL_CMD_START_SERVER: form.cmdStartServerClick(); break;
    case CTL_CMD_STOP_SERVER: form.cmdStopServerClick(); break;
    case CTL_CMD_CLEAR_ALL_LOGS: form.cmdClearAllLogsClick(); break;
    default: break;
  }
}

bool TConsole::Confirm(const std::string& sQuestion) {
  return ShowNotice(NOTICE_QUESTION_YES_NO, Msg(0), sQuestion) == ID_YES;
}

void TConsole::AskToClose() {
  if (Confirm("Close Telvane? The relay shuts down and exits.")) RequestTermination();
}

void TConsole::ToggleEnabled(TPaneId tPane) {
  const TControlId tCheck = EnabledOfPane(tPane);
  if (tCheck == CTL_COUNT || !form.MyDisplay.vControls[tCheck].bEnabled) return;
  form.MyDisplay.SetChecked(tCheck, !form.MyDisplay.vControls[tCheck].bChecked);
  form.chkPaneEnabledClick(tCheck);
}

void TConsole::ToggleAudit() {
  const TControlState& c = form.MyDisplay.vControls[CTL_CHK_MAIN_AUDIT];
  if (!c.bVisible || !c.bEnabled) return;
  form.MyDisplay.SetChecked(CTL_CHK_MAIN_AUDIT, !c.bChecked);
  form.chkMainAuditClick();
}

void TConsole::ScrollFocused(int32_t nDelta) {
  const TPaneId t = FocusedPane();
  form.MyDisplay.ScrollPane(t, nDelta, tLayout.vPanes[t].rMemo.nHeight);
}
