// Audit capture with the control loop on its own thread and the real log writer: the minutes
// field as the operator leaves it, the tick on which a capture ends, the ten files (names, order,
// UTF-8 content, the replace rule, a failure part-way), and lstMainLog saved while another thread
// keeps logging into it (run this one under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/untMessage.h"
#include "base/untVariables.h"
#include "controller/untValidate.h"
#include "hosting/untTelvane.h"
#include "logging/untLogger.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

// Nothing starts by itself: a failing exchange connection would end a capture when it stops.
const char* const CONFIG = "[LOG]\r\nVERBOSE=3\r\n"
                           "[GENERAL]\r\nAUTOSTART=0\r\n"
                           "[AMI]\r\nAUTOSTART=0\r\nSERVERIP=127.0.0.1\r\n"
                           "[PROXY]\r\nAUTOSTART=0\r\n";

namespace fs = std::filesystem;
using testsupport::ReadFile;

const char* const PREFIXES[] = {"AUDIT_", "MAINLOG_", "READRECEIVED_", "READPROCESSED_", "GLOBALQUEUE_",
                                "SPECIFICQUEUE_", "GLOBALPEER_", "SPECIFICPEER_", "GLOBALFEATUREPARK_",
                                "SPECIFICFEATUREPARK_"};

class AuditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(relay.Start({.sConfig = CONFIG, .bService = false, .bLogWriter = true}));
    relay.StartControlThread();
    relay.CreateManager(true, [this](TfrmTelvane& tManager) { form = &tManager; });
  }
  void TearDown() override { relay.Stop(); }
  void OnControl(const std::function<void()>& fn) { ASSERT_TRUE(relay.OnControl(fn)); }

  // The operator leaves sText in the minutes field and ticks (or unticks) the box.
  void ClickAudit(const std::string& sText) {
    OnControl([&] {
      TDisplayModel& d = form->MyDisplay;
      if (!sText.empty()) d.SetText(CTL_TXT_AUDIT_TIME, sText);
      d.SetChecked(CTL_CHK_MAIN_AUDIT, !d.vControls[CTL_CHK_MAIN_AUDIT].bChecked);
      form->chkMainAuditClick();
    });
  }
  TControlState Control(TControlId t) {
    TControlState c;
    OnControl([&] { c = form->MyDisplay.vControls[t]; });
    return c;
  }
  std::string AuditPath(const std::string& sPrefix) const {
    return relay.Dir() + "/Log/" + sPrefix + testsupport::Today() + ".audit";
  }

  testsupport::TRelayFixture relay;
  TfrmTelvane* form = nullptr;  // the fixture's manager object; control thread only
};

TEST_F(AuditTest, MinutesFieldShowsTheMinutesUsed) {
  struct Case {
    const char* sTyped;
    const char* sShown;
    int32_t nSeconds;
  };
  const Case CASES[] = {{"abc", "1", 60}, {"0", "1", 60}, {"-4", "1", 60}, {"7", "7", 420},
                        {"99999", "35791", 35791 * 60}};
  for (const Case& c : CASES) {
    ClickAudit(c.sTyped);
    EXPECT_TRUE(MyAuditEvents.bEnabled) << c.sTyped;
    EXPECT_EQ(Control(CTL_TXT_AUDIT_TIME).sText, c.sShown) << c.sTyped;
    EXPECT_FALSE(Control(CTL_TXT_AUDIT_TIME).bEnabled) << c.sTyped;
    EXPECT_EQ(MyAuditEvents.nDurationSeconds, c.nSeconds) << c.sTyped;
    ClickAudit("");  // unticking ends the capture at once
    EXPECT_FALSE(MyAuditEvents.bEnabled) << c.sTyped;
    EXPECT_TRUE(Control(CTL_TXT_AUDIT_TIME).bEnabled) << c.sTyped;
    EXPECT_FALSE(Control(CTL_CHK_MAIN_AUDIT).bChecked) << c.sTyped;
  }
}

TEST_F(AuditTest, CaptureOfMMinutesEndsOnTick12MPlus1) {
  for (int32_t nMinutes : {1, 2}) {
    ClickAudit(std::to_string(nMinutes));
    for (int32_t nTick = 1; nTick <= 12 * nMinutes; ++nTick) {
      OnControl([&] { form->tmrMainTimerAudit(); });
      ASSERT_TRUE(MyAuditEvents.bEnabled) << nMinutes << " min, tick " << nTick;
    }
    OnControl([&] { form->tmrMainTimerAudit(); });
    EXPECT_FALSE(MyAuditEvents.bEnabled) << nMinutes << " min";
    EXPECT_EQ(MyMainTimerControl.nAuditTicks, 0);
    EXPECT_FALSE(Control(CTL_CHK_MAIN_AUDIT).bChecked);
    for (const char* sPrefix : PREFIXES) EXPECT_TRUE(fs::exists(AuditPath(sPrefix))) << sPrefix;
    if (nMinutes == 1) {
      // The first capture's own notices, in order.
      EXPECT_EQ(ReadFile(AuditPath("AUDIT_")),
                "Iniciando processo de auditoria...\r\nTimeout no processo de auditoria (Min.): 1\r\n"
                "Finalizando processo de auditoria!\r\n");
    }
  }
  // Idle ticks keep the counter at 0.
  OnControl([&] { form->tmrMainTimerAudit(); });
  EXPECT_EQ(MyMainTimerControl.nAuditTicks, 0);
}

TEST_F(AuditTest, TenFilesInOrderUtf8AndReplacedByTheNextCapture) {
  ClickAudit("5");
  OnControl([] {
    MyAppInfo.bWriteGlobalQueueLog = false;  // a switched-off pane still feeds the capture
    MyValidate->PrintStageLog(PANE_GLOBAL_QUEUE, "Event: Join\r\nQueue: 10001\r\n\r\n");
    MyValidate->PrintStageKeyLog(PANE_SPECIFIC_PEER, 20001, "Event: Hangup\r\n\r\n");
    MyValidate->PrintGeneralLogReceived("Conex\xE3o");  // Windows-1252
  });
  ClickAudit("");
  EXPECT_EQ(ReadFile(AuditPath("GLOBALQUEUE_")), "Event: Join\r\nQueue: 10001\r\n\r\n\r\n");
  EXPECT_EQ(ReadFile(AuditPath("SPECIFICPEER_")), " --- 20001 --- \r\nEvent: Hangup\r\n\r\n --- 20001 --- \r\n\r\n");
  EXPECT_EQ(ReadFile(AuditPath("READRECEIVED_")), "Conex\xC3\xA3o\r\n");
  EXPECT_EQ(ReadFile(AuditPath("MAINLOG_")),
            "Iniciando processo de auditoria...\r\nFinalizando processo de auditoria!\r\n");
  EXPECT_EQ(ReadFile(AuditPath("GLOBALPEER_")), "");

  // The second capture of the day replaces every file with everything captured since start-up.
  ClickAudit("5");
  OnControl([] { MyValidate->PrintStageLog(PANE_GLOBAL_QUEUE, "Event: Leave\r\n"); });
  ClickAudit("");
  EXPECT_EQ(ReadFile(AuditPath("GLOBALQUEUE_")), "Event: Join\r\nQueue: 10001\r\n\r\n\r\nEvent: Leave\r\n\r\n");
  EXPECT_EQ(ReadFile(AuditPath("AUDIT_")),
            "Iniciando processo de auditoria...\r\nFinalizando processo de auditoria!\r\n"
            "Iniciando processo de auditoria...\r\nFinalizando processo de auditoria!\r\n");
  for (const char* sPrefix : PREFIXES) EXPECT_FALSE(fs::exists(AuditPath(sPrefix) + ".partial")) << sPrefix;

  // A file that cannot be replaced (a folder holds its name) ends the saving there: the files
  // before it are written, those after it are not, and the capture has ended all the same.
  for (const char* sPrefix : PREFIXES) fs::remove(AuditPath(sPrefix));
  fs::create_directories(AuditPath("GLOBALQUEUE_"));
  ClickAudit("5");
  ClickAudit("");
  EXPECT_FALSE(MyAuditEvents.bEnabled);
  for (size_t n = 0; n < std::size(PREFIXES); ++n) {
    const bool bBefore = n < 4;
    if (n != 4) {
      EXPECT_EQ(fs::is_regular_file(AuditPath(PREFIXES[n])), bBefore) << PREFIXES[n];
    }
  }
  bool bBusy = true;
  OnControl([&] { bBusy = form->MyDisplay.bBusy; });
  EXPECT_FALSE(bBusy);
  EXPECT_TRUE(testsupport::PollUntil([&] {
    return ReadFile(relay.Dir() + "/Log/" + LogFileName()).find("during AuditStop Process.") != std::string::npos;
  }));
}

TEST_F(AuditTest, MainLogSavedWhileAnotherThreadLogs) {
  // The producer appends the way WriteLog does on every logging thread, and nothing else ties it
  // to the control thread: only the list's own lock orders its appends against the saving.
  std::atomic<bool> bStop{false};
  std::atomic<int> nLogged{0};
  TAuditList* lstMainLog = MyAuditEvents.lstMainLog.load();
  ClickAudit("5");
  std::thread tProducer([&] {
    for (int n = 0; !bStop && n < 200000; ++n) {
      lstMainLog->Add("entry " + std::to_string(n));
      nLogged = n + 1;
    }
  });
  // Save several times while the producer is appending.
  for (int nRound = 0; nRound < 5; ++nRound) {
    const int nAt = nLogged;
    ASSERT_TRUE(testsupport::PollUntil([&] { return nLogged > nAt + 20 || nLogged == 200000; }));
    ClickAudit("");
    ClickAudit("5");
  }
  bStop = true;
  tProducer.join();
  ClickAudit("");
  // Every line of the saved list is whole, and the producer's entries keep their order.
  const std::string sFile = ReadFile(AuditPath("MAINLOG_"));
  ASSERT_FALSE(sFile.empty());
  int nLast = -1;
  size_t nEntries = 0;
  for (size_t nStart = 0; nStart < sFile.size();) {
    const size_t nEnd = sFile.find("\r\n", nStart);
    ASSERT_NE(nEnd, std::string::npos) << "a line without its CR LF";
    const std::string sLine = sFile.substr(nStart, nEnd - nStart);
    nStart = nEnd + 2;
    if (sLine == Msg(15) || sLine == Msg(16)) continue;
    ASSERT_EQ(sLine.rfind("entry ", 0), 0u) << sLine;
    const int n = std::stoi(sLine.substr(6));
    EXPECT_GT(n, nLast);
    nLast = n;
    ++nEntries;
  }
  EXPECT_GT(nEntries, 0u);
}

}  // namespace
