// telvane-client: the CTI client tool. Parses the command line, runs one
// interactive client or a load run on a single io_context (or, with --nats, the
// same against NATS: nats_run.h), and returns
// 0 on a normal end, 1 when a connection or handshake failed, 2 on a usage error.
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
// A standard header must come before Asio's: Asio picks its allocator by a macro of the standard
// library, and translation units that disagree pair aligned_alloc with operator delete.
#include <asio.hpp>

#include "nats_run.h"
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

void PostLine(const std::shared_ptr<TStdinBridge>& pBridge, std::string sLine) {
  if (!sLine.empty() && sLine.back() == '\r') sLine.pop_back();
  if (sLine.empty()) return;
  std::lock_guard<std::mutex> tLock(pBridge->crsBridge);
  if (!pBridge->bOpen) return;
  TClientRun* pRun = pBridge->pRun;
  asio::post(*pBridge->pIo, [pRun, sLine = std::move(sLine)] { pRun->SendLine(sLine); });
}

// Reads stdin with plain read(2), which works for terminals, pipes and files
// alike. End of input only ends the reading; the client keeps running.
void ReadStdin(std::shared_ptr<TStdinBridge> pBridge) {
  constexpr size_t kMaxLineBytes = 64 * 1024;  // a longer line is cut there
  std::string sPending;
  char vBuffer[4096];
  while (true) {
    const ssize_t nRead = ::read(STDIN_FILENO, vBuffer, sizeof vBuffer);
    if (nRead <= 0) return;
    for (ssize_t i = 0; i < nRead; ++i) {
      if (vBuffer[i] == '\n' || sPending.size() >= kMaxLineBytes) {
        PostLine(pBridge, std::move(sPending));
        sPending.clear();
        if (vBuffer[i] == '\n') continue;
      }
      sPending += vBuffer[i];
    }
  }
}

void WarnOutside(const char* sWhat, const std::vector<int32_t>& vNumbers, TNumberRange tRange) {
  const size_t nOutside = CountOutside(vNumbers, tRange);
  if (nOutside > 0)
    std::fprintf(stderr, "telvane-client: warning: %zu %s outside %d-%d; the relay ignores them\n",
                 nOutside, sWhat, tRange.nFirst, tRange.nLast);
}

int Run(const TClientOptions& tOptions) {
  WarnOutside("queue numbers", tOptions.vQueues, tOptions.tQueueRange);
  WarnOutside("extension numbers", tOptions.vPeers, tOptions.tPeerRange);
  WarnOutside("parking lot numbers", tOptions.vParks, tOptions.tParkRange);
  if (!tOptions.sNatsUrl.empty()) return RunNats(tOptions);

  asio::io_context tIo(1);
  TClientRun tRun(tIo, tOptions);
  std::string sError;
  if (!tRun.Start(sError)) {
    std::fprintf(stderr, "telvane-client: %s\n", sError.c_str());
    return 1;
  }
  auto pBridge = std::make_shared<TStdinBridge>();
  pBridge->pIo = &tIo;
  pBridge->pRun = &tRun;
  if (tOptions.nLoad == 0) std::thread(ReadStdin, pBridge).detach();
  tIo.run();
  {
    std::lock_guard<std::mutex> tLock(pBridge->crsBridge);
    pBridge->bOpen = false;
  }
  tRun.PrintEnd();
  return tRun.ExitCode();
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> lstArgs(argv + 1, argv + argc);
  TClientOptions tOptions;
  std::string sError;
  if (!ParseClientOptions(lstArgs, tOptions, sError)) {
    std::fprintf(stderr, "telvane-client: %s (see --help)\n", sError.c_str());
    return 2;
  }
  if (tOptions.bHelp) {
    std::fputs(ClientUsageText().c_str(), stdout);
    return 0;
  }
  try {
    return Run(tOptions);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "telvane-client: %s\n", e.what());
    return 1;
  }
}
