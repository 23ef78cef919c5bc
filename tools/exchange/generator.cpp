// Scenario engine of the traffic generator; see generator.h for its invariants.
#include "generator.h"

#include <algorithm>
#include <cassert>

namespace exsim {
namespace {

enum TScenarioKind_OPT : uint32_t {
  SCENARIO_KIND_QUEUE_CALL,
  SCENARIO_KIND_OUTGOING_CALL,
  SCENARIO_KIND_INTERNAL_CALL,
  SCENARIO_KIND_SECOND_CALL,
  SCENARIO_KIND_PAUSE,
  SCENARIO_KIND_REGISTRATION,
  SCENARIO_KIND_PARKING,
  SCENARIO_KIND_COUNT,
};

// Share of each scenario kind among the scenarios started, in percent (sums to 100).
constexpr uint32_t kKindWeights[SCENARIO_KIND_COUNT] = {34, 14, 10, 8, 12, 12, 10};
constexpr uint32_t kStartChance = 35;  // percent of steps that open a scenario when there is room

TStep MakeStep(TStepKind_OPT tKind, int32_t nKey, const TCallLeg& tLeg, const TCallLeg& tOther = {},
               std::string sValue = {}) {
  TStep tStep;
  tStep.tKind = tKind;
  tStep.nKey = nKey;
  tStep.tLeg = tLeg;
  tStep.tOther = tOther;
  tStep.sValue = std::move(sValue);
  return tStep;
}

bool IsQueueStep(TStepKind_OPT tKind) {
  switch (tKind) {
    case STEP_KIND_JOIN:
    case STEP_KIND_LEAVE:
    case STEP_KIND_PAUSED:
    case STEP_KIND_AGENT_CALLED:
    case STEP_KIND_AGENT_CONNECT:
    case STEP_KIND_AGENT_COMPLETE:
    case STEP_KIND_MEMBER_STATUS:
      return true;
    default:
      return false;
  }
}

TKeyRange QueuesOf(const TExchangeOptions& tOptions) {
  if (tOptions.lstQueueNames.empty()) return tOptions.tQueues;
  return {0, static_cast<int32_t>(tOptions.lstQueueNames.size()) - 1};
}

}  // namespace

TEventGenerator::TEventGenerator(const TExchangeOptions& tOptions)
    : tProfile(tOptions.tProfile),
      lstQueueNames(tOptions.lstQueueNames),
      tQueues(QueuesOf(tOptions)),
      tPeers(tOptions.tPeers),
      tParks(tOptions.tParks),
      nMaxActive(static_cast<size_t>(std::clamp(tOptions.tPeers.Count() / 2, 2, 32))),
      tRandom(tOptions.nSeed),
      vPeerHeld(static_cast<size_t>(tOptions.tPeers.Count()), 0),
      vParkHeld(static_cast<size_t>(tOptions.tParks.Count()), 0),
      vQueueCallers(static_cast<size_t>(tQueues.Count()), 0) {}

std::string TEventGenerator::Next() {
  bool bStart = vActive.empty() || (vActive.size() < nMaxActive && tRandom.Percent(kStartChance));
  if (bStart && StartScenario()) return Emit(vActive.size() - 1);
  // With nothing running every extension and slot is free, so a scenario always starts above.
  assert(!vActive.empty() && "no scenario running and none could start");
  return Emit(static_cast<size_t>(tRandom.Below(vActive.size())));
}

bool TEventGenerator::StartScenario() {
  uint64_t nDraw = tRandom.Below(100);
  uint32_t nKind = 0;
  while (nKind + 1 < SCENARIO_KIND_COUNT && nDraw >= kKindWeights[nKind])
    nDraw -= kKindWeights[nKind++];
  // A kind whose extensions or slot are all held gives way to the next kind.
  for (uint32_t i = 0; i < SCENARIO_KIND_COUNT; ++i)
    if (TryStart((nKind + i) % SCENARIO_KIND_COUNT)) return true;
  return false;
}

bool TEventGenerator::TryStart(uint32_t nKind) {
  TScenario tScenario;
  if (nKind == SCENARIO_KIND_PARKING) {
    int32_t nSlot = TakeFreeSlot();
    if (nSlot == 0) return false;
    tScenario.nPark = nSlot;
    AddParking(tScenario, nSlot);
    vActive.push_back(std::move(tScenario));
    return true;
  }
  int32_t nPeer = TakeIdlePeer();
  if (nPeer == 0) return false;
  tScenario.vPeers.push_back(nPeer);
  switch (nKind) {
    case SCENARIO_KIND_QUEUE_CALL:
      AddQueueCall(tScenario, nPeer);
      break;
    case SCENARIO_KIND_OUTGOING_CALL:
      AddOutgoingCall(tScenario, nPeer);
      break;
    case SCENARIO_KIND_SECOND_CALL:
      AddSecondCall(tScenario, nPeer);
      break;
    case SCENARIO_KIND_PAUSE:
      AddPause(tScenario, nPeer);
      break;
    case SCENARIO_KIND_REGISTRATION:
      AddRegistration(tScenario, nPeer);
      break;
    default: {  // SCENARIO_KIND_INTERNAL_CALL needs a second idle extension
      int32_t nTo = TakeIdlePeer();
      if (nTo == 0) {
        vPeerHeld[static_cast<size_t>(nPeer - tPeers.nFirst)] = 0;
        return false;
      }
      tScenario.vPeers.push_back(nTo);
      AddInternalCall(tScenario, nPeer, nTo);
    }
  }
  vActive.push_back(std::move(tScenario));
  return true;
}

std::string TEventGenerator::Emit(size_t nIndex) {
  TScenario& tScenario = vActive[nIndex];
  TStep& tStep = tScenario.vSteps[tScenario.nNext++];
  if (tStep.tKind == STEP_KIND_JOIN || tStep.tKind == STEP_KIND_LEAVE) {
    int32_t& nCallers = vQueueCallers[static_cast<size_t>(tStep.nKey - tQueues.nFirst)];
    nCallers = tStep.tKind == STEP_KIND_JOIN ? nCallers + 1 : std::max(0, nCallers - 1);
    tStep.nCount = nCallers;
  }
  if (!lstQueueNames.empty() && IsQueueStep(tStep.tKind))
    tStep.sQueueName = lstQueueNames[static_cast<size_t>(tStep.nKey - tQueues.nFirst)];
  std::string sText = IsCurrent() ? RenderCurrentStep(tStep) : RenderStep(tStep);
  if (tScenario.nNext == tScenario.vSteps.size()) Finish(nIndex);
  return sText;
}

void TEventGenerator::Finish(size_t nIndex) {
  TScenario& tScenario = vActive[nIndex];
  for (int32_t nPeer : tScenario.vPeers) vPeerHeld[static_cast<size_t>(nPeer - tPeers.nFirst)] = 0;
  if (tScenario.nPark != 0) vParkHeld[static_cast<size_t>(tScenario.nPark - tParks.nFirst)] = 0;
  if (nIndex + 1 != vActive.size()) vActive[nIndex] = std::move(vActive.back());
  vActive.pop_back();
}

// A caller joins a queue, the agent's extension rings and answers (or the caller gives up first).
void TEventGenerator::AddQueueCall(TScenario& t, int32_t nPeer) {
  int32_t nQueue = RandomQueue();
  TCallLeg tCaller = TrunkLeg(), tAgent = AgentLeg(nPeer);
  t.vSteps.push_back(MakeStep(STEP_KIND_JOIN, nQueue, tCaller));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWCHANNEL, nPeer, tAgent, tCaller));
  AddCurrentOnly(t, STEP_KIND_AGENT_CALLED, nQueue, tCaller, tAgent);
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nPeer, tAgent, tCaller, "Ringing"));
  if (tRandom.Percent(15)) {
    t.vSteps.push_back(MakeStep(STEP_KIND_LEAVE, nQueue, tCaller));
    t.vSteps.push_back(MakeStep(STEP_KIND_HANGUP, nPeer, tAgent, tCaller, "19"));
    return;
  }
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nPeer, tAgent, tCaller, "Up"));
  t.vSteps.push_back(MakeStep(STEP_KIND_LEAVE, nQueue, tCaller));
  AddCurrentOnly(t, STEP_KIND_AGENT_CONNECT, nQueue, tCaller, tAgent);
  t.vSteps.push_back(MakeStep(STEP_KIND_HANGUP, nPeer, tAgent, tCaller, "16"));
  AddCurrentOnly(t, STEP_KIND_AGENT_COMPLETE, nQueue, tCaller, tAgent);
}

// A step only current releases report; nothing in the classic dialect, and no random draw either.
void TEventGenerator::AddCurrentOnly(TScenario& t, TStepKind_OPT tKind, int32_t nQueue, const TCallLeg& tLeg,
                                     const TCallLeg& tOther, const std::string& sValue) {
  if (IsCurrent()) t.vSteps.push_back(MakeStep(tKind, nQueue, tLeg, tOther, sValue));
}

// An agent dials out through the trunk; now and then the far end is busy.
void TEventGenerator::AddOutgoingCall(TScenario& t, int32_t nPeer) {
  TCallLeg tAgent = AgentLeg(nPeer), tFar = TrunkLeg();
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWCHANNEL, nPeer, tAgent, tFar));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nPeer, tAgent, tFar, "Ring"));
  t.vSteps.push_back(MakeStep(STEP_KIND_DIAL_BEGIN, nPeer, tAgent, tFar));
  if (tRandom.Percent(10)) {
    t.vSteps.push_back(MakeStep(STEP_KIND_DIAL_END, nPeer, tAgent, tFar, "BUSY"));
    t.vSteps.push_back(MakeStep(STEP_KIND_HANGUP, nPeer, tAgent, tFar, "17"));
    return;
  }
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nPeer, tAgent, tFar, "Up"));
  t.vSteps.push_back(MakeStep(STEP_KIND_DIAL_END, nPeer, tAgent, tFar, "ANSWER"));
  t.vSteps.push_back(MakeStep(STEP_KIND_HANGUP, nPeer, tAgent, tFar, "16"));
}

// One extension calls another: both sides report their own channel.
void TEventGenerator::AddInternalCall(TScenario& t, int32_t nFrom, int32_t nTo) {
  TCallLeg a = AgentLeg(nFrom), b = AgentLeg(nTo);
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWCHANNEL, nFrom, a, b));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nFrom, a, b, "Ring"));
  t.vSteps.push_back(MakeStep(STEP_KIND_DIAL_BEGIN, nFrom, a, b));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWCHANNEL, nTo, b, a));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nTo, b, a, "Ringing"));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nTo, b, a, "Up"));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nFrom, a, b, "Up"));
  t.vSteps.push_back(MakeStep(STEP_KIND_DIAL_END, nFrom, a, b, "ANSWER"));
  t.vSteps.push_back(MakeStep(STEP_KIND_HANGUP, nTo, b, a, "16"));
  t.vSteps.push_back(MakeStep(STEP_KIND_HANGUP, nFrom, a, b, "16"));
}

// While the agent talks to one caller, a second queue call rings the same extension and is
// abandoned; then the first call ends.
void TEventGenerator::AddSecondCall(TScenario& t, int32_t nPeer) {
  int32_t nQueue = RandomQueue();
  TCallLeg c1 = TrunkLeg(), a1 = AgentLeg(nPeer), c2 = TrunkLeg(), a2 = AgentLeg(nPeer);
  t.vSteps.push_back(MakeStep(STEP_KIND_JOIN, nQueue, c1));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWCHANNEL, nPeer, a1, c1));
  AddCurrentOnly(t, STEP_KIND_AGENT_CALLED, nQueue, c1, a1);
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nPeer, a1, c1, "Ringing"));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nPeer, a1, c1, "Up"));
  t.vSteps.push_back(MakeStep(STEP_KIND_LEAVE, nQueue, c1));
  AddCurrentOnly(t, STEP_KIND_AGENT_CONNECT, nQueue, c1, a1);
  t.vSteps.push_back(MakeStep(STEP_KIND_JOIN, nQueue, c2));
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWCHANNEL, nPeer, a2, c2));
  AddCurrentOnly(t, STEP_KIND_AGENT_CALLED, nQueue, c2, a2);
  t.vSteps.push_back(MakeStep(STEP_KIND_NEWSTATE, nPeer, a2, c2, "Ringing"));
  t.vSteps.push_back(MakeStep(STEP_KIND_LEAVE, nQueue, c2));
  t.vSteps.push_back(MakeStep(STEP_KIND_HANGUP, nPeer, a2, c2, "19"));
  t.vSteps.push_back(MakeStep(STEP_KIND_HANGUP, nPeer, a1, c1, "16"));
  AddCurrentOnly(t, STEP_KIND_AGENT_COMPLETE, nQueue, c1, a1);
}

void TEventGenerator::AddPause(TScenario& t, int32_t nPeer) {
  int32_t nQueue = RandomQueue();
  TCallLeg tMember;
  tMember.nPeer = nPeer;
  t.vSteps.push_back(MakeStep(STEP_KIND_PAUSED, nQueue, tMember, {}, "1"));
  AddCurrentOnly(t, STEP_KIND_MEMBER_STATUS, nQueue, tMember, {}, "1");
  t.vSteps.push_back(MakeStep(STEP_KIND_PAUSED, nQueue, tMember, {}, "0"));
  AddCurrentOnly(t, STEP_KIND_MEMBER_STATUS, nQueue, tMember, {}, "0");
}

// A qualify answer, a re-registration, or a phone that drops off and comes back.
void TEventGenerator::AddRegistration(TScenario& t, int32_t nPeer) {
  uint64_t nDraw = tRandom.Below(100);
  if (nDraw < 50) {
    t.vSteps.push_back(MakeStep(STEP_KIND_PEERSTATUS, nPeer, {}, {}, "Reachable"));
  } else if (nDraw < 65) {
    t.vSteps.push_back(MakeStep(STEP_KIND_PEERSTATUS, nPeer, {}, {}, "Registered"));
  } else {
    t.vSteps.push_back(MakeStep(STEP_KIND_PEERSTATUS, nPeer, {}, {}, "Unregistered"));
    t.vSteps.push_back(MakeStep(STEP_KIND_PEERSTATUS, nPeer, {}, {}, "Registered"));
  }
}

// An agent parks a caller; another agent picks the call up, or the parking times out.
void TEventGenerator::AddParking(TScenario& t, int32_t nSlot) {
  TCallLeg tCaller = TrunkLeg();
  int32_t nParker = tPeers.nFirst + static_cast<int32_t>(tRandom.Below(tPeers.Count()));
  t.vSteps.push_back(MakeStep(STEP_KIND_PARKED, nSlot, tCaller, AgentLeg(nParker)));
  if (tRandom.Percent(30)) {
    t.vSteps.push_back(MakeStep(STEP_KIND_PARK_TIMEOUT, nSlot, tCaller));
    return;
  }
  int32_t nTaker = tPeers.nFirst + static_cast<int32_t>(tRandom.Below(tPeers.Count()));
  t.vSteps.push_back(MakeStep(STEP_KIND_UNPARKED, nSlot, tCaller, AgentLeg(nTaker)));
}

int32_t TEventGenerator::TakeIdlePeer() {
  size_t nSize = vPeerHeld.size(), nStart = tRandom.Below(nSize);
  for (size_t i = 0; i < nSize; ++i) {
    size_t n = (nStart + i) % nSize;
    if (vPeerHeld[n] != 0) continue;
    vPeerHeld[n] = 1;
    return tPeers.nFirst + static_cast<int32_t>(n);
  }
  return 0;
}

int32_t TEventGenerator::TakeFreeSlot() {
  size_t nSize = vParkHeld.size(), nStart = tRandom.Below(nSize);
  for (size_t i = 0; i < nSize; ++i) {
    size_t n = (nStart + i) % nSize;
    if (vParkHeld[n] != 0) continue;
    vParkHeld[n] = 1;
    return tParks.nFirst + static_cast<int32_t>(n);
  }
  return 0;
}

int32_t TEventGenerator::RandomQueue() {
  return tQueues.nFirst + static_cast<int32_t>(tRandom.Below(tQueues.Count()));
}

TCallLeg TEventGenerator::AgentLeg(int32_t nPeer) {
  TCallLeg tLeg;
  tLeg.nPeer = nPeer;
  tLeg.nId = nNextChannelId++;
  tLeg.sNumber = std::to_string(nPeer);
  return tLeg;
}

TCallLeg TEventGenerator::TrunkLeg() {
  TCallLeg tLeg;
  tLeg.nId = nNextChannelId++;
  tLeg.sNumber = "11" + std::to_string(900000000 + tRandom.Below(100000000));
  return tLeg;
}

}  // namespace exsim
