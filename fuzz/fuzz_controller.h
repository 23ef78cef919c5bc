// Shared by the fuzz targets that drive the controller's client operations: the process set-up
// (shared records, a controller built from a minimal Config.ini by the tests' relay fixture, a
// client listener that never listens), a sentinel slot that no operation on slot 0 may touch, and
// slot snapshots.
//
// Threads: libFuzzer's one thread plays the control thread; the log writer is never started, so
// WriteLog returns at once and nothing is written to disk while fuzzing.
// The listener has no connection, so every reply of the handshake fails to send: SocketServerRead
// then logs the failure and returns False after the slot has taken its step, which is what the
// targets model.
#pragma once

#include <string>

#include "base/untVariables.h"
#include "controller/untDeskService.h"
#include "controller/untValidate.h"
#include "fuzz_support.h"
#include "platform/untServerSocket.h"
#include "support/RelayFixture.h"

namespace fuzzsupport {

constexpr int32_t FUZZ_SLOT = 0;      // the slot every input drives
constexpr int32_t SENTINEL_SLOT = 1;  // holds a running client that must never change
const std::string FUZZ_ADDRESS = "127.0.0.1";
constexpr int32_t FUZZ_PORT = 40000;

// Once per process: shared records and the controller in service mode (no notices), made by the
// tests' relay fixture without log writer, control thread or manager object; then a desk service
// attached to it. The folder with Config.ini goes when the process ends normally.
inline TValidate& PrepareController() {
  static testsupport::TRelayFixture tRelay;
  static TValidate* pValidate = [] {
    const bool bStarted =
        tRelay.Start({.sConfig = "[AMI]\r\nSERVERIP=127.0.0.1\r\n", .bService = true, .bLogWriter = false});
    FUZZ_CHECK(bStarted && MyValidate != nullptr, "cannot set up the controller");
    // The desk service's listener is never set active: no connection at all. It lives to the end
    // of the process, made after the fixture and so gone before it; a leaked one counted as a leak
    // at exit once the fixture had deleted the controller that pointed to it.
    static TDeskService desks;
    MyValidate->AttachDeskService(&desks);
    return MyValidate;
  }();
  return *pValidate;
}

inline TServerSocketInfo& Slot(int32_t n) { return MyAppInfo.MyServerSocketInfo[static_cast<size_t>(n)]; }

inline TServerSocketInfo SentinelValue() {
  TServerSocketInfo s;
  s.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING;
  s.sRemoteAddress = "10.9.9.9";
  s.nRemotePort = 9;
  s.sAppInfo = "Sentinel";
  s.sToken = "qmRoK8]s";
  s.vQueueList[0] = s.vQueueList[QUEUE_COUNT - 1] = true;
  s.vPeerList[0] = s.vPeerList[PEER_COUNT - 1] = true;
  s.vFeatureParkList[0] = s.vFeatureParkList[PARK_COUNT - 1] = true;
  return s;
}

inline bool SameSlot(const TServerSocketInfo& a, const TServerSocketInfo& b) {
  return a.tMainSocketServerStateMachine == b.tMainSocketServerStateMachine && a.sRemoteAddress == b.sRemoteAddress &&
         a.nRemotePort == b.nRemotePort && a.sAppInfo == b.sAppInfo && a.sToken == b.sToken &&
         a.vQueueList == b.vQueueList && a.vPeerList == b.vPeerList && a.vFeatureParkList == b.vFeatureParkList;
}

// Slot 0 free, slot 1 the sentinel, every other slot free as the process left it.
inline void ResetTable() {
  Slot(FUZZ_SLOT) = TServerSocketInfo();
  Slot(SENTINEL_SLOT) = SentinelValue();
}

inline void CheckSentinel(std::string_view sInput) {
  static const TServerSocketInfo sentinel = SentinelValue();
  FUZZ_CHECK(SameSlot(Slot(SENTINEL_SLOT), sentinel), "an operation on slot 0 changed slot 1; input " + Escaped(sInput));
  FUZZ_CHECK(Slot(2).tMainSocketServerStateMachine == MAIN_SOCKET_SERVER_STATE_MACHINE_NONE &&
                 Slot(2).sRemoteAddress.empty(),
             "an operation on slot 0 took slot 2; input " + Escaped(sInput));
}

// The flags of family f of a slot (0 queues, 1 extensions, 2 parking lots), indexed by number
// minus the family's first number.
inline bool* FamilyFlags(TServerSocketInfo& s, int f) {
  return f == 0 ? s.vQueueList.data() : f == 1 ? s.vPeerList.data() : s.vFeatureParkList.data();
}
inline bool SameFamily(const TServerSocketInfo& a, const TServerSocketInfo& b, int f) {
  return f == 0 ? a.vQueueList == b.vQueueList : f == 1 ? a.vPeerList == b.vPeerList
                                                        : a.vFeatureParkList == b.vFeatureParkList;
}
inline bool NoFlagCleared(const TServerSocketInfo& before, const TServerSocketInfo& after) {
  for (size_t n = 0; n < before.vQueueList.size(); ++n) if (before.vQueueList[n] && !after.vQueueList[n]) return false;
  for (size_t n = 0; n < before.vPeerList.size(); ++n) if (before.vPeerList[n] && !after.vPeerList[n]) return false;
  for (size_t n = 0; n < before.vFeatureParkList.size(); ++n)
    if (before.vFeatureParkList[n] && !after.vFeatureParkList[n]) return false;
  return true;
}

}  // namespace fuzzsupport
