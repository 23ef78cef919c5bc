// Child processes with a stdin pipe and their output in files; see TestProcess.h.
#include "support/TestProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

extern char** environ;

namespace testsupport {

namespace {

// The caller's environment with the extra "NAME=value" entries put in, each replacing a
// variable of the same name.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& vExtraEnv) {
  const auto NameOf = [](const std::string& s) { return s.substr(0, s.find('=')); };
  std::vector<std::string> vEnv;
  for (char** p = environ; p != nullptr && *p != nullptr; ++p) {
    const std::string sEntry(*p);
    bool bReplaced = false;
    for (const std::string& sExtra : vExtraEnv) bReplaced = bReplaced || NameOf(sExtra) == NameOf(sEntry);
    if (!bReplaced) vEnv.push_back(sEntry);
  }
  vEnv.insert(vEnv.end(), vExtraEnv.begin(), vExtraEnv.end());
  return vEnv;
}

std::vector<char*> Pointers(std::vector<std::string>& vTexts) {
  std::vector<char*> v;
  for (std::string& s : vTexts) v.push_back(s.data());
  v.push_back(nullptr);
  return v;
}

}  // namespace

TProcess::~TProcess() {
  if (Running()) Stop(SIGKILL, 5s);
  CloseStdin();
  if (!sOwnDir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(sOwnDir, ec);
  }
}

bool TProcess::Start(const std::vector<std::string>& vArgs, const TStartOptions& tOptions) {
  if (vArgs.empty() || nPid > 0) return false;
  std::string sPrefix = tOptions.sOutputPrefix;
  if (sPrefix.empty()) {
    char sTemplate[] = "/tmp/telvane-proc-XXXXXX";
    if (mkdtemp(sTemplate) == nullptr) return false;
    sOwnDir = sTemplate;
    sPrefix = sOwnDir + "/std";
  }
  sOutPath = sPrefix + ".out";
  sErrPath = sPrefix + ".err";
  // Everything the child uses is built here: between fork and exec it may not allocate.
  std::vector<std::string> vArgCopy = vArgs, vEnv = ChildEnvironment(tOptions.vExtraEnv);
  std::vector<char*> vArgv = Pointers(vArgCopy), vEnvp = Pointers(vEnv);
  const char* sWorkDir = tOptions.sWorkDir.empty() ? nullptr : tOptions.sWorkDir.c_str();
  int vPipe[2];
  if (pipe2(vPipe, O_CLOEXEC) != 0) return false;
  signal(SIGPIPE, SIG_IGN);  // a child that ended must not end the caller's next write
  nPid = fork();
  if (nPid == 0) {
    signal(SIGPIPE, SIG_DFL);  // the child starts as it would from a shell
    dup2(vPipe[0], STDIN_FILENO);
    const int fdOut = open(sOutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int fdErr = open(sErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fdOut < 0 || fdErr < 0 || dup2(fdOut, STDOUT_FILENO) < 0 || dup2(fdErr, STDERR_FILENO) < 0) _exit(126);
    if (sWorkDir != nullptr && chdir(sWorkDir) != 0) _exit(126);
    execve(vArgv[0], vArgv.data(), vEnvp.data());
    _exit(127);
  }
  close(vPipe[0]);
  if (nPid < 0) {
    close(vPipe[1]);
    return false;
  }
  nStdin = vPipe[1];
  return true;
}

bool TProcess::WriteStdin(const std::string& sText) {
  for (size_t nDone = 0; nDone < sText.size();) {
    if (nStdin < 0) return false;
    const ssize_t n = write(nStdin, sText.data() + nDone, sText.size() - nDone);
    if (n <= 0) return false;
    nDone += static_cast<size_t>(n);
  }
  return true;
}

void TProcess::CloseStdin() {
  if (nStdin >= 0) close(nStdin);
  nStdin = -1;
}

std::string TProcess::Stdout() const { return ReadFile(sOutPath); }
std::string TProcess::Stderr() const { return ReadFile(sErrPath); }

bool TProcess::FindStdoutLine(const std::string& sPrefix, std::string& sRest) const {
  std::istringstream in(Stdout());
  for (std::string sLine; std::getline(in, sLine);) {
    if (!in.eof() && sLine.rfind(sPrefix, 0) == 0) {  // at eof the line is not finished yet
      sRest = sLine.substr(sPrefix.size());
      return true;
    }
  }
  return false;
}

std::string TProcess::WaitForStdoutLine(const std::string& sPrefix, std::chrono::milliseconds tTimeout) {
  std::string sRest;
  PollUntil([&] { return FindStdoutLine(sPrefix, sRest); }, tTimeout);
  return sRest;
}

void TProcess::Signal(int nSignal) {
  if (Running()) kill(nPid, nSignal);
}

bool TProcess::Running() {
  if (nPid <= 0 || nExitCode != -1) return false;
  int nStatus = 0;
  const pid_t r = waitpid(nPid, &nStatus, WNOHANG);
  if (r == 0) return true;
  if (r == nPid) nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
  return false;
}

int TProcess::WaitExit(std::chrono::milliseconds tTimeout) {
  PollUntil([&] { return !Running(); }, tTimeout);
  return nExitCode;
}

int TProcess::Stop(int nSignal, std::chrono::milliseconds tGrace) {
  Signal(nSignal);
  if (WaitExit(tGrace) == -1 && Running()) {
    Signal(SIGKILL);
    WaitExit(5s);
  }
  return nExitCode;
}

}  // namespace testsupport
