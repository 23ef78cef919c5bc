// The general log: WriteLog's line, filters and ring (without the writer thread, the fixture
// creates the lock itself and the test takes lines out through the writer's one wake-up, so the
// writer is as slow as the test wants), its side outputs on the control thread and in the capture
// list, the full-ring notice and the dropped-lines line, and the writer's file (batches, the
// midnight split, collapse, CR LF, UTF-8, the journal copy) and its recovery after failures.
#include "logging/untLogger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/untIniFiles.h"
#include "base/untMessage.h"
#include "base/untVariables.h"
#include "controller/untValidate.h"
#include "hosting/untTelvane.h"
#include "logging/untDisplaySink.h"
#include "logging/untLoggerThread.h"
#include "platform/untControlLoop.h"
#include "platform/untWorker.h"
#include "support/RelayFixture.h"
#include "support/TestSupport.h"

namespace {

using testsupport::TControlThread;

using namespace std::chrono_literals;
using testsupport::PollUntil;
using testsupport::ReadFile;
using testsupport::TTempDir;

const std::regex kLineFormat(R"(^\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] (ERROR|WARNING|VERBOSE)\[\d{3}\] [^:]+: )");

// Lines of a log file; an entry's own CR LF would split it, so callers log none.
std::vector<std::string> FileLines(const std::string& sText) {
  std::vector<std::string> vLines;
  size_t nStart = 0;
  for (size_t nEnd; (nEnd = sText.find("\r\n", nStart)) != std::string::npos; nStart = nEnd + 2)
    vLines.push_back(sText.substr(nStart, nEnd - nStart));
  EXPECT_EQ(nStart, sText.size()) << "the file ends with CR LF";
  return vLines;
}

std::vector<std::string> Waiting() {
  std::lock_guard<std::mutex> lock(*crsGenericFifo.load());
  std::vector<std::string> vLines;
  for (int32_t n = MyGenericFifo.nRP; n != MyGenericFifo.nWP; n = (n + 1) % GENERIC_FIFO_SLOTS)
    vLines.push_back(MyGenericFifo.vFifo[n]);
  return vLines;
}

// Must run in a process where the writer never started: under CTest every case has its own.
TEST(LogBeforeStart, CallsBeforeTheWriterStartsAreIgnored) {
  if (crsGenericFifo.load() != nullptr) GTEST_SKIP() << "the log already started in this process";
  InitializeSharedState();
  WriteLog("T.Op", 1, 0, "too early", true);
  EXPECT_EQ(MyGenericFifo.nWP, 0);
  EXPECT_TRUE(MyGenericFifo.vFifo[0].empty());
}

// The ring without its writer.
class LogRing : public ::testing::Test {
 protected:
  TTempDir dir;
  TAuditList lstCapture;

  void SetUp() override {
    MyAppInfo.sAppFilePath = dir.Path() + "/";
    MyAppInfo.bIsService = false;
    InitializeSharedState();
    if (crsGenericFifo.load() == nullptr) crsGenericFifo = new std::mutex();  // lives until process end
    MyGenericFifo = TGenericFifo();
    std::filesystem::create_directories(TValidate::GetLogDirectory());
  }
  void TearDown() override {
    MyAuditEvents.bEnabled = false;
    MyAuditEvents.lstMainLog = nullptr;
    SetNoticePresenter(nullptr);
  }
  void CaptureOn() {
    MyAuditEvents.lstMainLog = &lstCapture;
    MyAuditEvents.bEnabled = true;
  }
  // One wake-up of the writer, run here on the test thread: every waiting line goes to the file.
  void WriterWakesUp() {
    std::string sError;
    ASSERT_TRUE(tWriter.WriteWaitingLines(sError)) << sError;
  }
  std::vector<std::string> FileNow() const {
    return FileLines(ReadFile(TValidate::GetLogDirectory() + "/" + LogFileName()));
  }
  TExecLoggerGeneralThread tWriter;  // never started: the test stands in for its thread
  void InitWriter() { tWriter.sDirectoryThread = TValidate::GetLogDirectory(); }
};

TEST_F(LogRing, LineCarriesLevelWordAndNumberAndIsFilteredByLevelAndTarget) {
  struct Case {
    int nLevel, nThreshold, nTarget;
    const char* sExpected;  // after the stamp; null: nothing at all
  };
  const Case vCases[] = {
      {2, 99, 1, "VERBOSE[002] T.Op: text"},  {3, 2, 1, nullptr},
      {0, 0, 1, "ERROR[000] T.Op: text"},     {1, 1, 2, "WARNING[001] T.Op: text"},
      {1, 0, 1, nullptr},                     {3, 3, 2, "VERBOSE[003] T.Op: text"},
      {7, 99, 1, "VERBOSE[007] T.Op: text"},  {0, -1, 1, nullptr},
      {0, 99, 0, nullptr},                    {0, 99, 3, nullptr},
      {0, 99, -1, nullptr},
  };
  for (const Case& c : vCases) {
    SetUp();
    TAuditList lstCase;  // this case's capture
    MyAuditEvents.lstMainLog = &lstCase;
    MyAuditEvents.bEnabled = true;
    MyConfigInfo.nLogVerbose = c.nThreshold;
    WriteLog("T.Op", c.nTarget, c.nLevel, "text", true);
    const std::vector<std::string> vLines = Waiting();
    const std::string sCase = "level " + std::to_string(c.nLevel) + " threshold " + std::to_string(c.nThreshold) +
                              " target " + std::to_string(c.nTarget);
    if (c.sExpected == nullptr) {
      EXPECT_TRUE(vLines.empty()) << sCase;
      EXPECT_TRUE(lstCase.Snapshot().empty()) << sCase << ": a refused line is not captured either";
    } else if (vLines.size() != 1u) {
      ADD_FAILURE() << sCase << ": " << vLines.size() << " lines";
    } else {
      EXPECT_TRUE(std::regex_search(vLines[0], kLineFormat)) << vLines[0];
      EXPECT_EQ(vLines[0].substr(22), c.sExpected) << sCase;
      EXPECT_EQ(lstCase.Snapshot(), std::vector<std::string>{"text"}) << sCase;
    }
    TearDown();
  }
}

TEST_F(LogRing, StampAndFileNameUseTheLocalClock) {
  EXPECT_TRUE(std::regex_match(LogStamp(), std::regex(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] )"))) << LogStamp();
  const std::string sToday = testsupport::Today();
  const std::string sName = LogFileName();
  // Around midnight the two readings may straddle the date change.
  EXPECT_TRUE(sName == "GENERAL_" + sToday + ".log" || sName == "GENERAL_" + testsupport::Today() + ".log") << sName;
  EXPECT_STREQ(LevelWord(0), "ERROR");
  EXPECT_STREQ(LevelWord(1), "WARNING");
  EXPECT_STREQ(LevelWord(3), "VERBOSE");
  EXPECT_STREQ(LevelWord(2), "VERBOSE");
}

TEST_F(LogRing, EmptyMessageEndsWithColonBlank) {
  WriteLog("T.Op", 1, 3, "", false);
  const std::vector<std::string> vLines = Waiting();
  ASSERT_EQ(vLines.size(), 1u);
  EXPECT_TRUE(vLines[0].ends_with("] VERBOSE[003] T.Op: ")) << vLines[0];
}

TEST_F(LogRing, NothingIsAcceptedOnceTheRunFlagIsCleared) {
  CaptureOn();
  MyAppInfo.bIsRunning = false;
  WriteLog("T.Op", 1, 0, "late", true);
  EXPECT_TRUE(Waiting().empty());
  EXPECT_TRUE(lstCapture.Snapshot().empty());
}

TEST_F(LogRing, FullRingHolds499LinesAndTheFileSaysHowManyWereDroppedWhereTheyWere) {
  for (bool bService : {true, false}) {
    SCOPED_TRACE(bService ? "service mode" : "window mode");
    SetUp();
    InitWriter();
    MyAppInfo.bIsService = bService;
    TAuditList lstCase;
    MyAuditEvents.lstMainLog = &lstCase;
    MyAuditEvents.bEnabled = true;
    for (int n = 0; n < GENERIC_FIFO_SLOTS - 1; ++n) WriteLog("T.Op", 1, 3, "line " + std::to_string(n), false);
    ASSERT_EQ(Waiting().size(), 499u);
    for (int n = 0; n < 7; ++n) WriteLog("T.Op", 1, 3, "dropped", false);
    std::vector<std::string> vLines = Waiting();
    ASSERT_EQ(vLines.size(), 499u);
    EXPECT_TRUE(vLines.back().ends_with("line 498"));
    EXPECT_EQ(lstCase.Snapshot().size(), 499u) << "a dropped line has no side output";

    // One wake-up takes every waiting line; the ring accepts again, and the first line it takes
    // carries the count of the seven it refused.
    WriterWakesUp();
    EXPECT_TRUE(Waiting().empty());
    WriteLog("T.Op", 1, 3, "accepted again", false);
    WriteLog("T.Op", 1, 3, "and the next", false);
    WriterWakesUp();
    const std::vector<std::string> vFile = FileNow();
    ASSERT_EQ(vFile.size(), 499u + 3u);
    EXPECT_TRUE(vFile[0].ends_with("T.Op: line 0"));
    EXPECT_TRUE(vFile[498].ends_with("T.Op: line 498"));
    EXPECT_TRUE(std::regex_search(vFile[499], kLineFormat)) << vFile[499];
    EXPECT_TRUE(vFile[499].ends_with("WARNING[001] WriteLog: 7 log lines dropped: the log ring was full (499 lines "
                                     "waiting).")) << vFile[499];
    EXPECT_EQ(vFile[499].substr(0, 22), vFile[500].substr(0, 22)) << "the count bears the stamp of the line after it";
    EXPECT_TRUE(vFile[500].ends_with("T.Op: accepted again"));
    EXPECT_TRUE(vFile[501].ends_with("T.Op: and the next")) << "only the first accepted line carries the count";
    TearDown();
    std::filesystem::remove_all(TValidate::GetLogDirectory());
  }
}

// The listener holds its next accept while half the ring waits for a writer that is writing;
// during an outage waiting would not help, so it does not.
TEST_F(LogRing, WriterFallsBehindAtHalfTheRingUnlessTheLogCannotBeWritten) {
  struct Case {
    int nLines;
    bool bOutage, bBehind;
  };
  for (const Case& c : {Case{0, false, false}, Case{GENERIC_FIFO_SLOTS / 2 - 1, false, false},
                        Case{GENERIC_FIFO_SLOTS / 2, false, true}, Case{GENERIC_FIFO_SLOTS - 1, false, true},
                        Case{GENERIC_FIFO_SLOTS - 1, true, false}}) {
    SCOPED_TRACE(std::to_string(c.nLines) + (c.bOutage ? " lines, outage" : " lines"));
    MyGenericFifo = TGenericFifo();
    for (int n = 0; n < c.nLines; ++n) WriteLog("T.Op", 1, 3, "line", false);
    bLogOutage = c.bOutage;
    EXPECT_EQ(LogFallingBehind(), c.bBehind);
    bLogOutage = false;
  }
}

// A batch is written with one open per file, and the file is named when the line is written: a
// batch that is written across midnight goes to both days' files, each line in order.
TEST_F(LogRing, BatchWrittenAcrossMidnightIsSplitBetweenTheTwoDaysFiles) {
  InitWriter();
  int nCalls = 0;  // the writer names the file once for each line
  tWriter.fnFileName = [&nCalls] { return ++nCalls <= 2 ? "GENERAL_2020-04-23.log" : "GENERAL_2020-04-24.log"; };
  for (int n = 0; n < 5; ++n) WriteLog("T.Op", 1, 3, "line " + std::to_string(n), false);
  WriterWakesUp();
  const std::string sDir = TValidate::GetLogDirectory() + "/";
  const std::vector<std::string> vDay1 = FileLines(ReadFile(sDir + "GENERAL_2020-04-23.log"));
  const std::vector<std::string> vDay2 = FileLines(ReadFile(sDir + "GENERAL_2020-04-24.log"));
  ASSERT_EQ(vDay1.size(), 2u);
  EXPECT_TRUE(vDay1[0].ends_with("line 0"));
  EXPECT_TRUE(vDay1[1].ends_with("line 1"));
  ASSERT_EQ(vDay2.size(), 3u);
  for (int n = 0; n < 3; ++n) EXPECT_TRUE(vDay2[n].ends_with("line " + std::to_string(n + 2))) << vDay2[n];
}

// The full-ring notice reaches the operator through the control thread; a producer never waits
// for it, even while the operator has the dialog open.
TEST_F(LogRing, FullRingNoticeIsPostedAtMostOncePerSecondAndNeverHoldsUpProducers) {
  std::promise<void> gate;  // opened when the operator answers
  std::shared_future<void> fGate = gate.get_future().share();
  bool bGateOpen = false;  // test thread
  std::atomic<int> nShown{0};
  std::string sShownText;  // written by the control thread before nShown rises
  auto OpenGate = [&] {
    if (!bGateOpen) gate.set_value();
    bGateOpen = true;
  };
  TControlThread control;
  // Destroyed before the control thread is joined, so a failed assertion cannot leave it waiting.
  struct TAtExit {
    std::function<void()> fn;
    ~TAtExit() { fn(); }
  } openAtExit{OpenGate};
  SetNoticePresenter([&](int nType, const std::string&, const std::string& sText) {
    EXPECT_EQ(nType, 1);
    sShownText = sText;
    ++nShown;
    fGate.wait();  // the operator has not answered yet
    return ID_OK;
  });
  for (int n = 0; n < GENERIC_FIFO_SLOTS - 1; ++n) WriteLog("T.Op", 1, 3, "fill", false);

  // An earlier full ring in this process may hold the next notice back for up to a second.
  const auto tFirstDrop = std::chrono::steady_clock::now();
  ASSERT_TRUE(PollUntil([&] {
    WriteLog("T.Op", 1, 3, "dropped", false);
    return nShown.load() == 1;
  }));
  EXPECT_EQ(sShownText, "FIFO FULL (GENERAL) - 0");
  // The dialog is open on the control thread; producers carry on.
  for (int n = 0; n < 2000; ++n) WriteLog("T.Op", 1, 3, "dropped", false);
  const auto tLastDrop = std::chrono::steady_clock::now();
  OpenGate();
  control.Loop().Synchronize([] {});  // every notice posted so far has been shown

  const auto nSeconds = std::chrono::duration_cast<std::chrono::seconds>(tLastDrop - tFirstDrop).count();
  EXPECT_LE(nShown.load(), nSeconds + 1);
  EXPECT_EQ(Waiting().size(), 499u);
}

TEST_F(LogRing, ConsoleGetsTheWholeLineAndTheStatusBarTheBareTextOnTheControlThread) {
  std::unique_ptr<TfrmTelvane> form;  // created and destroyed on the control thread
  TControlThread control;
  TControlLoop& loop = control.Loop();
  loop.Synchronize([&form] { form = std::make_unique<TfrmTelvane>(true); });
  std::vector<std::string> vMainNow;
  // On the control thread the pane is written at once.
  loop.Synchronize([&] {
    WriteLog("T.Direct", 1, 3, "direct\tline", true);
    const auto& lines = form->MyDisplay.vPanes[PANE_MAIN_LOG].Lines();
    vMainNow.assign(lines.begin(), lines.end());
  });
  // From another thread it is posted; a hand-over queued after it sees it done.
  WriteLog("T.Worker", 2, 1, "from  a worker", true);
  WriteLog("T.Quiet", 1, 3, "no echo", false);
  std::vector<std::string> vMain, vProxy;
  std::string sStatus;
  loop.Synchronize([&] {
    const auto& main = form->MyDisplay.vPanes[PANE_MAIN_LOG].Lines();
    const auto& proxy = form->MyDisplay.vPanes[PANE_PROXY_LOG].Lines();
    vMain.assign(main.begin(), main.end());
    vProxy.assign(proxy.begin(), proxy.end());
    sStatus = form->MyDisplay.vStatusBars[STB_MAIN][1];
    form.reset();
  });

  ASSERT_EQ(vMainNow.size(), 1u);
  EXPECT_TRUE(std::regex_search(vMainNow[0], kLineFormat));
  EXPECT_TRUE(vMainNow[0].ends_with("VERBOSE[003] T.Direct: direct\tline")) << "no collapse in the pane";
  ASSERT_EQ(vMain.size(), 2u);
  EXPECT_TRUE(vMain[1].ends_with("T.Quiet: no echo"));
  ASSERT_EQ(vProxy.size(), 1u);
  EXPECT_TRUE(vProxy[0].ends_with("WARNING[001] T.Worker: from  a worker"));
  EXPECT_EQ(sStatus, "from  a worker") << "the last echo, bare";
}

// The configuration check logs before the console exists: its lines (the last 1,000 of whatever
// came before) reach the panes when the console's sink registers, in order, before later lines.
// Must run in a process where no sink registered yet: under CTest every case has its own.
TEST_F(LogRing, LinesWrittenBeforeTheConsoleReachItsPanesWhenItRegisters) {
  constexpr int nEarly = static_cast<int>(EARLY_LINES_KEPT) + 5;
  InitWriter();
  for (int n = 0; n < nEarly; ++n) {
    WriteLog("T.Early", n == nEarly - 1 ? 2 : 1, 3, "early " + std::to_string(n), false);
    WriterWakesUp();  // the ring holds 499 lines; the writer's pass keeps it from filling
  }
  std::unique_ptr<TfrmTelvane> form;  // created and destroyed on the control thread
  TControlThread control;
  control.OnControl([&form] { form = std::make_unique<TfrmTelvane>(true); });
  WriteLog("T.Late", 1, 3, "from a worker after", false);
  std::vector<std::string> vMain, vProxy;
  control.OnControl([&] {
    const auto& main = form->MyDisplay.vPanes[PANE_MAIN_LOG].Lines();
    const auto& proxy = form->MyDisplay.vPanes[PANE_PROXY_LOG].Lines();
    vMain.assign(main.begin(), main.end());
    vProxy.assign(proxy.begin(), proxy.end());
    form.reset();
  });
  ASSERT_EQ(vMain.size(), EARLY_LINES_KEPT);  // 999 kept early ones, then the late one
  EXPECT_TRUE(std::regex_search(vMain.front(), kLineFormat)) << vMain.front();
  EXPECT_TRUE(vMain.front().ends_with("VERBOSE[003] T.Early: early 5")) << vMain.front();
  EXPECT_TRUE(vMain[vMain.size() - 2].ends_with("T.Early: early " + std::to_string(nEarly - 2)));
  EXPECT_TRUE(vMain.back().ends_with("T.Late: from a worker after")) << vMain.back();
  ASSERT_EQ(vProxy.size(), 1u);
  EXPECT_TRUE(vProxy[0].ends_with("T.Early: early " + std::to_string(nEarly - 1))) << "each line in its own pane";
}

// The writer thread and its file.
class LogWriter : public ::testing::Test {
 protected:
  TTempDir dir;

  void SetUp() override {
    MyAppInfo.sAppFilePath = dir.Path() + "/";
    MyAppInfo.bIsService = false;
    InitializeSharedState();
  }
  void TearDown() override {
    MyAppInfo.bIsRunning = false;
    WakeLogWriter();
    EXPECT_TRUE(WaitForWorkers(testsupport::kDeadline));
    MyAuditEvents.bEnabled = false;
    MyAuditEvents.lstMainLog = nullptr;
  }
  std::string FilePath() const { return TValidate::GetLogDirectory() + "/" + LogFileName(); }
  // Waits until the file holds nLines lines.
  std::vector<std::string> WaitForLines(size_t nLines) {
    PollUntil([&] {
      const std::string s = ReadFile(FilePath());
      return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')) >= nLines;
    });
    return FileLines(ReadFile(FilePath()));
  }
};

TEST_F(LogWriter, FileGetsCollapsedUtf8LinesWithCrLfWhileThePaneAndCaptureKeepTheText) {
  TAuditList lstCapture;
  MyAuditEvents.lstMainLog = &lstCapture;
  MyAuditEvents.bEnabled = true;
  ASSERT_TRUE(StartLogWriter(TValidate::GetLogDirectory()));
  const std::vector<std::string> vTexts = {"a \t\t b    c\t", "", Msg(13) + "10.0.0.1:5038)", "last"};
  for (const std::string& s : vTexts) WriteLog("TValidate.Create", 1, 3, s, false);
  WriteLog("T.Op", 2, 0, "target two", false);
  const std::vector<std::string> vLines = WaitForLines(5);
  ASSERT_EQ(vLines.size(), 5u);
  for (const std::string& s : vLines) EXPECT_TRUE(std::regex_search(s, kLineFormat)) << s;
  EXPECT_TRUE(vLines[0].ends_with("] VERBOSE[003] TValidate.Create: a b c ")) << vLines[0];
  EXPECT_TRUE(vLines[1].ends_with("TValidate.Create: ")) << vLines[1];
  EXPECT_TRUE(vLines[2].ends_with("Conex\xC3\xA3o encerrada no servidor AMI (10.0.0.1:5038)")) << vLines[2];
  EXPECT_TRUE(vLines[4].ends_with("ERROR[000] T.Op: target two")) << vLines[4];
  const std::vector<std::string> vCaptured = lstCapture.Snapshot();
  ASSERT_EQ(vCaptured.size(), 5u);
  EXPECT_EQ(vCaptured[0], "a \t\t b    c\t") << "the capture keeps the text as given";
  EXPECT_EQ(vCaptured[2], Msg(13) + "10.0.0.1:5038)") << "and in the relay's code page";
}

TEST_F(LogWriter, LinesLoggedJustBeforeShutDownReachTheFile) {
  ASSERT_TRUE(StartLogWriter(TValidate::GetLogDirectory()));
  for (int n = 0; n < 200; ++n) WriteLog("T.Op", 1, 3, "line " + std::to_string(n), false);
  MyAppInfo.bIsRunning = false;
  WakeLogWriter();
  WriteLog("T.Op", 1, 3, "after the flag", false);
  ASSERT_TRUE(WaitForWorkers(testsupport::kDeadline));
  const std::vector<std::string> vLines = FileLines(ReadFile(FilePath()));
  ASSERT_EQ(vLines.size(), 200u);
  EXPECT_TRUE(vLines.back().ends_with("T.Op: line 199"));
}

TEST_F(LogWriter, ServiceModeCopiesEachLineToStderrForTheJournal) {
  for (bool bService : {true, false}) {
    SetUp();
    MyAppInfo.sAppFilePath = dir.Path() + (bService ? "/service/" : "/window/");
    MyAppInfo.bIsService = bService;
    testing::internal::CaptureStderr();  // a file, not a terminal
    ASSERT_TRUE(StartLogWriter(TValidate::GetLogDirectory()));
    WriteLog("T.Op", 1, 3, Msg(13) + ")", false);
    WriteLog("T.Op", 1, 0, Msg(2), false);  // a CR inside the text
    WaitForLines(2);
    TearDown();
    const std::string sErr = testing::internal::GetCapturedStderr();
    const std::string sUtf8 = "T.Op: Conex\xC3\xA3o encerrada no servidor AMI ()\n";
    EXPECT_EQ(sErr.find(sUtf8) != std::string::npos, bService) << "service mode " << bService << ": " << sErr;
    const std::string sSplit = "configura\xC3\xA7\xC3\xA3o.\nContate o administrador do sistema.\n";
    EXPECT_EQ(sErr.find(sSplit) != std::string::npos, bService) << sErr;
    EXPECT_EQ(sErr.find('\r'), std::string::npos) << "the journal shows text with CRs as binary data";
  }
}

// Regression: a file that could not be opened once ended the writer for good, and the relay ran on
// without a log until it was restarted.
TEST_F(LogWriter, WriterThatCannotWriteKeepsTheLinesAndTellsOfTheOutageOnceItCanAgain) {
  // The day's file name is taken by a folder: the folder is writable, the file cannot be opened.
  std::filesystem::create_directories(FilePath());
  testing::internal::CaptureStderr();
  ASSERT_TRUE(StartLogWriter(TValidate::GetLogDirectory()));
  WriteLog("T.Op", 1, 3, "kept while the log cannot be written", false);
  // The writer holds that line; the ring fills behind it and then drops.
  ASSERT_TRUE(PollUntil([] {
    std::lock_guard<std::mutex> lock(*crsGenericFifo.load());
    return MyGenericFifo.nTaken == 1;
  }));
  for (int n = 0; n < GENERIC_FIFO_SLOTS - 1 + 25; ++n) WriteLog("T.Op", 1, 3, "line " + std::to_string(n), false);
  EXPECT_EQ(LiveWorkerCount(), 1) << "the writer goes on";

  std::filesystem::remove(FilePath());
  const std::vector<std::string> vLines = WaitForLines(1 + 1 + 499);
  const std::string sErr = testing::internal::GetCapturedStderr();
  EXPECT_NE(sErr.find("the log cannot be written: cannot open " + FilePath() + ": Is a directory"), std::string::npos)
      << sErr;
  ASSERT_EQ(vLines.size(), 1u + 1u + 499u);
  const std::regex kOutage("ERROR\\[000\\] TExecLoggerGeneralThread\\.Execute: Error: the log could not be written "
                           "for \\d+ s \\(cannot open .*GENERAL_.*\\.log: Is a directory\\); 25 lines were dropped "
                           "meanwhile\\.$");
  EXPECT_TRUE(std::regex_search(vLines[0], kOutage)) << vLines[0];
  EXPECT_TRUE(vLines[1].ends_with("T.Op: kept while the log cannot be written"));
  EXPECT_TRUE(vLines[2].ends_with("T.Op: line 0"));
  EXPECT_TRUE(vLines[500].ends_with("T.Op: line 498"));
  // The drops were told by the outage line; the next accepted line carries no count of its own.
  WriteLog("T.Op", 1, 3, "after", false);
  const std::vector<std::string> vAfter = WaitForLines(502);
  ASSERT_EQ(vAfter.size(), 502u);
  EXPECT_TRUE(vAfter[501].ends_with("T.Op: after"));
}

TEST_F(LogWriter, StartFailsWhenTheLogFolderCannotBeWritten) {
  testsupport::WriteFile(dir.Path() + "/Log", "a file where the folder should be");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(StartLogWriter(TValidate::GetLogDirectory()));
  const std::string sErr = testing::internal::GetCapturedStderr();
  EXPECT_NE(sErr.find(dir.Path() + "/Log"), std::string::npos) << sErr;
  EXPECT_EQ(LiveWorkerCount(), 0);
}

TEST_F(LogWriter, StartFailsWhenTheLogFolderIsReadOnly) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  std::filesystem::create_directories(TValidate::GetLogDirectory());
  std::filesystem::permissions(TValidate::GetLogDirectory(), std::filesystem::perms::owner_read |
                                                                 std::filesystem::perms::owner_exec);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(StartLogWriter(TValidate::GetLogDirectory()));
  testing::internal::GetCapturedStderr();
}

TEST_F(LogWriter, StartCreatesMissingParentFolders) {
  MyAppInfo.sAppFilePath = dir.Path() + "/deeper/still/";
  ASSERT_TRUE(StartLogWriter(TValidate::GetLogDirectory()));
  WriteLog("T.Op", 1, 3, "x", false);
  EXPECT_EQ(WaitForLines(1).size(), 1u);
}

}  // namespace

namespace {

// A log folder as a relay leaves it after months: daily files, and names that only look alike.
class LogKeepDays : public ::testing::Test {
 protected:
  TTempDir dir;
  // Files named like the writer's but not its own, or not its at all: never removed.
  const std::vector<std::string> vForeign = {"GENERAL_2019-01-01.log.gz", "GENERAL_2019-02-30.log",
                                             "general_2019-01-01.log",    "GENERAL_2019-1-01.log",
                                             "AUDIT_2019-01-01.txt",      "notes.txt"};

  void Put(const std::string& sName) { testsupport::WriteFile(dir.Path() + "/" + sName, "x\r\n"); }
  bool Has(const std::string& sName) const { return std::filesystem::exists(dir.Path() + "/" + sName); }
};

TEST_F(LogKeepDays, OnlyDailyFilesOlderThanTheDaysKeptAreRemoved) {
  struct Case {
    int32_t nKeepDays;
    std::vector<std::string> vRemoved;  // of the dated files below, with today 2020-03-01
  };
  const std::vector<std::string> vDated = {"GENERAL_2020-03-01.log", "GENERAL_2020-02-29.log",
                                           "GENERAL_2020-01-31.log", "GENERAL_2020-01-30.log",
                                           "GENERAL_2019-12-31.log"};
  const Case vCases[] = {
      {30, {"GENERAL_2020-01-30.log", "GENERAL_2019-12-31.log"}},  // 2020 is a leap year: 01-31 is 30 days back
      {1, {"GENERAL_2020-01-31.log", "GENERAL_2020-01-30.log", "GENERAL_2019-12-31.log"}},
      {0, {}},
      {3650, {}},
  };
  for (const Case& c : vCases) {
    for (const std::string& s : vDated) Put(s);
    for (const std::string& s : vForeign) Put(s);
    std::filesystem::create_directories(dir.Path() + "/GENERAL_2000-01-01.log");  // a folder, not a file
    std::vector<std::string> vFailures;
    EXPECT_EQ(RemoveExpiredLogFiles(dir.Path(), "GENERAL_2020-03-01.log", c.nKeepDays, vFailures),
              static_cast<int32_t>(c.vRemoved.size()))
        << c.nKeepDays;
    EXPECT_TRUE(vFailures.empty()) << vFailures.front();
    for (const std::string& s : vDated) {
      const bool bRemoved = std::find(c.vRemoved.begin(), c.vRemoved.end(), s) != c.vRemoved.end();
      EXPECT_EQ(Has(s), !bRemoved) << s << " keeping " << c.nKeepDays;
    }
    for (const std::string& s : vForeign) EXPECT_TRUE(Has(s)) << s << " keeping " << c.nKeepDays;
    EXPECT_TRUE(Has("GENERAL_2000-01-01.log"));
  }
}

// The running writer applies the setting once start-up hands it over, says what it removed in the
// log, and creates its own file readable by the group only.
TEST_F(LogWriter, RemovesExpiredDailyFilesOnceTheDaysAreKnownAndWritesItsFileGroupReadable) {
  namespace fs = std::filesystem;
  const std::string sLogDir = TValidate::GetLogDirectory();
  fs::create_directories(sLogDir);
  const std::string sToday = LogFileName();
  const std::chrono::year_month_day tToday{
      std::chrono::year(std::stoi(sToday.substr(8, 4))), std::chrono::month(std::stoul(sToday.substr(13, 2))),
      std::chrono::day(std::stoul(sToday.substr(16, 2)))};
  auto fnName = [&](int nDaysBack) {
    const std::chrono::year_month_day t{std::chrono::sys_days(tToday) - std::chrono::days(nDaysBack)};
    char sName[40];
    std::snprintf(sName, sizeof sName, "GENERAL_%04d-%02u-%02u.log", static_cast<int>(t.year()),
                  static_cast<unsigned>(t.month()), static_cast<unsigned>(t.day()));
    return sLogDir + "/" + sName;
  };
  testsupport::WriteFile(fnName(30), "kept\r\n");
  testsupport::WriteFile(fnName(31), "removed\r\n");
  ASSERT_TRUE(StartLogWriter(sLogDir));
  WriteLog("T.Op", 1, 3, "before the setting", false);
  WaitForLines(1);
  EXPECT_TRUE(fs::exists(fnName(31))) << "nothing is removed before start-up has read the setting";
  SetLogKeepDays(30);
  EXPECT_TRUE(PollUntil([&] { return !fs::exists(fnName(31)); }));
  EXPECT_TRUE(fs::exists(fnName(30)));
  const std::vector<std::string> vLines = WaitForLines(2);
  EXPECT_TRUE(vLines.back().ends_with("TExecLoggerGeneralThread.Execute: 1 daily log files older than 30 days removed."))
      << vLines.back();
  EXPECT_EQ(fs::status(FilePath()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace
