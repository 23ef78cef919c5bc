// The metrics endpoint of the real relay: the simulator generating traffic, one desk subscribed,
// the page scraped over HTTP on a port chosen at run time.
#include "hosting/untMetricsServer.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

struct THttpReply {
  int nStatus = 0;    // 0: no answer
  std::string sBody;
};

THttpReply HttpRequest(int nPort, const std::string& sMethod, const std::string& sPath) {
  TTcpClient client;
  THttpReply tReply;
  if (!client.Connect(nPort, std::chrono::seconds(2))) return tReply;
  client.Send(sMethod + " " + sPath + " HTTP/1.0\r\nHost: localhost\r\n\r\n");
  client.WaitClosed();
  const std::string& s = client.Received();
  const size_t nBlank = s.find("\r\n\r\n");
  if (s.rfind("HTTP/1.", 0) != 0 || nBlank == std::string::npos) return tReply;
  tReply.nStatus = std::stoi(s.substr(s.find(' ') + 1, 3));
  tReply.sBody = s.substr(nBlank + 4);
  return tReply;
}

// The value of one sample ("name" or "name{labels}"), or -1 when the page lacks it.
double Sample(const std::string& sPage, const std::string& sName) {
  std::istringstream s(sPage);
  std::string sLine;
  while (std::getline(s, sLine))
    if (sLine.rfind(sName + " ", 0) == 0) return std::stod(sLine.substr(sName.size() + 1));
  return -1;
}

class MetricsEndpoint : public ::testing::Test {
 protected:
  void StartRelay(const std::vector<std::string>& vSimArgs) {
    ASSERT_TRUE(sim.Start(vSimArgs));
    nProxyPort = FreePort();
    nMetricsPort = FreePort();
    relay.WriteConfig(RelayConfig(sim.Port(), nProxyPort,
                                  "[METRICS]\r\nPORT=" + std::to_string(nMetricsPort) + "\r\nBINDIP=127.0.0.1\r\n"));
    ASSERT_TRUE(relay.Start());
    ASSERT_TRUE(relay.WaitForLog("Metrics endpoint listening on 127.0.0.1:" + std::to_string(nMetricsPort)))
        << relay.LogText();
  }
  std::string Page() { return HttpRequest(nMetricsPort, "GET", "/metrics").sBody; }
  bool WaitSample(const std::string& sName, double nAtLeast) {
    return PollUntil([&] { return Sample(Page(), sName) >= nAtLeast; });
  }

  TExchangeSim sim;
  TRelay relay;
  int nProxyPort = 0;
  int nMetricsPort = 0;
};

TEST_F(MetricsEndpoint, CountersMoveWithTheTrafficAndGaugesFollowTheClients) {
  StartRelay({"--generate", "--rate", "100", "--queues", "10001-10003", "--seed", "5"});
  TTcpClient desk;
  ASSERT_TRUE(desk.Connect(nProxyPort));
  ASSERT_TRUE(Handshake(desk, "metrics", "10001,10002,10003", "", ""));
  ASSERT_TRUE(WaitSample("telvane_clients{state=\"running\"}", 1)) << Page();
  ASSERT_TRUE(WaitSample("telvane_frames_sent_total", 5)) << Page();
  const std::string sFirst = Page();
  EXPECT_EQ(Sample(sFirst, "telvane_exchange_connected"), 1);
  EXPECT_EQ(Sample(sFirst, "telvane_client_listener_open"), 1);
  EXPECT_GT(Sample(sFirst, "telvane_exchange_bytes_total"), 0);
  EXPECT_GT(Sample(sFirst, "telvane_bytes_sent_total"), Sample(sFirst, "telvane_frames_sent_total"));
  EXPECT_GT(Sample(sFirst, "telvane_relay_latency_seconds_count"), 0);
  EXPECT_GT(Sample(sFirst, "process_resident_memory_bytes"), 0);
  EXPECT_NE(sFirst.find("# TYPE telvane_events_total counter\n"), std::string::npos);
  EXPECT_NE(sFirst.find("# TYPE telvane_relay_latency_seconds histogram\n"), std::string::npos);
  // The counters go on moving with the traffic.
  const double nQueueEvents = Sample(sFirst, "telvane_events_total{family=\"queue\"}");
  EXPECT_GT(nQueueEvents, 0);
  EXPECT_TRUE(WaitSample("telvane_events_total{family=\"queue\"}", nQueueEvents + 10)) << Page();
  desk.Close();
  EXPECT_TRUE(PollUntil([&] { return Sample(Page(), "telvane_clients{state=\"running\"}") == 0; })) << Page();
}

TEST_F(MetricsEndpoint, HealthIsOkWhileLoggedInAndNamesTheExchangeOnceItIsGone) {
  StartRelay({"--silent"});
  ASSERT_TRUE(PollUntil([&] { return HttpRequest(nMetricsPort, "GET", "/healthz").nStatus == 200; }));
  EXPECT_EQ(HttpRequest(nMetricsPort, "GET", "/healthz").sBody, "ok\n");
  sim.Process().WriteStdin("quit\n");
  ASSERT_EQ(sim.Process().WaitExit(), 0);
  THttpReply tReply;
  ASSERT_TRUE(PollUntil([&] { return (tReply = HttpRequest(nMetricsPort, "GET", "/healthz")).nStatus == 503; }));
  EXPECT_EQ(tReply.sBody, "exchange not logged in\n");
  EXPECT_EQ(Sample(Page(), "telvane_exchange_connected"), 0);
}

TEST_F(MetricsEndpoint, EventsThatReachNoOutletAreCountedByReason) {
  StartRelay({"--silent"});
  ASSERT_TRUE(PollUntil([&] { return Sample(Page(), "telvane_exchange_connected") == 1; }));
  const std::string sPath = relay.Dir() + "/events.txt";
  WriteFile(sPath,
            "Event: Join\r\nFile: app_queue.c\r\nQueue: 99999\r\n\r\n"   // key out of range
            "Event: Join\r\nFile: app_queue.c\r\nCount: 1\r\n\r\n"      // no key
            "Event: Reload\r\nFile: pbx.c\r\n\r\n"                       // no ring
            "Event: Join\r\nFile: app_queue.c\r\nQueue: 10001\r\n\r\n");  // delivered (to nobody)
  sim.Process().WriteStdin("send " + sPath + "\n");
  ASSERT_TRUE(WaitSample("telvane_relay_latency_seconds_count", 1)) << Page();
  const std::string sPage = Page();
  struct Case { const char* sSample; double nValue; };
  const Case vCases[] = {
      {"telvane_events_total{family=\"queue\"}", 3},
      {"telvane_events_total{family=\"none\"}", 1},
      {"telvane_events_dropped_total{reason=\"key_out_of_range\"}", 1},
      {"telvane_events_dropped_total{reason=\"no_key\"}", 1},
      {"telvane_events_dropped_total{reason=\"ring_full\"}", 0},
      {"telvane_frames_sent_total", 0},
  };
  for (const Case& t : vCases) EXPECT_EQ(Sample(sPage, t.sSample), t.nValue) << t.sSample << "\n" << sPage;
}

TEST_F(MetricsEndpoint, RequestsOutsideTheTwoPagesAreRefusedAndTheRelayServesOn) {
  StartRelay({"--silent"});
  struct Case { const char* sMethod; const char* sPath; int nStatus; };
  const Case vCases[] = {
      {"GET", "/", 404},          {"GET", "/metrics/x", 404}, {"POST", "/metrics", 405},
      {"DELETE", "/healthz", 405}, {"HEAD", "/metrics", 200},  {"GET", "/metrics?x=1", 200},
  };
  for (const Case& t : vCases)
    EXPECT_EQ(HttpRequest(nMetricsPort, t.sMethod, t.sPath).nStatus, t.nStatus) << t.sMethod << " " << t.sPath;
  // Garbage instead of a request, then a normal scrape.
  TTcpClient junk;
  ASSERT_TRUE(junk.Connect(nMetricsPort));
  junk.Send(std::string(20000, 'x') + "\r\n\r\n");
  junk.WaitClosed();
  EXPECT_EQ(HttpRequest(nMetricsPort, "GET", "/metrics").nStatus, 200);
  EXPECT_TRUE(relay.Process().Running());
}

// Every connection holds a civetweb worker until its request has been read, so peers that connect
// and send nothing must neither use up the workers nor hold them long: with too few workers or a
// long wait for the request, this health check would queue behind them for minutes.
TEST_F(MetricsEndpoint, HealthAnswersWhileFiftyIdleConnectionsAreOpen) {
  StartRelay({"--silent"});
  ASSERT_TRUE(PollUntil([&] { return HttpRequest(nMetricsPort, "GET", "/healthz").nStatus == 200; }));
  std::vector<std::unique_ptr<TTcpClient>> vIdle;
  for (int n = 0; n < 50; ++n) {
    vIdle.push_back(std::make_unique<TTcpClient>());
    ASSERT_TRUE(vIdle.back()->Connect(nMetricsPort)) << n;
  }
  const THttpReply tReply = HttpRequest(nMetricsPort, "GET", "/healthz");
  EXPECT_EQ(tReply.nStatus, 200);
  EXPECT_EQ(tReply.sBody, "ok\n");
  EXPECT_EQ(HttpRequest(nMetricsPort, "GET", "/metrics").nStatus, 200);
}

TEST(MetricsEndpointBind, APortInUseIsOneLogLineAndTheRelayRunsWithoutTheEndpoint) {
  // Holds a port open so the relay cannot take it.
  const int nFd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in tAddr{};
  tAddr.sin_family = AF_INET;
  tAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(nFd, reinterpret_cast<sockaddr*>(&tAddr), sizeof(tAddr)), 0);
  ASSERT_EQ(listen(nFd, 1), 0);
  socklen_t nLen = sizeof(tAddr);
  getsockname(nFd, reinterpret_cast<sockaddr*>(&tAddr), &nLen);
  const int nTaken = ntohs(tAddr.sin_port);

  TExchangeSim sim;
  ASSERT_TRUE(sim.Start({"--silent"}));
  TRelay relay;
  const int nProxyPort = FreePort();
  relay.WriteConfig(RelayConfig(sim.Port(), nProxyPort, "[METRICS]\r\nPORT=" + std::to_string(nTaken) + "\r\n"));
  ASSERT_TRUE(relay.Start());
  EXPECT_TRUE(relay.WaitForLog("Error: metrics endpoint not started on 127.0.0.1:" + std::to_string(nTaken)))
      << relay.LogText();
  TTcpClient desk;
  ASSERT_TRUE(desk.Connect(nProxyPort));
  EXPECT_TRUE(Handshake(desk, "bind", "10001", "", ""));
  EXPECT_TRUE(relay.Process().Running());
  close(nFd);
}

}  // namespace
