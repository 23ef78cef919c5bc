#include "logging/untDisplaySink.h"

#include <atomic>

namespace {
std::atomic<TDisplaySink*> pRegisteredSink{nullptr};  // written by the control thread, read by all
}  // namespace

TDisplaySink* DisplaySink() { return pRegisteredSink.load(std::memory_order_acquire); }

void RegisterDisplaySink(TDisplaySink* pSink) { pRegisteredSink.store(pSink, std::memory_order_release); }

void UnregisterDisplaySink(TDisplaySink* pSink) { pRegisteredSink.compare_exchange_strong(pSink, nullptr); }
