// Event-driven TCP listener (socManagerServer) with its open client connections, plain and TLS.
//
// Control thread only; no thread per connection. Events, one at a time on the control thread:
//   SetActive(true) -> OnListen; each accepted peer -> OnAdmit (not listed yet; ADMISSION_REFUSE
//   closes it at once, nothing sent and no further event; ADMISSION_HOLD keeps it waiting, see
//   below), then OnAccept, then OnClientConnect (it is now counted in ActiveConnections); bytes ->
//   OnClientRead (one event for all the bytes the kernel
//   holds, at most 1 MiB, taken with ReceiveText); peer close -> OnClientDisconnect; failure ->
//   OnClientError, then, when the failure ended the connection, OnClientDisconnect.
// A held peer waits unlisted and unread, nothing sent to it, until ReleaseHeld names its address:
// then the oldest one held from there is listed and raises OnAccept and OnClientConnect as if it
// had just been admitted. Its deadline (SetDeadline, from OnAdmit) runs meanwhile and raises
// OnClientTimeout; Close ends it without any other event, as it was never connected.
// SetActive(false) closes every connection, held ones too, without a disconnect event.
// With bServePlain false, SetActive(true) opens no plain port and only ListenTls serves; OnListen
// is then raised when the TLS listener opens.
// ListenTls opens a second listener whose connections speak TLS; they share the list, the events
// and the bounds of the plain ones, so no handler needs to know which port a client used. Their
// TLS handshake runs after OnClientConnect; a failed one raises OnClientTlsError, then
// OnClientDisconnect. Bytes sent before the handshake is through wait in the output queue.
// An accept that fails for lack of resources (no free descriptor, no memory) raises OnAcceptError
// with the reason; the listener then pauses 100 ms and accepts again, so it neither
// spins nor stops while descriptors run out, and the waiting peers are taken once some are free.
// OnAcceptHold is asked before each accept: while it says true the waiting peers stay in the
// kernel's queue and the listener asks again every millisecond. A hold lasts a second at most;
// after one that long the listener holds no more until OnAcceptHold has said false, so a hold
// that never ends cannot shut the port.
// Each connection has its own output queue: SendText and SendShared never block; what one call
// queues goes to the kernel in one gathered write when the socket takes it. A connection whose
// queue holds more than nMaxQueuedBytes is cut off: OnClientOverflow, then OnClientDisconnect, raised after
// the current handler returns, so the connection list never changes under a caller's loop.
// A connection's deadline (SetDeadline) raises OnClientTimeout once when it passes; Close ends a
// connection from this side, and its OnClientDisconnect follows the same way as a cut-off's.
// Every connection has TCP keep-alive on, so a peer that vanished without a word (power lost,
// cable pulled) ends in OnClientError and OnClientDisconnect within about two minutes.
// TServerConnection pointers are valid only during the current event or call.
// A connection is listed from before its OnAccept until after its OnClientDisconnect returns, so
// ActiveConnections() counts it in every event that names it. ReceiveText gives the piece of the
// current OnClientRead; a piece the handler does not take is dropped when the event returns.
// nMaxQueuedBytes applies to connections accepted after it is set.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

class TServerConnection {
 public:
  virtual ~TServerConnection() = default;
  virtual std::string RemoteAddress() const = 0;  // dotted IPv4 text (IPv6 text for IPv6 peers)
  virtual int RemotePort() const = 0;
  virtual int SendText(const std::string& sBytes) = 0;  // queues the bytes; returns the count taken
  // Queues the pieces, in order, as one write, and returns the count taken. They are views into
  // *pOwner, which other connections may share; the connection holds pOwner until they are written
  // (or dropped), and counts only the pieces' bytes against its bound.
  virtual int SendShared(const std::shared_ptr<const std::string>& pOwner,
                         std::span<const std::string_view> vPieces) = 0;
  virtual std::string ReceiveText() = 0;          // bytes of the last read not taken yet
  virtual size_t QueuedBytes() const = 0;          // output bytes not yet written to the socket
  // OnClientTimeout after nMilliseconds from now (replacing an earlier deadline); 0 cancels.
  virtual void SetDeadline(int nMilliseconds) = 0;
  // Ends the connection from this side: closed at once, what is queued is dropped, and
  // OnClientDisconnect follows after the current handler returns.
  virtual void Close() = 0;

  // The owner's own number for this connection, so its events find the owner's record without a
  // search; the listener never reads or changes it. -1 until the owner sets one. Control thread.
  int nOwnerTag = -1;
};

// OnAdmit's answer for a peer just accepted.
enum TAdmission_OPT : int {
  ADMISSION_ACCEPT,  // listed and served now
  ADMISSION_HOLD,    // kept waiting, unread, until ReleaseHeld names its address
  ADMISSION_REFUSE,  // closed at once, before a byte is sent
};

class TServerSocket {
 public:
  static constexpr size_t nDefaultMaxQueuedBytes = 4u * 1024u * 1024u;

  TServerSocket();
  ~TServerSocket();
  TServerSocket(const TServerSocket&) = delete;
  TServerSocket& operator=(const TServerSocket&) = delete;

  int Port = 0;                                    // listening port; set before SetActive(true)
  std::string BindAddress;                         // local IPv4 or IPv6 address; empty: every IPv4 interface
  size_t nMaxQueuedBytes = nDefaultMaxQueuedBytes; // output bound per connection
  bool bServePlain = true;                         // false: no plain port, only ListenTls serves

  // True: listen on BindAddress:Port (throws std::runtime_error with the reason on failure);
  // false: stop listening on both ports and close every connection, without disconnect events.
  void SetActive(bool bActive);
  bool Active() const;  // a listener is open
  int LocalPort() const;  // the bound port (useful when Port was 0)

  // While active: a second listener on BindAddress:nPort whose connections speak TLS 1.2 or later
  // with the PEM certificate chain and key given; with sClientCaFile, a peer must show a
  // certificate that chains to one of its authorities. Throws std::runtime_error naming the file
  // or the port and the reason; the plain listener is not touched either way.
  void ListenTls(int nPort, const std::string& sCertFile, const std::string& sKeyFile,
                 const std::string& sClientCaFile = "");
  int LocalTlsPort() const;  // 0 while no TLS listener is open

  int ActiveConnections() const;
  TServerConnection* Connections(int nIndex);  // nullptr outside 0..ActiveConnections()-1
  // Held peers from sAddress (every held peer when empty).
  int HeldConnections(const std::string& sAddress = "") const;
  // After the current event: the oldest peer held from sAddress, if any, is served.
  void ReleaseHeld(const std::string& sAddress);

  std::function<void()> OnListen;
  std::function<TAdmission_OPT(TServerConnection&)> OnAdmit;  // unset: every peer is admitted
  std::function<void(TServerConnection&)> OnAccept;
  std::function<void(TServerConnection&)> OnClientConnect;
  std::function<void(TServerConnection&)> OnClientDisconnect;
  std::function<void(TServerConnection&, int& nErrorCode)> OnClientError;
  std::function<void(TServerConnection&, const std::string& sReason)> OnClientTlsError;
  std::function<void(TServerConnection&)> OnClientRead;
  std::function<void(TServerConnection&)> OnClientOverflow;
  std::function<void(TServerConnection&)> OnClientTimeout;
  std::function<void(const std::string& sReason)> OnAcceptError;  // accept failed for lack of resources
  std::function<bool()> OnAcceptHold;  // unset: peers are taken as they come
  // An exception that one of the handlers above let through, with its text ("unknown error" for
  // one that is no std::exception); the listener goes on. It must not raise itself.
  std::function<void(const std::string& sWhat)> OnHandlerError;

 private:
  struct TImpl;
  std::shared_ptr<TImpl> pImpl;
};
