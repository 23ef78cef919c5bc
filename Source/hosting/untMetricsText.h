// The metrics page and the health answer, as text: pure functions over the counters and the
// process figures, so tests can check every line without a server.
//
// The page is the Prometheus text exposition format 0.0.4: for each metric its "# HELP" and
// "# TYPE" lines, then one sample per label set; the histogram's buckets are cumulative and end
// with le="+Inf", which equals its _count. Counters are read one by one with relaxed loads, so a
// page is not a snapshot of one instant (a scrape that races an event may see its count before its
// latency); every figure is right to within the events in flight.
#pragma once

#include <string>

#include "logging/untCounters.h"
#include "platform/untProcessFigures.h"

// The content type of the page.
constexpr const char* METRICS_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// The whole page, ending with a line feed.
std::string MetricsText(const TRelayCounters& tCounters, const TProcessFigures& tProcess);

// Healthy while the relay is logged in to the exchange and its client listener is open. sReason:
// "ok", or one line saying what is missing.
struct THealth {
  bool bHealthy = false;
  std::string sReason;
};
THealth HealthOf(const TRelayCounters& tCounters);
