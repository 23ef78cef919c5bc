// The raw-event ring family: the control thread pushes every read of the logged-in exchange
// connection; TExecGeneralMsgReadThread consumes it.
#include "pipeline/untGeneralMsgRead.h"

#include "pipeline/untGeneralMsgReadThread.h"
#include "pipeline/untRingFamily.h"
#include "pipeline/untStageWake.h"

bool TGeneralMsgRead::Initialize() {
  return InitializeFamily("TGeneralMsgRead.Initialize", MyFifoReceived.MyGenericMsgRead,
                          []() -> TWorkerThread* { return new TExecGeneralMsgReadThread(); });
}

void TGeneralMsgRead::GeneralMsgRead(TText sText) {
  static TThinnedLine tFullLine;  // refusals of the full ring; control thread
  FifoPush(MyFifoReceived.MyGenericMsgRead, std::move(sText), "TGeneralMsgRead.GeneralMsgRead",
           "Error: FIFO FULL (GENERAL) - ", tFullLine);
  GeneralStageBell().Ring();
}
