// The publisher's side of a broker: one connection to a NATS server (libnats) or an MQTT broker
// (libmosquitto, QoS 0, no retained messages), opened before the first event and closed after
// the last. Neither protocol is spoken here: the two client libraries do all of it.
//
// Threads: Publish and Drain are called by the publisher's main thread only. The libraries run
// their own network threads (libnats: reader and flusher; libmosquitto: the loop thread started
// by Open), which touch nothing of ours but the connection flag of the MQTT link.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace telvanepublish {

class TBrokerLink {
 public:
  virtual ~TBrokerLink() = default;
  // Connects and waits for the broker's acceptance; false with sError otherwise.
  virtual bool Open(std::string& sError) = 0;
  // Hands one message to the library; false when the connection is gone.
  virtual bool Publish(const std::string& sSubject, std::string_view sPayload) = 0;
  // Waits up to nTimeoutMs until everything published has left for the broker.
  virtual bool Drain(int64_t nTimeoutMs) = 0;
  // The subject or topic of one key: "<prefix>.queue.10001" on NATS, "<prefix>/queue/10001" on MQTT.
  virtual std::string Subject(const std::string& sPrefix, std::string_view sFamily, std::string_view sKey) const = 0;
};

// sUrl "nats://127.0.0.1:4222".
std::unique_ptr<TBrokerLink> MakeNatsLink(const std::string& sUrl);
// sAddress "127.0.0.1:1883".
std::unique_ptr<TBrokerLink> MakeMqttLink(const std::string& sAddress);

}  // namespace telvanepublish
