// TLS on both links, end to end: the simulator speaks TLS to the relay, the relay's TLS port to the
// client tool, with certificates made by the test (a test authority, a certificate it signed for
// 127.0.0.1, one signed by a second authority nobody trusts, one for another name). Refused
// certificates on either side end with a log line that gives the reason; a certificate the TLS
// listener cannot read is an error of that listener only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "platform/untCodePage.h"
#include "startup/untMessage.h"
#include "support/TestSupport.h"

namespace {

using namespace testsupport;

// The test's certificates, made with the openssl tool in a temporary folder (EC keys: fast).
class TTestPki {
 public:
  TTestPki() {
    bReady = Authority("ca", "Telvane Test CA") && Authority("rogue-ca", "Nobody Trusts Me") &&
             Leaf("relay", "ca", "subjectAltName=IP:127.0.0.1,DNS:localhost") &&
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
  bool Leaf(const std::string& sName, const std::string& sIssuer, const std::string& sAltNames) const {
    WriteFile(Path(sName + ".ext"), sAltNames + "\n");
    return Run("openssl req" + std::string(kNewKey) + " -keyout " + sName + ".key -out " + sName +
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

class TlsLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pki.Ready()) << ReadFile(pki.Path("openssl.log")); }

  // The simulator with the given certificate, silent until told to send.
  void StartExchange(const std::string& sCert) {
    ASSERT_TRUE(sim.Start({"--silent", "--tls-cert", pki.Pem(sCert), "--tls-key", pki.Key(sCert)}));
  }
  // The relay with TLS to the exchange (trusting the test authority) and a TLS listener.
  void StartRelay(const std::string& sCert, const std::string& sKey) {
    nProxyPort = FreePort();
    nTlsPort = FreePort();
    relay.WriteConfig(RelayConfig(sim.Port() != 0 ? sim.Port() : FreePort(), nProxyPort,
                                  "TLSPORT=" + std::to_string(nTlsPort) + "\r\nTLSCERT=" + sCert + "\r\nTLSKEY=" +
                                      sKey + "\r\n[AMI]\r\nTLS=1\r\nTLSCAFILE=" + pki.Pem("ca") + "\r\n"));
    ASSERT_TRUE(relay.Start());
    ASSERT_TRUE(relay.WaitForLog(Cp1252ToUtf8(Msg(35)))) << relay.LogText();
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
  EXPECT_TRUE(relay.WaitForLog("unknown ca")) << relay.LogText();

  // Plain text on the TLS port: refused by the TLS handshake, so no prompt goes out in clear.
  TTcpClient plain;
  ASSERT_TRUE(plain.Connect(nTlsPort));
  ASSERT_TRUE(plain.Send("Hi, lets connect...\r\n"));
  ASSERT_TRUE(plain.WaitClosed());
  EXPECT_EQ(plain.Received().find("Welcome"), std::string::npos);
  EXPECT_TRUE(relay.WaitForLog("WARNING[001] TfrmTelvane.socManagerServerClientTlsError: TLS handshake failed (127.0.0.1:"));
  ASSERT_TRUE(PollUntil([&] { return Count(Cp1252ToUtf8(Msg(30))) == 2; })) << "both slots released";
}

TEST_F(TlsLinkTest, UnusableCertificateStopsOnlyTheTlsListenerWithAClearLine) {
  struct Case {
    std::string sCert, sKey;
    std::string sReason;
  };
  const std::vector<Case> vCases = {
      {pki.Path("missing.pem"), pki.Key("relay"),
       "cannot read the TLS certificate file " + pki.Path("missing.pem") + ": No such file or directory"},
      {pki.Pem("relay"), pki.Key("rogue"), "the TLS key file " + pki.Key("rogue") + " is not usable"},
  };
  for (const Case& c : vCases) {
    TRelay caseRelay;
    const int nPlain = FreePort(), nTls = FreePort();
    caseRelay.WriteConfig(RelayConfig(FreePort(), nPlain,
                                      "TLSPORT=" + std::to_string(nTls) + "\r\nTLSCERT=" + c.sCert + "\r\nTLSKEY=" + c.sKey + "\r\n"));
    ASSERT_TRUE(caseRelay.Start());
    EXPECT_TRUE(caseRelay.WaitForLog("ERROR[000] TValidate.StartSocketServer: TLS listener not started (Port: " +
                                     std::to_string(nTls) + "): " + c.sReason))
        << caseRelay.LogText();
    TTcpClient desk;
    ASSERT_TRUE(desk.Connect(nPlain));
    EXPECT_TRUE(Handshake(desk, "Plain", "10001", "", "")) << "the plain port serves";
    TTcpClient tls;
    EXPECT_FALSE(tls.Connect(nTls, std::chrono::milliseconds(200))) << "nothing listens on the TLS port";
    EXPECT_TRUE(caseRelay.Process().Running());
  }
}

}  // namespace
