// Operating counters: what the relay has done so far, kept for the metrics endpoint.
//
// Every field is a relaxed atomic. The hot path only adds (fetch_add) or stores; no lock is taken,
// nothing allocates, and a counter never orders anything else, so reading one is a plain load
// that may be a moment old. Counters only grow (64 bits do not wrap in the life of a relay);
// gauges are stored once a second by the control thread, which alone can read the client slots,
// the exchange state and the listener without a lock. The HTTP side (civetweb's threads) reads
// these fields and nothing else of the relay.
//
// Families are counted by their numbers (base/untFamilyId.h); reasons and the published rings are
// numbered here, because this layer sits below every layer that counts.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "base/untFamilyId.h"

// The entry of vEvents after the families': events the splitter sent to no ring (no known "File: "
// line).
constexpr int COUNTER_EVENTS_NO_FAMILY = EVENT_FAMILY_COUNT;

// Why an event never reached the outlets.
enum TDropReason_OPT : int {
  DROP_REASON_RING_FULL = 0,      // refused by a full global or per-key ring
  DROP_REASON_RING_CLOSED,        // refused by a ring that is not open (a range's unserved last key)
  DROP_REASON_KEY_OUT_OF_RANGE,   // its key lies outside the family's table
  DROP_REASON_NO_KEY,             // no key could be read from it
  DROP_REASON_CARRY_OVER,         // the splitter's text without "Event:" passed its bound (one per drop)
  DROP_REASON_HELD_BACK,          // held back by the extension's state
  DROP_REASON_OVER_BUDGET,        // the queued texts would have passed [GENERAL] MAXQUEUEDMB
  DROP_REASON_TOO_LARGE,          // the event passed the splitter's largest event (whole or unfinished)
  DROP_REASON_STAGE_ERROR,        // a global stage failed to push it (out of memory, say)
  DROP_REASON_COUNT
};

// Rings whose backlog is published: the raw ring, then the global ring of each family in the
// order of their numbers (CounterRingOf).
enum TCounterRing_OPT : int {
  COUNTER_RING_RAW = 0,
  COUNTER_RING_COUNT = COUNTER_RING_RAW + 1 + EVENT_FAMILY_COUNT
};
constexpr int CounterRingOf(TEventFamily_OPT tFamily) { return COUNTER_RING_RAW + 1 + tFamily; }

// The relay's latency, in fixed buckets chosen around the stages' 100 ms pacing. Observe costs two
// or three relaxed adds; the buckets are kept per bucket (not cumulative) so one add suffices, and
// the reader sums them up.
struct TLatencyHistogram {
  static constexpr std::array<int64_t, 15> vBoundsUs = {5'000,   10'000,  25'000,  50'000,    100'000,
                                                       150'000, 200'000, 250'000, 300'000,   500'000,
                                                       750'000, 1'000'000, 2'500'000, 5'000'000, 10'000'000};
  std::array<std::atomic<uint64_t>, vBoundsUs.size() + 1> vBuckets{};  // last: above every bound
  std::atomic<uint64_t> nSumUs{0};                                       // sum of every observation

  void Observe(int64_t nMicroseconds) {
    if (nMicroseconds < 0) nMicroseconds = 0;  // clocks of two threads; never report a negative
    size_t n = 0;
    while (n < vBoundsUs.size() && nMicroseconds > vBoundsUs[n]) ++n;
    vBuckets[n].fetch_add(1, std::memory_order_relaxed);
    nSumUs.fetch_add(static_cast<uint64_t>(nMicroseconds), std::memory_order_relaxed);
  }
};

struct TRelayCounters {
  // ---- Counters; any thread adds ----
  std::atomic<uint64_t> nExchangeReconnects{0};  // automatic reconnections started; control thread
  std::atomic<uint64_t> nExchangeBytes{0};       // bytes read from the exchange; control thread
  std::atomic<uint64_t> nExchangeReadsDropped{0};  // reads refused by the full raw ring or the budget; control thread
  std::array<std::atomic<uint64_t>, EVENT_FAMILY_COUNT + 1> vEvents{};    // events cut, by family, then
                                                                          // COUNTER_EVENTS_NO_FAMILY; splitter
  std::array<std::atomic<uint64_t>, DROP_REASON_COUNT> vEventsDropped{};  // by reason; stages
  std::atomic<uint64_t> nFramesSent{0};          // frames queued to clients; control thread
  std::atomic<uint64_t> nBytesSent{0};           // their bytes; control thread
  std::atomic<uint64_t> nClientCutoffs{0};       // clients cut off for not reading; control thread
  std::atomic<uint64_t> nHandshakeFailures{0};   // handshake steps refused; control thread
  std::atomic<uint64_t> nLogLinesDropped{0};     // log lines refused by the full log ring; any thread
  std::atomic<uint64_t> nNatsPublished{0};       // frames handed to the NATS client; stage threads
  std::atomic<uint64_t> nNatsDropped{0};         // frames not published to NATS; stage threads
  TLatencyHistogram tRelayLatency;               // exchange read to client write; per-key stages

  // ---- Status; stored by the NATS client's callback thread when the connection changes ----
  std::atomic<bool> bNatsConnected{false};       // a NATS server is connected (false when none is configured)

  // ---- Gauges; stored once a second by the control thread while metrics are served ----
  std::atomic<bool> bPublished{false};           // the gauges below have been stored at least once
  std::atomic<bool> bExchangeConnected{false};   // logged in to the exchange
  std::atomic<bool> bListenerOpen{false};        // the client listener is open
  std::atomic<int32_t> nClientsRunning{0};       // client slots past the handshake
  std::atomic<int32_t> nClientsHandshake{0};     // client slots inside the handshake
  std::array<std::atomic<int32_t>, COUNTER_RING_COUNT> vRingBacklog{};          // texts waiting
  std::array<std::atomic<int32_t>, EVENT_FAMILY_COUNT> vKeyBacklogMax{};        // largest per-key backlog
};

// The one set of counters; lives for the whole process (trivially destructible, never freed).
inline TRelayCounters MyCounters;

inline void CountUp(std::atomic<uint64_t>& nCounter, uint64_t nBy = 1) {
  nCounter.fetch_add(nBy, std::memory_order_relaxed);
}

// The clock the latency is measured with: monotonic, microseconds, the same on every thread.
inline int64_t MonotonicMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
