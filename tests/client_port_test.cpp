// The client port on a shared network, against the relay binary: an idle flood from one address
// does not keep a desk from another out, the handshake deadline frees slots, the allow-list
// refuses outsiders before a byte is sent, and a stranger's read is cut in the log.
// Flood connections come from 127.0.0.2 (all of 127/8 is loopback on Linux), desks from 127.0.0.1.
#include "controller/untValidate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/untCodePage.h"
#include "startup/untMessage.h"
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
  const std::vector<int> vFlood = Idle("127.0.0.2", 150);
  ASSERT_EQ(vFlood.size(), 150u);
  ASSERT_TRUE(relay.WaitForLog("100 refused so far.")) << relay.LogText();
  TTcpClient desk;
  EXPECT_TRUE(Desk(desk)) << relay.LogText();
  // Ten were admitted and wait in their handshake; the other 140 were closed without a byte.
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

}  // namespace
