// Synthetic call-centre traffic: an endless, reproducible stream of exchange events.
//
// The generator runs a handful of scenarios at once (a queue call, an outgoing call, an internal
// call, a second call on a busy extension, a pause, a registration change, a parked call). Each
// scenario is a script of steps in the order a real exchange reports them; Next() either starts a
// new scenario or advances a running one, so the scripts interleave the way concurrent calls do.
//
// Invariants: a scenario holds its extensions and its parking slot exclusively until its last
// step, so the events of one extension (and of one slot) always come in a plausible order: a
// channel is created Down before it rings, is Up before it hangs up, and an unregistered
// extension gets no calls until it registers again. Queue join and leave counts are computed when
// the step is emitted. The stream depends only on the options' ranges, dialect and seed.
//
// The current dialect runs the same scenarios and writes them as a current release does
// (RenderCurrentStep), with the steps only such a release reports (the queue's agent events and
// the member status after a pause) added where it reports them. The classic stream is unchanged
// by that: the extra steps draw no random numbers and exist only in the current dialect. With
// named queues a queue step's key is the name's index and the step carries the name.
//
// Thread safety: none; one generator belongs to one connection on the I/O thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "event_text.h"
#include "options.h"
#include "random.h"

namespace exsim {

class TEventGenerator {
 public:
  explicit TEventGenerator(const TExchangeOptions& tOptions);

  // The next event: from its "Event:" line to the CR LF of its last line, without the empty line.
  std::string Next();

 private:
  struct TScenario {
    std::vector<TStep> vSteps;    // the script, in emission order
    size_t nNext = 0;             // index of the next step to emit
    std::vector<int32_t> vPeers;  // extensions held until the script ends
    int32_t nPark = 0;            // parking slot held until the script ends; 0 for none
  };

  bool StartScenario();
  bool TryStart(uint32_t nKind);
  std::string Emit(size_t nIndex);
  void Finish(size_t nIndex);

  void AddQueueCall(TScenario& t, int32_t nPeer);
  void AddOutgoingCall(TScenario& t, int32_t nPeer);
  void AddInternalCall(TScenario& t, int32_t nFrom, int32_t nTo);
  void AddSecondCall(TScenario& t, int32_t nPeer);
  void AddPause(TScenario& t, int32_t nPeer);
  void AddRegistration(TScenario& t, int32_t nPeer);
  void AddParking(TScenario& t, int32_t nSlot);
  void AddCurrentOnly(TScenario& t, TStepKind_OPT tKind, int32_t nQueue, const TCallLeg& tLeg,
                      const TCallLeg& tOther, const std::string& sValue = {});

  int32_t TakeIdlePeer();  // 0 when every extension is held
  int32_t TakeFreeSlot();  // 0 when every slot is held
  int32_t RandomQueue();
  TCallLeg AgentLeg(int32_t nPeer);
  TCallLeg TrunkLeg();

  bool IsCurrent() const { return tProfile == PROFILE_CURRENT; }

  // Constant after construction.
  TProfile_OPT tProfile;                   // dialect written
  std::vector<std::string> lstQueueNames;  // queues named by words; empty: by numbers
  TKeyRange tQueues;  // queue numbers used (name indexes with named queues)
  TKeyRange tPeers;   // extensions used
  TKeyRange tParks;   // parking slots used
  size_t nMaxActive;  // scenarios running at once, at most

  // Working state.
  TRandom tRandom;                     // every choice comes from here, for reproducibility
  std::vector<uint8_t> vPeerHeld;      // 1 while a scenario holds the extension; by index
  std::vector<uint8_t> vParkHeld;      // 1 while a scenario holds the slot; by index
  std::vector<int32_t> vQueueCallers;  // callers waiting per queue; by index
  std::vector<TScenario> vActive;      // running scenarios
  uint32_t nNextChannelId = 0x1a;      // id of the next channel created
};

}  // namespace exsim
