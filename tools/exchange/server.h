// Listener of the exchange simulator and the executor of the console commands.
//
// Thread: the I/O thread that runs the io_context; console lines arrive there by asio::post.
// One session at a time: a new connection replaces the current one (so a client that reconnects
// after a half-open loss is served at once), and the listener keeps accepting for the whole life
// of the process. Stop() closes the listener and the session and cancels everything, after which
// the io_context runs out of work and returns. With --tls-cert and --tls-key every connection
// speaks TLS (1.2 or later): the certificate and key are read at Start, once.
#pragma once

#include <memory>
#include <string>
// After a standard header, as in every file here: see main.cpp.
#include <asio.hpp>

#include "options.h"
#include "session.h"

namespace exsim {

class TExchangeServer {
 public:
  TExchangeServer(asio::io_context& tIo, const TExchangeOptions& tOptions);

  // Loads the replay file and opens the listener; prints "LISTENING <port>" on stdout.
  bool Start(std::string& sError);
  // One console line: close, reset, silent on|off, send PATH, raw TEXT, quit.
  void Command(const std::string& sLine);
  void Stop();
  bool Stopped() const { return bStopped; }

 private:
  bool LoadTlsContext(std::string& sError);
  void Accept();
  void OnAccepted(const asio::error_code& tError, asio::ip::tcp::socket tSocket);
  void OnSessionEnded(TSession* pEnded);

  TServerShared tShared;  // state shared by the sessions
  asio::ip::tcp::acceptor tAcceptor;
  std::shared_ptr<asio::ssl::context> pTlsContext;  // --tls-cert: the sessions speak TLS; else null
  std::shared_ptr<TSession> pSession;  // the connection being served, or none
  bool bStopped = false;               // Stop() has run
};

}  // namespace exsim
