// Replay files and the pacing floor of the load benchmark; see LoadEvents.h.
#include "LoadEvents.h"

#include <algorithm>
#include <vector>

namespace telvaneload {

namespace {

constexpr double kSplitterPollMs = 10;   // splitter sleeps this long when its ring is nearly empty
constexpr double kGlobalSleepMs = 100;   // global stage sleeps this long at a backlog of 5 or less
constexpr double kPassSleepMs = 100;     // per-key stage sleeps this long after each pass
constexpr int kFloorSamples = 200000;    // enough for a stable p99

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
