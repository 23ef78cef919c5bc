// The display sink: how the log call and the controller reach the operator's console without
// knowing it. The manager object registers one in window mode only; in service mode none is
// registered and every display call does nothing.
//
// Threads: every member is called on the control thread only, and the registration is changed
// there too (the manager object's creation and destruction). Other threads may test whether a sink
// is registered (DisplaySink() != nullptr) to skip building text nobody will see, and hand the
// call over to the control thread. A sink must not block, must not call WriteLog from inside a
// member (the log call may be the caller) and must not take a ring lock.
#pragma once

#include <cstdint>
#include <string>

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

class TDisplaySink {
 public:
  virtual ~TDisplaySink() = default;
  virtual void AppendPane(TPaneId tPane, const std::string& sText) = 0;  // one entry (Windows-1252)
  virtual void ClearPane(TPaneId tPane) = 0;
  virtual void SetStatus(TStatusBarId tBar, int nPanel, const std::string& sText) = 0;
  virtual void SetEnabled(TControlId tControl, bool bEnabled) = 0;
  virtual void SetChecked(TControlId tControl, bool bChecked) = 0;
  virtual void SetBusy(bool bBusy) = 0;  // long work on the control thread; shown at once
};
// Notices for the operator (the modal dialog) are not part of the sink: they go through
// ShowAppMessage, whose presenter the console registers (SetNoticePresenter), so that a notice
// raised before the console exists still reaches the terminal.

// The registered sink, or null (service mode, before the console exists, after it is gone).
TDisplaySink* DisplaySink();
// Control thread only. Registering null removes the sink; UnregisterDisplaySink removes it only
// when it is still the one given, so a late destructor cannot remove its successor.
void RegisterDisplaySink(TDisplaySink* pSink);
void UnregisterDisplaySink(TDisplaySink* pSink);
