#include "platform/untProcessFigures.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// /proc/self/statm: sizes in pages, virtual first, resident second.
void ReadMemory(TProcessFigures& t) {
  std::ifstream f("/proc/self/statm");
  int64_t nVirtualPages = 0, nResidentPages = 0;
  if (!(f >> nVirtualPages >> nResidentPages)) return;
  const int64_t nPage = sysconf(_SC_PAGESIZE);
  t.nVirtualBytes = nVirtualPages * nPage;
  t.nResidentBytes = nResidentPages * nPage;
}

void ReadCpu(TProcessFigures& t) {
  rusage r{};
  if (getrusage(RUSAGE_SELF, &r) != 0) return;
  auto fnSeconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  t.nCpuSeconds = fnSeconds(r.ru_utime) + fnSeconds(r.ru_stime);
}

void ReadFds(TProcessFigures& t) {
  std::error_code ec;
  int64_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
  if (!ec) t.nOpenFds = n;
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur != RLIM_INFINITY) t.nMaxFds = static_cast<int64_t>(r.rlim_cur);
}

// Boot time (/proc/stat "btime") plus the start in clock ticks after boot (/proc/self/stat field
// 22, counted after the command name, which may hold blanks and parentheses).
void ReadStartTime(TProcessFigures& t) {
  std::ifstream fStat("/proc/stat");
  std::string sWord;
  int64_t nBootTime = -1;
  while (fStat >> sWord)
    if (sWord == "btime" && (fStat >> nBootTime)) break;
  std::ifstream fSelf("/proc/self/stat");
  std::string sLine;
  if (nBootTime < 0 || !std::getline(fSelf, sLine)) return;
  const size_t nClose = sLine.rfind(')');
  if (nClose == std::string::npos) return;
  std::istringstream sFields(sLine.substr(nClose + 1));
  std::string sField;
  for (int nField = 3; nField <= 22 && (sFields >> sField); ++nField) {
    if (nField != 22) continue;
    const long nTicks = sysconf(_SC_CLK_TCK);
    if (nTicks > 0)
      t.nStartTimeSeconds = static_cast<double>(nBootTime) + std::strtod(sField.c_str(), nullptr) / static_cast<double>(nTicks);
  }
}

}  // namespace

TProcessFigures ReadProcessFigures() {
  TProcessFigures t;
  try {
    ReadMemory(t);
    ReadCpu(t);
    ReadFds(t);
    ReadStartTime(t);
  } catch (const std::exception&) {
    // Only memory can run out here; a figure that could not be read stays negative, which is how
    // its reader tells "unknown".
  }
  return t;
}
