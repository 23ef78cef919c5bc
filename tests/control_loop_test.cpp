// The control thread's hand-over and timers: a worker's call runs on the control thread and the
// worker waits for it; a call from the control thread runs at once; closing the loop releases
// every waiting worker without running its call, so shut-down never deadlocks.
#include "platform/untControlLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/untTimer.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

using testsupport::PollUntil;

// Runs the loop on its own thread for the length of a test.
class ControlLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(PollUntil([] { return TControlLoop::Instance().IsRunning(); })); }
  testsupport::TControlThread control;
};

TEST_F(ControlLoopTest, WorkerHandOverRunsOnControlThreadAndWaits) {
  std::atomic<bool> bOnControl{false};
  std::atomic<bool> bRan{false};
  const bool bResult = TControlLoop::Instance().Synchronize([&] {
    bOnControl = TControlLoop::Instance().IsControlThread();
    bRan = true;
  });
  EXPECT_TRUE(bResult);
  EXPECT_TRUE(bRan) << "Synchronize returned before the call had run";
  EXPECT_TRUE(bOnControl);
  EXPECT_FALSE(TControlLoop::Instance().IsControlThread());
}

TEST_F(ControlLoopTest, HandOverFromControlThreadRunsInline) {
  std::promise<bool> result;
  TControlLoop::Instance().Post([&] {
    bool bInner = false;
    // A nested hand-over on the control thread must not queue behind itself.
    const bool bOk = TControlLoop::Instance().Synchronize([&] { bInner = true; });
    result.set_value(bOk && bInner);
  });
  auto f = result.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(f.get());
}

TEST_F(ControlLoopTest, ManyWorkersHandOverInTurn) {
  int nCounter = 0;  // touched only on the control thread
  std::vector<std::thread> vWorkers;
  for (int n = 0; n < 4; ++n)
    vWorkers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) TControlLoop::Instance().Synchronize([&] { ++nCounter; });
    });
  for (auto& t : vWorkers) t.join();
  int nSeen = -1;
  TControlLoop::Instance().Synchronize([&] { nSeen = nCounter; });
  EXPECT_EQ(nSeen, 2000);
}

TEST_F(ControlLoopTest, TimerTicksOnControlThread) {
  std::atomic<int> nTicks{0};
  std::atomic<bool> bAllOnControl{true};
  std::unique_ptr<TTimer> timer;
  TControlLoop::Instance().Synchronize([&] {
    timer = std::make_unique<TTimer>();
    timer->SetInterval(10);
    timer->OnTimer = [&] {
      if (!TControlLoop::Instance().IsControlThread()) bAllOnControl = false;
      ++nTicks;
    };
    timer->SetEnabled(true);
  });
  EXPECT_TRUE(PollUntil([&] { return nTicks >= 3; }));
  TControlLoop::Instance().Synchronize([&] { timer.reset(); });  // destroyed with a tick pending
  EXPECT_TRUE(bAllOnControl);
}

TEST_F(ControlLoopTest, TimerDisabledInsideItsOwnTickStaysOff) {
  std::atomic<int> nTicks{0};
  std::unique_ptr<TTimer> timer;
  TControlLoop::Instance().Synchronize([&] {
    timer = std::make_unique<TTimer>();
    timer->SetInterval(5);
    timer->OnTimer = [&] {
      ++nTicks;
      timer->SetEnabled(false);
    };
    timer->SetEnabled(true);
  });
  ASSERT_TRUE(PollUntil([&] { return nTicks >= 1; }));
  // A few more periods pass; a disabled timer must not tick again.
  std::promise<void> later;
  auto fLater = later.get_future();
  TControlLoop::Instance().Synchronize([&] {
    auto* pWait = new TTimer();
    pWait->SetInterval(100);
    pWait->OnTimer = [pWait, &later] {
      pWait->SetEnabled(false);
      later.set_value();
      TControlLoop::Instance().Post([pWait] { delete pWait; });
    };
    pWait->SetEnabled(true);
  });
  fLater.wait();
  EXPECT_EQ(nTicks, 1);
  TControlLoop::Instance().Synchronize([&] { timer.reset(); });
}

// Shut-down: a worker waiting on a busy control thread is released when the loop closes, and a
// worker that asks after the close returns at once; neither call runs.
TEST(ControlLoopShutdown, StopReleasesWaitingWorkersWithoutRunningTheirCalls) {
  TControlLoop& loop = TControlLoop::Instance();
  loop.ResetForTest();
  std::promise<void> blocked, release;
  auto fRelease = release.get_future();
  loop.Post([&] {
    blocked.set_value();
    fRelease.wait();  // the control thread is busy, e.g. in the console's shut-down
    loop.Stop();
  });
  std::thread control([&] { loop.Run(); });
  blocked.get_future().wait();
  std::atomic<bool> bRan{false};
  std::future<bool> fWorker = std::async(std::launch::async, [&] { return loop.Synchronize([&] { bRan = true; }); });
  // The worker must still be waiting while the control thread is busy.
  EXPECT_EQ(fWorker.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  release.set_value();
  ASSERT_EQ(fWorker.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "worker deadlocked at shut-down";
  EXPECT_FALSE(fWorker.get());
  control.join();
  EXPECT_FALSE(bRan);
  EXPECT_FALSE(loop.Synchronize([&] { bRan = true; }));
  EXPECT_FALSE(bRan);
}

TEST(ControlLoopShutdown, TerminationRequestedDuringStartUpRunsAfterQueuedCreation) {
  TControlLoop& loop = TControlLoop::Instance();
  loop.ResetForTest();
  std::vector<std::string> vOrder;  // control thread only
  RequestTermination();             // as the configuration check does before the mode runs
  loop.SetOnTermination([&] {
    vOrder.push_back("terminate");
    loop.Stop();
  });
  loop.Post([&] { vOrder.push_back("create"); });
  loop.Run();
  EXPECT_EQ(vOrder, (std::vector<std::string>{"create", "terminate"}));
  ClearTerminationRequestForTest();
}

TEST(ControlLoopShutdown, TerminationRequestFromWorkerEndsRunningLoop) {
  TControlLoop& loop = TControlLoop::Instance();
  loop.ResetForTest();
  std::atomic<int> nCalls{0};
  loop.SetOnTermination([&] {
    ++nCalls;
    loop.Stop();
  });
  std::thread control([&] { loop.Run(); });
  ASSERT_TRUE(PollUntil([&] { return loop.IsRunning(); }));
  std::thread worker([] {
    RequestTermination();
    RequestTermination();  // a second request is the same request
  });
  worker.join();
  control.join();
  EXPECT_EQ(nCalls, 1);
  ClearTerminationRequestForTest();
}

}  // namespace
