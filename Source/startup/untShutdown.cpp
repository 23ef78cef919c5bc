#include "startup/untShutdown.h"

#include <chrono>

#include "base/untVariables.h"
#include "hosting/untNatsOutlet.h"
#include "logging/untLogger.h"
#include "logging/untLoggerThread.h"
#include "pipeline/untStageWake.h"
#include "platform/untControlLoop.h"
#include "platform/untWorker.h"

namespace {
constexpr auto LOG_DRAIN_BOUND = std::chrono::seconds(2);  // the writer takes ~1 ms a line
constexpr auto WORKERS_BOUND = std::chrono::seconds(3);    // every worker naps 100 ms at most
}  // namespace

int EndProcess(int nExitCode) {
  TControlLoop::Instance().Stop();
  WaitForLogWritten(LOG_DRAIN_BOUND);
  MyAppInfo.bIsRunning = false;
  RingAllStageBells();  // stages asleep on an empty ring see the end at once
  WakeLogWriter();
  WaitForWorkers(WORKERS_BOUND);
  CloseNatsOutlet();
  return nExitCode;
}
