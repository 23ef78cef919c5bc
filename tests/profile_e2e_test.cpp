// End to end with the CURRENT profile: the real relay logged in to the simulator writing a current
// release's dialect for a site with three-digit extensions, queues named by words and one queue the
// relay was not told about, and real desks on loopback. Each desk must get frames of every family
// it subscribed to, and nothing that none of its subscriptions names.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/untEventProfile.h"
#include "support/TestSupport.h"

namespace {

using namespace testsupport;

// The relay's configuration of the site, as the test reads the frames back with the same rules.
TProfileConfig SiteProfile() {
  TProfileConfig p;
  p.tProfile = AMI_PROFILE_CURRENT;
  p.lstChannelTech = {"SIP", "PJSIP"};
  p.nPeerFirst = 201;
  p.vQueueNames = {{"SALES", 10002}, {"SUPPORT", 10001}};
  return p;
}

struct TDesk {
  TDesk(std::set<int32_t> vQueuesIn, std::set<int32_t> vPeersIn, std::set<int32_t> vParksIn)
      : vQueues(std::move(vQueuesIn)), vPeers(std::move(vPeersIn)), vParks(std::move(vParksIn)) {}

  std::set<int32_t> vQueues, vPeers, vParks;  // subscriptions
  std::unique_ptr<TTcpClient> pClient;
  uint32_t nFamiliesSeen = 0;  // TEventRing_OPT bits of the frames received so far
  std::string sPending;        // received text after the last whole frame
  bool bFirst = true;          // no frame taken yet

  // The whole frames received by now. The handshake's last read may have taken the start of the
  // first frame with the ready line: that frame's tail is passed over.
  std::vector<std::string> TakeFrames() {
    pClient->ReadFor(std::chrono::milliseconds(20));
    sPending += pClient->Take();
    std::vector<std::string> vFrames;
    size_t nStart = 0;
    for (size_t nEnd; (nEnd = sPending.find("\r\n\r\n\r\n", nStart)) != std::string::npos; nStart = nEnd + 6) {
      std::string sFrame = sPending.substr(nStart, nEnd + 6 - nStart);
      if (!bFirst || sFrame.starts_with("Event: ")) vFrames.push_back(std::move(sFrame));
      bFirst = false;
    }
    sPending.erase(0, nStart);
    return vFrames;
  }

  // Every frame must be due to a subscription: its key in some ring it goes to.
  void Check(const std::string& sFrame, const TProfileConfig& p) {
    const uint32_t nRings = ClassifyCurrentEvent(sFrame);
    uint32_t nDue = 0;
    if ((nRings & EVENT_RING_QUEUE) && vQueues.count(ExtractQueueKey(sFrame, p).value_or(0))) nDue |= EVENT_RING_QUEUE;
    if ((nRings & EVENT_RING_PEER) && vPeers.count(ExtractPeerKey(sFrame, p).value_or(0))) nDue |= EVENT_RING_PEER;
    if ((nRings & EVENT_RING_FEATUREPARK) && vParks.count(ExtractFeatureParkKey(sFrame, p).value_or(0)))
      nDue |= EVENT_RING_FEATUREPARK;
    EXPECT_NE(nDue, 0u) << sFrame;
    nFamiliesSeen |= nDue;
  }
};

TEST(ProfileEndToEnd, ThreeDigitExtensionsAndNamedQueuesReachTheirDesks) {
  TExchangeSim sim;
  ASSERT_TRUE(sim.Start({"--profile", "current", "--generate", "--rate", "300", "--seed", "5", "--peers", "201-204",
                         "--queue-names", "support,sales,billing", "--parks", "701-702"}));
  TRelay relay;
  const int nProxyPort = FreePort();
  relay.WriteConfig(RelayConfig(sim.Port(), nProxyPort,
                                "[AMI]\r\nPROFILE=CURRENT\r\n[KEYS]\r\nEXTENFIRST=201\r\n"
                                "[QUEUENAMES]\r\nsupport=10001\r\nSales=10002\r\n"));
  ASSERT_TRUE(relay.Start());
  ASSERT_TRUE(relay.WaitForLog("Cliente conectado e recebendo eventos do servidor AMI (")) << relay.LogText();

  TDesk a{{10001}, {201, 202}, {701}}, b{{10002}, {203}, {}};
  for (TDesk* d : {&a, &b}) {
    d->pClient = std::make_unique<TTcpClient>();
    ASSERT_TRUE(d->pClient->Connect(nProxyPort));
  }
  ASSERT_TRUE(Handshake(*a.pClient, "desk-a", "10001", "201,202", "701"));
  ASSERT_TRUE(Handshake(*b.pClient, "desk-b", "10002", "203", ""));

  const TProfileConfig p = SiteProfile();
  const auto fnSeen = [&](TDesk& d, uint32_t nWanted) {
    return PollUntil([&] {
      for (const std::string& sFrame : d.TakeFrames()) d.Check(sFrame, p);
      return (d.nFamiliesSeen & nWanted) == nWanted;
    });
  };
  EXPECT_TRUE(fnSeen(a, EVENT_RING_QUEUE | EVENT_RING_PEER | EVENT_RING_FEATUREPARK)) << a.nFamiliesSeen;
  EXPECT_TRUE(fnSeen(b, EVENT_RING_QUEUE | EVENT_RING_PEER)) << b.nFamiliesSeen;

  // A change command with a three-digit number: desk A now gets extension 203 too.
  ASSERT_TRUE(a.pClient->Send("ChangePeerInfo: (203:TRUE)\r\n"));
  ASSERT_TRUE(relay.WaitForLog("Changing Peer: 203 to True")) << relay.LogText();
  a.vPeers.insert(203);
  const bool b203 = PollUntil([&] {
    bool bFound = false;
    for (const std::string& sFrame : a.TakeFrames()) {
      a.Check(sFrame, p);
      bFound = bFound || ((ClassifyCurrentEvent(sFrame) & EVENT_RING_PEER) && ExtractPeerKey(sFrame, p) == 203);
    }
    return bFound;
  });
  EXPECT_TRUE(b203);

  // The queue the relay was not told about is dropped with a warning that names it.
  EXPECT_TRUE(relay.WaitForLog("Event dropped: queue \"billing\" is not listed in [QUEUENAMES] (1 so far)."))
      << relay.LogText();
  EXPECT_EQ(relay.LogText().find("MyConfigInfo.MyProfile"), std::string::npos) << "the configuration was valid";
}

}  // namespace
