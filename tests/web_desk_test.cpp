// Web desks end to end: the exchange simulator, the real relay binary with [WEB] set, TCP desks
// and WebSocket desks (civetweb's client) on loopback. Each test lets the relay log in, has the
// simulator send exactly the events it wrote, and compares what each desk receives.
#include <arpa/inet.h>
#include <civetweb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "base/untCodePage.h"
#include "hosting/untJson.h"
#include "support/EndToEnd.h"

namespace {

using namespace testsupport;

// A WebSocket desk through civetweb's client: every text message it receives is kept.
class TWebClient {
 public:
  ~TWebClient() { Close(); }
  bool Connect(int nPort) {
    char sError[256] = "";
    pConn = mg_connect_websocket_client("127.0.0.1", nPort, 0, sError, sizeof(sError), "/events", nullptr, &OnData,
                                        &OnClose, this);
    return pConn != nullptr;
  }
  bool Send(const std::string& sText) {
    return mg_websocket_client_write(pConn, MG_WEBSOCKET_OPCODE_TEXT, sText.data(), sText.size()) > 0;
  }
  // Waits until at least nCount messages came; a copy of them all.
  std::vector<std::string> WaitMessages(size_t nCount, std::chrono::milliseconds tTimeout = kDeadline) {
    std::unique_lock<std::mutex> lock(crs);
    cv.wait_for(lock, tTimeout, [&] { return vMessages.size() >= nCount; });
    return vMessages;
  }
  // Waits for the first message holding sNeedle; its text, or "" when none came.
  std::string WaitFor(const std::string& sNeedle, std::chrono::milliseconds tTimeout = kDeadline) {
    std::unique_lock<std::mutex> lock(crs);
    std::string sFound;
    cv.wait_for(lock, tTimeout, [&] {
      for (const std::string& s : vMessages)
        if (s.find(sNeedle) != std::string::npos) return sFound = s, true;
      return false;
    });
    return sFound;
  }
  bool WaitClosed() {
    std::unique_lock<std::mutex> lock(crs);
    return cv.wait_for(lock, kDeadline, [&] { return bClosed; });
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(crs);
    return vMessages;
  }
  void Close() {
    if (pConn != nullptr) mg_close_connection(pConn);
    pConn = nullptr;
  }

 private:
  static int OnData(mg_connection*, int nBits, char* pData, size_t nLength, void* pUser) {
    auto* p = static_cast<TWebClient*>(pUser);
    if ((nBits & 0x0F) != MG_WEBSOCKET_OPCODE_TEXT) return 1;
    {
      std::lock_guard<std::mutex> lock(p->crs);
      p->vMessages.emplace_back(pData, nLength);
    }
    p->cv.notify_all();
    return 1;
  }
  static void OnClose(const mg_connection*, void* pUser) {
    auto* p = static_cast<TWebClient*>(pUser);
    {
      std::lock_guard<std::mutex> lock(p->crs);
      p->bClosed = true;
    }
    p->cv.notify_all();
  }
  mg_connection* pConn = nullptr;
  std::mutex crs;
  std::condition_variable cv;
  std::vector<std::string> vMessages;
  bool bClosed = false;
};

TJsonValue Json(const std::string& sText) {
  TJsonValue t;
  std::string sError;
  EXPECT_TRUE(ParseJson(sText, t, sError, 16)) << sError << ": " << sText;
  return t;
}

class WebDeskTest : public ::testing::Test, protected TEndToEnd {
 protected:
  static void SetUpTestSuite() { mg_init_library(0); }
  void SetUp() override {
    nWebPort = FreePort();
    ASSERT_TRUE(Start([this](int nExchangePort, int nProxyPortIn) {
      return RelayConfig(nExchangePort, nProxyPortIn,
                         "[WEB]\r\nPORT=" + std::to_string(nWebPort) + "\r\nMAXCLIENTS=5\r\n" + WebKeys(), 60);
    })) << relay.LogText();
    ASSERT_TRUE(relay.WaitForLog("Web server listening on")) << relay.LogText();
  }
  virtual std::string WebKeys() { return ""; }  // more [WEB] lines
  std::unique_ptr<TTcpClient> TcpDesk(const std::string& sQueues, const std::string& sPeers, const std::string& sParks) {
    auto client = Desk(sQueues, sPeers, sParks);
    EXPECT_TRUE(client) << "the desk did not get through the handshake";
    return client ? std::move(client) : std::make_unique<TTcpClient>();
  }
  // A web desk logged in with sLogin; waits for its snapshot.
  std::unique_ptr<TWebClient> WebDesk(const std::string& sLogin) {
    auto desk = std::make_unique<TWebClient>();
    EXPECT_TRUE(desk->Connect(nWebPort));
    EXPECT_TRUE(desk->Send(sLogin));
    EXPECT_NE(desk->WaitFor("{\"snapshot\""), "") << "no snapshot";
    return desk;
  }
  // The "frame" texts of the frame messages, encoded back to Windows-1252, joined.
  static std::string FramesOf(const std::vector<std::string>& vMessages) {
    std::string sOut;
    for (const std::string& s : vMessages)
      if (s.rfind("{\"family\"", 0) == 0) sOut += Utf8ToCp1252(Json(s).Member("frame")->sText);
    return sOut;
  }
  static size_t FrameCount(TWebClient& desk) {
    size_t n = 0;
    for (const std::string& s : desk.Messages()) n += s.rfind("{\"family\"", 0) == 0 ? 1 : 0;
    return n;
  }
  // The login of the desks the flood below is for: the eight queues it sends to.
  static constexpr const char* FLOOD_LOGIN =
      R"({"code":"qmRoK8]","queues":[10011,10012,10013,10014,10015,10016,10017,10018]})";
  // Large events, eight keys a pass (a few megabytes a second for a desk that does not read),
  // until the relay cuts a desk off or nRounds passes are sent. After each pass the reader must
  // have every frame so far: a desk that does not read holds up nobody.
  void FloodUntilCut(TWebClient& reader, int nRounds) {
    const std::string sPad = "Variable: " + std::string(48 * 1024, 'x') + "\r\n";
    size_t nSent = 0;
    for (int nRound = 0;
         nRound < nRounds && relay.LogText().find("cut off: more than 4194304 bytes queued") == std::string::npos;
         ++nRound) {
      std::string sEvents;
      for (int nQueue = 10011; nQueue <= 10018; ++nQueue)
        sEvents += QueueEvent("Join", nQueue, nRound * 100 + nQueue, sPad);
      Send(sEvents);
      nSent += 8;
      ASSERT_TRUE(PollUntil([&] { return FrameCount(reader) >= nSent; })) << "the reader was held up at " << nSent;
    }
  }

  int nWebPort = 0;  // the relay's [WEB] PORT
};

TEST_F(WebDeskTest, WebDeskGetsTheFramesOfATcpDeskWithTheSameSubscriptionsByteForByte) {
  auto tcp = TcpDesk("10005,10006", "20001", "701");
  auto web = WebDesk(R"({"app":"crm","code":"qmRoK8]","queues":[10005,"10006"],"extensions":[20001],"parks":[701]})");
  // Windows-1252 letters, quotes, a backslash and a tab must survive the trip through JSON.
  const std::string sEvents = QueueEvent("Join", 10005, 1, "CallerIDName: Jo\xE3o \"\\\tM\xFCller\x80\r\n") +
                              QueueEvent("Join", 10007, 2) + ParkEvent(701, 3) +
                              ChannelEvent("Newchannel", "20001-00000001", "ChannelStateDesc: Ringing\r\n", 4) +
                              QueueEvent("Leave", 10006, 5) + ParkEvent(702, 6);
  Send(sEvents);
  ASSERT_TRUE(PollUntil([&] {
    tcp->ReadFor(std::chrono::milliseconds(20));
    return CountOf(tcp->Received(), "\r\n\r\n\r\n") >= 4;
  }));
  ASSERT_TRUE(PollUntil([&] { return FrameCount(*web) >= 4; }));
  const std::vector<std::string> vMessages = web->Messages();
  // Per family the order is the TCP desk's; across families it may differ, so compare per family.
  for (const std::string sFamily : {"queue", "extension", "parking"}) {
    std::vector<std::string> vWeb;
    for (const std::string& s : vMessages)
      if (s.find("{\"family\":\"" + sFamily + "\"") == 0) vWeb.push_back(s);
    std::string sTcp;
    const std::string sAll = tcp->Received();
    for (size_t nStart = 0, nEnd; (nEnd = sAll.find("\r\n\r\n\r\n", nStart)) != std::string::npos; nStart = nEnd + 6) {
      const std::string sFrame = sAll.substr(nStart, nEnd + 6 - nStart);
      const bool bMatch = sFamily == "queue"       ? sFrame.find("Queue: ") != std::string::npos
                          : sFamily == "extension" ? sFrame.find("Channel: ") != std::string::npos
                                                   : sFrame.find("ParkedCall") != std::string::npos;
      if (bMatch) sTcp += sFrame;
    }
    EXPECT_EQ(FramesOf(vWeb), sTcp) << sFamily;
  }
  const std::string sJoin = web->WaitFor("\"key\":10005");
  const TJsonValue tJoin = Json(sJoin);
  EXPECT_EQ(tJoin.Member("fields")->Member("CallerIDName")->sText, "Jo\xC3\xA3o \"\\\tM\xC3\xBCller\xE2\x82\xAC");
  EXPECT_EQ(tJoin.Member("fields")->Member("Event")->sText, "Join");
  EXPECT_EQ(Json(web->WaitFor("\"family\":\"extension\"")).Member("state")->sText, "ringing");
  // The service stops with the desk connected: the web server's own civetweb ends with it.
  relay.Process().Signal(SIGTERM);
  EXPECT_EQ(relay.Process().WaitExit(), 0);
  EXPECT_TRUE(web->WaitClosed());
}

TEST_F(WebDeskTest, BadLoginsAreAnsweredWithTheReasonAndClosed) {
  struct Case {
    const char* sLogin;
    const char* sError;
  };
  const Case vCases[] = {
      {R"({"app":"crm","code":"wrong","queues":[10005]})", "wrong access code"},
      {R"({"app":"crm","queues":[10005]})", "wrong access code"},
      {R"({"code":"qmRoK8]","queues":10005})", "queues is not a list"},
      {R"({"code":"qmRoK8]","queues":[[10005]]})", "queues: an entry is neither a number nor a text"},
      {R"({"code":"qmRoK8]","queues":["no such queue"]})", "is not a key"},
      {R"({"code":"qmRoK8]",})", "not JSON"},
      {"[1,2]", "not a JSON object"},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sLogin);
    TWebClient desk;
    ASSERT_TRUE(desk.Connect(nWebPort));
    ASSERT_TRUE(desk.Send(c.sLogin));
    const std::string sError = desk.WaitFor("{\"error\"");
    EXPECT_NE(sError.find(c.sError), std::string::npos) << sError;
    EXPECT_TRUE(desk.WaitClosed());
    EXPECT_EQ(desk.WaitFor("ready", std::chrono::milliseconds(0)), "");
  }
  EXPECT_TRUE(relay.WaitForLog("refused: wrong access code (1 refusal(s) so far)"));
  // The relay still serves a desk with the right code.
  auto good = WebDesk(R"({"code":"qmRoK8]","queues":[10005]})");
  EXPECT_NE(good->WaitFor("{\"ready\":true}"), "");
}

TEST_F(WebDeskTest, ChangeMessageSubscribesAndUnsubscribesWithASnapshotOfTheAddedKeys) {
  auto web = WebDesk(R"({"code":"qmRoK8]","queues":[10005]})");
  auto tcp = TcpDesk("10006", "", "");
  Send(QueueEvent("Join", 10006, 1));
  ASSERT_TRUE(tcp->ReadUntil("Uniqueid: 1700000000.1"));
  ASSERT_TRUE(web->Send(R"({"queues":{"10006":true,"10005":false}})"));
  const std::string sSnapshot = web->WaitFor("\"10006\":[");
  ASSERT_NE(sSnapshot, "") << "no snapshot of the added queue";
  const TJsonValue tQueues = *Json(sSnapshot).Member("snapshot")->Member("queues");
  EXPECT_EQ(tQueues.mMembers.size(), 1u);
  EXPECT_EQ(tQueues.Member("10006")->vItems.size(), 1u);
  Send(QueueEvent("Join", 10005, 2) + QueueEvent("Join", 10006, 3));
  ASSERT_NE(web->WaitFor("\"key\":10006"), "");
  EXPECT_EQ(web->WaitFor("\"key\":10005", std::chrono::milliseconds(300)), "");
  // A wrong change is answered and changes nothing; the desk stays.
  ASSERT_TRUE(web->Send(R"({"queues":{"10005":"yes"}})"));
  EXPECT_NE(web->WaitFor("a value is not true or false"), "");
  Send(QueueEvent("Leave", 10006, 3));
  EXPECT_NE(web->WaitFor("Uniqueid: 1700000000.3\\r\\n\\r\\n\\r\\n\",\"fields\":{\"Event\":\"Leave\""), "");
}

TEST_F(WebDeskTest, SnapshotHoldsTheCallersWaitingAndTheExtensionStatesAfterAKnownSequence) {
  auto tcp = TcpDesk("10007", "20003", "");
  Send(QueueEvent("Join", 10007, 1, "CallerIDNum: 5551\r\n") + QueueEvent("Join", 10007, 2, "CallerIDNum: 5552\r\n") +
       QueueEvent("Join", 10008, 3) + ChannelEvent("Newchannel", "20003-00000001", "ChannelStateDesc: Ringing\r\n", 4));
  Send(QueueEvent("Leave", 10007, 1) + QueueEvent("Join", 10007, 5, "CallerIDNum: 5553\r\n"));
  ASSERT_TRUE(PollUntil([&] {
    tcp->ReadFor(std::chrono::milliseconds(20));
    return tcp->Received().find("Uniqueid: 1700000000.5") != std::string::npos &&
           tcp->Received().find("20003-00000001") != std::string::npos;
  }));
  auto web = WebDesk(R"({"code":"qmRoK8]","queues":[10007],"extensions":[20003,20004]})");
  EXPECT_NE(web->WaitFor("{\"exchange\":\"up\"}"), "");
  const TJsonValue tSnapshot = *Json(web->WaitFor("{\"snapshot\"")).Member("snapshot");
  const TJsonValue& tCallers = *tSnapshot.Member("queues")->Member("10007");
  ASSERT_EQ(tCallers.vItems.size(), 2u);
  EXPECT_EQ(tCallers.vItems[0].Member("uniqueid")->sText, "1700000000.2");
  EXPECT_EQ(tCallers.vItems[0].Member("callerid")->sText, "5552");
  EXPECT_EQ(tCallers.vItems[1].Member("uniqueid")->sText, "1700000000.5");
  EXPECT_EQ(tSnapshot.Member("queues")->Member("10008"), nullptr) << "not subscribed";
  EXPECT_EQ(tSnapshot.Member("extensions")->Member("20003")->sText, "ringing");
  EXPECT_EQ(tSnapshot.Member("extensions")->Member("20004")->sText, "unknown");
}

int LocalPortOf(const TTcpClient& client) {
  sockaddr_in tAddress{};
  socklen_t nLength = sizeof(tAddress);
  getsockname(client.Fd(), reinterpret_cast<sockaddr*>(&tAddress), &nLength);
  return ntohs(tAddress.sin_port);
}

// A browser that upgrades, logs in and then never reads.
bool SilentWebDesk(TTcpClient& client, int nPort, const std::string& sLogin) {
  if (!client.Connect(nPort)) return false;
  client.Send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  if (!client.ReadUntil("\r\n\r\n") || client.Take().find(" 101 ") == std::string::npos) return false;
  std::string sFrame = {'\x81', static_cast<char>(0x80 | 126), static_cast<char>(sLogin.size() >> 8),
                        static_cast<char>(sLogin.size() & 0xFF), 0, 0, 0, 0};  // mask 0: the text as it is
  return client.Send(sFrame + sLogin);
}

TEST_F(WebDeskTest, BrowserThatStopsReadingIsCutAndTheOthersAreNot) {
  const std::string sLogin = FLOOD_LOGIN;
  TTcpClient silent;
  ASSERT_TRUE(SilentWebDesk(silent, nWebPort, sLogin));
  ASSERT_TRUE(relay.WaitForLog("logged in as \"\" (8 queue(s)"));
  auto reader = WebDesk(sLogin);
  ASSERT_NO_FATAL_FAILURE(FloodUntilCut(*reader, 60));
  EXPECT_TRUE(relay.WaitForLog("cut off: more than 4194304 bytes queued, it does not read"));
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(relay.WaitForLog("Web desk 127.0.0.1:" + std::to_string(LocalPortOf(silent)) + " disconnected"));
}

// The web server's guards and its sharing of the metrics port, each with a relay of its own.
class WebServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { mg_init_library(0); }
  void Start(const std::string& sSections) {
    ASSERT_TRUE(sim.Start({"--silent"}));
    ASSERT_TRUE(relay.WriteConfig(RelayConfig(sim.Port(), FreePort(), sSections, 60)));
    ASSERT_TRUE(relay.Start());
    ASSERT_TRUE(relay.WaitForLog("Cliente conectado e recebendo eventos do servidor AMI (")) << relay.LogText();
  }
  // The whole answer to a GET of sPath.
  static std::string Get(int nPort, const std::string& sPath) {
    TTcpClient client;
    if (!client.Connect(nPort)) return "<no connection>";
    client.Send("GET " + sPath + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    client.WaitClosed();
    return client.Received();
  }
  TExchangeSim sim;
  TRelay relay;
};

TEST_F(WebServerTest, SharedMetricsPortServesTheMetricsThePageAndTheWebDesks) {
  const int nPort = FreePort();
  Start("[METRICS]\r\nPORT=" + std::to_string(nPort) + "\r\n[WEB]\r\nPORT=" + std::to_string(nPort) + "\r\n");
  ASSERT_TRUE(relay.WaitForLog("Web server sharing the metrics endpoint's port " + std::to_string(nPort)));
  EXPECT_NE(Get(nPort, "/metrics").find(" 200 "), std::string::npos);
  const std::string sPage = Get(nPort, "/");
  EXPECT_NE(sPage.find("Content-Type: text/html; charset=utf-8"), std::string::npos) << sPage.substr(0, 300);
  EXPECT_NE(sPage.find("<title>Telvane wallboard</title>"), std::string::npos);
  EXPECT_NE(Get(nPort, "/telvane.js").find("export class TelvaneDesk"), std::string::npos);
  EXPECT_NE(Get(nPort, "/nothing-here").find(" 404 "), std::string::npos);
  // More desks than the metrics endpoint alone has threads.
  std::vector<std::unique_ptr<TWebClient>> vDesks;
  for (int n = 0; n < 4; ++n) {
    vDesks.push_back(std::make_unique<TWebClient>());
    ASSERT_TRUE(vDesks.back()->Connect(nPort));
    ASSERT_TRUE(vDesks.back()->Send(R"({"code":"qmRoK8]","queues":[10001]})"));
  }
  for (auto& desk : vDesks) EXPECT_NE(desk->WaitFor("{\"ready\":true}"), "");
  // The service stops with desks connected: civetweb's threads wait for nothing of the control
  // thread that stops them, and every desk sees its connection end.
  relay.Process().Signal(SIGTERM);
  EXPECT_EQ(relay.Process().WaitExit(), 0);
  for (auto& desk : vDesks) EXPECT_TRUE(desk->WaitClosed());
}

// A site that asked for TLS gets nothing in plain text when its files cannot be used, and the
// log says which file and why.
TEST_F(WebServerTest, UnreadableTlsFilesKeepTheWebServerClosedWithAnErrorLine) {
  const int nPort = FreePort();
  Start("[WEB]\r\nPORT=" + std::to_string(nPort) + "\r\nTLSCERT=/nowhere/cert.pem\r\nTLSKEY=/nowhere/key.pem\r\n");
  ASSERT_TRUE(relay.WaitForLog("Error: web server not started on 127.0.0.1:" + std::to_string(nPort) +
                               ": cannot read the TLS certificate file /nowhere/cert.pem"))
      << relay.LogText();
  TTcpClient client;
  EXPECT_FALSE(client.Connect(nPort, std::chrono::milliseconds(500)));
}

TEST_F(WebServerTest, OutsidersPastTheLimitAndSilentDesksAreRefusedWithALogLine) {
  struct Case {
    std::string sWeb;      // lines of [WEB] after PORT
    std::string sExtra;    // more [PROXY] lines
    int nOpen;             // desks opened (and kept) before the one that must fail
    std::string sLogLine;  // the refusal
  };
  const Case vCases[] = {
      {"ALLOWFROM=10.0.0.0/8\r\n", "", 0, "127.0.0.1 is not in [WEB] ALLOWFROM"},
      {"MAXCLIENTS=2\r\n", "", 2, "refused: [WEB] MAXCLIENTS (2) connected"},
      {"", "HANDSHAKETIMEOUT=1\r\n", 0, "refused: no login within 1 s"},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sLogLine);
    TExchangeSim simCase;
    ASSERT_TRUE(simCase.Start({"--silent"}));
    TRelay relayCase;
    const int nPort = FreePort();
    // RelayConfig ends in [PROXY]: the case's lines for it come first.
    ASSERT_TRUE(relayCase.WriteConfig(RelayConfig(simCase.Port(), FreePort(),
                                                  c.sExtra + "[WEB]\r\nPORT=" + std::to_string(nPort) + "\r\n" + c.sWeb, 60)));
    ASSERT_TRUE(relayCase.Start());
    ASSERT_TRUE(relayCase.WaitForLog("Web server listening on")) << relayCase.LogText();
    std::vector<std::unique_ptr<TWebClient>> vOpen;
    for (int n = 0; n < c.nOpen; ++n) {
      vOpen.push_back(std::make_unique<TWebClient>());
      ASSERT_TRUE(vOpen.back()->Connect(nPort));
    }
    ASSERT_TRUE(PollUntil([&] { return CountOf(relayCase.LogText(), " connected") >= c.nOpen; }));
    TWebClient desk;
    const bool bConnected = desk.Connect(nPort);
    if (bConnected) {
      EXPECT_TRUE(desk.WaitClosed());
    }
    EXPECT_TRUE(relayCase.WaitForLog(c.sLogLine)) << relayCase.LogText();
  }
}

// The relay's own count of events refused at full rings, from /metrics; -1 when not found.
int64_t RingFullDrops(int nMetricsPort) {
  TTcpClient client;
  if (!client.Connect(nMetricsPort)) return -1;
  client.Send("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  client.WaitClosed();
  const std::string sName = "telvane_events_dropped_total{reason=\"ring_full\"} ";
  const size_t nAt = client.Received().find(sName);
  return nAt == std::string::npos ? -1 : std::atoll(client.Received().c_str() + nAt + sName.size());
}

// A key's full ring: the desks subscribed to that key are told how many of its events they
// missed, in at most one notice per tick, and a desk of another key hears nothing of it.
TEST_F(WebServerTest, DesksOfAKeyWhoseRingRefusedEventsAreToldHowManyTheyMissed) {
  const int nMetricsPort = FreePort(), nWebPort = FreePort();
  Start("[METRICS]\r\nPORT=" + std::to_string(nMetricsPort) + "\r\n[WEB]\r\nPORT=" + std::to_string(nWebPort) +
        "\r\n");
  ASSERT_TRUE(relay.WaitForLog("Web server listening on")) << relay.LogText();
  TWebClient flooded, other;
  ASSERT_TRUE(flooded.Connect(nWebPort));
  ASSERT_TRUE(other.Connect(nWebPort));
  ASSERT_TRUE(flooded.Send(R"({"code":"qmRoK8]","queues":[10005,10006]})"));
  ASSERT_TRUE(other.Send(R"({"code":"qmRoK8]","queues":[10006]})"));
  ASSERT_NE(flooded.WaitFor("{\"snapshot\""), "");
  ASSERT_NE(other.WaitFor("{\"snapshot\""), "");
  // More events of queue 10005 than its ring holds (10,000) while its stage takes ten a second,
  // then one of queue 10006: once that one is out, every event of 10005 was pushed or refused.
  TTempDir dir;
  std::string sEvents;
  for (int n = 1; n <= 10'200; ++n) sEvents += QueueEvent("Join", 10005, n);
  sEvents += QueueEvent("Join", 10006, 99'999);
  WriteFile(dir.Path() + "/flood.txt", sEvents);
  sim.Process().WriteStdin("send " + dir.Path() + "/flood.txt\n");
  ASSERT_NE(other.WaitFor("Uniqueid: 1700000000.99999"), "");
  const int64_t nRefused = RingFullDrops(nMetricsPort);
  ASSERT_GT(nRefused, 0) << "the ring of queue 10005 never filled";
  int64_t nTold = 0;
  size_t nNotices = 0;
  ASSERT_TRUE(PollUntil([&] {
    nTold = 0;
    nNotices = 0;
    for (const std::string& s : flooded.Messages()) {
      if (s.rfind("{\"dropped\"", 0) != 0) continue;
      const TJsonValue tNotice = Json(s);
      const TJsonValue& t = *tNotice.Member("dropped");
      EXPECT_EQ(t.Member("family")->sText, "queue") << s;
      EXPECT_EQ(t.Member("key")->sText, "10005") << s;
      nTold += std::atoll(t.Member("count")->sText.c_str());
      ++nNotices;
    }
    return nTold >= nRefused;
  })) << nTold << " of " << nRefused << " refusals told";
  EXPECT_EQ(nTold, nRefused);
  EXPECT_LT(nNotices, static_cast<size_t>(nTold)) << "one notice per refusal: not gathered per tick";
  for (const std::string& s : other.Messages()) EXPECT_EQ(s.find("dropped"), std::string::npos) << s;
}

// ---- HTTPS and WSS: [WEB] TLSCERT and TLSKEY ----

// A self-signed certificate for 127.0.0.1, made with the openssl tool (an EC key: fast).
class TTestCertificate {
 public:
  TTestCertificate() {
    bReady = std::system(("cd " + dir.Path() +
                          " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout web.key"
                          " -out web.pem -days 2 -subj '/CN=127.0.0.1' -addext subjectAltName=IP:127.0.0.1"
                          " >openssl.log 2>&1")
                             .c_str()) == 0;
  }
  bool Ready() const { return bReady; }
  std::string Keys() const { return "TLSCERT=" + dir.Path() + "/web.pem\r\nTLSKEY=" + dir.Path() + "/web.key\r\n"; }
  std::string Pem() const { return dir.Path() + "/web.pem"; }

 private:
  TTempDir dir;
  bool bReady = false;
};

// A client TLS context that trusts only the test's certificate and checks its address.
std::shared_ptr<asio::ssl::context> TrustingContext(const std::string& sPem) {
  auto pContext = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
  pContext->load_verify_file(sPem);
  pContext->set_verify_mode(asio::ssl::verify_peer);
  return pContext;
}

// civetweb's WebSocket client cannot speak TLS here, so a WSS desk is that client through this
// tunnel: it takes one plain connection on a loopback port of its own and carries it over TLS to
// the relay's web port, on a thread of its own. TlsLocalPort is the port the relay sees the desk on.
class TTlsTunnel {
 public:
  TTlsTunnel(int nTlsPort, const std::string& sPem)
      : pContext(TrustingContext(sPem)), acceptor(ioc, {asio::ip::address_v4::loopback(), 0}), plain(ioc),
        tls(ioc, *pContext) {
    acceptor.async_accept(plain, [this, nTlsPort](const asio::error_code& ec) {
      if (ec) return;
      asio::error_code ecConnect;
      tls.next_layer().connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(nTlsPort)}, ecConnect);
      if (ecConnect) return End();
      nTlsLocalPort = tls.next_layer().local_endpoint(ecConnect).port();
      nTlsFd = dup(tls.next_layer().native_handle());
      SSL_set1_host(tls.native_handle(), "127.0.0.1");
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls.native_handle()), "127.0.0.1");
      tls.async_handshake(asio::ssl::stream_base::client, [this](const asio::error_code& ecTls) {
        if (ecTls) return End();
        Pump(plain, tls, vUp);
        Pump(tls, plain, vDown);
      });
    });
    thLoop = std::thread([this] { ioc.run(); });
  }
  ~TTlsTunnel() {
    asio::post(ioc, [this] { End(); });
    ioc.stop();
    thLoop.join();
    if (nTlsFd >= 0) close(nTlsFd);
  }
  int Port() const { return acceptor.local_endpoint().port(); }
  int TlsLocalPort() const { return nTlsLocalPort; }
  // The relay closed its side (seen in the socket's state: the tunnel itself may be stuck writing
  // to a desk that does not read). Any thread: it asks through a descriptor of its own.
  bool RelayClosed() const {
    tcp_info tInfo{};
    socklen_t nLength = sizeof(tInfo);
    return getsockopt(nTlsFd, IPPROTO_TCP, TCP_INFO, &tInfo, &nLength) != 0 || tInfo.tcpi_state != TCP_ESTABLISHED;
  }

 private:
  template <typename TFrom, typename TTo>
  void Pump(TFrom& from, TTo& to, std::array<char, 16384>& vBuffer) {
    from.async_read_some(asio::buffer(vBuffer), [this, &from, &to, &vBuffer](const asio::error_code& ec, size_t n) {
      if (ec) return End();
      asio::async_write(to, asio::buffer(vBuffer.data(), n), [this, &from, &to, &vBuffer](const asio::error_code& ecW, size_t) {
        if (ecW) return End();
        Pump(from, to, vBuffer);
      });
    });
  }
  void End() {
    asio::error_code ec;
    plain.close(ec);
    tls.next_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ec);  // nTlsFd keeps it open
    tls.next_layer().close(ec);
  }

  asio::io_context ioc;
  std::shared_ptr<asio::ssl::context> pContext;
  asio::ip::tcp::acceptor acceptor;
  asio::ip::tcp::socket plain;                   // civetweb's client
  asio::ssl::stream<asio::ip::tcp::socket> tls;  // to the relay
  std::array<char, 16384> vUp{}, vDown{};
  std::atomic<int> nTlsLocalPort{0};
  std::atomic<int> nTlsFd{-1};  // a duplicate of the TLS connection's descriptor, for RelayClosed
  std::thread thLoop;
};

// One HTTPS request: what came back (until the relay closed), or "<no TLS: reason>".
std::string HttpsGet(int nPort, const std::string& sPem, const std::string& sPath) {
  asio::io_context ioc;
  std::shared_ptr<asio::ssl::context> pContext = TrustingContext(sPem);
  asio::ssl::stream<asio::ip::tcp::socket> tls(ioc, *pContext);
  asio::error_code ec;
  tls.next_layer().connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(nPort)}, ec);
  X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls.native_handle()), "127.0.0.1");
  if (!ec) tls.handshake(asio::ssl::stream_base::client, ec);
  if (ec) return "<no TLS: " + ec.message() + ">";
  asio::write(tls, asio::buffer("GET " + sPath + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"), ec);
  std::string sAnswer;
  std::array<char, 4096> vBuffer;
  for (size_t n; (n = tls.read_some(asio::buffer(vBuffer), ec)) > 0 || !ec;) sAnswer.append(vBuffer.data(), n);
  return sAnswer;
}

class WebDeskTlsTest : public WebDeskTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certificate.Ready());
    WebDeskTest::SetUp();
  }
  std::string WebKeys() override { return certificate.Keys(); }
  TTestCertificate certificate;
};

TEST_F(WebDeskTlsTest, HttpsServesThePageAndPlainHttpGetsNothing) {
  ASSERT_TRUE(relay.WaitForLog("Web server listening on 127.0.0.1:" + std::to_string(nWebPort) + " (HTTPS and WSS, "));
  const std::string sPage = HttpsGet(nWebPort, certificate.Pem(), "/");
  EXPECT_NE(sPage.find(" 200 "), std::string::npos) << sPage.substr(0, 300);
  EXPECT_NE(sPage.find("<title>Telvane wallboard</title>"), std::string::npos);
  EXPECT_NE(HttpsGet(nWebPort, certificate.Pem(), "/telvane.js").find("export class TelvaneDesk"), std::string::npos);
  // Plain HTTP on the TLS port: no page, a close, and a log line naming the peer.
  TTcpClient plain;
  ASSERT_TRUE(plain.Connect(nWebPort));
  ASSERT_TRUE(plain.Send("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_TRUE(plain.WaitClosed());
  EXPECT_EQ(plain.Received().find("HTTP/"), std::string::npos) << plain.Received();
  EXPECT_EQ(plain.Received().find("wallboard"), std::string::npos);
  EXPECT_TRUE(relay.WaitForLog("Web TLS handshake failed (127.0.0.1:" + std::to_string(LocalPortOf(plain)) + "): "))
      << relay.LogText();
  // The page is served on, and nobody reaches civetweb's loopback port but through the front.
  EXPECT_NE(HttpsGet(nWebPort, certificate.Pem(), "/").find("<title>Telvane wallboard</title>"), std::string::npos);
  const std::string sPassedOn = "(HTTPS and WSS, passed on to 127.0.0.1:";
  const std::string sLog = relay.LogText();
  const size_t nAt = sLog.find(sPassedOn);
  ASSERT_NE(nAt, std::string::npos) << sLog;
  const int nLoopbackPort = std::atoi(sLog.c_str() + nAt + sPassedOn.size());
  TTcpClient bypass;
  ASSERT_TRUE(bypass.Connect(nLoopbackPort));
  ASSERT_TRUE(bypass.Send("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_TRUE(bypass.WaitClosed());
  EXPECT_EQ(bypass.Received().find("wallboard"), std::string::npos) << bypass.Received();
  EXPECT_TRUE(relay.WaitForLog("127.0.0.1:" + std::to_string(LocalPortOf(bypass)) +
                               " did not come through the TLS listener"));
}

// The front refuses before the TLS hello, with the usual thinned line: outsiders, and more
// connections at once than civetweb has workers for (MAXCLIENTS desks and 4 for the page).
TEST_F(WebServerTest, TlsFrontRefusesOutsidersAndConnectionsPastTheLimitWithALogLine) {
  TTestCertificate certificate;
  ASSERT_TRUE(certificate.Ready());
  struct Case {
    std::string sWeb;      // lines of [WEB] after PORT and the TLS keys
    int nOpen;             // plain connections kept open (in the handshake) before the one refused
    std::string sLogLine;  // the refusal
  };
  const Case vCases[] = {
      {"ALLOWFROM=10.0.0.0/8\r\n", 0, "Web request refused: 127.0.0.1 is not in [WEB] ALLOWFROM"},
      {"MAXCLIENTS=1\r\n", 5, ", 5 open, as many as [WEB] MAXCLIENTS (1) and 4 for pages allow"},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sLogLine);
    TExchangeSim simCase;
    ASSERT_TRUE(simCase.Start({"--silent"}));
    TRelay relayCase;
    const int nPort = FreePort();
    ASSERT_TRUE(relayCase.WriteConfig(RelayConfig(
        simCase.Port(), FreePort(), "[WEB]\r\nPORT=" + std::to_string(nPort) + "\r\n" + certificate.Keys() + c.sWeb, 60)));
    ASSERT_TRUE(relayCase.Start());
    ASSERT_TRUE(relayCase.WaitForLog("(HTTPS and WSS")) << relayCase.LogText();
    std::vector<std::unique_ptr<TTcpClient>> vOpen;
    for (int n = 0; n < c.nOpen; ++n) {
      vOpen.push_back(std::make_unique<TTcpClient>());
      ASSERT_TRUE(vOpen.back()->Connect(nPort));
    }
    EXPECT_EQ(HttpsGet(nPort, certificate.Pem(), "/").find("wallboard"), std::string::npos);
    EXPECT_TRUE(relayCase.WaitForLog(c.sLogLine)) << relayCase.LogText();
  }
}

TEST_F(WebDeskTlsTest, WssDeskGetsTheFramesOfATcpDeskAndIsLoggedUnderItsOwnPort) {
  auto tcp = TcpDesk("10005", "", "");
  TTlsTunnel tunnel(nWebPort, certificate.Pem());
  TWebClient web;
  ASSERT_TRUE(web.Connect(tunnel.Port()));
  ASSERT_TRUE(web.Send(R"({"code":"qmRoK8]","queues":[10005]})"));
  ASSERT_NE(web.WaitFor("{\"snapshot\""), "");
  // The relay names the TLS connection's own port, not the one of the front's loopback hop.
  ASSERT_NE(tunnel.TlsLocalPort(), 0);
  EXPECT_TRUE(relay.WaitForLog("Web desk 127.0.0.1:" + std::to_string(tunnel.TlsLocalPort()) + " connected"))
      << relay.LogText();
  Send(QueueEvent("Join", 10005, 1, "CallerIDName: Jo\xE3o\r\n") + QueueEvent("Leave", 10005, 2) +
       QueueEvent("Join", 10005, 3));
  ASSERT_TRUE(WaitFrames(*tcp, 3));
  ASSERT_TRUE(PollUntil([&] { return FrameCount(web) >= 3; }));
  EXPECT_EQ(FramesOf(web.Messages()), tcp->Received());
  // The desk leaves: the front closes the loopback hop, and the relay forgets the desk by its port.
  web.Close();
  EXPECT_TRUE(relay.WaitForLog("Web desk 127.0.0.1:" + std::to_string(tunnel.TlsLocalPort()) + " disconnected"));
}

// Behind the front too, a browser that stops reading holds up nobody: the front reads from
// civetweb no faster than the browser takes, so the web desk's own bound cuts it, and the front
// then ends the browser's connection although its write to it is stuck.
TEST_F(WebDeskTlsTest, BrowserThatStopsReadingBehindTheFrontIsCutAndTheOthersAreNot) {
  const std::string sLogin = FLOOD_LOGIN;
  TTlsTunnel silentTunnel(nWebPort, certificate.Pem()), readerTunnel(nWebPort, certificate.Pem());
  TTcpClient silent;
  ASSERT_TRUE(SilentWebDesk(silent, silentTunnel.Port(), sLogin));
  ASSERT_TRUE(relay.WaitForLog("logged in as \"\" (8 queue(s)"));
  TWebClient reader;
  ASSERT_TRUE(reader.Connect(readerTunnel.Port()));
  ASSERT_TRUE(reader.Send(sLogin));
  ASSERT_NE(reader.WaitFor("{\"snapshot\""), "");
  ASSERT_NO_FATAL_FAILURE(FloodUntilCut(reader, 100));
  EXPECT_TRUE(relay.WaitForLog("cut off: more than 4194304 bytes queued, it does not read"));
  EXPECT_TRUE(relay.WaitForLog("Web desk 127.0.0.1:" + std::to_string(silentTunnel.TlsLocalPort()) + " disconnected"));
  EXPECT_TRUE(PollUntil([&] { return silentTunnel.RelayClosed(); })) << "the front kept the browser's connection";
  EXPECT_FALSE(readerTunnel.RelayClosed());
}

}  // namespace
