// The operator console: the manager object's model drawn full-screen in the terminal, with keys
// and mouse clicks turned into the manager object's handlers, and the modal notice dialog.
//
// Thread: the control thread only. The console is created after the manager object and destroyed
// before it. It paints when the model's nVersion changed (a 100 ms timer), at once after input and
// after a resize, and when the model asks for it (the busy mark).
//
// Keys (shown on screen): F1-F6 the six buttons, C "Clear All Log", Tab/Shift+Tab and 1-5 the
// pages, Up/Down the focused pane, PgUp/PgDn/Home/End (and the mouse wheel) scroll it, e or space
// its "Enabled" box, c its "Clear", a the audit box, m the minutes field (digits, Backspace, Enter),
// q or F10 close the console, which shuts the relay down, and C clears every pane, both only after
// a Yes in a question dialog: they sit among one-key actions. Ctrl+C (and SIGHUP, SIGTERM) close
// at once. Ctrl+L repaints everything.
//
// The notice dialog (ShowAppMessage) is modal for the operator but not for the relay: while it
// waits for an answer the control thread keeps serving sockets, timers and hand-overs through a
// nested turn of the control loop. Only one dialog is shown at a time; a notice asked for while
// one is open waits its turn (at most MAX_PENDING_NOTICES, later ones are dropped) and its caller
// gets 0 at once, which is what a notice that could not be shown returns. A caller on another
// thread is handed over to the control thread and waits for the operator's answer.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "hosting/untConsoleLayout.h"
#include "platform/untTerminal.h"
#include "platform/untTimer.h"

class TfrmTelvane;

class TConsole {
 public:
  explicit TConsole(TfrmTelvane& formIn);
  ~TConsole();
  TConsole(const TConsole&) = delete;
  TConsole& operator=(const TConsole&) = delete;

  // Takes over the terminal, installs the notice dialog and shows page "Main". False when there is
  // no terminal to draw on; the relay then runs without a console.
  bool Open();
  // Gives the terminal back and removes the notice dialog. Safe to call twice.
  void Close();

  // The modal notice: caption, text, the buttons of nType; the code of the button pressed, or 0.
  int ShowNotice(int nType, const std::string& sCaption, const std::string& sText);

  static constexpr size_t MAX_PENDING_NOTICES = 4;

 private:
  struct TNotice {
    int nType = 0;
    std::string sCaption, sText;  // Windows-1252
  };
  struct TDialog {
    TNotice tNotice;
    std::vector<int> vCodes;  // button codes, left to right
    int nSelected = 0;        // index into vCodes
    int nResult = -1;         // the code pressed; -1 while waiting
  };
  struct TDialogGeometry {
    TCellRect rBox;
    std::vector<std::string> vLines;     // the text, wrapped (Windows-1252)
    std::vector<TCellRect> vButtons;     // one per code
  };

  // ---- Input (untConsole.cpp) ----
  void OnInput(const std::vector<TTermEvent>& vEvents);
  bool HandleNextInput();  // false when none waits
  void OnKey(int32_t nKey);
  void OnMouse(const TTermEvent& e);
  void OnResize();
  bool EditMinutes(int32_t nKey);  // true when the key was the field's
  void ShowPage(int nNewPage);
  void MoveFocus(int nDelta);
  void PressButton(TControlId tButton);
  bool Confirm(const std::string& sQuestion);  // Yes in the question dialog
  void AskToClose();
  void ToggleEnabled(TPaneId tPane);
  void ToggleAudit();
  void ScrollFocused(int32_t nDelta);
  TPaneId FocusedPane() const;
  TPaneId PaneAt(int32_t nRow, int32_t nCol) const;

  // ---- Drawing (untConsoleDraw.cpp) ----
  void Paint();
  void PaintIfChanged();
  void DrawTitle();
  void DrawTopBar();
  void DrawButton(TControlId tButton);
  void DrawField(TControlId tField);
  void DrawTabs();
  void DrawMainPage();
  void DrawPane(TPaneId tPane);
  void DrawCheckBox(TControlId tCheck, const TCellRect& r);
  void DrawStatusBar(TStatusBarId tBar);
  void DrawLegend();
  void DrawTooSmall();
  int32_t Text(int32_t nRow, int32_t nCol, const std::string& sCp1252, int32_t nMaxCells, TTermStyle tStyle);

  // ---- Notice dialog (untConsoleDialog.cpp) ----
  TDialogGeometry DialogGeometry() const;
  void DrawDialog();
  void DialogKey(int32_t nKey);
  void DialogClick(int32_t nRow, int32_t nCol);
  void ShowNextPending();
  // Makes pConsole the notice dialog of ShowAppMessage; null gives notices back to the default.
  static void InstallNoticePresenter(TConsole* pConsole);

  // ---- State (control thread) ----
  TfrmTelvane& form;                   // the manager object whose model is drawn; outlives us
  TTerminal term;
  TTimer tmrRedraw;                    // 100 ms: paints when the model changed
  TConsoleLayout tLayout;              // for the terminal's current size
  int nPage = PAGE_MAIN;               // the page shown
  std::array<int, PAGE_COUNT> vFocus{};  // focused pane of each page, index into PanesOfPage
  bool bEditingMinutes = false;        // keys go to the minutes field
  uint64_t nPaintedVersion = 0;        // the model's nVersion at the last paint
  std::unique_ptr<TDialog> pDialog;    // the open notice, if any
  std::deque<TNotice> vPending;        // notices waiting for the open one to close
  // Input received and not handled yet: a key that opens a dialog leaves the keys typed after it
  // here, and the dialog takes them first.
  std::deque<TTermEvent> vInput;
  std::shared_ptr<bool> pAlive;        // false after Close; posted calls check it
};
