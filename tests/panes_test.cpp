// The pane and status bar routines without a terminal: the framing of per-key events, the 10,000
// displayed-line rule (wrapped lines count several times), "Clear All Log" sparing the parking
// panes and the bars, the status bar panels each routine may touch, switches against an audit
// capture, the check boxes and Clear buttons, the first showing of a page, and service mode.
// The manager object is created on the test thread with the control loop idle: everything here
// is control-thread work, done by the only thread there is.
#include "hosting/untDisplayModel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/untVariables.h"
#include "controller/untValidate.h"
#include "hosting/untConsoleLayout.h"
#include "hosting/untTelvane.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

// Nothing starts by itself, so no socket is opened.
const char* const CONFIG = "[LOG]\r\nVERBOSE=3\r\n"
                           "[GENERAL]\r\nAUTOSTART=0\r\n"
                           "[AMI]\r\nAUTOSTART=0\r\nSERVERIP=127.0.0.1\r\n"
                           "[PROXY]\r\nAUTOSTART=0\r\n";

std::string Lines(int32_t nCount, const std::string& sEach = "x") {
  std::string s;
  for (int32_t n = 0; n < nCount; ++n) s += sEach + "\r\n";
  return s;
}

class PanesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(relay.Start({.sConfig = CONFIG, .bService = false, .bLogWriter = false}));
    relay.CreateManager(true, [this](TfrmTelvane& tManager) { form = &tManager; });
  }
  void TearDown() override {
    MyAuditEvents.bEnabled = false;
    relay.Stop();
  }
  TDisplayModel& Display() { return form->MyDisplay; }
  std::vector<std::string> PaneLines(TPaneId t) {
    const auto& v = Display().vPanes[t].Lines();
    return {v.begin(), v.end()};
  }

  testsupport::TRelayFixture relay;  // no control thread: this thread is the only one
  TfrmTelvane* form = nullptr;       // the fixture's manager object
};

struct FramedCase {
  const char* sName;
  std::atomic<bool> TAppInfo::*bSwitch;
  TPaneId tPane;
  TAuditList* TAuditEvents::*lstAudit;
  int32_t nKey;
};

TEST_F(PanesTest, PerKeyEventsAreFramedByTheirNumber) {
  const FramedCase CASES[] = {
      {"queue", &TAppInfo::bWriteSpecificQueueLog, PANE_SPECIFIC_QUEUE, &TAuditEvents::lstSpecificQueue, 10005},
      {"peer", &TAppInfo::bWriteSpecificPeerLog, PANE_SPECIFIC_PEER, &TAuditEvents::lstSpecificPeer, 20017},
      {"parking", &TAppInfo::bWriteSpecificFeatureParkLog, PANE_SPECIFIC_FEATUREPARK,
       &TAuditEvents::lstSpecificFeaturePark, 701},
  };
  MyAuditEvents.bEnabled = true;
  for (const FramedCase& c : CASES) {
    MyAppInfo.*c.bSwitch = true;
    MyValidate->PrintStageKeyLog(c.tPane, c.nKey, "Event: Join\r\nKey: 1\r\n\r\n");
    const std::string sFrame = " --- " + std::to_string(c.nKey) + " --- ";
    const std::vector<std::string> vExpected = {sFrame, "Event: Join", "Key: 1", "", sFrame};
    EXPECT_EQ(PaneLines(c.tPane), vExpected) << c.sName;
    const std::vector<std::string> vAudit = (MyAuditEvents.*c.lstAudit)->Snapshot();
    ASSERT_EQ(vAudit.size(), 1u) << c.sName;
    EXPECT_EQ(vAudit[0], sFrame + "\r\nEvent: Join\r\nKey: 1\r\n\r\n" + sFrame + "\r\n") << c.sName;
  }
}

struct LimitCase {
  const char* sName;
  int32_t nBefore;         // single-cell lines already shown
  std::string sAppended;   // the entry that follows
  int32_t nExpected;       // displayed lines afterwards (0: emptied)
};

TEST_F(PanesTest, StagePaneEmptiesPastTenThousandDisplayedLines) {
  const std::string sWrapsThree(25, 'w');  // 3 lines at a width of 10
  const LimitCase CASES[] = {
      {"line 10000 stays", 9999, "last", 10000},
      {"line 10001 empties", 10000, "last", 0},
      {"a wrapped line counts three", 9997, sWrapsThree, 10000},
      {"a wrapped line passing the limit empties", 9998, sWrapsThree, 0},
      {"an entry of two lines counts two", 9999, "a\r\nb", 0},
  };
  MyAppInfo.bWriteGlobalQueueLog = true;
  for (const LimitCase& c : CASES) {
    Display().ClearPane(PANE_GLOBAL_QUEUE);
    Display().SetWrapWidth(PANE_GLOBAL_QUEUE, 10);
    MyValidate->PrintStageLog(PANE_GLOBAL_QUEUE, Lines(c.nBefore));
    ASSERT_EQ(Display().vPanes[PANE_GLOBAL_QUEUE].DisplayedLineCount(), c.nBefore) << c.sName;
    MyValidate->PrintStageLog(PANE_GLOBAL_QUEUE, c.sAppended);
    EXPECT_EQ(Display().vPanes[PANE_GLOBAL_QUEUE].DisplayedLineCount(), c.nExpected) << c.sName;
  }
}

TEST_F(PanesTest, LogPanesKeepTheNewestTenThousandLines) {
  // The main log has no limit of its own; it keeps the newest lines instead of growing for ever.
  for (int n = 0; n < PANE_RETAIN_LIMIT + 50; ++n) Display().AppendPane(PANE_MAIN_LOG, "line " + std::to_string(n));
  const TPane& pane = Display().vPanes[PANE_MAIN_LOG];
  EXPECT_EQ(pane.DisplayedLineCount(), PANE_RETAIN_LIMIT);
  EXPECT_EQ(pane.Lines().front(), "line 50");
  EXPECT_EQ(pane.Lines().back(), "line " + std::to_string(PANE_RETAIN_LIMIT + 49));
}

TEST_F(PanesTest, ScrolledBackViewStaysOnItsTextWhileLinesArrive) {
  TDisplayModel& d = Display();
  d.SetWrapWidth(PANE_PROXY_LOG, 4);
  d.AppendPane(PANE_PROXY_LOG, "aaaabbbb\r\ncccc\r\ndddd");  // displayed: aaaa bbbb cccc dddd
  EXPECT_EQ(d.vPanes[PANE_PROXY_LOG].View(2), (std::vector<std::string>{"cccc", "dddd"}));
  d.ScrollPane(PANE_PROXY_LOG, 1, 2);
  EXPECT_EQ(d.vPanes[PANE_PROXY_LOG].View(2), (std::vector<std::string>{"bbbb", "cccc"}));
  d.AppendPane(PANE_PROXY_LOG, "eeee");
  EXPECT_EQ(d.vPanes[PANE_PROXY_LOG].View(2), (std::vector<std::string>{"bbbb", "cccc"}));
  d.ScrollPane(PANE_PROXY_LOG, 100, 2);  // no further back than the first line
  EXPECT_EQ(d.vPanes[PANE_PROXY_LOG].View(2), (std::vector<std::string>{"aaaa", "bbbb"}));
  d.vPanes[PANE_PROXY_LOG].ScrollToBottom();
  EXPECT_EQ(d.vPanes[PANE_PROXY_LOG].View(2), (std::vector<std::string>{"dddd", "eeee"}));
}

// A low screen clips the logs: one row per line, so a view of five rows shows five entries, and
// a cut line says so in its last column.
TEST_F(PanesTest, ClippedPaneShowsOneRowPerLine) {
  TDisplayModel& d = Display();
  d.SetWrapWidth(PANE_MAIN_LOG, 4, true);
  d.AppendPane(PANE_MAIN_LOG, "aaaaaaaa\r\nbbbb\r\ncc");
  d.AppendPane(PANE_MAIN_LOG, "dddddd");
  EXPECT_EQ(d.vPanes[PANE_MAIN_LOG].DisplayedLineCount(), 4);
  EXPECT_EQ(d.vPanes[PANE_MAIN_LOG].View(5), (std::vector<std::string>{"aaa>", "bbbb", "cc", "ddd>"}));
  d.ScrollPane(PANE_MAIN_LOG, 1, 2);
  EXPECT_EQ(d.vPanes[PANE_MAIN_LOG].View(2), (std::vector<std::string>{"bbbb", "cc"}));
  d.SetWrapWidth(PANE_MAIN_LOG, 4, false);  // a taller screen wraps again
  EXPECT_EQ(d.vPanes[PANE_MAIN_LOG].DisplayedLineCount(), 6);
}

TEST_F(PanesTest, ClearAllLogSparesTheParkingPanesAndTheBars) {
  TDisplayModel& d = Display();
  for (int n = 0; n < PANE_COUNT; ++n) d.AppendPane(static_cast<TPaneId>(n), "text");
  MyValidate->PrintStatusBarGlobal(STB_GLOBAL_FEATUREPARK, 4, 2);
  MyValidate->PrintStatusBarSpecific(STB_SPECIFIC_QUEUE, 9, 8, 1, 10003);
  const auto vBarsBefore = d.vStatusBars;
  MyAuditEvents.lstGlobalQueue->Add("captured");
  form->cmdClearAllLogsClick();
  for (int n = 0; n < PANE_COUNT; ++n) {
    const bool bParking = n == PANE_GLOBAL_FEATUREPARK || n == PANE_SPECIFIC_FEATUREPARK;
    EXPECT_EQ(d.vPanes[n].DisplayedLineCount(), bParking ? 1 : 0) << PaneCaption(static_cast<TPaneId>(n));
  }
  EXPECT_EQ(d.vStatusBars, vBarsBefore);
  EXPECT_EQ(MyAuditEvents.lstGlobalQueue->Snapshot().size(), 1u);
}

struct BarCase {
  const char* sName;
  void (*fnUpdate)();
  TStatusBarId tBar;
  std::vector<std::string> vExpected;  // every panel afterwards
};

TEST_F(PanesTest, StatusRoutinesSetTheirPanelsOnly) {
  const BarCase CASES[] = {
      {"main, positions", [] { MyValidate->PrintStatusBarMain(12, 5, false, 99); }, STB_GENERIC_MSG_READ,
       {"WP: 12", "RP: 5", "Diff: 7", "Not Event: 0"}},
      {"main, only the error count", [] { MyValidate->PrintStatusBarMain(77, 66, true, 3); }, STB_GENERIC_MSG_READ,
       {"WP: 12", "RP: 5", "Diff: 7", "Not Event: 3"}},
      {"global, wrapped write position", [] { MyValidate->PrintStatusBarGlobal(STB_GLOBAL_PEER, 3, 498); },
       STB_GLOBAL_PEER, {"WP: 3", "RP: 498", "Diff: -495"}},
      {"specific, the diff as given", [] { MyValidate->PrintStatusBarSpecific(STB_SPECIFIC_PEER, 9, 2, 40, 20001); },
       STB_SPECIFIC_PEER, {"WP: 9", "RP: 2", "Diff: 40", "Peer: 20001"}},
      {"specific parking", [] { MyValidate->PrintStatusBarSpecific(STB_SPECIFIC_FEATUREPARK, 1, 1, 0, 701); },
       STB_SPECIFIC_FEATUREPARK, {"WP: 1", "RP: 1", "Diff: 0", "Parkinglot: 701"}},
      {"specific queue", [] { MyValidate->PrintStatusBarSpecific(STB_SPECIFIC_QUEUE, 5, 4, 1, 10001); },
       STB_SPECIFIC_QUEUE, {"WP: 5", "RP: 4", "Diff: 1", "Queue: 10001"}},
  };
  for (const BarCase& c : CASES) {
    c.fnUpdate();
    EXPECT_EQ(Display().vStatusBars[c.tBar], c.vExpected) << c.sName;
  }
}

TEST_F(PanesTest, SwitchGatesThePaneButNotTheCapture) {
  struct Case {
    const char* sName;
    bool bSwitch, bAudit;
    size_t nPaneLines, nCaptured;
  };
  const Case CASES[] = {
      {"off, no capture", false, false, 0, 0},
      {"off, capture", false, true, 0, 1},
      {"on, no capture", true, false, 1, 0},
      {"on, capture", true, true, 1, 1},
  };
  for (const Case& c : CASES) {
    Display().ClearPane(PANE_GENERIC_PROCESSED);
    const size_t nBefore = MyAuditEvents.lstReadProcessed->Snapshot().size();
    MyAppInfo.bWriteGeneralLogProcessed = c.bSwitch;
    MyAuditEvents.bEnabled = c.bAudit;
    MyValidate->PrintGeneralLogProcessed("Event: Hangup");
    EXPECT_EQ(Display().vPanes[PANE_GENERIC_PROCESSED].Lines().size(), c.nPaneLines) << c.sName;
    EXPECT_EQ(MyAuditEvents.lstReadProcessed->Snapshot().size() - nBefore, c.nCaptured) << c.sName;
  }
}

TEST_F(PanesTest, WithoutARegisteredConsoleNothingHappens) {
  // Service mode: the manager object exists but is not registered; nothing is shown or captured.
  relay.DestroyManager();
  form = nullptr;
  TfrmTelvane service(false);
  ASSERT_EQ(frmTelvane.load(), nullptr);
  MyAppInfo.bWriteGlobalPeerLog = true;
  MyAuditEvents.bEnabled = true;
  const uint64_t nVersion = service.MyDisplay.nVersion;
  MyValidate->PrintStageLog(PANE_GLOBAL_PEER, "Event: PeerStatus");
  MyValidate->PrintStageKeyLog(PANE_SPECIFIC_PEER, 20001, "Event: PeerStatus");
  MyValidate->PrintMainAudit("notice");
  MyValidate->PrintStatusBarMain(1, 0, false, 0);
  MyValidate->PrintStatusBarSpecific(STB_SPECIFIC_PEER, 1, 0, 1, 20001);
  MyValidate->ClearAllLogs();
  EXPECT_EQ(service.MyDisplay.nVersion, nVersion);
  EXPECT_TRUE(MyAuditEvents.lstGlobalPeer->Snapshot().empty());
  EXPECT_TRUE(MyAuditEvents.lstSpecificPeer->Snapshot().empty());
  EXPECT_TRUE(MyAuditEvents.lstAudit->Snapshot().empty());
}

TEST_F(PanesTest, CheckBoxesSetTheirSwitchAndClearEmptiesOnlyItsPane) {
  const std::atomic<bool> TAppInfo::*SWITCHES[] = {
      &TAppInfo::bWriteGeneralLogReceived, &TAppInfo::bWriteGeneralLogProcessed, &TAppInfo::bWriteGlobalQueueLog,
      &TAppInfo::bWriteSpecificQueueLog, &TAppInfo::bWriteGlobalPeerLog, &TAppInfo::bWriteSpecificPeerLog,
      &TAppInfo::bWriteGlobalFeatureParkLog, &TAppInfo::bWriteSpecificFeatureParkLog};
  for (int n = 0; n < 8; ++n) {
    const auto tCheck = static_cast<TControlId>(CTL_CHK_GENERIC_RECEIVED + n);
    for (bool bTicked : {true, false}) {
      Display().SetChecked(tCheck, bTicked);
      form->chkPaneEnabledClick(tCheck);
      for (int k = 0; k < 8; ++k)
        EXPECT_EQ((MyAppInfo.*SWITCHES[k]).load(), k == n && bTicked) << "box " << n << " switch " << k;
    }
  }
  for (int n = 0; n < PANE_COUNT; ++n) Display().AppendPane(static_cast<TPaneId>(n), "text");
  MyAuditEvents.lstSpecificPeer->Add("captured");
  form->cmdPaneClearClick(PANE_SPECIFIC_PEER);
  for (int n = 0; n < PANE_COUNT; ++n)
    EXPECT_EQ(Display().vPanes[n].DisplayedLineCount(), n == PANE_SPECIFIC_PEER ? 0 : 1) << n;
  EXPECT_EQ(MyAuditEvents.lstSpecificPeer->Snapshot().size(), 1u);
}

TEST_F(PanesTest, FirstShowingOfAPageLaysItOutOnce) {
  TDisplayModel& d = Display();
  d.nScreenCols = 120;
  form->tabShow(2);
  EXPECT_EQ(d.vPanes[PANE_GLOBAL_QUEUE].WrapWidth(), 120 - 14);
  d.nScreenCols = 200;
  form->tabShow(2);  // shown before: no new layout
  EXPECT_EQ(d.vPanes[PANE_GLOBAL_QUEUE].WrapWidth(), 120 - 14);
  form->tabShow(3);
  EXPECT_EQ(d.vPanes[PANE_GLOBAL_QUEUE].WrapWidth(), 200 - 14);
}

}  // namespace
