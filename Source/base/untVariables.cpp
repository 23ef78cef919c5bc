#include "base/untVariables.h"

// Allocated once and never freed: see the header.
TAppInfo& MyAppInfo = *new TAppInfo();
TConfigInfo& MyConfigInfo = *new TConfigInfo();
TAuditEvents& MyAuditEvents = *new TAuditEvents();
TMainTimerControl& MyMainTimerControl = *new TMainTimerControl();

void TAuditList::Add(const std::string& sText) {
  TMutexLock lock(crsList);
  vLines.push_back(sText);
}

std::vector<std::string> TAuditList::Snapshot() {
  TMutexLock lock(crsList);
  return vLines;
}

void InitializeSharedState() {
  MyAppInfo.bIsRunning = true;
  MyAppInfo.bReconnecting = false;
  MyAppInfo.tMainSocketClientStateMachine[0] = MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE;
  MyAppInfo.MyTimeoutEventsControl.nTimeoutControl = 0;
  MyAppInfo.MyTimeoutEventsControl.tStateMachine = TIMEOUTEVENTS_STATE_STEP1;
  MyAppInfo.nTotalSocketReadEvents = 0;
  MyAppInfo.sConfigRefusal.clear();
  for (TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo)
    slot.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_NONE;
  MyAppInfo.bWriteGeneralLogReceived = false;
  MyAppInfo.bWriteGeneralLogProcessed = false;
  MyAppInfo.bWriteGlobalQueueLog = false;
  MyAppInfo.bWriteSpecificQueueLog = false;
  MyAppInfo.bWriteGlobalPeerLog = false;
  MyAppInfo.bWriteSpecificPeerLog = false;
  MyAppInfo.bWriteGlobalFeatureParkLog = false;
  MyAppInfo.bWriteSpecificFeatureParkLog = false;
  // Every line is written until the configuration sets the real level.
  MyConfigInfo.nLogVerbose = 99;
}
