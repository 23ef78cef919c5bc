// The three global ring families and the three per-key ring families. Each Initialize opens its
// rings and starts the family's one consumer; the per-key tables open every ring but the last.
//
// Producers: the splitter pushes into the global rings, each global stage into its per-key table.
// Every push rings the bell of the stage that pops it (untStageWake), refused or not: a needless
// wake-up costs the stage one look at its rings. A per-key push also marks its ring first
// (untRingMarks), so that the stage looks only at the rings that may hold an event.
#include "pipeline/untSpecificMsgRead.h"

#include <span>

#include "pipeline/untEventOutlet.h"
#include "pipeline/untGlobalMsgReadThread.h"
#include "pipeline/untRingFamily.h"
#include "pipeline/untSpecificMsgReadThread.h"
#include "pipeline/untStageWake.h"

namespace {

// The three per-key tables, one row per family.
const TKeyTable& KeyTable(TEventFamily_OPT tFamily) {
  static std::atomic<uint32_t> vOutOfRange[EVENT_FAMILY_COUNT]{};  // numbers refused; global stages
  static TThinnedLine vFullLines[EVENT_FAMILY_COUNT];                 // refusals of full rings; global stages
  static const TKeyTable vTables[EVENT_FAMILY_COUNT] = {
      {MyFifoReceived.MySpecificQueueMsgRead, &MyConfigInfo.MyProfile.nQueueFirst, QUEUE_COUNT,
       "TSpecificQueueMsgRead.SpecificQueueMsgRead", "Error: FIFO FULL (Specific/Queue) - ",
       &vOutOfRange[EVENT_FAMILY_QUEUE], &vFullLines[EVENT_FAMILY_QUEUE], EVENT_FAMILY_QUEUE,
       &SpecificRingMarks(EVENT_FAMILY_QUEUE)},
      {MyFifoReceived.MySpecificPeerMsgRead, &MyConfigInfo.MyProfile.nPeerFirst, PEER_COUNT,
       "TSpecificPeerMsgRead.SpecificPeerMsgRead", "Error: FIFO FULL (Specific/Peer) - ",
       &vOutOfRange[EVENT_FAMILY_PEER], &vFullLines[EVENT_FAMILY_PEER], EVENT_FAMILY_PEER,
       &SpecificRingMarks(EVENT_FAMILY_PEER)},
      {MyFifoReceived.MySpecificFeatureParkMsgRead, &MyConfigInfo.MyProfile.nParkFirst, PARK_COUNT,
       "TSpecificFeatureParkMsgRead.SpecificFeatureParkMsgRead", "Error: FIFO FULL (Specific/FeaturePark) - ",
       &vOutOfRange[EVENT_FAMILY_FEATUREPARK], &vFullLines[EVENT_FAMILY_FEATUREPARK], EVENT_FAMILY_FEATUREPARK,
       &SpecificRingMarks(EVENT_FAMILY_FEATUREPARK)},
  };
  return vTables[tFamily];
}

// The served rings of a table: all but the last, which is never opened.
std::span<TSpecificMsgReadFifo> ServedRings(TSpecificMsgReadFifo* vRings, int32_t nCount) {
  return {vRings, static_cast<size_t>(nCount - 1)};
}

template <class TThread>
TWorkerThread* Create() {
  return new TThread();
}

}  // namespace

bool TGlobalQueueMsgRead::Initialize() {
  return InitializeFamily("TGlobalQueueMsgRead.Initialize", {&MyFifoReceived.MyGlobalQueueMsgRead, 1},
                          &Create<TExecGlobalQueueMsgReadThread>);
}

void TGlobalQueueMsgRead::GlobalQueueMsgRead(TText sText) {
  static TThinnedLine tFullLine;  // refusals of the full ring; splitter
  FifoPush(MyFifoReceived.MyGlobalQueueMsgRead, std::move(sText), "TGlobalQueueMsgRead.GlobalQueueMsgRead",
           "Error: FIFO FULL (Global/Queue) - ", tFullLine);
  GlobalStageBell(EVENT_FAMILY_QUEUE).Ring();
}

bool TSpecificQueueMsgRead::Initialize() {
  return InitializeFamily("TSpecificQueueMsgRead.Initialize",
                          ServedRings(MyFifoReceived.MySpecificQueueMsgRead, QUEUE_COUNT),
                          &Create<TExecSpecificQueueMsgReadThread>);
}

void TSpecificQueueMsgRead::SpecificQueueMsgRead(TText sText, int32_t nQueueNumber) {
  PushKeyed(KeyTable(EVENT_FAMILY_QUEUE), nQueueNumber, std::move(sText));
  SpecificStageBell(EVENT_FAMILY_QUEUE).Ring();
}

void TSpecificQueueMsgRead::DropUnlistedQueue(std::string_view sName) {
  const std::string sShown(sName.substr(0, 64));  // a name is short; a hostile value need not be
  DropUnnamedKey(KeyTable(EVENT_FAMILY_QUEUE), "queue \"" + sShown + "\" is not listed in [QUEUENAMES]");
}

bool TGlobalPeerMsgRead::Initialize() {
  return InitializeFamily("TGlobalPeerMsgRead.Initialize", {&MyFifoReceived.MyGlobalPeerMsgRead, 1},
                          &Create<TExecGlobalPeerMsgReadThread>);
}

void TGlobalPeerMsgRead::GlobalPeerMsgRead(TText sText) {
  static TThinnedLine tFullLine;  // refusals of the full ring; splitter
  FifoPush(MyFifoReceived.MyGlobalPeerMsgRead, std::move(sText), "TGlobalPeerMsgRead.GlobalPeerMsgRead",
           "Error: FIFO FULL (Global/Peer) - ", tFullLine);
  GlobalStageBell(EVENT_FAMILY_PEER).Ring();
}

bool TSpecificPeerMsgRead::Initialize() {
  return InitializeFamily("TSpecificPeerMsgRead.Initialize",
                          ServedRings(MyFifoReceived.MySpecificPeerMsgRead, PEER_COUNT),
                          &Create<TExecSpecificPeerMsgReadThread>);
}

void TSpecificPeerMsgRead::SpecificPeerMsgRead(TText sText, int32_t nPeerNumber) {
  PushKeyed(KeyTable(EVENT_FAMILY_PEER), nPeerNumber, std::move(sText));
  SpecificStageBell(EVENT_FAMILY_PEER).Ring();
}

bool TGlobalFeatureParkMsgRead::Initialize() {
  return InitializeFamily("TGlobalFeatureParkMsgRead.Initialize", {&MyFifoReceived.MyGlobalFeatureParkMsgRead, 1},
                          &Create<TExecGlobalFeatureParkMsgReadThread>);
}

void TGlobalFeatureParkMsgRead::GlobalFeatureParkMsgRead(TText sText) {
  static TThinnedLine tFullLine;  // refusals of the full ring; splitter
  FifoPush(MyFifoReceived.MyGlobalFeatureParkMsgRead, std::move(sText),
           "TGlobalFeatureParkMsgRead.GlobalFeatureParkMsgRead", "Error: FIFO FULL (Global/FeaturePark) - ",
           tFullLine);
  GlobalStageBell(EVENT_FAMILY_FEATUREPARK).Ring();
}

bool TSpecificFeatureParkMsgRead::Initialize() {
  return InitializeFamily("TSpecificFeatureParkMsgRead.Initialize",
                          ServedRings(MyFifoReceived.MySpecificFeatureParkMsgRead, PARK_COUNT),
                          &Create<TExecSpecificFeatureParkMsgReadThread>);
}

void TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead(TText sText, int32_t nFeatureParkNumber) {
  PushKeyed(KeyTable(EVENT_FAMILY_FEATUREPARK), nFeatureParkNumber, std::move(sText));
  SpecificStageBell(EVENT_FAMILY_FEATUREPARK).Ring();
}
