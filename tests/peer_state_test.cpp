// Extension state derivation: value extraction, value-to-state mapping, the forwarding decision
// over sequences of exchange events, the range guards and the reset racing the stage's updates.
//
// The table lives in the process-wide MyAppInfo; the fixture resets it before each case, as the
// exchange connection's start does, so cases do not depend on the order they run in.
#include "pipeline/untPeerRules.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace {

// An event block as the stage receives it: every line ended by CR LF.
std::string Msg(std::initializer_list<const char*> lstLines) {
  std::string sText;
  for (const char* sLine : lstLines) sText.append(sLine).append("\r\n");
  return sText;
}

const std::string NEWCHANNEL_DOWN = Msg({"Event: Newchannel", "Privilege: call,all", "Channel: SIP/21005-00000012",
                                        "ChannelState: 0", "ChannelStateDesc: Down", "Uniqueid: 1700000000.18"});
const std::string NEWSTATE_RINGING = Msg({"Event: Newstate", "Channel: SIP/21005-00000012", "ChannelState: 5",
                                         "ChannelStateDesc: Ringing"});
const std::string NEWSTATE_UP = Msg({"Event: Newstate", "Channel: SIP/21005-00000012", "ChannelStateDesc: Up"});
const std::string NEWSTATE_BUSY = Msg({"Event: Newstate", "Channel: SIP/21005-00000013", "ChannelStateDesc: Busy"});
// Hangup events carry the channel's last state; the event name, not that line, decides.
const std::string HANGUP = Msg({"Event: Hangup", "Channel: SIP/21005-00000012", "ChannelStateDesc: Up",
                               "Cause: 16"});
const std::string HANGUP_REQUEST = Msg({"Event: HangupRequest", "Channel: SIP/21005-00000012"});
const std::string DIAL_BEGIN = Msg({"Event: Dial", "SubEvent: Begin", "Channel: SIP/21005-00000012",
                                   "Destination: SIP/21006-00000013"});
const std::string DIAL_END = Msg({"Event: Dial", "SubEvent: End", "Channel: SIP/21005-00000012",
                                 "DialStatus: ANSWER"});
const std::string DIALBEGIN_NO_SUBEVENT = Msg({"Event: DialBegin", "Channel: SIP/21005-00000012",
                                              "DestChannel: SIP/21006-00000013"});
const std::string PEER_REGISTERED = Msg({"Event: PeerStatus", "ChannelType: SIP", "Peer: SIP/21005",
                                        "PeerStatus: Registered", "Address: 127.0.0.1:5060"});
const std::string PEER_UNREGISTERED = Msg({"Event: PeerStatus", "Peer: SIP/21005", "PeerStatus: Unregistered"});
const std::string PEER_REACHABLE = Msg({"Event: PeerStatus", "Peer: SIP/21005", "PeerStatus: Reachable",
                                       "Time: 12"});
const std::string MEMBER_PAUSED = Msg({"Event: QueueMemberPaused", "Queue: 10001", "Location: SIP/21005",
                                      "MemberName: Agent", "Paused: 1"});
const std::string NEWCHANNEL_NO_STATE = Msg({"Event: Newchannel", "Channel: SIP/21005-00000014", "Exten: 300"});
const std::string VARSET = Msg({"Event: VarSet", "Channel: SIP/21005-00000012", "Variable: X", "Value: 1"});
const std::string FOUR_DIGIT_NEWCHANNEL = Msg({"Event: Newchannel", "Channel: SIP/2100-0000001a",
                                              "ChannelStateDesc: Down"});

TClientPeerInfo Entry(int32_t nPeer) {
  TMutexLock lock(MyAppInfo.MyClientSocketInfo.crsPeerTable);
  return MyAppInfo.MyClientSocketInfo.vPeerList[nPeer - PEER_FIRST];
}

void SetEntry(int32_t nPeer, TPeerState_OPT tState, int32_t nCount) {
  TMutexLock lock(MyAppInfo.MyClientSocketInfo.crsPeerTable);
  MyAppInfo.MyClientSocketInfo.vPeerList[nPeer - PEER_FIRST] = {tState, nCount};
}

class PeerStateTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetPeerTable(); }
};

// ---- Value to state ----

TEST(ConvertPeerInfoToState, MapsWholeValuesExactlyAndCaseSensitively) {
  struct Case {
    const char* sValue;
    TPeerState_OPT tState;
  };
  const Case vCases[] = {
      {"Registered", PEER_STATE_NOTINUSE}, {"Unregistered", PEER_STATE_UNREGISTERED},
      {"Down", PEER_STATE_DOWN},           {"Ring", PEER_STATE_RING},
      {"Ringing", PEER_STATE_RINGING},     {"Up", PEER_STATE_UP},
      {"Begin", PEER_STATE_DIALING},       {"End", PEER_STATE_NOTINUSE},
      {"Event: Hangup", PEER_STATE_NOTINUSE},
      {"", PEER_STATE_RESERVED},           {"up", PEER_STATE_RESERVED},
      {"UP", PEER_STATE_RESERVED},         {"Up ", PEER_STATE_RESERVED},
      {"registered", PEER_STATE_RESERVED}, {"Reachable", PEER_STATE_RESERVED},
      {"Busy", PEER_STATE_RESERVED},       {"Hangup", PEER_STATE_RESERVED},
      {"Event: HangupRequest", PEER_STATE_RESERVED}, {"Rin", PEER_STATE_RESERVED},
  };
  for (const Case& c : vCases)
    EXPECT_EQ(ConvertPeerInfoToState(c.sValue), c.tState) << "value '" << c.sValue << "'";
}

// ---- Extraction ----

TEST(ProcessPeerEvents, FindsKindNumberAndValue) {
  struct Case {
    const char* sName;
    std::string sData;
    const char* sEventToFind;
    const char* sHowToFindPeer;
    const char* sGenericInfoToFind;
    bool bResult;
    const char* sPeerInfo;
  };
  const Case vCases[] = {
      {"channel state", NEWCHANNEL_DOWN, "Event: Newchannel", "Channel: SIP/", "ChannelStateDesc: ", true, "Down"},
      {"other kind", NEWCHANNEL_DOWN, "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", false, ""},
      {"four-digit extension",
       FOUR_DIGIT_NEWCHANNEL, "Event: Newchannel", "Channel: SIP/", "ChannelStateDesc: ", false, ""},
      {"no marker", NEWCHANNEL_DOWN, "Event: Newchannel", "Peer: SIP/", "ChannelStateDesc: ", false, ""},
      {"marker inside a longer field name",
       Msg({"Event: Newstate", "DestChannel: SIP/21006-0000001", "ChannelStateDesc: Ring"}),
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", true, "Ring"},
      {"number cut short by the text's end",
       "Event: Newstate\r\nChannelStateDesc: Up\r\nChannel: SIP/2100", "Event: Newstate", "Channel: SIP/",
       "ChannelStateDesc: ", false, ""},
      {"below the range", Msg({"Event: Newstate", "Channel: SIP/20000-1", "ChannelStateDesc: Up"}),
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", false, ""},
      {"first of the range", Msg({"Event: Newstate", "Channel: SIP/20001-1", "ChannelStateDesc: Up"}),
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", true, "Up"},
      {"last served of the range", Msg({"Event: Newstate", "Channel: SIP/30000-1", "ChannelStateDesc: Up"}),
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", true, "Up"},
      {"above the served range", Msg({"Event: Newstate", "Channel: SIP/30001-1", "ChannelStateDesc: Up"}),
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", false, ""},
      {"first marker names no extension: the next one counts",
       Msg({"Event: Newstate", "Channel: SIP/1234-1", "Channel: SIP/21005-1", "ChannelStateDesc: Up"}),
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", true, "Up"},
      {"trailing blanks trimmed", Msg({"Event: Newstate", "Channel: SIP/21005-1", "ChannelStateDesc: Up  "}),
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", true, "Up"},
      {"leading blanks and tabs trimmed",
       Msg({"Event: Newstate", "Channel: SIP/21005-1", "ChannelStateDesc: \t Up\t"}),
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", true, "Up"},
      {"lower case kept", Msg({"Event: Newstate", "Channel: SIP/21005-1", "ChannelStateDesc: up"}),
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", true, "up"},
      {"missing key", NEWCHANNEL_NO_STATE, "Event: Newchannel", "Channel: SIP/", "ChannelStateDesc: ", true, ""},
      {"no CR LF after the key", "Event: Newstate\r\nChannel: SIP/21005-1\r\nChannelStateDesc: Up",
       "Event: Newstate", "Channel: SIP/", "ChannelStateDesc: ", true, ""},
      {"no key wanted: the event name", HANGUP, "Event: Hangup", "Channel: SIP/", "", true, "Event: Hangup"},
      {"blank key counts as none", HANGUP, "Event: Hangup", "Channel: SIP/", "  ", true, "Event: Hangup"},
      {"HangupRequest counts as Hangup",
       HANGUP_REQUEST, "Event: Hangup", "Channel: SIP/", "", true, "Event: Hangup"},
      {"DialBegin without SubEvent", DIALBEGIN_NO_SUBEVENT, "Event: Dial", "Channel: SIP/", "SubEvent: ", true, ""},
      {"peer status", PEER_REGISTERED, "Event: PeerStatus", "Peer: SIP/", "PeerStatus: ", true, "Registered"},
      {"pause by location", MEMBER_PAUSED, "Event: QueueMemberPaused", "Location: SIP/", "Paused: ", true, "1"},
      {"empty text", "", "Event: Hangup", "Channel: SIP/", "", false, ""},
  };
  for (const Case& c : vCases) {
    std::string sPeerInfo = "stale";  // cleared on every path
    EXPECT_EQ(ProcessPeerEvents(c.sData, c.sEventToFind, c.sHowToFindPeer, c.sGenericInfoToFind, 21005, sPeerInfo),
              c.bResult)
        << c.sName;
    EXPECT_EQ(sPeerInfo, c.sPeerInfo) << c.sName;
  }
}

// ---- Forwarding decision over event sequences ----

struct Step {
  const std::string* sEvent;
  bool bStart;        // bGenerateEvent passed in
  bool bForward;      // bGenerateEvent after the call
  TPeerState_OPT tState;
  int32_t nCount;
};

struct Scenario {
  const char* sName;
  TPeerState_OPT tInitialState;  // entry before the first step (count 0)
  std::vector<Step> vSteps;
};

// Recognised events start from the opposite value, so a value the call failed to set shows.
TEST_F(PeerStateTest, SequencesDecideForwardingPerExtension) {
  const Scenario vScenarios[] = {
      {"one call", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&NEWSTATE_RINGING, false, true, PEER_STATE_RINGING, 1},
        {&NEWSTATE_UP, false, true, PEER_STATE_UP, 1},
        {&HANGUP, false, true, PEER_STATE_NOTINUSE, 0}}},
      {"second channel held back until one remains", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&NEWSTATE_UP, false, true, PEER_STATE_UP, 1},
        {&NEWCHANNEL_DOWN, true, false, PEER_STATE_DOWN, 2},
        {&NEWSTATE_UP, true, false, PEER_STATE_UP, 2},
        {&HANGUP, true, false, PEER_STATE_NOTINUSE, 1},
        {&HANGUP, false, true, PEER_STATE_NOTINUSE, 0},
        {&HANGUP, false, true, PEER_STATE_NOTINUSE, 0}}},
      {"status Reachable clears the count", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&NEWCHANNEL_DOWN, true, false, PEER_STATE_DOWN, 2},
        {&PEER_REACHABLE, false, true, PEER_STATE_RESERVED, 0},
        {&NEWSTATE_RINGING, false, true, PEER_STATE_RINGING, 0},
        {&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1}}},
      {"channel state Busy clears the count", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&NEWCHANNEL_DOWN, true, false, PEER_STATE_DOWN, 2},
        {&NEWSTATE_BUSY, false, true, PEER_STATE_RESERVED, 0},
        {&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1}}},
      {"Newchannel without a state line is reserved", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&NEWCHANNEL_NO_STATE, false, true, PEER_STATE_RESERVED, 0}}},
      {"Dial Begin is a call step, Dial End only moves the state", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&DIAL_BEGIN, false, true, PEER_STATE_DIALING, 1},
        {&DIAL_END, false, false, PEER_STATE_NOTINUSE, 1},
        {&DIAL_END, true, true, PEER_STATE_NOTINUSE, 1}}},
      {"Dial Begin held back with two channels", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&NEWCHANNEL_DOWN, true, false, PEER_STATE_DOWN, 2},
        {&DIAL_BEGIN, true, false, PEER_STATE_DIALING, 2}}},
      {"DialBegin without SubEvent moves to reserved, not recognised", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&NEWCHANNEL_DOWN, true, false, PEER_STATE_DOWN, 2},
        {&DIALBEGIN_NO_SUBEVENT, false, false, PEER_STATE_RESERVED, 2},
        {&DIALBEGIN_NO_SUBEVENT, true, true, PEER_STATE_RESERVED, 2}}},
      {"HangupRequest counts as a hangup", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&HANGUP_REQUEST, false, true, PEER_STATE_NOTINUSE, 0}}},
      {"Registered after a reset", PEER_STATE_UNKNOWN,
       {{&PEER_REGISTERED, false, true, PEER_STATE_NOTINUSE, 0},
        {&PEER_REGISTERED, false, true, PEER_STATE_NOTINUSE, 0}}},
      {"Registered before the first reset", PEER_STATE_UNREGISTERED,
       {{&PEER_REGISTERED, false, true, PEER_STATE_NOTINUSE, 0}}},
      {"Unregistered then Registered", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&PEER_UNREGISTERED, false, true, PEER_STATE_UNREGISTERED, 0},
        {&PEER_REGISTERED, false, true, PEER_STATE_NOTINUSE, 0}}},
      // The channel rule follows the state the entry is left in, whatever the event kind.
      {"Registered during a call counts like the entry's state", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&PEER_REGISTERED, true, false, PEER_STATE_DOWN, 2},
        {&NEWSTATE_UP, true, false, PEER_STATE_UP, 2},
        {&PEER_REGISTERED, true, false, PEER_STATE_UP, 2}}},
      {"pause from unknown, and during a call", PEER_STATE_UNKNOWN,
       {{&MEMBER_PAUSED, false, true, PEER_STATE_NOTINUSE, 0},
        {&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&NEWSTATE_UP, false, true, PEER_STATE_UP, 1},
        {&MEMBER_PAUSED, false, true, PEER_STATE_UP, 1}}},
      {"unrecognised events leave everything", PEER_STATE_UNKNOWN,
       {{&NEWCHANNEL_DOWN, false, true, PEER_STATE_DOWN, 1},
        {&VARSET, true, true, PEER_STATE_DOWN, 1},
        {&VARSET, false, false, PEER_STATE_DOWN, 1},
        {&FOUR_DIGIT_NEWCHANNEL, true, true, PEER_STATE_DOWN, 1},
        {&FOUR_DIGIT_NEWCHANNEL, false, false, PEER_STATE_DOWN, 1}}},
  };
  constexpr int32_t nPeer = 21005;
  for (const Scenario& s : vScenarios) {
    SetEntry(nPeer, s.tInitialState, 0);
    for (size_t n = 0; n < s.vSteps.size(); ++n) {
      const Step& st = s.vSteps[n];
      bool bGenerateEvent = st.bStart;
      EXPECT_TRUE(ValidatePeerEvents(*st.sEvent, nPeer, bGenerateEvent));
      const TClientPeerInfo tEntry = Entry(nPeer);
      EXPECT_EQ(bGenerateEvent, st.bForward) << s.sName << ", step " << n + 1;
      EXPECT_EQ(tEntry.tPeerState, st.tState) << s.sName << ", step " << n + 1;
      EXPECT_EQ(tEntry.nChannelCount, st.nCount) << s.sName << ", step " << n + 1;
    }
  }
}

// The stage's ring key names the entry; the number inside the text only has to be in range.
TEST_F(PeerStateTest, UpdatesTheEntryOfTheCallersKeyNotOfTheTextsNumber) {
  bool bGenerateEvent = false;
  EXPECT_TRUE(ValidatePeerEvents(NEWCHANNEL_DOWN, 20001, bGenerateEvent));
  EXPECT_TRUE(bGenerateEvent);
  EXPECT_EQ(Entry(20001).tPeerState, PEER_STATE_DOWN);
  EXPECT_EQ(Entry(20001).nChannelCount, 1);
  EXPECT_EQ(Entry(21005).tPeerState, PEER_STATE_UNKNOWN);
  EXPECT_EQ(Entry(21005).nChannelCount, 0);
}

TEST_F(PeerStateTest, KeysOutsideTheTableAndBlankTextsChangeNothing) {
  struct Case {
    const char* sName;
    std::string sText;
    int32_t nPeer;
  };
  const Case vCases[] = {
      {"20000", NEWCHANNEL_DOWN, 20000}, {"30002", NEWCHANNEL_DOWN, 30002}, {"0", NEWCHANNEL_DOWN, 0},
      {"negative", NEWCHANNEL_DOWN, -20001}, {"empty text", "", 21005}, {"blank text", " \r\n\r\n\t", 21005},
  };
  for (const Case& c : vCases) {
    for (const bool bStart : {true, false}) {
      bool bGenerateEvent = bStart;
      EXPECT_TRUE(ValidatePeerEvents(c.sText, c.nPeer, bGenerateEvent)) << c.sName;
      EXPECT_EQ(bGenerateEvent, bStart) << c.sName;
    }
  }
  for (const int32_t nPeer : {20001, 21005, 30001}) {
    EXPECT_EQ(Entry(nPeer).tPeerState, PEER_STATE_UNKNOWN) << nPeer;
    EXPECT_EQ(Entry(nPeer).nChannelCount, 0) << nPeer;
  }
}

TEST_F(PeerStateTest, FirstAndLastExtensionsAreTracked) {
  for (const int32_t nPeer : {20001, 30001}) {
    bool bGenerateEvent = true;
    EXPECT_TRUE(ValidatePeerEvents(NEWCHANNEL_DOWN, nPeer, bGenerateEvent));
    EXPECT_TRUE(ValidatePeerEvents(NEWCHANNEL_DOWN, nPeer, bGenerateEvent));
    EXPECT_FALSE(bGenerateEvent) << nPeer;
    EXPECT_EQ(Entry(nPeer).tPeerState, PEER_STATE_DOWN) << nPeer;
    EXPECT_EQ(Entry(nPeer).nChannelCount, 2) << nPeer;
  }
}

// ---- Reset ----

TEST_F(PeerStateTest, ResetPutsEveryEntryToUnknownWithNoChannels) {
  SetEntry(20001, PEER_STATE_UP, 3);
  SetEntry(25000, PEER_STATE_DOWN, 1);
  SetEntry(30001, PEER_STATE_UNREGISTERED, 7);
  ResetPeerTable();
  for (int32_t nPeer = PEER_FIRST; nPeer <= PEER_LAST; ++nPeer) {
    const TClientPeerInfo tEntry = Entry(nPeer);
    ASSERT_EQ(tEntry.tPeerState, PEER_STATE_UNKNOWN) << nPeer;
    ASSERT_EQ(tEntry.nChannelCount, 0) << nPeer;
  }
}

// The stage's update of an entry and the control thread's reset must never interleave: without
// the table's lock a reset landing inside an update can leave, say, PEER_STATE_UNKNOWN with a
// channel still counted. Under ThreadSanitizer this also shows any unguarded access.
TEST_F(PeerStateTest, ResetRacingUpdatesLeavesConsistentEntries) {
  const int32_t vPeers[] = {20001, 21005, 30001};
  constexpr int nUpdateRounds = 20000;
  constexpr int nResets = 500;
  std::latch tStart(2);

  std::thread tStage([&] {
    tStart.arrive_and_wait();
    for (int n = 0; n < nUpdateRounds; ++n) {
      bool bGenerateEvent = true;
      const int32_t nPeer = vPeers[n % 3];
      ValidatePeerEvents(n % 4 == 3 ? HANGUP : NEWCHANNEL_DOWN, nPeer, bGenerateEvent);
    }
  });
  std::thread tControl([&] {
    tStart.arrive_and_wait();
    for (int n = 0; n < nResets; ++n) ResetPeerTable();
  });
  tStage.join();
  tControl.join();

  for (const int32_t nPeer : vPeers) {
    const TClientPeerInfo tEntry = Entry(nPeer);
    EXPECT_GE(tEntry.nChannelCount, 0) << nPeer;
    if (tEntry.tPeerState == PEER_STATE_DOWN) {
      EXPECT_GE(tEntry.nChannelCount, 1) << nPeer;
    }
    if (tEntry.tPeerState == PEER_STATE_UNKNOWN) {
      EXPECT_EQ(tEntry.nChannelCount, 0) << nPeer;
    }
    EXPECT_TRUE(tEntry.tPeerState == PEER_STATE_DOWN || tEntry.tPeerState == PEER_STATE_NOTINUSE ||
                tEntry.tPeerState == PEER_STATE_UNKNOWN)
        << nPeer << " state " << int(tEntry.tPeerState);
  }
}

}  // namespace
