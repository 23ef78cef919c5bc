// Event-driven TCP listener (socManagerServer) with its open client connections.
//
// Control thread only; no thread per connection. Events, one at a time on the control thread:
//   SetActive(true) -> OnListen; each accepted peer -> OnAccept, then OnClientConnect (it is now
//   counted in ActiveConnections); bytes -> OnClientRead (one event per read of at most 64 KiB,
//   taken with ReceiveText); peer close -> OnClientDisconnect; failure -> OnClientError, then,
//   when the failure ended the connection, OnClientDisconnect.
// SetActive(false) closes every connection without a disconnect event.
// An accept that fails for lack of resources (no free descriptor, no memory) raises OnAcceptError
// with the reason; the listener then pauses 100 ms and accepts again, so it neither
// spins nor stops while descriptors run out, and the waiting peers are taken once some are free.
// Each connection has its own output queue: SendText never blocks. A connection whose queue holds
// more than nMaxQueuedBytes is cut off: OnClientOverflow, then OnClientDisconnect, raised after
// the current handler returns, so the connection list never changes under a caller's loop.
// TServerConnection pointers are valid only during the current event or call.
// A connection is listed from before its OnAccept until after its OnClientDisconnect returns, so
// ActiveConnections() counts it in every event that names it. ReceiveText gives the piece of the
// current OnClientRead; a piece the handler does not take is dropped when the event returns.
// nMaxQueuedBytes applies to connections accepted after it is set.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class TServerConnection {
 public:
  virtual ~TServerConnection() = default;
  virtual std::string RemoteAddress() const = 0;  // dotted IPv4 text
  virtual int RemotePort() const = 0;
  virtual int SendText(const std::string& sBytes) = 0;  // queues the bytes; returns the count taken
  virtual std::string ReceiveText() = 0;          // bytes of the last read not taken yet
  virtual size_t QueuedBytes() const = 0;          // output bytes not yet written to the socket
};

class TServerSocket {
 public:
  static constexpr size_t nDefaultMaxQueuedBytes = 4u * 1024u * 1024u;

  TServerSocket();
  ~TServerSocket();
  TServerSocket(const TServerSocket&) = delete;
  TServerSocket& operator=(const TServerSocket&) = delete;

  int Port = 0;                                    // listening port; set before SetActive(true)
  size_t nMaxQueuedBytes = nDefaultMaxQueuedBytes; // output bound per connection

  // True: listen on IPv4 INADDR_ANY:Port (throws std::runtime_error with the reason on failure);
  // false: stop listening and close every connection, without disconnect events.
  void SetActive(bool bActive);
  bool Active() const;
  int LocalPort() const;  // the bound port (useful when Port was 0)

  int ActiveConnections() const;
  TServerConnection* Connections(int nIndex);  // nullptr outside 0..ActiveConnections()-1

  std::function<void()> OnListen;
  std::function<void(TServerConnection&)> OnAccept;
  std::function<void(TServerConnection&)> OnClientConnect;
  std::function<void(TServerConnection&)> OnClientDisconnect;
  std::function<void(TServerConnection&, int& nErrorCode)> OnClientError;
  std::function<void(TServerConnection&)> OnClientRead;
  std::function<void(TServerConnection&)> OnClientOverflow;
  std::function<void(const std::string& sReason)> OnAcceptError;  // accept failed for lack of resources

 private:
  struct TImpl;
  std::shared_ptr<TImpl> pImpl;
};
