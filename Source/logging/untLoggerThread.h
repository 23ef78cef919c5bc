// The general log's writer thread, and the hand-off of the log's capture list.
//
// TExecLoggerGeneralThread is the one consumer of MyGenericFifo. At each wake-up it takes every
// waiting line out of the ring (holding crsGenericFifo only to move them), writes them in order
// with one open, append and close of <sDirectoryThread>/GENERAL_<local date>.log, and naps 1 ms,
// or less when a burst fills a quarter of the ring meanwhile.
// Each line goes to the file of the date at which it is written, so a batch written across
// midnight is split between the two days' files. The file copy has its whitespace collapsed, ends
// in CR LF and is UTF-8 (lines inside the relay are Windows-1252). A line that carries a count of
// lines dropped at the full ring is preceded by one line saying so.
//
// When the file cannot be opened or written (descriptors run out, the disk is full, the folder is
// gone) the writer keeps the lines it took (at most one ring's worth; the ring behind them fills
// and then counts what it drops), says why once on stderr, and tries again about once a second.
// The first write that succeeds begins with one line saying for how long and why the log could not
// be written and how many lines were dropped meanwhile. A failure never ends the writer.
//
// It runs at the control thread's priority (see StartLogWriter) until MyAppInfo.bIsRunning turns
// false, then writes the lines still waiting (WriteLog accepts no more by then, so this ends) and
// frees itself. The lines logged during shut-down, among them why the relay ends, are therefore kept.
//
// Daily files older than [LOG] KEEPDAYS are removed once start-up has handed the setting over
// (SetLogKeepDays), and again on the first wake-up of every new day. Files are created 0640.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/untWorker.h"

class TExecLoggerGeneralThread : public TWorkerThread {
 public:
  // Set before Start; read by the writer only.
  std::string sDirectoryThread;  // log folder, without a trailing separator
  bool bEchoToStderr = false;    // also write each line to stderr (service mode without a terminal)
  std::function<std::string()> fnFileName;  // the day's file name; LogFileName unless a test sets it

  TExecLoggerGeneralThread();

  // One wake-up without the nap: takes the waiting lines (unless lines kept from a failed attempt
  // are still unwritten) and writes them. Returns false while the log cannot be written, with the
  // reason in sError; within a second of a failed attempt it does not try again. Writer only (or
  // a test standing in for it, without the thread).
  bool WriteWaitingLines(std::string& sError);

 protected:
  void Execute() override;

 private:
  void TakeWaitingLines();
  bool WriteLines(std::string& sError);
  std::string OutageLine() const;
  void NoteFailure(const std::string& sError);
  void NoteRecovery();
  void RemoveExpiredFiles();

  // Writer thread only.
  std::vector<std::string> vBatch;  // lines taken from the ring and not written yet, in order
  bool bFailing = false;            // the last attempt to write failed
  std::string sFailure;             // why the first attempt of this outage failed
  std::chrono::steady_clock::time_point tFailingSince;  // first failed attempt of this outage
  std::chrono::steady_clock::time_point tLastAttempt;   // last attempt while failing
  int64_t nDroppedMeanwhile = 0;    // lines the full ring dropped during this outage
  std::string sExpiredCheckedFor;   // the day's file name at the last removal of old files
  int32_t nExpiredCheckedDays = -1; // the days kept at that removal
};

// Removes from sDirectory the daily files GENERAL_<YYYY-MM-DD>.log dated more than nKeepDays days
// before the date in sTodayFile (a name as LogFileName gives it); nKeepDays 0 keeps every file.
// Any other name, and anything but a plain file, is left alone. Returns how many were removed;
// each failure adds "<name>: <reason>" to vFailures. Any thread; the writer calls it.
int32_t RemoveExpiredLogFiles(const std::string& sDirectory, const std::string& sTodayFile, int32_t nKeepDays,
                              std::vector<std::string>& vFailures);

// Waits, with a bound, until the writer has written every line it was given; any thread but the
// writer's. Returns at once before the log writer was ever started.
void WaitForLogWritten(std::chrono::milliseconds tTimeout);

// WriteLog adds to MyAuditEvents.lstMainLog from any thread. The controller's destructor clears the
// pointer, then calls this before deleting the list: it returns once no WriteLog can still be
// holding the old pointer.
void WaitForMainLogCaptureUsers();
