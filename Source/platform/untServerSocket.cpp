// TServerSocket on Asio: the client listener and its open connections, all on the control thread
// (TControlLoop's io_context); there is no thread per connection.
//
// One TSession per accepted peer (Asio chat_server style), kept in vSessions in accept order. A
// session is listed from before OnAccept until after its OnClientDisconnect has returned, so the
// connection an event names is always among Connections(0..ActiveConnections()-1) during it.
//
//   accept --> list it, OnAccept, OnClientConnect --> wait readable --> read piece (<= 64 KiB into
//   the listener's one buffer) --> OnClientRead (ReceiveText gives the piece) --> wait readable ...
//   peer closes (EOF)           --> OnClientDisconnect, unlist, close
//   read failure (reset, ...)   --> OnClientError, OnClientDisconnect, unlist, close
//   send failure                --> posted: OnClientError, OnClientDisconnect, unlist, close
//   output above the bound      --> close at once, posted: OnClientOverflow, OnClientDisconnect, unlist
//   SetActive(false)            --> flush what the kernel takes now, close everything, no event
//
// Output: SendText writes at once as far as the kernel takes it without blocking; the rest waits
// in the session's queue and goes out when the socket is writable again (write_in_progress is
// bWaitingWrite). A client that lets more than nMaxQueuedBytes pile up is cut off, so one client
// that never reads costs at most that much memory and never delays the others.
//
// Invariant: events that end a connection are never raised from inside SendText; they are posted
// and run after the current handler returns, so the list of connections never changes under a
// caller's loop and no TServerConnection pointer dangles while it runs. Completions hold their
// session by shared_ptr and do nothing once it is closed or ending.
#include "platform/untServerSocket.h"

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <deque>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/untControlLoop.h"

namespace {

constexpr size_t READ_PIECE_BYTES = 64 * 1024;
constexpr size_t DRAIN_LIMIT_BYTES = 1024 * 1024;  // unread input discarded at a graceful close
constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(100);

using tcp = asio::ip::tcp;

bool IsWouldBlock(const asio::error_code& ec) {
  return ec == asio::error::would_block || ec == asio::error::try_again;
}

// Errors of accept() that say the process is short of resources; retrying at once would spin.
bool IsResourceShortage(const asio::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec.value() == ENFILE;
}

}  // namespace

struct TServerSocket::TImpl : std::enable_shared_from_this<TServerSocket::TImpl> {
  class TSession;
  using TSessionPtr = std::shared_ptr<TSession>;

  explicit TImpl(TServerSocket* pOwnerIn)
      : ioc(TControlLoop::Instance().Context()), tmrAcceptRetry(ioc), pOwner(pOwnerIn) {}

  asio::io_context& ioc;                            // the control thread's loop
  std::shared_ptr<tcp::acceptor> pAcceptor;         // the listener while active, else null
  asio::steady_timer tmrAcceptRetry;                // pause after accept failed for lack of resources
  std::vector<TSessionPtr> vSessions;               // open connections in accept order
  std::array<char, READ_PIECE_BYTES> vReadBuffer;   // every read lands here; valid during OnClientRead
  TServerSocket* pOwner;                            // null once the owner is gone

  bool IsListed(const TSession* pSession) const {
    return std::any_of(vSessions.begin(), vSessions.end(),
                       [pSession](const TSessionPtr& p) { return p.get() == pSession; });
  }

  // Raises one event. The function object is copied first, so a handler may rebind events; an
  // exception a handler lets through is dropped here, so nothing reaches the event loop.
  template <typename TFn, typename... TArgs>
  void Raise(std::function<TFn> TServerSocket::*pEvent, TArgs&... args) {
    if (pOwner == nullptr) return;
    std::function<TFn> fn = pOwner->*pEvent;
    if (!fn) return;
    try {
      fn(args...);
    } catch (...) {
    }
  }

  void StartAccept();
  void OnAccepted(tcp::socket socket);
  void RetryAccept(const std::shared_ptr<tcp::acceptor>& pAcc, const asio::error_code& ec);
  void ReadPiece(const TSessionPtr& pSession);
  void EndSession(const TSessionPtr& pSession, int nErrorCode, bool bOverflow);
  void CloseAll();
};

// One accepted peer. Control thread only.
class TServerSocket::TImpl::TSession : public TServerConnection,
                                       public std::enable_shared_from_this<TServerSocket::TImpl::TSession> {
 public:
  TSession(std::weak_ptr<TImpl> wServerIn, tcp::socket socketIn, std::string sAddressIn, int nPortIn,
           size_t nMaxQueuedBytesIn)
      : socket(std::move(socketIn)), wServer(std::move(wServerIn)), sAddress(std::move(sAddressIn)),
        nPort(nPortIn), nMaxQueuedBytes(nMaxQueuedBytesIn) {}

  std::string RemoteAddress() const override { return sAddress; }
  int RemotePort() const override { return nPort; }
  size_t QueuedBytes() const override { return nQueuedBytes; }

  std::string ReceiveText() override {
    std::string sPiece(svUnread);
    svUnread = {};
    return sPiece;
  }

  int SendText(const std::string& sBytes) override {
    if (bClosed || bEnding || sBytes.empty()) return 0;
    vOutQueue.push_back(sBytes);
    nQueuedBytes += sBytes.size();
    if (!bWaitingWrite) Flush(false);
    if (bEnding) return 0;
    if (nQueuedBytes > nMaxQueuedBytes) {
      CutOff();
      return 0;
    }
    return static_cast<int>(sBytes.size());
  }

  void WaitReadable() {
    socket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
      if (self->bClosed || self->bEnding) return;
      std::shared_ptr<TImpl> pServer = self->wServer.lock();
      if (!pServer) return;
      if (ec)
        pServer->EndSession(self, ec.value(), false);
      else
        pServer->ReadPiece(self);
    });
  }

  // Closes the socket; no event. bGraceful first hands the kernel whatever output it takes now
  // (the stop notice, for one) and discards pending input, so the close is a FIN, not a reset.
  void Close(bool bGraceful) {
    if (bClosed) return;
    bClosed = true;
    asio::error_code ec;
    if (bGraceful && !bEnding) {
      Flush(true);
      socket.shutdown(tcp::socket::shutdown_send, ec);
      DrainInput();
    }
    vOutQueue.clear();
    nQueuedBytes = 0;
    socket.close(ec);
  }

  tcp::socket socket;
  std::weak_ptr<TImpl> wServer;
  std::string_view svUnread;  // the piece of the current read event, in the listener's buffer
  bool bClosed = false;       // socket closed: completions are ignored, no output is taken
  bool bEnding = false;       // a failure or cut-off is posted: no output is taken, no read raised

 private:
  // Writes the queue as far as the kernel takes it. bFinal (at close): never waits, never fails.
  void Flush(bool bFinal) {
    asio::error_code ec;
    while (!vOutQueue.empty()) {
      const std::string& sFront = vOutQueue.front();
      const size_t n = socket.write_some(asio::buffer(sFront.data() + nFrontOffset, sFront.size() - nFrontOffset), ec);
      if (ec == asio::error::interrupted) continue;
      if (IsWouldBlock(ec)) {
        if (!bFinal) WaitWritable();
        return;
      }
      if (ec) {
        if (!bFinal) Fail(ec);
        return;
      }
      nFrontOffset += n;
      nQueuedBytes -= n;
      if (nFrontOffset == sFront.size()) {
        vOutQueue.pop_front();
        nFrontOffset = 0;
      }
    }
  }

  void WaitWritable() {
    bWaitingWrite = true;
    socket.async_wait(tcp::socket::wait_write, [self = shared_from_this()](const asio::error_code& ec) {
      self->bWaitingWrite = false;
      if (self->bClosed || self->bEnding) return;
      if (ec)
        self->Fail(ec);
      else
        self->Flush(false);
    });
  }

  void DrainInput() {
    std::array<char, 4096> vScratch;
    asio::error_code ec;
    for (size_t nTotal = 0; nTotal < DRAIN_LIMIT_BYTES;) {
      const size_t n = socket.read_some(asio::buffer(vScratch), ec);
      if (ec) return;
      nTotal += n;
    }
  }

  // The end is raised later, from the loop, never from inside the caller's SendText.
  void PostEnd(int nErrorCode, bool bOverflow) {
    bEnding = true;
    vOutQueue.clear();
    nQueuedBytes = 0;
    nFrontOffset = 0;
    std::shared_ptr<TImpl> pServer = wServer.lock();
    if (!pServer) return;
    asio::post(pServer->ioc, [pServer, self = shared_from_this(), nErrorCode, bOverflow] {
      pServer->EndSession(self, nErrorCode, bOverflow);
    });
  }

  void Fail(const asio::error_code& ec) { PostEnd(ec.value() != 0 ? ec.value() : -1, false); }

  void CutOff() {
    PostEnd(0, true);
    asio::error_code ec;
    socket.close(ec);  // the memory and the socket go now; the events follow
  }

  const std::string sAddress;         // dotted IPv4 text of the peer
  const int nPort;                    // peer's port
  const size_t nMaxQueuedBytes;       // output bound, copied from the listener at accept
  std::deque<std::string> vOutQueue;  // output not yet taken by the kernel, in order
  size_t nFrontOffset = 0;            // bytes of vOutQueue.front() already written
  size_t nQueuedBytes = 0;            // bytes in vOutQueue minus nFrontOffset
  bool bWaitingWrite = false;         // an async wait for writability is outstanding
};

void TServerSocket::TImpl::StartAccept() {
  std::shared_ptr<tcp::acceptor> pAcc = pAcceptor;
  if (!pAcc) return;
  pAcc->async_accept([self = shared_from_this(), pAcc](const asio::error_code& ec, tcp::socket socket) {
    if (self->pAcceptor != pAcc || self->pOwner == nullptr) return;  // deactivated meanwhile
    if (ec) {
      self->RetryAccept(pAcc, ec);
      return;
    }
    self->OnAccepted(std::move(socket));
    if (self->pAcceptor == pAcc) self->StartAccept();
  });
}

void TServerSocket::TImpl::RetryAccept(const std::shared_ptr<tcp::acceptor>& pAcc, const asio::error_code& ec) {
  if (ec == asio::error::operation_aborted) return;
  if (!IsResourceShortage(ec)) {
    StartAccept();  // e.g. the peer gave up before we took it
    return;
  }
  const std::string sReason = ec.message();
  Raise(&TServerSocket::OnAcceptError, sReason);
  if (pAcceptor != pAcc) return;  // the handler stopped the listener
  tmrAcceptRetry.expires_after(ACCEPT_RETRY_DELAY);
  tmrAcceptRetry.async_wait([self = shared_from_this(), pAcc](const asio::error_code& ecWait) {
    if (!ecWait && self->pAcceptor == pAcc) self->StartAccept();
  });
}

void TServerSocket::TImpl::OnAccepted(tcp::socket socket) {
  asio::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;  // the peer left before we looked; the socket closes with this scope
  socket.non_blocking(true, ec);
  if (ec) return;
  socket.set_option(tcp::no_delay(true), ec);  // prompts and events are small: send them now
  auto pSession = std::make_shared<TSession>(weak_from_this(), std::move(socket), peer.address().to_string(),
                                             peer.port(), pOwner->nMaxQueuedBytes);
  vSessions.push_back(pSession);
  Raise(&TServerSocket::OnAccept, *pSession);
  if (!IsListed(pSession.get())) return;
  Raise(&TServerSocket::OnClientConnect, *pSession);
  if (!IsListed(pSession.get())) return;
  pSession->WaitReadable();
}

void TServerSocket::TImpl::ReadPiece(const TSessionPtr& pSession) {
  asio::error_code ec;
  size_t n = 0;
  do {
    n = pSession->socket.read_some(asio::buffer(vReadBuffer), ec);
  } while (ec == asio::error::interrupted);
  if (IsWouldBlock(ec)) {
    pSession->WaitReadable();
    return;
  }
  if (ec == asio::error::eof) {
    EndSession(pSession, 0, false);
    return;
  }
  if (ec) {
    EndSession(pSession, ec.value(), false);
    return;
  }
  pSession->svUnread = std::string_view(vReadBuffer.data(), n);
  Raise(&TServerSocket::OnClientRead, *pSession);
  pSession->svUnread = {};  // a piece the handler did not take is dropped with the event
  if (!pSession->bClosed && !pSession->bEnding && IsListed(pSession.get())) pSession->WaitReadable();
}

// The end of one connection: the error or overflow event, then the disconnect event, then it
// leaves the list. A handler that deactivates the listener meanwhile suppresses what is left.
void TServerSocket::TImpl::EndSession(const TSessionPtr& pSession, int nErrorCode, bool bOverflow) {
  pSession->bEnding = true;
  if (!IsListed(pSession.get())) return;
  if (bOverflow) {
    Raise(&TServerSocket::OnClientOverflow, *pSession);
  } else if (nErrorCode != 0) {
    int nCode = nErrorCode;
    Raise(&TServerSocket::OnClientError, *pSession, nCode);
  }
  if (!IsListed(pSession.get())) return;
  Raise(&TServerSocket::OnClientDisconnect, *pSession);
  auto it = std::find(vSessions.begin(), vSessions.end(), pSession);
  if (it != vSessions.end()) vSessions.erase(it);
  pSession->Close(false);
}

void TServerSocket::TImpl::CloseAll() {
  asio::error_code ec;
  if (pAcceptor) {
    pAcceptor->close(ec);
    pAcceptor.reset();
  }
  tmrAcceptRetry.cancel();
  std::vector<TSessionPtr> vClosing;
  vClosing.swap(vSessions);
  for (const TSessionPtr& pSession : vClosing) pSession->Close(true);
}

TServerSocket::TServerSocket() : pImpl(std::make_shared<TImpl>(this)) {}

TServerSocket::~TServerSocket() {
  pImpl->pOwner = nullptr;
  pImpl->CloseAll();
}

void TServerSocket::SetActive(bool bActive) {
  TImpl& impl = *pImpl;
  if (!bActive) {
    impl.CloseAll();
    return;
  }
  if (impl.pAcceptor) return;
  if (Port < 0 || Port > 65535) throw std::runtime_error("Port " + std::to_string(Port) + " is out of range");
  auto pAcc = std::make_shared<tcp::acceptor>(impl.ioc);
  const tcp::endpoint local(tcp::v4(), static_cast<unsigned short>(Port));
  asio::error_code ec;
  const auto Check = [&](const char* sStep) {
    if (ec) throw std::runtime_error(std::string("Could not ") + sStep + " port " + std::to_string(Port) + ": " + ec.message());
  };
  pAcc->open(local.protocol(), ec);
  Check("open a socket for");
  pAcc->set_option(tcp::acceptor::reuse_address(true), ec);
  Check("set SO_REUSEADDR on");
  pAcc->bind(local, ec);
  Check("bind");
  pAcc->listen(asio::socket_base::max_listen_connections, ec);
  Check("listen on");
  impl.pAcceptor = pAcc;
  impl.StartAccept();
  impl.Raise(&TServerSocket::OnListen);
}

bool TServerSocket::Active() const { return pImpl->pAcceptor != nullptr; }

int TServerSocket::LocalPort() const {
  if (!pImpl->pAcceptor) return 0;
  asio::error_code ec;
  const tcp::endpoint local = pImpl->pAcceptor->local_endpoint(ec);
  return ec ? 0 : local.port();
}

int TServerSocket::ActiveConnections() const { return static_cast<int>(pImpl->vSessions.size()); }

TServerConnection* TServerSocket::Connections(int nIndex) {
  if (nIndex < 0 || nIndex >= ActiveConnections()) return nullptr;
  return pImpl->vSessions[static_cast<size_t>(nIndex)].get();
}
