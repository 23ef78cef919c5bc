// Classification profiles. First the two dialects side by side: the same call-centre steps, written
// as an older release with debug on writes them (CLASSIC) and as a current release does (CURRENT),
// must go to the same rings under the same keys and, through the extension states, give the same
// frames to the same desks. Then the CURRENT rules' own edges: fields only at line starts, the
// configured technologies, named queues and other numbering plans.
#include "pipeline/untEventProfile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pipeline/untEventFamily.h"
#include "pipeline/untEventSplitter.h"
#include "pipeline/untPeerRules.h"

namespace {

std::string Lines(std::initializer_list<std::string> lstLines) {
  std::string sText;
  for (const std::string& sLine : lstLines) sText.append(sLine).append("\r\n");
  return sText;
}

std::string Classic(const std::string& sEvent, const std::string& sFile, std::initializer_list<std::string> lstFields) {
  return Lines({"Event: " + sEvent, "Privilege: call,all", "File: " + sFile, "Line: 100", "Func: f"}) + Lines(lstFields);
}

std::string Current(const std::string& sEvent, std::initializer_list<std::string> lstFields) {
  return Lines({"Event: " + sEvent, "Privilege: call,all"}) + Lines(lstFields);
}

std::string Id(int nId) {
  char v[16];
  std::snprintf(v, sizeof v, "%08x", nId);
  return v;
}

// One step of a call, in both dialects.
struct TStep {
  std::string sClassic;
  std::string sCurrent;
};

TStep Join(int nQueue, int nId) {
  const std::string q = "Queue: " + std::to_string(nQueue);
  return {Classic("Join", "app_queue.c", {q, "Channel: SIP/trunk-" + Id(nId), "Count: 1"}),
          Current("QueueCallerJoin", {"Channel: PJSIP/trunk-" + Id(nId), "Exten: s", q, "Position: 1", "Count: 1"})};
}
TStep Leave(int nQueue, int nId) {
  const std::string q = "Queue: " + std::to_string(nQueue);
  return {Classic("Leave", "app_queue.c", {q, "Channel: SIP/trunk-" + Id(nId), "Count: 0"}),
          Current("QueueCallerLeave", {"Channel: PJSIP/trunk-" + Id(nId), q, "Count: 0"})};
}
TStep Newchannel(int nPeer, int nId) {
  const std::string p = std::to_string(nPeer) + "-" + Id(nId);
  return {Classic("Newchannel", "channel.c", {"Channel: SIP/" + p, "ChannelState: 0", "ChannelStateDesc: Down"}),
          Current("Newchannel", {"Channel: PJSIP/" + p, "ChannelState: 0", "ChannelStateDesc: Down",
                                 "Exten: " + std::to_string(nPeer)})};
}
TStep Newstate(int nPeer, int nId, const std::string& sState) {
  const std::string p = std::to_string(nPeer) + "-" + Id(nId);
  return {Classic("Newstate", "channel.c", {"Channel: SIP/" + p, "ChannelStateDesc: " + sState}),
          Current("Newstate", {"Channel: PJSIP/" + p, "ChannelStateDesc: " + sState})};
}
TStep Hangup(int nPeer, int nId) {
  const std::string p = std::to_string(nPeer) + "-" + Id(nId);
  return {Classic("Hangup", "channel.c", {"Channel: SIP/" + p, "Cause: 16"}),
          Current("Hangup", {"Channel: PJSIP/" + p, "ChannelStateDesc: Up", "Cause: 16"})};
}
TStep Dial(int nPeer, int nId, bool bBegin) {
  const std::string p = std::to_string(nPeer) + "-" + Id(nId), sFar = "trunk-" + Id(nId + 1);
  if (bBegin)
    return {Classic("Dial", "app_dial.c", {"SubEvent: Begin", "Channel: SIP/" + p, "Destination: SIP/" + sFar}),
            Current("DialBegin", {"Channel: PJSIP/" + p, "DestChannel: PJSIP/" + sFar, "DialString: trunk/555"})};
  return {Classic("Dial", "app_dial.c", {"SubEvent: End", "Channel: SIP/" + p, "DialStatus: ANSWER"}),
          Current("DialEnd", {"Channel: PJSIP/" + p, "DestChannel: PJSIP/" + sFar, "DialStatus: ANSWER"})};
}
// The status a classic peer reports, and the one a current release reports for the same change.
TStep Status(int nPeer, const std::string& sClassic, const std::string& sCurrent) {
  const std::string p = std::to_string(nPeer);
  return {Classic("PeerStatus", "chan_sip.c", {"ChannelType: SIP", "Peer: SIP/" + p, "PeerStatus: " + sClassic}),
          Current("PeerStatus", {"ChannelType: PJSIP", "Peer: PJSIP/" + p, "PeerStatus: " + sCurrent})};
}
TStep Park(const std::string& sClassicName, const std::string& sCurrentName, int nSlot, int nId) {
  const std::string s = std::to_string(nSlot);
  return {Classic(sClassicName, "features.c", {"Exten: " + s, "Channel: SIP/trunk-" + Id(nId), "From: SIP/20005-0000001b"}),
          Current(sCurrentName, {"ParkeeChannel: PJSIP/trunk-" + Id(nId), "ParkeeExten: 700", "Parkinglot: default",
                                 "ParkingSpace: " + s})};
}

TProfileConfig ClassicProfile() { return TProfileConfig(); }

TProfileConfig CurrentProfile() {
  TProfileConfig p;
  p.tProfile = AMI_PROFILE_CURRENT;
  p.lstChannelTech = {"SIP", "PJSIP"};
  return p;
}

// The keys an event gets in the rings it goes to; 0 for a ring it does not go to.
struct TFiled {
  uint32_t nRings = 0;
  int32_t nQueue = 0, nPeer = 0, nPark = 0;
  bool operator==(const TFiled&) const = default;
};

TFiled File(const std::string& sEvent, const TProfileConfig& p) {
  TFiled t;
  t.nRings = EventClassifier(p)(sEvent);
  if (t.nRings & EVENT_RING_QUEUE) t.nQueue = ExtractQueueKey(sEvent, p).value_or(-1);
  if (t.nRings & EVENT_RING_PEER) t.nPeer = ExtractPeerKey(sEvent, p).value_or(-1);
  if (t.nRings & EVENT_RING_FEATUREPARK) t.nPark = ExtractFeatureParkKey(sEvent, p).value_or(-1);
  return t;
}

std::ostream& operator<<(std::ostream& os, const TFiled& t) {
  return os << "{rings " << t.nRings << ", queue " << t.nQueue << ", peer " << t.nPeer << ", park " << t.nPark << "}";
}

TEST(DialectsSideBySide, SameStepGoesToTheSameRingsUnderTheSameKeys) {
  struct Case {
    const char* sStep;
    TStep tStep;
    TFiled tFiled;
  };
  const Case vCases[] = {
      {"caller joins", Join(10003, 0x1a), {EVENT_RING_QUEUE, 10003, 0, 0}},
      {"caller leaves", Leave(10003, 0x1a), {EVENT_RING_QUEUE, 10003, 0, 0}},
      {"agent channel", Newchannel(20005, 0x1b), {EVENT_RING_PEER, 0, 20005, 0}},
      {"ringing", Newstate(20005, 0x1b, "Ringing"), {EVENT_RING_PEER, 0, 20005, 0}},
      {"hangup", Hangup(20005, 0x1b), {EVENT_RING_PEER, 0, 20005, 0}},
      {"dial begins", Dial(20005, 0x1c, true), {EVENT_RING_PEER, 0, 20005, 0}},
      {"dial ends", Dial(20005, 0x1c, false), {EVENT_RING_PEER, 0, 20005, 0}},
      {"registers", Status(20006, "Registered", "Reachable"), {EVENT_RING_PEER, 0, 20006, 0}},
      {"drops off", Status(20006, "Unregistered", "Unreachable"), {EVENT_RING_PEER, 0, 20006, 0}},
      {"parked", Park("ParkedCall", "ParkedCall", 701, 0x1d), {EVENT_RING_FEATUREPARK, 0, 0, 701}},
      {"picked up", Park("UnParkedCall", "UnParkedCall", 702, 0x1d), {EVENT_RING_FEATUREPARK, 0, 0, 702}},
      {"timed out", Park("ParkedCallTimeOut", "ParkedCallTimeOut", 703, 0x1d), {EVENT_RING_FEATUREPARK, 0, 0, 703}},
  };
  for (const Case& c : vCases) {
    EXPECT_EQ(File(c.tStep.sClassic, ClassicProfile()), c.tFiled) << "CLASSIC, " << c.sStep;
    EXPECT_EQ(File(c.tStep.sCurrent, CurrentProfile()), c.tFiled) << "CURRENT, " << c.sStep;
    // A current release's events carry no module line: the default profile forwards none of them.
    EXPECT_EQ(ClassifyEvent(c.tStep.sCurrent), 0u) << c.sStep;
  }
}

// What the desks receive, per desk: the steps whose event reached it, and through which family.
using TDeskFrames = std::map<std::string, std::vector<std::pair<size_t, uint32_t>>>;

struct TDesk {
  std::string sName;
  std::set<int32_t> vQueues, vPeers, vParks;
};

// The stages' decisions for each step: rings, keys, the extension state check, the subscriptions.
TDeskFrames Deliver(const std::vector<TStep>& vSteps, bool bCurrent, const std::vector<TDesk>& vDesks) {
  MyConfigInfo.MyProfile = bCurrent ? CurrentProfile() : ClassicProfile();
  ResetPeerTable();
  TDeskFrames tFrames;
  for (size_t n = 0; n < vSteps.size(); ++n) {
    const std::string& sEvent = bCurrent ? vSteps[n].sCurrent : vSteps[n].sClassic;
    const TFiled t = File(sEvent, MyConfigInfo.MyProfile);
    bool bPeerForwarded = true;
    if (t.nRings & EVENT_RING_PEER) ValidatePeerEvents(sEvent, t.nPeer, bPeerForwarded);
    for (const TDesk& d : vDesks) {
      if ((t.nRings & EVENT_RING_QUEUE) && d.vQueues.count(t.nQueue)) tFrames[d.sName].push_back({n, EVENT_RING_QUEUE});
      if ((t.nRings & EVENT_RING_PEER) && bPeerForwarded && d.vPeers.count(t.nPeer))
        tFrames[d.sName].push_back({n, EVENT_RING_PEER});
      if ((t.nRings & EVENT_RING_FEATUREPARK) && d.vParks.count(t.nPark))
        tFrames[d.sName].push_back({n, EVENT_RING_FEATUREPARK});
    }
  }
  return tFrames;
}

TEST(DialectsSideBySide, SameScenarioGivesTheSameFramesToTheSameDesks) {
  // A queue call answered by 20005; a second queue call rings 20005 while it talks and is given up
  // (held back: two channels); 20006 dials out; 20006 drops off and comes back; a call is parked.
  const std::vector<TStep> vSteps = {
      Join(10003, 0x1a),          Newchannel(20005, 0x1b),       Newstate(20005, 0x1b, "Ringing"),
      Newstate(20005, 0x1b, "Up"), Leave(10003, 0x1a),           Join(10003, 0x1c),
      Newchannel(20005, 0x1d),    Newstate(20005, 0x1d, "Ringing"), Leave(10003, 0x1c),
      Hangup(20005, 0x1d),        Hangup(20005, 0x1b),           Newchannel(20006, 0x1e),
      Newstate(20006, 0x1e, "Ring"), Dial(20006, 0x1e, true),    Newstate(20006, 0x1e, "Up"),
      Dial(20006, 0x1e, false),   Hangup(20006, 0x1e),           Status(20006, "Unregistered", "Unreachable"),
      Status(20006, "Registered", "Reachable"), Park("ParkedCall", "ParkedCall", 701, 0x20),
      Park("UnParkedCall", "UnParkedCall", 701, 0x20),
  };
  const std::vector<TDesk> vDesks = {
      {"queue desk", {10003}, {}, {}},
      {"agent 20005", {}, {20005}, {}},
      {"agent 20006 and parking", {}, {20006}, {701}},
      {"elsewhere", {10004}, {20007}, {702}},
  };
  const TDeskFrames tClassic = Deliver(vSteps, false, vDesks);
  const TDeskFrames tCurrent = Deliver(vSteps, true, vDesks);
  EXPECT_EQ(tClassic, tCurrent);
  // And the scenario shows what it is meant to: of 20005's seven events, the second call's three
  // were held back.
  EXPECT_EQ(tClassic.at("agent 20005").size(), 4u);
  EXPECT_EQ(tClassic.at("agent 20006 and parking").size(), 10u);
  EXPECT_EQ(tClassic.count("elsewhere"), 0u);
}

TEST(CurrentProfile, ClassifiesByEventNameAndAQueueLineAtALineStart) {
  struct Case {
    std::string sEvent;
    uint32_t nRings;
  };
  const Case vCases[] = {
      {Current("Newchannel", {"Channel: PJSIP/201-1"}), EVENT_RING_PEER},
      {Current("QueueMemberPause", {"Queue: support", "Interface: PJSIP/201"}), EVENT_RING_QUEUE | EVENT_RING_PEER},
      {Current("QueueMemberPaused", {"Queue: 10001", "Location: SIP/201"}), EVENT_RING_QUEUE | EVENT_RING_PEER},
      {Current("AgentCalled", {"DestChannel: PJSIP/201-1", "Queue: sales", "Interface: PJSIP/201"}), EVENT_RING_QUEUE},
      {Current("QueueMemberStatus", {"Queue: sales", "Interface: PJSIP/201"}), EVENT_RING_QUEUE},
      {Current("ParkedCallGiveUp", {"ParkingSpace: 701"}), EVENT_RING_FEATUREPARK},
      {Current("ParkedCallSwap", {"ParkingSpace: 701"}), EVENT_RING_FEATUREPARK},
      {Current("DialEnd", {"Channel: PJSIP/201-1"}), EVENT_RING_PEER},
      // Names are whole: these merely begin with a listed one.
      {Current("HangupRequest", {"Channel: PJSIP/201-1"}), 0},
      {Current("NewchannelX", {"Channel: PJSIP/201-1"}), 0},
      // A field that merely ends in "Queue" is no queue line; a module line means nothing here.
      {Current("VarSet", {"Variable: LastQueue: 10001", "File: app_queue.c"}), 0},
      {Current("BridgeEnter", {"Channel: PJSIP/201-1", "BridgeUniqueid: 42"}), 0},
      {Lines({"Event:Hangup", "Channel: PJSIP/201-1"}), EVENT_RING_PEER},
  };
  for (const Case& c : vCases) EXPECT_EQ(ClassifyCurrentEvent(c.sEvent), c.nRings) << c.sEvent;
}

TEST(CurrentProfile, QueueKeyIsTheWholeValueOrANamedQueue) {
  TProfileConfig p = CurrentProfile();
  p.vQueueNames = {{"SALES", 10002}, {"SUPPORT", 10001}};
  struct Case {
    std::string sFields;
    std::optional<int32_t> nKey;
  };
  const Case vCases[] = {
      {"Queue: 10005\r\n", 10005},
      {"Queue:   10005  \r\n", 10005},
      {"Queue: 100050\r\n", 100050},  // the whole value; the range check comes later
      {"Queue: support\r\n", 10001},
      {"Queue: Sales\r\n", 10002},
      {"Queue: billing\r\n", std::nullopt},
      {"Queue: 1005x\r\n", std::nullopt},
      {"Queue: -10005\r\n", std::nullopt},
      {"Queue: 1234567890\r\n", std::nullopt},
      {"Queue: \r\n", std::nullopt},
      {"LastQueue: 10001\r\nQueue: 10006\r\n", 10006},
      {"Queue: 10006\r\nQueue: 10007\r\n", 10006},
      {"Queue: 10008", 10008},  // at the text's end
  };
  for (const Case& c : vCases) {
    const std::string sEvent = Current("QueueCallerJoin", {}) + c.sFields;
    EXPECT_EQ(ExtractQueueKey(sEvent, p), c.nKey) << c.sFields;
  }
  EXPECT_EQ(UnlistedQueueName(Current("QueueCallerJoin", {"Queue: billing"}), p), "billing");
  EXPECT_EQ(UnlistedQueueName(Current("QueueCallerJoin", {"Queue: SUPPORT"}), p), std::nullopt);
  EXPECT_EQ(UnlistedQueueName(Current("QueueCallerJoin", {"Queue: 99999"}), p), std::nullopt);
  EXPECT_EQ(UnlistedQueueName(Current("QueueCallerJoin", {"Queue: billing"}), ClassicProfile()), std::nullopt);
}

TEST(CurrentProfile, ExtensionKeyIsTheDigitsAfterAConfiguredTechnology) {
  struct Case {
    std::vector<std::string> lstTech;
    std::string sFields;
    std::optional<int32_t> nKey;
  };
  const std::vector<std::string> SIP_PJSIP = {"SIP", "PJSIP"};
  const Case vCases[] = {
      {SIP_PJSIP, "Channel: PJSIP/201-0000001a\r\n", 201},
      {SIP_PJSIP, "Channel: SIP/2001-0000001a\r\n", 2001},
      {SIP_PJSIP, "Channel: PJSIP/20005\r\n", 20005},
      {SIP_PJSIP, "Peer: PJSIP/201\r\n", 201},
      {SIP_PJSIP, "Location: SIP/205\r\n", 205},
      // "StateInterface:" and "DestChannel:" end in the words but do not start their line.
      {SIP_PJSIP, "StateInterface: PJSIP/204\r\nInterface: PJSIP/203\r\n", 203},
      {SIP_PJSIP, "DestChannel: PJSIP/202-1\r\n", std::nullopt},
      // Channel is tried before Peer, Interface and Location, whatever their order in the text.
      {SIP_PJSIP, "Interface: PJSIP/203\r\nChannel: PJSIP/201-1\r\n", 201},
      // A technology not configured is passed over; a configured one without digits is a trunk.
      {SIP_PJSIP, "Channel: Local/201@from-queue-1;1\r\nPeer: PJSIP/202\r\n", 202},
      {SIP_PJSIP, "Channel: PJSIP/trunk-0000001a\r\nPeer: PJSIP/202\r\n", std::nullopt},
      {SIP_PJSIP, "Channel: PJSIP/alice-1\r\n", std::nullopt},
      {SIP_PJSIP, "Channel: PJSIP/1234567890-1\r\n", std::nullopt},
      {SIP_PJSIP, "Channel: pjsip/201-1\r\n", std::nullopt},
      {{"SIP"}, "Channel: PJSIP/201-1\r\n", std::nullopt},
      {{"SIP"}, "Channel: PJSIP/201-1\r\nChannel: SIP/301-1\r\n", 301},
      {{"IAX2"}, "Channel: IAX2/301-1\r\n", 301},
  };
  for (const Case& c : vCases) {
    TProfileConfig p = CurrentProfile();
    p.lstChannelTech = c.lstTech;
    EXPECT_EQ(ExtractPeerKey(Current("Newchannel", {}) + c.sFields, p), c.nKey) << c.sFields;
  }
}

TEST(CurrentProfile, ParkingKeyIsTheParkingSpaceElseAnExtenLine) {
  struct Case {
    std::string sFields;
    std::optional<int32_t> nKey;
  };
  const Case vCases[] = {
      {"ParkeeExten: 700\r\nParkingSpace: 701\r\n", 701},
      {"ParkingSpace: 702\r\nExten: 703\r\n", 702},
      {"ParkeeExten: 700\r\nExten: 704\r\n", 704},
      {"ParkeeExten: 700\r\n", std::nullopt},
      {"ParkingSpace: 70a\r\n", std::nullopt},
      {"ParkingSpace: 7010\r\n", 7010},
  };
  for (const Case& c : vCases)
    EXPECT_EQ(ExtractFeatureParkKey(Current("ParkedCall", {}) + c.sFields, CurrentProfile()), c.nKey) << c.sFields;
}

TEST(CurrentProfile, ExtensionEventsReadInTheClassicWords) {
  struct Case {
    std::string sEvent;
    TPeerEventKind_OPT tKind;
    std::string sValue;
  };
  const Case vCases[] = {
      {Current("PeerStatus", {"Peer: PJSIP/201", "PeerStatus: Reachable"}), PEER_EVENT_PEERSTATUS, "Registered"},
      {Current("PeerStatus", {"Peer: PJSIP/201", "PeerStatus: Unreachable"}), PEER_EVENT_PEERSTATUS, "Unregistered"},
      {Current("PeerStatus", {"Peer: PJSIP/201", "PeerStatus: Lagged"}), PEER_EVENT_PEERSTATUS, "Lagged"},
      {Current("Newchannel", {"Channel: PJSIP/201-1", "ChannelStateDesc: Down"}), PEER_EVENT_NEWCHANNEL, "Down"},
      {Current("Newchannel", {"Channel: PJSIP/201-1"}), PEER_EVENT_NEWCHANNEL, ""},
      {Current("Newstate", {"Channel: PJSIP/201-1", "DestChannelStateDesc: Up", "ChannelStateDesc: Ringing"}),
       PEER_EVENT_NEWSTATE, "Ringing"},
      {Current("DialBegin", {"Channel: PJSIP/201-1", "DestChannel: PJSIP/202-2"}), PEER_EVENT_DIAL, "Begin"},
      {Current("DialEnd", {"Channel: PJSIP/201-1", "DialStatus: ANSWER"}), PEER_EVENT_DIAL, "End"},
      {Current("Dial", {"SubEvent: Begin", "Channel: SIP/201-1"}), PEER_EVENT_DIAL, "Begin"},
      {Current("Hangup", {"Channel: PJSIP/201-1"}), PEER_EVENT_HANGUP, "Event: Hangup"},
      {Current("QueueMemberPause", {"Queue: 10001", "Interface: PJSIP/201", "Paused: 1"}),
       PEER_EVENT_QUEUEMEMBERPAUSED, "1"},
      {Current("QueueMemberPaused", {"Queue: 10001", "Location: SIP/201", "Paused: 0"}),
       PEER_EVENT_QUEUEMEMBERPAUSED, "0"},
      {Current("HangupRequest", {"Channel: PJSIP/201-1"}), PEER_EVENT_NONE, ""},
      {Current("Hangup", {"Channel: PJSIP/trunk-1"}), PEER_EVENT_NONE, ""},
      {Current("Hangup", {"Channel: PJSIP/200-1"}), PEER_EVENT_NONE, ""},  // below the range
  };
  TProfileConfig p = CurrentProfile();
  p.nPeerFirst = 201;
  for (const Case& c : vCases) {
    const TPeerEventReading t = ReadCurrentPeerEvent(c.sEvent, p);
    EXPECT_EQ(t.tKind, c.tKind) << c.sEvent;
    EXPECT_EQ(t.sValue, c.sValue) << c.sEvent;
  }
}

// Three-digit extensions from 201: the state table's first entry is 201, and a pause or a status
// in the current words moves it as the classic ones do.
TEST(CurrentProfile, ExtensionStatesFollowTheClassicRulesOnAnotherNumberingPlan) {
  MyConfigInfo.MyProfile = CurrentProfile();
  MyConfigInfo.MyProfile.nPeerFirst = 201;
  ResetPeerTable();
  struct Step {
    std::string sEvent;
    bool bForward;
    TPeerState_OPT tState;
    int32_t nCount;
  };
  const Step vSteps[] = {
      {Current("QueueMemberPause", {"Queue: support", "Interface: PJSIP/201", "Paused: 1"}), true, PEER_STATE_NOTINUSE, 0},
      {Current("Newchannel", {"Channel: PJSIP/201-1", "ChannelStateDesc: Down"}), true, PEER_STATE_DOWN, 1},
      {Current("DialBegin", {"Channel: PJSIP/201-1", "DestChannel: PJSIP/trunk-2"}), true, PEER_STATE_DIALING, 1},
      {Current("Newchannel", {"Channel: PJSIP/201-3", "ChannelStateDesc: Down"}), false, PEER_STATE_DOWN, 2},
      {Current("Hangup", {"Channel: PJSIP/201-3"}), false, PEER_STATE_NOTINUSE, 1},
      {Current("DialEnd", {"Channel: PJSIP/201-1", "DialStatus: ANSWER"}), true, PEER_STATE_NOTINUSE, 1},
      {Current("Hangup", {"Channel: PJSIP/201-1"}), true, PEER_STATE_NOTINUSE, 0},
      {Current("PeerStatus", {"Peer: PJSIP/201", "PeerStatus: Unreachable"}), true, PEER_STATE_UNREGISTERED, 0},
      {Current("PeerStatus", {"Peer: PJSIP/201", "PeerStatus: Reachable"}), true, PEER_STATE_NOTINUSE, 0},
  };
  for (const Step& s : vSteps) {
    bool bGenerateEvent = true;
    EXPECT_TRUE(ValidatePeerEvents(s.sEvent, 201, bGenerateEvent));
    TMutexLock lock(MyAppInfo.MyClientSocketInfo.crsPeerTable);
    const TClientPeerInfo& t = MyAppInfo.MyClientSocketInfo.vPeerList[0];
    EXPECT_EQ(bGenerateEvent, s.bForward) << s.sEvent;
    EXPECT_EQ(t.tPeerState, s.tState) << s.sEvent;
    EXPECT_EQ(t.nChannelCount, s.nCount) << s.sEvent;
  }
  EXPECT_EQ(Family(EVENT_FAMILY_PEER).IndexOf(201), 0);
  EXPECT_EQ(Family(EVENT_FAMILY_PEER).IndexOf(10201), PEER_COUNT - 1);
  EXPECT_EQ(Family(EVENT_FAMILY_PEER).IndexOf(200), -1);
  EXPECT_EQ(Family(EVENT_FAMILY_PEER).IndexOf(10202), -1);
}

}  // namespace
