// Loopback TCP for tests: a free port, a blocking connection with deadlines (the client side, or
// a connection a listener accepted), the one loopback listener, and the client handshake.
//
// Threads: a TTcpClient belongs to one thread at a time. A TLoopbackListener is used from the
// thread that made it, except ServeEach, whose handlers run on threads of their own; the
// listener joins them before it closes. Everything binds 127.0.0.1 on a port the system picks,
// so tests can run side by side.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/TestBasics.h"

namespace testsupport {

// A TCP port no listener holds now, outside the range the kernel takes ports from for outgoing
// connections (so no test's connect can take it before the relay binds it); 0 on failure.
int FreePort();

// A blocking loopback connection. Everything received is kept until taken.
class TTcpClient {
 public:
  TTcpClient() = default;
  explicit TTcpClient(int nConnectedFd) : nFd(nConnectedFd) {}  // adopts an accepted socket
  ~TTcpClient();
  TTcpClient(const TTcpClient&) = delete;
  TTcpClient& operator=(const TTcpClient&) = delete;

  // Tries to connect until it succeeds or tTimeout passes.
  bool Connect(int nPort, std::chrono::milliseconds tTimeout = kDeadline);
  bool Send(std::string_view sBytes);
  // One read of at most 64 KiB, appended to Received(): >0 bytes, 0 closed, -1 nothing in time.
  int ReadOnce(std::chrono::milliseconds tTimeout = kDeadline);
  // Reads until the received text (since the last Take) contains sNeedle; true when it does.
  bool ReadUntil(const std::string& sNeedle, std::chrono::milliseconds tTimeout = kDeadline);
  // Reads until sNeedle has come, then takes and returns the text up to and including it. When it
  // does not come, returns "<not received: ...>" with what did, so a comparison shows both.
  std::string TakeThrough(const std::string& sNeedle, std::chrono::milliseconds tTimeout = kDeadline);
  // Reads for up to tTimeout; returns false when the peer closed.
  bool ReadFor(std::chrono::milliseconds tTimeout);
  // Waits for the peer to close; true when it did.
  bool WaitClosed(std::chrono::milliseconds tTimeout = kDeadline);
  const std::string& Received() const { return sReceived; }
  std::string Take();  // returns and clears what was received
  void Close();
  void Reset();        // closes with linger 0: the peer sees a reset instead of an orderly close
  int Fd() const { return nFd; }
  // errno of the read that saw the end of the stream; 0 for an orderly close.
  int CloseErrno() const { return nCloseErrno; }

 private:
  int nFd = -1;          // -1 when not connected
  std::string sReceived; // bytes received since the last Take
  int nCloseErrno = 0;   // see CloseErrno
};

// A listener on 127.0.0.1 and a port the system picks. It only listens: connections wait in its
// backlog until Accept takes one (a peer that accepts and never speaks), and with nBacklog 0 the
// queue fills at once (later connects hang). Its port is taken for as long as it lives.
class TLoopbackListener {
 public:
  using TServe = std::function<void(TTcpClient& tConnection, int nIndex)>;

  // nPortWanted 0: a port the OS picks. Another port (one a closed listener of this test had) is
  // bound again even while its old connections linger, so a peer can "come back" where it was.
  explicit TLoopbackListener(int nBacklog = 16, int nPortWanted = 0);
  ~TLoopbackListener();  // joins the ServeEach threads, then closes
  TLoopbackListener(const TLoopbackListener&) = delete;
  TLoopbackListener& operator=(const TLoopbackListener&) = delete;

  bool Listening() const { return nPort > 0; }
  int Port() const { return nPort; }
  // Waits for the next connection; null when none came in time.
  std::unique_ptr<TTcpClient> Accept(std::chrono::milliseconds tTimeout = kDeadline);
  // Accepts up to nConnections on a thread of its own, each served by fnServe on a thread of its
  // own and closed when fnServe returns. It stops accepting when none comes within kDeadline.
  void ServeEach(int nConnections, TServe fnServeIn);
  void Join();  // waits for ServeEach to end

 private:
  void AcceptLoop(int nConnections);

  int nFd = -1;                       // listening socket
  TServe fnServe;                     // ServeEach's handler; set before thAccept starts
  int nPort = 0;                      // 0 when bind or listen failed
  std::thread thAccept;               // ServeEach's acceptor
  std::vector<std::thread> vServers;  // one per accepted connection; touched by thAccept only
};

// Runs the client handshake with one reply awaited at most tStep each; true when "Server is ready
// and up!" came back. A connection without a slot is never answered.
bool Handshake(TTcpClient& tClient, const std::string& sAppId, const std::string& sQueues,
               const std::string& sPeers, const std::string& sParks, std::chrono::milliseconds tStep = kDeadline);

}  // namespace testsupport
