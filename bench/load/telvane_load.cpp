// telvane-load: end-to-end load benchmark of the relay. Runs the exchange simulator, the relay and
// the CTI client tool's load mode on loopback, once per scenario with a fresh relay, and prints
// one Markdown table (see bench/README.md for what each column means):
//   (a) 1,000 events/s over 1,000 queues to 100 clients subscribed to everything;
//   (b) the highest rate sustained without loss over 5,000 extensions to 10 clients, found by
//       doubling the rate from 2,000 events/s until a trial fails, then halving the interval;
//   (c) a burst of 50,000 events sent as fast as the relay reads them (1,000 queues, 10 clients);
//   (d) 60 s idle, exchange connected, 10 clients: CPU share of one core;
//   (e) (a) with 10 clients, with and without the relay publishing to a local nats-server that
//       1,000 subscribers follow: their loss and latency, and what publishing costs the relay;
//   (f) the anchors: (a)'s fan-out through nats-server and mosquitto in the same run, in a second
//       table beside the relay's (a) (which runs for it when (a) is not among the scenarios); then
//       the same again, relay and brokers, with 20 readers, in a third table.
// Each scenario runs under each pacing asked for (--pacing event|pass|both, default both), the two
// runs of a scenario one after the other so that the machine's load touches both alike.
// --quick runs a short smoke version of each; --soak [MIN] runs only the memory soak.
//
// Threads: one. Exit status 0 when every scenario could be set up and measured, 1 otherwise,
// 2 for a bad command line; the soak also returns 1 when its memory check fails.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "LoadAnchors.h"
#include "LoadEvents.h"
#include "LoadRig.h"
#include "LoadSupport.h"

namespace telvaneload {
namespace {

struct TLoadOptions {
  bool bQuick = false;            // short smoke run
  std::string sOnly = "abcdef";   // scenarios to run
  int64_t nSoakMinutes = 0;       // > 0: run the soak only
  std::string sBinDir;            // where the three programs are
  bool bKeep = false;             // keep every run folder
  std::vector<std::string> vPacings = {"EVENT", "PASS"};  // [GENERAL] PACING of the runs, in run order
  std::string sPacing;            // the pacing of the scenario being run
};

struct TRow {
  std::string sLabel;           // scenario, as printed
  TRigResult tResult;           // what was measured
  double dOffered = 0;          // events/s offered; 0 when not applicable
  int64_t nEvents = 0;          // events offered
  int64_t nDepth = 1;           // events per key arriving together (burst), for the floor
  int32_t nKeys = 0;            // keys the events go to, round robin
  std::string sNote;            // extra text for the last column
  std::string sPacing;          // the relay's [GENERAL] PACING
};

std::string Fixed(double d, int nDecimals) {
  if (std::isnan(d)) return "n/a";
  char s[64];
  std::snprintf(s, sizeof s, "%.*f", nDecimals, d);
  return s;
}

double DeliveredPerSecond(const TRigResult& t) {
  if (t.nClientsReady <= 0 || t.dSeconds <= 0) return 0;
  return static_cast<double>(t.nFrames) / t.nClientsReady / t.dSeconds;
}

TRigConfig BaseConfig(const TLoadOptions& tOptions) {
  TRigConfig tConfig;
  tConfig.sBinDir = tOptions.sBinDir;
  tConfig.bKeepDir = tOptions.bKeep;
  tConfig.sPacing = tOptions.sPacing;
  return tConfig;
}

TRow Measure(const TRigConfig& tConfig, const std::string& sLabel) {
  TRow tRow;
  tRow.sLabel = sLabel;
  tRow.sPacing = tConfig.sPacing;
  TLoadRig tRig(tConfig);
  std::string sError;
  std::fprintf(stderr, "telvane-load: %s ...\n", sLabel.c_str());
  if (!tRig.Setup(sError)) {
    tRow.tResult.sError = sError;
    return tRow;
  }
  tRow.nEvents = tRig.EventsOffered();
  tRow.tResult = tRig.RunEvents();
  tRow.dOffered = tConfig.dRate;
  tRow.nKeys = tConfig.nKeys;
  return tRow;
}

// Sustained: nothing lost, nothing dropped by a full ring, and no backlog built up: p99 within a
// second, and the last event delivered within 2 s of the end of the offer (a relay that reads too
// slowly holds the simulator back, which stretches the offer instead of the latency).
bool Sustained(const TRow& tRow) {
  const TRigResult& t = tRow.tResult;
  const double dNominal = static_cast<double>(tRow.nEvents) / std::max(1.0, tRow.dOffered);
  return t.bOk && t.bRelayAlive && t.nLost == 0 && t.nDuplicates == 0 && t.nFullRingLines == 0 &&
         t.dP99Ms <= 1000 && t.dSeconds <= dNominal + 2;
}

// (a), and the anchors' runs of the same fan-out (100 readers, and 20).
TRigConfig ConfigA(const TLoadOptions& tOptions, int nReaders = 100) {
  TRigConfig tConfig = BaseConfig(tOptions);
  tConfig.nClients = nReaders;
  tConfig.dRate = 1000;
  tConfig.nEvents = tOptions.bQuick ? 10000 : 60000;
  return tConfig;
}

TRow ScenarioA(const TLoadOptions& tOptions) { return Measure(ConfigA(tOptions), "(a) 1,000 ev/s, 1,000 queues, 100 clients"); }

TRow ScenarioB(const TLoadOptions& tOptions) {
  TRigConfig tConfig = BaseConfig(tOptions);
  tConfig.tFamily = KEY_FAMILY_EXTENSION;
  tConfig.nFirstKey = 20001;
  tConfig.nKeys = 5000;
  tConfig.nClients = 10;
  tConfig.dGraceSeconds = 5;  // a trial that needs longer has failed anyway
  const double dTrialSeconds = tOptions.bQuick ? 5 : 20;
  const int nMaxTrials = tOptions.bQuick ? 3 : 9;
  double dLow = 0, dHigh = 0, dRate = 2000;
  TRow tBest, tFailed;
  for (int nTrial = 0; nTrial < nMaxTrials && (dHigh == 0 || dHigh / dLow > 1.1) && !StopRequested(); ++nTrial) {
    tConfig.dRate = dRate;
    tConfig.nEvents = static_cast<int64_t>(dRate * dTrialSeconds);
    TRow tRow = Measure(tConfig, "(b) trial " + Fixed(dRate, 0) + " ev/s");
    const bool bPass = Sustained(tRow);
    std::fprintf(stderr, "telvane-load:   %s: delivered %.0f ev/s in %.1f s%s, lost %llu, full-ring lines %d, "
                 "p99 %.0f ms\n", bPass ? "sustained" : "not sustained", DeliveredPerSecond(tRow.tResult),
                 tRow.tResult.dSeconds, tRow.tResult.bCut ? " (cut)" : "",
                 static_cast<unsigned long long>(tRow.tResult.nLost), tRow.tResult.nFullRingLines,
                 tRow.tResult.dP99Ms);
    if (bPass) {
      dLow = dRate;
      tBest = tRow;
    } else {
      dHigh = dRate;
      tFailed = tRow;
    }
    if (!tRow.tResult.bOk && !bPass && dLow == 0) break;  // cannot even run: no search
    dRate = dHigh == 0 ? dRate * 2 : std::round((dLow + dHigh) / 2 / 50) * 50;
    if (dLow > 0 && dHigh > 0 && (dRate <= dLow || dRate >= dHigh)) break;
  }
  TRow tRow = dLow > 0 ? tBest : tFailed;
  tRow.sLabel = "(b) highest sustained rate, 5,000 extensions, 10 clients";
  tRow.sNote = dLow > 0 ? (dHigh > 0 ? "next trial, " + Fixed(dHigh, 0) + " ev/s, was not sustained"
                                     : "every trial sustained; the search stopped at its trial limit")
                        : "no trial was sustained (lowest tried " + Fixed(tConfig.dRate, 0) + " ev/s)";
  return tRow;
}

TRow ScenarioC(const TLoadOptions& tOptions) {
  TRigConfig tConfig = BaseConfig(tOptions);
  tConfig.nClients = 10;
  tConfig.dRate = 0;
  tConfig.dGraceSeconds = 60;
  tConfig.nEvents = tOptions.bQuick ? 10000 : 50000;
  TRow tRow = Measure(tConfig, std::string("(c) burst of ") + (tOptions.bQuick ? "10,000" : "50,000") +
                                   " events, 1,000 queues, 10 clients");
  // Only what reaches the clients queues up on its key: the floor counts the events delivered.
  const TRigResult& t = tRow.tResult;
  const int64_t nDelivered = t.nClientsReady > 0 ? static_cast<int64_t>(t.nFrames / t.nClientsReady) : 0;
  tRow.nDepth = (nDelivered + tConfig.nKeys - 1) / tConfig.nKeys;
  tRow.sNote = "sent as fast as the relay reads, " + std::to_string(tRow.nEvents / tConfig.nKeys) +
               " per queue; " + std::to_string(nDelivered) + " delivered, at most " + std::to_string(tRow.nDepth) +
               " per queue";
  return tRow;
}

TRow ScenarioD(const TLoadOptions& tOptions) {
  TRigConfig tConfig = BaseConfig(tOptions);
  tConfig.nClients = 10;
  tConfig.nEvents = 0;
  const double dSeconds = tOptions.bQuick ? 10 : 60;
  TRow tRow;
  tRow.sLabel = "(d) idle " + Fixed(dSeconds, 0) + " s, exchange connected, 10 clients";
  tRow.sPacing = tConfig.sPacing;
  std::fprintf(stderr, "telvane-load: %s ...\n", tRow.sLabel.c_str());
  TLoadRig tRig(tConfig);
  std::string sError;
  if (!tRig.Setup(sError)) {
    tRow.tResult.sError = sError;
    return tRow;
  }
  tRow.tResult = tRig.RunIdle(dSeconds);
  tRow.tResult.bOk = tRow.tResult.bRelayAlive;
  const double dPercent = 100.0 * tRow.tResult.dCpuSeconds / std::max(1e-9, tRow.tResult.dSeconds);
  tRow.sNote = "CPU " + Fixed(dPercent, 2) + " % of one core";
  return tRow;
}

std::string Triple(double dA, double dB, double dC);

// (e) The run of (a) with 10 clients, without NATS and with the relay also publishing to a local
// nats-server that 1,000 subscribers follow (each the first 10 queues: 10,000 frames/s out of
// NATS), alternated round by round so that a change in the machine's load touches both alike.
TRow ScenarioE(const TLoadOptions& tOptions) {
  TRigConfig tConfig = BaseConfig(tOptions);
  tConfig.nClients = 10;
  tConfig.dRate = 1000;
  tConfig.nEvents = tOptions.bQuick ? 10000 : 60000;
  tConfig.nNatsKeys = 10;
  const int nRounds = tOptions.bQuick ? 1 : 2;
  double dPlain = 0, dNats = 0;
  std::string sRounds;
  TRow tRow;
  for (int n = 0; n < nRounds && !StopRequested(); ++n) {
    tConfig.nNatsSubscribers = 0;
    const TRow tPlain = Measure(tConfig, "(e) round " + std::to_string(n + 1) + " without NATS");
    tConfig.nNatsSubscribers = 1000;
    tRow = Measure(tConfig, "(e) round " + std::to_string(n + 1) + " with NATS");
    if (!tPlain.tResult.bOk) tRow.tResult = tPlain.tResult;
    if (!tPlain.tResult.bOk || !tRow.tResult.bOk) break;
    dPlain += CpuPer100k(tPlain.tResult) / nRounds;
    dNats += CpuPer100k(tRow.tResult) / nRounds;
    sRounds += (sRounds.empty() ? "" : ", ") + Fixed(CpuPer100k(tPlain.tResult), 2) + " / " +
               Fixed(CpuPer100k(tRow.tResult), 2);
  }
  const TRigResult& t = tRow.tResult;
  tRow.sLabel = "(e) as (a) with 10 clients, also publishing to NATS: 1,000 subscribers of 10 queues each";
  tRow.sNote = "NATS subscribers: " + std::to_string(t.nNatsFrames) + " frames, " + std::to_string(t.nNatsLost) +
               " lost, " + Triple(t.dNatsP50Ms, t.dNatsP99Ms, t.dNatsMaxMs) +
               " ms; relay CPU s per 100k events without / with NATS: " + Fixed(dPlain, 2) + " / " + Fixed(dNats, 2) +
               " (" + (dNats >= dPlain ? "+" : "") + Fixed(100.0 * (dNats - dPlain) / std::max(1e-9, dPlain), 1) +
               " %; rounds " + sRounds + ")";
  return tRow;
}

// "a / b / c" of three millisecond values.
std::string Triple(double dA, double dB, double dC) {
  return Fixed(dA, 0) + " / " + Fixed(dB, 0) + " / " + Fixed(dC, 0);
}

std::string Cells(const std::vector<std::string>& vCells) {
  std::string sLine = "|";
  for (const std::string& sCell : vCells) sLine += " " + sCell + " |";
  return sLine + "\n";
}

// A paced row's floor follows the stages' rules over its offer; a burst's, the uniform model. Under
// EVENT pacing nothing waits by design: the floor is zero.
TLatencyFloor RowFloor(const TRow& tRow) {
  if (tRow.sPacing == "EVENT") return {};
  return tRow.dOffered > 0 ? PacedFloor(tRow.dOffered, tRow.nEvents, tRow.nKeys) : PacingFloor(tRow.nDepth);
}

std::string TableRow(TRow tRow) {
  tRow.sLabel += " [" + tRow.sPacing + "]";
  const TRigResult& t = tRow.tResult;
  if (!t.bOk && !t.sError.empty())
    return Cells({tRow.sLabel, "failed: " + t.sError, "", "", "", "", "", "", "", ""});
  std::string sNote = tRow.sNote;
  auto fnAddNote = [&](const std::string& sMore) { sNote += (sNote.empty() ? "" : "; ") + sMore; };
  if (t.nFullRingLines > 0) fnAddNote(std::to_string(t.nFullRingLines) + " full-ring drops logged");
  if (!t.bRelayAlive) fnAddNote("the relay died");
  if (t.bCut) fnAddNote("cut " + Fixed(t.dSeconds, 0) + " s after the start with events undelivered (counted as lost)");
  const std::string sRss = Fixed(t.nPeakRssKb / 1024.0, 1);
  if (tRow.dOffered == 0 && tRow.nEvents == 0)  // the idle row
    return Cells({tRow.sLabel, "0", "0", "0", "0", "-", "-", "-", sRss, sNote});
  const TLatencyFloor tFloor = RowFloor(tRow);
  fnAddNote("floor " + Triple(tFloor.dP50, tFloor.dP99, tFloor.dMax) + " ms");
  auto fnAbove = [](double dRaw, double dFloor) { return std::max(0.0, dRaw - dFloor); };
  const double dFramesPerSecond = static_cast<double>(t.nFrames) / std::max(1e-9, t.dSeconds);
  return Cells({tRow.sLabel, tRow.dOffered > 0 ? Fixed(tRow.dOffered, 0) : "all at once",
                Fixed(DeliveredPerSecond(t), 0), Fixed(dFramesPerSecond, 0), std::to_string(t.nLost),
                Triple(t.dP50Ms, t.dP99Ms, t.dMaxMs),
                Triple(fnAbove(t.dP50Ms, tFloor.dP50), fnAbove(t.dP99Ms, tFloor.dP99), fnAbove(t.dMaxMs, tFloor.dMax)),
                Fixed(CpuPer100k(t), 2), sRss, sNote});
}

std::string MachineLine() {
  std::string sModel = "unknown CPU";
  const std::string sInfo = ReadFile("/proc/cpuinfo");
  const size_t nAt = sInfo.find("model name");
  if (nAt != std::string::npos) {
    const size_t nColon = sInfo.find(':', nAt), nEnd = sInfo.find('\n', nAt);
    sModel = sInfo.substr(nColon + 2, nEnd - nColon - 2);
  }
  char sDate[32];
  const std::time_t t = std::time(nullptr);
  std::strftime(sDate, sizeof sDate, "%Y-%m-%d %H:%M", std::localtime(&t));
  return std::string(sDate) + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores (" + sModel + ")";
}

// The 1-minute load average: the machine may be shared, and the figures show it.
std::string LoadAverage() {
  const std::string s = ReadFile("/proc/loadavg");
  return s.substr(0, s.find(' '));
}

void PrintTable(const std::vector<TRow>& vRows, const TLoadOptions& tOptions, const std::string& sLoadBefore) {
  std::printf("Telvane load benchmark%s, %s, load average %s before and %s after\n\n",
              tOptions.bQuick ? " (quick)" : "", MachineLine().c_str(), sLoadBefore.c_str(), LoadAverage().c_str());
  std::printf("| Scenario | Offered ev/s | Delivered ev/s | Frames/s to clients | Lost | Latency p50 / p99 / max (ms) "
              "| Above floor p50 / p99 / max (ms) | Relay CPU s per 100k events | Relay peak RSS (MB) | Notes |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  for (const TRow& tRow : vRows) std::fputs(TableRow(tRow).c_str(), stdout);
  std::printf("\nLost: expected sequence numbers missing at the clients, summed over clients. Every event sent "
              "must be delivered: queue events, and extension status events that the extension logic always "
              "forwards. Latency: simulator's send stamp to the client's receipt. Floor: what the pacing alone "
              "gives: for a paced row the stages' rules run on its offer with no work of their own (splitter "
              "naps 10 ms while 10 reads or fewer wait, global stage 100 ms while 5 events or fewer wait, "
              "per-key pass every 100 ms; zero under EVENT); for a burst each stage's wait taken as uniform, plus one pass per "
              "event queued ahead on its key. CPU per 100k events counts the fan-out to every client.\n");
  std::fflush(stdout);
}

int RunSoak(const TLoadOptions& tOptions) {
  TRigConfig tConfig = BaseConfig(tOptions);
  tConfig.nClients = 100;
  tConfig.dRate = 1000;
  tConfig.nEvents = -1;
  TLoadRig tRig(tConfig);
  std::string sError;
  if (!tRig.Setup(sError)) {
    std::fprintf(stderr, "telvane-load: soak: %s\n", sError.c_str());
    return 1;
  }
  const double dEnd = static_cast<double>(tOptions.nSoakMinutes) * 60;
  const double dReference = std::min(300.0, dEnd / 12);  // 5 minutes of a 60-minute soak
  int64_t nRssAtReference = 0, nRssLast = 0;
  double dNextReport = 0;
  TRigResult t = tRig.RunEndless(1000, [&](double dSeconds, int64_t nRssKb) {
    if (nRssAtReference == 0 && dSeconds >= dReference) nRssAtReference = nRssKb;
    nRssLast = nRssKb;
    if (dSeconds >= dNextReport) {
      std::printf("soak: %6.1f min  VmRSS %8.1f MB\n", dSeconds / 60, nRssKb / 1024.0);
      std::fflush(stdout);
      dNextReport += 300;
    }
    return dSeconds < dEnd;
  });
  const double dChange =
      nRssAtReference > 0 ? 100.0 * static_cast<double>(nRssLast - nRssAtReference) / nRssAtReference : NAN;
  const bool bPass = t.bRelayAlive && nRssAtReference > 0 && std::fabs(dChange) <= 10;
  std::printf("soak: VmRSS after %.1f min %.1f MB, after %.1f min %.1f MB: %+.1f %% (bound 10 %%): %s\n",
              dReference / 60, nRssAtReference / 1024.0, t.dSeconds / 60, nRssLast / 1024.0, dChange,
              bPass ? "PASS" : "FAIL");
  std::printf("soak: %llu frames, lost %llu (gaps), latency p50 %.0f ms p99 %.0f ms max %.0f ms, relay CPU %.1f s\n",
              static_cast<unsigned long long>(t.nFrames), static_cast<unsigned long long>(t.nLost), t.dP50Ms,
              t.dP99Ms, t.dMaxMs, t.dCpuSeconds);
  return bPass ? 0 : 1;
}

const char* const kUsage =
    "usage: telvane-load [--quick] [--only LETTERS] [--pacing event|pass|both] [--soak [MINUTES]] [--bin DIR]\n"
    "                    [--keep]\n"
    "  --quick        short smoke run of every scenario (about two minutes)\n"
    "  --only abcdef  run only the scenarios named (default: all six; f, the anchors nats-server\n"
    "                 and mosquitto, also runs a when a is not named, then both with 20 readers)\n"
    "  --pacing P     the relay's [GENERAL] PACING: event, pass or both (default; each scenario\n"
    "                 runs under EVENT, then under PASS)\n"
    "  --soak [MIN]   only the memory soak: 1,000 ev/s to 100 clients for MIN minutes (default 60)\n"
    "  --bin DIR      folder with telvane, telvane-exchange, telvane-client, telvane-publish\n"
    "                 and telvane-mqtt-readers (default: this program's)\n"
    "  --keep         keep every run folder under /tmp\n";

bool ParseOptions(int argc, char** argv, TLoadOptions& tOptions) {
  std::error_code ec;
  tOptions.sBinDir = std::filesystem::canonical("/proc/self/exe", ec).parent_path().string();
  for (int i = 1; i < argc; ++i) {
    const std::string sArg = argv[i];
    const bool bHasValue = i + 1 < argc && argv[i + 1][0] != '-';
    if (sArg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (sArg == "--quick") {
      tOptions.bQuick = true;
    } else if (sArg == "--keep") {
      tOptions.bKeep = true;
    } else if (sArg == "--only" && bHasValue) {
      tOptions.sOnly = argv[++i];
    } else if (sArg == "--pacing" && bHasValue) {
      const std::string sPacing = argv[++i];
      if (sPacing == "event") tOptions.vPacings = {"EVENT"};
      else if (sPacing == "pass") tOptions.vPacings = {"PASS"};
      else if (sPacing == "both") tOptions.vPacings = {"EVENT", "PASS"};
      else return false;
    } else if (sArg == "--bin" && bHasValue) {
      tOptions.sBinDir = argv[++i];
    } else if (sArg == "--soak") {
      tOptions.nSoakMinutes = bHasValue ? std::atoll(argv[++i]) : 60;
      if (tOptions.nSoakMinutes <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace telvaneload

int main(int argc, char** argv) {
  using namespace telvaneload;
  TLoadOptions tOptions;
  if (!ParseOptions(argc, argv, tOptions)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  InstallStopHandler();
  tOptions.sPacing = tOptions.vPacings.front();  // the soak runs under the first
  if (tOptions.nSoakMinutes > 0) return RunSoak(tOptions);
  const std::string sLoadBefore = LoadAverage();
  std::vector<TRow> vRows;
  const std::pair<char, TRow (*)(const TLoadOptions&)> vScenarios[] = {
      {'a', &ScenarioA}, {'b', &ScenarioB}, {'c', &ScenarioC}, {'d', &ScenarioD}, {'e', &ScenarioE}};
  // The anchors run right after (a), so that the machine's load is as alike as it can be; then the
  // relay and the brokers once more with 20 readers.
  const bool bAnchors = tOptions.sOnly.find('f') != std::string::npos;
  std::vector<TAnchorRow> vAnchors, vAnchors20;
  std::vector<TRelayAnchorRow> vRelayAnchors, vRelayAnchors20;
  for (const auto& [cName, fnScenario] : vScenarios) {
    const bool bRun = tOptions.sOnly.find(cName) != std::string::npos || (cName == 'a' && bAnchors);
    for (const std::string& sPacing : tOptions.vPacings) {
      tOptions.sPacing = sPacing;
      if (!bRun || StopRequested()) continue;
      vRows.push_back(fnScenario(tOptions));
      if (cName == 'a') vRelayAnchors.push_back({sPacing, vRows.back().tResult, RowFloor(vRows.back())});
    }
    if (cName != 'a' || !bAnchors || StopRequested()) continue;
    vAnchors = RunAnchors(ConfigA(tOptions));
    for (const std::string& sPacing : tOptions.vPacings) {
      tOptions.sPacing = sPacing;
      if (StopRequested()) break;
      vRows.push_back(Measure(ConfigA(tOptions, 20), "(a) 1,000 ev/s, 1,000 queues, 20 clients"));
      vRelayAnchors20.push_back({sPacing, vRows.back().tResult, RowFloor(vRows.back())});
    }
    if (!StopRequested()) vAnchors20 = RunAnchors(ConfigA(tOptions, 20));
  }
  PrintTable(vRows, tOptions, sLoadBefore);
  if (!vAnchors.empty()) std::printf("\n%s", AnchorTable(vRelayAnchors, vAnchors).c_str());
  if (!vAnchors20.empty()) std::printf("\n%s", AnchorTable(vRelayAnchors20, vAnchors20).c_str());
  std::fflush(stdout);
  if (StopRequested()) return 1;
  for (const TRow& tRow : vRows)
    if (!tRow.tResult.bOk) return 1;
  for (const std::vector<TAnchorRow>* pRows : {&vAnchors, &vAnchors20})
    for (const TAnchorRow& tRow : *pRows)
      if (!tRow.tResult.bOk) return 1;
  return 0;
}
