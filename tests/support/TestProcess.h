// The one way tests and the load benchmark run another program: a child process with its stdin
// a pipe and its stdout and stderr in files, so that nothing the child writes can block it and
// everything it wrote can be read back at any time, also after it ended.
//
// Threads: an object belongs to the thread that started it. Start may be called while other
// threads of the caller run (a fake server's threads, say): everything the child needs is
// prepared before fork, and the child only calls async-signal-safe functions until exec.
// The stdin pipe is close-on-exec in the parent, so no later child holds it open and closing it
// is an end of input the child sees.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/TestBasics.h"

namespace testsupport {

struct TStartOptions {
  std::string sWorkDir;                // empty: the caller's current folder
  std::vector<std::string> vExtraEnv;  // "NAME=value": added, or replacing the variable of that name
  std::string sOutputPrefix;           // stdout to <prefix>.out, stderr to <prefix>.err; empty: a
                                       // private folder removed with the object
};

class TProcess {
 public:
  TProcess() = default;
  ~TProcess();  // a child still running is killed
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  // Starts vArgs[0] (a path, not searched for) with the rest as its arguments.
  bool Start(const std::vector<std::string>& vArgs, const TStartOptions& tOptions = {});
  bool WriteStdin(const std::string& sText);  // false when not all of it could be written
  void CloseStdin();
  std::string Stdout() const;
  std::string Stderr() const;
  // The rest of the first complete stdout line that starts with sPrefix; false when there is none.
  bool FindStdoutLine(const std::string& sPrefix, std::string& sRest) const;
  // Waits for such a line and returns its rest; empty when none came in time.
  std::string WaitForStdoutLine(const std::string& sPrefix, std::chrono::milliseconds tTimeout = kDeadline);
  void Signal(int nSignal);  // only while the child runs: a reaped process id may be reused
  bool Running();            // reaps the child once it has ended
  // Waits for the end; returns the exit code, 128 + signal when killed, or -1 on timeout.
  int WaitExit(std::chrono::milliseconds tTimeout = kDeadline);
  // Sends nSignal, then SIGKILL if the child has not ended within tGrace; returns the exit code.
  int Stop(int nSignal, std::chrono::milliseconds tGrace);
  int ExitCode() const { return nExitCode; }  // -1 while running
  pid_t Pid() const { return nPid; }

 private:
  pid_t nPid = -1;        // -1 before Start
  int nStdin = -1;        // write end of the stdin pipe; -1 once closed
  int nExitCode = -1;     // set once reaped
  std::string sOutPath;   // stdout file
  std::string sErrPath;   // stderr file
  std::string sOwnDir;    // private output folder, removed by the destructor; empty with a prefix
};

}  // namespace testsupport
