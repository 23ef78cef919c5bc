// What every pipeline stage shares: its log call, the error line, the pane test and the blocking
// hand-over to the control thread.
//
// Every pipeline line goes to the main log pane (target 1). Tests may watch the lines through an
// observer, set before any stage runs; it runs on the thread that logs, right after WriteLog.
#pragma once

#include <atomic>
#include <string>

#include "base/untVariables.h"
#include "logging/untDisplaySink.h"
#include "logging/untLogger.h"
#include "pipeline/untStageDisplay.h"
#include "platform/untControlLoop.h"

// One pipeline log line: target 1, the given level, source "Class.Operation".
void PipelineLog(const char* sSource, int nLevel, const std::string& sText, bool bEchoToStatus);
// The system's error line: "Error: " + sMessage + " during " + Operation + " Process.", where
// Operation is the part of sSource after its point; level 0, no echo.
void PipelineLogError(const char* sSource, const std::string& sMessage);

using TPipelineLogObserver = void (*)(const std::string& sSource, int nLevel, const std::string& sText,
                                      bool bEchoToStatus);
// Tests only: called for every pipeline line. Pass null to stop watching.
void SetPipelineLogObserver(TPipelineLogObserver fnObserver);

// A stage shows its traffic when its pane switch is on or an audit capture runs.
inline bool ShowStagePane(const std::atomic<bool>& bSwitch) { return bSwitch || MyAuditEvents.bEnabled; }

// The status bars exist only while a display sink is registered (window mode). Without one the
// stages skip their status hand-overs, which would change nothing, so an idle service does not
// wake the control thread dozens of times a second for them.
inline bool StatusBarsShown() { return DisplaySink() != nullptr; }

// Runs fn(display) with the registered stage display on the control thread and waits for it. When
// the loop is closed, or no display is registered (the controller is not there yet or is gone),
// nothing runs and the stage simply goes on.
template <class TFn>
void HandOverToControl(TFn&& fn) {
  TControlLoop::Instance().Synchronize([&] {
    if (TStageDisplay* pDisplay = StageDisplay()) fn(*pDisplay);
  });
}
