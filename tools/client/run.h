// A run of the CTI client tool: one interactive client, or N clients of a load
// run, with the end conditions (--count, --duration, SIGINT/SIGTERM, every
// connection ended), the output on stdout and the load report.
//
// Threads: all on the io_context thread, except SendLine, which the stdin
// reader reaches only through asio::post. Invariant: once Finish() has run, no
// session is left open and no timer is pending, so io_context::run returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
// After a standard header, as in every file here: see main.cpp.
#include <asio.hpp>

#include "options.h"
#include "session.h"
#include "stats.h"

namespace cticlient {

class TClientRun : private TClientSessionOwner {
 public:
  TClientRun(asio::io_context& tNewIo, const TClientOptions& tNewOptions);

  bool Start(std::string& sError);     // resolves the relay and starts every client
  void SendLine(const std::string& sLine);  // a typed command, for the single client
  void PrintEnd();                     // quiet summary or load report, after run() returned
  int ExitCode() const { return nExitCode; }

 private:
  struct TClientTally {
    std::shared_ptr<TClientSession> pSession;   // the connection
    uint64_t nFrames = 0;                       // frames received
    TSeqTracker tSeq;                           // TelvaneSeq values seen
    bool bReady = false;                        // got through the handshake
    bool bEnded = false;                        // ended (closed, lost or failed)
  };

  bool IsLoad() const { return tOptions.nLoad > 0; }
  TClientTally& TallyOf(TClientSession& tSession);
  void StartTimers();
  void OnProgressTick();
  void CheckAllDone();
  void Finish();
  void PrintFrame(const TFrame& tFrame, int64_t nReadMicros);
  void FlushStdout();
  TRunTotals Totals() const;

  void OnSessionReady(TClientSession& tSession) override;
  void OnSessionFrame(TClientSession& tSession, const TFrame& tFrame, int64_t nReadMicros) override;
  void OnSessionGoingDown(TClientSession& tSession) override;
  void OnSessionDropped(TClientSession& tSession, size_t nBytes, bool bAtClose) override;
  void OnSessionRetry(TClientSession& tSession, const std::string& sWhy) override;
  void OnSessionEnded(TClientSession& tSession, TSessionEnd_OPT tEnd, const std::string& sWhy) override;

  // Constant after construction.
  asio::io_context& tIo;           // the one event loop
  const TClientOptions tOptions;   // the command line

  // io_context thread only.
  std::vector<TClientTally> vClients;   // one per connection, index = client number - 1
  asio::steady_timer tDurationTimer;    // --duration
  asio::steady_timer tProgressTimer;    // --progress, every second
  asio::signal_set tSignals;            // SIGINT, SIGTERM
  TLatencyHistogram tLatency;           // all clients' stamped frames
  uint64_t nFrames = 0;                 // frames of all clients
  uint64_t nFramesAtTick = 0;           // nFrames at the previous progress line
  uint64_t nGoingDown = 0;              // notices received
  uint64_t nDropped = 0;                // frames dropped for size or cut by a close
  int32_t nReady = 0;                   // clients through the handshake
  int32_t nSettled = 0;                 // clients ready or failed for good
  bool bReadyPrinted = false;           // READY has been written
  bool bFinished = false;               // Finish() has run
  std::chrono::steady_clock::time_point tStart;       // Start()
  std::chrono::steady_clock::time_point tFirstReady;  // first READY of any client
  std::chrono::steady_clock::time_point tEnd;         // Finish()
  std::string sOut;                     // output being composed, reused
  int nExitCode = 0;                    // what main returns
};

// How a frame is printed, in both modes: the receive time when asked, the event's lines with LF
// line ends, then an empty line between frames.
void AppendFrameText(std::string& sOut, const TFrame& tFrame, int64_t nReadMicros, bool bTimestamps);

}  // namespace cticlient
