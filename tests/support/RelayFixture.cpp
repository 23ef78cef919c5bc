// The in-process relay and the control thread; see RelayFixture.h.
#include "support/RelayFixture.h"

#include "base/untVariables.h"
#include "controller/untValidate.h"
#include "hosting/untTelvane.h"
#include "logging/untLogger.h"
#include "pipeline/untStageWake.h"
#include "platform/untControlLoop.h"
#include "platform/untWorker.h"

namespace testsupport {

TControlThread::TControlThread() {
  TControlLoop& loop = TControlLoop::Instance();
  loop.ResetForTest();
  thControl = std::thread([&loop] { loop.Run(); });
  loop.Synchronize([] {});
}

TControlThread::~TControlThread() {
  TControlLoop& loop = TControlLoop::Instance();
  loop.Post([&loop] { loop.Stop(); });
  thControl.join();
}

TControlLoop& TControlThread::Loop() { return TControlLoop::Instance(); }

bool TControlThread::OnControl(const std::function<void()>& fn) { return TControlLoop::Instance().Synchronize(fn); }

TRelayFixture::TRelayFixture() = default;

TRelayFixture::~TRelayFixture() { Stop(); }

bool TRelayFixture::Start(const TRelayOptions& tOptions) {
  bStarted = true;
  MyAppInfo.sAppFilePath = dir.Path() + "/";
  MyAppInfo.bIsService = tOptions.bService;
  WriteFile(dir.Path() + "/Lib/Config.ini", tOptions.sConfig);
  InitializeSharedState();
  bWorkers = tOptions.bLogWriter && StartLogWriter(TValidate::GetLogDirectory());
  MyValidate = new TValidate();
  return bWorkers || !tOptions.bLogWriter;
}

void TRelayFixture::StartControlThread() {
  if (!pControl) pControl = std::make_unique<TControlThread>();
}

void TRelayFixture::CreateManager(bool bWindowMode, const std::function<void(TfrmTelvane&)>& fnThen) {
  OnControl([&] {
    pManager = std::make_unique<TfrmTelvane>(bWindowMode);
    if (fnThen) fnThen(*pManager);
  });
}

void TRelayFixture::DestroyManager(const std::function<void()>& fnFirst) {
  OnControl([&] {
    if (fnFirst) fnFirst();
    pManager.reset();
  });
}

void TRelayFixture::StopControlThread() {
  if (!pControl) return;
  DestroyManager();
  pControl.reset();
}

void TRelayFixture::Stop(const std::function<void()>& fnFirst) {
  if (!bStarted) return;
  bStarted = false;
  OnControl([&] {
    if (fnFirst) fnFirst();
    pManager.reset();
    delete MyValidate;
    MyValidate = nullptr;
  });
  pControl.reset();
  if (bWorkers) {
    // The log writer must be gone before its folder is removed with this object.
    MyAppInfo.bIsRunning = false;
    RingAllStageBells();
    WakeLogWriter();
    WaitForWorkers(std::chrono::seconds(5));
    bWorkers = false;
  }
}

bool TRelayFixture::OnControl(const std::function<void()>& fn) {
  if (pControl) return pControl->OnControl(fn);
  fn();
  return true;
}

std::string TRelayFixture::LogPath() const { return TValidate::GetLogDirectory() + "/" + LogFileName(); }

std::string TRelayFixture::LogText() const { return ReadFile(LogPath()); }

bool TRelayFixture::WaitForLog(const std::string& sText, std::chrono::milliseconds tTimeout) const {
  return PollUntil([&] { return LogText().find(sText) != std::string::npos; }, tTimeout);
}

}  // namespace testsupport
