// Stderr while the console owns the screen. Text written to stderr there (a library's complaint,
// the log writer's own failure) would overwrite the drawing, so fd 2 is pointed at a file of its
// own, $TMPDIR/telvane-stderr-XXXXXX (default /tmp), for as long as the console runs:
//   - writers never wait: appending to a file does not depend on anyone reading it;
//   - the control loop reads what was added every 200 ms and hands it over line by line;
//   - Stop points fd 2 back at the real stderr, writes the captured text (its last 64 KiB) onto it
//     and removes the file. After a crash the file stays, with whatever the crash wrote.
// Thread: Start and Stop on the control thread; the line handler runs there too.
#pragma once

#include <functional>
#include <memory>
#include <string>

class TStderrCapture {
 public:
  TStderrCapture();
  ~TStderrCapture();  // stops if still running
  TStderrCapture(const TStderrCapture&) = delete;
  TStderrCapture& operator=(const TStderrCapture&) = delete;

  // False, with stderr left as it was, when no file can be made.
  bool Start(std::function<void(const std::string& sLine)> fnLine);
  void Stop();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> pImpl;
};
