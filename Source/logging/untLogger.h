// The one log call of the relay and the start of its writer.
//
// WriteLog may be called from any thread. It stamps the line with the local time, filters it by
// level, and puts it into MyGenericFifo (500 slots, lock crsGenericFifo); the writer thread
// (untLoggerThread) appends each line to Log/GENERAL_<date>.log. Producers never do file I/O and
// never wait for more than one line's write. A full ring drops the new line; the operator's notice
// for it is posted to the control thread, at most once a second, so no producer is held up.
// crsGenericFifo lives until the process ends, so no producer can outlive it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

constexpr int32_t GENERIC_FIFO_SLOTS = 500;

struct TGenericFifo {
  std::array<std::string, GENERIC_FIFO_SLOTS> vFifo;  // formatted lines waiting; guarded by crsGenericFifo
  int32_t nWP = 0;  // next slot to fill; guarded by crsGenericFifo
  int32_t nRP = 0;  // next slot to write to the file; guarded by crsGenericFifo
};

extern TGenericFifo& MyGenericFifo;
// Null until StartLogWriter has run; never destroyed afterwards.
extern std::atomic<std::mutex*> crsGenericFifo;

// nTarget 1 = main log pane, 2 = proxy log pane; any other target is ignored entirely.
// nLevel 0 ERROR, 1 WARNING, 3 VERBOSE. Texts are Windows-1252.
void WriteLog(const std::string& sSource, int nTarget, int nLevel, const std::string& sText,
              bool bEchoToStatus);

// Creates the log folder, the ring's lock and the writer thread. False when it cannot start.
bool StartLogWriter();

// "ERROR", "WARNING" or "VERBOSE" for a level number.
const char* LevelWord(int nLevel);
// "[YYYY/MM/DD HH:MM:SS] " for the local time now.
std::string LogStamp();
// "GENERAL_YYYY-MM-DD.log" for the local date now.
std::string LogFileName();
