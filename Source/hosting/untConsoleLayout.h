// The operator console's layout in terminal cells: a pure function of the terminal size, so it is
// tested without a terminal. One cell stands for about ten pixels of the window the console
// replaces, which turns the window's layout rule into cells:
//   - Each pane: a caption row, then the memo; "Clear" sits beside the memo, one cell right of it
//     (that cell is the memo's scroll bar), with its bottom row level with the memo's bottom row;
//     "Enabled" takes Clear's column one row above it. Memo width = pane width - Clear width - 3.
//   - Main page: the audit group (fixed height) on top, then the main log and the proxy log; the
//     proxy log gets half of (page height - audit height), rounded, the main log the rest. On a
//     screen too low to give each log CONSOLE_LOG_MIN_ROWS text rows that way (80 x 24), the audit
//     group folds into one row (check box, minutes, a one-row memo, "Clear") and the logs get the
//     rows it gave up; each of their lines then takes one row, cut at the memo's width (the log
//     file keeps it whole), so each log shows as many entries as it has rows.
//   - Top bar: the six buttons right-aligned in three columns (proxy, client, server; start above,
//     stop below, "Clear All Log" under the server pair), each column as wide as its widest
//     caption, with a blank between columns and before the fields, which flow from the left edge.
//   - Traffic pages: a status bar row, then the upper pane with half of (page height - 1), rounded;
//     the lower pane takes the rest (with its own status bar row first on the three key pages).
//   - Status bar panels: a quarter or a third of the page width each, rounded; the last panel
//     takes what is left.
// Rows from the top: title, three rows of top bar, the tab strip, the page, the main status bar and
// the key legend. Below 80 x 24 the layout is computed for 80 x 24 and bTooSmall is set.
// No state, no threads.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "hosting/untDisplayModel.h"

constexpr int32_t CONSOLE_MIN_ROWS = 24;
constexpr int32_t CONSOLE_MIN_COLS = 80;
constexpr int32_t CONSOLE_CLEAR_WIDTH = 11;    // "[  Clear  ]"; "[x] Enabled" fits the same column
constexpr int32_t CONSOLE_AUDIT_HEIGHT = 5;    // the audit group: border, check box row, memo, border
constexpr int32_t CONSOLE_LOG_MIN_ROWS = 8;    // text rows each log pane of "Main" gets before the audit folds
constexpr int32_t CONSOLE_MINUTES_DIGITS = 5;  // characters the minutes field holds
constexpr int32_t CONSOLE_MAIN_PANEL0_WIDTH = 20;  // "Total MSGs: " and the count

enum TPageId : int { PAGE_MAIN, PAGE_GENERIC_MSG_READ, PAGE_QUEUE_MSG_READ, PAGE_PEER_MSG_READ,
                     PAGE_FEATUREPARK_MSG_READ, PAGE_COUNT };

struct TCellRect {
  int32_t nRow = 0;     // top row
  int32_t nCol = 0;     // left column
  int32_t nHeight = 0;  // rows; 0 for a control that a pane does not have
  int32_t nWidth = 0;   // columns
  bool Contains(int32_t nAtRow, int32_t nAtCol) const {
    return nAtRow >= nRow && nAtRow < nRow + nHeight && nAtCol >= nCol && nAtCol < nCol + nWidth;
  }
  bool Empty() const { return nHeight <= 0 || nWidth <= 0; }
  int32_t Bottom() const { return nRow + nHeight - 1; }  // last row
  int32_t Right() const { return nCol + nWidth - 1; }    // last column
};

struct TPaneLayout {
  TCellRect rCaption;    // caption row (the audit memo has none: the group's border names it)
  TCellRect rMemo;       // the text; its width is the pane's wrap width
  TCellRect rScrollBar;  // the column between the memo and "Clear"
  TCellRect rClear;      // the "Clear" button
  TCellRect rEnabled;    // the "Enabled" check box; empty for the three panes of "Main"
  int32_t nWrapWidth = 0;  // columns the text wraps at: the memo's width, but for the folded audit
                           // memo the unfolded one's, so its one row starts its last line
  bool bClipLines = false; // one row per line, cut at the memo's width: the logs of a low screen,
                           // where wrapped lines would leave room for only two or three entries
};

struct TConsoleLayout {
  int32_t nRows = 0, nCols = 0;  // the terminal's size as given
  bool bTooSmall = false;        // smaller than 80 x 24: the console shows a notice instead
  bool bAuditFolded = false;     // the audit group is one row (a low screen)
  TCellRect rTitle, rTopBar, rTabStrip, rPage, rMainStatus, rLegend, rAuditGroup;
  std::array<TCellRect, CTL_COUNT> vControls;  // fields with their label, buttons, check boxes
  std::array<TCellRect, PAGE_COUNT> vTabs;
  std::array<TPaneLayout, PANE_COUNT> vPanes;
  std::array<std::vector<TCellRect>, STB_COUNT> vStatusPanels;
};

TConsoleLayout ComputeConsoleLayout(int32_t nRows, int32_t nCols);

// ---- Fixed facts of the console, shared by the layout and the drawing. ----
const char* PageCaption(int nPage);          // "Main", "GenericMsgRead", ...
int PageOfPane(TPaneId tPane);
int PageOfStatusBar(TStatusBarId tBar);      // -1 for the main status bar (always shown)
const char* PaneCaption(TPaneId tPane);      // the caption row's text
// The pane's "Enabled" check box, or CTL_COUNT for a pane without one.
TControlId EnabledOfPane(TPaneId tPane);
// The panes of a page, top to bottom.
std::vector<TPaneId> PanesOfPage(int nPage);
const char* ControlCaption(TControlId tControl);  // button and field captions
const char* ButtonKey(TControlId tControl);       // "F1".."F6", "C"; empty for other controls
