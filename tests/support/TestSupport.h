// Test support, shared by the tests, the load benchmark and the fuzz targets. One of each:
//   TestBasics.h         the deadline, polling, files, today's date, temporary folders
//   TestProcess.h        the process launcher (stdin a pipe, stdout and stderr in files)
//   TestNet.h            free ports, the loopback connection and listener, the client handshake
//   TestRelay.h          the exchange simulator and a relay copy as child processes, their config
//   RelayFixture.h       the relay inside the test process: control thread, controller, manager
//   ReferenceSplitter.h  the raw-event splitting rule written the plain way
// This header gathers the first four, what a test of the real programs needs; the last two are
// included where they are used, since they bring in the relay's own headers.
#pragma once

#include "support/TestBasics.h"
#include "support/TestNet.h"
#include "support/TestProcess.h"
#include "support/TestRelay.h"
