// Global stages: one thread per category (queues, extensions, parking lots) reads the key of each
// event in its global ring, by the rules of the profile in force, and files the event in the ring
// of that key.
//
// One thread per family. It takes the global ring's lock to pop and one per-key ring's lock inside
// each push, never both at once. Under PASS it polls: after each turn it naps 100 ms when 5 events
// or fewer wait. Under EVENT it takes event after event and sleeps only while its ring is empty,
// until the splitter's next push rings its bell (untStageWake). Status bar and pane are blocking hand-overs to the control thread; the pane only while
// its switch is on or an audit capture runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/untVariables.h"
#include "logging/untDisplaySink.h"
#include "pipeline/untEventOutlet.h"
#include "logging/untThinnedLine.h"
#include "pipeline/untFifo.h"
#include "platform/untWorker.h"

// What tells one global stage from another: one row per family.
struct TGlobalStageFamily {
  TSpecificMsgReadFifo* pRing;                               // the family's global ring
  const std::atomic<bool>* pbPaneSwitch;                     // MyAppInfo.bWriteGlobal...Log
  TPaneId tPane;                                             // the family's global pane
  TStatusBarId tStatusBar;                                   // the family's global status bar
  const char* sExecuteSource;                                // "TExecGlobal...MsgReadThread.Execute"
  const char* sProcessSource;                                // "...ProcessGlobalMessage"
  // untEventProfile: the event's key under a profile.
  std::optional<int32_t> (*fnExtractKey)(std::string_view, const TProfileConfig&);
  void (*fnPushKeyed)(TText, int32_t);                       // the next hop: TSpecific...MsgRead push
  void (*fnNoKey)(std::string_view);  // an event without a key: what is said of it; null for nothing
  TEventFamily_OPT tEventFamily;       // whose bell wakes the stage
};

// The row of a family; constant after the rings exist.
const TGlobalStageFamily& GlobalStageFamily(TEventFamily_OPT tFamily);

class TExecGlobalStageThread : public TWorkerThread {
 public:
  // Reads the key and pushes the event into that key's ring; a missing or unconvertible key drops
  // the event without a log line.
  void ProcessGlobalMessage(TText sMyNewMessage);

 protected:
  explicit TExecGlobalStageThread(const TGlobalStageFamily& tFamily) : tFamily(tFamily) {}
  void Execute() override;

 private:
  const TGlobalStageFamily& tFamily;  // constant
  TThinnedLine tFailureLine;          // failures of a push or its pane line; this thread
};

class TExecGlobalQueueMsgReadThread : public TExecGlobalStageThread {
 public:
  TExecGlobalQueueMsgReadThread();
};

class TExecGlobalPeerMsgReadThread : public TExecGlobalStageThread {
 public:
  TExecGlobalPeerMsgReadThread();
};

class TExecGlobalFeatureParkMsgReadThread : public TExecGlobalStageThread {
 public:
  TExecGlobalFeatureParkMsgReadThread();
};
