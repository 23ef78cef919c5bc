// The general log's writer thread (design in untLoggerThread.h).
//
// Thread: the writer only. It holds crsGenericFifo just to move the waiting lines into vBatch, to
// clear nTaken after a write and to wait for its nap's end (the producers wake it early when a
// quarter of the ring waits); the file is opened, written and closed without the lock, so a
// producer never waits for the disk. A line counts as written once it is in the file: nTaken keeps
// WaitForLogWritten waiting for the lines in vBatch too.
#include "logging/untLoggerThread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>

#include "base/untCodePage.h"
#include "base/untVariables.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "platform/untProcess.h"

namespace {

constexpr auto RETRY_INTERVAL = std::chrono::seconds(1);
const char* const WRITER_SOURCE = "TExecLoggerGeneralThread.Execute";

// Appends sBytes to the file at sPath, creating it when missing; false with the reason on failure.
bool AppendToFile(const std::string& sPath, const std::string& sBytes, std::string& sError) {
  std::FILE* pFile = OpenForAppendGroupReadable(sPath);
  if (pFile == nullptr) {
    sError = "cannot open " + sPath + ": " + std::strerror(errno);
    return false;
  }
  const bool bWritten = std::fwrite(sBytes.data(), 1, sBytes.size(), pFile) == sBytes.size();
  const int nWriteErrno = errno;
  const bool bClosed = std::fclose(pFile) == 0;
  if (!bWritten || !bClosed) {
    sError = "cannot write " + sPath + ": " + std::strerror(bWritten ? errno : nWriteErrno);
    return false;
  }
  return true;
}

// The days kept, once start-up has read them; until then (-1) no file is removed.
std::atomic<int32_t> nKeepDaysSetting{-1};

// The date of a daily file's name, "GENERAL_YYYY-MM-DD.log" exactly; none for any other name.
std::optional<std::chrono::sys_days> DateOfLogFile(const std::string& sName) {
  constexpr std::string_view PREFIX = "GENERAL_", SUFFIX = ".log";
  if (sName.size() != PREFIX.size() + 10 + SUFFIX.size() || !sName.starts_with(PREFIX) || !sName.ends_with(SUFFIX))
    return std::nullopt;
  const std::string_view sDate = std::string_view(sName).substr(PREFIX.size(), 10);
  int vPart[3] = {0, 0, 0};
  for (size_t n = 0, nPart = 0; n < sDate.size(); ++n) {
    if (n == 4 || n == 7) {
      if (sDate[n] != '-') return std::nullopt;
      ++nPart;
    } else if (sDate[n] >= '0' && sDate[n] <= '9') {
      vPart[nPart] = vPart[nPart] * 10 + (sDate[n] - '0');
    } else {
      return std::nullopt;
    }
  }
  const std::chrono::year_month_day tDate{std::chrono::year(vPart[0]), std::chrono::month(vPart[1]),
                                          std::chrono::day(vPart[2])};
  if (!tDate.ok()) return std::nullopt;
  return std::chrono::sys_days(tDate);
}

bool AnyLineWaiting() {
  std::mutex* pLock = crsGenericFifo.load();
  if (pLock == nullptr) return false;
  std::lock_guard<std::mutex> lock(*pLock);
  return MyGenericFifo.nWP != MyGenericFifo.nRP || MyGenericFifo.nTaken != 0;
}

// The journal's copy of a line, with LF line ends: the journal shows text with CRs as binary data.
void AppendForJournal(const std::string& sLine, std::string& sOut) {
  for (size_t n = 0; n < sLine.size(); ++n) {
    if (sLine[n] != '\r') {
      sOut += sLine[n];
    } else if (n + 1 >= sLine.size() || sLine[n + 1] != '\n') {
      sOut += '\n';
    }
  }
  sOut += '\n';
}

// One write for the whole batch; a failure here costs only the copy.
void EchoToStderr(const std::string& sText) {
  std::fwrite(sText.data(), 1, sText.size(), stderr);
  std::fflush(stderr);
}

// The stamp a line begins with, "[YYYY/MM/DD HH:MM:SS] ", or the time now for a line without one.
std::string StampOf(const std::string& sLine) {
  const size_t nEnd = sLine.find("] ");
  return !sLine.empty() && sLine[0] == '[' && nEnd != std::string::npos ? sLine.substr(0, nEnd + 2) : LogStamp();
}

// The line written in front of the first line the full ring accepted again.
std::string DroppedLine(const std::string& sNextLine, int32_t nDropped) {
  return FormatLogLine(StampOf(sNextLine), LOG_WARNING, "WriteLog",
                       IntToStr(nDropped) + " log lines dropped: the log ring was full (" +
                           IntToStr(GENERIC_FIFO_SLOTS - 1) + " lines waiting).");
}

}  // namespace

TExecLoggerGeneralThread::TExecLoggerGeneralThread() : fnFileName(LogFileName) {}

void SetLogKeepDays(int32_t nDays) { nKeepDaysSetting.store(nDays < 0 ? 0 : nDays); }

int32_t RemoveExpiredLogFiles(const std::string& sDirectory, const std::string& sTodayFile, int32_t nKeepDays,
                              std::vector<std::string>& vFailures) {
  namespace fs = std::filesystem;
  const std::optional<std::chrono::sys_days> tToday = DateOfLogFile(sTodayFile);
  if (nKeepDays <= 0 || !tToday) return 0;
  const std::chrono::sys_days tOldestKept = *tToday - std::chrono::days(nKeepDays);
  int32_t nRemoved = 0;
  std::error_code ec;
  for (fs::directory_iterator it(sDirectory, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string sName = it->path().filename().string();
    const std::optional<std::chrono::sys_days> tDate = DateOfLogFile(sName);
    // A link or a folder of that name is not the writer's: only its own plain files go.
    if (!tDate || *tDate >= tOldestKept || !it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    std::error_code ecRemove;
    if (fs::remove(it->path(), ecRemove))
      ++nRemoved;
    else if (ecRemove)
      vFailures.push_back(sName + ": " + ecRemove.message());
  }
  if (ec) vFailures.push_back(sDirectory + ": " + ec.message());
  return nRemoved;
}

// At the first wake-up after start-up has said how many days to keep, and at the first of every
// new day: a relay that runs for months keeps its folder bounded without a restart.
void TExecLoggerGeneralThread::RemoveExpiredFiles() {
  const int32_t nKeepDays = nKeepDaysSetting.load();
  if (nKeepDays < 0) return;
  const std::string sToday = fnFileName();
  if (sToday == sExpiredCheckedFor && nKeepDays == nExpiredCheckedDays) return;
  sExpiredCheckedFor = sToday;
  nExpiredCheckedDays = nKeepDays;
  std::vector<std::string> vFailures;
  const int32_t nRemoved = RemoveExpiredLogFiles(sDirectoryThread, sToday, nKeepDays, vFailures);
  if (nRemoved > 0)
    WriteLog(WRITER_SOURCE, LOG_TARGET_MAIN, LOG_VERBOSE,
             IntToStr(nRemoved) + " daily log files older than " + IntToStr(nKeepDays) + " days removed.", false);
  for (const std::string& sFailure : vFailures)
    WriteLog(WRITER_SOURCE, LOG_TARGET_MAIN, LOG_WARNING,
             "Old log file not removed: " + Utf8ToCp1252(sFailure) + ".", false);
}

// Moves every waiting line into vBatch, each preceded by its dropped-lines line. Nothing is taken
// while lines of a failed attempt are still unwritten: the ring then fills and counts its drops.
void TExecLoggerGeneralThread::TakeWaitingLines() {
  std::mutex* pLock = crsGenericFifo.load();
  if (pLock == nullptr) return;
  std::lock_guard<std::mutex> lock(*pLock);
  TGenericFifo& fifo = MyGenericFifo;
  // Drops during an outage are told by the outage line, not by the line accepted after them.
  if (bFailing) nDroppedMeanwhile += std::exchange(fifo.nDropped, 0);
  if (!vBatch.empty()) return;
  for (; fifo.nRP != fifo.nWP; fifo.nRP = fifo.nRP + 1 >= GENERIC_FIFO_SLOTS ? 0 : fifo.nRP + 1) {
    std::string& sLine = fifo.vFifo[fifo.nRP];
    if (const int32_t nDropped = std::exchange(fifo.vDroppedBefore[fifo.nRP], 0); nDropped > 0)
      vBatch.push_back(DroppedLine(sLine, nDropped));
    vBatch.push_back(std::move(sLine));
    sLine.clear();
    ++fifo.nTaken;
  }
}

// Writes vBatch in order, one open and close per file: each line goes to the file named when it
// is written. Written lines leave vBatch, also when a later file fails.
bool TExecLoggerGeneralThread::WriteLines(std::string& sError) {
  size_t nWritten = 0;
  std::string sJournal;
  while (nWritten < vBatch.size()) {
    const std::string sName = fnFileName();
    std::string sBytes, sGroupJournal;
    size_t nEnd = nWritten;
    do {
      const std::string sText = Cp1252ToUtf8(CollapseWhitespace(vBatch[nEnd]));
      sBytes += sText + "\r\n";
      if (bEchoToStderr) AppendForJournal(sText, sGroupJournal);
      ++nEnd;
    } while (nEnd < vBatch.size() && fnFileName() == sName);
    if (!AppendToFile(sDirectoryThread + "/" + sName, sBytes, sError)) break;
    sJournal += sGroupJournal;
    nWritten = nEnd;
  }
  if (!sJournal.empty()) EchoToStderr(sJournal);
  vBatch.erase(vBatch.begin(), vBatch.begin() + static_cast<std::ptrdiff_t>(nWritten));
  return vBatch.empty();
}

std::string TExecLoggerGeneralThread::OutageLine() const {
  const auto nSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - tFailingSince).count();
  return FormatLogLine(LogStamp(), LOG_ERROR, WRITER_SOURCE,
                       "Error: the log could not be written for " + IntToStr(nSeconds) + " s (" +
                           Utf8ToCp1252(sFailure) + "); " + IntToStr(nDroppedMeanwhile) +
                           " lines were dropped meanwhile.");
}

void TExecLoggerGeneralThread::NoteFailure(const std::string& sError) {
  if (bFailing) return;
  bFailing = true;
  bLogOutage = true;
  sFailure = sError;
  tFailingSince = tLastAttempt;
  nDroppedMeanwhile = 0;
  // The log itself cannot say it; the journal or the operator's terminal can.
  std::fprintf(stderr, "Telvane: the log cannot be written: %s; the waiting lines are kept and the writer tries "
                       "again every second\n", sError.c_str());
}

void TExecLoggerGeneralThread::NoteRecovery() {
  std::fprintf(stderr, "Telvane: the log is written again\n");
  bFailing = false;
  bLogOutage = false;
  sFailure.clear();
  nDroppedMeanwhile = 0;
}

bool TExecLoggerGeneralThread::WriteWaitingLines(std::string& sError) {
  const auto tNow = std::chrono::steady_clock::now();
  if (bFailing && tNow - tLastAttempt < RETRY_INTERVAL) {
    sError = sFailure;
    return false;
  }
  TakeWaitingLines();
  if (vBatch.empty()) return true;
  tLastAttempt = tNow;
  const bool bRecovering = bFailing;
  if (bRecovering) vBatch.insert(vBatch.begin(), OutageLine());
  const size_t nBefore = vBatch.size();
  if (!WriteLines(sError)) {
    // The outage line is made afresh, with the time and count of then, at the next attempt; once
    // written, the outage it told of is over and a new one begins.
    if (bRecovering && vBatch.size() == nBefore) vBatch.erase(vBatch.begin());
    if (bRecovering && vBatch.size() < nBefore) NoteRecovery();
    NoteFailure(sError);
    return false;
  }
  if (bRecovering) NoteRecovery();
  std::lock_guard<std::mutex> lock(*crsGenericFifo.load());
  MyGenericFifo.nTaken = 0;
  return true;
}

void TExecLoggerGeneralThread::Execute() {
  std::string sError;
  while (MyAppInfo.bIsRunning) {
    bool bWritten = false;
    try {
      RemoveExpiredFiles();
      bWritten = WriteWaitingLines(sError);
    } catch (const std::exception& e) {
      // Out of memory, most likely: the lines of this pass may be lost, the writer goes on.
      std::fprintf(stderr, "Telvane: the log writer: %s\n", e.what());
    }
    // While the log cannot be written the ring stays full: a plain nap, or the writer would spin.
    if (bWritten)
      NapUntilLinesPileUp(std::chrono::milliseconds(1));
    else
      SleepMs(1);
  }
  // WriteLog accepts nothing once the flag is clear, so this ends: the lines logged just before
  // the end, the reason for it among them, reach the file. A log still failing is not waited for.
  try {
    for (int n = 0; n < 2 && AnyLineWaiting(); ++n)
      if (!WriteWaitingLines(sError)) break;
  } catch (const std::exception&) {
  }
  if (AnyLineWaiting()) std::fprintf(stderr, "Telvane: the last log lines could not be written: %s\n", sError.c_str());
}

void WaitForLogWritten(std::chrono::milliseconds tTimeout) {
  const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
  while (AnyLineWaiting() && std::chrono::steady_clock::now() < tEnd) SleepMs(1);
}
