// End to end: the exchange simulator, the real relay binary and real TCP clients on loopback,
// nothing mocked. Each test starts a silent simulator, lets the relay log in and the clients finish
// their handshakes, then has the simulator send exactly the events the test wrote, and reads what
// each client receives. A client's frames are the event followed by two empty lines.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "support/EndToEnd.h"

namespace {

using namespace testsupport;

// Every case runs under both pacings ([GENERAL] PACING): what reaches whom, and in which order per
// key, does not depend on how the stages wait for work.
class RelayEndToEnd : public ::testing::TestWithParam<const char*>, protected TEndToEnd {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Start([this](int nExchangePort, int nProxyPortIn) {
      return std::string("[LOG]\r\nVERBOSE=3\r\n[GENERAL]\r\nPACING=") + GetParam() +
             "\r\n[AMI]\r\nRECONNECTTMR=5\r\nTIMEOUTTMR=60\r\nSERVERIP=127.0.0.1\r\nSERVERPORT=" +
             std::to_string(nExchangePort) + "\r\n[PROXY]\r\nSERVERPORT=" + std::to_string(nProxyPortIn) + "\r\n";
    })) << relay.LogText();
  }
  std::unique_ptr<TTcpClient> Client(const std::string& sQueues, const std::string& sPeers, const std::string& sParks) {
    auto client = Desk(sQueues, sPeers, sParks);
    EXPECT_TRUE(client) << "the desk did not get through the handshake";
    return client ? std::move(client) : std::make_unique<TTcpClient>();
  }
};

TEST_P(RelayEndToEnd, QueueEventsReachExactlyTheSubscribedRunningClientsInOrder) {
  auto a = Client("10005", "", "");
  auto b = Client("10005,10006", "", "");
  auto c = Client("10006", "", "");
  // A client still in the handshake gets nothing, even for a queue it has asked for.
  TTcpClient pending;
  ASSERT_TRUE(pending.Connect(nProxyPort));
  for (const char* s : {"Hi, lets connect...\r\n", "MyAppID: late\r\n", "MyAppToken: qmRoK8]\r\n"}) {
    ASSERT_TRUE(pending.Send(s));
    ASSERT_TRUE(pending.ReadUntil("\r\n\r\n"));
    pending.Take();
  }
  ASSERT_TRUE(pending.Send("GetQueueInfo: (10005)\r\n"));
  ASSERT_TRUE(pending.ReadUntil("PeerInfo:  ?"));
  pending.Take();

  const std::string e1 = QueueEvent(10005, 1), e2 = QueueEvent(10005, 2), e3 = QueueEvent(10005, 3), e4 = QueueEvent(10006, 4);
  Send(e1 + e2 + e4 + e3);
  ASSERT_TRUE(WaitFrames(*a, 3));
  ASSERT_TRUE(WaitFrames(*b, 4));
  ASSERT_TRUE(WaitFrames(*c, 1));
  EXPECT_EQ(a->Received(), Frame(e1) + Frame(e2) + Frame(e3));
  const auto vB = Frames(b->Received());
  std::vector<std::string> vB10005;
  for (const auto& f : vB)
    if (f.find("Queue: 10005") != std::string::npos) vB10005.push_back(f);
  EXPECT_EQ(vB10005, (std::vector<std::string>{Frame(e1), Frame(e2), Frame(e3)})) << "per-key order lost";
  EXPECT_EQ(c->Received(), Frame(e4));
  pending.ReadFor(std::chrono::milliseconds(300));
  EXPECT_EQ(pending.Received(), "");
}

TEST_P(RelayEndToEnd, KeysOutsideTheServedRangesAndMalformedKeysReachNobody) {
  auto client = Client("10001,11001", "20001,30001,21000", "701,801,70");
  std::string sBad;
  sBad += QueueEvent(11001, 1);                                                  // last queue: never served
  sBad += Event("Join", "app_queue.c", "Queue: 1005\r\n", 2);                  // four digits + CR
  sBad += ChannelEvent("VarSet", "30001-00000001", "", 3);                       // last extension
  sBad += ChannelEvent("VarSet", "2100-00000002", "", 4);                        // four-digit extension
  sBad += ParkEvent(801, 5);                                                     // last parking lot
  sBad += Event("ParkedCall", "features.c", "Exten: 70\r\n", 6);               // two digits + CR
  // Sentinels after the bad events, one per family: once they arrive, the bad ones are done with.
  const std::string sQueue = QueueEvent(10001, 7), sPeer = ChannelEvent("VarSet", "20001-00000003", "", 8),
                    sPark = ParkEvent(701, 9);
  Send(sBad + sQueue + sPeer + sPark);
  ASSERT_TRUE(WaitFrames(*client, 3));
  client->ReadFor(std::chrono::milliseconds(300));
  const auto vFrames = Frames(client->Received());
  EXPECT_EQ(std::set<std::string>(vFrames.begin(), vFrames.end()),
            (std::set<std::string>{Frame(sQueue), Frame(sPeer), Frame(sPark)}));
}

// The last served number of each range (11000, 30000, 800) is as deliverable as the first; 30000
// once counted as carrying no key, so a desk could subscribe to it and never hear of it. Its
// channel count follows the same hold-back rule as any other extension.
TEST_P(RelayEndToEnd, LastServedKeyOfEachRangeIsDelivered) {
  auto client = Client("11000", "30000", "800");
  const std::string sDown = "ChannelStateDesc: Down\r\n";
  const std::string sQueue = QueueEvent(11000, 1), sPark = ParkEvent(800, 2),
                    sFirst = ChannelEvent("Newchannel", "30000-0000000a", sDown, 3),
                    sSecond = ChannelEvent("Newchannel", "30000-0000000b", sDown, 4),  // count 2: held
                    sStatus = Event("PeerStatus", "chan_sip.c", "Peer: SIP/30000\r\nPeerStatus: Reachable\r\n", 5);
  Send(sQueue + sPark + sFirst + sSecond + sStatus);
  ASSERT_TRUE(WaitFrames(*client, 4)) << client->Received();
  client->ReadFor(std::chrono::milliseconds(300));
  const auto vFrames = Frames(client->Received());
  EXPECT_EQ(std::multiset<std::string>(vFrames.begin(), vFrames.end()),
            (std::multiset<std::string>{Frame(sQueue), Frame(sPark), Frame(sFirst), Frame(sStatus)}));
}

// Two channels open on one extension: its events are held back until one channel is left; a
// state outside the channel states (here a status "Reachable") clears the count again.
TEST_P(RelayEndToEnd, SecondChannelHoldsBackExtensionEventsUntilOneIsLeft) {
  auto client = Client("", "20010", "");
  const std::string sDown = "ChannelStateDesc: Down\r\n", sUp = "ChannelStateDesc: Up\r\n";
  const std::vector<std::pair<std::string, bool>> vSequence = {
      {ChannelEvent("Newchannel", "20010-0000000a", sDown, 1), true},   // count 1
      {ChannelEvent("Newstate", "20010-0000000a", sUp, 2), true},
      {ChannelEvent("Newchannel", "20010-0000000b", sDown, 3), false},  // count 2: held
      {ChannelEvent("Newstate", "20010-0000000b", sUp, 4), false},      // held
      {ChannelEvent("Hangup", "20010-0000000a", "", 5), false},          // held, count 1
      {ChannelEvent("Hangup", "20010-0000000b", "", 6), true},           // forwarded, count 0
      {ChannelEvent("Newchannel", "20010-0000000c", sDown, 7), true},   // count 1
      {ChannelEvent("Newchannel", "20010-0000000d", sDown, 8), false},  // count 2: held
      {Event("PeerStatus", "chan_sip.c", "Peer: SIP/20010\r\nPeerStatus: Reachable\r\n", 9), true},  // reset
      {ChannelEvent("Newstate", "20010-0000000d", sUp, 10), true},      // forwarded again
  };
  std::string sAll, sExpected;
  size_t nExpected = 0;
  for (const auto& [sEvent, bForwarded] : vSequence) {
    sAll += sEvent;
    if (bForwarded) sExpected += Frame(sEvent), ++nExpected;
  }
  Send(sAll);
  ASSERT_TRUE(WaitFrames(*client, nExpected));
  client->ReadFor(std::chrono::milliseconds(300));
  EXPECT_EQ(client->Received(), sExpected);
}

TEST_P(RelayEndToEnd, ChangeCommandThatSwitchesAKeyOffStopsItsEvents) {
  auto client = Client("10001,10002", "", "");
  const std::string e1 = QueueEvent(10001, 1);
  Send(e1);
  ASSERT_TRUE(WaitFrames(*client, 1));
  EXPECT_EQ(client->Take(), Frame(e1));
  ASSERT_TRUE(client->Send("ChangeQueueInfo: (10001:FALSE)\r\n"));
  ASSERT_TRUE(relay.WaitForLog("Changing Queue: 10001 to False"));
  const std::string e2 = QueueEvent(10001, 2), e3 = QueueEvent(10002, 3);
  Send(e2 + e3);
  ASSERT_TRUE(WaitFrames(*client, 1));
  client->ReadFor(std::chrono::milliseconds(300));
  EXPECT_EQ(client->Received(), Frame(e3));
}

// 10,000 events over 2,000 keys (1,000 queues, 1,000 extensions) to 10 clients, each subscribed
// to its own slice: every client gets exactly the events of its keys, none twice, none lost.
TEST_P(RelayEndToEnd, TenThousandEventsOverTwoThousandKeysReachEachClientExactly) {
  constexpr int kClients = 10, kEvents = 10000;
  std::vector<std::unique_ptr<TTcpClient>> vClients;
  std::vector<std::set<int>> vKeys(kClients);
  for (int c = 0; c < kClients; ++c) {
    std::string sQueues, sPeers;
    // Client c takes every key whose index modulo 10 is c or c + 1: each key has two subscribers.
    for (int k = 0; k < 1000; ++k) {
      if (k % kClients != c && k % kClients != (c + 1) % kClients) continue;
      sQueues += (sQueues.empty() ? "" : ",") + std::to_string(10001 + k);
      sPeers += (sPeers.empty() ? "" : ",") + std::to_string(20001 + k);
      vKeys[c].insert(10001 + k);
      vKeys[c].insert(20001 + k);
    }
    vClients.push_back(Client(sQueues, sPeers, ""));
  }
  std::string sEvents;
  std::vector<std::set<int>> vExpected(kClients);
  for (int n = 0; n < kEvents; ++n) {
    const int k = (n * 7919) % 2000;  // spread over the 2,000 keys, five events each
    const int nKey = k < 1000 ? 10001 + k : 20001 + (k - 1000);
    sEvents += nKey < 20000 ? QueueEvent(nKey, n)
                            : ChannelEvent("VarSet", std::to_string(nKey) + "-" + std::to_string(n), "", n);
    for (int c = 0; c < kClients; ++c)
      if (vKeys[c].count(nKey)) vExpected[c].insert(n);
  }
  Send(sEvents);
  for (int c = 0; c < kClients; ++c) {
    ASSERT_TRUE(PollUntil([&] {
      vClients[c]->ReadFor(std::chrono::milliseconds(10));
      return Frames(vClients[c]->Received()).size() >= vExpected[c].size();
    }, std::chrono::seconds(60))) << "client " << c << " got " << Frames(vClients[c]->Received()).size();
  }
  for (int c = 0; c < kClients; ++c) {
    vClients[c]->ReadFor(std::chrono::milliseconds(100));
    std::multiset<int> vGot;
    for (const std::string& f : Frames(vClients[c]->Received())) {
      const size_t nAt = f.find("Uniqueid: 1700000000.");
      ASSERT_NE(nAt, std::string::npos);
      vGot.insert(std::stoi(f.substr(nAt + 21)));
    }
    EXPECT_EQ(std::set<int>(vGot.begin(), vGot.end()), vExpected[c]) << "client " << c;
    EXPECT_EQ(vGot.size(), vExpected[c].size()) << "client " << c << " got duplicates";
  }
}

INSTANTIATE_TEST_SUITE_P(Pacing, RelayEndToEnd, ::testing::Values("PASS", "EVENT"),
                         [](const ::testing::TestParamInfo<const char*>& t) { return std::string(t.param); });

}  // namespace
