// One measured run: the exchange simulator, a fresh copy of the relay in its own folder and the
// CTI client tool's load mode, all on loopback, started in that order and stopped together.
//
// Sequence: the simulator starts silent with the run's replay file; the relay logs in to it and
// opens its client port; the clients go through the handshake; only then does "silent off" start
// the events, so every client is subscribed before the first event leaves. The clients count the
// simulator's TelvaneSeq stamps (--expect-seq 1-N) and end when each has N frames (--count N).
// The relay's CPU time and peak memory come from /proc; full-ring drops from its log.
// With nNatsSubscribers, a nats-server starts first, the relay publishes to it, and the client
// tool's NATS mode follows the first nNatsKeys keys with that many subscribers; their loss is
// counted from frames, since each sees only its keys' share of the sequence numbers.
//
// Threads: the caller's only. Processes are polled every 50 ms.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "LoadEvents.h"
#include "LoadSupport.h"
#include "support/NatsSupport.h"
#include "support/TestNet.h"
#include "support/TestProcess.h"
#include "support/TestRelay.h"

namespace telvaneload {

struct TRigConfig {
  std::string sBinDir;                          // folder holding telvane, telvane-exchange, telvane-client
  TKeyFamily_OPT tFamily = KEY_FAMILY_QUEUE;    // which kind of event is sent
  int32_t nFirstKey = 10001;                    // first key used
  int32_t nKeys = 1000;                         // keys used, round robin
  int64_t nEvents = 0;                          // events offered; 0 for an idle run, -1 endless
  double dRate = 1000;                          // events/s; 0 = as fast as the relay reads
  int32_t nClients = 10;                        // CTI clients, each subscribed to every key
  double dGraceSeconds = 30;                    // the run is cut this long after the offer's end
  bool bKeepDir = false;                        // leave the run folder behind
  int32_t nNatsSubscribers = 0;                 // > 0: the relay also publishes to a local nats-server,
                                                //   followed by this many subscribers (client tool, --nats)
  int32_t nNatsKeys = 10;                       // the first keys, which every NATS subscriber follows
  std::string sPacing;                          // [GENERAL] PACING of the relay; empty: as shipped (PASS)
};

struct TRigResult {
  bool bOk = false;          // the run could be set up and measured
  std::string sError;        // why not, when bOk is false
  int32_t nClientsReady = 0; // clients through the handshake
  uint64_t nFrames = 0;      // frames received by all clients
  uint64_t nLost = 0;        // expected sequence numbers missing, summed over clients
  uint64_t nDuplicates = 0;  // sequence numbers received twice, summed over clients
  double dP50Ms = 0;         // latency, sent stamp to receipt
  double dP99Ms = 0;
  double dMaxMs = 0;
  double dSeconds = 0;       // from "silent off" to the last frame
  double dCpuSeconds = 0;    // relay CPU time in that window
  int64_t nPeakRssKb = 0;    // relay's VmHWM at the end
  int32_t nFullRingLines = 0;  // "FIFO FULL" lines in the relay's log
  bool bRelayAlive = false;  // the relay was still running at the end
  bool bCut = false;         // cut at the grace limit with events still undelivered
  // NATS subscribers, when the run had them (their latency from the same send stamp).
  uint64_t nNatsFrames = 0;  // frames received by all subscribers
  uint64_t nNatsLost = 0;    // frames they should have had and did not, summed over subscribers
  double dNatsP50Ms = 0;
  double dNatsP99Ms = 0;
  double dNatsMaxMs = 0;
};

class TLoadRig {
 public:
  explicit TLoadRig(TRigConfig tConfig);
  ~TLoadRig();
  TLoadRig(const TLoadRig&) = delete;
  TLoadRig& operator=(const TLoadRig&) = delete;

  // Simulator, relay and clients up, events not yet flowing; false with sError otherwise.
  bool Setup(std::string& sError);
  // Offers the events and waits until every client has them all or delivery has stalled.
  TRigResult RunEvents();
  // Leaves the relay idle for dSeconds; dCpuSeconds and dSeconds tell its CPU share.
  TRigResult RunIdle(double dSeconds);
  // Starts an endless offer and calls fnSample every nEveryMs until it returns false.
  TRigResult RunEndless(int64_t nEveryMs, const std::function<bool(double dSeconds, int64_t nRssKb)>& fnSample);

  int64_t EventsOffered() const { return nEvents; }  // after Setup: the file's events × passes
  pid_t RelayPid() { return tRelay.Process().Pid(); }

 private:
  bool StartExchange(std::string& sError);
  bool StartRelay(std::string& sError);
  bool StartClients(std::string& sError);
  bool StartNatsClients(std::string& sError);
  int64_t NatsFramesPerSubscriber() const;
  void FinishNats(TRigResult& tResult);
  std::string RelayLog() const;
  void Finish(TRigResult& tResult);

  TRigConfig tConfig;                   // as given; constant
  testsupport::TRelay tRelay;           // the relay; its folder is the run's: replay file, outputs
  testsupport::TExchangeSim tExchange;  // the simulator
  testsupport::TProcess tClients;       // the client tool in load mode
  testsupport::TNatsServer tNats;       // nats-server, when the run has NATS subscribers
  testsupport::TProcess tNatsClients;   // the client tool's NATS load mode
  int64_t nEvents = 0;    // events that the simulator will send (0 when idle, -1 endless)
  int64_t nFileEvents = 0;  // events in the replay file; nEvents / nFileEvents passes
  int nExchangePort = 0;  // simulator's port
  int nProxyPort = 0;     // relay's client port
};

}  // namespace telvaneload
