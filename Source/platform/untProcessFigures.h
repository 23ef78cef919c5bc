// The process figures every Linux service reports: resident and virtual memory, CPU time, open
// descriptors and their limit, start time. Read from /proc and the resource calls on demand.
//
// Any thread; nothing is shared or cached, so two readers never disturb each other. A figure that
// cannot be read is negative (the caller leaves it out).
#pragma once

#include <cstdint>

struct TProcessFigures {
  int64_t nResidentBytes = -1;   // resident set size
  int64_t nVirtualBytes = -1;    // virtual memory size
  double nCpuSeconds = -1;       // user plus system CPU time
  int64_t nOpenFds = -1;         // open file descriptors (the one used to count them included)
  int64_t nMaxFds = -1;          // the soft limit on descriptors
  double nStartTimeSeconds = -1; // process start, seconds since the Unix epoch
};

TProcessFigures ReadProcessFigures();
