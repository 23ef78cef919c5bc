// Client sessions of TServerSocket; see untServerSession.h for the states.
//
// The output queue holds views into shared buffers (the fan-out gives many sessions the same
// frames without a copy each); the session holds each buffer until its piece is written.
// Plain sessions write at once, as far as the kernel takes it without blocking, gathering the
// queued pieces into one system call; the rest waits in the queue and goes out when the socket
// is writable again (Asio chat_server's write_in_progress
// is bWaitingWrite). They read into the listener's one 1 MiB buffer, synchronously once the socket
// is readable, everything the kernel holds at that moment, so a hundred idle sessions hold no read
// buffer each and one client write that arrived whole is one read event.
// TLS sessions go through asio::ssl: one asynchronous read at a time into their own buffer (a TLS
// record holds at most 16 KiB); while more plaintext is buffered or more bytes wait in the kernel,
// the pieces are gathered (up to the same 1 MiB) before the read event, so a client write of many
// records that arrived together is one read event as on the plain port. One asynchronous write at
// a time; the bytes of the write in flight are copied out of the queue into sWriting, so dropping
// the queue never frees a buffer in use.
#include "platform/untServerSession.h"

#include <chrono>

#include "platform/untTls.h"

namespace {

using tcp = asio::ip::tcp;

constexpr size_t DRAIN_LIMIT_BYTES = 1024 * 1024;       // unread input discarded at a graceful close
constexpr size_t TLS_READ_PIECE_BYTES = 16 * 1024;      // one TLS record's plaintext at most
constexpr size_t TLS_WRITE_BYTES = 64 * 1024;           // queued output joined into one TLS write
constexpr size_t MAX_GATHER = 64;                       // pieces in one plain write (far below IOV_MAX)
constexpr auto TLS_DRAIN_TIME = std::chrono::seconds(2);  // queued output's last chance at a graceful close
constexpr auto TLS_GATHER_TIME = std::chrono::milliseconds(200);  // wait for a next record after a full one

bool IsWouldBlock(const asio::error_code& ec) {
  return ec == asio::error::would_block || ec == asio::error::try_again;
}

}  // namespace

// ---- Common to both kinds ----

TServerSession::TServerSession(std::weak_ptr<TSessionHost> wHostIn, tcp::socket socketIn, std::string sAddressIn,
                               int nPortIn, size_t nMaxQueuedBytesIn)
    : socket(std::move(socketIn)), wHost(std::move(wHostIn)), sAddress(std::move(sAddressIn)), nPort(nPortIn),
      nMaxQueuedBytes(nMaxQueuedBytesIn), tmrDeadline(socket.get_executor()) {}

std::string TServerSession::ReceiveText() {
  std::string sPiece(svUnread);
  svUnread = {};
  return sPiece;
}

void TServerSession::SetDeadline(int nMilliseconds) {
  ++nDeadlineGeneration;
  tmrDeadline.cancel();
  if (nMilliseconds <= 0 || bClosed || bEnding) return;
  tmrDeadline.expires_after(std::chrono::milliseconds(nMilliseconds));
  tmrDeadline.async_wait([self = shared_from_this(), nGeneration = nDeadlineGeneration](const asio::error_code& ec) {
    if (ec || nGeneration != self->nDeadlineGeneration || self->bClosed || self->bEnding) return;
    std::shared_ptr<TSessionHost> pHost = self->Host();
    if (pHost && (pHost->IsListed(self.get()) || pHost->IsHeld(self.get()))) pHost->SessionTimeout(*self);
  });
}

void TServerSession::Close() {
  if (bClosed || bEnding) return;
  PostEnd(SESSION_END_CLOSED, 0);
  CloseSocket();
}

void TServerSession::PostEnd(TSessionEnd_OPT tEnd, int nErrorCode) {
  bEnding = true;
  vOutQueue.clear();
  nQueuedBytes = 0;
  nFrontOffset = 0;
  std::shared_ptr<TSessionHost> pHost = Host();
  if (!pHost) return;
  asio::post(pHost->Context(), [pHost, self = shared_from_this(), tEnd, nErrorCode] {
    pHost->SessionEnd(self, tEnd, nErrorCode, "");
  });
}

void TServerSession::CutOff() {
  PostEnd(SESSION_END_OVERFLOW, 0);
  CloseSocket();  // the memory and the socket go now; the events follow
}

void TServerSession::CloseSocket() {
  bClosed = true;
  ++nDeadlineGeneration;
  tmrDeadline.cancel();
  asio::error_code ec;
  socket.close(ec);
}

void TServerSession::DrainInput() {
  std::array<char, 4096> vScratch;
  asio::error_code ec;
  for (size_t nTotal = 0; nTotal < DRAIN_LIMIT_BYTES;) {
    const size_t n = socket.read_some(asio::buffer(vScratch), ec);
    if (ec) return;
    nTotal += n;
  }
}

int TServerSession::SendText(const std::string& sBytes) {
  if (sBytes.empty()) return 0;
  auto pOwner = std::make_shared<const std::string>(sBytes);
  const std::string_view svBytes(*pOwner);
  return SendShared(pOwner, {&svBytes, 1});
}

size_t TServerSession::Enqueue(const std::shared_ptr<const std::string>& pOwner,
                               std::span<const std::string_view> vPieces) {
  size_t nBytes = 0;
  for (std::string_view svPiece : vPieces) {
    if (svPiece.empty()) continue;
    vOutQueue.push_back({pOwner, svPiece});
    nBytes += svPiece.size();
  }
  nQueuedBytes += nBytes;
  return nBytes;
}

void TServerSession::Consume(size_t nBytes) {
  nQueuedBytes -= nBytes;
  while (nBytes > 0 && !vOutQueue.empty()) {
    const size_t nLeft = vOutQueue.front().svBytes.size() - nFrontOffset;
    if (nBytes < nLeft) {
      nFrontOffset += nBytes;
      return;
    }
    nBytes -= nLeft;
    vOutQueue.pop_front();
    nFrontOffset = 0;
  }
}

// ---- Plain TCP ----

namespace {

class TPlainSession final : public TServerSession {
 public:
  using TServerSession::TServerSession;

  int SendShared(const std::shared_ptr<const std::string>& pOwner,
                 std::span<const std::string_view> vPieces) override {
    if (!bAdmitted || bClosed || bEnding) return 0;
    const size_t nBytes = Enqueue(pOwner, vPieces);
    if (nBytes == 0) return 0;
    if (!bWaitingWrite) Flush(false);
    if (bEnding) return 0;
    if (nQueuedBytes > nMaxQueuedBytes) {
      CutOff();
      return 0;
    }
    return static_cast<int>(nBytes);
  }

  void Begin() override { WaitReadable(); }

  // bGraceful first hands the kernel whatever output it takes now (the stop notice, for one).
  void Shut(bool bGraceful) override {
    if (bClosed) return;
    if (bGraceful && !bEnding) {
      Flush(true);
      asio::error_code ec;
      socket.shutdown(tcp::socket::shutdown_send, ec);
      DrainInput();
    }
    vOutQueue.clear();
    nQueuedBytes = 0;
    CloseSocket();
  }

 private:
  std::shared_ptr<TPlainSession> Self() { return std::static_pointer_cast<TPlainSession>(shared_from_this()); }

  void WaitReadable() {
    socket.async_wait(tcp::socket::wait_read, [self = Self()](const asio::error_code& ec) {
      if (self->bClosed || self->bEnding) return;
      std::shared_ptr<TSessionHost> pHost = self->Host();
      if (!pHost) return;
      if (ec)
        pHost->SessionEnd(self, SESSION_END_ERROR, ec.value(), "");
      else
        self->ReadPiece(*pHost);
    });
  }

  void ReadPiece(TSessionHost& host) {
    std::array<char, SESSION_READ_PIECE_BYTES>& vBuffer = host.ReadBuffer();
    asio::error_code ec;
    size_t nPiece = 0;
    while (nPiece < vBuffer.size()) {  // everything available now, up to the bound
      const size_t n = socket.read_some(asio::buffer(vBuffer.data() + nPiece, vBuffer.size() - nPiece), ec);
      if (ec == asio::error::interrupted) continue;
      if (ec) break;
      nPiece += n;
    }
    if (nPiece > 0) {
      svUnread = std::string_view(vBuffer.data(), nPiece);
      host.SessionRead(*this);
      svUnread = {};  // a piece the handler did not take is dropped with the event
      if (bClosed || bEnding || !host.IsListed(this)) return;
    }
    // An end the kernel reported behind the data comes after the data's read event.
    if (ec == asio::error::eof) return host.SessionEnd(Self(), SESSION_END_CLOSED, 0, "");
    if (ec && !IsWouldBlock(ec)) return host.SessionEnd(Self(), SESSION_END_ERROR, ec.value(), "");
    WaitReadable();
  }

  // Writes the queue as far as the kernel takes it, up to MAX_GATHER pieces per system call.
  // bFinal (at close): never waits, never fails.
  void Flush(bool bFinal) {
    asio::error_code ec;
    while (!vOutQueue.empty()) {
      std::array<asio::const_buffer, MAX_GATHER> vBuffers;
      size_t nBuffers = 0;
      for (auto it = vOutQueue.begin(); it != vOutQueue.end() && nBuffers < MAX_GATHER; ++it, ++nBuffers) {
        const size_t nSkip = nBuffers == 0 ? nFrontOffset : 0;
        vBuffers[nBuffers] = asio::buffer(it->svBytes.data() + nSkip, it->svBytes.size() - nSkip);
      }
      const size_t n = socket.write_some(std::span<const asio::const_buffer>(vBuffers.data(), nBuffers), ec);
      if (ec == asio::error::interrupted) continue;
      if (IsWouldBlock(ec)) {
        if (!bFinal) WaitWritable();
        return;
      }
      if (ec) {
        if (!bFinal) Fail(ec);
        return;
      }
      Consume(n);
    }
  }

  void WaitWritable() {
    bWaitingWrite = true;
    socket.async_wait(tcp::socket::wait_write, [self = Self()](const asio::error_code& ec) {
      self->bWaitingWrite = false;
      if (self->bClosed || self->bEnding) return;
      if (ec)
        self->Fail(ec);
      else
        self->Flush(false);
    });
  }

  bool bWaitingWrite = false;  // an async wait for writability is outstanding
};

// ---- TLS ----

class TTlsSession final : public TServerSession {
 public:
  TTlsSession(std::weak_ptr<TSessionHost> wHostIn, tcp::socket socketIn, std::string sAddressIn, int nPortIn,
              size_t nMaxQueuedBytesIn, std::shared_ptr<asio::ssl::context> pContextIn)
      : TServerSession(std::move(wHostIn), std::move(socketIn), std::move(sAddressIn), nPortIn, nMaxQueuedBytesIn),
        pContext(std::move(pContextIn)), stream(socket, *pContext), tmrDrain(socket.get_executor()),
        tmrGather(socket.get_executor()) {}

  int SendShared(const std::shared_ptr<const std::string>& pOwner,
                 std::span<const std::string_view> vPieces) override {
    if (!bAdmitted || bClosed || bEnding || bDraining) return 0;
    const size_t nBytes = Enqueue(pOwner, vPieces);
    if (nBytes == 0) return 0;
    if (nQueuedBytes > nMaxQueuedBytes) {
      CutOff();
      return 0;
    }
    StartWrite();
    return static_cast<int>(nBytes);
  }

  void Begin() override {
    stream.async_handshake(asio::ssl::stream_base::server, [self = Self()](const asio::error_code& ec) {
      if (self->bClosed || self->bEnding) return;
      std::shared_ptr<TSessionHost> pHost = self->Host();
      if (!pHost) return;
      // A peer that just leaves (a port scan, a desk giving up) is a close, not a TLS failure.
      if (IsTlsPeerClose(ec)) return pHost->SessionEnd(self, SESSION_END_CLOSED, 0, "");
      if (ec) return pHost->SessionEnd(self, SESSION_END_TLS, 0, TlsErrorText(self->stream, ec));
      self->bHandshaken = true;
      self->StartRead();
      self->StartWrite();  // what was sent during the handshake
    });
  }

  // Graceful: the queued output (the stop notice) is written for at most TLS_DRAIN_TIME first.
  void Shut(bool bGraceful) override {
    if (bClosed || bDraining) return;
    if (bGraceful && !bEnding && bHandshaken && nQueuedBytes > 0) {
      bDraining = true;
      tmrDrain.expires_after(TLS_DRAIN_TIME);
      tmrDrain.async_wait([self = Self()](const asio::error_code& ec) {
        if (!ec) self->CloseSocket();
      });
      StartWrite();
      return;
    }
    vOutQueue.clear();
    nQueuedBytes = 0;
    CloseSocket();
  }

 private:
  std::shared_ptr<TTlsSession> Self() { return std::static_pointer_cast<TTlsSession>(shared_from_this()); }

  void StartRead() {
    stream.async_read_some(asio::buffer(vReadBuffer), [self = Self()](const asio::error_code& ec, size_t n) {
      if (self->bClosed || self->bEnding || self->bDraining) return;
      std::shared_ptr<TSessionHost> pHost = self->Host();
      if (!pHost) return;
      if (IsTlsPeerClose(ec)) return pHost->SessionEnd(self, SESSION_END_CLOSED, 0, "");
      if (ec) return pHost->SessionEnd(self, SESSION_END_ERROR, ec.value(), "");
      self->TakePiece(*pHost, n);
    });
  }

  // A client write of more than one record arrives record by record, each from its own send of the
  // client's TLS stack. While more is already there (buffered plaintext or bytes in the kernel), or
  // the piece filled a whole record so the rest of the write is on its way, the pieces are gathered,
  // up to the 1 MiB of a plain read; a write that ends exactly at a record's end waits
  // TLS_GATHER_TIME for a next record that does not come.
  void TakePiece(TSessionHost& host, size_t n) {
    ++nGatherRound;  // a pending grace timer of the pieces before this one no longer applies
    asio::error_code ec;
    const bool bMore = SSL_pending(stream.native_handle()) > 0 || socket.available(ec) > 0;
    const bool bRoom = sGathered.size() + n + vReadBuffer.size() <= SESSION_READ_PIECE_BYTES;
    if (sGathered.empty() && !bMore && n < vReadBuffer.size()) {  // the common case: one record, no copy
      svUnread = std::string_view(vReadBuffer.data(), n);
      return Deliver(host);
    }
    sGathered.append(vReadBuffer.data(), n);
    if (!bRoom) return Deliver(host);
    if (!bMore) WaitForNextRecord();
    StartRead();
  }

  void WaitForNextRecord() {
    tmrGather.expires_after(TLS_GATHER_TIME);
    tmrGather.async_wait([self = Self(), nRound = nGatherRound](const asio::error_code& ec) {
      if (ec || nRound != self->nGatherRound || self->sGathered.empty()) return;
      if (self->bClosed || self->bEnding || self->bDraining) return;
      std::shared_ptr<TSessionHost> pHost = self->Host();
      if (!pHost) return;
      ++self->nGatherRound;
      self->DeliverGathered(*pHost);  // the read in flight stays; its piece starts the next event
    });
  }

  // The read event of svUnread (or of the gathered pieces), then the next read.
  void Deliver(TSessionHost& host) {
    if (svUnread.empty()) svUnread = sGathered;
    host.SessionRead(*this);
    svUnread = {};
    ReleaseGathered();
    if (!bClosed && !bEnding && host.IsListed(this)) StartRead();
  }

  void DeliverGathered(TSessionHost& host) {
    svUnread = sGathered;
    host.SessionRead(*this);
    svUnread = {};
    ReleaseGathered();
  }

  // An idle session keeps no large buffer.
  void ReleaseGathered() {
    if (sGathered.capacity() > vReadBuffer.size()) sGathered = std::string();
    sGathered.clear();
  }

  // The stream encrypts one buffer at a time, so the front pieces are joined, up to
  // TLS_WRITE_BYTES (or the one larger piece), into records as full as they go.
  void StartWrite() {
    if (bWriting || !bHandshaken || vOutQueue.empty()) return;
    sWriting.clear();
    while (!vOutQueue.empty()) {
      const std::string_view svFront = vOutQueue.front().svBytes;
      if (!sWriting.empty() && sWriting.size() + svFront.size() > TLS_WRITE_BYTES) break;
      sWriting.append(svFront);
      vOutQueue.pop_front();
    }
    bWriting = true;
    asio::async_write(stream, asio::buffer(sWriting), [self = Self()](const asio::error_code& ec, size_t) {
      self->bWriting = false;
      if (self->bClosed || self->bEnding) return;
      if (ec) return self->bDraining ? self->CloseSocket() : self->Fail(ec);
      self->nQueuedBytes -= self->sWriting.size();
      if (!self->vOutQueue.empty()) return self->StartWrite();
      if (self->bDraining) self->FinishDrain();
    });
  }

  void FinishDrain() {
    tmrDrain.cancel();
    asio::error_code ec;
    socket.shutdown(tcp::socket::shutdown_send, ec);
    DrainInput();
    CloseSocket();
  }

  std::shared_ptr<asio::ssl::context> pContext;  // shared with the listener; outlives the stream
  TTlsStream stream;                             // over the session's socket
  asio::steady_timer tmrDrain;                   // bounds a graceful close's last writes
  asio::steady_timer tmrGather;                  // grace for the next record after a full one
  std::array<char, TLS_READ_PIECE_BYTES> vReadBuffer;  // the piece being read
  std::string sGathered;                               // pieces of one read event gathered so far
  uint64_t nGatherRound = 0;                           // bumped by each piece and each grace delivery
  std::string sWriting;                          // bytes of the write in flight
  bool bHandshaken = false;                      // the TLS handshake is through
  bool bWriting = false;                         // an async_write is outstanding
  bool bDraining = false;                        // shut gracefully: writing out, no events, no reads
};

}  // namespace

TServerSessionPtr MakePlainSession(std::weak_ptr<TSessionHost> wHost, tcp::socket socket, std::string sAddress,
                                   int nPort, size_t nMaxQueuedBytes) {
  return std::make_shared<TPlainSession>(std::move(wHost), std::move(socket), std::move(sAddress), nPort,
                                         nMaxQueuedBytes);
}

TServerSessionPtr MakeTlsSession(std::weak_ptr<TSessionHost> wHost, tcp::socket socket, std::string sAddress, int nPort,
                                 size_t nMaxQueuedBytes, std::shared_ptr<asio::ssl::context> pContext) {
  return std::make_shared<TTlsSession>(std::move(wHost), std::move(socket), std::move(sAddress), nPort,
                                       nMaxQueuedBytes, std::move(pContext));
}
