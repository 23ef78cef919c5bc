// Process and system plumbing of the load benchmark; see LoadSupport.h.
#include "LoadSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace telvaneload {

namespace fs = std::filesystem;

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
  const auto tEnd = TClock::now() + std::chrono::milliseconds(nTimeoutMs);
  while (!fn()) {
    if (TClock::now() >= tEnd || StopRequested()) return fn();
    std::this_thread::sleep_for(std::chrono::milliseconds(nPollMs));
  }
  return true;
}

std::string ReadWholeFile(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WriteWholeFile(const std::string& sPath, const std::string& sText) {
  std::error_code ec;
  fs::create_directories(fs::path(sPath).parent_path(), ec);
  std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
  out << sText;
  return static_cast<bool>(out);
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t nLen = sizeof addr;
  int nPort = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0)
    nPort = ntohs(addr.sin_port);
  close(fd);
  return nPort;
}

int CountOccurrences(const std::string& sText, const std::string& sNeedle) {
  int nCount = 0;
  for (size_t nAt = sText.find(sNeedle); nAt != std::string::npos;
       nAt = sText.find(sNeedle, nAt + sNeedle.size()))
    ++nCount;
  return nCount;
}

TRunDir::TRunDir() {
  char sTemplate[] = "/tmp/telvane-load-XXXXXX";
  if (mkdtemp(sTemplate) != nullptr) sPath = sTemplate;
}

TRunDir::~TRunDir() {
  if (bKeep || sPath.empty()) return;
  std::error_code ec;
  fs::remove_all(sPath, ec);
}

TChild::~TChild() {
  if (Running()) Stop(SIGKILL, 5000);
  if (nStdin >= 0) close(nStdin);
}

bool TChild::Start(const std::vector<std::string>& vArgs, const std::string& sWorkDir,
                   const std::string& sOutPrefix) {
  sOutPath = sOutPrefix + ".out";
  sErrPath = sOutPrefix + ".err";
  int vPipe[2];
  if (vArgs.empty() || pipe(vPipe) != 0) return false;
  nPid = fork();
  if (nPid < 0) return false;
  if (nPid == 0) {
    dup2(vPipe[0], 0);
    close(vPipe[0]);
    close(vPipe[1]);
    const int fdOut = open(sOutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int fdErr = open(sErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fdOut, 1);
    dup2(fdErr, 2);
    if (!sWorkDir.empty() && chdir(sWorkDir.c_str()) != 0) _exit(126);
    std::vector<char*> vArgv;
    for (const std::string& s : vArgs) vArgv.push_back(const_cast<char*>(s.c_str()));
    vArgv.push_back(nullptr);
    execv(vArgv[0], vArgv.data());
    _exit(127);
  }
  close(vPipe[0]);
  nStdin = vPipe[1];
  return true;
}

void TChild::WriteLine(const std::string& sLine) {
  if (nStdin < 0) return;
  const std::string sText = sLine + "\n";
  (void)!write(nStdin, sText.data(), sText.size());
}

std::string TChild::StdoutLine(const std::string& sPrefix) const {
  std::istringstream in(Stdout());
  for (std::string sLine; std::getline(in, sLine);)
    if (!in.eof() && sLine.rfind(sPrefix, 0) == 0) return sLine.substr(sPrefix.size());
  return "";
}

bool TChild::Running() {
  if (nPid <= 0 || nExitCode != -1) return false;
  int nStatus = 0;
  const pid_t r = waitpid(nPid, &nStatus, WNOHANG);
  if (r == 0) return true;
  if (r == nPid) nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
  return false;
}

void TChild::Signal(int nSignal) {
  if (Running()) kill(nPid, nSignal);
}

int TChild::Stop(int nSignal, int64_t nGraceMs) {
  Signal(nSignal);
  if (!WaitFor([&] { return !Running(); }, nGraceMs, 20)) {
    Signal(SIGKILL);
    WaitFor([&] { return !Running(); }, 5000, 20);
  }
  return nExitCode;
}

double CpuSeconds(pid_t nPid) {
  const std::string sStat = ReadWholeFile("/proc/" + std::to_string(nPid) + "/stat");
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
  std::istringstream in(ReadWholeFile("/proc/" + std::to_string(nPid) + "/status"));
  for (std::string sLine; std::getline(in, sLine);)
    if (sLine.rfind(sField + ":", 0) == 0) return std::strtoll(sLine.c_str() + sField.size() + 1, nullptr, 10);
  return 0;
}

}  // namespace telvaneload
