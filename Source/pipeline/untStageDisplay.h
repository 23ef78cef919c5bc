// The stage display: how the pipeline stages show their traffic and ring positions without knowing
// who shows them. The controller registers one when it is created and removes it when it is
// destroyed; while none is registered (before start-up, after shut-down) the stages show nothing.
// It sits between the stages and the display sink: it decides what a pane or status bar gets (a
// switch, an audit capture, a key frame) and the sink draws it.
//
// Threads: every member runs on the control thread only, reached through the stages' blocking
// hand-over (HandOverToControl), one call per hand-over; a stage waits until it has returned. A
// stage display must not block, must not take a ring lock and must not hand anything back to a
// stage. The registration is changed by the thread that creates or destroys the controller (the
// main thread before any stage runs, the control thread at shut-down) and read on the control
// thread inside each hand-over.
#pragma once

#include <cstdint>
#include <string>

#include "logging/untDisplaySink.h"

class TStageDisplay {
 public:
  virtual ~TStageDisplay() = default;
  // The general stage's processed pane: one event as the splitter found it.
  virtual void PrintGeneralLogProcessed(const std::string& sMessage) = 0;
  // One of the global stages' panes: one event as it was pushed to its per-key ring.
  virtual void PrintStageLog(TPaneId tPane, const std::string& sMessage) = 0;
  // One of the per-key stages' panes: one event framed with its key.
  virtual void PrintStageKeyLog(TPaneId tPane, int32_t nKey, const std::string& sEvent) = 0;
  // The raw-event ring's bar: positions, or (bOnlyErr) only the count of texts without an event.
  virtual void PrintStatusBarMain(int32_t nWP, int32_t nRP, bool bOnlyErr, int32_t nErr) = 0;
  // A global ring's bar: its positions.
  virtual void PrintStatusBarGlobal(TStatusBarId tBar, int32_t nWP, int32_t nRP) = 0;
  // A per-key stage's bar: the ring with the largest backlog of the last pass, and its key.
  virtual void PrintStatusBarSpecific(TStatusBarId tBar, int32_t nWP, int32_t nRP, int32_t nDiff, int32_t nKey) = 0;
};

// The registered stage display, or null.
TStageDisplay* StageDisplay();
// Registering null removes the display; UnregisterStageDisplay removes it only when it is still
// the one given, so a late destructor cannot remove its successor.
void RegisterStageDisplay(TStageDisplay* pDisplay);
void UnregisterStageDisplay(TStageDisplay* pDisplay);
