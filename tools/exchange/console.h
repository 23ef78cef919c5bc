// Console of the exchange simulator: reads command lines from stdin on a thread of its own and
// hands each line to a callback (which posts it to the I/O thread).
//
// The thread polls stdin with a short timeout so Stop() can end it without closing stdin. End of
// input only ends this reader; the simulator keeps running (tests may close the pipe). Lines
// longer than kMaxLineBytes are dropped whole.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace exsim {

class TConsoleReader {
 public:
  static constexpr size_t kMaxLineBytes = 64 * 1024;

  ~TConsoleReader() { Stop(); }
  void Start(std::function<void(std::string)> fLine);
  void Stop();  // ends and joins the thread; safe to call twice

 private:
  void Run();

  std::function<void(std::string)> fOnLine;  // constant while the thread runs
  std::atomic<bool> bStop{false};            // set by Stop(), read by the thread
  std::thread tThread;                       // the reader; joined by Stop()
};

}  // namespace exsim
