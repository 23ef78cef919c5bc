// One CTI client connection to the relay: connect, handshake, then read event
// frames and write the user's change commands.
//
// Threads: everything runs on the one io_context thread; the owner's callbacks
// are made from it. Handlers keep the session alive through shared_from_this.
//
// States and timers (one deadline timer, re-armed per step; one pacing timer):
//
//   CONNECTING --connected [, TLS handshake]--> HANDSHAKE --last prompt--> RUNNING --close--> ENDED
//        |                        |
//        +--error / deadline------+--> retry from CONNECTING (attempts left,
//                                      after kRetryPause) or ENDED (failed)
//
// Invariants:
//   - Handshake steps are written one at a time; the next step goes out only
//     after the previous prompt arrived, because the relay treats every read as
//     one message.
//   - Every handler carries the connection number it was started for; a handler
//     of an earlier attempt or of a re-armed deadline does nothing.
//   - Commands are written only in RUNNING, one at a time and at least
//     kCommandGap apart, so that two commands are unlikely to reach the relay in
//     one read (it would act on the first only). Commands given earlier wait.
//   - After Stop() or the end, no callback reaches the owner.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>
// After a standard header, as in every file here: see main.cpp.
#include <asio.hpp>

#include "protocol.h"
#include "tls.h"

namespace cticlient {

class TClientSession;

enum TSessionEnd_OPT {
  SESSION_END_CLOSED,  // the relay closed a running connection
  SESSION_END_LOST,    // a running connection failed (reset, error)
  SESSION_END_FAILED,  // never got through the handshake, attempts used up
};

// Receives what a session sees; every call is made on the io_context thread.
class TClientSessionOwner {
 public:
  virtual ~TClientSessionOwner() = default;
  virtual void OnSessionReady(TClientSession& tSession) = 0;
  // nReadMicros: when the read that completed the frame returned, µs since the epoch.
  virtual void OnSessionFrame(TClientSession& tSession, const TFrame& tFrame,
                              int64_t nReadMicros) = 0;
  virtual void OnSessionGoingDown(TClientSession& tSession) = 0;
  virtual void OnSessionDropped(TClientSession& tSession, size_t nBytes, bool bAtClose) = 0;
  virtual void OnSessionRetry(TClientSession& tSession, const std::string& sWhy) = 0;
  virtual void OnSessionEnded(TClientSession& tSession, TSessionEnd_OPT tEnd,
                              const std::string& sWhy) = 0;
};

struct TSessionConfig {
  asio::ip::tcp::resolver::results_type vEndpoints;  // the relay's resolved addresses
  std::shared_ptr<asio::ssl::context> pTlsContext;   // --tls: shared by every session; else null
  std::string sHost;                                 // --host, which the relay's certificate must name
  std::vector<THandshakeStep> vSteps;                // this client's six steps
  std::vector<std::string> lstSend;                  // commands to send once running
  std::chrono::milliseconds nStepTimeout{5000};      // wait for each prompt (and the connect)
  int32_t nMaxAttempts = 1;                          // handshake attempts in all
  bool bVerbose = false;                             // trace the handshake on stderr
  std::string sTag;                                  // name used in messages, e.g. "client 3"
  int32_t nIndex = 0;                                // owner's number of this client, from 0
};

enum TClientSessionState_OPT {
  CLIENT_SESSION_STATE_IDLE,
  CLIENT_SESSION_STATE_CONNECTING,
  CLIENT_SESSION_STATE_HANDSHAKE,
  CLIENT_SESSION_STATE_RUNNING,
  CLIENT_SESSION_STATE_ENDED,
};

class TClientSession : public std::enable_shared_from_this<TClientSession>, private TFrameSink {
 public:
  static constexpr std::chrono::milliseconds kCommandGap{100};
  static constexpr std::chrono::milliseconds kRetryPause{200};

  TClientSession(asio::io_context& tNewIo, TSessionConfig tNewConfig, TClientSessionOwner& tNewOwner);

  void Start();
  void Stop();                          // closes; the owner hears nothing more
  void SendCommand(std::string sLine);  // CR LF is appended; waits for RUNNING
  const std::string& Tag() const { return tConfig.sTag; }
  int32_t Index() const { return tConfig.nIndex; }
  int32_t Attempts() const { return nAttempts; }
  bool IsRunning() const { return tState == CLIENT_SESSION_STATE_RUNNING; }

 private:
  void Connect();
  void OnConnected(const std::error_code& tError);
  void BeginHandshake();
  template <typename THandler> void ReadSome(THandler&& fHandler);
  template <typename THandler> void Write(const std::string& sBytes, THandler&& fHandler);
  void SendStep();
  void ArmDeadline();
  void StartRead();
  void OnRead(const std::error_code& tError, size_t nBytes);
  void HandleHandshake(std::string_view sChunk);
  void BecomeReady(const std::string& sRest);
  void HandleClose(const std::error_code& tError);
  void Fail(const std::string& sWhy);
  void End(TSessionEnd_OPT tEnd, const std::string& sWhy);
  void CloseSocket();
  void PumpCommands();
  std::string TimeoutText() const;
  void Trace(const std::string& sDirection, std::string_view sText) const;

  void OnFrame(const TFrame& tFrame) override;
  void OnGoingDown() override;
  void OnFrameDropped(size_t nBytes) override;

  // Constant after construction.
  const TSessionConfig tConfig;    // endpoints, steps, limits
  TClientSessionOwner& tOwner;     // receives every callback

  // io_context thread only.
  asio::ip::tcp::socket tSocket;    // the connection of the current attempt
  // --tls: the stream over tSocket, fresh per attempt; every pending operation holds its own
  // reference, so an attempt's stream outlives the completions it still owes.
  std::shared_ptr<TTlsStream> pTls;
  asio::steady_timer tDeadlineTimer;  // connect and prompt deadline
  asio::steady_timer tPaceTimer;    // command spacing, and the pause before a retry
  THandshake tHandshake;            // prompts of the current attempt
  TFrameSplitter tSplitter;         // frames of the running connection
  std::array<char, 64 * 1024> vReadBuffer{};  // one read
  TClientSessionState_OPT tState = CLIENT_SESSION_STATE_IDLE;  // see the diagram above
  int32_t nAttempts = 0;            // connects made so far
  uint64_t nConnId = 0;             // number of the current attempt; stale handlers compare it
  uint64_t nDeadlineId = 0;         // number of the current deadline; a re-arm makes it stale
  int64_t nReadMicros = 0;          // receive time of the read being split, µs since the epoch
  std::deque<std::string> lstCommands;  // commands waiting, CR LF appended
  bool bWriting = false;            // a command write or its gap is in progress
};

// Microseconds since the Unix epoch on the real-time clock, the clock of TelvaneSent.
int64_t RealtimeMicros();

}  // namespace cticlient
