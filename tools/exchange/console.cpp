// Console reader of the exchange simulator; see console.h.
#include "console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace exsim {

void TConsoleReader::Start(std::function<void(std::string)> fLine) {
  fOnLine = std::move(fLine);
  tThread = std::thread([this] { Run(); });
}

void TConsoleReader::Stop() {
  bStop = true;
  if (tThread.joinable()) tThread.join();
}

void TConsoleReader::Run() {
  std::string sLine;
  bool bDropping = false;  // inside a line that grew past kMaxLineBytes
  char vChunk[4096];
  while (!bStop) {
    pollfd tPoll{STDIN_FILENO, POLLIN, 0};
    int nReady = poll(&tPoll, 1, 100);
    if (nReady < 0 && errno == EINTR) continue;
    if (nReady < 0) return;
    if (nReady == 0) continue;
    ssize_t nRead = read(STDIN_FILENO, vChunk, sizeof vChunk);
    if (nRead < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (nRead <= 0) return;  // end of input or no stdin: the console is gone, nothing more
    for (ssize_t i = 0; i < nRead; ++i) {
      char c = vChunk[i];
      if (c == '\n') {
        if (!sLine.empty() && sLine.back() == '\r') sLine.pop_back();
        if (!bDropping) fOnLine(sLine);
        sLine.clear();
        bDropping = false;
      } else if (sLine.size() < kMaxLineBytes) {
        sLine += c;
      } else {
        bDropping = true;
      }
    }
  }
}

}  // namespace exsim
