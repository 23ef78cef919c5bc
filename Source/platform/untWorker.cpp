#include "platform/untWorker.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

std::mutex& CountLock() {
  static auto* p = new std::mutex();  // never freed: workers may finish at process end
  return *p;
}
std::condition_variable& CountSignal() {
  static auto* p = new std::condition_variable();
  return *p;
}
int nLiveWorkers = 0;  // guarded by CountLock()

void SetThreadNice(int nNice) {
  // Linux keeps a nice value per thread; raising it needs no privilege. Failure only costs priority.
  const auto nTid = static_cast<id_t>(syscall(SYS_gettid));
  (void)setpriority(PRIO_PROCESS, nTid, nNice);
}

}  // namespace

bool TWorkerThread::Start(TWorkerPriority_OPT tPriority) {
  {
    std::lock_guard<std::mutex> lock(CountLock());
    ++nLiveWorkers;
  }
  try {
    std::thread([this, tPriority] {
      SetThreadNice(tPriority == WORKER_PRIORITY_NORMAL ? 0 : 2);
      Execute();
      delete this;
      {
        std::lock_guard<std::mutex> lock(CountLock());
        --nLiveWorkers;
      }
      CountSignal().notify_all();
    }).detach();
    return true;
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(CountLock());
    --nLiveWorkers;
    return false;
  }
}

void SleepMs(int nMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds)); }

int LiveWorkerCount() {
  std::lock_guard<std::mutex> lock(CountLock());
  return nLiveWorkers;
}

bool WaitForWorkers(std::chrono::milliseconds tTimeout) {
  std::unique_lock<std::mutex> lock(CountLock());
  return CountSignal().wait_for(lock, tTimeout, [] { return nLiveWorkers == 0; });
}
