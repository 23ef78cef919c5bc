// A TLS front for a plain server on a loopback port: it listens on BindAddress:Port, speaks TLS 1.2
// or later to each peer (the server context of untTls: ECDHE with AEAD suites only), and carries
// the decrypted bytes to 127.0.0.1:BackendPort and the answers back. It knows nothing of what the
// bytes mean; the back end learns who is really behind each of its loopback connections from
// Peers(), keyed by the front's local port on that connection (the back end's remote port).
//
// Threads: everything but TFrontPeers runs on the control thread (TControlLoop's io_context); no
// thread per connection. TFrontPeers is the one value published for the back end's threads: a
// small map under its own lock, filled before the first byte of a connection goes to the back end
// and emptied when the connection ends.
//
// One connection:
//   accepted --OnAdmit false--> closed at once, nothing sent (not even a TLS hello)
//            --admitted--> TLS handshake (deadline nHandshakeMs)
//                 --failed or deadline--> OnTlsError, closed (a peer that just leaves: closed, quiet)
//                 --through--> connect to the back end --failed--> OnBackendError, closed
//                                  --connected--> peer published, bytes relayed both ways
//   relaying: each direction reads a piece (at most nBufferBytes) only once the other side has
//   taken the previous one, so neither side's bytes pile up here: a peer that does not read stalls
//   the back end's writes, where the back end's own bounds deal with it.
//   either side closes or fails --> both closed, the peer unpublished. While a write to a peer
//   that does not read is stuck, the back end's close is not seen (nothing is read from it): a back
//   end that cuts such a peer off calls Cut.
// Close() (or the destructor) closes the listener and every connection, without events.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/untMutex.h"

// The real peer behind one loopback connection of a front.
struct TFrontPeer {
  std::string sAddress;  // dotted IPv4 (IPv4 peers of a dual-stack listener too) or IPv6 text
  int nPort = 0;
};

// Any thread.
class TFrontPeers {
 public:
  // False when nLoopbackPort is no open connection of the front.
  bool Find(int nLoopbackPort, TFrontPeer& tPeer) const;
  void Set(int nLoopbackPort, const TFrontPeer& tPeer);
  void Erase(int nLoopbackPort);

 private:
  mutable TMutex crsPeers;
  std::map<int, TFrontPeer> mapPeers GUARDED_BY(crsPeers);  // the front's local port -> real peer
};

class TTlsFront {
 public:
  TTlsFront();
  ~TTlsFront();
  TTlsFront(const TTlsFront&) = delete;
  TTlsFront& operator=(const TTlsFront&) = delete;

  // Set before Open; control thread.
  int Port = 0;                     // listening port (0: any free one, see LocalPort)
  std::string BindAddress;          // local IPv4 or IPv6 address; empty: every IPv4 interface
  int BackendPort = 0;              // the plain server on 127.0.0.1
  int nHandshakeMs = 10000;         // the TLS handshake's deadline from the accept
  size_t nBufferBytes = 16 * 1024;  // one piece in flight per direction and connection

  // Listens with the PEM certificate chain and key; throws std::runtime_error naming the file or
  // the port and the reason.
  void Open(const std::string& sCertFile, const std::string& sKeyFile);
  void Close();
  // Ends the connection whose loopback port is nLoopbackPort, both sides, at once (a peer that
  // does not read is reset: it would never take a FIN queued behind its unread bytes). For the back
  // end that cuts a peer off, since its own close would wait behind those bytes too. No event.
  void Cut(int nLoopbackPort);
  int LocalPort() const;           // 0 while closed
  int ActiveConnections() const;   // admitted and not yet closed
  std::shared_ptr<const TFrontPeers> Peers() const;

  // Control thread. nOpen: connections open before this one. False closes it at once.
  std::function<bool(const std::string& sAddress, int nPort, int nOpen)> OnAdmit;  // unset: all
  std::function<void(const std::string& sAddress, int nPort, const std::string& sReason)> OnTlsError;
  std::function<void(const std::string& sAddress, int nPort, const std::string& sReason)> OnBackendError;
  std::function<void(const std::string& sReason)> OnAcceptError;  // the listener retries after 100 ms
  // An exception that one of the handlers above let through: "a handler failed: " and its text
  // ("unknown error" for one that is no std::exception); from OnAdmit "address:port refused, its
  // admission check failed: " and the text instead, as that peer is closed unserved. The front
  // goes on. It must not raise.
  std::function<void(const std::string& sWhat)> OnHandlerError;

  struct TImpl;  // untTlsFront.cpp only (its sessions reach it)

 private:
  std::shared_ptr<TImpl> pImpl;
};
