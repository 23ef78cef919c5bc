// Anchor runs and their table; see LoadAnchors.h.
#include "LoadAnchors.h"

#include <cmath>
#include <algorithm>
#include <cstdio>

#include "LoadSupport.h"

namespace telvaneload {

namespace {

std::string Fixed(double d, int nDecimals) {
  if (std::isnan(d)) return "n/a";
  char s[64];
  std::snprintf(s, sizeof s, "%.*f", nDecimals, d);
  return s;
}

std::string Cells(const std::vector<std::string>& vCells) {
  std::string sLine = "|";
  for (const std::string& sCell : vCells) sLine += " " + sCell + " |";
  return sLine + "\n";
}

// One row: what did the fan-out, readers, delivered ev/s, lost, latency, CPU, ratio, memory, notes.
std::string Row(const std::string& sName, const TRigResult& t, double dRelayCpu, std::string sNote = "") {
  if (!t.bOk) return Cells({sName, "failed: " + t.sError, "", "", "", "", "", "", ""});
  const double dEvents = t.nClientsReady > 0 ? static_cast<double>(t.nFrames) / t.nClientsReady : 0;
  const double dCpu = CpuPer100k(t);
  if (!sNote.empty()) sNote += "; ";
  if (t.nDuplicates > 0) sNote += std::to_string(t.nDuplicates) + " duplicates; ";
  if (!t.bRelayAlive) sNote += "the process died; ";
  if (t.bCut) sNote += "cut " + Fixed(t.dSeconds, 0) + " s after the start with events undelivered; ";
  if (!sNote.empty()) sNote.resize(sNote.size() - 2);
  return Cells({sName, std::to_string(t.nClientsReady), Fixed(dEvents / std::max(1e-9, t.dSeconds), 0),
                std::to_string(t.nLost),
                Fixed(t.dP50Ms, 1) + " / " + Fixed(t.dP99Ms, 1) + " / " + Fixed(t.dMaxMs, 1), Fixed(dCpu, 2),
                Fixed(dCpu > 0 ? dRelayCpu / dCpu : NAN, 2), Fixed(t.nPeakRssKb / 1024.0, 1), sNote});
}

// The readers the table's runs were set up for, from the first run that got them all.
std::string Readers(const std::vector<TRelayAnchorRow>& vRelay, const std::vector<TAnchorRow>& vRows) {
  for (const TRelayAnchorRow& r : vRelay)
    if (r.tResult.bOk) return std::to_string(r.tResult.nClientsReady);
  for (const TAnchorRow& r : vRows)
    if (r.tResult.bOk) return std::to_string(r.tResult.nClientsReady);
  return "its";
}

}  // namespace

double CpuPer100k(const TRigResult& t) {
  const double dEvents = t.nClientsReady > 0 ? static_cast<double>(t.nFrames) / t.nClientsReady : 0;
  return dEvents > 0 ? t.dCpuSeconds * 100000.0 / dEvents : NAN;
}

std::vector<TAnchorRow> RunAnchors(const TRigConfig& tConfig) {
  std::vector<TAnchorRow> vRows;
  for (const TAnchor_OPT tAnchor : {ANCHOR_NATS, ANCHOR_MQTT}) {
    if (StopRequested()) break;
    TAnchorRow tRow;
    tRow.tAnchor = tAnchor;
    std::fprintf(stderr, "telvane-load: anchor %s ...\n", AnchorName(tAnchor));
    TAnchorRig tRig(tAnchor, tConfig);
    std::string sError;
    if (tRig.Setup(sError)) {
      tRow.tResult = tRig.RunEvents();
    } else {
      tRow.tResult.sError = sError;
    }
    vRows.push_back(tRow);
  }
  return vRows;
}

std::string AnchorTable(const std::vector<TRelayAnchorRow>& vRelay, const std::vector<TAnchorRow>& vRows) {
  const double dRelayCpu = vRelay.empty() ? NAN : CpuPer100k(vRelay.front().tResult);
  const std::string sFirst = vRelay.empty() ? "relay" : "relay, " + vRelay.front().sPacing;
  std::string sText =
      "Anchors: scenario (a)'s fan-out to " + Readers(vRelay, vRows) +
      " readers through general-purpose brokers in the same run\n\n"
      "| Fan-out by | Readers | Delivered ev/s | Lost | Latency p50 / p99 / max (ms) | CPU s per 100k events "
      "| " + sFirst + " CPU / this CPU | Peak RSS (MB) | Notes |\n"
      "|---|---|---|---|---|---|---|---|---|\n";
  // A paced relay's latency is its pacing by design; what it adds above that is its own work.
  auto fnAbove = [](double dRaw, double dFloor) { return Fixed(std::max(0.0, dRaw - dFloor), 1); };
  for (const TRelayAnchorRow& r : vRelay) {
    const bool bPaced = r.sPacing != "EVENT";
    const TRigResult& t = r.tResult;
    sText += Row("relay, PACING=" + r.sPacing + " (scenario (a))", t, dRelayCpu,
                 bPaced ? "batches over 100 ms passes; above its pacing floor: " + fnAbove(t.dP50Ms, r.tFloor.dP50) +
                              " / " + fnAbove(t.dP99Ms, r.tFloor.dP99) + " / " + fnAbove(t.dMaxMs, r.tFloor.dMax) + " ms"
                        : "hands each event on as it arrives, one write per event per reader, as the brokers");
  }
  for (const TAnchorRow& tRow : vRows)
    sText += Row(std::string(AnchorName(tRow.tAnchor)) + (tRow.tAnchor == ANCHOR_NATS ? " (core NATS)" : " (MQTT, QoS 0)"),
                 tRow.tResult, dRelayCpu);
  sText +=
      "\nThe same replay file, stamps, rate and readers as (a): each event goes to the subject or topic of its key "
      "(telvane.queue.<n>, telvane/queue/<n>) and every reader, on a connection of its own, follows all keys with one "
      "wildcard. CPU: the process's user + system time from /proc over the run (the relay's or the broker's; never the "
      "publisher's or the simulator's), per 100,000 events delivered to every reader. The relay under PACING=EVENT "
      "delivers at once, as the brokers do, and is the row to set against them; under PASS it batches each key's "
      "events over 100 ms passes (about 100 to 200 ms of latency by design; its note gives what it adds above that), "
      "so its latency does not compare with a broker's and its CPU is that of a batching relay.\n";
  return sText;
}

}  // namespace telvaneload
