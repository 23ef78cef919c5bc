// TLS for the CTI client tool; see tls.h.
#include "tls.h"

#include <stdexcept>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace cticlient {

std::shared_ptr<asio::ssl::context> MakeClientTlsContext(const std::string& sCaFile) {
  using asio::ssl::context;
  auto pContext = std::make_shared<context>(context::tls_client);
  pContext->set_options(context::default_workarounds | context::no_sslv2 | context::no_sslv3 |
                        context::no_tlsv1 | context::no_tlsv1_1);
  pContext->set_verify_mode(asio::ssl::verify_peer);
  std::error_code tError;
  if (sCaFile.empty())
    pContext->set_default_verify_paths(tError);
  else
    pContext->load_verify_file(sCaFile, tError);
  if (tError)
    throw std::runtime_error("cannot load the trusted authorities" +
                             (sCaFile.empty() ? std::string() : " of " + sCaFile) + ": " +
                             tError.message());
  return pContext;
}

void SetTlsPeerName(TTlsStream& tStream, const std::string& sHost) {
  SSL* pSsl = tStream.native_handle();
  std::error_code tError;
  asio::ip::make_address(sHost, tError);
  if (!tError) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(pSsl), sHost.c_str());
    return;
  }
  SSL_set_tlsext_host_name(pSsl, sHost.c_str());
  SSL_set1_host(pSsl, sHost.c_str());
}

std::string TlsErrorText(TTlsStream& tStream, const std::error_code& tError) {
  std::string sText = tError.message();
  const long nVerify = SSL_get_verify_result(tStream.native_handle());
  if (nVerify != X509_V_OK) sText += std::string(": ") + X509_verify_cert_error_string(nVerify);
  return sText;
}

bool IsTlsClose(const std::error_code& tError) {
  return tError == asio::error::eof || tError == asio::ssl::error::stream_truncated;
}

}  // namespace cticlient
