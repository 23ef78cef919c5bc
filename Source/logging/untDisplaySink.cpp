// The registered sink, and the lines kept for the first one.
//
// crsEarlyLines makes the hand-over exact: a line is either kept before the first registration
// takes the kept lines, or refused after it (and then shown by its caller through the sink), never
// lost between the two.
#include "logging/untDisplaySink.h"

#include <atomic>
#include <deque>
#include <utility>

#include "base/untMutex.h"

namespace {
std::atomic<TDisplaySink*> pRegisteredSink{nullptr};  // written by the control thread, read by all

// Never freed, like the log's own lock: a thread that logs during the process end still finds it.
struct TEarlyLines {
  TMutex crsEarlyLines;                                 // guards the two below
  bool bTaken GUARDED_BY(crsEarlyLines) = false;        // a sink has registered once
  // Oldest first, at most EARLY_LINES_KEPT.
  std::deque<std::pair<TPaneId, std::string>> vLines GUARDED_BY(crsEarlyLines);
};
TEarlyLines& MyEarlyLines = *new TEarlyLines();

std::deque<std::pair<TPaneId, std::string>> TakeEarlyLines() {
  TMutexLock lock(MyEarlyLines.crsEarlyLines);
  MyEarlyLines.bTaken = true;
  return std::exchange(MyEarlyLines.vLines, {});
}
}  // namespace

TDisplaySink* DisplaySink() { return pRegisteredSink.load(std::memory_order_acquire); }

void RegisterDisplaySink(TDisplaySink* pSink) {
  pRegisteredSink.store(pSink, std::memory_order_release);
  if (pSink == nullptr) return;
  for (const auto& [tPane, sText] : TakeEarlyLines()) pSink->AppendPane(tPane, sText);
}

void UnregisterDisplaySink(TDisplaySink* pSink) { pRegisteredSink.compare_exchange_strong(pSink, nullptr); }

bool KeepEarlyLine(TPaneId tPane, const std::string& sText) {
  TEarlyLines& e = MyEarlyLines;
  TMutexLock lock(e.crsEarlyLines);
  if (e.bTaken) return false;
  if (e.vLines.size() == EARLY_LINES_KEPT) e.vLines.pop_front();
  e.vLines.emplace_back(tPane, sText);
  return true;
}
