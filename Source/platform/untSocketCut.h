// Ending a TCP connection that a library owns (the web server's), from any thread: the socket of
// this process with the given local port and peer is shut down both ways, so the library's
// blocked read and write return at once and it closes the socket itself as usual. The descriptor
// is found by its addresses, never closed here, so no other owner's descriptor can be hit.
// Any thread; no shared state.
#pragma once

#include <string>

// True when a socket with local port nLocalPort and peer sPeerAddress:nPeerPort (IPv4 dotted or
// IPv6 text) was found and shut down.
bool ShutdownTcpConnection(int nLocalPort, const std::string& sPeerAddress, int nPeerPort);
