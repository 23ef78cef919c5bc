// The TLS front's handlers that throw: whatever one lets through is told to OnHandlerError and
// stops there; an admission check that throws refuses the peer (the port never fails open).
#include "platform/untTlsFront.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/untControlLoop.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

using testsupport::PollUntil;
using testsupport::TTcpClient;
using testsupport::TTempDir;

// A front on a free port with a self-signed certificate, its back end a port nobody listens on;
// OnHandlerError's texts are recorded on the control thread.
class TlsFrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(std::system(("cd " + dir.Path() +
                           " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout f.key"
                           " -out f.pem -days 2 -subj '/CN=127.0.0.1' >openssl.log 2>&1")
                              .c_str()),
              0);
  }
  void TearDown() override { control.OnControl([this] { pFront.reset(); }); }

  // Opens the front with its handlers set by fnSet.
  void Open(const std::function<void(TTlsFront&)>& fnSet) {
    ASSERT_TRUE(control.OnControl([&] {
      pFront = std::make_unique<TTlsFront>();
      vFailures.clear();
      pFront->BackendPort = testsupport::FreePort();
      pFront->OnHandlerError = [this](const std::string& sWhat) { vFailures.push_back(sWhat); };
      fnSet(*pFront);
      pFront->Open(dir.Path() + "/f.pem", dir.Path() + "/f.key");
      nPort = pFront->LocalPort();
    }));
    ASSERT_NE(nPort, 0);
  }
  std::vector<std::string> Failures() {
    std::vector<std::string> v;
    control.OnControl([&] { v = vFailures; });
    return v;
  }
  int ActiveConnections() {
    int n = -1;
    control.OnControl([&] { n = pFront->ActiveConnections(); });
    return n;
  }

  TTempDir dir;
  testsupport::TControlThread control;
  std::unique_ptr<TTlsFront> pFront;   // control thread
  std::vector<std::string> vFailures;  // control thread
  int nPort = 0;
};

// An admission check that throws refuses the peer before its TLS hello, and says why.
TEST_F(TlsFrontTest, AdmissionCheckThatThrowsRefusesThePeerWithItsReason) {
  struct Case {
    std::function<void()> fnThrow;
    std::string sReason;
  };
  const Case vCases[] = {
      {[] { throw std::runtime_error("no allow-list"); }, "no allow-list"},
      {[] { throw 42; }, "unknown error"},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sReason);
    Open([&](TTlsFront& f) {
      f.OnAdmit = [&](const std::string&, int, int) -> bool {
        c.fnThrow();
        return true;
      };
    });
    TTcpClient peer;
    ASSERT_TRUE(peer.Connect(nPort));
    EXPECT_TRUE(peer.WaitClosed());
    EXPECT_EQ(peer.Received(), "") << "refused before a TLS hello";
    ASSERT_TRUE(PollUntil([&] { return Failures().size() == 1; }));
    const std::string sLine = Failures()[0];
    EXPECT_EQ(sLine.rfind("127.0.0.1:", 0), 0U) << sLine;
    const std::string sTail = " refused, its admission check failed: " + c.sReason;
    ASSERT_GE(sLine.size(), sTail.size());
    EXPECT_EQ(sLine.substr(sLine.size() - sTail.size()), sTail);
    EXPECT_EQ(ActiveConnections(), 0);
  }
}

// A handler of a failed handshake that throws is told too, and the front serves on.
TEST_F(TlsFrontTest, TlsErrorHandlerThatThrowsIsToldAndTheFrontGoesOn) {
  int nTlsErrors = 0;  // control thread
  Open([&](TTlsFront& f) {
    f.OnTlsError = [&](const std::string&, int, const std::string&) {
      ++nTlsErrors;
      throw std::runtime_error("log gone");
    };
  });
  for (int n = 1; n <= 2; ++n) {
    TTcpClient peer;
    ASSERT_TRUE(peer.Connect(nPort));
    ASSERT_TRUE(peer.Send("GET / HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(peer.WaitClosed());
    ASSERT_TRUE(PollUntil([&] { return Failures().size() == static_cast<size_t>(n); }));
  }
  EXPECT_EQ(Failures(), (std::vector<std::string>{"a handler failed: log gone", "a handler failed: log gone"}));
  int nErrors = 0;
  control.OnControl([&] { nErrors = nTlsErrors; });
  EXPECT_EQ(nErrors, 2);
}

}  // namespace
