// The benchmark's anchors: scenario (a)'s fan-out (the same events, rate, keys and readers) run
// through nats-server and mosquitto in the same benchmark run as the relay, and the table that
// sets their CPU, latency and loss beside the relay's, with the ratio of the relay's CPU to each
// broker's. bench/README.md says what is published and how each figure is counted.
//
// Threads: the caller's only.
#pragma once

#include <string>
#include <vector>

#include "AnchorRig.h"
#include "LoadEvents.h"
#include "LoadRig.h"

namespace telvaneload {

struct TAnchorRow {
  TAnchor_OPT tAnchor = ANCHOR_NATS;  // which broker
  TRigResult tResult;                 // what was measured; the CPU and memory are the broker's
};

// CPU seconds per 100,000 events delivered to every reader: the process's CPU over the run's
// window divided by the events each reader got on average. The relay's column and the anchors'
// are both this.
double CpuPer100k(const TRigResult& t);

// One run per broker with tConfig (scenario (a)'s); a broker that cannot be started gives a row
// with its error.
std::vector<TAnchorRow> RunAnchors(const TRigConfig& tConfig);

// One relay row of (a) for the anchors' table: its pacing and, for PASS, (a)'s pacing floor.
struct TRelayAnchorRow {
  std::string sPacing;   // "EVENT" or "PASS"
  TRigResult tResult;    // the relay's run of (a) under that pacing
  TLatencyFloor tFloor;  // what that pacing alone gives an event (all zero for EVENT)
};

// The Markdown table with the relay's rows of (a) first, EVENT before PASS (a PASS row also gives
// its latency above its floor), the brokers after them with the ratio of the first relay row's CPU
// to theirs, and the lines explaining it.
std::string AnchorTable(const std::vector<TRelayAnchorRow>& vRelay, const std::vector<TAnchorRow>& vRows);

}  // namespace telvaneload
