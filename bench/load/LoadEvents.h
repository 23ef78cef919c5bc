// Replay files of events whose keys the benchmark controls, and the latency floor that the
// relay's pacing sets for them.
//
// Only events the relay must deliver are written, so that every missing sequence number at a
// client is a real loss: queue events (no state logic stands between them and the clients) and
// extension status events with the value "Reachable", which the extension state logic always
// forwards (that value sets the extension's channel count to 0). Event n of a file goes to key
// first + (n mod keys), so every key gets the same share and the same per-key rate.
//
// Threads: none; pure functions over values.
#pragma once

#include <cstdint>
#include <string>

namespace telvaneload {

enum TKeyFamily_OPT : uint8_t {
  KEY_FAMILY_QUEUE,      // "Queue: 1xxxx", File: app_queue.c
  KEY_FAMILY_EXTENSION,  // "Peer: SIP/2xxxx", File: chan_sip.c, PeerStatus: Reachable
};

// How a run's events are laid out: a replay file of at most kReplayBlockTarget events, sent
// nPasses times; nEvents < 0 (endless) plans one full file.
inline constexpr int64_t kReplayBlockTarget = 50000;
struct TReplayPlan {
  int64_t nFileEvents = 0;  // events in the file
  int64_t nPasses = 0;      // passes over it
};
TReplayPlan PlanReplay(int64_t nEvents);

// nEvents blocks, LF line ends (the simulator turns them into CR LF), blank line between blocks.
std::string ReplayText(TKeyFamily_OPT tFamily, int32_t nFirstKey, int32_t nKeys, int64_t nEvents);

// Quantiles of the latency that the design's pacing alone gives an event, in milliseconds.
struct TLatencyFloor {
  double dP50 = 0;  // ms
  double dP99 = 0;  // ms
  double dMax = 0;  // ms
};

// A paced offer (dRate > 0): the stages' own rules run on the offer with no work and no delay of
// their own, from several start phases. The simulator writes each millisecond's due events
// together (one read for the relay); the splitter takes one read per turn and naps 10 ms while
// 10 reads or fewer wait, so the newest ten wait for a later turn; the global stage takes one
// event per turn and naps 100 ms while 5 or fewer wait; the per-key stage takes one event per key
// per pass and naps 100 ms after each pass. Events go to key n mod nKeys, as in the replay file.
TLatencyFloor PacedFloor(double dRate, int64_t nEvents, int32_t nKeys);

// A burst (everything offered at once; how the relay's reads cut it is not known beforehand): the
// splitter's 10 ms poll, the global stage's 100 ms sleep and the per-key stage's wait for its next
// 100 ms pass, each uniform, and, when nDepth events of one key arrive together, one more pass for
// each event queued in front of it on that key (k-th of them: k - 1 passes, k uniform in 1..nDepth).
TLatencyFloor PacingFloor(int64_t nDepth);

}  // namespace telvaneload
