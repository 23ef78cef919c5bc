// The client connection table: taking, filling, releasing and finding slots, and the three change
// operations with their entry rules; plus the two text routines the lists rely on.
#include "controller/untValidate.h"

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/untVariables.h"
#include "controller/untDeskService.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "platform/untServerSocket.h"
#include "support/RelayFixture.h"
#include "support/StubConnection.h"
#include "support/TestSupport.h"

namespace {

using testsupport::PollUntil;

// Once per process: a folder with Lib/Config.ini and Log/, the log writer, and the controller, in
// service mode (no modal notices), with a desk service attached whose listener never listens: the
// controller's table operations hand on to it, as they do in the relay. The test environment below
// takes it all down before the process ends.
std::unique_ptr<testsupport::TRelayFixture> pProcessRelay;  // test thread
std::unique_ptr<TDeskService> pProcessDesks;                // test thread

TValidate& PrepareProcess() {
  if (!pProcessRelay) {
    pProcessRelay = std::make_unique<testsupport::TRelayFixture>();
    pProcessRelay->Start({.sConfig = "[LOG]\r\nVERBOSE=3\r\n", .bService = true, .bLogWriter = true});
    pProcessDesks = std::make_unique<TDeskService>();
    MyValidate->AttachDeskService(pProcessDesks.get());
  }
  return *MyValidate;
}

TDeskService& Desks() { return *pProcessDesks; }

class TProcessRelayEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    if (MyValidate != nullptr) MyValidate->AttachDeskService(nullptr);
    pProcessDesks.reset();
    pProcessRelay.reset();
  }
};
[[maybe_unused]] ::testing::Environment* const pProcessRelayEnvironment =
    ::testing::AddGlobalTestEnvironment(new TProcessRelayEnvironment());

// A clean table per case; the log can be read back between two markers.
class ClientTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(crsGenericFifo.load(), nullptr) << "the log writer did not start";
    for (TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo) slot = TServerSocketInfo();
  }

  std::string LogText() const { return pProcessRelay->LogText(); }

  // Runs fn and returns the log lines it wrote (everything between two fresh markers), each
  // without its time stamp.
  std::vector<std::string> LinesLoggedBy(const std::function<void()>& fn) {
    const std::string sBegin = "-- marker " + std::to_string(++nMarker) + " --\r\n";
    const std::string sEnd = "-- marker " + std::to_string(++nMarker) + " --\r\n";
    WriteLog("Test.Marker", 2, 0, sBegin.substr(0, sBegin.size() - 2), false);
    fn();
    WriteLog("Test.Marker", 2, 0, sEnd.substr(0, sEnd.size() - 2), false);
    EXPECT_TRUE(PollUntil([&] { return LogText().find(sEnd) != std::string::npos; }));
    const std::string sLog = LogText();
    const size_t nFrom = sLog.find(sBegin) + sBegin.size();
    const size_t nTo = sLog.rfind("\r\n", sLog.find(sEnd)) + 2;  // the start of the end marker's line
    std::vector<std::string> vLines;
    for (size_t n = nFrom; n < nTo;) {
      const size_t nEol = sLog.find("\r\n", n);
      const std::string sLine = sLog.substr(n, nEol - n);
      vLines.push_back(sLine.substr(sLine.find("] ") + 2));
      n = nEol + 2;
    }
    return vLines;
  }

  TValidate& validate = PrepareProcess();
  static inline int nMarker = 0;  // markers stay unique across the cases of one process
};

TServerSocketInfo& Slot(int n) { return MyAppInfo.MyServerSocketInfo[n]; }

// Every flag of every family, as the list of numbers that are set.
std::vector<int> Subscribed(const TServerSocketInfo& slot) {
  std::vector<int> v;
  for (int n = 0; n < QUEUE_COUNT; ++n) if (slot.vQueueList[n]) v.push_back(QUEUE_FIRST + n);
  for (int n = 0; n < PEER_COUNT; ++n) if (slot.vPeerList[n]) v.push_back(PEER_FIRST + n);
  for (int n = 0; n < PARK_COUNT; ++n) if (slot.vFeatureParkList[n]) v.push_back(PARK_FIRST + n);
  return v;
}

TEST_F(ClientTableTest, InsertTakesTheFirstFreeSlotAndAFullTableIsNoFailure) {
  std::vector<std::string> vLogged = LinesLoggedBy([&] {
    for (int n = 0; n < MAX_CLIENT_SLOTS; ++n) ASSERT_TRUE(validate.InsertClientInfo("10.0.0.1", 1000 + n));
    EXPECT_TRUE(validate.InsertClientInfo("10.0.0.2", 5));  // the 101st
  });
  EXPECT_TRUE(vLogged.empty());
  for (int n = 0; n < MAX_CLIENT_SLOTS; ++n) {
    EXPECT_EQ(Slot(n).tMainSocketServerStateMachine, MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING);
    EXPECT_EQ(Slot(n).nRemotePort, 1000 + n);
  }
  // A slot freed in the middle is the next one taken.
  ASSERT_TRUE(validate.DeleteClientInfo("10.0.0.1", 1042));
  ASSERT_TRUE(validate.InsertClientInfo("10.0.0.3", 7));
  EXPECT_EQ(Slot(42).sRemoteAddress, "10.0.0.3");
}

// A connection that only carries its address and port, to take a slot with.
using TTableConnection = testsupport::TStubConnection;

// A connection finds its slot by the number the slot gave it; a released one finds none, even once
// its old slot is taken again, and a table cleared under it (a restart) does not fool it either.
TEST_F(ClientTableTest, ConnectionFindsItsOwnSlotAndNoneAfterRelease) {
  TTableConnection a("10.0.0.1", 1000), b("10.0.0.1", 1001), c("10.0.0.2", 1000), none("10.0.0.3", 1);
  ASSERT_TRUE(validate.InsertClientInfo("10.0.0.1", 1000, &a));
  ASSERT_TRUE(validate.InsertClientInfo("10.0.0.1", 1001, &b));
  EXPECT_EQ(Desks().SlotOf(a), 0);
  EXPECT_EQ(Desks().SlotOf(b), 1);
  EXPECT_EQ(Desks().SlotOf(none), -1);
  ASSERT_TRUE(validate.DeleteClientInfo("10.0.0.1", 1000));
  EXPECT_EQ(Desks().SlotOf(a), -1);
  ASSERT_TRUE(validate.InsertClientInfo("10.0.0.2", 1000, &c));  // takes slot 0 again
  EXPECT_EQ(Desks().SlotOf(c), 0);
  EXPECT_EQ(Desks().SlotOf(a), -1);
  EXPECT_EQ(Desks().SlotOf(b), 1);
  for (TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo) slot = TServerSocketInfo();
  EXPECT_EQ(Desks().SlotOf(b), -1);
}

TEST_F(ClientTableTest, DeleteReleasesOnlyTheFirstMatchAndIgnoresUnknownPeers) {
  validate.InsertClientInfo("10.0.0.1", 1000);
  validate.InsertClientInfo("10.0.0.1", 1000);  // the same pair twice
  validate.InsertClientInfo("10.0.0.1", 1001);
  EXPECT_TRUE(validate.DeleteClientInfo("10.0.0.1", 9999));
  EXPECT_TRUE(validate.DeleteClientInfo("10.0.0.9", 1000));
  for (int n = 0; n < 3; ++n) EXPECT_NE(Slot(n).tMainSocketServerStateMachine, MAIN_SOCKET_SERVER_STATE_MACHINE_NONE);
  EXPECT_TRUE(validate.DeleteClientInfo("10.0.0.1", 1000));
  EXPECT_EQ(Slot(0).tMainSocketServerStateMachine, MAIN_SOCKET_SERVER_STATE_MACHINE_NONE);
  EXPECT_EQ(Slot(1).sRemoteAddress, "10.0.0.1");
  EXPECT_EQ(Slot(2).nRemotePort, 1001);
}

TEST_F(ClientTableTest, ReleaseClearsEverythingUpToTheLastFlagOfEachList) {
  validate.InsertClientInfo("10.0.0.1", 1000);
  ASSERT_TRUE(validate.UpdateClientInfo(0, "App", "qmRoK8]x", "10001,11001", "20001,30001", "701,801"));
  EXPECT_EQ(Subscribed(Slot(0)), (std::vector<int>{10001, 11001, 20001, 30001, 701, 801}));
  validate.DeleteClientInfo("10.0.0.1", 1000);
  validate.InsertClientInfo("10.0.0.2", 2000);
  const TServerSocketInfo& slot = Slot(0);
  EXPECT_EQ(slot.sRemoteAddress, "10.0.0.2");
  EXPECT_EQ(slot.sAppInfo, "");
  EXPECT_EQ(slot.sToken, "");
  EXPECT_TRUE(Subscribed(slot).empty());
}

TEST_F(ClientTableTest, UpdateSetsListedFlagsLogsBadEntriesAndAddsUp) {
  validate.InsertClientInfo("10.0.0.1", 1000);
  std::vector<std::string> vLogged = LinesLoggedBy([&] {
    EXPECT_TRUE(validate.UpdateClientInfo(0, "", "", "10001, 10002 ,abc,,99999", "", ""));
  });
  EXPECT_EQ(vLogged, (std::vector<std::string>{
                         "ERROR[000] TValidate.UpdateClientInfo: Error: 'abc' is not a valid integer value during "
                         "UpdateClientInfo Process (abc)."}));
  EXPECT_EQ(Subscribed(Slot(0)), (std::vector<int>{10001, 10002}));
  // Lists only ever add; values given empty leave the stored ones alone.
  EXPECT_TRUE(validate.UpdateClientInfo(0, " Desk\r\n", "", "(10003)\r\n", "\r\n20005 )", " 705 , 706\r\n"));
  EXPECT_TRUE(validate.UpdateClientInfo(0, "\r\n", "", "", "", ""));
  EXPECT_EQ(Subscribed(Slot(0)), (std::vector<int>{10001, 10002, 10003, 20005, 705, 706}));
  EXPECT_EQ(Slot(0).sAppInfo, "Desk");
}

// The handshake hands over the value of "GetFeatureParkInfo: ()\r\n" as ")\r", uncleaned: its CR
// once logged "'' is not a valid integer value" on every handshake with an empty list.
TEST_F(ClientTableTest, EmptyListLogsNothing) {
  validate.InsertClientInfo("10.0.0.1", 1000);
  const std::vector<std::string> vLogged = LinesLoggedBy([&] {
    EXPECT_TRUE(validate.UpdateClientInfo(0, "", "", ")\r", ")\r", ")\r"));
    EXPECT_TRUE(validate.UpdateClientInfo(0, "", "", "", "", " , \t ,)\r"));
  });
  EXPECT_TRUE(vLogged.empty()) << vLogged.front();
  EXPECT_TRUE(Subscribed(Slot(0)).empty());
}

// A huge list of bad entries once wrote a line per entry and held the control thread for seconds:
// now the first three are named, escaped and cut, and the rest are counted in one line.
TEST_F(ClientTableTest, HugeListOfBadEntriesLogsThreeLinesAndACount) {
  validate.InsertClientInfo("10.0.0.1", 1000);
  std::string sList = "10001,a\x1b[2Jb\tc,";
  sList += std::string(100 * 1024, '7') + "x,";
  size_t nBad = 2;
  for (; sList.size() < 1024 * 1024; ++nBad) sList += "abc,";
  sList += "10002";
  const std::string sSrc = "ERROR[000] TValidate.UpdateClientInfo: Error: ";
  const std::string sLong = std::string(64, '7') + "... (" + std::to_string(100 * 1024 + 1) + " bytes)";
  std::vector<std::string> vLogged =
      LinesLoggedBy([&] { EXPECT_TRUE(validate.UpdateClientInfo(0, "", "", "", "", sList)); });
  EXPECT_EQ(vLogged, (std::vector<std::string>{
                         sSrc + "'a\\x1b[2Jb\\tc' is not a valid integer value during UpdateClientInfo Process "
                                "(a\\x1b[2Jb\\tc).",
                         sSrc + "'" + sLong + "' is not a valid integer value during UpdateClientInfo Process (" +
                             sLong + ").",
                         sSrc + "'abc' is not a valid integer value during UpdateClientInfo Process (abc).",
                         sSrc + std::to_string(nBad - 3) +
                             " more invalid entries of this list left out of the log during UpdateClientInfo Process."}));
  // The change commands count theirs per list the same way.
  std::string sChanges;
  while (sChanges.size() < 1024 * 1024) sChanges += "1000A:TRUE,";
  vLogged = LinesLoggedBy([&] { EXPECT_TRUE(validate.ChangeQueueClientInfo(0, sChanges)); });
  ASSERT_EQ(vLogged.size(), 4u);
  EXPECT_NE(vLogged[3].find(std::to_string(sChanges.size() / 11 - 3) + " more invalid entries of this list left out"),
            std::string::npos)
      << vLogged[3];
}

struct ChangeCase {
  const char* sName;
  bool (TValidate::*fnChange)(int32_t, const std::string&);
  std::string sList;
  std::vector<int> vExpected;         // numbers subscribed afterwards (10002 and 20002 start set)
  std::vector<std::string> vLogged;   // lines logged, without the time stamp
};

void PrintTo(const ChangeCase& c, std::ostream* pOut) { *pOut << c.sName; }

class ChangeTest : public ClientTableTest, public ::testing::WithParamInterface<ChangeCase> {};

const std::string QUEUE_SRC = "VERBOSE[003] TValidate.ChangeQueueClientInfo: ";

TEST_P(ChangeTest, AppliesOnlyWellFormedEntries) {
  const ChangeCase& c = GetParam();
  validate.InsertClientInfo("10.0.0.1", 1000);
  validate.UpdateClientInfo(0, "", "", "10002", "20002", "");
  bool bResult = false;
  const auto fnChange = c.fnChange;
  TValidate* pValidate = &validate;
  const std::vector<std::string> vLogged = LinesLoggedBy([&] { bResult = (pValidate->*fnChange)(0, c.sList); });
  EXPECT_TRUE(bResult);
  EXPECT_EQ(Subscribed(Slot(0)), c.vExpected);
  EXPECT_EQ(vLogged, c.vLogged);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ChangeTest,
    ::testing::Values(
        ChangeCase{"OnAndOff", &TValidate::ChangeQueueClientInfo, "10001:TRUE,10002:FALSE", {10001, 20002},
                   {QUEUE_SRC + "Changing Queue: 10001 to True", QUEUE_SRC + "Changing Queue: 10002 to False"}},
        // 7 and 9 characters: not one of the two lengths.
        ChangeCase{"ShortYes", &TValidate::ChangeQueueClientInfo, "10001:Y,10001:1,10001:YES", {10002, 20002}, {}},
        // The blank after the comma makes the second entry 12 characters long.
        ChangeCase{"BlankMakesTwelve", &TValidate::ChangeQueueClientInfo, "10001:TRUE, 10002:FALSE", {10001, 10002, 20002},
                   {QUEUE_SRC + "Changing Queue: 10001 to True"}},
        ChangeCase{"BlankMakesEleven", &TValidate::ChangeQueueClientInfo, "10001:TRUE, 10003:TRUE",
                   {10001, 10002, 10003, 20002},
                   {QUEUE_SRC + "Changing Queue: 10001 to True", QUEUE_SRC + "Changing Queue: 10003 to True"}},
        ChangeCase{"OutOfRangeSkipped", &TValidate::ChangeQueueClientInfo, "99999:TRUE,11001:true", {10002, 11001, 20002},
                   {QUEUE_SRC + "Changing Queue: 11001 to True"}},
        ChangeCase{"BadNumberLogged", &TValidate::ChangeQueueClientInfo, "1000A:TRUE,\r\n",
                   {10002, 20002},
                   {"ERROR[000] TValidate.ChangeQueueClientInfo: Error: '1000A' is not a valid integer value during "
                    "ChangeQueueClientInfo Process (1000A:TRUE)."}},
        ChangeCase{"ParenthesesDropped", &TValidate::ChangeFeatureParkClientInfo, " (701:TRUE)\r\n", {10002, 20002, 701},
                   {"VERBOSE[003] TValidate.ChangeFeatureParkClientInfo: Changing FeaturePark: 701 to True"}},
        ChangeCase{"ThreePartsSkipped", &TValidate::ChangePeerClientInfo, "20001:TR:X,20002:FALSE", {10002},
                   {"VERBOSE[003] TValidate.ChangePeerClientInfo: Changing Peer: 20002 to False"}},
        ChangeCase{"EmptyList", &TValidate::ChangePeerClientInfo, " \r\n", {10002, 20002}, {}}),
    [](const auto& info) { return std::string(info.param.sName); });

// A site whose queues start at 5001 and whose extensions have three to five digits from 201: the
// handshake lists and the change commands take that plan's numbers, of every width it has.
TEST_F(ClientTableTest, ListsAndChangeCommandsUseTheRangesInForce) {
  const TProfileConfig tSaved = MyConfigInfo.MyProfile;
  MyConfigInfo.MyProfile.tProfile = AMI_PROFILE_CURRENT;
  MyConfigInfo.MyProfile.nQueueFirst = 5001;
  MyConfigInfo.MyProfile.nPeerFirst = 201;
  const auto fnSubscribed = [](const TServerSocketInfo& slot) {
    std::vector<int> v;
    for (int n = 0; n < QUEUE_COUNT; ++n) if (slot.vQueueList[n]) v.push_back(5001 + n);
    for (int n = 0; n < PEER_COUNT; ++n) if (slot.vPeerList[n]) v.push_back(201 + n);
    return v;
  };
  validate.InsertClientInfo("10.0.0.1", 1000);
  EXPECT_TRUE(validate.UpdateClientInfo(0, "", "", "5000,5001,6001,6002,10001", "200,201,10201,10202,20001", ""));
  EXPECT_EQ(fnSubscribed(Slot(0)), (std::vector<int>{5001, 6001, 201, 10201}));
  const std::string sSource = "VERBOSE[003] TValidate.ChangePeerClientInfo: Changing Peer: ";
  const std::vector<std::string> vLogged = LinesLoggedBy([&] {
    EXPECT_TRUE(validate.ChangePeerClientInfo(0, "201:FALSE,202:TRUE,1000:TRUE,10201:FALSE,203:Y,20001:TRUE"));
  });
  EXPECT_EQ(vLogged, (std::vector<std::string>{sSource + "201 to False", sSource + "202 to True",
                                               sSource + "1000 to True", sSource + "10201 to False"}));
  EXPECT_EQ(fnSubscribed(Slot(0)), (std::vector<int>{5001, 6001, 202, 1000}));
  EXPECT_TRUE(validate.ChangeQueueClientInfo(0, "5001:FALSE,5002:TRUE"));
  EXPECT_EQ(fnSubscribed(Slot(0)), (std::vector<int>{5002, 6001, 202, 1000}));
  MyConfigInfo.MyProfile = tSaved;
}

TEST_F(ClientTableTest, SlotIndexOutsideTheTableFails) {
  for (int32_t nSlot : {-1, MAX_CLIENT_SLOTS}) {
    EXPECT_FALSE(validate.UpdateClientInfo(nSlot, "App", "", "10001", "", "")) << nSlot;
    EXPECT_FALSE(validate.ChangeQueueClientInfo(nSlot, "10001:TRUE")) << nSlot;
    EXPECT_FALSE(validate.ChangePeerClientInfo(nSlot, "20001:TRUE")) << nSlot;
    EXPECT_FALSE(validate.ChangeFeatureParkClientInfo(nSlot, "701:TRUE")) << nSlot;
  }
}

TEST(TextRoutines, IsTrueText) {
  struct Case { const char* sText; bool bExpected; };
  const Case vCases[] = {{" sim ", true}, {"Y", true}, {"yes", true}, {"True", true}, {"1", true}, {"s", true},
                         {"\r\nTRUE\r\n", true}, {"yes please", false}, {"", false}, {"0", false}, {"no", false},
                         {"FALSE", false}, {"si m", false}};
  for (const Case& c : vCases) EXPECT_EQ(IsTrueText(c.sText), c.bExpected) << '"' << c.sText << '"';
}

TEST(TextRoutines, SplitDelimitedStrict) {
  struct Case { std::string_view sText; char cDelimiter; std::vector<std::string> vExpected; };
  const Case vCases[] = {
      {"", ',', {}},
      {"a", ',', {"a"}},
      {" a , b", ',', {" a ", " b"}},                 // blanks stay inside entries
      {"10001:TRUE,", ',', {"10001:TRUE", ""}},       // a trailing delimiter gives an empty last entry
      {",,", ',', {"", "", ""}},
      {"\"10001,10002\",10003", ',', {"10001,10002", "10003"}},  // a quoted entry keeps its commas
      {"\"a\"\"b\"", ',', {"a\"b"}},
      {"20001:TR:X", ':', {"20001", "TR", "X"}},
      // The quoted text alone is the entry: what follows the closing quote is dropped.
      {"\"701\"x,702", ',', {"701", "702"}},
      {"\"701\" ,702", ',', {"701", "702"}},
      {"\"701\"x", ',', {"701"}},
      {"\"701\"x,", ',', {"701", ""}},
      {"701,\"702", ',', {"701", "702"}},  // an open quote runs to the end
      {"\"\",702", ',', {"", "702"}},
      {"70\"1\",702", ',', {"70\"1\"", "702"}},  // a quote inside an entry is plain text
      // A NUL ends the list.
      {std::string_view("701\0,702", 8), ',', {"701"}},
      {std::string_view("701,\0" "702", 8), ',', {"701", ""}},
      {std::string_view("\0" "701", 4), ',', {}},
      {std::string_view("\"7\0" "01\",702", 10), ',', {"7"}},
  };
  for (const Case& c : vCases) {
    std::vector<std::string> vOut{"left over"};
    SplitDelimited(c.cDelimiter, c.sText, true, vOut);
    EXPECT_EQ(vOut, c.vExpected) << '"' << std::string(c.sText) << '"';
  }
}

TEST(TextRoutines, EscapeControlChars) {
  struct Case { std::string_view sText; size_t nMax; std::string sExpected; size_t nTaken; };
  const Case vCases[] = {
      {"Hi, lets connect...", std::string::npos, "Hi, lets connect...", 19},
      {"a\r\nb\tc", std::string::npos, "a\\r\\nb\\tc", 6},
      {std::string_view("\x1b[2J\0\x7f", 6), std::string::npos, "\\x1b[2J\\x00\\x7f", 6},
      {"C:\\x1b", std::string::npos, "C:\\\\x1b", 6},  // a backslash cannot pass for an escape
      // Windows-1252 letters stay; its five undefined bytes would be C1 controls in UTF-8.
      {"\x80\xe9\x81\x8d\x8f\x90\x9d\x9f", std::string::npos, "\x80\xe9\\x81\\x8d\\x8f\\x90\\x9d\x9f", 8},
      // Cut at the bound, never inside an escape.
      {"abcdef", 4, "abcd", 4},
      {"ab\ncd", 3, "ab", 2},
      {"ab\ncd", 4, "ab\\n", 3},
      {"", 0, "", 0},
  };
  for (const Case& c : vCases) {
    size_t nTaken = 99;
    EXPECT_EQ(EscapeControlChars(c.sText, c.nMax, &nTaken), c.sExpected) << '"' << std::string(c.sText) << '"';
    EXPECT_EQ(nTaken, c.nTaken) << '"' << std::string(c.sText) << '"';
  }
}

}  // namespace
