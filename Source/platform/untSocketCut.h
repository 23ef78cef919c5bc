// Ending a TCP connection that a library owns (the web server's), from any thread. The owner's
// thread takes a descriptor of its own for the socket while the connection is open (found by the
// socket's two addresses among the process's descriptors, then duplicated); shutting that down
// later makes the library's blocked read and write return at once, and the library closes its
// descriptor as usual. Holding a duplicate means no later shut-down can hit a reused number.
#pragma once

#include <string>

// A duplicate of the descriptor of the connection with local port nLocalPort and peer
// sPeerAddress:nPeerPort (IPv4 dotted or IPv6 text); -1 when none is found. Call it on the thread
// that owns the connection, while it is open.
int DuplicateTcpConnection(int nLocalPort, const std::string& sPeerAddress, int nPeerPort);
// Shuts the connection down both ways through the duplicate; any thread. -1 is ignored.
void ShutdownTcpDuplicate(int nFd);
// Closes the duplicate (the connection itself stays as its owner leaves it). -1 is ignored.
void CloseTcpDuplicate(int nFd);
