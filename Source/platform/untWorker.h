// Worker threads of the pipeline and the log writer.
//
// A worker is created suspended, started at a chosen priority, runs Execute() once and frees itself
// when Execute returns; it is never joined. The process keeps a count of live workers so that the
// shut-down can wait, with a bound, for them to leave their loops before the process ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

enum TWorkerPriority_OPT : uint8_t {
  WORKER_PRIORITY_BELOW_NORMAL = 0,  // two steps below normal: background work
  WORKER_PRIORITY_NORMAL = 1,        // as the control thread: a worker that must keep up with it
};

class TWorkerThread {
 public:
  virtual ~TWorkerThread() = default;
  // Starts the thread at tPriority; the object deletes itself after Execute returns.
  bool Start(TWorkerPriority_OPT tPriority = WORKER_PRIORITY_BELOW_NORMAL);

 protected:
  virtual void Execute() = 0;
};

// Sleeps the calling thread for nMilliseconds.
void SleepMs(int nMilliseconds);
// Number of workers whose Execute has not returned yet.
int LiveWorkerCount();
// Waits until no worker is live or the timeout passes; returns true when none is left.
bool WaitForWorkers(std::chrono::milliseconds tTimeout);
