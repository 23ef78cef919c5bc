// Event outlets: where the per-key stages hand each event they forward, with its family and key.
// The client fan-out is one outlet; anything else that wants the keyed events (metrics, a message
// bus) registers its own at start-up, without touching the stages.
//
// A per-key pass hands its forwarded events over as batches (TEventBatch): every frame of a batch
// lies in one buffer, so the client fan-out can give the same bytes to a hundred desks without a
// copy each, and the stage waits for the control thread once per batch instead of once per event.
//
// Threads: DeliverBatch (and Deliver, its one-event form) runs on the per-key stage's thread of the
// family, in the order the events of one key arrived; the three families run on three threads, so
// an outlet that serves more than one family must be safe for concurrent calls. It may block (the
// client outlet waits for the control thread), but it must not take a ring lock, must not call back
// into the stages, and should return quickly: every other outlet and every other key of the family
// waits for it.
// Outlets are registered once and live until the process ends; the table is lock-free, so a
// registration made while the stages already run is seen from their next event on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/untEventFamily.h"

// Forwarded events of one family, in the order a pass took them (ascending key, at most one event
// per key), each frame the event followed by CR LF CR LF, Windows-1252, exactly as a client
// receives it. The frames lie one after another in svBytes, which is valid only during the
// DeliverBatch call: the stage reuses its buffer for the next batch, so its thread's heap does not
// churn. An outlet that needs the bytes later copies them (the client outlet does so once, on the
// control thread, and shares that copy among the clients).
struct TEventBatch {
  struct TFrame {
    int32_t nKey;    // queue, extension or lot number
    size_t nOffset;  // first byte in svBytes
    size_t nLength;  // bytes of the frame
  };
  TEventFamily_OPT tFamily = EVENT_FAMILY_QUEUE;  // every frame's family
  std::string_view svBytes;                        // the frames' bytes, during the call only
  std::vector<TFrame> vFrames;                     // in delivery order

  std::string_view Frame(const TFrame& tFrame) const { return svBytes.substr(tFrame.nOffset, tFrame.nLength); }
  // A batch of the one frame given, a view of sFrame; for callers that hand over single events.
  static TEventBatch One(TEventFamily_OPT tFamily, int32_t nKey, std::string_view sFrame) {
    return {tFamily, sFrame, {{nKey, 0, sFrame.size()}}};
  }
};

class TEventOutlet {
 public:
  virtual ~TEventOutlet() = default;
  // sFrame: the event followed by CR LF CR LF, Windows-1252, exactly as a client receives it.
  virtual void Deliver(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame) = 0;
  // Every frame of the batch, in order. The default hands them to Deliver one by one.
  virtual void DeliverBatch(const TEventBatch& tBatch);
};

constexpr int MAX_EVENT_OUTLETS = 8;

// Adds pOutlet to the table (the same outlet twice is kept once); false when the table is full.
bool AddEventOutlet(TEventOutlet* pOutlet);
// Hands the batch to every registered outlet, in the order they were added.
void DeliverBatchToOutlets(const TEventBatch& tBatch);
