// Replay files and the pacing floor of the load benchmark; see LoadEvents.h.
#include "LoadEvents.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <vector>

namespace telvaneload {

namespace {

constexpr double kSplitterPollMs = 10;   // splitter sleeps this long when its ring is nearly empty
constexpr double kGlobalSleepMs = 100;   // global stage sleeps this long at a backlog of 5 or less
constexpr double kPassSleepMs = 100;     // per-key stage sleeps this long after each pass
constexpr int kFloorSamples = 200000;    // enough for a stable p99
constexpr size_t kSplitterNapBacklog = 10;  // reads waiting at or below which the splitter naps
constexpr size_t kGlobalNapBacklog = 5;     // events waiting at or below which the global stage naps
constexpr int kPhases = 64;                 // start phases pooled: a run's own phase is not known
constexpr double kBinMs = 0.1;              // the simulated latencies' histogram
constexpr size_t kBins = 200000;            // up to 20 s; longer ones count in the last bin

std::string QueueEvent(int32_t nQueue, int64_t nIndex) {
  const std::string sPeer = std::to_string(20001 + nIndex % 1000);
  return "Event: QueueMemberStatus\nPrivilege: agent,all\nFile: app_queue.c\nLine: 1805\n"
         "Func: update_status\nQueue: " + std::to_string(nQueue) + "\nLocation: Local/" + sPeer +
         "@agents\nMemberName: Agent " + sPeer + "\nMembership: dynamic\nPenalty: 0\n"
         "CallsTaken: " + std::to_string(nIndex % 97) + "\nStatus: 1\nPaused: 0\n";
}

std::string ExtensionEvent(int32_t nPeer, int64_t nIndex) {
  return "Event: PeerStatus\nPrivilege: system,all\nFile: chan_sip.c\nLine: 13851\n"
         "Func: peer_status_change\nChannelType: SIP\nPeer: SIP/" + std::to_string(nPeer) +
         "\nPeerStatus: Reachable\nTime: " + std::to_string(5 + nIndex % 40) + "\n";
}

// A small fixed-seed generator: the floor must be the same number on every run.
class TSplitMix {
 public:
  double Unit() {  // uniform in [0, 1)
    uint64_t z = (nState += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return static_cast<double>((z ^ (z >> 31)) >> 11) / 9007199254740992.0;
  }

 private:
  uint64_t nState = 20240501;  // fixed seed
};

}  // namespace

TReplayPlan PlanReplay(int64_t nEvents) {
  const int64_t nWanted = nEvents < 0 ? kReplayBlockTarget : nEvents;
  TReplayPlan tPlan;
  tPlan.nPasses = (nWanted + kReplayBlockTarget - 1) / kReplayBlockTarget;
  tPlan.nFileEvents = (nWanted + tPlan.nPasses - 1) / tPlan.nPasses;
  return tPlan;
}

std::string ReplayText(TKeyFamily_OPT tFamily, int32_t nFirstKey, int32_t nKeys, int64_t nEvents) {
  std::string sText;
  sText.reserve(static_cast<size_t>(nEvents) * 260);
  for (int64_t n = 0; n < nEvents; ++n) {
    const int32_t nKey = nFirstKey + static_cast<int32_t>(n % nKeys);
    sText += tFamily == KEY_FAMILY_QUEUE ? QueueEvent(nKey, n) : ExtensionEvent(nKey, n);
    sText += "\n";
  }
  return sText;
}

namespace {

// Latencies counted in bins of kBinMs, and the largest exactly.
struct TLatencyHistogram {
  std::vector<uint64_t> vBins = std::vector<uint64_t>(kBins);
  uint64_t nCount = 0;
  double dMax = 0;
  void Add(double dMs) {
    vBins[std::min(kBins - 1, static_cast<size_t>(std::max(0.0, dMs) / kBinMs))]++;
    ++nCount;
    dMax = std::max(dMax, dMs);
  }
  double Quantile(uint64_t nPer100) const {  // upper edge of the bin that holds it
    const uint64_t nRank = nCount * nPer100 / 100;
    uint64_t nSeen = 0;
    for (size_t n = 0; n < kBins; ++n)
      if ((nSeen += vBins[n]) > nRank) return std::min(dMax, static_cast<double>(n + 1) * kBinMs);
    return dMax;
  }
};

// One run of the pacing rules from the given start times (ms); counts every event's latency from
// the simulator's send to the per-key pass that takes it.
void SimulatePacing(double dRate, int64_t nEvents, int32_t nKeys, double dSplitterStart, double dGlobalStart,
                    double dPassStart, TLatencyHistogram& tLatency) {
  // The simulator's writes: event n (from 1) is due at n / rate and leaves at the next 1 ms tick.
  std::vector<double> vSent(static_cast<size_t>(nEvents));
  std::vector<int64_t> vReadFirst;  // each read's first event; a read ends where the next begins
  std::vector<double> vReadTime;
  for (int64_t n = 0; n < nEvents; ++n) {
    const double dTick = std::ceil(static_cast<double>(n + 1) * 1000.0 / dRate);
    vSent[static_cast<size_t>(n)] = dTick;
    if (vReadTime.empty() || vReadTime.back() != dTick) {
      vReadTime.push_back(dTick);
      vReadFirst.push_back(n);
    }
  }
  vReadFirst.push_back(nEvents);
  size_t nArrived = 0, nSplitterRP = 0;  // reads arrived so far; next read the splitter takes
  std::vector<int64_t> vGlobal;          // the global ring, in push order
  vGlobal.reserve(static_cast<size_t>(nEvents));
  size_t nGlobalRP = 0;
  std::vector<std::deque<int64_t>> vKeyRings(static_cast<size_t>(nKeys));
  double dSplitter = dSplitterStart, dGlobal = dGlobalStart, dPass = dPassStart;
  for (int64_t nDone = 0; nDone < nEvents;) {
    const double dNow = std::min({dSplitter, dGlobal, dPass});
    if (dNow == dSplitter) {
      while (nArrived < vReadTime.size() && vReadTime[nArrived] <= dNow) ++nArrived;
      do {  // one read per turn; no nap while more than the backlog waits
        if (nSplitterRP < nArrived) {
          for (int64_t n = vReadFirst[nSplitterRP]; n < vReadFirst[nSplitterRP + 1]; ++n) vGlobal.push_back(n);
          ++nSplitterRP;
        }
      } while (nArrived - nSplitterRP > kSplitterNapBacklog);
      dSplitter = dNow + kSplitterPollMs;
    } else if (dNow == dGlobal) {
      do {  // one event per turn, likewise
        if (nGlobalRP < vGlobal.size()) {
          const int64_t n = vGlobal[nGlobalRP++];
          vKeyRings[static_cast<size_t>(n % nKeys)].push_back(n);
        }
      } while (vGlobal.size() - nGlobalRP > kGlobalNapBacklog);
      dGlobal = dNow + kGlobalSleepMs;
    } else {
      for (std::deque<int64_t>& vRing : vKeyRings) {
        if (vRing.empty()) continue;
        tLatency.Add(dNow - vSent[static_cast<size_t>(vRing.front())]);
        vRing.pop_front();
        ++nDone;
      }
      dPass = dNow + kPassSleepMs;
    }
  }
}

}  // namespace

TLatencyFloor PacedFloor(double dRate, int64_t nEvents, int32_t nKeys) {
  if (dRate <= 0 || nEvents <= 0 || nKeys <= 0) return {};
  // With no work of their own the stages keep their phases for the whole run, and the per-key
  // stage's phase against the global stage's decides most of an event's wait: the phases pooled
  // spread that offset evenly over the 100 ms.
  TSplitMix tRandom;
  TLatencyHistogram tLatency;
  for (int n = 0; n < kPhases; ++n) {
    const double dSplitter = kSplitterPollMs * tRandom.Unit();
    const double dGlobal = kGlobalSleepMs * tRandom.Unit();
    const double dPass = std::fmod(dGlobal + kPassSleepMs * (n + tRandom.Unit()) / kPhases, kPassSleepMs);
    SimulatePacing(dRate, nEvents, nKeys, dSplitter, dGlobal, dPass, tLatency);
  }
  return {tLatency.Quantile(50), tLatency.Quantile(99), tLatency.dMax};
}

TLatencyFloor PacingFloor(int64_t nDepth) {
  nDepth = std::max<int64_t>(1, nDepth);
  TSplitMix tRandom;
  std::vector<double> vSamples(kFloorSamples);
  for (double& dSample : vSamples) {
    const double dBacklogPasses =
        std::min<double>(static_cast<double>(nDepth) - 1, static_cast<double>(nDepth) * tRandom.Unit());
    dSample = kSplitterPollMs * tRandom.Unit() + kGlobalSleepMs * tRandom.Unit() +
              kPassSleepMs * tRandom.Unit() + kPassSleepMs * static_cast<double>(static_cast<int64_t>(dBacklogPasses));
  }
  std::sort(vSamples.begin(), vSamples.end());
  TLatencyFloor tFloor;
  tFloor.dP50 = vSamples[vSamples.size() / 2];
  tFloor.dP99 = vSamples[vSamples.size() * 99 / 100];
  tFloor.dMax = kSplitterPollMs + kGlobalSleepMs + kPassSleepMs * static_cast<double>(nDepth);
  return tFloor;
}

}  // namespace telvaneload
