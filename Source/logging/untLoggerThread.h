// The general log's writer thread, and the hand-off of the log's capture list.
//
// TExecLoggerGeneralThread is the one consumer of MyGenericFifo. Each pass takes crsGenericFifo,
// writes at most the oldest waiting line to <sDirectoryThread>/GENERAL_<local date>.log (opened for
// appending, written, closed again), advances nRP and releases the lock; then it sleeps 1 ms. The
// file copy has its whitespace collapsed, ends in CR LF and is UTF-8 (lines inside the relay are
// Windows-1252). It runs at the lowest priority until MyAppInfo.bIsRunning turns false, then writes
// the lines still waiting (WriteLog accepts no more by then, so this ends) and frees itself. The
// lines logged during shut-down, among them why the relay ends, are therefore kept.
//
// A write that fails ends the writer for good (the ring then fills and new lines are dropped), but
// first one line on stderr says why, so a relay whose log stopped leaves a trace.
#pragma once

#include <chrono>
#include <string>

#include "platform/untWorker.h"

class TExecLoggerGeneralThread : public TWorkerThread {
 public:
  // Set before Start; read by the writer only.
  std::string sDirectoryThread;  // log folder, without a trailing separator
  bool bEchoToStderr = false;    // also write each line to stderr (service mode without a terminal)

  // One pass of the loop without the sleep: writes the oldest waiting line, if any, to the day's
  // file in sDirectory. Returns false, with the reason in sError, when the file cannot be written;
  // the line then stays in the ring. Takes crsGenericFifo; nothing to do before it exists.
  static bool WritePendingLine(const std::string& sDirectory, bool bEchoToStderr, std::string& sError);

 protected:
  void Execute() override;
};

// Waits, with a bound, until the writer has taken every waiting line out of the ring; any thread
// but the writer's. Returns at once before the log writer was ever started.
void WaitForLogWritten(std::chrono::milliseconds tTimeout);

// WriteLog adds to MyAuditEvents.lstMainLog from any thread. The controller's destructor clears the
// pointer, then calls this before deleting the list: it returns once no WriteLog can still be
// holding the old pointer.
void WaitForMainLogCaptureUsers();
