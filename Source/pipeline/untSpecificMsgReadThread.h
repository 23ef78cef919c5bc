// Per-key stages: one thread per category serves every ring of its table in ascending key order,
// takes at most one event per ring per pass, and hands each event it forwards to the registered
// event outlets (untEventOutlet; the client fan-out is one); then it shows the ring with the
// largest backlog and sleeps 100 ms.
//
// One thread per family. It takes one ring lock at a time, exactly once per ring per pass even when
// the ring is empty, and never holds a lock across a hand-over. A pass allocates nothing until it
// finds an event. The events of one key leave in the order they arrived (one producer, one
// consumer per ring); events of different keys are ordered only by the pass.
//
// The extension stage asks TValidate::ValidatePeerEvents first, on its own thread. That call
// decides only for the event kinds it knows; every other extension event is forwarded (the stage
// starts from "forward").
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "logging/untDisplaySink.h"
#include "pipeline/untEventOutlet.h"
#include "pipeline/untFifo.h"
#include "platform/untWorker.h"

// What tells one per-key stage from another: one row per family.
struct TSpecificStageFamily {
  TEventFamily_OPT tFamily;               // what the outlets are told
  TSpecificMsgReadFifo* vRings;           // the table's first ring (key *pnFirstKey)
  const int32_t* pnFirstKey;              // MyConfigInfo.MyProfile's first number, fixed at start-up
  int32_t nServedRings;                   // 1000, 10000 or 100: the table's last ring is never served
  const std::atomic<bool>* pbPaneSwitch;  // MyAppInfo.bWriteSpecific...Log
  TPaneId tPane;                          // the family's per-key pane
  TStatusBarId tStatusBar;                // the family's per-key status bar
  const char* sExecuteSource;             // "TExecSpecific...MsgReadThread.Execute"
  const char* sProcessSource;             // "...ProcessSpecificMessage"
};

// The row of a family; constant after the rings exist.
const TSpecificStageFamily& SpecificStageFamily(TEventFamily_OPT tFamily);

class TExecSpecificStageThread : public TWorkerThread {
 public:
  // The ring with the largest backlog seen in a pass; ties keep the lower key.
  struct TPassStatus {
    int32_t nMaxKey = 0;   // its key
    int32_t nMaxDiff = -1; // nWP - nRP, read without the lock, not corrected for wrap-around
    int32_t nMaxRP = 0;
    int32_t nMaxWP = 0;
  };

  // One pass over the served rings, without the status call and the sleep.
  TPassStatus RunPass();
  // One event of key nKey: hands sMyNewMessage + CR LF CR LF to the outlets (unless the extension
  // check holds it back) and shows it in the pane when asked. Catches and logs errors. True when
  // the outlets had the event; the pass then counts its latency, from the exchange read that
  // completed it to the moment the outlets returned (the client writes queued).
  bool ProcessSpecificMessage(std::string& sMyNewMessage, int32_t nKey);

 protected:
  explicit TExecSpecificStageThread(const TSpecificStageFamily& tFamily) : tFamily(tFamily) {}
  void Execute() override;

  // The stage's ways out; tests replace them. Deliver hands the frame to the registered outlets;
  // the pane and the status bar are blocking hand-overs to the control thread.
  virtual void Deliver(int32_t nKey, const std::string& sFrame);
  virtual void ShowInPane(int32_t nKey, const std::string& sEvent);
  virtual void ShowPassStatus(const TPassStatus& tStatus);
  // Whether the event goes to the clients; only the extension stage ever says no.
  virtual bool ForwardEvent(const std::string&, int32_t) { return true; }

 private:
  const TSpecificStageFamily& tFamily;  // constant
};

class TExecSpecificQueueMsgReadThread : public TExecSpecificStageThread {
 public:
  TExecSpecificQueueMsgReadThread();
};

class TExecSpecificPeerMsgReadThread : public TExecSpecificStageThread {
 public:
  TExecSpecificPeerMsgReadThread();

 protected:
  // TValidate::ValidatePeerEvents on this thread, starting from "forward" (bGenerateEvent True).
  bool ForwardEvent(const std::string& sMyNewMessage, int32_t nPeerNumber) override;
};

class TExecSpecificFeatureParkMsgReadThread : public TExecSpecificStageThread {
 public:
  TExecSpecificFeatureParkMsgReadThread();
};
