// Global stages: one thread per category (queues, extensions, parking lots) reads the key of each
// event in its global ring and files the event in the ring of that key.
//
// One thread per family. It takes the global ring's lock to pop and one per-key ring's lock inside
// each push, never both at once. It polls: after each turn it naps 100 ms when 5 events or fewer
// wait. Status bar and pane are blocking hand-overs to the control thread; the pane only while
// its switch is on or an audit capture runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "controller/untValidate.h"
#include "pipeline/untFifo.h"
#include "platform/untWorker.h"

// What tells one global stage from another.
struct TGlobalStageFamily {
  TSpecificMsgReadFifo* pRing;                           // the family's global ring
  const std::atomic<bool>* pbPaneSwitch;                 // MyAppInfo.bWriteGlobal...Log
  const char* sExecuteSource;                            // "TExecGlobal...MsgReadThread.Execute"
  const char* sProcessSource;                            // "...ProcessGlobalMessage"
  std::optional<int32_t> (*fnExtractKey)(std::string_view);  // untEventKeys
  void (*fnPushKeyed)(TText, int32_t);                   // TSpecific...MsgRead push
  void (TValidate::*fnStatusBar)(int32_t, int32_t);      // PrintStatusBarGlobal...
  void (TValidate::*fnPane)(const std::string&);         // PrintGlobal...Log
};

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
