// Worker threads of the pipeline and the log writer.
//
// A worker is created suspended, started at a chosen priority, runs Execute() once and frees itself
// when Execute returns; it is never joined. The process keeps a count of live workers so that the
// shut-down can wait, with a bound, for them to leave their loops before the process ends.
#pragma once

#include <chrono>
#include <string>

class TWorkerThread {
 public:
  virtual ~TWorkerThread() = default;
  // Starts the thread; the object deletes itself after Execute returns. bLowest picks the lowest
  // priority (the log writer); otherwise the priority sits two steps below normal.
  bool Start(bool bLowest = false);

 protected:
  virtual void Execute() = 0;
};

// Sleeps the calling thread for nMilliseconds.
void SleepMs(int nMilliseconds);
// Number of workers whose Execute has not returned yet.
int LiveWorkerCount();
// Waits until no worker is live or the timeout passes; returns true when none is left.
bool WaitForWorkers(std::chrono::milliseconds tTimeout);
