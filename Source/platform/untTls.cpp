#include "platform/untTls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

using asio::ssl::context;

// TLS 1.0 and 1.1 and every SSL version are refused on both sides.
constexpr context::options TLS_OPTIONS = context::default_workarounds | context::no_sslv2 | context::no_sslv3 |
                                         context::no_tlsv1 | context::no_tlsv1_1 | context::single_dh_use;

// A file OpenSSL cannot open gives a vague reason; the system's is clearer.
void CheckReadable(const char* sWhat, const std::string& sFile) {
  if (sFile.empty()) throw std::runtime_error(std::string("no ") + sWhat + " file is configured");
  std::FILE* pFile = std::fopen(sFile.c_str(), "rb");
  if (pFile == nullptr)
    throw std::runtime_error(std::string("cannot read the ") + sWhat + " file " + sFile + ": " + std::strerror(errno));
  std::fclose(pFile);
}

void Check(const asio::error_code& ec, const char* sWhat, const std::string& sFile) {
  if (ec) throw std::runtime_error(std::string("the ") + sWhat + " file " + sFile + " is not usable: " + ec.message());
}

// TLS 1.2 suites a desk may use: a recorded session stays secret when the key leaks later (ECDHE),
// and no CBC padding or SHA-1 MAC to attack (AEAD only).
constexpr const char* SERVER_TLS12_CIPHERS =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// The relay's order of suites wins over the desk's; nothing below TLS 1.2, whatever the options.
void RestrictServerSuites(context& ctx) {
  SSL_CTX* pCtx = ctx.native_handle();
  if (SSL_CTX_set_min_proto_version(pCtx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(pCtx, SERVER_TLS12_CIPHERS) != 1)
    throw std::runtime_error("the TLS library refused the relay's cipher suites");
  SSL_CTX_set_options(pCtx, SSL_OP_CIPHER_SERVER_PREFERENCE);
}

// Every desk must show a certificate that chains to an authority of sCaFile.
void RequireClientCertificate(context& ctx, const std::string& sCaFile) {
  CheckReadable("TLS client CA", sCaFile);
  asio::error_code ec;
  ctx.load_verify_file(sCaFile, ec);
  Check(ec, "TLS client CA", sCaFile);
  // The authorities named to the desk, so its TLS stack can pick the certificate to show.
  STACK_OF(X509_NAME)* pNames = SSL_load_client_CA_file(sCaFile.c_str());
  if (pNames == nullptr) throw std::runtime_error("the TLS client CA file " + sCaFile + " holds no certificate");
  SSL_CTX_set_client_CA_list(ctx.native_handle(), pNames);
  ctx.set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert, ec);
  Check(ec, "TLS client CA", sCaFile);
}

}  // namespace

std::shared_ptr<context> MakeTlsServerContext(const std::string& sCertFile, const std::string& sKeyFile,
                                              const std::string& sClientCaFile) {
  CheckReadable("TLS certificate", sCertFile);
  CheckReadable("TLS key", sKeyFile);
  auto pContext = std::make_shared<context>(context::tls_server);
  asio::error_code ec;
  pContext->set_options(TLS_OPTIONS, ec);
  RestrictServerSuites(*pContext);
  pContext->use_certificate_chain_file(sCertFile, ec);
  Check(ec, "TLS certificate", sCertFile);
  // OpenSSL checks here that the key belongs to the certificate loaded above.
  pContext->use_private_key_file(sKeyFile, context::pem, ec);
  Check(ec, "TLS key", sKeyFile);
  if (!sClientCaFile.empty()) RequireClientCertificate(*pContext, sClientCaFile);
  return pContext;
}

std::shared_ptr<context> MakeTlsClientContext(const std::string& sCaFile, bool bVerify) {
  auto pContext = std::make_shared<context>(context::tls_client);
  asio::error_code ec;
  pContext->set_options(TLS_OPTIONS, ec);
  if (!bVerify) {
    pContext->set_verify_mode(asio::ssl::verify_none, ec);
    return pContext;
  }
  pContext->set_verify_mode(asio::ssl::verify_peer, ec);
  if (sCaFile.empty()) {
    pContext->set_default_verify_paths(ec);
    Check(ec, "system trust store", "(default paths)");
  } else {
    CheckReadable("TLS CA", sCaFile);
    pContext->load_verify_file(sCaFile, ec);
    Check(ec, "TLS CA", sCaFile);
  }
  return pContext;
}

void SetTlsPeerName(TTlsStream& stream, const std::string& sHost) {
  SSL* pSsl = stream.native_handle();
  asio::error_code ec;
  asio::ip::make_address(sHost, ec);
  if (!ec) {
    // An address is checked against the certificate's IP entries; it is never sent as a name.
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(pSsl), sHost.c_str());
    return;
  }
  SSL_set_tlsext_host_name(pSsl, sHost.c_str());
  SSL_set1_host(pSsl, sHost.c_str());
}

std::string TlsErrorText(TTlsStream& stream, const std::error_code& ec) {
  std::string sText = ec.message();
  const long nVerify = SSL_get_verify_result(stream.native_handle());
  if (nVerify != X509_V_OK) sText += std::string(": ") + X509_verify_cert_error_string(nVerify);
  return sText;
}

bool IsTlsPeerClose(const std::error_code& ec) {
  return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}
