// TLS for the CTI client tool (--tls, --ca): the client context and the texts of failures.
//
// Built once on the main thread before any connection; each session makes its own stream over
// its socket for every connection attempt. TLS 1.2 or later; the relay's certificate must chain to
// an authority of --ca (or the system's trust store) and name the host given with --host.
#pragma once

#include <memory>
#include <string>
#include <system_error>
// After a standard header, as in every file here: see main.cpp.
#include <asio.hpp>
#include <asio/ssl.hpp>

namespace cticlient {

using TTlsStream = asio::ssl::stream<asio::ip::tcp::socket&>;

// Throws std::runtime_error naming the CA file and the reason.
std::shared_ptr<asio::ssl::context> MakeClientTlsContext(const std::string& sCaFile);

// The host (name or address) the relay's certificate must carry; sent as the server name too.
void SetTlsPeerName(TTlsStream& tStream, const std::string& sHost);

// The failure's text, with the certificate check's reason when the certificate was refused.
std::string TlsErrorText(TTlsStream& tStream, const std::error_code& tError);

// A relay that closes without the TLS close notice ends the stream like a plain close.
bool IsTlsClose(const std::error_code& tError);

}  // namespace cticlient
