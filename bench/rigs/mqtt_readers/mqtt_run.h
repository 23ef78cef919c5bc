// The benchmark's MQTT readers: the load benchmark's mosquitto anchor follows the same frames on
// an MQTT broker that the relay's clients get from its port, with the client tool's tallies and
// report (one subscriber, or N subscribers of a load run), so the two rows compare alike.
//
// Topics: "<prefix>/queue/<n>", "<prefix>/extension/<n>", "<prefix>/parking/<n>" for the numbers of
// the lists, QoS 0, a long list as one "+" wildcard for its family (client/broker_tally.h), as the
// client tool's NATS mode does. Every subscriber has a connection of its own, as every client of the relay has.
//
// Threads: one. The main thread drives every connection through libmosquitto's calls for an
// outside event loop (poll over the sockets, then the library's read, write and housekeeping
// steps), so the library's callbacks run on it too and nothing needs a lock. SIGINT and SIGTERM
// are read from a signalfd in the same poll.
#pragma once

#include <string>
#include <vector>

#include "client/options.h"

namespace cticlient {

// The topics one subscriber takes for the lists of tOptions, in the order queue, extension,
// parking.
std::vector<std::string> MqttTopics(const TClientOptions& tOptions);

// Follows the broker at sAddress ("host:port") to the end of the run; returns the exit code (0
// normal end, 1 when the broker could not be reached or did not confirm the subscriptions, or a
// single subscriber lost its connection).
int RunMqtt(const TClientOptions& tOptions, const std::string& sAddress);

}  // namespace cticlient
