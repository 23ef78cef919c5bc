// TTlsFront on Asio. The listener and every TFrontSession live on the control thread's io_context;
// a session is kept in TImpl::vSessions from its admission until it closes, and its completions
// hold it by shared_ptr and return at once once it is closed (bClosed), so a completion that
// arrives after Close() does nothing.
#include "platform/untTlsFront.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <vector>

#include "platform/untControlLoop.h"
#include "platform/untServerSession.h"
#include "platform/untTls.h"

namespace {

using tcp = asio::ip::tcp;

constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(100);

class TFrontSession;
using TFrontSessionPtr = std::shared_ptr<TFrontSession>;

}  // namespace

struct TTlsFront::TImpl : std::enable_shared_from_this<TTlsFront::TImpl> {
  explicit TImpl(TTlsFront* pOwnerIn)
      : ioc(TControlLoop::Instance().Context()), acceptor(ioc), tmrRetry(ioc), pPeers(std::make_shared<TFrontPeers>()),
        pOwner(pOwnerIn) {}

  asio::io_context& ioc;                          // the control thread's loop
  tcp::acceptor acceptor;
  asio::steady_timer tmrRetry;                    // pause after an accept that failed
  std::shared_ptr<asio::ssl::context> pContext;   // while open
  std::shared_ptr<TFrontPeers> pPeers;            // published to the back end's threads
  std::vector<TFrontSessionPtr> vSessions;        // admitted, not closed
  uint64_t nGeneration = 0;                       // bumped by Close: older accepts do nothing
  TTlsFront* pOwner;                              // null once the owner is gone

  void StartAccept();
  void OnAccepted(tcp::socket socket);
  void Forget(const TFrontSession* pSession);
  void CloseAll();
  // Calls fn, the owner's handler; an exception it lets through goes to OnHandlerError, prefixed
  // with sContext. False when it threw.
  template <typename TFn>
  bool Guarded(const std::string& sContext, TFn fn);
  void HandlerFailed(const std::string& sWhat);
};

namespace {

class TFrontSession : public std::enable_shared_from_this<TFrontSession> {
 public:
  TFrontSession(std::weak_ptr<TTlsFront::TImpl> wFrontIn, tcp::socket socketIn, std::string sAddressIn, int nPortIn,
                std::shared_ptr<asio::ssl::context> pContextIn, std::shared_ptr<TFrontPeers> pPeersIn,
                size_t nBufferBytes)
      : wFront(std::move(wFrontIn)), socket(std::move(socketIn)), pContext(std::move(pContextIn)),
        stream(socket, *pContext), backend(socket.get_executor()), tmrHandshake(socket.get_executor()),

        pPeers(std::move(pPeersIn)), sAddress(std::move(sAddressIn)), nPort(nPortIn), vUp(nBufferBytes),
        vDown(nBufferBytes) {}

  void Begin(int nHandshakeMs, int nBackendPort) {
    tmrHandshake.expires_after(std::chrono::milliseconds(nHandshakeMs));
    tmrHandshake.async_wait([self = shared_from_this(), nHandshakeMs](const asio::error_code& ec) {
      if (ec || self->bClosed || self->bHandshaken) return;
      self->Fail(&TTlsFront::OnTlsError,
                 "no TLS handshake within " + std::to_string((nHandshakeMs + 999) / 1000) + " s");
    });
    stream.async_handshake(asio::ssl::stream_base::server,
                           [self = shared_from_this(), nBackendPort](const asio::error_code& ec) {
                             if (self->bClosed) return;
                             // A peer that just leaves (a port scan, a browser giving up) is no failure.
                             if (IsTlsPeerClose(ec)) return self->End();
                             if (ec) return self->Fail(&TTlsFront::OnTlsError, TlsErrorText(self->stream, ec));
                             self->bHandshaken = true;
                             self->tmrHandshake.cancel();
                             self->ConnectBackend(nBackendPort);
                           });
  }

  int LoopbackPort() const { return nLoopbackPort; }

  // Closes both sides; no event.
  void End() {
    if (bClosed) return;
    bClosed = true;
    tmrHandshake.cancel();
    if (nLoopbackPort != 0) pPeers->Erase(nLoopbackPort);
    asio::error_code ec;
    backend.shutdown(tcp::socket::shutdown_both, ec);
    backend.close(ec);
    // A peer that does not read would never take a FIN queued behind what it left unread, and
    // the kernel would keep the connection for minutes: it is reset instead.
    if (bWritingDown) socket.set_option(asio::socket_base::linger(true, 0), ec);
    socket.shutdown(tcp::socket::shutdown_send, ec);
    socket.close(ec);
    if (auto pFront = wFront.lock()) pFront->Forget(this);
  }

 private:
  using TEvent = std::function<void(const std::string&, int, const std::string&)> TTlsFront::*;

  void Fail(TEvent pEvent, const std::string& sReason) {
    auto pFront = wFront.lock();
    End();
    if (!pFront || pFront->pOwner == nullptr) return;
    const auto fn = pFront->pOwner->*pEvent;
    if (fn) pFront->Guarded("a handler failed: ", [&] { fn(sAddress, nPort, sReason); });
  }

  void ConnectBackend(int nBackendPort) {
    const tcp::endpoint target(asio::ip::address_v4::loopback(), static_cast<unsigned short>(nBackendPort));
    backend.async_connect(target, [self = shared_from_this()](const asio::error_code& ec) {
      if (self->bClosed) return;
      if (ec) return self->Fail(&TTlsFront::OnBackendError, ec.message());
      asio::error_code ecLocal;
      const tcp::endpoint local = self->backend.local_endpoint(ecLocal);
      if (ecLocal) return self->Fail(&TTlsFront::OnBackendError, ecLocal.message());
      // Published before the first byte reaches the back end, so it is there when the back end asks.
      self->nLoopbackPort = local.port();
      self->pPeers->Set(self->nLoopbackPort, TFrontPeer{self->sAddress, self->nPort});
      self->PumpUp();
      self->PumpDown();
    });
  }

  // Peer -> back end: the next piece is read only once the back end took the last one.
  void PumpUp() {
    stream.async_read_some(asio::buffer(vUp), [self = shared_from_this()](const asio::error_code& ec, size_t n) {
      if (self->bClosed) return;
      if (ec) return self->End();
      asio::async_write(self->backend, asio::buffer(self->vUp.data(), n),
                        [self](const asio::error_code& ecWrite, size_t) {
                          if (self->bClosed) return;
                          if (ecWrite) return self->End();
                          self->PumpUp();
                        });
    });
  }

  // Back end -> peer, alike. While a peer that does not read holds the write up, nothing is read
  // from the back end, so its close goes unseen here: a back end that cuts such a peer off says so
  // through TTlsFront::Cut.
  void PumpDown() {
    backend.async_read_some(asio::buffer(vDown), [self = shared_from_this()](const asio::error_code& ec, size_t n) {
      if (self->bClosed) return;
      if (ec) return self->End();
      self->bWritingDown = true;
      asio::async_write(self->stream, asio::buffer(self->vDown.data(), n),
                        [self](const asio::error_code& ecWrite, size_t) {
                          self->bWritingDown = false;
                          if (self->bClosed) return;
                          if (ecWrite) return self->End();
                          self->PumpDown();
                        });
    });
  }


  const std::weak_ptr<TTlsFront::TImpl> wFront;
  tcp::socket socket;                             // the peer's connection
  std::shared_ptr<asio::ssl::context> pContext;   // shared with the listener; outlives the stream
  TTlsStream stream;                              // over socket
  tcp::socket backend;                            // to the plain server on loopback
  asio::steady_timer tmrHandshake;                // the handshake's deadline
  const std::shared_ptr<TFrontPeers> pPeers;
  const std::string sAddress;                     // the peer's address text
  const int nPort;                                // the peer's port
  int nLoopbackPort = 0;                          // our local port toward the back end; 0 until connected
  std::vector<char> vUp;                          // the piece in flight from the peer
  std::vector<char> vDown;                        // the piece in flight to the peer
  bool bHandshaken = false;
  bool bWritingDown = false;                      // a write to the peer is in flight
  bool bClosed = false;
};

}  // namespace

// ---- TFrontPeers ----

bool TFrontPeers::Find(int nLoopbackPort, TFrontPeer& tPeer) const {
  TMutexLock lock(crsPeers);
  const auto it = mapPeers.find(nLoopbackPort);
  if (it == mapPeers.end()) return false;
  tPeer = it->second;
  return true;
}

void TFrontPeers::Set(int nLoopbackPort, const TFrontPeer& tPeer) {
  TMutexLock lock(crsPeers);
  mapPeers[nLoopbackPort] = tPeer;
}

void TFrontPeers::Erase(int nLoopbackPort) {
  TMutexLock lock(crsPeers);
  mapPeers.erase(nLoopbackPort);
}

// ---- TImpl ----

template <typename TFn>
bool TTlsFront::TImpl::Guarded(const std::string& sContext, TFn fn) {
  try {
    fn();
    return true;
  } catch (const std::exception& e) {
    HandlerFailed(sContext + e.what());
  } catch (...) {
    HandlerFailed(sContext + "unknown error");
  }
  return false;
}

void TTlsFront::TImpl::HandlerFailed(const std::string& sWhat) {
  if (pOwner != nullptr && pOwner->OnHandlerError) pOwner->OnHandlerError(sWhat);
}

void TTlsFront::TImpl::StartAccept() {
  acceptor.async_accept([self = shared_from_this(), nGen = nGeneration](const asio::error_code& ec, tcp::socket socket) {
    if (nGen != self->nGeneration || !self->acceptor.is_open()) return;
    if (!ec) {
      self->OnAccepted(std::move(socket));
      return self->StartAccept();
    }
    if (ec == asio::error::operation_aborted) return;
    if (self->pOwner != nullptr && self->pOwner->OnAcceptError)
      self->Guarded("a handler failed: ", [&] { self->pOwner->OnAcceptError(ec.message()); });
    self->tmrRetry.expires_after(ACCEPT_RETRY_DELAY);
    self->tmrRetry.async_wait([self, nGen](const asio::error_code& ecWait) {
      if (!ecWait && nGen == self->nGeneration && self->acceptor.is_open()) self->StartAccept();
    });
  });
}

void TTlsFront::TImpl::OnAccepted(tcp::socket socket) {
  if (pOwner == nullptr) return;
  asio::error_code ec;
  const tcp::endpoint remote = socket.remote_endpoint(ec);
  if (ec) return;  // already gone
  const std::string sAddress = PeerAddressText(remote.address());
  const int nPort = remote.port();
  bool bAdmit = true;
  if (pOwner->OnAdmit) {
    const auto fnAdmit = pOwner->OnAdmit;
    const int nOpen = static_cast<int>(vSessions.size());
    // A check that fails must not open the port: the peer is refused, and the reason told.
    if (!Guarded(sAddress + ":" + std::to_string(nPort) + " refused, its admission check failed: ",
                 [&] { bAdmit = fnAdmit(sAddress, nPort, nOpen); }))
      bAdmit = false;
  }
  if (!bAdmit) {
    socket.close(ec);
    return;
  }
  SetTcpKeepAlive(socket);  // a browser that vanished ends too, and civetweb's connection with it
  auto pSession = std::make_shared<TFrontSession>(weak_from_this(), std::move(socket), sAddress, nPort, pContext,
                                                  pPeers, pOwner->nBufferBytes);
  vSessions.push_back(pSession);
  pSession->Begin(pOwner->nHandshakeMs, pOwner->BackendPort);
}

void TTlsFront::TImpl::Forget(const TFrontSession* pSession) {
  vSessions.erase(std::remove_if(vSessions.begin(), vSessions.end(),
                                 [pSession](const TFrontSessionPtr& p) { return p.get() == pSession; }),
                  vSessions.end());
}

void TTlsFront::TImpl::CloseAll() {
  ++nGeneration;
  asio::error_code ec;
  acceptor.close(ec);
  tmrRetry.cancel();
  const std::vector<TFrontSessionPtr> vClosing = std::move(vSessions);
  vSessions.clear();
  for (const TFrontSessionPtr& p : vClosing) p->End();
  pContext.reset();
}

// ---- TTlsFront ----

TTlsFront::TTlsFront() : pImpl(std::make_shared<TImpl>(this)) {}

TTlsFront::~TTlsFront() {
  pImpl->CloseAll();
  pImpl->pOwner = nullptr;
}

void TTlsFront::Open(const std::string& sCertFile, const std::string& sKeyFile) {
  Close();
  if (Port < 0 || Port > 65535) throw std::runtime_error("Port " + std::to_string(Port) + " is out of range");
  std::shared_ptr<asio::ssl::context> pContext = MakeTlsServerContext(sCertFile, sKeyFile);
  asio::error_code ec;
  asio::ip::address address = asio::ip::address_v4::any();
  if (!BindAddress.empty()) {
    address = asio::ip::make_address(BindAddress, ec);
    if (ec) throw std::runtime_error("The bind address " + BindAddress + " is not an IP address");
  }
  const tcp::endpoint local(address, static_cast<unsigned short>(Port));
  tcp::acceptor& acc = pImpl->acceptor;
  const auto Check = [&](const char* sStep) {
    if (!ec) return;
    acc.close();
    throw std::runtime_error(std::string("Could not ") + sStep + " port " + std::to_string(Port) + ": " + ec.message());
  };
  acc.open(local.protocol(), ec);
  Check("open a socket for");
  acc.set_option(tcp::acceptor::reuse_address(true), ec);
  Check("set SO_REUSEADDR on");
  if (address.is_v6() && address.is_unspecified()) acc.set_option(asio::ip::v6_only(false), ec);
  acc.bind(local, ec);
  Check("bind");
  acc.listen(asio::socket_base::max_listen_connections, ec);
  Check("listen on");
  pImpl->pContext = std::move(pContext);
  pImpl->StartAccept();
}

void TTlsFront::Close() { pImpl->CloseAll(); }

void TTlsFront::Cut(int nLoopbackPort) {
  if (nLoopbackPort == 0) return;
  for (const TFrontSessionPtr& p : pImpl->vSessions) {
    if (p->LoopbackPort() != nLoopbackPort) continue;
    const TFrontSessionPtr pKeep = p;  // End unlists it
    pKeep->End();
    return;
  }
}

int TTlsFront::LocalPort() const {
  asio::error_code ec;
  if (!pImpl->acceptor.is_open()) return 0;
  const tcp::endpoint local = pImpl->acceptor.local_endpoint(ec);
  return ec ? 0 : local.port();
}

int TTlsFront::ActiveConnections() const { return static_cast<int>(pImpl->vSessions.size()); }

std::shared_ptr<const TFrontPeers> TTlsFront::Peers() const { return pImpl->pPeers; }
