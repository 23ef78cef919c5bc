// The seven stage bells; see untStageWake.h for the protocol.
#include "pipeline/untStageWake.h"

#include <chrono>
#include <thread>

#include "base/untVariables.h"

void TStageBell::Ring() {
  nEpoch.fetch_add(1, std::memory_order_seq_cst);
  if (nWaiters.load(std::memory_order_seq_cst) == 0) return;
  // Under the lock: a waiter between its test of the epoch and its sleep cannot miss the notice.
  std::lock_guard<std::mutex> lock(crsBell);
  cvBell.notify_one();
}

void TStageBell::Wait(uint64_t nSeen, bool bSpinFirst) {
  if (bSpinFirst && BELL_SPIN_US > 0) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::microseconds(BELL_SPIN_US);
    do {
      if (Epoch() != nSeen || !MyAppInfo.bIsRunning) return;
      std::this_thread::yield();  // two shared cores: let the producer run rather than burn its slice
    } while (std::chrono::steady_clock::now() < tEnd);
  }
  std::unique_lock<std::mutex> lock(crsBell);
  nWaiters.fetch_add(1, std::memory_order_seq_cst);
  cvBell.wait(lock, [&] { return nEpoch.load(std::memory_order_seq_cst) != nSeen || !MyAppInfo.bIsRunning; });
  nWaiters.fetch_sub(1, std::memory_order_seq_cst);
}

namespace {
TStageBell vGeneralBell;
TStageBell vGlobalBells[EVENT_FAMILY_COUNT];
TStageBell vSpecificBells[EVENT_FAMILY_COUNT];
}  // namespace

TStageBell& GeneralStageBell() { return vGeneralBell; }
TStageBell& GlobalStageBell(TEventFamily_OPT tFamily) { return vGlobalBells[tFamily]; }
TStageBell& SpecificStageBell(TEventFamily_OPT tFamily) { return vSpecificBells[tFamily]; }

void RingAllStageBells() {
  vGeneralBell.Ring();
  for (TStageBell& bell : vGlobalBells) bell.Ring();
  for (TStageBell& bell : vSpecificBells) bell.Ring();
}

bool EventPacing() { return MyConfigInfo.tPacing == PACING_EVENT; }
