#include "platform/untProcess.h"

#include <fcntl.h>
#include <unistd.h>

#include <asio.hpp>
#include <cerrno>
#include <csignal>
#include <memory>

#include "platform/untControlLoop.h"

std::string ExecutablePath() {
  char sBuffer[4096];
  const ssize_t nLen = readlink("/proc/self/exe", sBuffer, sizeof(sBuffer) - 1);
  if (nLen <= 0) return {};
  return std::string(sBuffer, static_cast<size_t>(nLen));
}

std::string ExecutableFolder() {
  const std::string sPath = ExecutablePath();
  const size_t nSlash = sPath.rfind('/');
  return nSlash == std::string::npos ? std::string("./") : sPath.substr(0, nSlash + 1);
}

namespace {
const char* SignalName(int nSignal) {
  switch (nSignal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
  }
}

void WaitForSignal(const std::shared_ptr<asio::signal_set>& signals,
                   const std::shared_ptr<std::function<void(const std::string&)>>& fn) {
  signals->async_wait([signals, fn](const asio::error_code& ec, int nSignal) {
    if (ec) return;
    (*fn)(SignalName(nSignal));
    WaitForSignal(signals, fn);
  });
}
}  // namespace

void CatchStopSignals(std::function<void(const std::string& sSignal)> fn) {
  std::signal(SIGPIPE, SIG_IGN);
  auto signals = std::make_shared<asio::signal_set>(TControlLoop::Instance().Context(), SIGINT, SIGTERM, SIGHUP);
  WaitForSignal(signals, std::make_shared<std::function<void(const std::string&)>>(std::move(fn)));
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

bool IsTerminal(int nStream) { return isatty(nStream) == 1; }

std::FILE* OpenForAppendGroupReadable(const std::string& sPath) {
  const int nFd = open(sPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (nFd < 0) return nullptr;
  std::FILE* pFile = fdopen(nFd, "ab");
  if (pFile == nullptr) {
    const int nErrno = errno;
    close(nFd);
    errno = nErrno;
  }
  return pFile;
}
