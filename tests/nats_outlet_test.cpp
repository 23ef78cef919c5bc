// NATS publishing end to end: the exchange simulator, the real relay binary, a real nats-server
// on a free port (with JetStream), desks on the relay's port and subscribers on NATS; nothing
// mocked. Also the outlet's pure helpers.
#include "hosting/untNatsOutlet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "logging/untUtil.h"
#include "support/EndToEnd.h"
#include "support/NatsSupport.h"
#include "support/TestSupport.h"

namespace {

using namespace testsupport;

// ---- Pure helpers ----

TEST(NatsHelpers, ServerListAndSecretsKeptOutOfTheLog) {
  EXPECT_EQ(SplitNatsServers(" nats://a:4222 ,, tls://b:4222,"),
            (std::vector<std::string>{"nats://a:4222", "tls://b:4222"}));
  EXPECT_TRUE(SplitNatsServers(" , ").empty());
  struct Case {
    const char* sUrl;
    const char* sShown;
  };
  const Case vCases[] = {
      {"nats://h:4222", "nats://h:4222"},
      {"nats://user:pass@h:4222", "nats://***@h:4222"},
      {"tls://s3cr3t@h:4222", "tls://***@h:4222"},
      {"u:p@h:4222", "***@h:4222"},
  };
  for (const Case& c : vCases) EXPECT_EQ(HideUrlSecrets(c.sUrl), c.sShown) << c.sUrl;
  EXPECT_EQ(NatsSubject("cc.lisbon", "extension", 20010), "cc.lisbon.extension.20010");
}

// Whatever a password holds, and however many servers the URL lists, the servers as the log names
// them show none of it, and neither does a client error that quotes the URL.
TEST(NatsHelpers, NoPasswordOfTheUrlReachesTheLog) {
  struct Case {
    const char* sUrl;
    const char* sShown;   // the servers as log lines name them
    const char* sSecret;  // must appear nowhere in sShown
  };
  const Case vCases[] = {
      {"nats://h:4222", "nats://h:4222", ""},
      {"nats://user:pass@h:4222", "nats://***@h:4222", "pass"},
      {"tls://s3cr3t@h:4222", "tls://***@h:4222", "s3cr3t"},                 // token only
      {"nats://alice@h:4222", "nats://***@h:4222", "alice"},                 // user only
      {"u:p4ss@h:4222", "***@h:4222", "p4ss"},                               // no scheme
      {"nats://u:p@ss:w0rd@h:4222", "nats://***@h:4222", "ss:w0rd"},         // "@" and ":" in it
      {"nats://u:p%40ss%3A1@h:4222", "nats://***@h:4222", "ss%3A1"},         // percent escapes
      {"u:x://y@h:4222", "***@h:4222", "x://y"},                             // "://" in it
      {"nats://u:pw,1@h:4222", "nats://***@h:4222", "pw"},                   // "," in it
      {"nats://u:p@a,1@h:4222", "nats://***@h:4222", "p@a,1"},               // "@" and "," in it
      {" nats://a:pw1@h1:4222 , tls://b:pw2@h2:4222", "nats://***@h1:4222, tls://***@h2:4222", "pw"},
      {"nats://h1:4222,nats://b:pw2@h2:4222", "nats://h1:4222, nats://***@h2:4222", "pw2"},
      {"nats://a:pw1@h1:4222,nats://h2:4222", "nats://***@h1:4222, nats://h2:4222", "pw1"},
  };
  for (const Case& c : vCases) {
    SCOPED_TRACE(c.sUrl);
    const std::string sShown = NatsServersForLog(c.sUrl);
    EXPECT_EQ(sShown, c.sShown);
    const std::string sSecret = c.sSecret;
    if (sSecret.empty()) continue;
    EXPECT_EQ(sShown.find(sSecret), std::string::npos);
    const std::string sQuoted = HideUrlSecretsIn(std::string("cannot parse '") + c.sUrl + "'", c.sUrl);
    EXPECT_EQ(sQuoted.find(sSecret), std::string::npos) << sQuoted;
  }
}

TEST(NatsHelpers, RepeatedFailuresAreLoggedAtOneTenHundred) {
  std::vector<uint64_t> vLogged;
  for (uint64_t n = 0; n <= 100000; ++n)
    if (IsPowerOfTen(n)) vLogged.push_back(n);
  EXPECT_EQ(vLogged, (std::vector<uint64_t>{1, 10, 100, 1000, 10000, 100000}));
}

// ---- End to end ----

// What the client tool prints for an event: the lines with LF ends, then an empty line.
std::string Printed(const std::string& sEvent) { return ReplaceAll(sEvent, "\r\n", "\n"); }

// The relay's metrics page, or empty while it does not answer.
std::string MetricsPage(int nPort) {
  TTcpClient client;
  if (!client.Connect(nPort, std::chrono::seconds(2))) return {};
  client.Send("GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n");
  client.WaitClosed();
  const size_t nBlank = client.Received().find("\r\n\r\n");
  return nBlank == std::string::npos ? std::string() : client.Received().substr(nBlank + 4);
}

// The end-to-end fixture with a NATS server beside it.
class NatsOutlet : public ::testing::Test, protected TEndToEnd {
 protected:
  // Starts the simulator (silent by default: it sends only what Send gives it) and the relay with
  // the given [NATS] keys, and waits until the relay is logged in.
  void StartRelay(const std::string& sNatsKeys, const std::vector<std::string>& vSimArgs = {"--silent"}) {
    ASSERT_TRUE(Start([&](int nExchangePort, int nProxyPortIn) {
      return RelayConfig(nExchangePort, nProxyPortIn, "[NATS]\r\n" + sNatsKeys);
    }, vSimArgs)) << relay.LogText();
  }

  TNatsServer nats;
};

// Frames are published after the extension decision: what a desk does not get, NATS does not get.
TEST_F(NatsOutlet, EveryForwardedFrameReachesItsSubjectAsTheDeskGetsItInOrderPerKey) {
  ASSERT_TRUE(nats.Start());
  StartRelay("URL=" + nats.Url() + "\r\nSUBJECTPREFIX=cc.lisbon\r\n");
  ASSERT_TRUE(relay.WaitForLog("Connected to NATS at " + nats.Url() + ".")) << relay.LogText();
  TNatsCollector collector;
  ASSERT_TRUE(collector.Start(nats.Url(), "cc.lisbon.>"));
  auto desk = Desk("10005,10006", "20010", "701");
  ASSERT_TRUE(desk);

  struct Case {
    std::string sEvent;
    std::string sSubject;
    bool bForwarded;
  };
  const std::string sQ5 = "cc.lisbon.queue.10005", sQ6 = "cc.lisbon.queue.10006", sExt = "cc.lisbon.extension.20010";
  const std::string sDown = "ChannelStateDesc: Down\r\n";
  const std::vector<Case> vCases = {
      {QueueEvent(10005, 1), sQ5, true},
      {ChannelEvent("Newchannel", "20010-0000000a", sDown, 2), sExt, true},   // one channel
      {QueueEvent(10005, 3), sQ5, true},
      {ChannelEvent("Newchannel", "20010-0000000b", sDown, 4), sExt, false},  // two: held back
      {ParkEvent(701, 5), "cc.lisbon.parking.701", true},
      {QueueEvent(10006, 6), sQ6, true},
      {ChannelEvent("Hangup", "20010-0000000a", "", 7), sExt, false},          // held, one left
      {QueueEvent(10005, 8), sQ5, true},
      {ChannelEvent("Hangup", "20010-0000000b", "", 9), sExt, true},           // none left
  };
  std::string sAll;
  std::map<std::string, std::vector<std::string>> vExpected;
  for (const Case& c : vCases) {
    sAll += c.sEvent;
    if (c.bForwarded) vExpected[c.sSubject].push_back(Frame(c.sEvent));
  }
  const size_t nForwarded = 7;
  Send(sAll);
  ASSERT_TRUE(WaitFrames(*desk, nForwarded));
  // Each key's last event is forwarded, so once all have come a wrongly published one has too.
  ASSERT_TRUE(collector.WaitForCount(nForwarded));

  // A consumer of one key, or of one family, sees its counter run 1, 2, 3, ... with no gap: a
  // held-back frame takes no number, and frames of other keys or families take none of its own.
  std::map<std::string, std::vector<std::string>> vPublished, vDesk, vSeqs, vFamilySeqs;
  for (const TNatsMessage& m : collector.Messages()) {
    vPublished[m.sSubject].push_back(m.sData);
    EXPECT_EQ("cc.lisbon." + m.sFamily + "." + m.sKey, m.sSubject) << "headers name the subject's family and key";
    vSeqs[m.sSubject].push_back(m.sSeq);
    vFamilySeqs[m.sFamily].push_back(m.sFamilySeq);
  }
  EXPECT_EQ(vPublished, vExpected);
  using TSeqs = std::map<std::string, std::vector<std::string>>;
  EXPECT_EQ(vSeqs, (TSeqs{{sQ5, {"1", "2", "3"}}, {sQ6, {"1"}}, {sExt, {"1", "2"}}, {"cc.lisbon.parking.701", {"1"}}}));
  EXPECT_EQ(vFamilySeqs, (TSeqs{{"queue", {"1", "2", "3", "4"}}, {"extension", {"1", "2"}}, {"parking", {"1"}}}));
  for (const std::string& sFrame : Frames(desk->Received()))
    for (const auto& [sSubject, vFrames] : vExpected)
      if (std::find(vFrames.begin(), vFrames.end(), sFrame) != vFrames.end()) vDesk[sSubject].push_back(sFrame);
  EXPECT_EQ(vDesk, vExpected) << "the desk gets the same frames in the same order per key";
}

// A TLS server whose certificate no trusted authority signed: the relay says why it cannot connect,
// and the desks are served all the same.
TEST_F(NatsOutlet, RefusedTlsCertificateIsLoggedWithItsReason) {
  const std::string sCommand = "cd " + dir.Path() +
                               " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                               " -keyout nats.key -out nats.pem -days 2 -subj '/CN=Nobody Trusts Me'"
                               " -addext subjectAltName=IP:127.0.0.1 >openssl.log 2>&1";
  ASSERT_EQ(std::system(sCommand.c_str()), 0) << ReadFile(dir.Path() + "/openssl.log");
  ASSERT_TRUE(
      nats.Start(0, false, {"--tls", "--tlscert", dir.Path() + "/nats.pem", "--tlskey", dir.Path() + "/nats.key"}));
  const std::string sUrl = "tls://127.0.0.1:" + std::to_string(nats.Port());
  StartRelay("URL=" + sUrl + "\r\n");
  ASSERT_TRUE(relay.WaitForLog("No NATS server answers yet (" + sUrl + "): ")) << relay.LogText();
  const std::string sLog = relay.LogText();
  const std::string sLine = sLog.substr(sLog.find("No NATS server answers yet ("));
  EXPECT_NE(sLine.substr(0, sLine.find('\n')).find("self-signed certificate"), std::string::npos) << sLine;
  auto desk = Desk("10005", "", "");
  ASSERT_TRUE(desk);
  Send(QueueEvent(10005, 1));
  EXPECT_TRUE(WaitFrames(*desk, 1)) << "the desks never wait for NATS";
}

TEST_F(NatsOutlet, ServerDownAtStartThenStartedDesksServedDropsCountedThenPublished) {
  const int nPort = FreePort();  // nothing listens there yet
  const std::string sUrl = "nats://127.0.0.1:" + std::to_string(nPort);
  const int nMetricsPort = FreePort();
  StartRelay("URL=" + sUrl + "\r\n[METRICS]\r\nPORT=" + std::to_string(nMetricsPort) + "\r\n");
  ASSERT_TRUE(relay.WaitForLog("No NATS server answers yet (" + sUrl + ")")) << relay.LogText();
  auto desk = Desk("10005", "", "");
  ASSERT_TRUE(desk);
  const std::string e1 = QueueEvent(10005, 1), e2 = QueueEvent(10005, 2), e3 = QueueEvent(10005, 3);
  Send(e1 + e2);
  ASSERT_TRUE(WaitFrames(*desk, 2)) << "the desks never wait for NATS";
  EXPECT_TRUE(relay.WaitForLog("Frame of queue 10005 not published to NATS (no NATS server has answered yet); "
                               "1 dropped so far."))
      << relay.LogText();

  ASSERT_TRUE(nats.Start(nPort));
  ASSERT_TRUE(relay.WaitForLog("Connected to NATS at " + sUrl + ".")) << relay.LogText();
  TNatsCollector collector;
  ASSERT_TRUE(collector.Start(sUrl, "telvane.>"));
  Send(e3);
  ASSERT_TRUE(WaitFrames(*desk, 3));
  ASSERT_TRUE(collector.WaitForCount(1));
  const TNatsMessage m = collector.Messages().front();
  EXPECT_EQ(m.sSubject, "telvane.queue.10005");
  EXPECT_EQ(m.sData, Frame(e3));
  EXPECT_EQ(m.sSeq, "3") << "the two dropped frames leave their gap in Telvane-Seq";
  EXPECT_EQ(m.sFamilySeq, "3") << "and in Telvane-Family-Seq";
  EXPECT_EQ(desk->Received(), Frame(e1) + Frame(e2) + Frame(e3));
  // The operator's view of the same run: connected now, one frame published, two dropped.
  std::string sPage;
  EXPECT_TRUE(PollUntil([&] {
    sPage = MetricsPage(nMetricsPort);
    return sPage.find("\ntelvane_nats_published_total 1\n") != std::string::npos;
  })) << sPage;
  EXPECT_NE(sPage.find("\ntelvane_nats_dropped_total 2\n"), std::string::npos) << sPage;
  EXPECT_NE(sPage.find("\ntelvane_nats_connected 1\n"), std::string::npos) << sPage;
}

// While the server is away the client keeps 8 MiB of frames; the rest is dropped and counted. The
// desks get everything meanwhile, and publishing resumes when the server is back.
TEST_F(NatsOutlet, ServerRestartedMidRunBuffersDropsPastTheBoundAndResumes) {
  constexpr int kQueues = 1000, kEvents = 12000;  // 1 KiB each: about 13 MiB, past the 8 MiB bound
  const std::string sPadding = "Padding: " + std::string(1000, 'x') + "\r\n";
  std::string sBurst;
  for (int n = 0; n < kEvents; ++n) sBurst += QueueEvent("Join", 10001 + n % kQueues, 100 + n, sPadding);
  const std::string sBurstFile = dir.Path() + "/burst.txt";
  WriteFile(sBurstFile, sBurst);
  ASSERT_TRUE(nats.Start());
  // The burst is the simulator's replay, held back until "silent off" and then paced.
  StartRelay("URL=" + nats.Url() + "\r\n", {"--silent", "--replay", sBurstFile, "--rate", "4000"});
  ASSERT_TRUE(relay.WaitForLog("Connected to NATS at " + nats.Url() + ".")) << relay.LogText();
  TProcess desk;
  ASSERT_TRUE(desk.Start({TELVANE_CLIENT_BINARY, "--port", std::to_string(nProxyPort), "--queues",
                          "10001-" + std::to_string(10000 + kQueues), "--quiet", "--count", std::to_string(kEvents + 1)}));
  ASSERT_TRUE(PollUntil([&] { return desk.Stdout().starts_with("READY\n"); })) << desk.Stderr();
  TNatsCollector collector;
  ASSERT_TRUE(collector.Start(nats.Url(), "telvane.>"));
  const std::string eFirst = QueueEvent(10001, 1);
  Send(eFirst);
  ASSERT_TRUE(collector.WaitForCount(1));

  nats.Kill();
  ASSERT_TRUE(relay.WaitForLog("Disconnected from NATS at " + nats.Url() + ";")) << relay.LogText();
  sim.Process().WriteStdin("silent off\n");
  // The desks get the whole burst while NATS is away.
  EXPECT_EQ(desk.WaitExit(60s), 0) << desk.Stderr();
  EXPECT_NE(desk.Stdout().find("RESULT clients=1 frames=" + std::to_string(kEvents + 1) + " "), std::string::npos)
      << desk.Stdout();
  EXPECT_TRUE(relay.WaitForLog("not published to NATS (Insufficient Buffer)")) << relay.LogText();

  ASSERT_TRUE(nats.Start());
  ASSERT_TRUE(relay.WaitForLog("Reconnected to NATS at " + nats.Url() + ".", 60s)) << relay.LogText();
  ASSERT_TRUE(PollUntil([&] { return collector.Ready(); }));
  const std::string eLast = QueueEvent(10002, 99999);
  Send(eLast);
  TNatsMessage tLast;
  PollUntil([&] {
    for (const TNatsMessage& m : collector.Messages())
      if (m.sData == Frame(eLast)) tLast = m;
    return !tLast.sSeq.empty();
  });
  EXPECT_EQ(tLast.sFamilySeq, std::to_string(kEvents + 2))
      << "publishing resumes; every frame of the outage took its Telvane-Family-Seq; " << collector.Messages().size()
      << " messages collected\n" << relay.LogText();
  EXPECT_EQ(tLast.sSeq, std::to_string(kEvents / kQueues + 1)) << "and its key's frames their Telvane-Seq";
  EXPECT_TRUE(relay.Process().Running());
}

// A consumer that starts late replays what it missed from the stream, through the client tool.
TEST_F(NatsOutlet, LateConsumerReplaysTheStreamTheRelayCreated) {
  ASSERT_TRUE(nats.Start());
  StartRelay("URL=" + nats.Url() + "\r\nSTREAM=TELVANE\r\nMAXAGE=2\r\n");
  ASSERT_TRUE(relay.WaitForLog("NATS stream TELVANE created over telvane.>, keeping frames 2 hours."))
      << relay.LogText();
  auto desk = Desk("10005,10006", "", "");
  ASSERT_TRUE(desk);
  const std::string e1 = QueueEvent(10005, 1), e2 = QueueEvent(10006, 2), e3 = QueueEvent(10005, 3);
  Send(e1 + e2 + e3);
  ASSERT_TRUE(WaitFrames(*desk, 3));

  TProcess consumer;
  ASSERT_TRUE(consumer.Start({TELVANE_CLIENT_BINARY, "--nats", nats.Url(), "--nats-stream", "TELVANE", "--queues",
                              "10005", "--count", "2"}));
  EXPECT_EQ(consumer.WaitExit(), 0) << consumer.Stderr();
  EXPECT_EQ(consumer.Stdout(), "READY\n" + Printed(e1) + Printed(e3));

  // A relay started later finds the stream and leaves it as it is.
  TRelay second;
  second.WriteConfig(RelayConfig(FreePort(), FreePort(), "[NATS]\r\nURL=" + nats.Url() + "\r\nSTREAM=TELVANE\r\n"));
  ASSERT_TRUE(second.Start());
  EXPECT_TRUE(second.WaitForLog("NATS stream TELVANE found; it keeps the frames of telvane.>.")) << second.LogText();
}

// Without JetStream there is no stream: a log line, tried again later, and frames go out all the same.
TEST_F(NatsOutlet, StreamThatCannotBeHadLeavesPublishingAsItIs) {
  ASSERT_TRUE(nats.Start(0, false));
  StartRelay("URL=" + nats.Url() + "\r\nSTREAM=TELVANE\r\n");
  ASSERT_TRUE(relay.WaitForLog("Cannot look up the NATS stream TELVANE: ")) << relay.LogText();
  EXPECT_TRUE(relay.WaitForLog("; frames are published all the same, and the stream is tried again every 30 s "
                               "(failed tries so far: 1)."))
      << relay.LogText();
  TNatsCollector collector;
  ASSERT_TRUE(collector.Start(nats.Url(), "telvane.>"));
  const std::string e1 = QueueEvent(10005, 1);
  Send(e1);
  ASSERT_TRUE(collector.WaitForCount(1));
  EXPECT_EQ(collector.Messages().front().sData, Frame(e1));
}

// The client tool's live mode: more than 16 numbers make one wildcard subscription, filtered to
// the list; a load run reports frames and loss as on the relay's port.
TEST_F(NatsOutlet, ClientToolLoadRunFollowsItsListsAndCountsLoss) {
  ASSERT_TRUE(nats.Start());
  StartRelay("URL=" + nats.Url() + "\r\n", {"--silent", "--stamp"});
  ASSERT_TRUE(relay.WaitForLog("Connected to NATS at " + nats.Url() + ".")) << relay.LogText();
  TProcess load;
  ASSERT_TRUE(load.Start({TELVANE_CLIENT_BINARY, "--nats", nats.Url(), "--queues", "10001-10020", "--load", "3",
                          "--count", "40", "--expect-seq", "11-50"}));
  ASSERT_TRUE(PollUntil([&] { return load.Stdout().starts_with("READY\n"); })) << load.Stderr();
  std::string sEvents;
  for (int n = 0; n < 10; ++n) sEvents += QueueEvent(10050, n);  // stamps 1-10, outside the list
  for (int n = 0; n < 40; ++n) sEvents += QueueEvent(10001 + n % 20, 100 + n);  // stamps 11-50
  Send(sEvents);
  EXPECT_EQ(load.WaitExit(), 0) << load.Stderr();
  EXPECT_NE(load.Stdout().find("RESULT clients=3 frames=120 "), std::string::npos) << load.Stdout();
  EXPECT_NE(load.Stdout().find(" lost=0 dup=0 "), std::string::npos) << load.Stdout();
}

}  // namespace
