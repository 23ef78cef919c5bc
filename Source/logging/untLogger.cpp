// The general log: WriteLog, the producers' side of MyGenericFifo, and StartLogWriter.
//
// Threads: WriteLog runs on every thread of the relay; the writer (untLoggerThread) is the ring's
// one consumer. Both take crsGenericFifo, and nothing else is done while holding it on this side
// but storing the finished line: the stamp and the line are built before, and the side outputs
// (panes, status bar, capture list, full notice) are made after it is released.
//
// Invariants:
//   - The ring holds at most GENERIC_FIFO_SLOTS - 1 lines: it is full when nWP + 1 (wrapped)
//     equals nRP, and a line offered to a full ring is dropped with all of its side outputs. It is
//     counted in nDropped; the next line accepted takes the count along in vDroppedBefore, so the
//     file says how many lines are missing, and where, in both modes.
//   - crsGenericFifo, once created, is never destroyed, so a producer that passed the run-flag
//     check an instant before shut-down still finds it.
//   - Pane and status output is made on the control thread only: directly when WriteLog runs there,
//     otherwise posted without waiting. The full-ring notice is always posted, at most once a
//     second, so a producer is never held up by an operator's dialog. In window mode a line written
//     before the console's sink registered is kept for its pane (untDisplaySink.h) instead.
//   - lstMainLog is appended under its own lock; nMainLogCaptureUsers counts the appends in
//     flight, so the controller's destructor can free the list once none holds it.
//   - StartLogWriter refuses a log folder it cannot create a file in: a relay whose log could
//     never be written does not start (start-up reports message 8 and ends).
#include "logging/untLogger.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <limits>
#include <thread>
#include <utility>

#include "base/untIniFiles.h"
#include "base/untVariables.h"
#include "logging/untCounters.h"
#include "logging/untDisplaySink.h"
#include "logging/untLoggerThread.h"
#include "logging/untUtil.h"
#include "platform/untControlLoop.h"
#include "platform/untProcess.h"

TGenericFifo& MyGenericFifo = *new TGenericFifo();  // never freed, like the lock
std::atomic<std::mutex*> crsGenericFifo{nullptr};
std::atomic<bool> bLogOutage{false};

namespace {

constexpr int64_t NO_NOTICE_YET = std::numeric_limits<int64_t>::min();
std::atomic<int64_t> nLastFullNoticeMs{NO_NOTICE_YET};  // steady clock of the last full notice
std::atomic<int> nMainLogCaptureUsers{0};                // WriteLog calls holding lstMainLog
// Wakes the napping writer; waited on with crsGenericFifo. Never freed, like the lock.
std::condition_variable& cvLinesPileUp = *new std::condition_variable();
constexpr int32_t WAKE_WRITER_AT = GENERIC_FIFO_SLOTS / 4;  // lines waiting that end the writer's nap
// The writer's nap while the ring is empty: the first line wakes it at once, and so does the end of
// the run (WakeLogWriter), so this only bounds how late it notices the next day's file and the
// files to remove: an idle relay's writer wakes once a second.
constexpr std::chrono::milliseconds IDLE_NAP{1000};

int32_t LinesWaiting(const TGenericFifo& fifo) {
  return (fifo.nWP - fifo.nRP + GENERIC_FIFO_SLOTS) % GENERIC_FIFO_SLOTS;
}

std::tm LocalNow() {
  const std::time_t t = std::time(nullptr);
  std::tm tmLocal{};
  localtime_r(&t, &tmLocal);
  return tmLocal;
}

// The log's own failures cannot go into the log: they go to standard error, thinned (the 1st,
// 10th, 100th, ...), so an error that repeats on every call cannot flood it.
std::atomic<uint64_t> nLoggerFailures{0};
void ReportLoggerFailure(const char* sWhere, const char* sWhat) {
  const uint64_t nCount = ++nLoggerFailures;
  if (IsPowerOfTen(nCount))
    std::fprintf(stderr, "Telvane: %s failed: %s (%llu failures of the log so far)\n", sWhere, sWhat,
                 static_cast<unsigned long long>(nCount));
}

// True for the first full ring, and again once a second has passed since the last notice.
bool ClaimFullNotice() {
  const int64_t nNow = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch()).count();
  int64_t nLast = nLastFullNoticeMs.load();
  if (nLast != NO_NOTICE_YET && nNow - nLast < 1000) return false;
  return nLastFullNoticeMs.compare_exchange_strong(nLast, nNow);
}

void PostFullNotice(int32_t nPosition) {
  TControlLoop::Instance().Post([nPosition] {
    try {
      ShowAppMessage(1, "FIFO FULL (GENERAL) - " + IntToStr(nPosition));
    } catch (const std::exception& e) {
      ReportLoggerFailure("the full log ring's notice", e.what());
    }
  });
}

// Stores the finished line with the count of lines dropped before it. Returns false when the ring
// is full (the line is counted as dropped); nFullAt is then the position that met nRP. Wakes the
// writer when this line is the first waiting or makes a quarter of the ring wait.
bool PushLine(std::mutex& crsLock, std::string&& sLine, int32_t& nFullAt) {
  std::unique_lock<std::mutex> lock(crsLock);
  TGenericFifo& fifo = MyGenericFifo;
  const int32_t nNext = fifo.nWP + 1 >= GENERIC_FIFO_SLOTS ? 0 : fifo.nWP + 1;
  if (nNext == fifo.nRP) {
    nFullAt = nNext;
    if (fifo.nDropped < std::numeric_limits<int32_t>::max()) ++fifo.nDropped;
    return false;
  }
  fifo.vFifo[fifo.nWP] = std::move(sLine);
  fifo.vDroppedBefore[fifo.nWP] = std::exchange(fifo.nDropped, 0);
  fifo.nWP = nNext;
  // The first line into an empty ring ends the writer's idle nap; a quarter of the ring its short one.
  const int32_t nWaiting = LinesWaiting(fifo);
  const bool bWake = nWaiting == 1 || nWaiting == WAKE_WRITER_AT;
  lock.unlock();
  if (bWake) cvLinesPileUp.notify_one();
  return true;
}

TPaneId PaneOf(int nTarget) { return nTarget == LOG_TARGET_MAIN ? PANE_MAIN_LOG : PANE_PROXY_LOG; }

// The line in its pane and, on request, the bare text in the main status bar; control thread.
void ShowOnConsole(int nTarget, const std::string& sLine, const std::string& sText, bool bEchoToStatus) {
  try {
    TDisplaySink* pSink = DisplaySink();
    if (pSink == nullptr) return;
    pSink->AppendPane(PaneOf(nTarget), sLine);
    if (bEchoToStatus) pSink->SetStatus(STB_MAIN, 1, sText);
  } catch (const std::exception& e) {
    ReportLoggerFailure("showing a log line on the console", e.what());
  }
}

void ToConsole(int nTarget, const std::string& sLine, const std::string& sText, bool bEchoToStatus) {
  if (DisplaySink() == nullptr && KeepEarlyLine(PaneOf(nTarget), sLine)) return;
  TControlLoop& loop = TControlLoop::Instance();
  if (loop.IsControlThread()) {
    ShowOnConsole(nTarget, sLine, sText, bEchoToStatus);
    return;
  }
  loop.Post([nTarget, sLine, sText, bEchoToStatus] { ShowOnConsole(nTarget, sLine, sText, bEchoToStatus); });
}

void ToCapture(const std::string& sText) {
  if (!MyAuditEvents.bEnabled) return;
  ++nMainLogCaptureUsers;
  try {
    if (TAuditList* lst = MyAuditEvents.lstMainLog.load()) lst->Add(sText);
  } catch (const std::exception& e) {
    ReportLoggerFailure("capturing a log line", e.what());
  }
  --nMainLogCaptureUsers;
}

// False, with the reason, when no file can be created in sDirectory.
bool ProbeWritable(const std::string& sDirectory, std::string& sError) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(sDirectory, ec)) {
    sError = sDirectory + " is not a folder";
    return false;
  }
  const std::string sProbe = sDirectory + "/.telvane-write-probe";
  std::FILE* pFile = std::fopen(sProbe.c_str(), "wb");
  if (pFile == nullptr) {
    sError = "cannot create a file in " + sDirectory + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(pFile);
  fs::remove(sProbe, ec);
  return true;
}

}  // namespace

const char* LevelWord(int nLevel) {
  if (nLevel == LOG_ERROR) return "ERROR";
  if (nLevel == LOG_WARNING) return "WARNING";
  return "VERBOSE";
}

std::string FormatLogLine(const std::string& sStamp, int nLevel, const std::string& sSource, const std::string& sText) {
  char sLevel[16];
  std::snprintf(sLevel, sizeof(sLevel), "[%.3d] ", nLevel);
  return sStamp + LevelWord(nLevel) + sLevel + sSource + ": " + sText;
}

std::string LogStamp() {
  const std::tm t = LocalNow();
  char sStamp[48];
  std::snprintf(sStamp, sizeof(sStamp), "[%04d/%02d/%02d %02d:%02d:%02d] ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return sStamp;
}

std::string LogFileName() {
  const std::tm t = LocalNow();
  char sName[48];
  std::snprintf(sName, sizeof(sName), "GENERAL_%04d-%02d-%02d.log", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return sName;
}

void WriteLog(const std::string& sSource, int nTarget, int nLevel, const std::string& sText,
              bool bEchoToStatus) {
  std::mutex* pLock = crsGenericFifo.load();
  if (pLock == nullptr || !MyAppInfo.bIsRunning) return;
  // A filtered line costs no clock reading and no formatting.
  if (nLevel > MyConfigInfo.nLogVerbose || (nTarget != LOG_TARGET_MAIN && nTarget != LOG_TARGET_PROXY)) return;
  try {
    std::string sLine = FormatLogLine(LogStamp(), nLevel, sSource, sText);
    // Service mode never shows the line: no second copy. Window mode shows it in its pane, or keeps
    // it for the pane while the console does not exist yet.
    const bool bConsole = !MyAppInfo.bIsService;
    const std::string sShown = bConsole ? sLine : std::string();
    int32_t nFullAt = 0;
    if (!PushLine(*pLock, std::move(sLine), nFullAt)) {
      CountUp(MyCounters.nLogLinesDropped);
      if (!MyAppInfo.bIsService && ClaimFullNotice()) PostFullNotice(nFullAt);
      return;
    }
    if (bConsole) ToConsole(nTarget, sShown, sText, bEchoToStatus);
    ToCapture(sText);
  } catch (const std::exception& e) {
    // A log call never fails its caller; the line may be lost.
    ReportLoggerFailure("a log call", e.what());
  }
}

void WriteErrorLog(const std::string& sSource, int nTarget, const std::string& sWhat, const std::string& sDuring,
                   const std::string& sEntry) {
  const std::string sTail = sEntry.empty() ? " Process." : " Process (" + sEntry + ").";
  WriteLog(sSource, nTarget, LOG_ERROR, "Error: " + sWhat + " during " + sDuring + sTail, false);
}

void LogOperationError(const char* sClass, const char* sOperation, const std::string& sWhat, int nTarget) {
  WriteErrorLog(std::string(sClass) + "." + sOperation, nTarget, sWhat, sOperation);
}

bool StartLogWriter(const std::string& sDirectory) {
  try {
    std::error_code ec;
    std::filesystem::create_directories(sDirectory, ec);
    std::string sError;
    if (!ProbeWritable(sDirectory, sError)) {
      // Start-up reports the failure; this line says what went wrong, also in service mode.
      std::fprintf(stderr, "Telvane: the log cannot be written: %s\n", sError.c_str());
      return false;
    }
    std::mutex* pLock = crsGenericFifo.load();
    if (pLock == nullptr) {
      pLock = new std::mutex();  // lives until the process ends
      crsGenericFifo = pLock;
    }
    {
      std::lock_guard<std::mutex> lock(*pLock);
      MyGenericFifo = TGenericFifo();
    }
    bLogOutage = false;
    auto* pWriter = new TExecLoggerGeneralThread();
    pWriter->sDirectoryThread = sDirectory;
    pWriter->bEchoToStderr = MyAppInfo.bIsService && !IsTerminal(2);
    // At the control thread's priority, not the lowest: on a busy machine the lowest left the
    // writer unscheduled for tens of milliseconds, and a burst from the control thread (100 desks
    // shaking hands at once, thousands of connections) overflowed the ring meanwhile. The writer
    // sleeps between wake-ups and its work per line is small.
    if (!pWriter->Start(WORKER_PRIORITY_NORMAL)) {
      delete pWriter;
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Telvane: the log writer cannot start: %s\n", e.what());
    return false;
  }
}

void NapUntilLinesPileUp(std::chrono::milliseconds tNap) {
  std::mutex* pLock = crsGenericFifo.load();
  if (pLock == nullptr) return;
  std::unique_lock<std::mutex> lock(*pLock);
  if (LinesWaiting(MyGenericFifo) == 0) {
    cvLinesPileUp.wait_for(lock, IDLE_NAP,
                           [] { return LinesWaiting(MyGenericFifo) > 0 || !MyAppInfo.bIsRunning; });
    return;
  }
  cvLinesPileUp.wait_for(lock, tNap, [] { return LinesWaiting(MyGenericFifo) >= WAKE_WRITER_AT; });
}

void WakeLogWriter() {
  // Taking the lock orders the notice after the writer's test of the flag: it is either still
  // before its wait, and sees the flag, or already waiting, and is woken.
  if (std::mutex* pLock = crsGenericFifo.load()) std::lock_guard<std::mutex> lock(*pLock);
  cvLinesPileUp.notify_all();
}

bool LogFallingBehind() {
  std::mutex* pLock = crsGenericFifo.load();
  if (pLock == nullptr || bLogOutage.load()) return false;
  std::lock_guard<std::mutex> lock(*pLock);
  return LinesWaiting(MyGenericFifo) >= GENERIC_FIFO_SLOTS / 2;
}

void WaitForMainLogCaptureUsers() {
  // Each user holds the list for one append; this spins for microseconds at most.
  while (nMainLogCaptureUsers.load() != 0) std::this_thread::yield();
}
