// TDeskService, the desk service: the one owner of the desk listener (plain and TLS) with its
// connections, the slot table and the session of each slot, the client port's guards
// (admission, handshake deadline, held connections, TLS failures), the handshake and change
// commands of the slots' clients, the fan-out of event batches to them, and the listener's start
// and stop. It wires the listener's events to its own handlers once and logs each event to the
// proxy pane; every step of a desk's read, from the event to the slot's change, runs in its own
// members. Each session that takes a slot carries the slot's number, so its reads reach the
// handshake without a search. The controller keeps the client service's operation names (the
// table's, the handshake's, the fan-out's, the start and stop) as members that hand on to it. The
// slots' storage is the shared record MyAppInfo.MyServerSocketInfo, which the console, the metrics
// and the web pages read; their sessions are this service's alone. One file per concern:
//   untDeskService.cpp    the listener's events, the read log budget
//   untDeskSlots.cpp      the slot table
//   untDeskAdmission.cpp  the client port's guards
//   untDeskHandshake.cpp  the handshake and change commands, the listener's start and stop
//   untDeskFanOut.cpp     the fan-out of event batches
//
// The log keeps the sources it always had: the listener's lines are the manager object's
// handlers ("TfrmTelvane.socManagerServerClientRead", ...), the rest the controller's
// ("TValidate.AdmitClient", "TValidate.SocketServerRead", ...).
//
// Control thread only: create, use and destroy it there. It lives as long as the manager object
// that owns it, which attaches it to the controller and the client outlet while it lives. Its
// handlers serve nobody once the controller has ended (the console's shut-down).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <chrono>
#include <cstddef>
#include <unordered_map>

#include "base/untVariables.h"
#include "logging/untThinnedLine.h"
#include "platform/untAddressRange.h"
#include "platform/untServerSocket.h"

struct TEventBatch;

// The log budget of one connection's reads in the current window (untDeskService.cpp).
struct TReadLogBudget {
  std::chrono::steady_clock::time_point tWindowStart;  // start of the current window
  size_t nLoggedBytes = 0;    // bytes of read lines logged in the window, as written (UTF-8)
  bool bSpent = false;        // a read did not fit: the window's later reads are left out too
  int64_t nLeftOutBytes = 0;  // bytes of the reads left out in the window
};
using TReadLogBudgets = std::unordered_map<const TServerConnection*, TReadLogBudget>;

class TDeskService {
 public:
  TDeskService();   // wires the listener's events; the listener is inactive
  ~TDeskService();  // the listener closes without raising events
  TDeskService(const TDeskService&) = delete;
  TDeskService& operator=(const TDeskService&) = delete;

  // ---- The listener's events (sources "TfrmTelvane.<handler>") ----
  void socManagerServerListen();
  TAdmission_OPT socManagerServerAdmit(TServerConnection& connection);
  void socManagerServerAccept(TServerConnection& connection);
  void socManagerServerClientConnect(TServerConnection& connection);
  void socManagerServerClientDisconnect(TServerConnection& connection);
  void socManagerServerClientError(TServerConnection& connection, int& nErrorCode);
  void socManagerServerClientRead(TServerConnection& connection);
  void socManagerServerClientOverflow(TServerConnection& connection);
  void socManagerServerClientTimeout(TServerConnection& connection);
  void socManagerServerClientTlsError(TServerConnection& connection, const std::string& sReason);
  void socManagerServerAcceptError(const std::string& sReason);

  // ---- The slot table (control thread; logged under the controller's names) ----
  // pConnection: the session that takes the slot (null where there is none, as in table tests).
  bool InsertClientInfo(const std::string& sAddress, int32_t nPort, TServerConnection* pConnection = nullptr);
  bool DeleteClientInfo(const std::string& sAddress, int32_t nPort);
  // The slot the connection holds, or -1 (it found none free): read from the number the slot
  // gave it, checked against the slot, so no search and no stale answer.
  int32_t SlotOf(const TServerConnection& connection) const;
  // The session that holds slot nSlot, or null: none took it, it is free, or nSlot is no slot.
  TServerConnection* Session(int32_t nSlot) const;
  bool UpdateClientInfo(int32_t nSocketInfoArrayPos, const std::string& sAppInfo, const std::string& sToken,
                        const std::string& sQueueList, const std::string& sPeerList,
                        const std::string& sFeatureParkList);
  bool ChangeQueueClientInfo(int32_t nSocketInfoArrayPos, const std::string& sQueueList);
  bool ChangePeerClientInfo(int32_t nSocketInfoArrayPos, const std::string& sPeerList);
  bool ChangeFeatureParkClientInfo(int32_t nSocketInfoArrayPos, const std::string& sFeatureParkList);

  // ---- Client service (control thread; logged under the controller's names) ----
  // The handshake or change command of the client in slot nSocketInfoArrayPos, which answers on
  // the session the slot holds; nSocketServerClientPos is that session's index in the listener's
  // list, for the error line only (-1 where it was not looked for; untDeskHandshake.cpp).
  bool SocketServerRead(const std::string& sReceivedText, int32_t nSocketServerClientPos,
                        int32_t nSocketInfoArrayPos, const std::string& sRemoteAddress, int32_t nRemotePort);
  // Each running client subscribed to some of the batch's keys gets those frames, in batch order,
  // in one write; frames shared by many clients are not copied for each (untDeskFanOut.cpp).
  bool SocketServerWriteBatch(const TEventBatch& tBatch);
  // Empties the slots and listens on nPort (and the TLS port when set); the stop sends each client
  // with a slot the stop notice, releases the slots and closes every connection.
  bool StartSocketServer(int32_t nPort);
  bool StopSocketServer();

  // ---- Client port guards (control thread; logged under the controller's names) ----
  // Allow-list and per-address limit, asked once, at accept, before a connection is listed. One
  // over the limit is held until a handshake of its address ends; one beyond the bounds of the
  // held, or whose check fails, is refused with a log line. The deadline of an admitted or held
  // one starts here, so a held one's wait counts against it.
  TAdmission_OPT AdmitClient(TServerConnection& connection);
  // The handshake deadline ([PROXY] HANDSHAKETIMEOUT) from now; nothing when it is off.
  void StartHandshakeDeadline(TServerConnection* pConnection);
  // The handshake is through: no deadline, and the oldest connection held from its address is let in.
  void StopHandshakeDeadline(TServerConnection* pConnection);
  // The deadline passed: logs it and closes the connection, whose disconnect frees its slot.
  void HandshakeDeadlinePassed(TServerConnection& connection);
  // Before a connection's slot is released: one that was still in the handshake lets the oldest
  // connection held from its address in.
  void ClientLeaving(const TServerConnection& connection);
  // A desk's TLS handshake failed: a log line with the reason, thinned under a flood.
  void TlsHandshakeFailed(const TServerConnection& connection, const std::string& sReason);
  // Opens the TLS listener when [PROXY] TLSPORT is set; a failure is logged and leaves the plain
  // port alone. False when it failed.
  bool StartTlsListener();

  // ---- Owned (control thread) ----
  TServerSocket socManagerServer;  // the desk listener

 private:
  // The session of each slot: set when it takes the slot, cleared when the slot is released or
  // the listener starts (a slot is released before its session can go away). It counts only while
  // its slot is taken, so a table emptied under the service leaves no session behind.
  std::array<TServerConnection*, MAX_CLIENT_SLOTS> vSessions{};  // by slot index; control thread

  // The allow-list in force, parsed again only when the configured text changes.
  const TAddressRanges& AllowList();

  // ---- Control thread only ----
  TReadLogBudgets mapReadLogBudgets;  // one per connection that has read
  uint64_t nAcceptFailures = 0;       // failed accepts of the current shortage
  TThinnedLine tRefusedOutside;       // connections refused by the allow-list
  TThinnedLine tRefusedOverLimit;     // connections refused by the per-address limit
  TThinnedLine tRefusedUnchecked;     // connections refused because the check failed
  TThinnedLine tTlsFailures;          // failed TLS handshakes of desks
  TAddressRanges tAllowList;          // [PROXY] ALLOWFROM as parsed
  std::string sAllowParsed;           // the text tAllowList was parsed from
  bool bAllowParsed = false;          // tAllowList has been parsed once
};
