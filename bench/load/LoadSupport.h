// What the load benchmark needs beyond the shared test support (tests/support: the process
// launcher, temporary folders, files, free ports): an orderly stop on SIGINT and SIGTERM, waits
// that end early on it, and the relay's CPU time and memory read from /proc.
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

#include "support/TestBasics.h"

namespace telvaneload {

using TClock = std::chrono::steady_clock;
using testsupport::ReadFile;

double SecondsSince(TClock::time_point tFrom);

// SIGINT and SIGTERM only raise a flag, so that every wait ends early and the children are
// stopped by their owners on the way out instead of being left running.
void InstallStopHandler();
bool StopRequested();

// Calls fn every nPollMs until it returns true, nTimeoutMs pass or a stop is requested; returns
// its last answer.
bool WaitFor(const std::function<bool()>& fn, int64_t nTimeoutMs, int64_t nPollMs = 50);

// What /proc tells about a process; zero when it is gone.
double CpuSeconds(pid_t nPid);            // user + system time so far
int64_t StatusKb(pid_t nPid, const std::string& sField);  // e.g. "VmHWM", "VmRSS"

// What the client tool's load modes print: "frames N" of the last progress line on stderr, and
// the value of "name=" in the RESULT line (-1 when absent).
uint64_t LastProgressFrames(const std::string& sErr);
double ResultField(const std::string& sLine, const std::string& sName);

}  // namespace telvaneload
