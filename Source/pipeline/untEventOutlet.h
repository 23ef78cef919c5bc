// Event outlets: where the per-key stages hand each event they forward, with its family and key.
// The client fan-out is one outlet; anything else that wants the keyed events (metrics, a message
// bus) registers its own at start-up, without touching the stages.
//
// Threads: Deliver runs on the per-key stage's thread of the event's family, once per forwarded
// event, in the order the events of one key arrived; the three families run on three threads, so
// an outlet that serves more than one family must be safe for concurrent calls. Deliver may block
// (the client outlet waits for the control thread), but it must not take a ring lock, must not
// call back into the stages, and should return quickly: every other outlet and every other key of
// the family waits for it.
// Outlets are registered once and live until the process ends; the table is lock-free, so a
// registration made while the stages already run is seen from their next event on.
#pragma once

#include <cstdint>
#include <string>

enum TEventFamily_OPT : int {
  EVENT_FAMILY_QUEUE = 0,        // queue events, keys 10001..11000 (classic ranges; see [KEYS])
  EVENT_FAMILY_PEER = 1,         // extension events, keys 20001..30000
  EVENT_FAMILY_FEATUREPARK = 2,  // parking events, keys 701..800
  EVENT_FAMILY_COUNT
};

// "queue", "extension" or "parking": the family's name outside the relay (metrics, subjects).
const char* EventFamilyName(TEventFamily_OPT tFamily);

class TEventOutlet {
 public:
  virtual ~TEventOutlet() = default;
  // sFrame: the event followed by CR LF CR LF, Windows-1252, exactly as a client receives it.
  virtual void Deliver(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame) = 0;
};

constexpr int MAX_EVENT_OUTLETS = 8;

// Adds pOutlet to the table (the same outlet twice is kept once); false when the table is full.
bool AddEventOutlet(TEventOutlet* pOutlet);
// Hands the frame to every registered outlet, in the order they were added.
void DeliverToOutlets(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame);
// Tests only: empties the table. No stage may be delivering at the time.
void RemoveAllEventOutlets();
