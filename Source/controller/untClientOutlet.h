// The client fan-out as an event outlet: each batch of forwarded events is handed over to the
// control thread in one blocking hand-over, and there each running client gets the frames of the
// keys it subscribed to in one write. The stage waits for the writes to be queued (not sent), so
// the events of one key reach the clients in order.
#pragma once

#include "pipeline/untEventOutlet.h"

class TDeskService;

// The one client outlet; registered by start-up.
TEventOutlet& ClientFanOutlet();
// The desk service the outlet hands its batches to (null: none, nothing is written). Set by the
// manager object at creation and at its end; control thread.
void AttachClientFanOut(TDeskService* pDesks);
