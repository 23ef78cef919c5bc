// Stderr into a file while the console runs; see the header.
#include "platform/untTerminalStderr.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/untControlLoop.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr size_t KEPT_BYTES = 64 * 1024;    // written back onto the real stderr at Stop
constexpr size_t READ_CHUNK = 16 * 1024;    // read per poll, so a flood cannot stall the loop
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(200);
}  // namespace

struct TStderrCapture::TImpl {
  int fdRealStderr = -1;     // the process's stderr while fd 2 is the file
  int fdRead = -1;           // the file, for reading what was added
  std::string sPath;         // the file's name
  off_t nReadOffset = 0;     // bytes of the file already handed over
  std::string sPartial;      // text after the last line end
  std::function<void(const std::string&)> fnLine;
  std::unique_ptr<asio::steady_timer> pTimer;
  std::shared_ptr<bool> pAlive;  // false after Stop; a pending poll then does nothing

  void Arm();
  void Poll();
  void WriteBack();
};

void TStderrCapture::TImpl::Arm() {
  pTimer->expires_after(POLL_INTERVAL);
  std::weak_ptr<bool> wAlive = pAlive;
  pTimer->async_wait([this, wAlive](const asio::error_code& ec) {
    auto pLive = wAlive.lock();
    if (ec || !pLive || !*pLive) return;
    Poll();
    Arm();
  });
}

void TStderrCapture::TImpl::Poll() {
  char vBuffer[READ_CHUNK];
  const ssize_t nRead = pread(fdRead, vBuffer, sizeof(vBuffer), nReadOffset);
  if (nRead <= 0) return;
  nReadOffset += nRead;
  sPartial.append(vBuffer, static_cast<size_t>(nRead));
  for (size_t nEnd; (nEnd = sPartial.find('\n')) != std::string::npos;) {
    std::string sLine = sPartial.substr(0, nEnd);
    sPartial.erase(0, nEnd + 1);
    if (!sLine.empty() && sLine.back() == '\r') sLine.pop_back();
    if (fnLine) fnLine(sLine);
  }
  if (sPartial.size() > KEPT_BYTES) sPartial.clear();  // a "line" that never ends
}

void TStderrCapture::TImpl::WriteBack() {
  const off_t nSize = lseek(fdRead, 0, SEEK_END);
  off_t nFrom = nSize > static_cast<off_t>(KEPT_BYTES) ? nSize - static_cast<off_t>(KEPT_BYTES) : 0;
  char vBuffer[READ_CHUNK];
  for (ssize_t nRead; nFrom < nSize && (nRead = pread(fdRead, vBuffer, sizeof(vBuffer), nFrom)) > 0;) {
    nFrom += nRead;
    for (ssize_t nDone = 0; nDone < nRead;) {
      const ssize_t n = write(STDERR_FILENO, vBuffer + nDone, static_cast<size_t>(nRead - nDone));
      if (n <= 0) return;  // the real stderr is gone (a hung-up terminal): nothing to do
      nDone += n;
    }
  }
}

TStderrCapture::TStderrCapture() : pImpl(std::make_unique<TImpl>()) {}

TStderrCapture::~TStderrCapture() { Stop(); }

bool TStderrCapture::Start(std::function<void(const std::string& sLine)> fnLine) {
  TImpl& t = *pImpl;
  if (t.fdRealStderr >= 0) return true;
  const char* sTmp = std::getenv("TMPDIR");
  std::string sTemplate = std::string(sTmp != nullptr && *sTmp != '\0' ? sTmp : "/tmp") + "/telvane-stderr-XXXXXX";
  const int fdWrite = mkostemp(sTemplate.data(), O_APPEND | O_CLOEXEC);
  if (fdWrite < 0) return false;
  t.sPath = sTemplate;
  t.fdRead = open(t.sPath.c_str(), O_RDONLY | O_CLOEXEC);
  std::fflush(stderr);
  t.fdRealStderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (t.fdRead < 0 || t.fdRealStderr < 0 || dup2(fdWrite, STDERR_FILENO) < 0) {
    close(fdWrite);
    if (t.fdRead >= 0) close(t.fdRead);
    if (t.fdRealStderr >= 0) close(t.fdRealStderr);
    unlink(t.sPath.c_str());
    t = TImpl();
    return false;
  }
  close(fdWrite);
  t.nReadOffset = 0;
  t.fnLine = std::move(fnLine);
  t.pAlive = std::make_shared<bool>(true);
  t.pTimer = std::make_unique<asio::steady_timer>(TControlLoop::Instance().Context());
  t.Arm();
  return true;
}

void TStderrCapture::Stop() {
  TImpl& t = *pImpl;
  if (t.fdRealStderr < 0) return;
  *t.pAlive = false;
  t.pTimer.reset();
  std::fflush(stderr);
  dup2(t.fdRealStderr, STDERR_FILENO);
  close(t.fdRealStderr);
  t.WriteBack();
  close(t.fdRead);
  unlink(t.sPath.c_str());
  t = TImpl();
}
