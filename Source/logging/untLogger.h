// The one log call of the relay and the start of its writer.
//
// WriteLog may be called from any thread. It stamps the line with the local time, filters it by
// level, and puts it into MyGenericFifo (500 slots, lock crsGenericFifo); the writer thread
// (untLoggerThread) appends the waiting lines to Log/GENERAL_<date>.log. Producers never do file
// I/O and only wait while the writer moves the waiting lines out of the ring. A full ring drops the
// new line and counts it; the next line the ring accepts carries the count, and the writer puts a
// line saying how many were dropped in front of it. In window mode the operator's notice is posted
// to the control thread as well, at most once a second, so no producer is held up.
// crsGenericFifo lives until the process ends, so no producer can outlive it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

constexpr int32_t GENERIC_FIFO_SLOTS = 500;

// Log targets: the pane a line is shown in besides the file.
constexpr int LOG_TARGET_MAIN = 1;   // main log pane: the exchange side, the pipeline, the host
constexpr int LOG_TARGET_PROXY = 2;  // proxy log pane: the client service
// Log levels; a line is written when its level is at most [LOG] VERBOSE.
constexpr int LOG_ERROR = 0;
constexpr int LOG_WARNING = 1;
constexpr int LOG_VERBOSE = 3;

// Every field is guarded by crsGenericFifo.
struct TGenericFifo {
  std::array<std::string, GENERIC_FIFO_SLOTS> vFifo;  // formatted lines waiting
  std::array<int32_t, GENERIC_FIFO_SLOTS> vDroppedBefore{};  // lines dropped at the full ring just before this one
  int32_t nWP = 0;       // next slot to fill
  int32_t nRP = 0;       // next slot the writer takes
  int32_t nDropped = 0;  // lines dropped since the last accepted one (or since the writer last claimed them)
  int32_t nTaken = 0;    // lines the writer took out of the ring and has not written yet
};

extern TGenericFifo& MyGenericFifo;
// Null until StartLogWriter has run; never destroyed afterwards.
extern std::atomic<std::mutex*> crsGenericFifo;

// nTarget LOG_TARGET_MAIN or LOG_TARGET_PROXY; any other target is ignored entirely.
// nLevel LOG_ERROR, LOG_WARNING or LOG_VERBOSE. Texts are Windows-1252.
void WriteLog(const std::string& sSource, int nTarget, int nLevel, const std::string& sText,
              bool bEchoToStatus);

// The system's error line at LOG_ERROR, no status echo:
//   "Error: " + sWhat + " during " + sDuring + " Process." from sSource, or, for an entry of a
//   list, "... Process (" + sEntry + ")." so the list can go on with the next entry.
void WriteErrorLog(const std::string& sSource, int nTarget, const std::string& sWhat, const std::string& sDuring,
                   const std::string& sEntry = "");
// The common case: source sClass + "." + sOperation, during sOperation.
void LogOperationError(const char* sClass, const char* sOperation, const std::string& sWhat,
                       int nTarget = LOG_TARGET_MAIN);

// The writer's nap between wake-ups: returns after tNap, or as soon as a producer finds a quarter
// of the ring waiting, so that a burst is written while it comes in. On an empty ring it lasts
// until the first line is stored or the run flag is cleared (a second at most). Writer thread only.
void NapUntilLinesPileUp(std::chrono::milliseconds tNap);
// Ends the writer's idle nap: call it after clearing the run flag, so that the writer leaves at
// once instead of at the end of its nap. Any thread.
void WakeLogWriter();

// True while half of the ring or more waits for a writer that is writing: a producer that can
// wait (the listener, before its next accept) lets the writer catch up instead of making the ring
// drop lines. False while the log cannot be written, when waiting would not help. Any thread.
bool LogFallingBehind();
// Set by the writer while the log cannot be written, cleared once it can again.
extern std::atomic<bool> bLogOutage;

// Creates the log folder sDirectory (no trailing separator), the ring's lock and the writer thread.
// False when it cannot start.
bool StartLogWriter(const std::string& sDirectory);

// How many days of daily files the writer keeps ([LOG] KEEPDAYS; 0 keeps all, a negative value
// counts as 0). Until the first call nothing is removed. Any thread; the writer acts on it at its
// next wake-up.
void SetLogKeepDays(int32_t nDays);

// "ERROR", "WARNING" or "VERBOSE" for a level number.
const char* LevelWord(int nLevel);
// A whole log line: sStamp (from LogStamp) + level word + "[%.3d] " + sSource + ": " + sText.
std::string FormatLogLine(const std::string& sStamp, int nLevel, const std::string& sSource, const std::string& sText);
// "[YYYY/MM/DD HH:MM:SS] " for the local time now.
std::string LogStamp();
// "GENERAL_YYYY-MM-DD.log" for the local date now.
std::string LogFileName();
