// Per-key stages: one thread per category serves every ring of its table in ascending key order,
// takes at most one event per ring per pass, and hands the events it forwards to the registered
// event outlets (untEventOutlet; the client fan-out is one) as batches: the frames of a pass are
// gathered in one buffer and handed over when the pass ends, or earlier once a batch holds
// BATCH_BYTES, so the stage waits for the control thread a few times per pass instead of once per
// event, and no event waits for the fan-out of the events before it one by one. Then it shows the
// ring with the largest backlog and sleeps 100 ms.
//
// Under [GENERAL] PACING=EVENT it does not sleep after a pass: passes follow each other while any
// of its rings holds an event, each still taking at most one event per ring in key order, so a
// burst on one key never holds another key back; a pass is one round over all keys, the next
// starting over where the key order does. It sleeps only after a pass found every ring empty, until
// the global stage's next push rings its bell (untStageWake), after a spin of a few microseconds
// when the pass before took events. Whatever one wake-up finds leaves as
// one batch, as a paced pass does. The status bar is then shown at most every 100 ms while events
// flow, and once when the stage goes to sleep.
//
// One thread per family. A pass looks only at the rings marked by a push (untRingMarks), in the same
// ascending key order, so its cost follows the keys in use, not the size of the table; a ring it
// leaves empty loses its mark. A ring whose positions, read without its lock, say it is empty is
// passed over without taking the lock: an event pushed meanwhile is simply taken in the next pass,
// as it would have been had it come a moment later. A non-empty ring is popped under its lock, one
// at a time, and no lock is held across a hand-over. A pass allocates nothing but the growth of its reused batch buffers.
// The events of one key leave in the order they arrived (one producer, one consumer per ring, and
// each batch keeps the pass order); events of different keys are ordered only by the pass.
//
// The extension stage asks ValidatePeerEvents (untPeerRules) first, on its own thread. That call
// decides only for the event kinds it knows; every other extension event is forwarded (the stage
// starts from "forward").
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "logging/untDisplaySink.h"
#include "pipeline/untEventOutlet.h"
#include "pipeline/untFifo.h"
#include "pipeline/untRingMarks.h"
#include "platform/untWorker.h"

// What tells one per-key stage from another: one row per family.
struct TSpecificStageFamily {
  TEventFamily_OPT tFamily;               // what the outlets are told
  TSpecificMsgReadFifo* vRings;           // the table's first ring (key *pnFirstKey)
  TRingMarks* pMarks;                     // which of them a push marked
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
  // The ring with the largest backlog seen in a pass; ties keep the lower key. A ring the pass did
  // not look at was unmarked, so empty: when no ring looked at held more, the lowest empty ring.
  struct TPassStatus {
    int32_t nMaxKey = 0;   // its key
    int32_t nMaxDiff = -1; // nWP - nRP, read without the lock, not corrected for wrap-around
    int32_t nMaxRP = 0;
    int32_t nMaxWP = 0;
    int32_t nTaken = 0;    // events popped in the pass (forwarded or held back)
  };

  // A batch is handed over once its frames hold this many bytes, and at the end of every pass.
  static constexpr size_t BATCH_BYTES = 64 * 1024;

  // One pass over the served rings, batches handed over, without the status call and the sleep.
  TPassStatus RunPass();
  // One event of key nKey: adds sMyNewMessage + CR LF CR LF to the pending batch (unless the
  // extension check holds it back) and shows it in the pane when asked. Catches and logs errors.
  // True when the event joined the batch; nReadStampUs is kept for its latency, counted from the
  // exchange read that completed it to the moment the outlets returned the batch (writes queued).
  bool ProcessSpecificMessage(std::string& sMyNewMessage, int32_t nKey, int64_t nReadStampUs = 0);
  // Hands the pending batch to the outlets (nothing when it is empty) and counts its latencies.
  void HandOverBatch();

 protected:
  explicit TExecSpecificStageThread(const TSpecificStageFamily& tFamily) : tFamily(tFamily) {}
  void Execute() override;
  // The loop under PACING=EVENT: passes while events wait, a sleep on the bell when none does.
  void ExecuteEventPaced();

  // The stage's ways out; tests replace them. DeliverBatch hands the batch to the registered
  // outlets; the pane and the status bar are blocking hand-overs to the control thread.
  virtual void DeliverBatch(const TEventBatch& tBatch);
  virtual void ShowInPane(int32_t nKey, const std::string& sEvent);
  virtual void ShowPassStatus(const TPassStatus& tStatus);
  // Whether the event goes to the clients; only the extension stage ever says no.
  virtual bool ForwardEvent(const std::string&, int32_t) { return true; }

 private:
  // Takes the mark off ring n when it is empty, and puts it back should a push come meanwhile.
  void UnmarkIfEmpty(int32_t n);
  // The lowest empty ring into tStatus, when no ring looked at held more than nothing.
  void StatusOfEmptyRings(TPassStatus& tStatus) const;

  const TSpecificStageFamily& tFamily;  // constant

  // The pending batch; stage thread only.
  std::string sBatchBytes;                      // frames of the pending batch, one after another;
                                                // reused, so a pass allocates only to grow it
  std::vector<TEventBatch::TFrame> vBatchFrames;  // where each frame lies in sBatchBytes
  std::vector<int64_t> vBatchStamps;            // each frame's nReadStampUs (0: not counted)
};

class TExecSpecificQueueMsgReadThread : public TExecSpecificStageThread {
 public:
  TExecSpecificQueueMsgReadThread();
};

class TExecSpecificPeerMsgReadThread : public TExecSpecificStageThread {
 public:
  TExecSpecificPeerMsgReadThread();

 protected:
  // ValidatePeerEvents on this thread, starting from "forward" (bGenerateEvent True).
  bool ForwardEvent(const std::string& sMyNewMessage, int32_t nPeerNumber) override;
};

class TExecSpecificFeatureParkMsgReadThread : public TExecSpecificStageThread {
 public:
  TExecSpecificFeatureParkMsgReadThread();
};
