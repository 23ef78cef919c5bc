// TLS for the two sockets, through asio::ssl (OpenSSL): the contexts and the texts of failures.
// Platform-internal: only untServerSocket and untClientSocket include it.
//
// Both sides speak TLS 1.2 or later. The server context holds the listener's certificate chain
// and key, read once when the listener opens, and offers on TLS 1.2 only forward-secret key
// exchange (ECDHE) with AEAD ciphers (AES-GCM, ChaCha20-Poly1305); TLS 1.3 keeps OpenSSL's own
// suites, which are all of that kind. Given a client CA file, it asks every peer for a
// certificate and refuses a handshake without one that chains to those authorities.
// The client context holds the trusted authorities
// (a PEM file, or the system's trust store) and, when verifying, checks the peer's chain and that
// its certificate names the host the link was configured with.
// A context is built on the control thread; a failure throws std::runtime_error whose text names
// the file and the reason, so the caller's log line says what to fix.
#pragma once

#include <memory>
#include <string>
#include <system_error>

#include <asio.hpp>
#include <asio/ssl.hpp>

using TTlsStream = asio::ssl::stream<asio::ip::tcp::socket&>;

std::shared_ptr<asio::ssl::context> MakeTlsServerContext(const std::string& sCertFile, const std::string& sKeyFile,
                                                          const std::string& sClientCaFile = "");
std::shared_ptr<asio::ssl::context> MakeTlsClientContext(const std::string& sCaFile, bool bVerify);

// Sets the name (or address) the peer's certificate must carry, and the server name sent in the
// handshake. Call before the client handshake.
void SetTlsPeerName(TTlsStream& stream, const std::string& sHost);

// The reason of a failed TLS operation, with the certificate check's own reason when the peer's
// certificate was refused ("certificate verify failed: self-signed certificate").
std::string TlsErrorText(TTlsStream& stream, const std::error_code& ec);

// A peer that closes without the TLS close notice ends the stream like a plain close.
bool IsTlsPeerClose(const std::error_code& ec);
