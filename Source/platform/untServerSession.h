// One accepted client connection of TServerSocket, plain or TLS. Platform-internal: only
// untServerSocket.cpp, untServerSession.cpp and untTlsFront.cpp (for the two socket helpers below) include it.
//
// Control thread only. A session reaches its listener through TSessionHost, held weakly, so a
// completion that arrives after the listener is gone does nothing. Completions hold their session
// by shared_ptr and return at once once it is closed (bClosed) or its end is posted (bEnding).
//
//   accepted --> Begin: plain: wait readable, read piece;  TLS: handshake, then read
//   read piece --> host.SessionRead (OnClientRead) --> next piece ...
//   peer closes                 --> host.SessionEnd(CLOSED)
//   read failure                --> host.SessionEnd(ERROR)
//   TLS handshake failure       --> host.SessionEnd(TLS, reason)   (peer left during it: CLOSED)
//   send failure, Close()       --> posted: host.SessionEnd(ERROR / CLOSED)
//   output above the bound      --> closed at once, posted: host.SessionEnd(OVERFLOW)
//   deadline passed             --> host.SessionTimeout (OnClientTimeout), once
//   Shut (listener deactivated) --> no event; graceful: queued output goes first
//
// Invariant: SendText never ends a connection by itself; ends it causes are posted and run after
// the caller returns, so the listener's list never changes under a caller's loop.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "platform/untServerSocket.h"

enum TSessionEnd_OPT {
  SESSION_END_CLOSED,    // the peer closed, or Close() was called: disconnect only
  SESSION_END_ERROR,     // a read or send failed: error, then disconnect
  SESSION_END_OVERFLOW,  // the output bound was passed: overflow, then disconnect
  SESSION_END_TLS,       // the TLS handshake failed: TLS error, then disconnect
};

// A client's handshake step is one read event, so a large one (the extension list of a site with
// every extension, ~70 KB) must not be cut into two by the read itself: a plain read event takes
// all the kernel holds, up to this bound.
constexpr size_t SESSION_READ_PIECE_BYTES = 1024 * 1024;

class TServerSession;
using TServerSessionPtr = std::shared_ptr<TServerSession>;

// What a session asks of its listener. Control thread only.
class TSessionHost {
 public:
  virtual ~TSessionHost() = default;
  virtual asio::io_context& Context() = 0;
  virtual bool IsListed(const TServerSession* pSession) const = 0;
  virtual bool IsHeld(const TServerSession* pSession) const = 0;  // admitted to wait, unread, unlisted
  // The listener's one read buffer, for sessions that read synchronously into it.
  virtual std::array<char, SESSION_READ_PIECE_BYTES>& ReadBuffer() = 0;
  // Raises OnClientRead; the session's svUnread holds the piece meanwhile.
  virtual void SessionRead(TServerSession& session) = 0;
  virtual void SessionTimeout(TServerSession& session) = 0;
  // Raises the events that end the connection, unlists it and closes it.
  virtual void SessionEnd(const TServerSessionPtr& pSession, TSessionEnd_OPT tEnd, int nErrorCode,
                          const std::string& sReason) = 0;
};

class TServerSession : public TServerConnection, public std::enable_shared_from_this<TServerSession> {
 public:
  TServerSession(std::weak_ptr<TSessionHost> wHostIn, asio::ip::tcp::socket socketIn, std::string sAddressIn,
                 int nPortIn, size_t nMaxQueuedBytesIn);

  std::string RemoteAddress() const override { return sAddress; }
  int RemotePort() const override { return nPort; }
  size_t QueuedBytes() const override { return nQueuedBytes; }
  std::string ReceiveText() override;
  int SendText(const std::string& sBytes) override;  // a copy of its own, sent as SendShared
  void SetDeadline(int nMilliseconds) override;
  void Close() override;

  virtual void Begin() = 0;                // after OnClientConnect: start the connection's reads
  virtual void Shut(bool bGraceful) = 0;   // closes without an event; graceful: output first, a FIN

  asio::ip::tcp::socket socket;
  std::string_view svUnread;  // the piece of the current read event
  bool bAdmitted = false;     // past the admission: takes output (nothing goes to a peer being judged)
  bool bClosed = false;       // socket closed: completions are ignored, no output is taken
  bool bEnding = false;       // an end is posted: no output is taken, no read raised

 protected:
  std::shared_ptr<TSessionHost> Host() const { return wHost.lock(); }
  // The end is raised later, from the loop, never from inside the caller's SendText.
  void PostEnd(TSessionEnd_OPT tEnd, int nErrorCode);
  void Fail(const asio::error_code& ec) { PostEnd(SESSION_END_ERROR, ec.value() != 0 ? ec.value() : -1); }
  void CutOff();               // over the output bound: closed now, the events follow
  void CloseSocket();          // closes the socket and cancels the deadline; no event
  void DrainInput();           // discards pending input, so a close is a FIN, not a reset
  // Appends the pieces to the queue; returns their bytes.
  size_t Enqueue(const std::shared_ptr<const std::string>& pOwner, std::span<const std::string_view> vPieces);
  // The first nBytes of the queue were written: drops them.
  void Consume(size_t nBytes);

  // A stretch of queued output: a view into bytes that pOwner keeps alive, perhaps shared with
  // other sessions that were given the same frames.
  struct TOutPiece {
    std::shared_ptr<const std::string> pOwner;  // holds the bytes of svBytes
    std::string_view svBytes;                   // never empty
  };

  const std::weak_ptr<TSessionHost> wHost;
  const std::string sAddress;         // peer's address text
  const int nPort;                    // peer's port
  const size_t nMaxQueuedBytes;       // output bound, copied from the listener at accept
  std::deque<TOutPiece> vOutQueue;    // output not yet taken by the kernel (TLS: by the stream), in order
  size_t nFrontOffset = 0;            // bytes of vOutQueue.front() already written
  size_t nQueuedBytes = 0;            // bytes in vOutQueue minus nFrontOffset

 private:
  asio::steady_timer tmrDeadline;     // the connection's deadline, when one is set
  uint64_t nDeadlineGeneration = 0;   // bumped by every SetDeadline, so an older expiry does nothing
};

// TCP keep-alive on an accepted connection, so a peer that vanished without a word (power lost,
// cable pulled) ends in a read error within about two minutes (untServerSocket.cpp).
void SetTcpKeepAlive(asio::ip::tcp::socket& socket);
// The peer's address as text; an IPv4 peer of a dual-stack listener shows as plain IPv4.
std::string PeerAddressText(const asio::ip::address& address);

TServerSessionPtr MakePlainSession(std::weak_ptr<TSessionHost> wHost, asio::ip::tcp::socket socket,
                                   std::string sAddress, int nPort, size_t nMaxQueuedBytes);
TServerSessionPtr MakeTlsSession(std::weak_ptr<TSessionHost> wHost, asio::ip::tcp::socket socket, std::string sAddress,
                                 int nPort, size_t nMaxQueuedBytes, std::shared_ptr<asio::ssl::context> pContext);
