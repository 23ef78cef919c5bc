#include "pipeline/untGlobalMsgReadThread.h"

#include <exception>

#include "pipeline/untEventKeys.h"
#include "pipeline/untPipelineCommon.h"
#include "pipeline/untSpecificMsgRead.h"

namespace {

constexpr int32_t SLEEP_BACKLOG = 5;  // events waiting at or below which the stage naps
constexpr int SLEEP_MS = 100;

const TGlobalStageFamily& QueueFamily() {
  static const TGlobalStageFamily tFamily{&MyFifoReceived.MyGlobalQueueMsgRead,
                                          &MyAppInfo.bWriteGlobalQueueLog,
                                          "TExecGlobalQueueMsgReadThread.Execute",
                                          "TExecGlobalQueueMsgReadThread.ProcessGlobalMessage",
                                          &ExtractQueueNumber,
                                          &TSpecificQueueMsgRead::SpecificQueueMsgRead,
                                          &TValidate::PrintStatusBarGlobalQueue,
                                          &TValidate::PrintGlobalQueueLog};
  return tFamily;
}

const TGlobalStageFamily& PeerFamily() {
  static const TGlobalStageFamily tFamily{&MyFifoReceived.MyGlobalPeerMsgRead,
                                          &MyAppInfo.bWriteGlobalPeerLog,
                                          "TExecGlobalPeerMsgReadThread.Execute",
                                          "TExecGlobalPeerMsgReadThread.ProcessGlobalMessage",
                                          &ExtractPeerNumber,
                                          &TSpecificPeerMsgRead::SpecificPeerMsgRead,
                                          &TValidate::PrintStatusBarGlobalPeer,
                                          &TValidate::PrintGlobalPeerLog};
  return tFamily;
}

const TGlobalStageFamily& FeatureParkFamily() {
  static const TGlobalStageFamily tFamily{&MyFifoReceived.MyGlobalFeatureParkMsgRead,
                                          &MyAppInfo.bWriteGlobalFeatureParkLog,
                                          "TExecGlobalFeatureParkMsgReadThread.Execute",
                                          "TExecGlobalFeatureParkMsgReadThread.ProcessGlobalMessage",
                                          &ExtractFeatureParkNumber,
                                          &TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead,
                                          &TValidate::PrintStatusBarGlobalFeaturePark,
                                          &TValidate::PrintGlobalFeatureParkLog};
  return tFamily;
}

}  // namespace

TExecGlobalQueueMsgReadThread::TExecGlobalQueueMsgReadThread() : TExecGlobalStageThread(QueueFamily()) {}
TExecGlobalPeerMsgReadThread::TExecGlobalPeerMsgReadThread() : TExecGlobalStageThread(PeerFamily()) {}
TExecGlobalFeatureParkMsgReadThread::TExecGlobalFeatureParkMsgReadThread()
    : TExecGlobalStageThread(FeatureParkFamily()) {}

void TExecGlobalStageThread::Execute() {
  TSpecificMsgReadFifo& ring = *tFamily.pRing;
  try {
    while (MyAppInfo.bIsRunning) {
      const int32_t nWP = ring.nWP.load(std::memory_order_relaxed);
      if (nWP % 10 == 0) {
        const int32_t nRP = ring.nRP.load(std::memory_order_relaxed);
        HandOverToControl([&](TValidate& v) { (v.*tFamily.fnStatusBar)(nWP, nRP); });
      }
      if (TText sText = FifoPop(ring)) ProcessGlobalMessage(std::move(sText));
      if (FifoBacklog(ring.nWP.load(std::memory_order_relaxed), ring.nRP.load(std::memory_order_relaxed),
                      SPECIFIC_MSG_READ_SLOTS) <= SLEEP_BACKLOG)
        SleepMs(SLEEP_MS);
    }
  } catch (const std::exception& e) {
    PipelineLogError(tFamily.sExecuteSource, e.what());
  }
}

void TExecGlobalStageThread::ProcessGlobalMessage(TText sMyNewMessage) {
  std::optional<int32_t> nKey;
  try {
    nKey = tFamily.fnExtractKey(*sMyNewMessage);
  } catch (const std::exception& e) {
    PipelineLogError(tFamily.sProcessSource, e.what());
    return;
  }
  if (!nKey) return;
  // Push and pane are one unit: a failure in it loses this event only, without a line (a full
  // ring has logged its own).
  try {
    const bool bShow = ShowStagePane(*tFamily.pbPaneSwitch);
    std::string sShown;
    if (bShow) sShown = *sMyNewMessage;  // the pushed text belongs to the next stage from now on
    tFamily.fnPushKeyed(std::move(sMyNewMessage), *nKey);
    if (bShow) HandOverToControl([&](TValidate& v) { (v.*tFamily.fnPane)(sShown); });
  } catch (const std::exception&) {
  }
}
