// One measured run of an anchor: the relay's fan-out done by a general-purpose broker instead,
// so that the relay's CPU and latency can be read against a known yardstick taken on the same
// machine in the same benchmark run.
//
// Brokers: nats-server (core NATS, no JetStream: nothing is stored) or mosquitto (MQTT, QoS 0,
// persistence off, TCP_NODELAY on), each started here on a free loopback port. The publisher
// (telvane-publish) sends the very replay file the simulator would send the relay, stamped and
// paced as the simulator does, one subject or topic per key; the client tool's NATS load mode, or
// the MQTT readers built on its code (telvane-mqtt-readers), give each reader a connection of its
// own, subscribed to every key, and count frames, sequence numbers and stamps as its port mode
// does for the relay's clients.
//
// Sequence: broker up; readers subscribed (READY); publisher connected (READY); "go" starts the
// offer, as "silent off" does for the simulator. The broker's CPU (user + system time of its
// process, all threads, from /proc) is read over the same window as the relay's: from "go" to the
// last frame delivered. The publisher's CPU is not counted, as the simulator's is not for the relay.
//
// Threads: the caller's only. Processes are polled every 50 ms.
#pragma once

#include <string>

#include "LoadEvents.h"
#include "LoadRig.h"
#include "support/TestProcess.h"

namespace telvaneload {

enum TAnchor_OPT : uint8_t {
  ANCHOR_NATS,  // nats-server
  ANCHOR_MQTT,  // mosquitto
};

const char* AnchorName(TAnchor_OPT tAnchor);  // the broker program's name

class TAnchorRig {
 public:
  // tConfig as for the relay's run: keys, events, rate, readers (nClients), bin folder.
  TAnchorRig(TAnchor_OPT tAnchor, TRigConfig tConfig);
  ~TAnchorRig();
  TAnchorRig(const TAnchorRig&) = delete;
  TAnchorRig& operator=(const TAnchorRig&) = delete;

  // Broker, readers and publisher up, events not yet flowing; false with sError otherwise.
  bool Setup(std::string& sError);
  // Offers the events and waits until every reader has them all or delivery has stalled.
  // dCpuSeconds and nPeakRssKb are the broker's; bRelayAlive tells that the broker still ran.
  TRigResult RunEvents();
  int64_t EventsOffered() const { return nEvents; }

 private:
  bool StartBroker(std::string& sError);
  bool StartReaders(std::string& sError);
  bool StartPublisher(std::string& sError);
  void Finish(TRigResult& tResult);

  TAnchor_OPT tAnchor;                 // which broker; constant
  TRigConfig tConfig;                  // as given; constant
  testsupport::TTempDir dirRun;        // replay file, broker config, outputs
  testsupport::TProcess tBroker;       // nats-server or mosquitto
  testsupport::TProcess tReaders;      // the client tool's NATS load mode or telvane-mqtt-readers
  testsupport::TProcess tPublisher;    // telvane-publish
  int nPort = 0;                       // broker's port
  int64_t nEvents = 0;                 // events the publisher will send
  int64_t nFileEvents = 0;             // events in the replay file
  int64_t nPasses = 0;                 // passes over it
};

}  // namespace telvaneload
