// The raw-event ring family: text read from the exchange, consumed by the splitter thread.
#pragma once

#include "pipeline/untFifo.h"

class TGeneralMsgRead {
 public:
  // Opens the raw-event ring and starts TExecGeneralMsgReadThread.
  static bool Initialize();
  // Push of one read of the exchange connection (control thread).
  static void GeneralMsgRead(TText sText);
};
