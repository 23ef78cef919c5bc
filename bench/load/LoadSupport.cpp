// Stop requests and /proc figures of the load benchmark; see LoadSupport.h.
#include "LoadSupport.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>

namespace telvaneload {

namespace {
volatile sig_atomic_t bMyStopRequested = 0;  // set by the signal handler only
void OnStopSignal(int) { bMyStopRequested = 1; }
}  // namespace

double SecondsSince(TClock::time_point tFrom) {
  return std::chrono::duration<double>(TClock::now() - tFrom).count();
}

void InstallStopHandler() {
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
}

bool StopRequested() { return bMyStopRequested != 0; }

bool WaitFor(const std::function<bool()>& fn, int64_t nTimeoutMs, int64_t nPollMs) {
  bool bDone = false;
  testsupport::PollUntil([&] { return (bDone = fn()) || StopRequested(); }, std::chrono::milliseconds(nTimeoutMs),
                         std::chrono::milliseconds(nPollMs));
  return bDone;
}

double CpuSeconds(pid_t nPid) {
  const std::string sStat = ReadFile("/proc/" + std::to_string(nPid) + "/stat");
  // The command name may hold blanks; the fields that follow it start after its ')'.
  const size_t nClose = sStat.rfind(')');
  if (nClose == std::string::npos) return 0;
  std::istringstream in(sStat.substr(nClose + 2));
  std::string sField;
  uint64_t nUser = 0, nSystem = 0;
  for (int nIndex = 3; in >> sField; ++nIndex) {  // field 3 is the state
    if (nIndex == 14) nUser = std::strtoull(sField.c_str(), nullptr, 10);
    if (nIndex == 15) {
      nSystem = std::strtoull(sField.c_str(), nullptr, 10);
      break;
    }
  }
  return static_cast<double>(nUser + nSystem) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int64_t StatusKb(pid_t nPid, const std::string& sField) {
  std::istringstream in(ReadFile("/proc/" + std::to_string(nPid) + "/status"));
  for (std::string sLine; std::getline(in, sLine);)
    if (sLine.rfind(sField + ":", 0) == 0) return std::strtoll(sLine.c_str() + sField.size() + 1, nullptr, 10);
  return 0;
}

uint64_t LastProgressFrames(const std::string& sErr) {
  const size_t nAt = sErr.rfind(", frames ");
  return nAt == std::string::npos ? 0 : std::strtoull(sErr.c_str() + nAt + 9, nullptr, 10);
}

double ResultField(const std::string& sLine, const std::string& sName) {
  const size_t nAt = sLine.find(" " + sName + "=");
  if (nAt == std::string::npos) return -1;
  return std::strtod(sLine.c_str() + nAt + sName.size() + 2, nullptr);
}

}  // namespace telvaneload
