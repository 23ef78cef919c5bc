// Loopback connections, the listener and the client handshake; see TestNet.h.
#include "support/TestNet.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <utility>

namespace testsupport {

namespace {

using TClock = std::chrono::steady_clock;

sockaddr_in Ipv4(uint32_t nHost, int nPort) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(nHost);
  addr.sin_port = htons(static_cast<uint16_t>(nPort));
  return addr;
}

sockaddr_in Loopback(int nPort) { return Ipv4(INADDR_LOOPBACK, nPort); }

int LocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t nLen = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) return 0;
  return ntohs(addr.sin_port);
}

int MillisecondsLeft(TClock::time_point tEnd) {
  const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - TClock::now()).count();
  return nLeft > 0 ? static_cast<int>(nLeft) : 0;
}

// Binds a listener to nPort (0: the kernel chooses) on nHost the way the relay's listener binds
// (SO_REUSEADDR, so a port in TIME_WAIT from an earlier test still counts as free), lets it go
// and says which port it had; 0 when the port is taken.
int ListenOnce(uint32_t nHost, int nPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  const int nOne = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
  const sockaddr_in addr = Ipv4(nHost, nPort);
  const bool bOk = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd, 1) == 0;
  const int nBound = bOk ? LocalPort(fd) : 0;
  close(fd);
  return nBound;
}

// The window of ports FreePort hands out: below the kernel's range for outgoing connections when
// there is room there, else above it; empty (nCount 0) when that range leaves no room at all.
struct TPortWindow {
  int nFirst = 0;
  int nCount = 0;
};

TPortWindow PortWindow() {
  constexpr int LOWEST = 10000, MIN_COUNT = 2000;
  int nLow = 32768, nHigh = 60999;
  if (std::FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(f, "%d %d", &nLow, &nHigh) != 2) nLow = 32768, nHigh = 60999;
    std::fclose(f);
  }
  if (nLow - LOWEST >= MIN_COUNT) return {LOWEST, nLow - LOWEST};
  if (65535 - nHigh >= MIN_COUNT) return {nHigh + 1, 65535 - nHigh};
  return {};
}

}  // namespace

// A port from bind(0) comes from the same range the kernel draws on for every outgoing connection,
// so between reading it and the relay binding it, any test's connect could take it ("Address
// already in use"). Ports come from outside that range instead, walked from a point that differs
// per process so that tests running side by side do not walk the same ports.
int FreePort() {
  static const TPortWindow window = PortWindow();
  if (window.nCount == 0) return ListenOnce(INADDR_LOOPBACK, 0);
  static std::atomic<unsigned> nNext{static_cast<unsigned>(getpid()) * 7919u};
  for (int nTry = 0; nTry < window.nCount; ++nTry) {
    const int nPort = window.nFirst + static_cast<int>(nNext++ % static_cast<unsigned>(window.nCount));
    if (ListenOnce(INADDR_ANY, nPort) != 0) return nPort;
  }
  return 0;
}

TTcpClient::~TTcpClient() { Close(); }

bool TTcpClient::Connect(int nPort, std::chrono::milliseconds tTimeout) {
  return PollUntil([&] {
    Close();
    nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = Loopback(nPort);
    if (connect(nFd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) return false;
    const int nOne = 1;
    setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
    return true;
  }, tTimeout);
}

bool TTcpClient::Send(std::string_view sBytes) {
  for (size_t nDone = 0; nDone < sBytes.size();) {
    const ssize_t n = send(nFd, sBytes.data() + nDone, sBytes.size() - nDone, MSG_NOSIGNAL);
    if (n <= 0) return false;
    nDone += static_cast<size_t>(n);
  }
  return true;
}

int TTcpClient::ReadOnce(std::chrono::milliseconds tTimeout) {
  if (nFd < 0) return 0;
  pollfd p{nFd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(tTimeout.count())) <= 0) return -1;
  char sBuffer[65536];
  const ssize_t n = recv(nFd, sBuffer, sizeof(sBuffer), 0);
  if (n <= 0) {
    nCloseErrno = n < 0 ? errno : 0;
    return 0;
  }
  sReceived.append(sBuffer, static_cast<size_t>(n));
  return static_cast<int>(n);
}

bool TTcpClient::ReadUntil(const std::string& sNeedle, std::chrono::milliseconds tTimeout) {
  const auto tEnd = TClock::now() + tTimeout;
  while (sReceived.find(sNeedle) == std::string::npos) {
    const int nLeft = MillisecondsLeft(tEnd);
    if (nLeft <= 0) return false;
    if (ReadOnce(std::chrono::milliseconds(nLeft)) == 0) return sReceived.find(sNeedle) != std::string::npos;
  }
  return true;
}

std::string TTcpClient::TakeThrough(const std::string& sNeedle, std::chrono::milliseconds tTimeout) {
  ReadUntil(sNeedle, tTimeout);
  const size_t nAt = sReceived.find(sNeedle);
  if (nAt == std::string::npos) return "<not received: " + sReceived + ">";
  std::string sTaken = sReceived.substr(0, nAt + sNeedle.size());
  sReceived.erase(0, sTaken.size());
  return sTaken;
}

bool TTcpClient::ReadFor(std::chrono::milliseconds tTimeout) {
  const auto tEnd = TClock::now() + tTimeout;
  while (true) {
    const int nLeft = MillisecondsLeft(tEnd);
    if (nLeft <= 0) return true;
    if (ReadOnce(std::chrono::milliseconds(nLeft)) == 0) return false;
  }
}

bool TTcpClient::WaitClosed(std::chrono::milliseconds tTimeout) {
  const auto tEnd = TClock::now() + tTimeout;
  while (TClock::now() < tEnd) {
    if (ReadOnce(std::chrono::milliseconds(MillisecondsLeft(tEnd))) == 0) return true;
  }
  return false;
}

std::string TTcpClient::Take() {
  std::string s;
  s.swap(sReceived);
  return s;
}

void TTcpClient::Close() {
  if (nFd >= 0) close(nFd);
  nFd = -1;
}

void TTcpClient::Reset() {
  if (nFd >= 0) {
    const linger tLinger{1, 0};
    setsockopt(nFd, SOL_SOCKET, SO_LINGER, &tLinger, sizeof(tLinger));
  }
  Close();
}

TLoopbackListener::TLoopbackListener(int nBacklog, int nPortWanted) {
  nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // On every listener: Linux lets a port be bound again over lingering connections only when the
  // listener they came from had it too. It never lets two listeners share a port.
  const int nOn = 1;
  if (nFd >= 0) setsockopt(nFd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
  const sockaddr_in addr = Loopback(nPortWanted);
  if (nFd >= 0 && bind(nFd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 && listen(nFd, nBacklog) == 0)
    nPort = LocalPort(nFd);
}

TLoopbackListener::~TLoopbackListener() {
  Join();
  if (nFd >= 0) close(nFd);
}

std::unique_ptr<TTcpClient> TLoopbackListener::Accept(std::chrono::milliseconds tTimeout) {
  pollfd p{nFd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(tTimeout.count())) <= 0) return nullptr;
  const int fd = accept4(nFd, nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? nullptr : std::make_unique<TTcpClient>(fd);
}

void TLoopbackListener::ServeEach(int nConnections, TServe fnServeIn) {
  Join();
  fnServe = std::move(fnServeIn);
  thAccept = std::thread([this, nConnections] { AcceptLoop(nConnections); });
}

void TLoopbackListener::AcceptLoop(int nConnections) {
  for (int n = 0; n < nConnections; ++n) {
    std::unique_ptr<TTcpClient> pConnection = Accept();
    if (!pConnection) return;
    vServers.emplace_back([this, n, pShared = std::shared_ptr<TTcpClient>(std::move(pConnection))] {
      fnServe(*pShared, n);
      pShared->Close();
    });
  }
}

void TLoopbackListener::Join() {
  if (thAccept.joinable()) thAccept.join();
  for (std::thread& t : vServers) t.join();
  vServers.clear();
}

bool Handshake(TTcpClient& tClient, const std::string& sAppId, const std::string& sQueues, const std::string& sPeers,
               const std::string& sParks, std::chrono::milliseconds tStep) {
  const std::pair<std::string, std::string> vSteps[] = {
      {"Hi, lets connect...\r\n", "Welcome to Telvane 1.0\r\n\r\n"},
      {"MyAppID: " + sAppId + "\r\n", "Token:  ?\r\n\r\n"},
      {"MyAppToken: qmRoK8]\r\n", "QueueInfo:  ?\r\n\r\n"},
      {"GetQueueInfo: (" + sQueues + ")\r\n", "PeerInfo:  ?\r\n\r\n"},
      {"GetPeerInfo: (" + sPeers + ")\r\n", "FeatureParkInfo:  ?\r\n\r\n"},
      {"GetFeatureParkInfo: (" + sParks + ")\r\n", "Server is ready and up!\r\n\r\n"},
  };
  for (const auto& [sSend, sExpect] : vSteps) {
    if (!tClient.Send(sSend) || !tClient.ReadUntil(sExpect, tStep)) return false;
    tClient.Take();
  }
  return true;
}

}  // namespace testsupport
