// One connection of the simulated exchange: greeting, login, answers to actions, and the paced
// stream of events with its faults (cut writes, silence, close or reset after N events).
//
// Thread: everything runs on the one I/O thread of the io_context; handlers hold a shared
// pointer to the session, and every handler returns at once after the session has ended.
//
// Output: one ordered queue of pieces. A piece with a pause is written alone and followed by
// that pause (cut faults, split greeting); consecutive pieces without a pause are joined into one
// write. Events are produced only while fewer than kLowWaterBytes wait, so a slow reader holds
// the simulator back instead of filling its memory; answers are always queued, and a reader that
// lets more than kMaxQueuedBytes pile up is cut off.
//
// Pacing, a small state machine driven by the pace timer and write completions:
//   AWAIT_LOGIN --login accepted--> WAIT_START --next action or start delay--> STREAMING
//   STREAMING: each turn sends the events due by the clock (rate R: n events by t = n/R after
//   the start; rate 0: one batch per completed write), in batches of at most kMaxBatchEvents.
//   More than one second behind the clock, the schedule restarts from now instead of bursting.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>
// After a standard header, as in every file here: see main.cpp.
#include <asio.hpp>
#include <asio/ssl.hpp>

#include "generator.h"
#include "options.h"
#include "protocol.h"

namespace exsim {

// State shared by the sessions of one process; owned by the server, I/O thread only.
struct TServerShared {
  explicit TServerShared(const TExchangeOptions& t) : tOptions(t) {}
  void Log(const std::string& sText) const;  // one stderr line when --verbose

  const TExchangeOptions& tOptions;        // constant after start-up
  std::vector<std::string> vReplayBlocks;  // replay file's blocks; constant after start-up
  std::chrono::steady_clock::time_point tStarted = std::chrono::steady_clock::now();
  uint64_t nNextSeq = 1;           // next TelvaneSeq, across all connections
  bool bSilent = false;            // console "silent on/off", starts as --silent
  uint64_t nReplayOnceCursor = 0;  // replay blocks sent so far under --replay-once
};

enum TSessionPhase_OPT : uint8_t {
  SESSION_PHASE_AWAIT_LOGIN,  // greeting sent, no successful login yet
  SESSION_PHASE_WAIT_START,   // logged in, events not started yet
  SESSION_PHASE_STREAMING,    // events flow, subject to silence and limits
  SESSION_PHASE_CLOSED,       // socket closed; handlers return at once
};

enum TCloseRequest_OPT : uint8_t {
  CLOSE_REQUEST_NONE,
  CLOSE_REQUEST_GRACEFUL,  // close once the queued output is written
  CLOSE_REQUEST_RESET,     // reset once the queued output has left the socket
};

class TSession : public std::enable_shared_from_this<TSession> {
 public:
  // pTlsContext: TLS on this connection (the handshake comes before the greeting); null: plain.
  TSession(asio::ip::tcp::socket tSocket, std::shared_ptr<asio::ssl::context> pTlsContext,
           TServerShared& tShared, std::function<void(TSession*)> fOnEnd);

  void Start();
  void Close(bool bReset);                                   // console close/reset, shut-down
  void SendEvents(const std::vector<std::string>& vBlocks);  // console "send"
  void SendRaw(std::string sBytes);                          // console "raw"
  void Wake();                                               // silence lifted: resume
  bool Ended() const { return tPhase == SESSION_PHASE_CLOSED; }

 private:
  static constexpr size_t kLowWaterBytes = 128 * 1024;
  static constexpr size_t kMaxQueuedBytes = 8 * 1024 * 1024;
  static constexpr size_t kMaxBatchEvents = 256;
  static constexpr size_t kMaxWriteBytes = 1024 * 1024;

  struct TPiece {
    std::string sBytes;    // bytes of this write
    bool bAlone = false;   // written on its own, never joined with its neighbours
    int32_t nPauseMs = 0;  // pause after writing it, ms (only for a piece written alone)
  };

  void Greet();
  void StartRead();
  void OnRead(const asio::error_code& tError, size_t nBytes);
  void HandleAction(const TAction& tAction);
  void BeginStreaming();

  void Pump();
  size_t EventsDue();
  void ArmPaceTimer();
  size_t ProduceEvents(size_t nMax, std::string& sBatch);
  bool NextBlock(std::string& sBlock);
  bool LimitReached() const;
  std::string Frame(const std::string& sBlock);

  void Enqueue(std::string sBytes, bool bCut);
  void PushPiece(std::string sBytes, bool bAlone, int32_t nPauseMs);
  void ApplyLimits();
  void StartWrite();
  void OnWritten(const asio::error_code& tError, size_t nBytes, int32_t nPauseMs);
  void CheckCloseRequest();
  void ResetWhenSent(int32_t nTriesLeft);
  void End(const char* sReason);

  // Constant after construction.
  TServerShared& tShared;                 // process-wide state
  const TExchangeOptions& tOptions;       // = tShared.tOptions
  std::function<void(TSession*)> fOnEnd;  // tells the server the session is over
  std::string sPeer;                      // "address:port" of the client, for the log

  // I/O thread only.
  asio::ip::tcp::socket tSocket;
  std::shared_ptr<asio::ssl::context> pTlsContext;  // outlives pTls
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> pTls;  // over tSocket; null when plain
  asio::steady_timer tPaceTimer, tPieceTimer, tStartTimer, tResetTimer;
  TSessionPhase_OPT tPhase = SESSION_PHASE_AWAIT_LOGIN;
  TCloseRequest_OPT tCloseRequest = CLOSE_REQUEST_NONE;
  TActionReader tReader;                             // incoming action blocks
  std::array<char, 4096> vReadBuffer{};              // one read's bytes
  std::deque<TPiece> lstOutput;                      // pieces waiting to be written, in order
  std::string sWriting;                              // bytes of the write in flight
  size_t nQueuedBytes = 0;                           // bytes queued or in flight
  bool bWriting = false;                             // a write is in flight
  bool bPausing = false;                             // waiting out a piece's pause
  bool bPaceArmed = false;                           // the pace timer is waiting
  bool bCloseStarted = false;                        // the close request is being carried out
  TRandom tCutRandom;                                // positions of --cut-random
  std::unique_ptr<TEventGenerator> pGenerator;       // made on first use, fresh per connection
  std::chrono::steady_clock::time_point tPaceStart;  // start of the current schedule
  uint64_t nPaced = 0;                               // events produced since tPaceStart
  uint64_t nReplayCursor = 0;                        // replay blocks sent on this connection
  int64_t nGenerated = 0;                            // generated events sent on this connection
  int64_t nEvents = 0;                               // events sent on this connection, all sources
  int64_t nActions = 0;  // actions answered or ignored on this connection
};

}  // namespace exsim
