// Process and system plumbing of the load benchmark: child processes with a stdin pipe and their
// stdout and stderr in files, a run folder that removes itself, free loopback ports, and the
// relay's CPU time and memory read from /proc.
//
// Threads: none of its own; everything runs on the benchmark's one thread. The benchmark polls
// files and /proc at coarse intervals (tens of milliseconds) so that it takes next to no CPU from
// the processes it measures.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace telvaneload {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point tFrom);

// SIGINT and SIGTERM only raise a flag, so that every wait ends early and the children are
// stopped by their owners on the way out instead of being left running.
void InstallStopHandler();
bool StopRequested();

// Calls fn every nPollMs until it returns true, nTimeoutMs pass or a stop is requested; returns
// its last answer.
bool WaitFor(const std::function<bool()>& fn, int64_t nTimeoutMs, int64_t nPollMs = 50);

std::string ReadWholeFile(const std::string& sPath);
bool WriteWholeFile(const std::string& sPath, const std::string& sText);
int FreeLoopbackPort();  // bound to 127.0.0.1:0, read, released; 0 on failure
int CountOccurrences(const std::string& sText, const std::string& sNeedle);

// A temporary folder under /tmp, removed with its content unless Keep() was called.
class TRunDir {
 public:
  TRunDir();
  ~TRunDir();
  TRunDir(const TRunDir&) = delete;
  TRunDir& operator=(const TRunDir&) = delete;
  const std::string& Path() const { return sPath; }
  void Keep() { bKeep = true; }

 private:
  std::string sPath;   // absolute, no trailing slash; empty when creation failed
  bool bKeep = false;  // leave it behind for a post-mortem
};

// A child process: stdin is a pipe, stdout and stderr go to files beside each other.
class TChild {
 public:
  TChild() = default;
  ~TChild();  // a child still running is killed
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  // Starts vArgs[0]; sOutPrefix names the output files (prefix + ".out" / ".err").
  bool Start(const std::vector<std::string>& vArgs, const std::string& sWorkDir,
             const std::string& sOutPrefix);
  void WriteLine(const std::string& sLine);  // sLine + "\n" to its stdin
  std::string Stdout() const { return ReadWholeFile(sOutPath); }
  std::string Stderr() const { return ReadWholeFile(sErrPath); }
  // The rest of the first complete stdout line that starts with sPrefix, or empty.
  std::string StdoutLine(const std::string& sPrefix) const;
  bool Running();
  void Signal(int nSignal);
  // Signal, then SIGKILL if it has not ended within nGraceMs; returns the exit code.
  int Stop(int nSignal, int64_t nGraceMs);
  int ExitCode() const { return nExitCode; }  // 128 + signal when killed; -1 while running
  pid_t Pid() const { return nPid; }

 private:
  pid_t nPid = -1;        // -1 before Start
  int nStdin = -1;        // write end of the stdin pipe
  int nExitCode = -1;     // set once reaped
  std::string sOutPath;   // stdout file
  std::string sErrPath;   // stderr file
};

// What /proc tells about a process; zero when it is gone.
double CpuSeconds(pid_t nPid);            // user + system time so far
int64_t StatusKb(pid_t nPid, const std::string& sField);  // e.g. "VmHWM", "VmRSS"

}  // namespace telvaneload
