// The client port on a shared network, against the relay binary: an idle flood from one address
// does not keep a desk from another out, connections over the per-address limit wait their turn
// and the deadline still closes them, the handshake deadline frees slots, the allow-list refuses
// outsiders before a byte is sent, and a stranger's read is cut in the log. The admission check
// itself runs in-process, where a failure can be made to happen.
// Flood connections come from 127.0.0.2 (all of 127/8 is loopback on Linux), desks from 127.0.0.1.
#include "controller/untDeskService.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/untCodePage.h"
#include "base/untMessage.h"
#include "platform/untServerSocket.h"
#include "support/RelayFixture.h"
#include "support/StubConnection.h"
#include "support/TestSupport.h"

namespace {

using testsupport::PollUntil;
using testsupport::TTcpClient;

// A connection from sLocalAddress to the relay; -1 when it fails. Says nothing.
int ConnectFrom(const char* sLocalAddress, int nPort) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, sLocalAddress, &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  remote.sin_port = htons(static_cast<uint16_t>(nPort));
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int LocalPortOf(int fd) {
  sockaddr_in addr{};
  socklen_t nLen = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
  return ntohs(addr.sin_port);
}

// True when the relay closed fd within the deadline; every byte it sent first goes to sGot.
bool WaitClosed(int fd, std::string& sGot) {
  return PollUntil([&] {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char vBuffer[4096];
    const ssize_t n = recv(fd, vBuffer, sizeof(vBuffer), 0);
    if (n > 0) sGot.append(vBuffer, static_cast<size_t>(n));
    return n <= 0;
  });
}

bool IsOpen(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

const std::string READY = "Server is ready and up!\r\n\r\n";

class ClientPortTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int fd : vOpen) close(fd);
  }
  void Start(const std::string& sProxyKeys) {
    nProxyPort = testsupport::FreePort();
    relay.WriteConfig(testsupport::RelayConfig(testsupport::FreePort(), nProxyPort, sProxyKeys));
    ASSERT_TRUE(relay.Start());
    ASSERT_TRUE(relay.WaitForLog(Cp1252ToUtf8(Msg(35)))) << relay.LogText();
  }
  // n silent connections from sAddress, kept open until the test ends.
  std::vector<int> Idle(const char* sAddress, int n) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i) {
      const int fd = ConnectFrom(sAddress, nProxyPort);
      EXPECT_GE(fd, 0) << i;
      if (fd < 0) break;
      v.push_back(fd);
      vOpen.push_back(fd);
    }
    return v;
  }
  size_t Count(const std::string& sText) const {
    const std::string sLog = relay.LogText();
    size_t n = 0;
    for (size_t at = sLog.find(sText); at != std::string::npos; at = sLog.find(sText, at + 1)) ++n;
    return n;
  }
  bool Desk(TTcpClient& desk) {
    return desk.Connect(nProxyPort) && testsupport::Handshake(desk, "Desk", "10001", "20001", "701");
  }

  testsupport::TRelay relay;
  int nProxyPort = 0;
  std::vector<int> vOpen;
};

TEST_F(ClientPortTest, IdleFloodFromOneAddressLeavesRoomForADeskFromAnother) {
  // A deadline long enough not to act during the test: the limit alone holds the flood.
  Start("HANDSHAKETIMEOUT=120\r\n");
  const std::vector<int> vFlood = Idle("127.0.0.2", 250);
  ASSERT_EQ(vFlood.size(), 250u);
  ASSERT_TRUE(relay.WaitForLog("100 refused so far.")) << relay.LogText();
  TTcpClient desk;
  EXPECT_TRUE(Desk(desk)) << relay.LogText();
  // Ten were admitted and wait in their handshake, 100 wait for their turn, unread; the other
  // 140 were closed without a byte.
  size_t nClosed = 0;
  for (int fd : vFlood) {
    std::string sGot;
    if (!IsOpen(fd)) {
      EXPECT_TRUE(WaitClosed(fd, sGot));
      EXPECT_EQ(sGot, "");
      ++nClosed;
    }
  }
  EXPECT_EQ(nClosed, 140u);
  // Thinned: the 1st, 10th and 100th refusal, each naming an address of the flood.
  EXPECT_EQ(Count("Connection refused: 10 connections from this address are still in the handshake"), 3u);
  for (const char* s : {" 1 refused so far.", " 10 refused so far.", " 100 refused so far."})
    EXPECT_EQ(Count(s), 1u) << s;
  EXPECT_EQ(Count("MAXPERADDRESS (127.0.0.2:"), 3u);
  // The ten of the flood and the desk (the log writer may still hold the desk's line).
  EXPECT_TRUE(PollUntil([&] { return Count(Cp1252ToUtf8(Msg(29))) == 11; })) << Count(Cp1252ToUtf8(Msg(29)));
}

TEST_F(ClientPortTest, HandshakeDeadlineClosesIdleConnectionsAndFreesTheirSlots) {
  // Long enough for a desk to get through on a busy machine, short enough for a test.
  Start("HANDSHAKETIMEOUT=3\r\nMAXPERADDRESS=0\r\n");
  TTcpClient running;
  ASSERT_TRUE(Desk(running));
  // 99 slots and one connection beyond them: every one of them is under the deadline.
  const std::vector<int> vIdle = Idle("127.0.0.1", 100);
  for (int fd : vIdle) {
    std::string sGot;
    EXPECT_TRUE(WaitClosed(fd, sGot));
    EXPECT_EQ(sGot, "");
  }
  ASSERT_TRUE(PollUntil([&] { return Count("Handshake not completed within 3 s, closing the connection") == 100; }))
      << Count("Handshake not completed");
  EXPECT_EQ(Count("Handshake not completed within 3 s, closing the connection (127.0.0.1:" +
                  std::to_string(LocalPortOf(vIdle.back())) + ")."),
            1u);
  EXPECT_TRUE(running.ReadFor(std::chrono::milliseconds(10))) << "a running desk has no deadline";
  // The slots are free again.
  TTcpClient late;
  EXPECT_TRUE(Desk(late)) << relay.LogText();
}

TEST_F(ClientPortTest, AllowListRefusesOutsidersBeforeAByteAndAdmitsItsRanges) {
  Start("ALLOWFROM=127.0.0.1/32,::1\r\n");
  const int fdOutsider = ConnectFrom("127.0.0.2", nProxyPort);
  ASSERT_GE(fdOutsider, 0);
  vOpen.push_back(fdOutsider);
  const std::string sGreeting = "Hi, lets connect...\r\n";
  send(fdOutsider, sGreeting.data(), sGreeting.size(), MSG_NOSIGNAL);
  std::string sGot;
  ASSERT_TRUE(WaitClosed(fdOutsider, sGot));
  EXPECT_EQ(sGot, "");
  ASSERT_TRUE(relay.WaitForLog("Connection refused: address outside [PROXY] ALLOWFROM (127.0.0.2:" +
                               std::to_string(LocalPortOf(fdOutsider)) + "), 1 refused so far."));
  TTcpClient desk;
  EXPECT_TRUE(Desk(desk));
  EXPECT_EQ(Count("127.0.0.2"), 1u) << "nothing else about the outsider is logged";
}

// The log copy of a stranger's read is cut at 1 KiB; a slot holder's read is logged whole.
TEST_F(ClientPortTest, ReadOfAConnectionWithoutASlotIsCutInTheLog) {
  Start("HANDSHAKETIMEOUT=0\r\nMAXPERADDRESS=0\r\n");
  const std::vector<int> vHolders = Idle("127.0.0.1", 100);
  ASSERT_TRUE(PollUntil([&] { return Count(Cp1252ToUtf8(Msg(29))) == 100; }));
  const std::string sHolderText(3000, 'H');
  ASSERT_EQ(send(vHolders[0], sHolderText.data(), sHolderText.size(), 0), 3000);
  // A slot holder's read is cut the same way.
  ASSERT_TRUE(relay.WaitForLog(":\"" + std::string(1024, 'H') + "\" (3000 bytes)\r\n"));

  const int fdStranger = ConnectFrom("127.0.0.1", nProxyPort);
  ASSERT_GE(fdStranger, 0);
  vOpen.push_back(fdStranger);
  ASSERT_TRUE(PollUntil([&] { return Count(Cp1252ToUtf8(Msg(29))) == 101; }));
  const std::string sStrangerText = std::string(1000, 'S') + "\r\n" + std::string(2000, 'S');
  ASSERT_EQ(send(fdStranger, sStrangerText.data(), sStrangerText.size(), 0), 3002);
  ASSERT_TRUE(relay.WaitForLog(":\"" + std::string(1024, 'S') + "\" (3002 bytes)\r\n"));
  EXPECT_EQ(Count(std::string(1025, 'S')), 0u);
}

// The log line number of the first line holding every one of vParts; -1 when none does.
int LineOf(const std::string& sLog, const std::vector<std::string>& vParts) {
  std::istringstream in(sLog);
  int nLine = 0;
  for (std::string sLine; std::getline(in, sLine); ++nLine) {
    bool bAll = true;
    for (const std::string& sPart : vParts) bAll = bAll && sLine.find(sPart) != std::string::npos;
    if (bAll) return nLine;
  }
  return -1;
}

// Desks over the limit from one address are held, not refused: each greets at once, the first
// nLimit are served, and every later one is let in (accepted, read) only once the handshake of
// the desk nLimit places before it is through, so all reach RUNNING without a second try.
TEST(ClientPortHoldTest, DesksOverTheLimitWaitUnreadAndAreServedOldestFirst) {
  struct Case {
    int nLimit;
    int nDesks;
  };
  const std::pair<std::string, std::string> vLaterSteps[] = {
      {"MyAppID: Desk\r\n", "Token:  ?\r\n\r\n"},
      {"MyAppToken: qmRoK8]\r\n", "QueueInfo:  ?\r\n\r\n"},
      {"GetQueueInfo: (10001)\r\n", "PeerInfo:  ?\r\n\r\n"},
      {"GetPeerInfo: (20001)\r\n", "FeatureParkInfo:  ?\r\n\r\n"},
      {"GetFeatureParkInfo: (701)\r\n", READY},
  };
  for (const Case& c : {Case{1, 3}, Case{2, 5}}) {
    SCOPED_TRACE("MAXPERADDRESS=" + std::to_string(c.nLimit) + ", " + std::to_string(c.nDesks) + " desks");
    testsupport::TRelay relay;
    const int nPort = testsupport::FreePort();
    relay.WriteConfig(testsupport::RelayConfig(testsupport::FreePort(), nPort,
                                               "HANDSHAKETIMEOUT=120\r\nMAXPERADDRESS=" + std::to_string(c.nLimit) + "\r\n"));
    ASSERT_TRUE(relay.Start());
    ASSERT_TRUE(relay.WaitForLog(Cp1252ToUtf8(Msg(35)))) << relay.LogText();
    std::vector<std::unique_ptr<TTcpClient>> vDesks;
    for (int n = 0; n < c.nDesks; ++n) {
      vDesks.push_back(std::make_unique<TTcpClient>());
      ASSERT_TRUE(vDesks.back()->Connect(nPort));
      ASSERT_TRUE(vDesks.back()->Send("Hi, lets connect...\r\n"));
    }
    // One desk at a time, in connection order: a held desk's greeting waits in the kernel and is
    // its first read once it is let in.
    for (int n = 0; n < c.nDesks; ++n) {
      TTcpClient& desk = *vDesks[n];
      ASSERT_TRUE(desk.ReadUntil("Welcome to Telvane 1.0\r\n\r\n")) << "desk " << n << "\n" << relay.LogText();
      desk.Take();
      for (const auto& [sSend, sExpect] : vLaterSteps) {
        ASSERT_TRUE(desk.Send(sSend) && desk.ReadUntil(sExpect)) << "desk " << n;
        desk.Take();
      }
    }
    auto Tag = [&](int n) { return "127.0.0.1:" + std::to_string(LocalPortOf(vDesks[n]->Fd())) + ")"; };
    ASSERT_TRUE(relay.WaitForLog("recebendo eventos (" + Tag(c.nDesks - 1)));
    const std::string sLog = relay.LogText();
    for (int n = c.nLimit; n < c.nDesks; ++n) {
      const int nAccepted = LineOf(sLog, {"socManagerServerAccept:", ":" + Tag(n)});
      const int nBeforeServed = LineOf(sLog, {"recebendo eventos (" + Tag(n - c.nLimit)});
      ASSERT_GE(nAccepted, 0) << "desk " << n;
      EXPECT_GT(nAccepted, nBeforeServed) << "desk " << n << " was let in before desk " << n - c.nLimit << " was through";
    }
    EXPECT_EQ(sLog.find("AdmitClient: Connection refused"), std::string::npos);
  }
}

// A held connection's deadline counts from its accept: one that waits past it is closed, without
// a byte, with the same line as any connection that does not get through in time.
TEST_F(ClientPortTest, HeldConnectionPastItsDeadlineIsClosedLikeAnyOther) {
  Start("HANDSHAKETIMEOUT=2\r\nMAXPERADDRESS=1\r\n");
  const std::vector<int> vIdle = Idle("127.0.0.2", 2);  // the second waits behind the first
  ASSERT_EQ(vIdle.size(), 2u);
  for (int fd : vIdle) {
    std::string sGot;
    EXPECT_TRUE(WaitClosed(fd, sGot));
    EXPECT_EQ(sGot, "");
  }
  for (int fd : vIdle)
    EXPECT_TRUE(relay.WaitForLog("Handshake not completed within 2 s, closing the connection (127.0.0.2:" +
                                 std::to_string(LocalPortOf(fd)) + ")."))
        << relay.LogText();
  EXPECT_EQ(Count("AdmitClient: Connection refused"), 0u);
}

// A connection whose address cannot even be read.
class TBrokenConnection : public testsupport::TStubConnection {
 public:
  TBrokenConnection() : TStubConnection("", 1) {}
  std::string RemoteAddress() const override { throw std::runtime_error("the peer's address is gone"); }
};

// Regression: an admission check that threw let the peer in, allow-list or not.
TEST(ClientPortAdmissionTest, CheckThatFailsRefusesThePeerWithALogLine) {
  testsupport::TRelayFixture fixture;
  ASSERT_TRUE(fixture.Start({testsupport::RelayConfig(testsupport::FreePort(), testsupport::FreePort(),
                                                      "ALLOWFROM=10.0.0.0/8\r\n")}));
  TBrokenConnection broken;
  TAdmission_OPT tAdmission = ADMISSION_ACCEPT;
  ASSERT_TRUE(fixture.OnControl([&] {
    TDeskService desks;  // its listener never listens
    tAdmission = desks.AdmitClient(broken);
  }));
  EXPECT_EQ(tAdmission, ADMISSION_REFUSE);
  EXPECT_TRUE(fixture.WaitForLog(
      "ERROR[000] TValidate.AdmitClient: Connection refused: the admission check failed: the peer's address is gone, "
      "1 refused so far."))
      << fixture.LogText();
}

}  // namespace
