// Control thread: one Asio io_context that owns every socket, timer, client slot and the console.
//
// The thread that calls Run() becomes the control thread until Run() returns. Worker threads reach
// it only through Synchronize (the blocking hand-over: the worker waits until the call has run) or
// Post (fire and forget, used where a producer must never wait, e.g. the log ring's full notice).
//
// Shut-down never deadlocks: Stop() closes the loop, and every hand-over that has not run yet is
// abandoned and its waiting worker released; hand-overs asked for after that return at once.
// The termination request is a flag plus a wake-up: the mode's main loop honours it at its next
// turn through the OnTermination callback, which runs on the control thread.
#pragma once

#include <functional>
#include <memory>

namespace asio { class io_context; }

class TControlLoop {
 public:
  static TControlLoop& Instance();

  // Runs the loop on the calling thread until Stop(). Handlers posted before Run() run first.
  void Run();
  // Closes the loop from any thread: pending hand-overs are released without running.
  void Stop();
  // True between the start of Run() and Stop().
  bool IsRunning() const;
  bool IsControlThread() const;

  // Runs fn on the control thread and waits for it. On the control thread itself it runs at once.
  // Returns false, without running fn, when the loop is closed or closes before fn's turn.
  bool Synchronize(const std::function<void()>& fn);
  // Queues fn for the control thread without waiting. Dropped once the loop is closed.
  void Post(std::function<void()> fn);

  // Called on the control thread at the first turn after a termination request.
  void SetOnTermination(std::function<void()> fn);

  // Queues a check of the termination request (used by RequestTermination).
  void PostTerminationCheck();

  // Only the platform layer touches the io_context itself.
  asio::io_context& Context();

  // Fresh loop for tests that run several control-thread lifetimes in one process.
  void ResetForTest();

 private:
  TControlLoop();
  struct TImpl;
  std::unique_ptr<TImpl> pImpl;  // constant after construction
};

// Process-wide request to end the current mode; any thread may make it, it never blocks.
void RequestTermination();
bool TerminationRequested();
void ClearTerminationRequestForTest();
