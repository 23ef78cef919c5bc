// TClientSocket on Asio: one outgoing TCP connection whose outcomes arrive as events on the control
// thread (TControlLoop's io_context).
//
// Every SetActive(true) makes a fresh TConnection: resolver, socket, connect timer, read buffer
// and output queue of that one attempt. Asio completions hold their TConnection alive by
// shared_ptr and act only while it is still the socket's current connection and not closed, so a
// newer connection never sees completions of an older one, and a closed one raises nothing.
//
//   SetActive(true) --post--> OnConnecting, resolve --> connect (bounded by nConnectTimeoutMs)
//        --> OnConnect --> read piece (<= 64 KiB) --> OnRead --> read piece ...
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

  void Begin(const TConnectionPtr& pConnection, const std::string& sHost, int nPort, int nTimeoutMs);
  void OnResolved(const TConnectionPtr& pConnection, const asio::error_code& ec,
                  const tcp::resolver::results_type& vEndpoints);
  void OnConnected(const TConnectionPtr& pConnection, const asio::error_code& ec, const tcp::endpoint& endpoint);
  void StartRead(const TConnectionPtr& pConnection);
  void OnReadDone(const TConnectionPtr& pConnection, const asio::error_code& ec, size_t nBytes);
  void StartWrite(const TConnectionPtr& pConnection);
  void Fail(const TConnectionPtr& pConnection, const asio::error_code& ec, const std::string& sText);
  void PeerClosed(const TConnectionPtr& pConnection);
  void Forget(TConnectionPtr pConnection);  // by value: callers may pass pConn itself
};

void TClientSocket::TImpl::Begin(const TConnectionPtr& pConnection, const std::string& sHost, int nPort,
                                 int nTimeoutMs) {
  if (!IsCurrent(pConnection)) return;
  auto self = shared_from_this();
  Raise(&TClientSocket::OnConnecting);
  if (!IsCurrent(pConnection)) return;
  pConnection->tmrConnect.expires_after(std::chrono::milliseconds(nTimeoutMs > 0 ? nTimeoutMs : 1));
  pConnection->tmrConnect.async_wait([self, pConnection](const asio::error_code& ec) {
    if (ec || !self->IsCurrent(pConnection) || pConnection->bConnected) return;
    self->Fail(pConnection, asio::error::timed_out, "");
  });
  pConnection->resolver.async_resolve(
      sHost, std::to_string(nPort), tcp::resolver::numeric_service,
      [self, pConnection](const asio::error_code& ec, const tcp::resolver::results_type& vEndpoints) {
        self->OnResolved(pConnection, ec, vEndpoints);
      });
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
  pConnection->bConnected = true;
  pConnection->tmrConnect.cancel();
  asio::error_code ecIgnored;
  pConnection->socket.set_option(tcp::no_delay(true), ecIgnored);  // small commands go out at once
  sRemoteAddress = endpoint.address().to_string();
  auto self = shared_from_this();
  Raise(&TClientSocket::OnConnect);
  if (!IsCurrent(pConnection)) return;
  StartRead(pConnection);
  StartWrite(pConnection);  // texts queued while connecting
}

void TClientSocket::TImpl::StartRead(const TConnectionPtr& pConnection) {
  auto self = shared_from_this();
  pConnection->socket.async_read_some(asio::buffer(pConnection->vReadBuffer),
                                      [self, pConnection](const asio::error_code& ec, size_t nBytes) {
                                        self->OnReadDone(pConnection, ec, nBytes);
                                      });
}

void TClientSocket::TImpl::OnReadDone(const TConnectionPtr& pConnection, const asio::error_code& ec,
                                      size_t nBytes) {
  if (!IsCurrent(pConnection)) return;
  if (ec == asio::error::eof) return PeerClosed(pConnection);
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
  asio::async_write(pConnection->socket, asio::buffer(pConnection->vOutQueue.front()),
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
  asio::post(ioc, [self = pImpl, pConnection = impl.pConn, sHost = Host, nPort = Port,
                   nTimeoutMs = nConnectTimeoutMs] { self->Begin(pConnection, sHost, nPort, nTimeoutMs); });
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
