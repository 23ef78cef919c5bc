// The end of the process, the same for both modes. What stops, in order:
//   1. The mode's own stop, on the control thread, while the loop still runs:
//        window mode: FormCloseQuery (a running capture written, run flag off, the exchange link
//                     and the listener stopped, the controller destroyed), then FormClose
//                     (termination request);
//        service mode: ServiceStop (the manager object destroyed; the process end closes the rest).
//   2. The control loop is closed (EndProcess): no event runs any more, and a worker waiting in a
//      hand-over is released instead of waiting for a loop that will not come.
//   3. The log ring is given a bounded moment to reach the file, so the lines that say why the
//      relay ends are kept.
//   4. The run flag goes off: the rings refuse text, the log call takes no more lines, and every
//      worker leaves its loop at its next turn (the log writer after writing what still waits).
//   5. The workers are waited for, with a bound, so none still runs while the process tears down.
//   6. The NATS connection, when there is one, gets a bounded moment to send what it holds and is
//      closed.
// Main thread, after the control loop has returned (or without it: install and uninstall).
#pragma once

#include "base/untExitCodes.h"

// Steps 2 to 6; returns nExitCode.
int EndProcess(int nExitCode);
