#include "hosting/untMetricsText.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/untVariables.h"
#include "base/untVersion.h"

namespace {

// Every sample line of a page, keyed by "name{labels}".
std::map<std::string, std::string> Samples(const std::string& sPage) {
  std::map<std::string, std::string> vSamples;
  std::istringstream s(sPage);
  std::string sLine;
  while (std::getline(s, sLine)) {
    if (sLine.empty() || sLine[0] == '#') continue;
    const size_t nBlank = sLine.rfind(' ');
    vSamples[sLine.substr(0, nBlank)] = sLine.substr(nBlank + 1);
  }
  return vSamples;
}

// Counters on the heap: the relay's own record is left alone.
std::unique_ptr<TRelayCounters> Counters() { return std::make_unique<TRelayCounters>(); }

TEST(MetricsText, EveryMetricHasItsHelpAndTypeBeforeItsFirstSampleAndOnlyOnce) {
  auto c = Counters();
  TProcessFigures tProcess;
  tProcess.nResidentBytes = 1 << 20;
  tProcess.nCpuSeconds = 1.5;
  tProcess.nOpenFds = 9;
  tProcess.nStartTimeSeconds = 1.7e9;
  std::istringstream s(MetricsText(*c, tProcess));
  std::set<std::string> vHelp, vType, vSampled;
  std::string sLine;
  while (std::getline(s, sLine)) {
    ASSERT_FALSE(sLine.empty());
    std::istringstream sWords(sLine);
    std::string sFirst, sName;
    sWords >> sFirst;
    if (sFirst == "#") {
      std::string sKind;
      sWords >> sKind >> sName;
      std::set<std::string>& v = sKind == "HELP" ? vHelp : vType;
      EXPECT_TRUE(v.insert(sName).second) << "second " << sKind << " for " << sName;
      EXPECT_EQ(vSampled.count(sName), 0u) << sKind << " after the samples of " << sName;
      continue;
    }
    sName = sFirst.substr(0, sFirst.find('{'));
    for (const char* sSuffix : {"_bucket", "_sum", "_count"}) {
      const std::string sBase = sName.substr(0, sName.size() - std::string(sSuffix).size());
      if (sName.ends_with(sSuffix) && vType.count(sBase)) sName = sBase;
    }
    EXPECT_TRUE(vHelp.count(sName) && vType.count(sName)) << "sample without HELP/TYPE: " << sLine;
    vSampled.insert(sName);
  }
  for (const char* sName :
       {"telvane_exchange_connected", "telvane_exchange_reconnects_total", "telvane_exchange_bytes_total",
        "telvane_events_total", "telvane_events_dropped_total", "telvane_frames_sent_total", "telvane_bytes_sent_total",
        "telvane_clients", "telvane_client_cutoffs_total", "telvane_handshake_failures_total", "telvane_ring_backlog",
        "telvane_key_backlog_max", "telvane_log_lines_dropped_total", "telvane_relay_latency_seconds",
        "telvane_nats_connected", "telvane_nats_published_total", "telvane_nats_dropped_total", "telvane_build_info",
        "process_resident_memory_bytes", "process_cpu_seconds_total", "process_open_fds", "process_start_time_seconds"})
    EXPECT_TRUE(vSampled.count(sName)) << sName;
  // A figure that could not be read is left out, not shown as -1.
  EXPECT_EQ(vSampled.count("process_virtual_memory_bytes"), 0u);
}

TEST(MetricsText, LabelledSamplesCarryEachCounterUnderItsOwnLabel) {
  auto c = Counters();
  c->vEvents[EVENT_FAMILY_PEER] = 7;
  c->vEvents[COUNTER_EVENTS_NO_FAMILY] = 2;
  c->vEventsDropped[DROP_REASON_HELD_BACK] = 3;
  c->vEventsDropped[DROP_REASON_KEY_OUT_OF_RANGE] = 4;
  c->nClientsRunning = 5;
  c->nClientsHandshake = 1;
  c->vRingBacklog[COUNTER_RING_RAW] = 12;
  c->vKeyBacklogMax[EVENT_FAMILY_FEATUREPARK] = 6;
  const auto v = Samples(MetricsText(*c, TProcessFigures()));
  struct Case { const char* sSample; const char* sValue; };
  const Case vCases[] = {
      {"telvane_events_total{family=\"extension\"}", "7"},
      {"telvane_events_total{family=\"queue\"}", "0"},
      {"telvane_events_total{family=\"none\"}", "2"},
      {"telvane_events_dropped_total{reason=\"held_back\"}", "3"},
      {"telvane_events_dropped_total{reason=\"key_out_of_range\"}", "4"},
      {"telvane_events_dropped_total{reason=\"ring_full\"}", "0"},
      {"telvane_clients{state=\"running\"}", "5"},
      {"telvane_clients{state=\"handshake\"}", "1"},
      {"telvane_ring_backlog{ring=\"raw\"}", "12"},
      {"telvane_key_backlog_max{family=\"parking\"}", "6"},
  };
  for (const Case& t : vCases) {
    ASSERT_TRUE(v.count(t.sSample)) << t.sSample;
    EXPECT_EQ(v.at(t.sSample), t.sValue) << t.sSample;
  }
}

// Each NATS figure under its own name (a swapped pair would pass a test with equal values), and the
// release as a label on a constant 1.
TEST(MetricsText, NatsFiguresAndTheBuildLabelShowTheirOwnValues) {
  struct Case { bool bConnected; uint64_t nPublished; uint64_t nDropped; };
  for (const Case& t : {Case{true, 11, 4}, Case{false, 0, 9}}) {
    auto c = Counters();
    c->bNatsConnected = t.bConnected;
    c->nNatsPublished = t.nPublished;
    c->nNatsDropped = t.nDropped;
    const auto v = Samples(MetricsText(*c, TProcessFigures()));
    EXPECT_EQ(v.at("telvane_nats_connected"), t.bConnected ? "1" : "0");
    EXPECT_EQ(v.at("telvane_nats_published_total"), std::to_string(t.nPublished));
    EXPECT_EQ(v.at("telvane_nats_dropped_total"), std::to_string(t.nDropped));
    EXPECT_EQ(v.at("telvane_build_info{version=\"" + std::string(TelvaneVersion()) + "\"}"), "1");
  }
}

TEST(MetricsText, PacingInForceIsTheOneModeSetToOne) {
  auto c = Counters();
  for (TPacing_OPT tPacing : {PACING_PASS, PACING_EVENT}) {
    MyConfigInfo.tPacing = tPacing;
    const auto v = Samples(MetricsText(*c, TProcessFigures()));
    const bool bEvent = tPacing == PACING_EVENT;
    EXPECT_EQ(v.at("telvane_pacing{mode=\"event\"}"), bEvent ? "1" : "0");
    EXPECT_EQ(v.at("telvane_pacing{mode=\"pass\"}"), bEvent ? "0" : "1");
  }
  MyConfigInfo.tPacing = PACING_PASS;
}

TEST(MetricsText, HistogramBucketsAreCumulativeAndBoundsInclusive) {
  auto c = Counters();
  // (observation in microseconds): 5 ms lands in le="0.005"; just above it in the next bucket;
  // beyond every bound only in +Inf; a negative one (clocks of two threads) counts as 0.
  for (int64_t nUs : {int64_t{5'000}, int64_t{5'001}, int64_t{100'000}, int64_t{20'000'000}, int64_t{-3}})
    c->tRelayLatency.Observe(nUs);
  const auto v = Samples(MetricsText(*c, TProcessFigures()));
  struct Case { const char* sLe; const char* sCount; };
  const Case vCases[] = {{"0.005", "2"}, {"0.01", "3"}, {"0.05", "3"}, {"0.1", "4"}, {"10", "4"}, {"+Inf", "5"}};
  for (const Case& t : vCases)
    EXPECT_EQ(v.at(std::string("telvane_relay_latency_seconds_bucket{le=\"") + t.sLe + "\"}"), t.sCount) << t.sLe;
  EXPECT_EQ(v.at("telvane_relay_latency_seconds_count"), "5");
  EXPECT_DOUBLE_EQ(std::stod(v.at("telvane_relay_latency_seconds_sum")), 20.110001);
}

TEST(MetricsText, HealthNeedsTheExchangeLoggedInAndTheListenerOpen) {
  struct Case { bool bPublished, bExchange, bListener, bHealthy; const char* sReason; };
  const Case vCases[] = {
      {false, true, true, false, "starting"},
      {true, true, true, true, "ok"},
      {true, false, true, false, "exchange not logged in"},
      {true, true, false, false, "client listener not open"},
      {true, false, false, false, "exchange not logged in; client listener not open"},
  };
  for (const Case& t : vCases) {
    auto c = Counters();
    c->bPublished = t.bPublished;
    c->bExchangeConnected = t.bExchange;
    c->bListenerOpen = t.bListener;
    const THealth tHealth = HealthOf(*c);
    EXPECT_EQ(tHealth.bHealthy, t.bHealthy) << t.sReason;
    EXPECT_EQ(tHealth.sReason, t.sReason);
  }
}

}  // namespace
