// The client fan-out as an event outlet: each forwarded event is handed over to the control
// thread, which writes it to every running client subscribed to its key. The stage waits for the
// writes to be queued (not sent), so the events of one key reach the clients in order.
#pragma once

#include "pipeline/untEventOutlet.h"

// The one client outlet; registered by start-up.
TEventOutlet& ClientFanOutlet();
