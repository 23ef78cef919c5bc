// What the operator console shows, held apart from how it is drawn: the panes, the status bars and
// the state of every control (enabled, visible, checked, text). The manager object owns one; the
// terminal console draws it. Control thread only; nVersion tells the console that something changed.
//
// Panes keep their text as logical lines and count displayed lines, that is lines wrapped at the
// memo's width (one Windows-1252 byte is one cell). Two bounds, both in displayed lines:
//   - nLineLimit (the eight stage panes, 10,000): the append that takes the pane past it empties it.
//   - nRetainLimit (every pane, 10,000): the oldest lines are dropped beyond it, so the main log,
//     proxy log and audit panes, which have no limit of their own, cannot grow without bound in a
//     relay that runs for months. A terminal shows no more than that anyway.
// A pane scrolled back (nScrollBack > 0) keeps showing the same text while lines arrive below.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "logging/untDisplaySink.h"

constexpr int32_t PANE_LINE_LIMIT = 10000;    // displayed lines a stage pane holds before it empties
constexpr int32_t PANE_RETAIN_LIMIT = 10000;  // displayed lines any pane keeps
constexpr char CLIPPED_MARK = '>';            // last column of a clipped line that goes on

struct TControlState {
  bool bEnabled = true;   // accepts input
  bool bVisible = true;   // drawn at all
  bool bChecked = false;  // check boxes only
  std::string sText;      // edit fields only (Windows-1252)
};

// A read-only memo: lines as displayed, wrapped at nWrapWidth, or, when clipped, one row per line
// cut at that width with CLIPPED_MARK in its last column.
class TPane {
 public:
  void Append(const std::string& sText);  // one entry; CR LF, CR and LF all break lines
  void Clear();
  int32_t DisplayedLineCount() const { return nDisplayedLines; }
  void SetWrapWidth(int32_t nWidth, bool bClip = false);  // recounts the displayed lines
  int32_t WrapWidth() const { return nWrapWidth; }
  bool ClipsLines() const { return bClipLines; }
  const std::deque<std::string>& Lines() const { return vLines; }  // logical lines

  // The displayed lines of a view nRows high that ends nScrollBack lines above the bottom,
  // oldest first; fewer when the pane holds fewer lines.
  std::vector<std::string> View(int32_t nRows) const;
  // Moves the view by nDelta displayed lines (positive: back, towards older text), kept within
  // what a view of nRows can show; 0 follows the newest line again.
  void ScrollBy(int32_t nDelta, int32_t nRows);
  void ScrollToBottom() { nScrollBack = 0; }
  int32_t ScrollBack() const { return nScrollBack; }

  int32_t nLineLimit = 0;                    // 0: none; past it the append empties the pane
  int32_t nRetainLimit = PANE_RETAIN_LIMIT;  // the oldest lines beyond it are dropped

 private:
  int32_t WrappedCount(const std::string& sLine) const;
  void DropOldest();
  std::deque<std::string> vLines;  // logical lines (Windows-1252)
  int32_t nDisplayedLines = 0;     // sum of wrapped lines
  int32_t nWrapWidth = 80;         // columns
  bool bClipLines = false;         // one row per line (a low screen), cut instead of wrapped
  int32_t nScrollBack = 0;         // displayed lines between the view's bottom and the newest line
};

class TDisplayModel {
 public:
  TDisplayModel();
  std::array<TPane, PANE_COUNT> vPanes;
  std::array<std::vector<std::string>, STB_COUNT> vStatusBars;  // panel texts
  std::array<TControlState, CTL_COUNT> vControls;
  uint64_t nVersion = 0;     // bumped by every change made through the helpers below
  int32_t nScreenRows = 24;  // the console's size in cells, set by the console; the layout's input
  int32_t nScreenCols = 80;
  bool bBusy = false;        // long work on the control thread (saving the audit files)
  // Set by the console: paints at once, for changes that must be seen before the control thread
  // returns to its loop (the busy mark). Empty without a console.
  std::function<void()> fnPaintNow;

  void AppendPane(TPaneId tPane, const std::string& sText);
  void ClearPane(TPaneId tPane);
  void ScrollPane(TPaneId tPane, int32_t nDelta, int32_t nRows);
  void SetWrapWidth(TPaneId tPane, int32_t nWidth, bool bClip = false);
  void SetStatus(TStatusBarId tBar, int nPanel, const std::string& sText);
  void SetEnabled(TControlId tControl, bool bEnabled);
  void SetVisible(TControlId tControl, bool bVisible);
  void SetChecked(TControlId tControl, bool bChecked);
  void SetText(TControlId tControl, const std::string& sText);
  void SetBusy(bool bNewBusy);
};
