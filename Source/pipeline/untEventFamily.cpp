// The rows of the three event families; see untEventFamily.h.
#include "pipeline/untEventFamily.h"

#include <cassert>

#include "pipeline/untEventSplitter.h"
#include "pipeline/untFifo.h"

namespace {

constexpr TEventFamily FAMILIES[EVENT_FAMILY_COUNT] = {
    {.tFamily = EVENT_FAMILY_QUEUE,
     .sName = "queue",
     .sListName = "queues",
     .pnFirstKey = &TProfileConfig::nQueueFirst,
     .nKeyCount = QUEUE_COUNT,
     .tGlobal = {.sInitSource = "TGlobalQueueMsgRead.Initialize",
                 .sPushSource = "TGlobalQueueMsgRead.GlobalQueueMsgRead",
                 .sFullText = "Error: FIFO FULL (Global/Queue) - ",
                 .sExecuteSource = "TExecGlobalQueueMsgReadThread.Execute",
                 .sProcessSource = "TExecGlobalQueueMsgReadThread.ProcessGlobalMessage",
                 .pbPaneSwitch = &TAppInfo::bWriteGlobalQueueLog,
                 .pAuditList = &TAuditEvents::lstGlobalQueue,
                 .tPane = PANE_GLOBAL_QUEUE,
                 .tPaneCheck = CTL_CHK_GLOBAL_QUEUE,
                 .tStatusBar = STB_GLOBAL_QUEUE},
     .tSpecific = {.sInitSource = "TSpecificQueueMsgRead.Initialize",
                   .sPushSource = "TSpecificQueueMsgRead.SpecificQueueMsgRead",
                   .sFullText = "Error: FIFO FULL (Specific/Queue) - ",
                   .sExecuteSource = "TExecSpecificQueueMsgReadThread.Execute",
                   .sProcessSource = "TExecSpecificQueueMsgReadThread.ProcessSpecificMessage",
                   .pbPaneSwitch = &TAppInfo::bWriteSpecificQueueLog,
                   .pAuditList = &TAuditEvents::lstSpecificQueue,
                   .tPane = PANE_SPECIFIC_QUEUE,
                   .tPaneCheck = CTL_CHK_SPECIFIC_QUEUE,
                   .tStatusBar = STB_SPECIFIC_QUEUE},
     .nKeyLabelMsg = 63,
     .sDeskName = "Queue",
     .fnDeskList = [](TServerSocketInfo& s) { return std::span<bool>(s.vQueueList); },
     .nSplitterRing = EVENT_RING_QUEUE,
     .fnGlobalRing = [] { return &MyFifoReceived.MyGlobalQueueMsgRead; },
     .fnKeyRings = [] { return &MyFifoReceived.MySpecificQueueMsgRead[0]; }},
    {.tFamily = EVENT_FAMILY_PEER,
     .sName = "extension",
     .sListName = "extensions",
     .pnFirstKey = &TProfileConfig::nPeerFirst,
     .nKeyCount = PEER_COUNT,
     .tGlobal = {.sInitSource = "TGlobalPeerMsgRead.Initialize",
                 .sPushSource = "TGlobalPeerMsgRead.GlobalPeerMsgRead",
                 .sFullText = "Error: FIFO FULL (Global/Peer) - ",
                 .sExecuteSource = "TExecGlobalPeerMsgReadThread.Execute",
                 .sProcessSource = "TExecGlobalPeerMsgReadThread.ProcessGlobalMessage",
                 .pbPaneSwitch = &TAppInfo::bWriteGlobalPeerLog,
                 .pAuditList = &TAuditEvents::lstGlobalPeer,
                 .tPane = PANE_GLOBAL_PEER,
                 .tPaneCheck = CTL_CHK_GLOBAL_PEER,
                 .tStatusBar = STB_GLOBAL_PEER},
     .tSpecific = {.sInitSource = "TSpecificPeerMsgRead.Initialize",
                   .sPushSource = "TSpecificPeerMsgRead.SpecificPeerMsgRead",
                   .sFullText = "Error: FIFO FULL (Specific/Peer) - ",
                   .sExecuteSource = "TExecSpecificPeerMsgReadThread.Execute",
                   .sProcessSource = "TExecSpecificPeerMsgReadThread.ProcessSpecificMessage",
                   .pbPaneSwitch = &TAppInfo::bWriteSpecificPeerLog,
                   .pAuditList = &TAuditEvents::lstSpecificPeer,
                   .tPane = PANE_SPECIFIC_PEER,
                   .tPaneCheck = CTL_CHK_SPECIFIC_PEER,
                   .tStatusBar = STB_SPECIFIC_PEER},
     .nKeyLabelMsg = 64,
     .sDeskName = "Peer",
     .fnDeskList = [](TServerSocketInfo& s) { return std::span<bool>(s.vPeerList); },
     .nSplitterRing = EVENT_RING_PEER,
     .fnGlobalRing = [] { return &MyFifoReceived.MyGlobalPeerMsgRead; },
     .fnKeyRings = [] { return &MyFifoReceived.MySpecificPeerMsgRead[0]; }},
    {.tFamily = EVENT_FAMILY_FEATUREPARK,
     .sName = "parking",
     .sListName = "parks",
     .pnFirstKey = &TProfileConfig::nParkFirst,
     .nKeyCount = PARK_COUNT,
     .tGlobal = {.sInitSource = "TGlobalFeatureParkMsgRead.Initialize",
                 .sPushSource = "TGlobalFeatureParkMsgRead.GlobalFeatureParkMsgRead",
                 .sFullText = "Error: FIFO FULL (Global/FeaturePark) - ",
                 .sExecuteSource = "TExecGlobalFeatureParkMsgReadThread.Execute",
                 .sProcessSource = "TExecGlobalFeatureParkMsgReadThread.ProcessGlobalMessage",
                 .pbPaneSwitch = &TAppInfo::bWriteGlobalFeatureParkLog,
                 .pAuditList = &TAuditEvents::lstGlobalFeaturePark,
                 .tPane = PANE_GLOBAL_FEATUREPARK,
                 .tPaneCheck = CTL_CHK_GLOBAL_FEATUREPARK,
                 .tStatusBar = STB_GLOBAL_FEATUREPARK},
     .tSpecific = {.sInitSource = "TSpecificFeatureParkMsgRead.Initialize",
                   .sPushSource = "TSpecificFeatureParkMsgRead.SpecificFeatureParkMsgRead",
                   .sFullText = "Error: FIFO FULL (Specific/FeaturePark) - ",
                   .sExecuteSource = "TExecSpecificFeatureParkMsgReadThread.Execute",
                   .sProcessSource = "TExecSpecificFeatureParkMsgReadThread.ProcessSpecificMessage",
                   .pbPaneSwitch = &TAppInfo::bWriteSpecificFeatureParkLog,
                   .pAuditList = &TAuditEvents::lstSpecificFeaturePark,
                   .tPane = PANE_SPECIFIC_FEATUREPARK,
                   .tPaneCheck = CTL_CHK_SPECIFIC_FEATUREPARK,
                   .tStatusBar = STB_SPECIFIC_FEATUREPARK},
     .nKeyLabelMsg = 65,
     .sDeskName = "FeaturePark",
     .fnDeskList = [](TServerSocketInfo& s) { return std::span<bool>(s.vFeatureParkList); },
     .nSplitterRing = EVENT_RING_FEATUREPARK,
     .fnGlobalRing = [] { return &MyFifoReceived.MyGlobalFeatureParkMsgRead; },
     .fnKeyRings = [] { return &MyFifoReceived.MySpecificFeatureParkMsgRead[0]; }},
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

std::span<TSpecificMsgReadFifo> TEventFamily::KeyRings() const {
  return {fnKeyRings(), static_cast<size_t>(nKeyCount)};
}
