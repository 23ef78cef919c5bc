#include "platform/untControlLoop.h"

#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace {

std::atomic<bool> bTerminationRequested{false};
std::atomic<bool> bTerminationHandled{false};

// One hand-over; its fields are guarded by TImpl::crsJobs.
struct TJob {
  std::function<void()> fn;
  bool bStarted = false;
  bool bDone = false;
  bool bAbandoned = false;
};

}  // namespace

struct TControlLoop::TImpl {
  asio::io_context ioc;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::atomic<bool> bRunning{false};
  std::atomic<bool> bClosed{false};
  std::atomic<std::thread::id> tControlThread{};
  std::mutex crsJobs;                // guards every TJob and bClosed transitions seen by waiters
  std::condition_variable cvJobs;    // signalled when a job finishes or the loop closes
  std::mutex crsTermination;         // guards fnOnTermination
  std::function<void()> fnOnTermination;
  std::atomic<uint64_t> nRunGeneration{0};  // bumped by every Run(); checks of an older run are stale

  void FireTerminationIfRequested(uint64_t nGeneration) {
    if (nGeneration != nRunGeneration.load()) return;
    if (!bTerminationRequested.load() || bTerminationHandled.exchange(true)) return;
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> lock(crsTermination);
      fn = fnOnTermination;
    }
    if (fn) fn();
  }
};

TControlLoop::TControlLoop() : pImpl(std::make_unique<TImpl>()) {}

TControlLoop& TControlLoop::Instance() {
  // Never destroyed: workers that are still leaving their loops may ask for it at process end.
  static TControlLoop* pLoop = new TControlLoop();
  return *pLoop;
}

void TControlLoop::Run() {
  TImpl& impl = *pImpl;
  impl.tControlThread = std::this_thread::get_id();
  impl.work.emplace(asio::make_work_guard(impl.ioc));
  const uint64_t nGeneration = ++impl.nRunGeneration;
  impl.bRunning = true;
  // Queued after whatever was posted before Run (the manager object's creation), so a request made
  // during start-up ends the mode at its first turn, after the creation.
  asio::post(impl.ioc, [&impl, nGeneration] { impl.FireTerminationIfRequested(nGeneration); });
  impl.ioc.run();
  impl.bRunning = false;
  impl.tControlThread = std::thread::id();
}

void TControlLoop::Stop() {
  TImpl& impl = *pImpl;
  {
    std::lock_guard<std::mutex> lock(impl.crsJobs);
    impl.bClosed = true;
  }
  impl.cvJobs.notify_all();
  impl.work.reset();
  impl.ioc.stop();
}

bool TControlLoop::IsRunning() const { return pImpl->bRunning.load() && !pImpl->bClosed.load(); }

bool TControlLoop::IsControlThread() const {
  return pImpl->tControlThread.load() == std::this_thread::get_id();
}

bool TControlLoop::Synchronize(const std::function<void()>& fn) {
  TImpl& impl = *pImpl;
  if (IsControlThread()) {
    fn();
    return true;
  }
  if (impl.bClosed) return false;
  auto job = std::make_shared<TJob>();
  job->fn = fn;
  asio::post(impl.ioc, [&impl, job] {
    {
      std::lock_guard<std::mutex> lock(impl.crsJobs);
      if (job->bAbandoned) return;
      job->bStarted = true;
    }
    job->fn();
    {
      std::lock_guard<std::mutex> lock(impl.crsJobs);
      job->bDone = true;
    }
    impl.cvJobs.notify_all();
  });
  std::unique_lock<std::mutex> lock(impl.crsJobs);
  // Once started, a job always finishes: it runs on the control thread, which is not waiting for us.
  impl.cvJobs.wait(lock, [&] { return job->bDone || (impl.bClosed && !job->bStarted); });
  if (job->bDone) return true;
  job->bAbandoned = true;
  return false;
}

void TControlLoop::Post(std::function<void()> fn) {
  if (pImpl->bClosed) return;
  asio::post(pImpl->ioc, std::move(fn));
}

void TControlLoop::SetOnTermination(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(pImpl->crsTermination);
  pImpl->fnOnTermination = std::move(fn);
}

void TControlLoop::PostTerminationCheck() {
  TImpl& impl = *pImpl;
  // Before Run() the check that Run() queues itself picks the request up, after the creation.
  if (!impl.bRunning || impl.bClosed) return;
  const uint64_t nGeneration = impl.nRunGeneration.load();
  asio::post(impl.ioc, [&impl, nGeneration] { impl.FireTerminationIfRequested(nGeneration); });
}

asio::io_context& TControlLoop::Context() { return pImpl->ioc; }

void TControlLoop::ResetForTest() {
  TImpl& impl = *pImpl;
  impl.ioc.restart();
  {
    std::lock_guard<std::mutex> lock(impl.crsJobs);
    impl.bClosed = false;
  }
  {
    std::lock_guard<std::mutex> lock(impl.crsTermination);
    impl.fnOnTermination = nullptr;
  }
  ClearTerminationRequestForTest();
}

void RequestTermination() {
  bTerminationRequested = true;
  TControlLoop::Instance().PostTerminationCheck();
}

bool TerminationRequested() { return bTerminationRequested.load(); }

void ClearTerminationRequestForTest() {
  bTerminationRequested = false;
  bTerminationHandled = false;
}
