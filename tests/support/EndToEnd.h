// The end-to-end fixture that runs the real programs the way a site does: a silent exchange
// simulator, a relay copy logged in to it with its client port on a free port, desks that connect
// over TCP and finish the handshake, and events the test wrote sent by the simulator on command.
// Also the event texts such tests send and the frames a desk receives for them.
//
// Threads: an object belongs to the thread that made it; the programs stop when it goes away.
// Nothing here needs GoogleTest: a test derives its fixture from TEndToEnd and asserts on the
// answers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

// One event block as a classic exchange writes it (with File:, Line: and Func:), ending in the
// empty line; nId makes its Uniqueid, so every event of a test can be told apart.
std::string Event(const std::string& sName, const std::string& sFile, const std::string& sFields, int nId);
std::string QueueEvent(const std::string& sName, int nQueue, int nId, const std::string& sExtra = "");
std::string QueueEvent(int nQueue, int nId);  // a Join
std::string ChannelEvent(const std::string& sName, const std::string& sChannel, const std::string& sExtra, int nId);
std::string ParkEvent(int nSlot, int nId);    // a ParkedCall
// What a desk receives for an event: the event without its empty line, then two empty lines.
std::string Frame(const std::string& sEvent);
// The whole frames in what a desk received, in order.
std::vector<std::string> Frames(const std::string& sReceived);

class TEndToEnd {
 public:
  using TConfig = std::function<std::string(int nExchangePort, int nProxyPort)>;

  // Starts the simulator with vSimArgs (silent by default: it sends only what Send gives it),
  // picks the client port, writes the relay's Config.ini that fnConfig makes for the two ports,
  // starts the relay and waits until it is logged in. False when any step failed;
  // relay.LogText() then says why.
  bool Start(const TConfig& fnConfig, const std::vector<std::string>& vSimArgs = {"--silent"});
  // A desk through the handshake with these lists; null when it did not get through.
  std::unique_ptr<TTcpClient> Desk(const std::string& sQueues, const std::string& sPeers, const std::string& sParks,
                                   const std::string& sAppId = "e2e");
  // Has the simulator send these events now.
  void Send(const std::string& sEvents);
  // Reads until the desk holds at least nCount whole frames; false when they did not come in time.
  static bool WaitFrames(TTcpClient& client, size_t nCount, std::chrono::milliseconds tTimeout = kDeadline);

 protected:
  TTempDir dir;          // the event files sent
  TExchangeSim sim;
  TRelay relay;
  int nProxyPort = 0;    // the relay's client port
  int nFiles = 0;        // event files written so far
};

}  // namespace testsupport
