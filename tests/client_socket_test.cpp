// Tests of TClientSocket, in process: the control loop's io_context is driven on the test thread,
// and a small Asio fake server on the same loop plays the peer (send, close, reset, hold, or
// accept-and-close for the reconnection cycles). Only loopback traffic; ports from the OS.
#include "platform/untClientSocket.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/untControlLoop.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using tcp = asio::ip::tcp;
using testsupport::kDeadline;

asio::io_context& Loop() { return TControlLoop::Instance().Context(); }

// Runs the loop on this thread until fnDone holds or the deadline passes.
bool Pump(const std::function<bool()>& fnDone, std::chrono::milliseconds tTimeout = kDeadline) {
  const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
  while (!fnDone()) {
    if (std::chrono::steady_clock::now() >= tEnd) return false;
    Loop().run_one_for(10ms);
  }
  return true;
}

int OpenDescriptors() {
  int nCount = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++nCount;
    closedir(dir);
  }
  return nCount;
}

// What the fake server does with each accepted connection.
enum TServe { SERVE_SEND_THEN_CLOSE, SERVE_CLOSE, SERVE_RESET, SERVE_HOLD };

// The state lives in a shared record held by every pending handler, so handlers that complete
// after the test body has ended (aborted by the close in the destructor) touch nothing freed.
class TFakeServer {
 public:
  struct TState {
    explicit TState(TServe tServeIn, std::string sPayloadIn)
        : tServe(tServeIn), sPayload(std::move(sPayloadIn)),
          acceptor(Loop(), tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {}
    TServe tServe;
    std::string sPayload;
    tcp::acceptor acceptor;
    std::array<char, 65536> vBuffer{};
    int nAccepted = 0;
    std::string sReceived;       // what the held connections sent
    bool bPeerClosed = false;    // a held connection saw the client close
    std::vector<std::shared_ptr<tcp::socket>> vHeld;
  };

  explicit TFakeServer(TServe tServe, std::string sPayload = "")
      : st(std::make_shared<TState>(tServe, std::move(sPayload))) {
    Accept(st);
  }
  ~TFakeServer() {
    asio::error_code ec;
    st->acceptor.close(ec);
    for (auto& peer : st->vHeld) peer->close(ec);
  }
  int Port() const { return st->acceptor.local_endpoint().port(); }
  std::shared_ptr<TState> st;

 private:
  static void Accept(const std::shared_ptr<TState>& st) {
    st->acceptor.async_accept([st](const asio::error_code& ec, tcp::socket peer) {
      if (ec) return;
      ++st->nAccepted;
      Serve(st, std::make_shared<tcp::socket>(std::move(peer)));
      Accept(st);
    });
  }
  static void Serve(const std::shared_ptr<TState>& st, const std::shared_ptr<tcp::socket>& peer) {
    asio::error_code ec;
    switch (st->tServe) {
      case SERVE_CLOSE:
        peer->close(ec);
        break;
      case SERVE_RESET:
        peer->set_option(asio::socket_base::linger(true, 0), ec);
        peer->close(ec);
        break;
      case SERVE_SEND_THEN_CLOSE:
        asio::async_write(*peer, asio::buffer(st->sPayload), [st, peer](const asio::error_code&, size_t) {
          asio::error_code ecClose;
          peer->shutdown(tcp::socket::shutdown_send, ecClose);
          peer->close(ecClose);
        });
        break;
      case SERVE_HOLD:
        st->vHeld.push_back(peer);
        Read(st, peer);
        break;
    }
  }
  static void Read(const std::shared_ptr<TState>& st, const std::shared_ptr<tcp::socket>& peer) {
    peer->async_read_some(asio::buffer(st->vBuffer), [st, peer](const asio::error_code& ec, size_t nBytes) {
      if (ec) {
        st->bPeerClosed = true;
        return;
      }
      st->sReceived.append(st->vBuffer.data(), nBytes);
      Read(st, peer);
    });
  }
};

// Binds every event of a socket and records them in order.
struct TRecorder {
  explicit TRecorder(TClientSocket& socIn) : soc(socIn) {
    soc.OnConnecting = [this] { lstEvents.push_back("connecting"); };
    soc.OnConnect = [this] { lstEvents.push_back("connect"); };
    soc.OnDisconnect = [this] { lstEvents.push_back("disconnect"); };
    soc.OnError = [this](int& nCode) {
      lstEvents.push_back("error");
      nLastCode = nCode;
      nCode = 0;
    };
    soc.OnRead = [this] {
      const std::string sPiece = soc.ReceiveText();
      vPieceSizes.push_back(sPiece.size());
      sReceived += sPiece;
      if (lstEvents.empty() || lstEvents.back() != "read") lstEvents.push_back("read");
    };
  }
  bool Ended() const {
    return !lstEvents.empty() && (lstEvents.back() == "disconnect" || lstEvents.back() == "error");
  }
  TClientSocket& soc;
  std::vector<std::string> lstEvents;  // consecutive reads are recorded once
  std::vector<size_t> vPieceSizes;
  std::string sReceived;
  int nLastCode = 0;
};

class ClientSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Loop().restart();
    work.emplace(asio::make_work_guard(Loop()));
  }
  void TearDown() override {
    soc.reset();
    Loop().poll();
    work.reset();
  }
  std::unique_ptr<TClientSocket> soc = std::make_unique<TClientSocket>();
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
};

TEST_F(ClientSocketTest, ConnectReadAndPeerCloseArriveInOrderByAddressOrName) {
  for (const char* sHost : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(sHost);
    TFakeServer server(SERVE_SEND_THEN_CLOSE, "Zunda Call Manager/1.0\r\n");
    TClientSocket socket;
    TRecorder rec(socket);
    socket.Host = sHost;
    socket.Port = server.Port();
    socket.SetActive(true);
    EXPECT_TRUE(socket.Active());
    EXPECT_TRUE(rec.lstEvents.empty()) << "OnConnecting comes from the loop, not from SetActive";
    ASSERT_TRUE(Pump([&] { return rec.Ended(); }));
    EXPECT_EQ(rec.lstEvents, (std::vector<std::string>{"connecting", "connect", "read", "disconnect"}));
    EXPECT_EQ(rec.sReceived, "Zunda Call Manager/1.0\r\n");
    EXPECT_FALSE(socket.Active());
    EXPECT_EQ(socket.RemoteAddress(), "127.0.0.1") << "still known to the disconnect handler";
  }
}

TEST_F(ClientSocketTest, LargeTransferArrivesWholeInPiecesOfAtMost64KiB) {
  std::string sPayload(1 << 20, '\0');
  for (size_t n = 0; n < sPayload.size(); ++n) sPayload[n] = static_cast<char>(n * 7 + n / 251);
  TFakeServer server(SERVE_SEND_THEN_CLOSE, sPayload);
  TRecorder rec(*soc);
  soc->Host = "127.0.0.1";
  soc->Port = server.Port();
  soc->SetActive(true);
  ASSERT_TRUE(Pump([&] { return rec.Ended(); }));
  EXPECT_EQ(rec.lstEvents.back(), "disconnect");
  EXPECT_TRUE(rec.sReceived == sPayload) << "bytes lost or changed: got " << rec.sReceived.size();
  for (size_t nSize : rec.vPieceSizes) EXPECT_LE(nSize, 65536u);
}

// A listener whose accept queue is full: further connects hang in SYN_SENT (loopback only).
struct TFullBacklog {
  TFullBacklog() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(listener.Port()));
    // Fill the queue until a connect no longer completes (bounded).
    for (int n = 0; n < 16; ++n) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      vFillers.push_back(fd);
      connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 200) == 0) break;
    }
  }
  ~TFullBacklog() {
    for (int fd : vFillers) close(fd);
  }
  int Port() const { return listener.Port(); }
  testsupport::TLoopbackListener listener{0};  // backlog 0: full after the first connection or two
  std::vector<int> vFillers;
};

TEST_F(ClientSocketTest, FailuresEndInOnErrorAndLeaveTheSocketInactive) {
  TFakeServer resetter(SERVE_RESET);
  TFullBacklog full;
  struct Case {
    const char* sName;
    std::string sHost;
    int nPort;
    std::vector<std::string> lstExpected;
    int nExpectedCode;  // errno value, 0 for any
  };
  const std::vector<Case> vCases = {
      {"refused", "127.0.0.1", testsupport::FreePort(), {"connecting", "error"}, ECONNREFUSED},
      // An empty label cannot be encoded, so the lookup fails locally without a query.
      {"name not found", "no-such-host..invalid", 5038, {"connecting", "error"}, 0},
      {"connect timeout", "127.0.0.1", full.Port(), {"connecting", "error"}, ETIMEDOUT},
      {"reset by peer", "127.0.0.1", resetter.Port(), {"connecting", "connect", "error"}, ECONNRESET},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sName);
    TClientSocket socket;
    TRecorder rec(socket);
    socket.Host = c.sHost;
    socket.Port = c.nPort;
    socket.nConnectTimeoutMs = 500;
    socket.SetActive(true);
    ASSERT_TRUE(Pump([&] { return rec.Ended(); }));
    EXPECT_EQ(rec.lstEvents, c.lstExpected);
    EXPECT_FALSE(socket.Active());
    EXPECT_NE(rec.nLastCode, 0);
    if (c.nExpectedCode != 0) {
      EXPECT_EQ(rec.nLastCode, c.nExpectedCode) << socket.LastErrorText();
    }
    EXPECT_FALSE(socket.LastErrorText().empty());
  }
}

TEST_F(ClientSocketTest, SetActiveFalseRaisesNothingAndOldCompletionsNeverReachANewConnection) {
  TFakeServer holder(SERVE_HOLD);
  TFakeServer sender(SERVE_SEND_THEN_CLOSE, "second");
  TRecorder rec(*soc);
  soc->Host = "127.0.0.1";
  // Closed before its OnConnecting ran: the attempt leaves no trace.
  soc->Port = holder.Port();
  soc->SetActive(true);
  soc->SetActive(false);
  EXPECT_FALSE(soc->Active());
  // Closed while open: the peer sees the close, the handlers see nothing.
  soc->SetActive(true);
  ASSERT_TRUE(Pump([&] { return holder.st->nAccepted == 1 && rec.lstEvents.size() == 2; }));
  soc->SetActive(false);
  ASSERT_TRUE(Pump([&] { return holder.st->bPeerClosed; }));
  // A fresh connection elsewhere gets exactly its own events.
  rec.lstEvents.clear();
  soc->Port = sender.Port();
  soc->SetActive(true);
  ASSERT_TRUE(Pump([&] { return rec.Ended(); }));
  EXPECT_EQ(rec.lstEvents, (std::vector<std::string>{"connecting", "connect", "read", "disconnect"}));
  EXPECT_EQ(rec.sReceived, "second");
}

TEST_F(ClientSocketTest, SendsGoOutInOrderIncludingThoseMadeWhileConnecting) {
  TFakeServer server(SERVE_HOLD);
  TRecorder rec(*soc);
  soc->Host = "localhost";
  soc->Port = server.Port();
  soc->SetActive(true);
  EXPECT_EQ(soc->SendText("one,"), 4);
  EXPECT_EQ(soc->SendText("two,"), 4);
  ASSERT_TRUE(Pump([&] { return rec.lstEvents.size() == 2; }));
  EXPECT_EQ(soc->SendText("three"), 5);
  ASSERT_TRUE(Pump([&] { return server.st->sReceived.size() == 13; }));
  EXPECT_EQ(server.st->sReceived, "one,two,three");
}

TEST_F(ClientSocketTest, OutputPastItsBoundFailsTheConnectionWithAnError) {
  TFakeServer server(SERVE_HOLD);
  TRecorder rec(*soc);
  soc->Host = "127.0.0.1";
  soc->Port = server.Port();
  soc->nMaxQueuedBytes = 1 << 20;
  soc->SetActive(true);
  ASSERT_TRUE(Pump([&] { return rec.lstEvents.size() == 2; }));
  // Queued bytes count until their write completes on the loop, which does not run in between.
  const std::string sChunk(64 * 1024, 'x');
  for (int n = 0; n < 16; ++n) ASSERT_EQ(soc->SendText(sChunk), static_cast<int>(sChunk.size()));
  EXPECT_EQ(soc->SendText(sChunk), 0);
  EXPECT_TRUE(rec.lstEvents.size() == 2) << "the failure is raised from the loop, not from SendText";
  ASSERT_TRUE(Pump([&] { return rec.Ended(); }));
  EXPECT_EQ(rec.lstEvents.back(), "error");
  EXPECT_FALSE(soc->Active());
  EXPECT_EQ(soc->SendText("late"), 0);
}

// A peer that accepts and closes at once, reconnected from inside the disconnect handler: no
// descriptor or memory may pile up (run under ASan for the memory side).
TEST_F(ClientSocketTest, ThousandReconnectsFromInsideTheDisconnectHandlerLeakNothing) {
  TFakeServer server(SERVE_CLOSE);
  int nDisconnects = 0;
  int nTarget = 1;
  int nOtherEvents = 0;
  soc->Host = "127.0.0.1";
  soc->Port = server.Port();
  soc->OnDisconnect = [&] {
    ++nDisconnects;
    EXPECT_FALSE(soc->Active());
    if (nDisconnects < nTarget) soc->SetActive(true);
  };
  soc->OnError = [&](int& nCode) {
    ++nOtherEvents;
    nCode = 0;
  };
  soc->SetActive(true);
  ASSERT_TRUE(Pump([&] { return nDisconnects == 1; }));
  const int nBaseline = OpenDescriptors();
  nTarget = 1001;
  soc->SetActive(true);
  ASSERT_TRUE(Pump([&] { return nDisconnects == nTarget; }, 120s));
  EXPECT_EQ(nOtherEvents, 0);
  EXPECT_EQ(server.st->nAccepted, nTarget);
  EXPECT_FALSE(soc->Active());
  EXPECT_EQ(OpenDescriptors(), nBaseline);
}

TEST_F(ClientSocketTest, DestroyedSocketRaisesNothingFromPendingCompletions) {
  TFakeServer server(SERVE_SEND_THEN_CLOSE, "late");
  int nEvents = 0;
  auto pSocket = std::make_unique<TClientSocket>();
  pSocket->Host = "127.0.0.1";
  pSocket->Port = server.Port();
  pSocket->OnConnecting = [&] { ++nEvents; };
  pSocket->SetActive(true);
  pSocket.reset();
  Loop().poll();  // runs the attempt's posted start, which must find no owner
  EXPECT_EQ(nEvents, 0);
  EXPECT_EQ(server.st->nAccepted, 0);
}

}  // namespace
