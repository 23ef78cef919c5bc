// TServerSocket on Asio: the client listeners (plain, and TLS when opened) and their open
// connections, all on the control thread (TControlLoop's io_context); no thread per connection.
//
// One session per accepted peer (untServerSession), kept in vSessions in accept order, whichever
// port it came through. A session is listed from before OnAccept until after its
// OnClientDisconnect has returned, so the connection an event names is always among
// Connections(0..ActiveConnections()-1) during it. A peer OnAdmit refuses is never listed; one it
// holds waits in vHeld, in accept order, until ReleaseHeld lets the oldest of its address in.
//
//   accept --> OnAdmit --refused--> closed, no event
//                      --held--> vHeld (no read, no event; its deadline runs) --ReleaseHeld--+
//                      --admitted--> list it, OnAccept, OnClientConnect  <------------------+
//                                    --> session.Begin (reads; TLS handshake)
//   session ends --> OnClientError / OnClientOverflow / OnClientTlsError as the cause says,
//                    OnClientDisconnect, unlist, close
//   SetActive(false) --> close both listeners, each session shut gracefully, no event
//
// Invariant: events that end a connection are never raised from inside SendText or Close; they
// are posted and run after the current handler returns, so the list of connections never changes
// under a caller's loop and no TServerConnection pointer dangles while it runs. Completions of a
// listener that was closed meanwhile do nothing.
#include "platform/untServerSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/untControlLoop.h"
#include "platform/untServerSession.h"
#include "platform/untTls.h"

namespace {

constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(100);
constexpr auto ACCEPT_HOLD_STEP = std::chrono::milliseconds(1);  // how often a held listener asks again
constexpr auto ACCEPT_HOLD_LIMIT = std::chrono::seconds(1);      // the longest hold in a row
// Keep-alive: the first probe after 45 s of silence, then every 15 s; a peer that answers none
// is given up 120 s after it was last heard (TCP_USER_TIMEOUT also bounds unacknowledged output).
constexpr int KEEPALIVE_IDLE_S = 45;
constexpr int KEEPALIVE_INTERVAL_S = 15;
constexpr int KEEPALIVE_PROBES = 5;
constexpr unsigned KEEPALIVE_GIVE_UP_MS = 120000;

using tcp = asio::ip::tcp;

// Errors of accept() that say the process is short of resources; retrying at once would spin.
bool IsResourceShortage(const asio::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec.value() == ENFILE;
}

}  // namespace

std::string PeerAddressText(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  return address.to_string();
}

void SetTcpKeepAlive(asio::ip::tcp::socket& socket) {
  asio::error_code ec;
  socket.set_option(asio::socket_base::keep_alive(true), ec);
  const int fd = socket.native_handle();
  const int vValues[] = {KEEPALIVE_IDLE_S, KEEPALIVE_INTERVAL_S, KEEPALIVE_PROBES};
  const int vOptions[] = {TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT};
  for (int n = 0; n < 3; ++n) setsockopt(fd, IPPROTO_TCP, vOptions[n], &vValues[n], sizeof(int));
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &KEEPALIVE_GIVE_UP_MS, sizeof(KEEPALIVE_GIVE_UP_MS));
}

// One listening port; TLS when pContext is set.
struct TListener {
  TListener(asio::io_context& ioc, std::shared_ptr<asio::ssl::context> pContextIn)
      : acceptor(ioc), tmrRetry(ioc), pContext(std::move(pContextIn)) {}
  tcp::acceptor acceptor;
  asio::steady_timer tmrRetry;                   // pause after a failed accept, or while held
  // When the current hold began; unset while the listener is not held.
  std::optional<std::chrono::steady_clock::time_point> tHeldSince;
  bool bHoldSpent = false;  // a hold reached its limit: none again until OnAcceptHold says false
  std::shared_ptr<asio::ssl::context> pContext;  // null for the plain port
};
using TListenerPtr = std::shared_ptr<TListener>;

struct TServerSocket::TImpl : TSessionHost, std::enable_shared_from_this<TServerSocket::TImpl> {
  explicit TImpl(TServerSocket* pOwnerIn) : ioc(TControlLoop::Instance().Context()), pOwner(pOwnerIn) {}

  asio::io_context& ioc;                           // the control thread's loop
  TListenerPtr pPlain;                             // the plain listener while active, else null
  TListenerPtr pTls;                               // the TLS listener while open, else null
  bool bActive = false;                            // between SetActive(true) and SetActive(false)
  std::vector<TServerSessionPtr> vSessions;        // open connections in accept order
  std::vector<TServerSessionPtr> vHeld;            // held peers in accept order; never listed
  std::array<char, SESSION_READ_PIECE_BYTES> vReadBuffer;  // plain reads land here; valid during OnClientRead
  TServerSocket* pOwner;                           // null once the owner is gone

  // Raises one event. The function object is copied first, so a handler may rebind events; an
  // exception a handler lets through stops here and is told to OnHandlerError, so nothing reaches
  // the event loop.
  template <typename TFn, typename... TArgs>
  void Raise(std::function<TFn> TServerSocket::*pEvent, TArgs&... args) {
    if (pOwner == nullptr) return;
    std::function<TFn> fn = pOwner->*pEvent;
    if (!fn) return;
    try {
      fn(args...);
    } catch (const std::exception& e) {
      HandlerFailed(e.what());
    } catch (...) {
      HandlerFailed("unknown error");
    }
  }
  void HandlerFailed(const char* sWhat) {
    if (pOwner != nullptr && pOwner->OnHandlerError) pOwner->OnHandlerError(sWhat);
  }

  // ---- TSessionHost ----
  asio::io_context& Context() override { return ioc; }
  bool IsListed(const TServerSession* pSession) const override {
    return std::any_of(vSessions.begin(), vSessions.end(),
                       [pSession](const TServerSessionPtr& p) { return p.get() == pSession; });
  }
  bool IsHeld(const TServerSession* pSession) const override {
    return std::any_of(vHeld.begin(), vHeld.end(), [pSession](const TServerSessionPtr& p) { return p.get() == pSession; });
  }
  std::array<char, SESSION_READ_PIECE_BYTES>& ReadBuffer() override { return vReadBuffer; }
  void SessionRead(TServerSession& session) override { Raise(&TServerSocket::OnClientRead, session); }
  void SessionTimeout(TServerSession& session) override { Raise(&TServerSocket::OnClientTimeout, session); }
  void SessionEnd(const TServerSessionPtr& pSession, TSessionEnd_OPT tEnd, int nErrorCode,
                  const std::string& sReason) override;

  bool IsCurrent(const TListenerPtr& pListener) const { return pListener == pPlain || pListener == pTls; }
  TListenerPtr Open(int nPort, std::shared_ptr<asio::ssl::context> pContext) const;
  void StartAccept(const TListenerPtr& pListener);
  bool Held(TListener& listener);
  void Wait(const TListenerPtr& pListener, std::chrono::steady_clock::duration tDelay);
  void RetryAccept(const TListenerPtr& pListener, const asio::error_code& ec);
  void OnAccepted(const TListenerPtr& pListener, tcp::socket socket);
  TAdmission_OPT Admit(TServerSession& session);
  void Serve(const TServerSessionPtr& pSession);
  void ReleaseHeld(const std::string& sAddress);
  void CloseAll();
};

// Opens, binds and listens; throws std::runtime_error with the reason.
TListenerPtr TServerSocket::TImpl::Open(int nPort, std::shared_ptr<asio::ssl::context> pContext) const {
  if (nPort < 0 || nPort > 65535) throw std::runtime_error("Port " + std::to_string(nPort) + " is out of range");
  asio::error_code ec;
  asio::ip::address address = asio::ip::address_v4::any();
  if (!pOwner->BindAddress.empty()) {
    address = asio::ip::make_address(pOwner->BindAddress, ec);
    if (ec) throw std::runtime_error("The bind address " + pOwner->BindAddress + " is not an IP address");
  }
  auto pListener = std::make_shared<TListener>(ioc, std::move(pContext));
  tcp::acceptor& acc = pListener->acceptor;
  const tcp::endpoint local(address, static_cast<unsigned short>(nPort));
  const auto Check = [&](const char* sStep) {
    if (ec) throw std::runtime_error(std::string("Could not ") + sStep + " port " + std::to_string(nPort) + ": " + ec.message());
  };
  acc.open(local.protocol(), ec);
  Check("open a socket for");
  acc.set_option(tcp::acceptor::reuse_address(true), ec);
  Check("set SO_REUSEADDR on");
  if (address.is_v6() && address.is_unspecified()) acc.set_option(asio::ip::v6_only(false), ec);  // IPv4 too
  acc.bind(local, ec);
  Check("bind");
  acc.listen(asio::socket_base::max_listen_connections, ec);
  Check("listen on");
  return pListener;
}

// Whether OnAcceptHold holds the next accept back. A hold that reaches ACCEPT_HOLD_LIMIT ends,
// and no new one begins until the handler has once said false: whatever it waits for is stuck,
// and the port serves on.
bool TServerSocket::TImpl::Held(TListener& listener) {
  std::function<bool()> fn = pOwner->OnAcceptHold;
  bool bHold = false;
  try {
    bHold = fn && fn();
  } catch (const std::exception& e) {
    HandlerFailed(e.what());  // a hold that cannot be decided holds nothing back
  } catch (...) {
    HandlerFailed("unknown error");
  }
  if (!bHold) listener.bHoldSpent = false;
  const auto tNow = std::chrono::steady_clock::now();
  if (listener.tHeldSince && tNow - *listener.tHeldSince >= ACCEPT_HOLD_LIMIT) listener.bHoldSpent = true;
  if (!bHold || listener.bHoldSpent) {
    listener.tHeldSince.reset();
    return false;
  }
  if (!listener.tHeldSince) listener.tHeldSince = tNow;
  return true;
}

// Accepts again after tDelay, unless the listener is closed meanwhile.
void TServerSocket::TImpl::Wait(const TListenerPtr& pListener, std::chrono::steady_clock::duration tDelay) {
  pListener->tmrRetry.expires_after(tDelay);
  pListener->tmrRetry.async_wait([self = shared_from_this(), pListener](const asio::error_code& ecWait) {
    if (!ecWait && self->IsCurrent(pListener)) self->StartAccept(pListener);
  });
}

void TServerSocket::TImpl::StartAccept(const TListenerPtr& pListener) {
  if (pOwner != nullptr && Held(*pListener)) return Wait(pListener, ACCEPT_HOLD_STEP);
  pListener->acceptor.async_accept([self = shared_from_this(), pListener](const asio::error_code& ec, tcp::socket socket) {
    if (!self->IsCurrent(pListener) || self->pOwner == nullptr) return;  // closed meanwhile
    if (ec) return self->RetryAccept(pListener, ec);
    self->OnAccepted(pListener, std::move(socket));
    if (self->IsCurrent(pListener)) self->StartAccept(pListener);
  });
}

void TServerSocket::TImpl::RetryAccept(const TListenerPtr& pListener, const asio::error_code& ec) {
  if (ec == asio::error::operation_aborted) return;
  if (!IsResourceShortage(ec)) return StartAccept(pListener);  // e.g. the peer gave up before we took it
  const std::string sReason = ec.message();
  Raise(&TServerSocket::OnAcceptError, sReason);
  if (!IsCurrent(pListener)) return;  // the handler stopped the listener
  Wait(pListener, ACCEPT_RETRY_DELAY);
}

void TServerSocket::TImpl::OnAccepted(const TListenerPtr& pListener, tcp::socket socket) {
  asio::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;  // the peer left before we looked; the socket closes with this scope
  socket.non_blocking(true, ec);
  if (ec) return;
  socket.set_option(tcp::no_delay(true), ec);  // prompts and events are small: send them now
  SetTcpKeepAlive(socket);
  const std::string sAddress = PeerAddressText(peer.address());
  TServerSessionPtr pSession =
      pListener->pContext
          ? MakeTlsSession(weak_from_this(), std::move(socket), sAddress, peer.port(), pOwner->nMaxQueuedBytes,
                           pListener->pContext)
          : MakePlainSession(weak_from_this(), std::move(socket), sAddress, peer.port(), pOwner->nMaxQueuedBytes);
  const TAdmission_OPT tAdmission = Admit(*pSession);
  if (tAdmission == ADMISSION_REFUSE || pSession->bClosed || pSession->bEnding)
    return pSession->Shut(false);  // nothing was sent: not even a TLS hello
  if (tAdmission == ADMISSION_HOLD) return vHeld.push_back(pSession);
  Serve(pSession);
}

// Lists an admitted peer, raises its accept and connect events and starts its reads.
void TServerSocket::TImpl::Serve(const TServerSessionPtr& pSession) {
  pSession->bAdmitted = true;
  vSessions.push_back(pSession);
  Raise(&TServerSocket::OnAccept, *pSession);
  if (!IsListed(pSession.get())) return;
  Raise(&TServerSocket::OnClientConnect, *pSession);
  if (!IsListed(pSession.get())) return;
  pSession->Begin();
}

TAdmission_OPT TServerSocket::TImpl::Admit(TServerSession& session) {
  std::function<TAdmission_OPT(TServerConnection&)> fn = pOwner->OnAdmit;
  if (!fn) return ADMISSION_ACCEPT;
  // A check that could not be made lets nobody in.
  try {
    return fn(session);
  } catch (const std::exception& e) {
    HandlerFailed(e.what());
  } catch (...) {
    HandlerFailed("unknown error");
  }
  return ADMISSION_REFUSE;
}

// The oldest peer held from sAddress that is still open, if any, is served.
void TServerSocket::TImpl::ReleaseHeld(const std::string& sAddress) {
  auto it = std::find_if(vHeld.begin(), vHeld.end(), [&sAddress](const TServerSessionPtr& p) {
    return p->RemoteAddress() == sAddress && !p->bClosed && !p->bEnding;
  });
  if (it == vHeld.end()) return;
  TServerSessionPtr pSession = *it;
  vHeld.erase(it);
  Serve(pSession);
}

// The end of one connection: the event of its cause, then the disconnect event, then it leaves
// the list. A handler that deactivates the listener meanwhile suppresses what is left.
void TServerSocket::TImpl::SessionEnd(const TServerSessionPtr& pSession, TSessionEnd_OPT tEnd, int nErrorCode,
                                      const std::string& sReason) {
  pSession->bEnding = true;
  auto itHeld = std::find(vHeld.begin(), vHeld.end(), pSession);
  if (itHeld != vHeld.end()) {  // never connected: no event to raise
    vHeld.erase(itHeld);
    return pSession->Shut(false);
  }
  if (!IsListed(pSession.get())) return;
  if (tEnd == SESSION_END_OVERFLOW) {
    Raise(&TServerSocket::OnClientOverflow, *pSession);
  } else if (tEnd == SESSION_END_ERROR) {
    int nCode = nErrorCode;
    Raise(&TServerSocket::OnClientError, *pSession, nCode);
  } else if (tEnd == SESSION_END_TLS) {
    Raise(&TServerSocket::OnClientTlsError, *pSession, sReason);
  }
  if (!IsListed(pSession.get())) return;
  Raise(&TServerSocket::OnClientDisconnect, *pSession);
  auto it = std::find(vSessions.begin(), vSessions.end(), pSession);
  if (it != vSessions.end()) vSessions.erase(it);
  pSession->Shut(false);
}

void TServerSocket::TImpl::CloseAll() {
  for (TListenerPtr* pp : {&pPlain, &pTls}) {
    if (!*pp) continue;
    asio::error_code ec;
    (*pp)->acceptor.close(ec);
    (*pp)->tmrRetry.cancel();
    pp->reset();
  }
  bActive = false;
  std::vector<TServerSessionPtr> vClosing;
  vClosing.swap(vSessions);
  for (const TServerSessionPtr& pSession : vClosing) pSession->Shut(true);
  vClosing.clear();
  vClosing.swap(vHeld);
  for (const TServerSessionPtr& pSession : vClosing) pSession->Shut(false);
}

TServerSocket::TServerSocket() : pImpl(std::make_shared<TImpl>(this)) {}

TServerSocket::~TServerSocket() {
  pImpl->pOwner = nullptr;
  pImpl->CloseAll();
}

void TServerSocket::SetActive(bool bActive) {
  TImpl& impl = *pImpl;
  if (!bActive) return impl.CloseAll();
  if (impl.bActive) return;
  if (bServePlain) {
    impl.pPlain = impl.Open(Port, nullptr);
    impl.StartAccept(impl.pPlain);
  }
  impl.bActive = true;
  if (bServePlain) impl.Raise(&TServerSocket::OnListen);
}

void TServerSocket::ListenTls(int nPort, const std::string& sCertFile, const std::string& sKeyFile,
                              const std::string& sClientCaFile) {
  TImpl& impl = *pImpl;
  if (!impl.bActive) throw std::runtime_error("the listener is not active");
  if (impl.pTls) {
    asio::error_code ec;
    impl.pTls->acceptor.close(ec);
    impl.pTls.reset();
  }
  // The files are read first, so a bad certificate never leaves a port open that cannot serve.
  std::shared_ptr<asio::ssl::context> pContext = MakeTlsServerContext(sCertFile, sKeyFile, sClientCaFile);
  impl.pTls = impl.Open(nPort, std::move(pContext));
  impl.StartAccept(impl.pTls);
  if (!bServePlain) impl.Raise(&TServerSocket::OnListen);  // the only port is open now
}

bool TServerSocket::Active() const { return pImpl->pPlain != nullptr || pImpl->pTls != nullptr; }

namespace {
int BoundPort(const TListenerPtr& pListener) {
  if (!pListener) return 0;
  asio::error_code ec;
  const tcp::endpoint local = pListener->acceptor.local_endpoint(ec);
  return ec ? 0 : local.port();
}
}  // namespace

int TServerSocket::LocalPort() const { return BoundPort(pImpl->pPlain); }
int TServerSocket::LocalTlsPort() const { return BoundPort(pImpl->pTls); }

int TServerSocket::ActiveConnections() const { return static_cast<int>(pImpl->vSessions.size()); }

TServerConnection* TServerSocket::Connections(int nIndex) {
  if (nIndex < 0 || nIndex >= ActiveConnections()) return nullptr;
  return pImpl->vSessions[static_cast<size_t>(nIndex)].get();
}

int TServerSocket::HeldConnections(const std::string& sAddress) const {
  const std::vector<TServerSessionPtr>& vHeld = pImpl->vHeld;
  return static_cast<int>(std::count_if(vHeld.begin(), vHeld.end(), [&sAddress](const TServerSessionPtr& p) {
    return sAddress.empty() || p->RemoteAddress() == sAddress;
  }));
}

// Posted, so a handler that lets a peer in never sees that peer's events raised inside its own.
void TServerSocket::ReleaseHeld(const std::string& sAddress) {
  asio::post(pImpl->ioc, [wImpl = std::weak_ptr<TImpl>(pImpl), sAddress] {
    std::shared_ptr<TImpl> pImpl = wImpl.lock();
    if (pImpl && pImpl->pOwner != nullptr) pImpl->ReleaseHeld(sAddress);
  });
}
