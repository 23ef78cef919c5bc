#include "pipeline/untSpecificMsgReadThread.h"

#include <exception>

#include "pipeline/untPipelineCommon.h"

namespace {

constexpr int SLEEP_MS = 100;  // pause after every pass
constexpr const char* AVOIDING = "********** Avoiding this Message **********";

const TSpecificStageFamily& QueueFamily() {
  static const TSpecificStageFamily tFamily{MyFifoReceived.MySpecificQueueMsgRead,
                                            QUEUE_FIRST,
                                            QUEUE_COUNT - 1,
                                            &MyAppInfo.bWriteSpecificQueueLog,
                                            "TExecSpecificQueueMsgReadThread.Execute",
                                            "TExecSpecificQueueMsgReadThread.ProcessSpecificMessage",
                                            &TValidate::SocketServerQueueWrite,
                                            &TValidate::PrintSpecificQueueLog,
                                            &TValidate::PrintStatusBarSpecificQueue};
  return tFamily;
}

const TSpecificStageFamily& PeerFamily() {
  static const TSpecificStageFamily tFamily{MyFifoReceived.MySpecificPeerMsgRead,
                                            PEER_FIRST,
                                            PEER_COUNT - 1,
                                            &MyAppInfo.bWriteSpecificPeerLog,
                                            "TExecSpecificPeerMsgReadThread.Execute",
                                            "TExecSpecificPeerMsgReadThread.ProcessSpecificMessage",
                                            &TValidate::SocketServerPeerWrite,
                                            &TValidate::PrintSpecificPeerLog,
                                            &TValidate::PrintStatusBarSpecificPeer};
  return tFamily;
}

const TSpecificStageFamily& FeatureParkFamily() {
  static const TSpecificStageFamily tFamily{MyFifoReceived.MySpecificFeatureParkMsgRead,
                                            PARK_FIRST,
                                            PARK_COUNT - 1,
                                            &MyAppInfo.bWriteSpecificFeatureParkLog,
                                            "TExecSpecificFeatureParkMsgReadThread.Execute",
                                            "TExecSpecificFeatureParkMsgReadThread.ProcessSpecificMessage",
                                            &TValidate::SocketServerFeatureParkWrite,
                                            &TValidate::PrintSpecificFeatureParkLog,
                                            &TValidate::PrintStatusBarSpecificFeaturePark};
  return tFamily;
}

}  // namespace

TExecSpecificQueueMsgReadThread::TExecSpecificQueueMsgReadThread() : TExecSpecificStageThread(QueueFamily()) {}
TExecSpecificPeerMsgReadThread::TExecSpecificPeerMsgReadThread() : TExecSpecificStageThread(PeerFamily()) {}
TExecSpecificFeatureParkMsgReadThread::TExecSpecificFeatureParkMsgReadThread()
    : TExecSpecificStageThread(FeatureParkFamily()) {}

void TExecSpecificStageThread::Execute() {
  try {
    while (MyAppInfo.bIsRunning) {
      ShowPassStatus(RunPass());
      SleepMs(SLEEP_MS);
    }
  } catch (const std::exception& e) {
    PipelineLogError(tFamily.sExecuteSource, e.what());
  }
}

TExecSpecificStageThread::TPassStatus TExecSpecificStageThread::RunPass() {
  TPassStatus tStatus;
  for (int32_t n = 0; n < tFamily.nServedRings; ++n) {
    TSpecificMsgReadFifo& ring = tFamily.vRings[n];
    const int32_t nWP = ring.nWP.load(std::memory_order_relaxed);
    const int32_t nRP = ring.nRP.load(std::memory_order_relaxed);
    if (nWP - nRP > tStatus.nMaxDiff) tStatus = {tFamily.nFirstKey + n, nWP - nRP, nRP, nWP};
    if (TText sText = FifoPop(ring)) ProcessSpecificMessage(*sText, tFamily.nFirstKey + n);
  }
  return tStatus;
}

void TExecSpecificStageThread::ProcessSpecificMessage(std::string& sMyNewMessage, int32_t nKey) {
  try {
    const size_t nLength = sMyNewMessage.size();
    if (ForwardEvent(sMyNewMessage, nKey)) {
      // The event ends with its last line's CR LF; the blank line and one more close it for clients.
      WriteToClients(nKey, sMyNewMessage.append("\r\n\r\n"));
      sMyNewMessage.resize(nLength);
    } else {
      sMyNewMessage = std::string(AVOIDING) + "\r\n" + sMyNewMessage + AVOIDING + "\r\n";
    }
    if (ShowStagePane(*tFamily.pbPaneSwitch)) ShowInPane(nKey, sMyNewMessage);
  } catch (const std::exception& e) {
    PipelineLogError(tFamily.sProcessSource, e.what());
  }
}

void TExecSpecificStageThread::WriteToClients(int32_t nKey, const std::string& sEvent) {
  HandOverToControl([&](TValidate& v) { (v.*tFamily.fnWrite)(nKey, sEvent); });
}

void TExecSpecificStageThread::ShowInPane(int32_t nKey, const std::string& sEvent) {
  HandOverToControl([&](TValidate& v) { (v.*tFamily.fnPane)(nKey, sEvent); });
}

void TExecSpecificStageThread::ShowPassStatus(const TPassStatus& t) {
  HandOverToControl([&](TValidate& v) { (v.*tFamily.fnStatusBar)(t.nMaxWP, t.nMaxRP, t.nMaxDiff, t.nMaxKey); });
}

bool TExecSpecificPeerMsgReadThread::ForwardEvent(const std::string& sMyNewMessage, int32_t nPeerNumber) {
  bool bGenerateEvent = true;  // events the check does not recognise are forwarded
  TValidate::ValidatePeerEvents(sMyNewMessage, nPeerNumber, bGenerateEvent);
  return bGenerateEvent;
}
