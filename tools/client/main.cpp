// Entry of telvane-client, the CTI client tool: parses the command line, runs
// one interactive client or a load run on a single io_context, and returns 0 on
// a normal end, 1 when a connection or handshake failed, 2 on a usage error.
//
// Threads: the main thread runs the io_context. In single-client mode a second,
// detached thread reads stdin and hands each line over with asio::post; it
// holds the bridge's lock while posting, and main closes the bridge before the
// io_context goes away, so a late line is dropped instead of reaching a dead loop.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include <asio.hpp>

#include "options.h"
#include "protocol.h"
#include "run.h"

namespace {

using namespace cticlient;

struct TStdinBridge {
  std::mutex crsBridge;               // guards bOpen and the posting
  bool bOpen = true;                  // false once the io_context is done; guarded by crsBridge
  asio::io_context* pIo = nullptr;    // the loop to post to; constant
  TClientRun* pRun = nullptr;         // receives each line; constant
};

void PostLine(const std::shared_ptr<TStdinBridge>& MyBridge, std::string sLine) {
  if (!sLine.empty() && sLine.back() == '\r') sLine.pop_back();
  if (sLine.empty()) return;
  std::lock_guard<std::mutex> MyLock(MyBridge->crsBridge);
  if (!MyBridge->bOpen) return;
  TClientRun* pRun = MyBridge->pRun;
  asio::post(*MyBridge->pIo, [pRun, sLine = std::move(sLine)] { pRun->SendLine(sLine); });
}

// Reads stdin with plain read(2), which works for terminals, pipes and files
// alike. End of input only ends the reading; the client keeps running.
void ReadStdin(std::shared_ptr<TStdinBridge> MyBridge) {
  constexpr size_t MAX_LINE = 64 * 1024;  // a longer line is cut there
  std::string sPending;
  char vBuffer[4096];
  while (true) {
    const ssize_t nRead = ::read(STDIN_FILENO, vBuffer, sizeof vBuffer);
    if (nRead <= 0) return;
    for (ssize_t i = 0; i < nRead; ++i) {
      if (vBuffer[i] == '\n' || sPending.size() >= MAX_LINE) {
        PostLine(MyBridge, std::move(sPending));
        sPending.clear();
        if (vBuffer[i] == '\n') continue;
      }
      sPending += vBuffer[i];
    }
  }
}

void WarnOutside(const char* sWhat, const std::vector<int32_t>& vNumbers, TNumberRange MyRange) {
  const size_t nOutside = CountOutside(vNumbers, MyRange);
  if (nOutside > 0)
    std::fprintf(stderr, "telvane-client: warning: %zu %s outside %d-%d; the relay ignores them\n",
                 nOutside, sWhat, MyRange.nFirst, MyRange.nLast);
}

int Run(const TClientOptions& MyOptions) {
  WarnOutside("queue numbers", MyOptions.vQueues, QUEUE_RANGE);
  WarnOutside("extension numbers", MyOptions.vPeers, PEER_RANGE);
  WarnOutside("parking lot numbers", MyOptions.vParks, PARK_RANGE);

  asio::io_context MyIo(1);
  TClientRun MyRun(MyIo, MyOptions);
  std::string sError;
  if (!MyRun.Start(sError)) {
    std::fprintf(stderr, "telvane-client: %s\n", sError.c_str());
    return 1;
  }
  auto MyBridge = std::make_shared<TStdinBridge>();
  MyBridge->pIo = &MyIo;
  MyBridge->pRun = &MyRun;
  if (MyOptions.nLoad == 0) std::thread(ReadStdin, MyBridge).detach();
  MyIo.run();
  {
    std::lock_guard<std::mutex> MyLock(MyBridge->crsBridge);
    MyBridge->bOpen = false;
  }
  MyRun.PrintEnd();
  return MyRun.ExitCode();
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> lstArgs(argv + 1, argv + argc);
  TClientOptions MyOptions;
  std::string sError;
  if (!ParseClientOptions(lstArgs, MyOptions, sError)) {
    std::fprintf(stderr, "telvane-client: %s (see --help)\n", sError.c_str());
    return 2;
  }
  if (MyOptions.bHelp) {
    std::fputs(ClientUsageText().c_str(), stdout);
    return 0;
  }
  try {
    return Run(MyOptions);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "telvane-client: %s\n", e.what());
    return 1;
  }
}
