// Finds the socket by walking /proc/self/fd and comparing each socket's two addresses, once per
// connection; see untSocketCut.h.
#include "platform/untSocketCut.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// Address text and port of a socket address; false for anything but IPv4 and IPv6.
bool AddressOf(const sockaddr_storage& tAddress, std::string& sText, int& nPort) {
  char sBuffer[INET6_ADDRSTRLEN] = "";
  if (tAddress.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(tAddress);
    inet_ntop(AF_INET, &a.sin_addr, sBuffer, sizeof(sBuffer));
    nPort = ntohs(a.sin_port);
  } else if (tAddress.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(tAddress);
    inet_ntop(AF_INET6, &a.sin6_addr, sBuffer, sizeof(sBuffer));
    nPort = ntohs(a.sin6_port);
  } else {
    return false;
  }
  sText = sBuffer;
  return true;
}

bool Matches(int nFd, int nLocalPort, const std::string& sPeerAddress, int nPeerPort) {
  sockaddr_storage tLocal{}, tPeer{};
  socklen_t nLocalLength = sizeof(tLocal), nPeerLength = sizeof(tPeer);
  if (getsockname(nFd, reinterpret_cast<sockaddr*>(&tLocal), &nLocalLength) != 0) return false;  // not a socket
  if (getpeername(nFd, reinterpret_cast<sockaddr*>(&tPeer), &nPeerLength) != 0) return false;
  std::string sLocal, sPeer;
  int nLocal = 0, nPeer = 0;
  if (!AddressOf(tLocal, sLocal, nLocal) || !AddressOf(tPeer, sPeer, nPeer)) return false;
  return nLocal == nLocalPort && nPeer == nPeerPort && sPeer == sPeerAddress;
}

}  // namespace

int DuplicateTcpConnection(int nLocalPort, const std::string& sPeerAddress, int nPeerPort) {
  DIR* pDir = opendir("/proc/self/fd");
  if (pDir == nullptr) return -1;
  int nDuplicate = -1;
  while (const dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] < '0' || pEntry->d_name[0] > '9') continue;
    const int nFd = std::atoi(pEntry->d_name);
    if (nFd == dirfd(pDir) || !Matches(nFd, nLocalPort, sPeerAddress, nPeerPort)) continue;
    nDuplicate = fcntl(nFd, F_DUPFD_CLOEXEC, 0);
    break;
  }
  closedir(pDir);
  return nDuplicate;
}

void ShutdownTcpDuplicate(int nFd) {
  if (nFd >= 0) shutdown(nFd, SHUT_RDWR);
}

void CloseTcpDuplicate(int nFd) {
  if (nFd >= 0) close(nFd);
}
