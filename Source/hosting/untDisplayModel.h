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

enum TPaneId : int {
  PANE_MAIN_LOG,               // memMainLog, log target 1
  PANE_PROXY_LOG,              // memProxyLog, log target 2
  PANE_MAIN_AUDIT,             // memMainAudit
  PANE_GENERIC_RECEIVED,       // memGenericMsgReadReceived
  PANE_GENERIC_PROCESSED,      // memGenericMsgReadProcessed
  PANE_GLOBAL_QUEUE,           // memGlobalQueueMsgRead
  PANE_SPECIFIC_QUEUE,         // memSpecificQueueMsgRead
  PANE_GLOBAL_PEER,            // memGlobalPeerMsgRead
  PANE_SPECIFIC_PEER,          // memSpecificPeerMsgRead
  PANE_GLOBAL_FEATUREPARK,     // memGlobalFeatureParkMsgRead
  PANE_SPECIFIC_FEATUREPARK,   // memSpecificFeatureParkMsgRead
  PANE_COUNT
};

enum TStatusBarId : int {
  STB_MAIN,                    // stbMain: 2 panels
  STB_GENERIC_MSG_READ,        // stbGenericMsgRead: 4 panels
  STB_GLOBAL_QUEUE,            // stbGlobalQueueMsgRead: 3 panels
  STB_SPECIFIC_QUEUE,          // stbSpecificQueueMsgRead: 4 panels
  STB_GLOBAL_PEER,             // stbGlobalPeerMsgRead: 3
  STB_SPECIFIC_PEER,           // stbSpecificPeerMsgRead: 4
  STB_GLOBAL_FEATUREPARK,      // stbGlobalFeatureParkMsgRead: 3
  STB_SPECIFIC_FEATUREPARK,    // stbSpecificFeatureParkMsgRead: 4
  STB_COUNT
};

enum TControlId : int {
  CTL_TXT_SERVER_IP, CTL_TXT_SERVER_PORT, CTL_TXT_USERNAME, CTL_TXT_SECRET, CTL_TXT_PROXY_PORT,
  CTL_CMD_START_PROXY, CTL_CMD_STOP_PROXY, CTL_CMD_START_CLIENT, CTL_CMD_STOP_CLIENT,
  CTL_CMD_START_SERVER, CTL_CMD_STOP_SERVER, CTL_CMD_CLEAR_ALL_LOGS,
  CTL_CHK_MAIN_AUDIT, CTL_TXT_AUDIT_TIME,
  // The eight "Enabled" check boxes, in page order (same order as the pane switches).
  CTL_CHK_GENERIC_RECEIVED, CTL_CHK_GENERIC_PROCESSED, CTL_CHK_GLOBAL_QUEUE, CTL_CHK_SPECIFIC_QUEUE,
  CTL_CHK_GLOBAL_PEER, CTL_CHK_SPECIFIC_PEER, CTL_CHK_GLOBAL_FEATUREPARK, CTL_CHK_SPECIFIC_FEATUREPARK,
  CTL_COUNT
};

constexpr int32_t PANE_LINE_LIMIT = 10000;    // displayed lines a stage pane holds before it empties
constexpr int32_t PANE_RETAIN_LIMIT = 10000;  // displayed lines any pane keeps

struct TControlState {
  bool bEnabled = true;   // accepts input
  bool bVisible = true;   // drawn at all
  bool bChecked = false;  // check boxes only
  std::string sText;      // edit fields only (Windows-1252)
};

// A read-only memo: lines as displayed, wrapped at nWrapWidth.
class TPane {
 public:
  void Append(const std::string& sText);  // one entry; CR LF, CR and LF all break lines
  void Clear();
  int32_t DisplayedLineCount() const { return nDisplayedLines; }
  void SetWrapWidth(int32_t nWidth);      // recounts the displayed lines
  int32_t WrapWidth() const { return nWrapWidth; }
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
  void SetWrapWidth(TPaneId tPane, int32_t nWidth);
  void SetStatus(TStatusBarId tBar, int nPanel, const std::string& sText);
  void SetEnabled(TControlId tControl, bool bEnabled);
  void SetVisible(TControlId tControl, bool bVisible);
  void SetChecked(TControlId tControl, bool bChecked);
  void SetText(TControlId tControl, const std::string& sText);
  void SetBusy(bool bNewBusy);
};
