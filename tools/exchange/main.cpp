// telvane-exchange: plays the exchange side of the manager interface for tests, demos and
// benchmarks. The main thread runs the io_context (listener, session, timers, signals); a second
// thread reads console commands from stdin and posts them to it. Exit status: 0 after quit or a
// signal, 1 when the listener or the replay file fails, 2 for a bad command line.
#include <csignal>
#include <iostream>
// A standard header must come before Asio's: Asio picks its allocator by a macro of the standard
// library, and translation units that disagree pair aligned_alloc with operator delete.
#include <asio.hpp>

#include "console.h"
#include "options.h"
#include "server.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a vanished reader must surface as a write error
  exsim::TExchangeOptions tOptions;
  std::string sError;
  if (!exsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), tOptions, sError)) {
    std::cerr << "telvane-exchange: " << sError << " (try --help)" << std::endl;
    return 2;
  }
  if (tOptions.bHelp) {
    std::cout << exsim::UsageText();
    return 0;
  }
  asio::io_context tIo;
  asio::signal_set tSignals(tIo, SIGINT, SIGTERM);
  exsim::TExchangeServer tServer(tIo, tOptions);
  if (!tServer.Start(sError)) {
    std::cerr << "telvane-exchange: " << sError << std::endl;
    return 1;
  }
  tSignals.async_wait([&tServer](const asio::error_code& e, int) {
    if (!e) tServer.Stop();
  });
  exsim::TConsoleReader tConsole;
  tConsole.Start([&](std::string sLine) {
    asio::post(tIo, [&tServer, &tSignals, sLine = std::move(sLine)] {
      tServer.Command(sLine);
      if (tServer.Stopped()) tSignals.cancel();
    });
  });
  tIo.run();
  tConsole.Stop();
  return 0;
}
