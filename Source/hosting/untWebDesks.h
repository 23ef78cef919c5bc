// The web desks: browsers (desk applications and the wallboard) that follow the relay's events
// over a WebSocket in JSON. This is their table, their subscriptions and what each is sent; the
// HTTP and WebSocket side is untWebServer.
//
// Threads: everything here runs on the control thread, like the TCP desks' table. The web outlet
// hands each batch of forwarded events to it with the blocking hand-over, so a web desk gets the
// frames of a key in the order and after the hold-back a TCP desk gets them. civetweb's threads
// reach the table only through the same hand-over (a desk opens, sends a message, closes). What a
// desk is sent goes into its link's bounded queue (TWebLink); its writer sends it off the control
// thread, and a desk whose queue passes the bound is cut, so a browser that does not read never
// holds up the others.
//
// A desk's life: OPEN (upgraded; the handshake deadline of the client port runs) --login-->
// RUNNING (change messages) ; a refused login or the deadline --> {"error"} and close ; the link's
// end, a cut or the server's stop --> removed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pipeline/untEventOutlet.h"

// One web connection as the table sees it; the web server implements it.
class TWebLink {
 public:
  virtual ~TWebLink() = default;
  // Control thread. Queues one text message for the writer; false (nothing queued) when the
  // queue would pass its bound.
  virtual bool Queue(std::string sMessage) = 0;
  // Control thread. Sends what is queued, then the WebSocket close; the peer ends the connection.
  virtual void Finish() = 0;
  // Control thread. Ends the connection now; what is queued is dropped.
  virtual void Cut() = 0;
};

// Bytes a web desk may have queued before it is cut: as for a TCP desk.
constexpr size_t WEB_DESK_QUEUE_BOUND = 4 * 1024 * 1024;

namespace webdesks {

// Control thread. A new connection from sAddress:nPort; returns its id (never 0).
uint64_t Open(std::shared_ptr<TWebLink> pLink, const std::string& sAddress, int32_t nPort);
// Control thread. One text message the desk sent (UTF-8, as received).
void Message(uint64_t nId, const std::string& sText);
// Control thread. The connection has ended; the desk is forgotten.
void Closed(uint64_t nId);
// Control thread. Every desk is cut (the server stops).
void CutAll();
// Control thread: the frames of the batch to the desks subscribed to their keys, and the queues'
// callers waiting updated from the queue events among them.
void DeliverBatch(const TEventBatch& tBatch);
// Control thread, once a second: handshake deadlines, the exchange link's state, dropped events,
// the desk counts.
void Tick();
// Desks connected now (logged in or not); any thread (published by the control thread).
int32_t Count();
// Tests only: forgets every desk and every caller.
void ResetForTest();

}  // namespace webdesks

// The web desks as an event outlet (registered at start-up when [WEB] PORT is set).
TEventOutlet& WebDeskOutlet();
