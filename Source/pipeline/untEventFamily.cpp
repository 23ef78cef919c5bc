// The rows of the three event families; see untEventFamily.h.
#include "pipeline/untEventFamily.h"

#include <cassert>

namespace {

constexpr TEventFamily FAMILIES[EVENT_FAMILY_COUNT] = {
    {EVENT_FAMILY_QUEUE, "queue", "queues", &TProfileConfig::nQueueFirst, QUEUE_COUNT,
     {"TGlobalQueueMsgRead.Initialize", "TGlobalQueueMsgRead.GlobalQueueMsgRead",
      "Error: FIFO FULL (Global/Queue) - ", "TExecGlobalQueueMsgReadThread.Execute",
      "TExecGlobalQueueMsgReadThread.ProcessGlobalMessage", &TAppInfo::bWriteGlobalQueueLog, PANE_GLOBAL_QUEUE,
      STB_GLOBAL_QUEUE},
     {"TSpecificQueueMsgRead.Initialize", "TSpecificQueueMsgRead.SpecificQueueMsgRead",
      "Error: FIFO FULL (Specific/Queue) - ", "TExecSpecificQueueMsgReadThread.Execute",
      "TExecSpecificQueueMsgReadThread.ProcessSpecificMessage", &TAppInfo::bWriteSpecificQueueLog,
      PANE_SPECIFIC_QUEUE, STB_SPECIFIC_QUEUE}},
    {EVENT_FAMILY_PEER, "extension", "extensions", &TProfileConfig::nPeerFirst, PEER_COUNT,
     {"TGlobalPeerMsgRead.Initialize", "TGlobalPeerMsgRead.GlobalPeerMsgRead", "Error: FIFO FULL (Global/Peer) - ",
      "TExecGlobalPeerMsgReadThread.Execute", "TExecGlobalPeerMsgReadThread.ProcessGlobalMessage",
      &TAppInfo::bWriteGlobalPeerLog, PANE_GLOBAL_PEER, STB_GLOBAL_PEER},
     {"TSpecificPeerMsgRead.Initialize", "TSpecificPeerMsgRead.SpecificPeerMsgRead",
      "Error: FIFO FULL (Specific/Peer) - ", "TExecSpecificPeerMsgReadThread.Execute",
      "TExecSpecificPeerMsgReadThread.ProcessSpecificMessage", &TAppInfo::bWriteSpecificPeerLog, PANE_SPECIFIC_PEER,
      STB_SPECIFIC_PEER}},
    {EVENT_FAMILY_FEATUREPARK, "parking", "parks", &TProfileConfig::nParkFirst, PARK_COUNT,
     {"TGlobalFeatureParkMsgRead.Initialize", "TGlobalFeatureParkMsgRead.GlobalFeatureParkMsgRead",
      "Error: FIFO FULL (Global/FeaturePark) - ", "TExecGlobalFeatureParkMsgReadThread.Execute",
      "TExecGlobalFeatureParkMsgReadThread.ProcessGlobalMessage", &TAppInfo::bWriteGlobalFeatureParkLog,
      PANE_GLOBAL_FEATUREPARK, STB_GLOBAL_FEATUREPARK},
     {"TSpecificFeatureParkMsgRead.Initialize", "TSpecificFeatureParkMsgRead.SpecificFeatureParkMsgRead",
      "Error: FIFO FULL (Specific/FeaturePark) - ", "TExecSpecificFeatureParkMsgReadThread.Execute",
      "TExecSpecificFeatureParkMsgReadThread.ProcessSpecificMessage", &TAppInfo::bWriteSpecificFeatureParkLog,
      PANE_SPECIFIC_FEATUREPARK, STB_SPECIFIC_FEATUREPARK}},
};

// Every table indexes by the family's number, so each row must stand at its own.
static_assert([] {
  for (int n = 0; n < EVENT_FAMILY_COUNT; ++n)
    if (FAMILIES[n].tFamily != n) return false;
  return true;
}(), "each family's row stands at its number");

}  // namespace

const TEventFamily& Family(TEventFamily_OPT tFamily) {
  assert(tFamily >= 0 && tFamily < EVENT_FAMILY_COUNT && "a family number comes from the enum");
  return FAMILIES[tFamily];
}

std::span<const TEventFamily, EVENT_FAMILY_COUNT> AllFamilies() { return std::span(FAMILIES); }
