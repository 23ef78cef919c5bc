#include "hosting/untMetricsText.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>

#include "base/untVariables.h"
#include "base/untVersion.h"
#include "pipeline/untEventFamily.h"

namespace {

// A counter family's label: its event family's name, or "none" for the events cut for no ring.
const char* FamilyLabel(int nFamily) {
  return nFamily < EVENT_FAMILY_COUNT ? AllFamilies()[nFamily].sName : "none";
}
// A ring's label: "raw" for the exchange's ring, else its event family's name.
const char* RingLabel(int nRing) {
  return nRing == COUNTER_RING_RAW ? "raw" : AllFamilies()[nRing - CounterRingOf(EVENT_FAMILY_QUEUE)].sName;
}
const char* const DROP_LABELS[DROP_REASON_COUNT] = {"ring_full", "ring_closed", "key_out_of_range", "no_key",
                                                    "carry_over", "held_back", "over_budget", "too_large",
                                                    "stage_error"};

uint64_t Load(const std::atomic<uint64_t>& n) { return n.load(std::memory_order_relaxed); }

// Builds the page one metric at a time: Head writes HELP and TYPE, the others one sample each.
class TPage {
 public:
  void Head(const char* sName, const char* sType, const char* sHelp) {
    s += std::string("# HELP ") + sName + " " + sHelp + "\n# TYPE " + sName + " " + sType + "\n";
  }
  void Sample(const char* sName, const std::string& sLabels, uint64_t n) {
    char sValue[32];
    std::snprintf(sValue, sizeof(sValue), "%" PRIu64, n);
    Line(sName, sLabels, sValue);
  }
  void Sample(const char* sName, const std::string& sLabels, double n) {
    char sValue[40];
    // The shortest text that reads back as the same double (no 0.20411799999999999).
    const auto tResult = std::to_chars(sValue, sValue + sizeof(sValue) - 1, n);
    *tResult.ptr = '\0';
    Line(sName, sLabels, sValue);
  }
  std::string s;

 private:
  void Line(const char* sName, const std::string& sLabels, const char* sValue) {
    s += sName;
    if (!sLabels.empty()) s += "{" + sLabels + "}";
    s += std::string(" ") + sValue + "\n";
  }
};

std::string Label(const char* sName, const char* sValue) { return std::string(sName) + "=\"" + sValue + "\""; }

uint64_t Gauge(const std::atomic<int32_t>& n) {
  const int32_t nValue = n.load(std::memory_order_relaxed);
  return nValue < 0 ? 0 : static_cast<uint64_t>(nValue);
}

void ExchangeMetrics(TPage& p, const TRelayCounters& c) {
  p.Head("telvane_exchange_connected", "gauge", "1 while the relay is logged in to the exchange, else 0.");
  p.Sample("telvane_exchange_connected", "", uint64_t{c.bExchangeConnected.load(std::memory_order_relaxed)});
  p.Head("telvane_exchange_reconnects_total", "counter", "Automatic reconnections to the exchange started.");
  p.Sample("telvane_exchange_reconnects_total", "", Load(c.nExchangeReconnects));
  p.Head("telvane_exchange_bytes_total", "counter", "Bytes read from the exchange.");
  p.Sample("telvane_exchange_bytes_total", "", Load(c.nExchangeBytes));
  p.Head("telvane_exchange_reads_dropped_total", "counter",
         "Reads from the exchange refused by the full raw ring (their events are lost).");
  p.Sample("telvane_exchange_reads_dropped_total", "", Load(c.nExchangeReadsDropped));
}

void EventMetrics(TPage& p, const TRelayCounters& c) {
  p.Head("telvane_events_total", "counter",
         "Events cut by the splitter, by the ring they went to (none: no ring; an event of two rings counts in both).");
  for (int n = 0; n <= COUNTER_EVENTS_NO_FAMILY; ++n)
    p.Sample("telvane_events_total", Label("family", FamilyLabel(n)), Load(c.vEvents[n]));
  p.Head("telvane_events_dropped_total", "counter",
         "Events that reached no outlet, by reason (carry_over counts drops of the splitter's text without an event; "
         "too_large, events larger than 1 MiB).");
  for (int n = 0; n < DROP_REASON_COUNT; ++n)
    p.Sample("telvane_events_dropped_total", Label("reason", DROP_LABELS[n]), Load(c.vEventsDropped[n]));
}

void ClientMetrics(TPage& p, const TRelayCounters& c) {
  p.Head("telvane_frames_sent_total", "counter", "Event frames queued to clients (one per client per event).");
  p.Sample("telvane_frames_sent_total", "", Load(c.nFramesSent));
  p.Head("telvane_bytes_sent_total", "counter", "Bytes of event frames queued to clients.");
  p.Sample("telvane_bytes_sent_total", "", Load(c.nBytesSent));
  p.Head("telvane_clients", "gauge", "Client connections holding a slot, by state.");
  p.Sample("telvane_clients", Label("state", "running"), Gauge(c.nClientsRunning));
  p.Sample("telvane_clients", Label("state", "handshake"), Gauge(c.nClientsHandshake));
  p.Head("telvane_client_listener_open", "gauge", "1 while the client listener is open, else 0.");
  p.Sample("telvane_client_listener_open", "", uint64_t{c.bListenerOpen.load(std::memory_order_relaxed)});
  p.Head("telvane_client_cutoffs_total", "counter", "Clients cut off because their output queue passed its bound.");
  p.Sample("telvane_client_cutoffs_total", "", Load(c.nClientCutoffs));
  p.Head("telvane_handshake_failures_total", "counter", "Handshake steps refused (the client starts again).");
  p.Sample("telvane_handshake_failures_total", "", Load(c.nHandshakeFailures));
}

void RingMetrics(TPage& p, const TRelayCounters& c) {
  p.Head("telvane_ring_backlog", "gauge", "Texts waiting in the raw ring and in each global ring.");
  for (int n = 0; n < COUNTER_RING_COUNT; ++n)
    p.Sample("telvane_ring_backlog", Label("ring", RingLabel(n)), Gauge(c.vRingBacklog[n]));
  p.Head("telvane_key_backlog_max", "gauge", "Events waiting in the fullest per-key ring of each family.");
  for (int n = 0; n < EVENT_FAMILY_COUNT; ++n)
    p.Sample("telvane_key_backlog_max", Label("family", FamilyLabel(n)), Gauge(c.vKeyBacklogMax[n]));
  p.Head("telvane_log_lines_dropped_total", "counter", "Log lines refused by the full log ring.");
  p.Sample("telvane_log_lines_dropped_total", "", Load(c.nLogLinesDropped));
}

void NatsMetrics(TPage& p, const TRelayCounters& c) {
  p.Head("telvane_nats_connected", "gauge", "1 while a NATS server is connected, else 0 (also when none is configured).");
  p.Sample("telvane_nats_connected", "", uint64_t{c.bNatsConnected.load(std::memory_order_relaxed)});
  p.Head("telvane_nats_published_total", "counter", "Event frames handed to the NATS client.");
  p.Sample("telvane_nats_published_total", "", Load(c.nNatsPublished));
  p.Head("telvane_nats_dropped_total", "counter", "Event frames not published to NATS (no connection, or refused).");
  p.Sample("telvane_nats_dropped_total", "", Load(c.nNatsDropped));
}

// A constant 1 whose label tells dashboards which release each relay runs.
void BuildInfo(TPage& p) {
  p.Head("telvane_build_info", "gauge", "Always 1; the version label names the relay's release.");
  p.Sample("telvane_build_info", Label("version", TelvaneVersion()), uint64_t{1});
}

// Which pacing the stages run under ([GENERAL] PACING), as an info gauge: 1 on the mode in force.
// Fixed at start-up, before the endpoint's threads exist.
void PacingMetrics(TPage& p, TPacing_OPT tPacing) {
  p.Head("telvane_pacing", "gauge", "1 on the pacing the stages run under ([GENERAL] PACING), 0 on the other.");
  p.Sample("telvane_pacing", Label("mode", "pass"), uint64_t{tPacing == PACING_PASS});
  p.Sample("telvane_pacing", Label("mode", "event"), uint64_t{tPacing == PACING_EVENT});
}

void LatencyMetrics(TPage& p, const TLatencyHistogram& h) {
  const char* sName = "telvane_relay_latency_seconds";
  p.Head(sName, "histogram",
         "From the exchange read that completed an event to the moment its frame was queued to the clients.");
  uint64_t nCumulative = 0;
  for (size_t n = 0; n < h.vBoundsUs.size(); ++n) {
    nCumulative += Load(h.vBuckets[n]);
    char sBound[32];
    std::snprintf(sBound, sizeof(sBound), "%g", static_cast<double>(h.vBoundsUs[n]) / 1e6);
    p.Sample("telvane_relay_latency_seconds_bucket", Label("le", sBound), nCumulative);
  }
  nCumulative += Load(h.vBuckets.back());
  p.Sample("telvane_relay_latency_seconds_bucket", Label("le", "+Inf"), nCumulative);
  p.Sample("telvane_relay_latency_seconds_sum", "", static_cast<double>(Load(h.nSumUs)) / 1e6);
  p.Sample("telvane_relay_latency_seconds_count", "", nCumulative);
}

void ProcessMetrics(TPage& p, const TProcessFigures& t) {
  struct TFigure { const char* sName; const char* sType; const char* sHelp; double nValue; };
  const TFigure vFigures[] = {
      {"process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
       static_cast<double>(t.nResidentBytes)},
      {"process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", static_cast<double>(t.nVirtualBytes)},
      {"process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", t.nCpuSeconds},
      {"process_open_fds", "gauge", "Number of open file descriptors.", static_cast<double>(t.nOpenFds)},
      {"process_max_fds", "gauge", "Maximum number of open file descriptors.", static_cast<double>(t.nMaxFds)},
      {"process_start_time_seconds", "gauge", "Start time of the process since the Unix epoch in seconds.",
       t.nStartTimeSeconds},
  };
  for (const TFigure& f : vFigures) {
    if (f.nValue < 0) continue;  // not readable here
    p.Head(f.sName, f.sType, f.sHelp);
    p.Sample(f.sName, "", f.nValue);
  }
}

}  // namespace

std::string MetricsText(const TRelayCounters& tCounters, const TProcessFigures& tProcess) {
  TPage p;
  BuildInfo(p);
  ExchangeMetrics(p, tCounters);
  EventMetrics(p, tCounters);
  ClientMetrics(p, tCounters);
  RingMetrics(p, tCounters);
  NatsMetrics(p, tCounters);
  PacingMetrics(p, MyConfigInfo.tPacing);
  LatencyMetrics(p, tCounters.tRelayLatency);
  ProcessMetrics(p, tProcess);
  return p.s;
}

THealth HealthOf(const TRelayCounters& c) {
  if (!c.bPublished.load(std::memory_order_relaxed)) return {false, "starting"};
  const bool bExchange = c.bExchangeConnected.load(std::memory_order_relaxed);
  const bool bListener = c.bListenerOpen.load(std::memory_order_relaxed);
  if (bExchange && bListener) return {true, "ok"};
  std::string sReason;
  if (!bExchange) sReason = "exchange not logged in";
  if (!bListener) sReason += std::string(sReason.empty() ? "" : "; ") + "client listener not open";
  return {false, sReason};
}
