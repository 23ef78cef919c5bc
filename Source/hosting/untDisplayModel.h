// What the operator console shows, held apart from how it is drawn: the panes, the status bars and
// the state of every control (enabled, visible, checked, text). The manager object owns one; the
// terminal console draws it. Control thread only; nVersion tells the console that something changed.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
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

struct TControlState {
  bool bEnabled = true;   // accepts input
  bool bVisible = true;   // drawn at all
  bool bChecked = false;  // check boxes only
  std::string sText;      // edit fields only (Windows-1252)
};

// A read-only memo: lines as displayed, wrapped at nWrapWidth. With a limit, the append that takes
// the displayed line count past it empties the pane.
class TPane {
 public:
  void Append(const std::string& sText);  // one entry; CR LF, CR and LF all break lines
  void Clear();
  int32_t DisplayedLineCount() const { return nDisplayedLines; }
  void SetWrapWidth(int32_t nWidth);      // recounts the displayed lines
  int32_t WrapWidth() const { return nWrapWidth; }
  const std::deque<std::string>& Lines() const { return vLines; }  // logical lines
  int32_t nLineLimit = 0;                 // 0: no limit

 private:
  int32_t WrappedCount(const std::string& sLine) const;
  std::deque<std::string> vLines;  // logical lines
  int32_t nDisplayedLines = 0;     // sum of wrapped lines
  int32_t nWrapWidth = 80;         // columns
};

class TDisplayModel {
 public:
  TDisplayModel();
  std::array<TPane, PANE_COUNT> vPanes;
  std::array<std::vector<std::string>, STB_COUNT> vStatusBars;  // panel texts
  std::array<TControlState, CTL_COUNT> vControls;
  uint64_t nVersion = 0;  // bumped by every change made through the helpers below

  void AppendPane(TPaneId tPane, const std::string& sText);
  void ClearPane(TPaneId tPane);
  void SetStatus(TStatusBarId tBar, int nPanel, const std::string& sText);
  void SetEnabled(TControlId tControl, bool bEnabled);
  void SetVisible(TControlId tControl, bool bVisible);
  void SetChecked(TControlId tControl, bool bChecked);
  void SetText(TControlId tControl, const std::string& sText);
};
