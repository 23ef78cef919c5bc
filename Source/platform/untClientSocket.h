// Event-driven TCP client connection (socManagerClient): one connection to the exchange.
//
// Control thread only. Every outcome arrives as an event on the control thread, one at a time:
//   SetActive(true)  -> OnConnecting (host lookup and connect begin) -> OnConnect -> OnRead ...
//   peer closes      -> OnDisconnect;   lookup/connect/read/write failure -> OnError
// After OnDisconnect or OnError the connection is closed and Active() is false; handlers may call
// SetActive(false/true) from inside any event. SetActive(true) on an active socket changes nothing;
// SetActive(false) closes without raising an event, and completions of an older connection never
// reach the handlers of a newer one.
// Host lookup and connect together are bounded by nConnectTimeoutMs; running out ends in OnError.
// Reads are taken in pieces of at most 64 KiB; each piece raises one OnRead and is returned by the
// next ReceiveText (bytes a handler leaves untaken are kept and come with the next piece). Sends are
// queued in order and never block; texts sent while connecting go out once connected. A send that
// would take the queue past nMaxQueuedBytes is refused and fails the connection (OnError, raised
// from the loop after the caller returns).
// With bTls the connection speaks TLS 1.2 or later: after the TCP connect comes the TLS handshake
// (inside the same connect bound), and OnConnect is raised only once it is through. With
// bTlsVerify the exchange's certificate must chain to a trusted authority (sTlsCaFile, or the
// system's trust store when empty) and name Host; a refused certificate ends in OnError, and
// LastErrorText gives the reason ("TLS handshake failed: certificate verify failed: ...").
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class TClientSocket {
 public:
  TClientSocket();
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  int Tag = 0;           // connection index carried by the socket; constant
  std::string Host;      // name or dotted address of the peer; set before SetActive(true)
  int Port = 0;          // TCP port of the peer
  int nConnectTimeoutMs = 10000;                 // bound on lookup plus connect; read at SetActive(true)
  size_t nMaxQueuedBytes = 4u * 1024u * 1024u;   // bound on output not yet written
  bool bTls = false;           // speak TLS; read at SetActive(true)
  std::string sTlsCaFile;      // PEM file of trusted authorities; empty: the system's trust store
  bool bTlsVerify = true;      // check the peer's certificate chain and name

  void SetActive(bool bActive);
  bool Active() const;                 // a connection is being opened or is open
  std::string RemoteAddress() const;   // address of the connected peer (kept after it closes until
                                       // the next SetActive(true)), or empty
  int SendText(const std::string& sBytes);  // queues the bytes; returns how many were taken
  std::string ReceiveText();           // bytes of the last read not taken yet (empty if none)

  std::function<void()> OnConnecting;
  std::function<void()> OnConnect;
  std::function<void()> OnDisconnect;
  std::function<void(int& nErrorCode)> OnError;  // set nErrorCode to 0 to mark it handled
  std::function<void()> OnRead;

  std::string LastErrorText() const;   // text of the error behind the last OnError

 private:
  struct TImpl;
  std::shared_ptr<TImpl> pImpl;
};
