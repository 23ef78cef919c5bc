// TClientSocket on Asio: one outgoing TCP connection whose outcomes arrive as events on the control
// thread (TControlLoop's io_context).
//
// Every SetActive(true) makes a fresh TConnection: resolver, socket, connect timer, read buffer
// and output queue of that one attempt. Asio completions hold their TConnection alive by
// shared_ptr and act only while it is still the socket's current connection and not closed, so a
// newer connection never sees completions of an older one, and a closed one raises nothing.
//
//   SetActive(true) --post--> OnConnecting, resolve --> connect [--> TLS handshake]
//        (all bounded by nConnectTimeoutMs) --> OnConnect --> read piece (<= 64 KiB) --> OnRead ...
//   EOF --> close, OnDisconnect;   any failure --> close, OnError(code)
//   SetActive(false) --> close, no event
//
// Threads: control thread only (Asio's resolver does its lookups on a private thread and posts the
// result back). Events are raised after the connection has been closed and forgotten, so handlers
// may call SetActive(true/false) from inside any event. The function object of an event is copied
// before it is called, so a handler may also rebind events.
#include "platform/untClientSocket.h"

#include <array>
#include <asio.hpp>
#include <chrono>
#include <deque>
#include <utility>

#include "platform/untControlLoop.h"
#include "platform/untTls.h"

namespace {

constexpr size_t READ_PIECE_BYTES = 64 * 1024;

using tcp = asio::ip::tcp;

// One attempt and, once connected, the open connection. Touched on the control thread only.
struct TConnection {
  explicit TConnection(asio::io_context& ioc) : resolver(ioc), socket(ioc), tmrConnect(ioc) {}

  tcp::resolver resolver;
  tcp::socket socket;
  asio::steady_timer tmrConnect;                    // ends a lookup or connect that takes too long
  std::array<char, READ_PIECE_BYTES> vReadBuffer;   // the piece being read
  std::deque<std::string> vOutQueue;                // texts to write; the front one is in flight when bWriting
  size_t nQueuedBytes = 0;                          // bytes in vOutQueue
  bool bConnected = false;                          // the connect completed
  bool bWriting = false;                            // an async_write is outstanding
  bool bClosed = false;                             // closed; completions are ignored from now on
  bool bFailing = false;                            // a failure is posted; takes no more output
  std::shared_ptr<asio::ssl::context> pTlsContext;  // TLS only: trusted authorities, verification
  std::unique_ptr<TTlsStream> pTls;                 // TLS only: the stream over socket

  template <typename TBuffer, typename THandler>
  void AsyncReadSome(const TBuffer& buffer, THandler&& handler) {
    if (pTls)
      pTls->async_read_some(buffer, std::forward<THandler>(handler));
    else
      socket.async_read_some(buffer, std::forward<THandler>(handler));
  }
  template <typename TBuffer, typename THandler>
  void AsyncWrite(const TBuffer& buffer, THandler&& handler) {
    if (pTls)
      asio::async_write(*pTls, buffer, std::forward<THandler>(handler));
    else
      asio::async_write(socket, buffer, std::forward<THandler>(handler));
  }

  void Close() {
    bClosed = true;
    asio::error_code ec;
    resolver.cancel();
    tmrConnect.cancel();
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
  }
};

using TConnectionPtr = std::shared_ptr<TConnection>;

}  // namespace

struct TClientSocket::TImpl : std::enable_shared_from_this<TClientSocket::TImpl> {
  explicit TImpl(TClientSocket* pOwnerIn) : pOwner(pOwnerIn) {}

  TClientSocket* pOwner;        // null once the owner is gone
  TConnectionPtr pConn;         // the current connection (attempt), or null when inactive
  std::string sReceived;        // read bytes not taken by ReceiveText yet
  std::string sRemoteAddress;   // peer of the current or last connection
  std::string sLastError;       // text of the error behind the last OnError

  bool IsCurrent(const TConnectionPtr& pConnection) const {
    return pOwner != nullptr && pConn == pConnection && !pConnection->bClosed;
  }

  // Raises one event; the handler may destroy or rebind anything, so nothing is touched after it.
  template <typename TFn, typename... TArgs>
  void Raise(std::function<TFn> TClientSocket::*pEvent, TArgs&... args) {
    if (pOwner == nullptr) return;
    std::function<TFn> fn = pOwner->*pEvent;
    if (fn) fn(args...);
  }

  struct TAttempt {
    std::string sHost;
    int nPort = 0;
    int nTimeoutMs = 0;
    bool bTls = false;
    std::string sCaFile;
    bool bVerify = true;
  };
  void Begin(const TConnectionPtr& pConnection, const TAttempt& attempt);
  bool SetUpTls(const TConnectionPtr& pConnection, const TAttempt& attempt);
  void OnResolved(const TConnectionPtr& pConnection, const asio::error_code& ec,
                  const tcp::resolver::results_type& vEndpoints);
  void OnConnected(const TConnectionPtr& pConnection, const asio::error_code& ec, const tcp::endpoint& endpoint);
  void Established(const TConnectionPtr& pConnection);
  void StartRead(const TConnectionPtr& pConnection);
  void OnReadDone(const TConnectionPtr& pConnection, const asio::error_code& ec, size_t nBytes);
  void StartWrite(const TConnectionPtr& pConnection);
  void Fail(const TConnectionPtr& pConnection, const asio::error_code& ec, const std::string& sText);
  void PeerClosed(const TConnectionPtr& pConnection);
  void Forget(TConnectionPtr pConnection);  // by value: callers may pass pConn itself
};

void TClientSocket::TImpl::Begin(const TConnectionPtr& pConnection, const TAttempt& attempt) {
  if (!IsCurrent(pConnection)) return;
  auto self = shared_from_this();
  Raise(&TClientSocket::OnConnecting);
  if (!IsCurrent(pConnection)) return;
  if (attempt.bTls && !SetUpTls(pConnection, attempt)) return;
  pConnection->tmrConnect.expires_after(std::chrono::milliseconds(attempt.nTimeoutMs > 0 ? attempt.nTimeoutMs : 1));
  pConnection->tmrConnect.async_wait([self, pConnection](const asio::error_code& ec) {
    if (ec || !self->IsCurrent(pConnection) || pConnection->bConnected) return;
    self->Fail(pConnection, asio::error::timed_out, "");
  });
  pConnection->resolver.async_resolve(
      attempt.sHost, std::to_string(attempt.nPort), tcp::resolver::numeric_service,
      [self, pConnection](const asio::error_code& ec, const tcp::resolver::results_type& vEndpoints) {
        self->OnResolved(pConnection, ec, vEndpoints);
      });
}

// The context is made per attempt, so a replaced CA file is read at the next reconnection.
bool TClientSocket::TImpl::SetUpTls(const TConnectionPtr& pConnection, const TAttempt& attempt) {
  try {
    pConnection->pTlsContext = MakeTlsClientContext(attempt.sCaFile, attempt.bVerify);
    pConnection->pTls = std::make_unique<TTlsStream>(pConnection->socket, *pConnection->pTlsContext);
    if (attempt.bVerify) SetTlsPeerName(*pConnection->pTls, attempt.sHost);
    return true;
  } catch (const std::exception& e) {
    Fail(pConnection, asio::error::invalid_argument, std::string("TLS set-up failed: ") + e.what());
    return false;
  }
}

void TClientSocket::TImpl::OnResolved(const TConnectionPtr& pConnection, const asio::error_code& ec,
                                      const tcp::resolver::results_type& vEndpoints) {
  if (!IsCurrent(pConnection)) return;
  if (ec) return Fail(pConnection, ec, "");
  auto self = shared_from_this();
  asio::async_connect(pConnection->socket, vEndpoints,
                      [self, pConnection](const asio::error_code& ecConnect, const tcp::endpoint& endpoint) {
                        self->OnConnected(pConnection, ecConnect, endpoint);
                      });
}

void TClientSocket::TImpl::OnConnected(const TConnectionPtr& pConnection, const asio::error_code& ec,
                                       const tcp::endpoint& endpoint) {
  if (!IsCurrent(pConnection)) return;
  if (ec) return Fail(pConnection, ec, "");
  asio::error_code ecIgnored;
  pConnection->socket.set_option(tcp::no_delay(true), ecIgnored);  // small commands go out at once
  sRemoteAddress = endpoint.address().to_string();
  if (!pConnection->pTls) return Established(pConnection);
  auto self = shared_from_this();
  pConnection->pTls->async_handshake(asio::ssl::stream_base::client, [self, pConnection](const asio::error_code& ecTls) {
    if (!self->IsCurrent(pConnection)) return;
    if (ecTls) return self->Fail(pConnection, ecTls, "TLS handshake failed: " + TlsErrorText(*pConnection->pTls, ecTls));
    self->Established(pConnection);
  });
}

void TClientSocket::TImpl::Established(const TConnectionPtr& pConnection) {
  pConnection->bConnected = true;
  pConnection->tmrConnect.cancel();
  auto self = shared_from_this();
  Raise(&TClientSocket::OnConnect);
  if (!IsCurrent(pConnection)) return;
  StartRead(pConnection);
  StartWrite(pConnection);  // texts queued while connecting
}

void TClientSocket::TImpl::StartRead(const TConnectionPtr& pConnection) {
  auto self = shared_from_this();
  pConnection->AsyncReadSome(asio::buffer(pConnection->vReadBuffer),
                             [self, pConnection](const asio::error_code& ec, size_t nBytes) {
                               self->OnReadDone(pConnection, ec, nBytes);
                             });
}

void TClientSocket::TImpl::OnReadDone(const TConnectionPtr& pConnection, const asio::error_code& ec,
                                      size_t nBytes) {
  if (!IsCurrent(pConnection)) return;
  if (IsTlsPeerClose(ec)) return PeerClosed(pConnection);
  if (ec) return Fail(pConnection, ec, "");
  auto self = shared_from_this();
  sReceived.append(pConnection->vReadBuffer.data(), nBytes);
  Raise(&TClientSocket::OnRead);
  if (IsCurrent(pConnection)) StartRead(pConnection);
}

void TClientSocket::TImpl::StartWrite(const TConnectionPtr& pConnection) {
  if (pConnection->bWriting || !pConnection->bConnected || pConnection->vOutQueue.empty()) return;
  pConnection->bWriting = true;
  auto self = shared_from_this();
  pConnection->AsyncWrite(asio::buffer(pConnection->vOutQueue.front()),
                          [self, pConnection](const asio::error_code& ec, size_t) {
                            if (!self->IsCurrent(pConnection)) return;
                            pConnection->bWriting = false;
                            if (ec) return self->Fail(pConnection, ec, "");
                            pConnection->nQueuedBytes -= pConnection->vOutQueue.front().size();
                            pConnection->vOutQueue.pop_front();
                            self->StartWrite(pConnection);
                          });
}

// Closes and forgets the connection first, so the handler sees an inactive socket and may start anew.
void TClientSocket::TImpl::Forget(TConnectionPtr pConnection) {
  pConnection->Close();
  if (pConn == pConnection) pConn.reset();
}

void TClientSocket::TImpl::Fail(const TConnectionPtr& pConnection, const asio::error_code& ec,
                                const std::string& sText) {
  if (!IsCurrent(pConnection)) return;
  auto self = shared_from_this();
  Forget(pConnection);
  sLastError = sText.empty() ? ec.message() : sText;
  int nErrorCode = ec.value() != 0 ? ec.value() : -1;
  // An error the handler leaves unmarked has nowhere further to go: the connection is closed anyway.
  Raise(&TClientSocket::OnError, nErrorCode);
}

void TClientSocket::TImpl::PeerClosed(const TConnectionPtr& pConnection) {
  auto self = shared_from_this();
  Forget(pConnection);
  Raise(&TClientSocket::OnDisconnect);
}

TClientSocket::TClientSocket() : pImpl(std::make_shared<TImpl>(this)) {}

TClientSocket::~TClientSocket() {
  pImpl->pOwner = nullptr;
  if (pImpl->pConn) pImpl->Forget(pImpl->pConn);
}

void TClientSocket::SetActive(bool bActive) {
  TImpl& impl = *pImpl;
  if (!bActive) {
    if (impl.pConn) impl.Forget(impl.pConn);
    return;
  }
  if (impl.pConn) return;  // already opening or open
  asio::io_context& ioc = TControlLoop::Instance().Context();
  impl.pConn = std::make_shared<TConnection>(ioc);
  impl.sReceived.clear();
  impl.sRemoteAddress.clear();
  // OnConnecting is raised from the loop, never from inside the caller's SetActive.
  const TImpl::TAttempt attempt{Host, Port, nConnectTimeoutMs, bTls, sTlsCaFile, bTlsVerify};
  asio::post(ioc, [self = pImpl, pConnection = impl.pConn, attempt] { self->Begin(pConnection, attempt); });
}

bool TClientSocket::Active() const { return pImpl->pConn != nullptr; }

std::string TClientSocket::RemoteAddress() const { return pImpl->sRemoteAddress; }

int TClientSocket::SendText(const std::string& sBytes) {
  TImpl& impl = *pImpl;
  const TConnectionPtr pConnection = impl.pConn;
  if (!pConnection || pConnection->bFailing || sBytes.empty()) return 0;
  if (pConnection->nQueuedBytes + sBytes.size() > nMaxQueuedBytes) {
    // The peer does not read what we send; cut it off from the loop, not from inside the caller.
    pConnection->bFailing = true;
    asio::post(TControlLoop::Instance().Context(), [self = pImpl, pConnection] {
      self->Fail(pConnection, asio::error::no_buffer_space, "Output queue over its limit");
    });
    return 0;
  }
  pConnection->vOutQueue.push_back(sBytes);
  pConnection->nQueuedBytes += sBytes.size();
  impl.StartWrite(pConnection);
  return static_cast<int>(sBytes.size());
}

std::string TClientSocket::ReceiveText() { return std::exchange(pImpl->sReceived, std::string()); }

std::string TClientSocket::LastErrorText() const { return pImpl->sLastError; }
