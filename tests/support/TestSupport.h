// Test support, shared by the tests, the benchmarks and the fuzz targets. One of each:
//   TestBasics.h         the deadline, polling, files, today's date, temporary folders
//   TestProcess.h        the process launcher (stdin a pipe, stdout and stderr in files)
//   TestNet.h            free ports, the loopback connection and listener, the client handshake
//   TestRelay.h          the exchange simulator and a relay copy as child processes, their config
//   EndToEnd.h           simulator, logged-in relay and TCP desks, with the events they exchange
//   NatsSupport.h        a nats-server child and a subscriber that keeps every message
//   RelayFixture.h       the relay inside the test process: control thread, controller, manager
//   ReferenceSplitter.h  the raw-event splitting rule written the plain way
// This header gathers the first four, what a test of the real programs needs; the others are
// included where they are used: the end-to-end fixture's event names would meet the tests' own,
// and the rest bring in the relay's or the NATS client's headers.
#pragma once

#include "support/TestBasics.h"
#include "support/TestNet.h"
#include "support/TestProcess.h"
#include "support/TestRelay.h"
