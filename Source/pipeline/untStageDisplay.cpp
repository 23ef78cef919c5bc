// The registered stage display: one pointer, written by whoever creates or destroys the controller
// and read on the control thread inside each hand-over.
#include "pipeline/untStageDisplay.h"

#include <atomic>

namespace {
std::atomic<TStageDisplay*> pRegisteredDisplay{nullptr};
}  // namespace

TStageDisplay* StageDisplay() { return pRegisteredDisplay.load(std::memory_order_acquire); }

void RegisterStageDisplay(TStageDisplay* pDisplay) { pRegisteredDisplay.store(pDisplay, std::memory_order_release); }

void UnregisterStageDisplay(TStageDisplay* pDisplay) { pRegisteredDisplay.compare_exchange_strong(pDisplay, nullptr); }
