// The client listener on the control thread: event order, read pieces, closing without events,
// failures that end a connection, the cut-off of a client that does not read, admission at accept,
// the connection deadline, keep-alive, the listener's addresses, holding accepts back, and
// accepting while the process has no descriptor left.
#include "platform/untServerSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/untControlLoop.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

using testsupport::PollUntil;
using testsupport::TTcpClient;

// A listener on a free port with every event recorded as "Event port detail", in order.
class ServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OnControl([this] {
      pServer = std::make_unique<TServerSocket>();
      TServerSocket& s = *pServer;
      s.OnListen = [this] { Record("Listen"); };
      s.OnAccept = [this](TServerConnection& c) { Record("Accept", c, std::to_string(pServer->ActiveConnections())); };
      s.OnClientConnect = [this](TServerConnection& c) { Record("Connect", c, std::to_string(pServer->ActiveConnections())); };
      s.OnClientDisconnect = [this](TServerConnection& c) { Record("Disconnect", c); };
      s.OnClientError = [this](TServerConnection& c, int& n) { Record("Error", c, n != 0 ? "code" : "0"); n = 0; };
      s.OnClientOverflow = [this](TServerConnection& c) { Record("Overflow", c); };
      s.OnAcceptError = [this](const std::string& sReason) { Record("AcceptError " + sReason); };
      s.OnHandlerError = [this](const std::string& sWhat) { Record("HandlerError " + sWhat); };
      s.OnClientRead = [this](TServerConnection& c) {
        const std::string sPiece = c.ReceiveText();
        vPieceSizes.push_back(sPiece.size());
        sReceived += sPiece;
        Record("Read", c);
      };
      s.SetActive(true);
      nPort = s.LocalPort();
    });
  }
  void TearDown() override { OnControl([this] { pServer.reset(); }); }

  void OnControl(const std::function<void()>& fn) { ASSERT_TRUE(loop.Synchronize(fn)); }
  void Record(const std::string& sEvent, TServerConnection& c, const std::string& sDetail = "") {
    vEvents.push_back(sEvent + " " + std::to_string(c.RemotePort()) + (sDetail.empty() ? "" : " " + sDetail));
  }
  void Record(const std::string& sEvent) { vEvents.push_back(sEvent); }
  std::vector<std::string> Events() {
    std::vector<std::string> v;
    OnControl([&] { v = vEvents; });
    return v;
  }
  bool WaitForEvent(const std::string& sEvent) {
    return PollUntil([&] {
      for (const std::string& s : Events())
        if (s == sEvent) return true;
      return false;
    });
  }
  int ActiveConnections() {
    int n = 0;
    OnControl([&] { n = pServer->ActiveConnections(); });
    return n;
  }
  static int LocalPortOf(int fd) {
    sockaddr_in addr{};
    socklen_t nLen = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
    return ntohs(addr.sin_port);
  }
  // A plain loopback connection; nRcvBuf > 0 makes its receive buffer small.
  static int ConnectRaw(int nToPort, int nRcvBuf = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (nRcvBuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nRcvBuf, sizeof(nRcvBuf));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nToPort));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  // Runs fn on the test thread while the control thread is held in a handler, so whatever fn
  // sends waits in the kernel until the control thread reads it in one turn.
  void WithControlHeld(const std::function<void()>& fn) {
    std::promise<void> holding, release;
    std::shared_future<void> fRelease = release.get_future().share();
    loop.Post([&holding, fRelease] {
      holding.set_value();
      fRelease.wait();
    });
    holding.get_future().wait();
    struct TRelease {
      std::promise<void>& release;
      ~TRelease() { release.set_value(); }
    } atExit{release};  // also when an assertion in fn returns early
    fn();
  }
  // Closing with linger 0 sends a reset instead of a FIN.
  static void Reset(int fd) {
    const linger lin{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof(lin));
    close(fd);
  }

  testsupport::TControlThread control;  // the loop on its own thread, for the length of a case
  TControlLoop& loop = control.Loop();
  int nPort = 0;
  // Control thread only:
  std::unique_ptr<TServerSocket> pServer;
  std::vector<std::string> vEvents;
  std::vector<size_t> vPieceSizes;
  std::string sReceived;
};

TEST_F(ServerSocketTest, EventsComeInOrderAndAConnectionIsCountedWhileItIsNamed) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nPort));
  const std::string p = std::to_string(LocalPortOf(client.Fd()));
  ASSERT_TRUE(WaitForEvent("Connect " + p + " 1"));
  ASSERT_TRUE(client.Send("Hi"));
  ASSERT_TRUE(WaitForEvent("Read " + p));
  client.Close();
  ASSERT_TRUE(WaitForEvent("Disconnect " + p));
  EXPECT_EQ(Events(), (std::vector<std::string>{"Listen", "Accept " + p + " 1", "Connect " + p + " 1", "Read " + p,
                                                "Disconnect " + p}));
  EXPECT_EQ(ActiveConnections(), 0);
}

TEST_F(ServerSocketTest, ReadsArriveInPiecesOfAtMost1MiB) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nPort));
  std::string sSent(3 * 1024 * 1024 + 5, '\0');
  for (size_t n = 0; n < sSent.size(); ++n) sSent[n] = static_cast<char>(n * 7 + n / 251);  // NULs and 0x80-0xFF too
  ASSERT_TRUE(client.Send(sSent));
  ASSERT_TRUE(PollUntil([&] {
    size_t n = 0;
    OnControl([&] { n = sReceived.size(); });
    return n >= sSent.size();
  }));
  OnControl([&] {
    EXPECT_EQ(sReceived, sSent);
    EXPECT_GE(vPieceSizes.size(), 4u);
    for (size_t n : vPieceSizes) EXPECT_LE(n, 1024u * 1024u);
  });
}

// A handshake step above 64 KiB (the extension list of a large site) that the kernel holds whole
// when the relay reads is one read event, not two messages; a close right behind it comes after it.
TEST_F(ServerSocketTest, WriteAbove64KiBThatArrivedWholeIsOneReadAndACloseBehindItFollows) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nPort));
  const std::string p = std::to_string(LocalPortOf(client.Fd()));
  ASSERT_TRUE(WaitForEvent("Connect " + p + " 1"));
  const std::string sList = "GetPeerInfo: (" + std::string(70000, '7') + ")\r\n";
  WithControlHeld([&] {
    ASSERT_EQ(send(client.Fd(), sList.data(), sList.size(), MSG_NOSIGNAL | MSG_DONTWAIT),
              static_cast<ssize_t>(sList.size())) << "the kernel did not take the whole write";
    // The sender's queue is empty once the relay's kernel has acknowledged every byte.
    ASSERT_TRUE(PollUntil([&] {
      int nUnsent = -1;
      return ioctl(client.Fd(), SIOCOUTQ, &nUnsent) == 0 && nUnsent == 0;
    }));
    client.Close();
  });
  ASSERT_TRUE(WaitForEvent("Disconnect " + p));
  OnControl([&] {
    EXPECT_EQ(sReceived, sList);
    EXPECT_EQ(vPieceSizes, std::vector<size_t>{sList.size()});
    EXPECT_EQ(std::vector<std::string>(vEvents.end() - 2, vEvents.end()),
              (std::vector<std::string>{"Read " + p, "Disconnect " + p}));
  });
}

TEST_F(ServerSocketTest, DeactivatingClosesEveryConnectionWithoutEventsButSendsWhatWasQueued) {
  TTcpClient first, second;
  ASSERT_TRUE(first.Connect(nPort));
  ASSERT_TRUE(second.Connect(nPort));
  ASSERT_TRUE(PollUntil([&] { return ActiveConnections() == 2; }));
  bool bActive = true;
  OnControl([&] {
    for (int n = 0; n < pServer->ActiveConnections(); ++n) pServer->Connections(n)->SendText("Bye " + std::to_string(n));
    pServer->SetActive(false);
    bActive = pServer->Active();
  });
  EXPECT_FALSE(bActive);
  ASSERT_TRUE(first.WaitClosed());
  ASSERT_TRUE(second.WaitClosed());
  EXPECT_EQ(first.Received(), "Bye 0");
  EXPECT_EQ(second.Received(), "Bye 1");
  EXPECT_EQ(ActiveConnections(), 0);
  for (const std::string& s : Events()) EXPECT_EQ(s.find("Disconnect"), std::string::npos) << s;
  // The port is free again: a new activation on the same port listens.
  OnControl([&] {
    pServer->Port = nPort;
    pServer->SetActive(true);
  });
  TTcpClient third;
  EXPECT_TRUE(third.Connect(nPort));
}

TEST_F(ServerSocketTest, ActivationOnATakenPortThrowsTheReason) {
  std::string sError;
  OnControl([&] {
    TServerSocket other;
    other.Port = nPort;
    try {
      other.SetActive(true);
    } catch (const std::runtime_error& e) {
      sError = e.what();
    }
    EXPECT_FALSE(other.Active());
  });
  EXPECT_NE(sError.find("in use"), std::string::npos) << sError;
}

TEST_F(ServerSocketTest, ResetByThePeerRaisesErrorThenDisconnect) {
  const int fd = ConnectRaw(nPort);
  ASSERT_GE(fd, 0);
  const std::string p = std::to_string(LocalPortOf(fd));
  ASSERT_TRUE(WaitForEvent("Connect " + p + " 1"));
  Reset(fd);
  ASSERT_TRUE(WaitForEvent("Disconnect " + p));
  const std::vector<std::string> v = Events();
  EXPECT_EQ(std::vector<std::string>(v.end() - 2, v.end()), (std::vector<std::string>{"Error " + p + " code", "Disconnect " + p}));
}

// A send that fails in the middle of a loop over the connections must not change the list under
// the loop: the error and the disconnect come after the caller returns.
TEST_F(ServerSocketTest, FailedSendEndsTheConnectionOnlyAfterTheCallersLoop) {
  const int fdDying = ConnectRaw(nPort);
  ASSERT_GE(fdDying, 0);
  TTcpClient healthy;
  ASSERT_TRUE(healthy.Connect(nPort));
  const std::string p = std::to_string(LocalPortOf(fdDying));
  ASSERT_TRUE(PollUntil([&] { return ActiveConnections() == 2; }));
  OnControl([&] {
    Reset(fdDying);  // on the control thread, so no read event can notice it first
    for (int nRound = 0; nRound < 3; ++nRound) {
      for (int n = 0; n < pServer->ActiveConnections(); ++n) {
        TServerConnection* pConnection = pServer->Connections(n);
        ASSERT_NE(pConnection, nullptr);
        pConnection->SendText(std::string(1000, 'e'));
        EXPECT_EQ(pServer->ActiveConnections(), 2);
      }
    }
    EXPECT_EQ(vEvents.back(), "Connect " + std::to_string(LocalPortOf(healthy.Fd())) + " 2");
  });
  ASSERT_TRUE(WaitForEvent("Disconnect " + p));
  EXPECT_TRUE(healthy.ReadUntil(std::string(3000, 'e')));
  EXPECT_EQ(ActiveConnections(), 1);
}

// One client never reads; the other reads everything. The first is cut off once more than the
// bound waits for it; the second goes on receiving every byte.
TEST_F(ServerSocketTest, ClientThatNeverReadsIsCutOffAndTheOtherKeepsReceiving) {
  const int fdSilent = ConnectRaw(nPort, 4096);
  ASSERT_GE(fdSilent, 0);
  const std::string pSilent = std::to_string(LocalPortOf(fdSilent));
  TTcpClient reader;
  ASSERT_TRUE(reader.Connect(nPort));
  ASSERT_TRUE(PollUntil([&] { return ActiveConnections() == 2; }));

  const std::string sChunk(64 * 1024, 'x');
  size_t nSentToReader = 0, nReceivedByReader = 0;
  bool bCutOff = false;
  for (int nRound = 0; nRound < 1000 && !bCutOff; ++nRound) {
    OnControl([&] {
      for (int n = 0; n < pServer->ActiveConnections(); ++n) {
        TServerConnection* pConnection = pServer->Connections(n);
        if (std::to_string(pConnection->RemotePort()) != pSilent) nSentToReader += sChunk.size();
        pConnection->SendText(sChunk);
        EXPECT_LE(pConnection->QueuedBytes(), TServerSocket::nDefaultMaxQueuedBytes);
      }
      for (const std::string& s : vEvents) bCutOff = bCutOff || s == "Overflow " + pSilent;
    });
    // The reader keeps up, so its own queue never grows.
    ASSERT_TRUE(PollUntil([&] {
      reader.ReadFor(std::chrono::milliseconds(20));
      nReceivedByReader += reader.Take().size();
      return nReceivedByReader == nSentToReader;
    })) << "round " << nRound << ": " << nReceivedByReader << " of " << nSentToReader;
  }
  ASSERT_TRUE(bCutOff);
  ASSERT_TRUE(WaitForEvent("Disconnect " + pSilent));
  const std::vector<std::string> v = Events();
  EXPECT_EQ(std::vector<std::string>(v.end() - 2, v.end()),
            (std::vector<std::string>{"Overflow " + pSilent, "Disconnect " + pSilent}));
  EXPECT_EQ(ActiveConnections(), 1);
  close(fdSilent);
}


// A refused peer is closed before anything is sent and raises no event after the admission.
TEST_F(ServerSocketTest, RefusedPeerIsClosedWithoutAByteOrAnEvent) {
  bool bAdmit = false;  // control thread
  OnControl([&] {
    pServer->OnAdmit = [&](TServerConnection& c) {
      Record("Admit", c, std::to_string(pServer->ActiveConnections()));
      c.SendText("must not be sent");
      return bAdmit ? ADMISSION_ACCEPT : ADMISSION_REFUSE;
    };
  });
  TTcpClient refused;
  ASSERT_TRUE(refused.Connect(nPort));
  const std::string p = std::to_string(LocalPortOf(refused.Fd()));
  ASSERT_TRUE(refused.WaitClosed());
  EXPECT_EQ(refused.Received(), "");
  EXPECT_EQ(Events(), (std::vector<std::string>{"Listen", "Admit " + p + " 0"}));
  EXPECT_EQ(ActiveConnections(), 0);

  OnControl([&] { bAdmit = true; });
  TTcpClient admitted;
  ASSERT_TRUE(admitted.Connect(nPort));
  EXPECT_TRUE(WaitForEvent("Connect " + std::to_string(LocalPortOf(admitted.Fd())) + " 1"));
}

// Regression: a handler that threw admitted the peer; a check that cannot be made now lets nobody in.
TEST_F(ServerSocketTest, AdmissionHandlerThatThrowsRefusesThePeer) {
  OnControl([&] {
    pServer->OnAdmit = [&](TServerConnection& c) -> TAdmission_OPT {
      Record("Admit", c);
      throw std::runtime_error("the check broke");
    };
  });
  TTcpClient peer;
  ASSERT_TRUE(peer.Connect(nPort));
  ASSERT_TRUE(peer.WaitClosed());
  EXPECT_EQ(peer.Received(), "");
  EXPECT_EQ(Events(), (std::vector<std::string>{"Listen", "Admit " + std::to_string(LocalPortOf(peer.Fd())),
                                                "HandlerError the check broke"}));
  EXPECT_EQ(ActiveConnections(), 0);
}

// Whatever a handler lets through is told to OnHandlerError, std::exception or not, and the
// connection is served on: the next read arrives as usual.
TEST_F(ServerSocketTest, HandlerThatThrowsIsToldAndTheConnectionServedOn) {
  OnControl([&] {
    pServer->OnClientRead = [&](TServerConnection& c) {
      const std::string sPiece = c.ReceiveText();
      Record("Read", c, sPiece);
      if (sPiece == "std") throw std::runtime_error("the handler broke");
      if (sPiece == "other") throw 42;
    };
  });
  TTcpClient peer;
  ASSERT_TRUE(peer.Connect(nPort));
  const std::string p = std::to_string(LocalPortOf(peer.Fd()));
  ASSERT_TRUE(WaitForEvent("Connect " + p + " 1"));
  for (const std::string sSend : {"std", "other", "after"}) {
    ASSERT_TRUE(peer.Send(sSend));
    ASSERT_TRUE(WaitForEvent("Read " + p + " " + sSend)) << sSend;
  }
  const std::vector<std::string> vEvents = Events();
  const std::vector<std::string> vTail(vEvents.end() - 5, vEvents.end());
  EXPECT_EQ(vTail, (std::vector<std::string>{"Read " + p + " std", "HandlerError the handler broke",
                                             "Read " + p + " other", "HandlerError unknown error",
                                             "Read " + p + " after"}));
  EXPECT_EQ(ActiveConnections(), 1);
}

// A held peer is neither listed nor read and raises no event until ReleaseHeld names its address;
// then it is served as if just admitted, and what it sent meanwhile is its first read. Its
// deadline runs while it waits, and Close ends it without an event, as it never connected.
TEST_F(ServerSocketTest, HeldPeerWaitsUnreadUntilReleasedAndItsDeadlineStillRuns) {
  int nAdmitted = 0;  // control thread
  OnControl([&] {
    // The first is released long before its deadline; the second waits it out.
    pServer->OnAdmit = [&](TServerConnection& c) {
      Record("Admit", c);
      c.SetDeadline(nAdmitted++ == 0 ? 120000 : 300);
      return ADMISSION_HOLD;
    };
    pServer->OnClientConnect = [&](TServerConnection& c) {
      Record("Connect", c, std::to_string(pServer->ActiveConnections()));
      c.SetDeadline(0);
    };
    pServer->OnClientTimeout = [&](TServerConnection& c) {
      Record("Timeout", c, std::to_string(pServer->HeldConnections("127.0.0.1")));
      c.Close();
    };
  });
  TTcpClient released;
  ASSERT_TRUE(released.Connect(nPort));
  const std::string pReleased = std::to_string(LocalPortOf(released.Fd()));
  ASSERT_TRUE(released.Send("early"));
  ASSERT_TRUE(WaitForEvent("Admit " + pReleased));
  int nHeld = 0;
  OnControl([&] {
    nHeld = pServer->HeldConnections("127.0.0.1") + pServer->HeldConnections("127.0.0.2");
    pServer->ReleaseHeld("127.0.0.1");
  });
  EXPECT_EQ(nHeld, 1);
  ASSERT_TRUE(WaitForEvent("Read " + pReleased));
  EXPECT_EQ(Events(), (std::vector<std::string>{"Listen", "Admit " + pReleased, "Accept " + pReleased + " 1",
                                                "Connect " + pReleased + " 1", "Read " + pReleased}));
  std::string sRead;
  OnControl([&] { sRead = sReceived; });
  EXPECT_EQ(sRead, "early");

  TTcpClient waiting;
  ASSERT_TRUE(waiting.Connect(nPort));
  const std::string pWaiting = std::to_string(LocalPortOf(waiting.Fd()));
  ASSERT_TRUE(waiting.Send("unread"));
  ASSERT_TRUE(waiting.WaitClosed());
  EXPECT_EQ(waiting.Received(), "");
  const std::vector<std::string> v = Events();
  EXPECT_EQ(std::vector<std::string>(v.begin() + 5, v.end()),
            (std::vector<std::string>{"Admit " + pWaiting, "Timeout " + pWaiting + " 1"}));
  OnControl([&] { nHeld = pServer->HeldConnections(); });
  EXPECT_EQ(nHeld, 0);
  OnControl([&] { sRead = sReceived; });
  EXPECT_EQ(sRead, "early");
  EXPECT_EQ(ActiveConnections(), 1);
}

// The deadline fires once for a connection that keeps it, never for one that cancelled it; Close
// ends the connection with its disconnect, raised after the handler that called it.
TEST_F(ServerSocketTest, DeadlineRaisesTimeoutUnlessCancelledAndCloseEndsTheConnection) {
  OnControl([&] {
    pServer->OnClientConnect = [&](TServerConnection& c) {
      Record("Connect", c);
      c.SetDeadline(1000);
    };
    pServer->OnClientRead = [&](TServerConnection& c) {
      Record("Read", c);
      if (c.ReceiveText() == "run") c.SetDeadline(0);
    };
    pServer->OnClientTimeout = [&](TServerConnection& c) {
      Record("Timeout", c);
      c.Close();
      Record("Closed", c, std::to_string(pServer->ActiveConnections()));
    };
  });
  TTcpClient running, idle;
  ASSERT_TRUE(running.Connect(nPort));
  const std::string pRunning = std::to_string(LocalPortOf(running.Fd()));
  ASSERT_TRUE(running.Send("run"));
  ASSERT_TRUE(WaitForEvent("Read " + pRunning));
  // The idle one's deadline is set after the running one's would have passed, so by the time it
  // fires, the cancelled one would have fired too.
  ASSERT_TRUE(idle.Connect(nPort));
  const std::string pIdle = std::to_string(LocalPortOf(idle.Fd()));
  ASSERT_TRUE(WaitForEvent("Disconnect " + pIdle));
  ASSERT_TRUE(idle.WaitClosed());
  EXPECT_EQ(idle.Received(), "");
  const std::vector<std::string> v = Events();
  EXPECT_EQ(std::vector<std::string>(v.end() - 3, v.end()),
            (std::vector<std::string>{"Timeout " + pIdle, "Closed " + pIdle + " 2", "Disconnect " + pIdle}));
  for (const std::string& s : v) EXPECT_NE(s, "Timeout " + pRunning);
  EXPECT_TRUE(running.ReadFor(std::chrono::milliseconds(10))) << "the running one stays open";
  EXPECT_EQ(ActiveConnections(), 1);
}

// Keep-alive shows in the kernel's table as the connection's timer (2), due within the idle time
// (in hundredths of a second), instead of no timer at all.
TEST_F(ServerSocketTest, EveryConnectionHasKeepAliveOn) {
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nPort));
  const int nClientPort = LocalPortOf(client.Fd());
  ASSERT_TRUE(WaitForEvent("Connect " + std::to_string(nClientPort) + " 1"));
  std::ifstream in("/proc/net/tcp");
  std::string sLine;
  bool bFound = false;
  while (std::getline(in, sLine)) {
    std::istringstream fields(sLine);
    std::string sSlot, sLocal, sRemote, sState, sQueues, sTimer;
    fields >> sSlot >> sLocal >> sRemote >> sState >> sQueues >> sTimer;
    if (sSlot.empty() || sSlot.back() != ':') continue;  // the heading
    if (std::stoi(sLocal.substr(sLocal.size() - 4), nullptr, 16) != nPort ||
        std::stoi(sRemote.substr(sRemote.size() - 4), nullptr, 16) != nClientPort)
      continue;
    bFound = true;
    EXPECT_EQ(sTimer.substr(0, 2), "02") << sLine;
    EXPECT_LE(std::stoul(sTimer.substr(3), nullptr, 16), 4500u) << sLine;
  }
  EXPECT_TRUE(bFound);
}

TEST_F(ServerSocketTest, DualStackListenerNamesIPv4PeersAsIPv4) {
  std::string sError;
  OnControl([&] {
    pServer->SetActive(false);
    pServer->BindAddress = "::";
    pServer->Port = 0;
    try {
      pServer->SetActive(true);
      nPort = pServer->LocalPort();
    } catch (const std::runtime_error& e) {
      sError = e.what();
    }
  });
  if (!sError.empty()) GTEST_SKIP() << "no IPv6 here: " << sError;
  std::string sAddress;
  OnControl([&] { pServer->OnClientConnect = [&](TServerConnection& c) { sAddress = c.RemoteAddress(); }; });
  TTcpClient client;
  ASSERT_TRUE(client.Connect(nPort));
  ASSERT_TRUE(PollUntil([&] {
    std::string s;
    OnControl([&] { s = sAddress; });
    return !s.empty();
  }));
  OnControl([&] { EXPECT_EQ(sAddress, "127.0.0.1"); });
}

TEST_F(ServerSocketTest, UnreadableTlsCertificateNamesTheFileAndLeavesThePlainPort) {
  std::string sError;
  OnControl([&] {
    try {
      pServer->ListenTls(0, "/nonexistent/relay.pem", "/nonexistent/relay.key");
    } catch (const std::runtime_error& e) {
      sError = e.what();
    }
    EXPECT_EQ(pServer->LocalTlsPort(), 0);
    EXPECT_TRUE(pServer->Active());
  });
  EXPECT_NE(sError.find("/nonexistent/relay.pem"), std::string::npos) << sError;
  EXPECT_NE(sError.find("No such file"), std::string::npos) << sError;
  TTcpClient client;
  EXPECT_TRUE(client.Connect(nPort));
}

// While OnAcceptHold says true, peers wait in the kernel's queue; they are taken once it lets go.
// A hold that never ends lasts a second, and the listener then holds no more (and stops asking
// every millisecond) until the handler has once said false: the port keeps serving.
TEST_F(ServerSocketTest, HeldListenerTakesPeersOnceTheHoldEndsAndAHoldThatNeverEndsGivesWay) {
  std::atomic<bool> bHold{true};
  std::atomic<int> nAsked{0};
  const auto Relisten = [&] {  // a fresh listener, held from its first accept
    OnControl([&] {
      pServer->SetActive(false);
      pServer->OnAcceptHold = [&] {
        ++nAsked;
        return bHold.load();
      };
      pServer->SetActive(true);
      nPort = pServer->LocalPort();
    });
  };
  Relisten();
  const int fdA = ConnectRaw(nPort);
  ASSERT_GE(fdA, 0);
  ASSERT_TRUE(PollUntil([&] { return nAsked.load() >= 20; }));
  EXPECT_EQ(ActiveConnections(), 0) << "held";
  bHold = false;
  EXPECT_TRUE(WaitForEvent("Connect " + std::to_string(LocalPortOf(fdA)) + " 1"));

  bHold = true;  // and never let go
  Relisten();  // closes A's connection without an event
  close(fdA);
  const int fdB = ConnectRaw(nPort);
  ASSERT_GE(fdB, 0);
  EXPECT_TRUE(WaitForEvent("Connect " + std::to_string(LocalPortOf(fdB)) + " 1"));
  const int nAskedBefore = nAsked.load();
  const int fdC = ConnectRaw(nPort);
  ASSERT_GE(fdC, 0);
  EXPECT_TRUE(WaitForEvent("Connect " + std::to_string(LocalPortOf(fdC)) + " 2"));
  EXPECT_LE(nAsked.load() - nAskedBefore, 2) << "once a hold gave way, the listener asks once per accept";
  close(fdB);
  close(fdC);
}

// Every descriptor the process may still open, taken until the object goes: the soft limit is
// lowered first so that only a few are needed.
class TDescriptorsTaken {
 public:
  TDescriptorsTaken() {
    getrlimit(RLIMIT_NOFILE, &tSaved);
    rlimit tLow = tSaved;
    tLow.rlim_cur = 256;
    setrlimit(RLIMIT_NOFILE, &tLow);
    for (int fd; (fd = dup(0)) >= 0;) vTaken.push_back(fd);
  }
  ~TDescriptorsTaken() {
    Free();
    setrlimit(RLIMIT_NOFILE, &tSaved);
  }
  void Free() {
    for (int fd : vTaken) close(fd);
    vTaken.clear();
  }
  void SpareOne() {
    close(vTaken.back());
    vTaken.pop_back();
  }

 private:
  rlimit tSaved{};
  std::vector<int> vTaken;
};

// Regression: without a free descriptor, accept fails at once each time it is retried; the
// listener must neither spin on it nor stop accepting, and must say why.
TEST_F(ServerSocketTest, AcceptWithoutAFreeDescriptorPausesAndTakesThePeerOnceOneIsFree) {
  const auto tStart = std::chrono::steady_clock::now();
  TDescriptorsTaken tTaken;
  tTaken.SpareOne();  // for the peer's own socket; the kernel completes its connection at once
  const int fdPeer = ConnectRaw(nPort);
  ASSERT_GE(fdPeer, 0);
  ASSERT_TRUE(PollUntil([&] {
    size_t n = 0;
    for (const std::string& s : Events()) n += s.rfind("AcceptError ", 0) == 0;
    return n >= 5;
  }));
  std::vector<std::string> v = Events();
  const auto tElapsed = std::chrono::steady_clock::now() - tStart;
  const auto nFailures =
      std::count_if(v.begin(), v.end(), [](const std::string& s) { return s.rfind("AcceptError", 0) == 0; });
  // One attempt per 100 ms pause (a spinning listener makes thousands in that time).
  EXPECT_LE(nFailures, std::chrono::duration_cast<std::chrono::milliseconds>(tElapsed).count() / 100 + 2);
  EXPECT_EQ(v.back(), "AcceptError Too many open files");
  EXPECT_EQ(ActiveConnections(), 0);

  tTaken.Free();
  ASSERT_TRUE(WaitForEvent("Connect " + std::to_string(LocalPortOf(fdPeer)) + " 1"));
  close(fdPeer);
}

}  // namespace
