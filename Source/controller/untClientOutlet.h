// The client fan-out as an event outlet: each batch of forwarded events is handed over to the
// control thread in one blocking hand-over, and there each running client gets the frames of the
// keys it subscribed to in one write. The stage waits for the writes to be queued (not sent), so
// the events of one key reach the clients in order. The batches go to the desk service attached
// to the controller (TValidate::AttachDeskService); without one nothing is written.
#pragma once

#include "pipeline/untEventOutlet.h"

// The one client outlet; registered by start-up.
TEventOutlet& ClientFanOutlet();
