// Stage bells: how a push wakes the stage that pops, when the stages are paced by events
// ([GENERAL] PACING=EVENT). Under PASS the bells are rung all the same and nobody waits on them.
//
// Seven bells: the splitter's (rung by the exchange read's push into the raw ring), one per global
// stage (rung by the splitter's push into that family's global ring) and one per per-key stage (rung
// by the global stage's push into any ring of the family's table).
//
// A bell is an epoch counter and a condition. The consumer reads Epoch() before it looks at its
// rings and, only when it found them all empty, calls Wait(nEpoch): Wait returns at once when any
// push rang since that read, and otherwise sleeps until one does. Ring() raises the epoch and takes
// the lock to notify only while the consumer is waiting or about to, so a busy stage costs its
// producers one atomic add and one load per push: no lock, no system call.
//
// No wake-up is lost. A push whose ring came before the consumer read the epoch is visible to the
// consumer's look at its rings (the epoch's add releases the push, its read acquires it); a ring
// after that read changes the epoch, which Wait tests under the bell's lock after announcing itself
// as a waiter, while Ring tests for waiters after its add (both sequentially consistent), so either
// Wait sees the new epoch or Ring sees the waiter and notifies under the lock, after Wait has begun
// to sleep.
//
// Spinning: a stage whose last look found work may ask Wait to spin first, for at most
// BELL_SPIN_US, watching the epoch and yielding the core between looks, and to sleep only when no
// push came in that time. Under load the next push usually comes within microseconds, and catching
// it awake spares both sides a system call (the push's notice and the stage's sleep and wake-up); a
// stage that found nothing sleeps at once, so an idle relay never spins.
//
// Shut-down: Wait also returns once MyAppInfo.bIsRunning is false; whoever clears it rings every bell
// (RingAllStageBells) so that no stage sleeps through the end.
//
// Threads: Ring from any producer thread (control thread, splitter, global stages); Epoch and Wait
// from the one consumer thread of the bell. The bell's lock is a leaf: never held with a ring lock
// or the log lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "pipeline/untEventFamily.h"

class TStageBell {
 public:
  // Producer: after a push.
  void Ring();
  // Consumer: read before looking at the rings.
  uint64_t Epoch() const { return nEpoch.load(std::memory_order_seq_cst); }
  // Consumer: sleeps until a ring after Epoch() returned nSeen, or until the relay stops; with
  // bSpinFirst (its last look found work), spins up to BELL_SPIN_US before it sleeps.
  void Wait(uint64_t nSeen, bool bSpinFirst = false);

  static constexpr int64_t BELL_SPIN_US = 20;  // longest spin before a sleep, microseconds

 private:
  std::atomic<uint64_t> nEpoch{0};   // rings so far; any thread
  std::atomic<int32_t> nWaiters{0};  // consumers inside Wait; changed under crsBell
  std::mutex crsBell;                // taken by Wait, and by Ring only to notify
  std::condition_variable cvBell;    // notified under crsBell
};

TStageBell& GeneralStageBell();                          // the splitter's
TStageBell& GlobalStageBell(TEventFamily_OPT tFamily);   // a global stage's
TStageBell& SpecificStageBell(TEventFamily_OPT tFamily); // a per-key stage's
// Rings all seven; called after MyAppInfo.bIsRunning turned false.
void RingAllStageBells();
// Whether the stages wait on their bells ([GENERAL] PACING=EVENT); fixed when the stages start.
bool EventPacing();
