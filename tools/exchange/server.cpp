// Listener and console commands of the exchange simulator; see server.h.
#include "server.h"

#include <cstdio>
#include <iostream>

namespace exsim {

TExchangeServer::TExchangeServer(asio::io_context& tNewIo, const TExchangeOptions& tOptions)
    : tShared(tOptions), tAcceptor(tNewIo) {
  tShared.bSilent = tOptions.bSilent;
}

bool TExchangeServer::Start(std::string& sError) {
  const TExchangeOptions& tOptions = tShared.tOptions;
  if (!tOptions.sReplayFile.empty() &&
      !LoadReplayFile(tOptions.sReplayFile, tShared.vReplayBlocks, sError))
    return false;
  if (!tOptions.sTlsCert.empty() && !LoadTlsContext(sError)) return false;
  asio::error_code tError;
  asio::ip::address tAddress = asio::ip::make_address(tOptions.sBindAddress, tError);
  if (tError) {
    sError = "invalid bind address " + tOptions.sBindAddress;
    return false;
  }
  asio::ip::tcp::endpoint tEndpoint(tAddress, static_cast<uint16_t>(tOptions.nPort));
  tAcceptor.open(tEndpoint.protocol(), tError);
  if (!tError) tAcceptor.set_option(asio::socket_base::reuse_address(true), tError);
  if (!tError) tAcceptor.bind(tEndpoint, tError);
  if (!tError) tAcceptor.listen(asio::socket_base::max_listen_connections, tError);
  if (tError) {
    sError = "cannot listen on " + tOptions.sBindAddress + ":" + std::to_string(tOptions.nPort) +
             ": " + tError.message();
    return false;
  }
  std::printf("LISTENING %u\n", static_cast<unsigned>(tAcceptor.local_endpoint().port()));
  std::fflush(stdout);
  tShared.Log("replay blocks: " + std::to_string(tShared.vReplayBlocks.size()));
  Accept();
  return true;
}

bool TExchangeServer::LoadTlsContext(std::string& sError) {
  using asio::ssl::context;
  pTlsContext = std::make_shared<context>(context::tls_server);
  pTlsContext->set_options(context::default_workarounds | context::no_sslv2 | context::no_sslv3 |
                           context::no_tlsv1 | context::no_tlsv1_1);
  asio::error_code tError;
  pTlsContext->use_certificate_chain_file(tShared.tOptions.sTlsCert, tError);
  if (!tError) pTlsContext->use_private_key_file(tShared.tOptions.sTlsKey, context::pem, tError);
  if (tError) {
    sError = "cannot use the TLS certificate " + tShared.tOptions.sTlsCert + " and key " +
             tShared.tOptions.sTlsKey + ": " + tError.message();
    return false;
  }
  return true;
}

void TExchangeServer::Accept() {
  tAcceptor.async_accept([this](const asio::error_code& e, asio::ip::tcp::socket tSocket) {
    OnAccepted(e, std::move(tSocket));
  });
}

void TExchangeServer::OnAccepted(const asio::error_code& tError, asio::ip::tcp::socket tSocket) {
  if (bStopped) return;
  if (!tError) {
    if (std::shared_ptr<TSession> pOld = pSession) {
      tShared.Log("a new connection replaces the current one");
      pOld->Close(false);
    }
    auto pNew = std::make_shared<TSession>(std::move(tSocket), pTlsContext, tShared,
                                           [this](TSession* p) { OnSessionEnded(p); });
    pSession = pNew;
    pNew->Start();  // pNew keeps it alive even if it ends at once
  }
  Accept();  // a failed accept (descriptors exhausted, aborted handshake) is not fatal
}

void TExchangeServer::OnSessionEnded(TSession* pEnded) {
  if (pSession.get() == pEnded) pSession.reset();
}

void TExchangeServer::Command(const std::string& sLine) {
  std::string sVerb = sLine.substr(0, sLine.find(' '));
  std::string sArgument = sVerb.size() < sLine.size() ? sLine.substr(sVerb.size() + 1) : "";
  std::shared_ptr<TSession> pCurrent = pSession;  // a command may end the session
  if (sVerb == "quit") {
    Stop();
  } else if (sVerb == "silent" && (sArgument == "on" || sArgument == "off")) {
    tShared.bSilent = sArgument == "on";
    if (!tShared.bSilent && pCurrent) pCurrent->Wake();
  } else if (sVerb == "close" || sVerb == "reset") {
    if (pCurrent) pCurrent->Close(sVerb == "reset");
  } else if (sVerb == "send") {
    std::vector<std::string> vBlocks;
    std::string sError;
    if (!LoadReplayFile(sArgument, vBlocks, sError))
      std::cerr << "telvane-exchange: " << sError << std::endl;
    else if (pCurrent)
      pCurrent->SendEvents(vBlocks);
  } else if (sVerb == "raw") {
    if (pCurrent) pCurrent->SendRaw(DecodeEscapes(sArgument));
  } else if (!sVerb.empty()) {
    std::cerr << "telvane-exchange: unknown command: " << sLine << std::endl;
    return;
  }
  if (!pCurrent && (sVerb == "close" || sVerb == "reset" || sVerb == "send" || sVerb == "raw"))
    tShared.Log("no connection for: " + sVerb);
}

void TExchangeServer::Stop() {
  if (bStopped) return;
  bStopped = true;
  asio::error_code tError;
  tAcceptor.close(tError);
  if (std::shared_ptr<TSession> pCurrent = pSession) pCurrent->Close(false);
  pSession.reset();
}

}  // namespace exsim
