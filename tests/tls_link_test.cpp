// TLS on both links, end to end: the simulator speaks TLS to the relay, the relay's TLS port to the
// client tool, with certificates made by the test (a test authority, a certificate it signed for
// 127.0.0.1, one signed by a second authority nobody trusts, one for another name). Refused
// certificates on either side end with a log line that gives the reason; a certificate the TLS
// listener cannot read is an error of that listener only. Desks made in the test (an OpenSSL
// client through asio) show which suites the TLS port takes, that it can serve alone, and that
// with a client CA it serves only desks with a certificate from that authority.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <openssl/ssl.h>

#include "base/untCodePage.h"
#include "base/untMessage.h"
#include "support/TestSupport.h"

namespace {

using namespace testsupport;

// The test's certificates, made with the openssl tool in a temporary folder (EC keys: fast).
class TTestPki {
 public:
  TTestPki() {
    bReady = Authority("ca", "Telvane Test CA") && Authority("rogue-ca", "Nobody Trusts Me") &&
             Leaf("relay", "ca", "subjectAltName=IP:127.0.0.1,DNS:localhost") &&
             Leaf("relay-rsa", "ca", "subjectAltName=IP:127.0.0.1", " -newkey rsa:2048 -nodes") &&
             Leaf("rogue", "rogue-ca", "subjectAltName=IP:127.0.0.1,DNS:localhost") &&
             Leaf("elsewhere", "ca", "subjectAltName=DNS:elsewhere.example");
  }
  bool Ready() const { return bReady; }
  std::string Pem(const std::string& sName) const { return dir.Path() + "/" + sName + ".pem"; }
  std::string Key(const std::string& sName) const { return dir.Path() + "/" + sName + ".key"; }
  std::string Path(const std::string& sFile) const { return dir.Path() + "/" + sFile; }

 private:
  static constexpr const char* kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  bool Run(const std::string& sCommand) const {
    return std::system(("cd " + dir.Path() + " && " + sCommand + " >>openssl.log 2>&1").c_str()) == 0;
  }
  bool Authority(const std::string& sName, const std::string& sSubject) const {
    return Run("openssl req -x509" + std::string(kNewKey) + " -keyout " + sName + ".key -out " + sName +
               ".pem -days 2 -subj '/CN=" + sSubject + "'");
  }
  bool Leaf(const std::string& sName, const std::string& sIssuer, const std::string& sAltNames,
            const std::string& sNewKey = kNewKey) const {
    WriteFile(Path(sName + ".ext"), sAltNames + "\n");
    return Run("openssl req" + sNewKey + " -keyout " + sName + ".key -out " + sName +
               ".csr -subj '/CN=" + sName + "'") &&
           Run("openssl x509 -req -in " + sName + ".csr -CA " + sIssuer + ".pem -CAkey " + sIssuer +
               ".key -CAcreateserial -days 2 -out " + sName + ".pem -extfile " + sName + ".ext");
  }

  TTempDir dir;
  bool bReady = false;
};

std::string QueueEvent(int nQueue) {
  std::ostringstream s;
  s << "Event: Join\r\nPrivilege: call,all\r\nFile: app_queue.c\r\nLine: 100\r\nFunc: test\r\nQueue: " << nQueue
    << "\r\nUniqueid: 1700000000.1\r\n\r\n";
  return s.str();
}

// What one desk made in the test met on the TLS port.
struct TProbe {
  int nLocalPort = 0;      // the desk's own port, as the relay's log names it
  bool bHandshake = false; // its side of the TLS handshake went through
  std::string sProtocol;   // "TLSv1.2", "TLSv1.3"
  bool bWelcomed = false;  // the relay answered its greeting
  std::string sError;      // why it ended, when it did
};

// One desk on the TLS port: TLS of exactly nVersion, offering only sCiphers on TLS 1.2 (OpenSSL's
// defaults when empty), showing sCert when given. It greets and reads until the welcome or the end.
TProbe ProbeTls(int nPort, int nVersion, const std::string& sCiphers, const std::string& sCert = "",
                const std::string& sKey = "") {
  TProbe probe;
  asio::io_context ioc;
  asio::ssl::context ctx(asio::ssl::context::tls_client);
  SSL_CTX_set_min_proto_version(ctx.native_handle(), nVersion);
  SSL_CTX_set_max_proto_version(ctx.native_handle(), nVersion);
  if (!sCiphers.empty()) SSL_CTX_set_cipher_list(ctx.native_handle(), sCiphers.c_str());
  asio::error_code ec;
  if (!sCert.empty()) {
    ctx.use_certificate_file(sCert, asio::ssl::context::pem, ec);
    ctx.use_private_key_file(sKey, asio::ssl::context::pem, ec);
  }
  asio::ip::tcp::socket socket(ioc);
  socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(nPort)}, ec);
  if (ec) {
    probe.sError = "connect: " + ec.message();
    return probe;
  }
  probe.nLocalPort = socket.local_endpoint().port();
  asio::ssl::stream<asio::ip::tcp::socket&> stream(socket, ctx);
  stream.handshake(asio::ssl::stream_base::client, ec);
  if (ec) {
    probe.sError = ec.message();
    return probe;
  }
  probe.bHandshake = true;
  probe.sProtocol = SSL_get_version(stream.native_handle());
  asio::write(stream, asio::buffer(std::string("Hi, lets connect...\r\n")), ec);
  std::string sReceived;
  char vBuffer[4096];
  while (!ec && sReceived.find("\r\n\r\n") == std::string::npos)
    sReceived.append(vBuffer, stream.read_some(asio::buffer(vBuffer), ec));
  probe.bWelcomed = sReceived == "Welcome to Telvane 1.0\r\n\r\n";
  if (ec) probe.sError = ec.message();
  return probe;
}

// The TCP ports process nPid listens on.
std::set<int> ListeningPorts(pid_t nPid) {
  std::set<std::string> setInodes;
  const std::string sFds = "/proc/" + std::to_string(nPid) + "/fd";
  if (DIR* pDir = opendir(sFds.c_str())) {
    while (dirent* pEntry = readdir(pDir)) {
      char vLink[256] = {};
      if (readlink((sFds + "/" + pEntry->d_name).c_str(), vLink, sizeof(vLink) - 1) <= 0) continue;
      const std::string sLink = vLink;
      if (sLink.rfind("socket:[", 0) == 0) setInodes.insert(sLink.substr(8, sLink.size() - 9));
    }
    closedir(pDir);
  }
  std::set<int> setPorts;
  for (const char* sTable : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(sTable);
    std::string sLine;
    std::getline(in, sLine);  // the heading
    while (std::getline(in, sLine)) {
      std::istringstream fields(sLine);
      std::string sSlot, sLocal, sRemote, sState, sQueues, sTimer, sRetransmits, sUid, sTimeout, sInode;
      fields >> sSlot >> sLocal >> sRemote >> sState >> sQueues >> sTimer >> sRetransmits >> sUid >> sTimeout >> sInode;
      if (sState == "0A" && setInodes.count(sInode) != 0)
        setPorts.insert(std::stoi(sLocal.substr(sLocal.find(':') + 1), nullptr, 16));
    }
  }
  return setPorts;
}

class TlsLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pki.Ready()) << ReadFile(pki.Path("openssl.log")); }

  // The simulator with the given certificate, silent until told to send.
  void StartExchange(const std::string& sCert) {
    ASSERT_TRUE(sim.Start({"--silent", "--tls-cert", pki.Pem(sCert), "--tls-key", pki.Key(sCert)}));
  }
  // The relay with TLS to the exchange (trusting the test authority) and a TLS listener; sProxyKeys
  // are further [PROXY] keys, nPlainPort -1 picks a free plain port.
  void StartRelay(const std::string& sCert, const std::string& sKey, const std::string& sProxyKeys = "",
                  int nPlainPort = -1) {
    nProxyPort = nPlainPort >= 0 ? nPlainPort : FreePort();
    nTlsPort = FreePort();
    relay.WriteConfig(RelayConfig(sim.Port() != 0 ? sim.Port() : FreePort(), nProxyPort,
                                  "TLSPORT=" + std::to_string(nTlsPort) + "\r\nTLSCERT=" + sCert + "\r\nTLSKEY=" +
                                      sKey + "\r\n" + sProxyKeys + "[AMI]\r\nTLS=1\r\nTLSCAFILE=" + pki.Pem("ca") +
                                      "\r\n"));
    ASSERT_TRUE(relay.Start());
    ASSERT_TRUE(relay.WaitForLog(Cp1252ToUtf8(Msg(35)))) << relay.LogText();
    // The plain port's listen line comes first; a desk that connects before this one is refused.
    ASSERT_TRUE(relay.WaitForLog("TLS listener open (Port: " + std::to_string(nTlsPort))) << relay.LogText();
  }
  std::vector<std::string> ClientArgs(const std::string& sCa) const {
    return {TELVANE_CLIENT_BINARY, "--port", std::to_string(nTlsPort), "--tls", "--ca", sCa, "--queues", "10001",
            "--peers", "", "--parks", ""};
  }
  size_t Count(const std::string& sText) const {
    const std::string sLog = relay.LogText();
    size_t n = 0;
    for (size_t at = sLog.find(sText); at != std::string::npos; at = sLog.find(sText, at + 1)) ++n;
    return n;
  }

  TTestPki pki;
  TExchangeSim sim;
  TRelay relay;
  int nProxyPort = 0;
  int nTlsPort = 0;
};

TEST_F(TlsLinkTest, EventsTravelBothLinksOverTlsWhileThePlainPortServesAsBefore) {
  StartExchange("relay");
  StartRelay(pki.Pem("relay"), pki.Key("relay"));
  ASSERT_TRUE(relay.WaitForLog(Cp1252ToUtf8(Msg(26)))) << relay.LogText();
  TProcess desk;
  std::vector<std::string> vArgs = ClientArgs(pki.Pem("ca"));
  vArgs.insert(vArgs.end(), {"--count", "1"});
  ASSERT_TRUE(desk.Start(vArgs));
  ASSERT_TRUE(PollUntil([&] { return desk.Stdout().find("READY\n") != std::string::npos; })) << desk.Stderr();
  TTcpClient plainDesk;
  ASSERT_TRUE(plainDesk.Connect(nProxyPort));
  ASSERT_TRUE(Handshake(plainDesk, "Plain", "10001", "", ""));

  WriteFile(pki.Path("events.txt"), QueueEvent(10001));
  sim.Process().WriteStdin("send " + pki.Path("events.txt") + "\n");
  EXPECT_EQ(desk.WaitExit(), 0) << desk.Stderr();
  EXPECT_NE(desk.Stdout().find("Queue: 10001\n"), std::string::npos) << desk.Stdout();
  EXPECT_TRUE(plainDesk.ReadUntil("Queue: 10001\r\nUniqueid: 1700000000.1\r\n\r\n\r\n"));
  EXPECT_EQ(Count("TLS listener open (Port: " + std::to_string(nTlsPort)), 1u);
}

TEST_F(TlsLinkTest, RefusedExchangeCertificateIsAConnectionErrorWithItsReasonThenRetried) {
  struct Case {
    const char* sCert;
    const char* sReason;
  };
  const Case vCases[] = {{"rogue", "unable to get local issuer certificate"}, {"elsewhere", "IP address mismatch"}};
  for (const Case& c : vCases) {
    TExchangeSim caseSim;
    ASSERT_TRUE(caseSim.Start({"--silent", "--tls-cert", pki.Pem(c.sCert), "--tls-key", pki.Key(c.sCert)}));
    TRelay caseRelay;
    caseRelay.WriteConfig(RelayConfig(caseSim.Port(), FreePort(), "[AMI]\r\nTLS=1\r\nTLSCAFILE=" + pki.Pem("ca") + "\r\n"));
    ASSERT_TRUE(caseRelay.Start());
    const std::string sLine = "WARNING[001] TfrmTelvane.socManagerClientError: Exchange link over TLS failed (127.0.0.1:" +
                              std::to_string(caseSim.Port()) + "): TLS handshake failed: certificate verify failed";
    EXPECT_TRUE(caseRelay.WaitForLog(sLine)) << c.sCert << "\n" << caseRelay.LogText();
    EXPECT_TRUE(caseRelay.WaitForLog(std::string(": ") + c.sReason + "\r\n")) << c.sCert << "\n" << caseRelay.LogText();
    EXPECT_TRUE(caseRelay.WaitForLog("AMI Auto Reconnect Process...")) << c.sCert;
    // The usual reconnection: a second attempt, refused the same way.
    EXPECT_TRUE(PollUntil(
        [&] {
          const std::string sLog = caseRelay.LogText();
          const size_t nFirst = sLog.find(sLine);
          return nFirst != std::string::npos && sLog.find(sLine, nFirst + 1) != std::string::npos;
        },
        std::chrono::seconds(30)))
        << c.sCert;
    EXPECT_EQ(caseRelay.LogText().find(Cp1252ToUtf8(Msg(23))), std::string::npos) << "no login was sent";
  }
}

// The extension list of a large site is about 70 KB: five TLS records in one client write. The
// relay takes them as one handshake step, as it does on the plain port.
TEST_F(TlsLinkTest, HandshakeStepOfManyRecordsIsOneMessage) {
  StartExchange("relay");
  StartRelay(pki.Pem("relay"), pki.Key("relay"));
  TProcess desk;
  std::vector<std::string> vArgs = ClientArgs(pki.Pem("ca"));
  vArgs[vArgs.size() - 3] = "20000-29999";  // --peers
  ASSERT_TRUE(desk.Start(vArgs));
  ASSERT_TRUE(PollUntil([&] { return desk.Stdout().find("READY\n") != std::string::npos; }))
      << desk.Stderr() << relay.LogText();
}

TEST_F(TlsLinkTest, DeskThatRefusesTheRelaysCertificateOrSpeaksPlainTextIsDroppedWithTheReason) {
  StartRelay(pki.Pem("relay"), pki.Key("relay"));
  TProcess desk;
  ASSERT_TRUE(desk.Start(ClientArgs(pki.Pem("rogue-ca"))));
  EXPECT_EQ(desk.WaitExit(), 1);
  EXPECT_NE(desk.Stderr().find("TLS handshake failed: certificate verify failed"), std::string::npos) << desk.Stderr();
  EXPECT_TRUE(relay.WaitForLog("WARNING[001] TValidate.TlsHandshakeFailed: TLS handshake failed (127.0.0.1:"));
  EXPECT_TRUE(relay.WaitForLog("unknown ca (SSL routines), 1 failed so far.")) << relay.LogText();

  // Plain text on the TLS port: refused by the TLS handshake, so no prompt goes out in clear. Nine
  // of them: the failures' lines are thinned to the 1st and the 10th.
  for (int n = 0; n < 9; ++n) {
    TTcpClient plain;
    ASSERT_TRUE(plain.Connect(nTlsPort));
    ASSERT_TRUE(plain.Send("Hi, lets connect...\r\n"));
    ASSERT_TRUE(plain.WaitClosed());
    EXPECT_EQ(plain.Received().find("Welcome"), std::string::npos);
  }
  EXPECT_TRUE(relay.WaitForLog(", 10 failed so far.")) << relay.LogText();
  ASSERT_TRUE(PollUntil([&] { return Count(Cp1252ToUtf8(Msg(30))) == 10; })) << "every slot released";
  EXPECT_EQ(Count("TLS handshake failed ("), 2u);
}

// On TLS 1.2 the port takes only forward-secret key exchange (ECDHE) with an AEAD cipher; TLS 1.3
// works as OpenSSL ships it. The relay's certificate is RSA here, so a plain RSA key exchange and
// a finite-field DHE are on offer if the port allowed them.
TEST_F(TlsLinkTest, DeskPortTakesOnlyForwardSecretAeadSuitesOnTls12) {
  StartRelay(pki.Pem("relay-rsa"), pki.Key("relay-rsa"));
  struct Case {
    int nVersion;
    const char* sCiphers;
    bool bServed;
  };
  const Case vCases[] = {
      {TLS1_2_VERSION, "ECDHE-RSA-AES128-SHA", false},       // CBC with a SHA-1 MAC
      {TLS1_2_VERSION, "AES128-GCM-SHA256", false},          // RSA key exchange: no forward secrecy
      {TLS1_2_VERSION, "DHE-RSA-AES128-GCM-SHA256", false},  // not ECDHE
      {TLS1_2_VERSION, "ECDHE-RSA-AES128-GCM-SHA256", true},
      {TLS1_2_VERSION, "ECDHE-RSA-CHACHA20-POLY1305", true},
      {TLS1_3_VERSION, "", true},
  };
  for (const Case& c : vCases) {
    const TProbe probe = ProbeTls(nTlsPort, c.nVersion, c.sCiphers);
    ASSERT_NE(probe.nLocalPort, 0) << probe.sError;
    EXPECT_EQ(probe.bHandshake, c.bServed) << c.sCiphers << ": " << probe.sError;
    EXPECT_EQ(probe.bWelcomed, c.bServed) << c.sCiphers << ": " << probe.sError;
    if (c.bServed) {
      EXPECT_EQ(probe.sProtocol, c.nVersion == TLS1_3_VERSION ? "TLSv1.3" : "TLSv1.2");
    }
  }
}

// SERVERPORT=0 with a TLS port: the TLS port is the relay's only client port, and the start line
// names it.
TEST_F(TlsLinkTest, PlainPortZeroServesTheTlsPortAlone) {
  StartRelay(pki.Pem("relay"), pki.Key("relay"), "", 0);
  EXPECT_TRUE(relay.WaitForLog("TValidate.StartSocketServer: Iniciano processo de abertura do Servidor Proxy (Porta: " +
                               std::to_string(nTlsPort) + ")"))
      << relay.LogText();
  EXPECT_EQ(ListeningPorts(relay.Process().Pid()), std::set<int>{nTlsPort});
  const TProbe probe = ProbeTls(nTlsPort, TLS1_3_VERSION, "");
  EXPECT_TRUE(probe.bWelcomed) << probe.sError << "\n" << relay.LogText();
}

// With a client CA, a desk must show a certificate from that authority; a refused one is never
// answered, and the log says why (thinned, so the first refusal's line is the one to read).
TEST_F(TlsLinkTest, ClientCaAdmitsOnlyDesksWithACertificateItSigned) {
  StartRelay(pki.Pem("relay"), pki.Key("relay"), "TLSCLIENTCA=" + pki.Pem("ca") + "\r\n");
  struct Case {
    const char* sCert;  // "" shows none
    int nVersion;
    bool bServed;
  };
  const Case vCases[] = {
      {"", TLS1_3_VERSION, false},      {"", TLS1_2_VERSION, false},     {"rogue", TLS1_3_VERSION, false},
      {"relay", TLS1_3_VERSION, true},  {"relay", TLS1_2_VERSION, true},
  };
  int nFirstRefused = 0;
  for (const Case& c : vCases) {
    const std::string sCert = c.sCert;
    SCOPED_TRACE("certificate '" + sCert + "', " + (c.nVersion == TLS1_3_VERSION ? "TLS 1.3" : "TLS 1.2"));
    const TProbe probe = sCert.empty() ? ProbeTls(nTlsPort, c.nVersion, "")
                                       : ProbeTls(nTlsPort, c.nVersion, "", pki.Pem(sCert), pki.Key(sCert));
    ASSERT_NE(probe.nLocalPort, 0) << probe.sError;
    EXPECT_EQ(probe.bWelcomed, c.bServed) << probe.sError;
    if (!c.bServed && nFirstRefused == 0) nFirstRefused = probe.nLocalPort;
  }
  EXPECT_TRUE(relay.WaitForLog("TLS handshake failed (127.0.0.1:" + std::to_string(nFirstRefused) + "): ")) << relay.LogText();
  EXPECT_TRUE(relay.WaitForLog("peer did not return a certificate (SSL routines), 1 failed so far.")) << relay.LogText();
}

}  // namespace
