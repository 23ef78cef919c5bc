// The relay inside the test process, built the way start-up builds it, one step at a time as a
// test needs: a folder standing in for the executable's (Lib/Config.ini, Log/), the shared
// records, the log writer, the controller (MyValidate), the control loop on a thread of its own,
// and the manager object in window or service mode. Stop takes it all down in reverse order.
//
// Threads: the test thread calls every function here. The manager object and the controller are
// made and destroyed on the control thread when there is one (they own control-thread objects);
// without one, on the test thread, which is then the only thread there is.
// The shared records are process-wide: one fixture at a time per process. A test program that
// keeps one fixture for all its cases stops it from a test environment, before the process ends.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/TestBasics.h"

class TControlLoop;
class TfrmTelvane;

namespace testsupport {

// The control loop run on a thread of its own for as long as the object lives. Handlers queued
// by an earlier lifetime in the same process run first, before the constructor returns.
class TControlThread {
 public:
  TControlThread();
  ~TControlThread();  // queues the stop behind whatever is queued, then joins
  TControlThread(const TControlThread&) = delete;
  TControlThread& operator=(const TControlThread&) = delete;
  TControlLoop& Loop();
  // Runs fn on the control thread and waits; false when the loop is closed.
  bool OnControl(const std::function<void()>& fn);

 private:
  std::thread thControl;
};

struct TRelayOptions {
  std::string sConfig;     // the text of Lib/Config.ini
  bool bService = true;    // MyAppInfo.bIsService: service mode shows no notices
  bool bLogWriter = true;  // start the log writer on Log/; without it WriteLog stores nothing
};

class TRelayFixture {
 public:
  TRelayFixture();
  ~TRelayFixture();  // Stop()
  TRelayFixture(const TRelayFixture&) = delete;
  TRelayFixture& operator=(const TRelayFixture&) = delete;

  // Folder and Config.ini, shared records, log writer, controller. False when the log writer did
  // not start.
  bool Start(const TRelayOptions& tOptions);
  void StartControlThread();
  // Makes the manager object and then runs fnThen, both in one control-thread turn.
  void CreateManager(bool bWindowMode, const std::function<void(TfrmTelvane&)>& fnThen = nullptr);
  // Runs fnFirst, then destroys the manager object, in one control-thread turn.
  void DestroyManager(const std::function<void()>& fnFirst = nullptr);
  void StopControlThread();
  // Runs fnFirst, destroys the manager object and the controller (one control-thread turn), stops
  // the control thread, then ends the workers (the log writer among them). Safe to call twice.
  void Stop(const std::function<void()>& fnFirst = nullptr);

  // Runs fn on the control thread, or here when there is none; false when the loop refused it.
  bool OnControl(const std::function<void()>& fn);
  TfrmTelvane& Manager() { return *pManager; }  // after CreateManager; control thread only
  bool HasManager() const { return pManager != nullptr; }  // control thread only
  const std::string& Dir() const { return dir.Path(); }
  std::string LogPath() const;  // the general log of today
  std::string LogText() const;
  // Waits until the log holds sText; true when it does.
  bool WaitForLog(const std::string& sText, std::chrono::milliseconds tTimeout = kDeadline) const;

 private:
  TTempDir dir;                              // the executable's folder, as the relay sees it
  bool bStarted = false;                     // Start ran and Stop has not
  bool bWorkers = false;                     // the log writer runs: Stop ends the workers
  std::unique_ptr<TControlThread> pControl;  // null without a control thread
  std::unique_ptr<TfrmTelvane> pManager;     // made and destroyed on the control thread
};

}  // namespace testsupport
