// The client tool's NATS mode: the frames the relay publishes to NATS, followed by one subscriber
// that prints them as the port mode does, or by N subscribers of a load run with the same report.
//
// Subjects: "<prefix>.queue.<n>", "<prefix>.extension.<n>", "<prefix>.parking.<n>" for the numbers
// of the lists, a long list as one "*" wildcard for its family (broker_tally.h). With
// --nats-stream each subscriber reads the stream from its first frame through an ordered
// consumer, then goes on live.
//
// Threads: the main thread connects, subscribes, then waits for the end (SIGINT or SIGTERM,
// --duration, --count, every connection closed). The client library delivers messages on its own
// threads, each subscriber's in order; all that the deliveries touch is guarded by one lock.
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace cticlient {

// The subjects one subscriber takes for the lists of tOptions, in the order queue, extension,
// parking.
std::vector<std::string> NatsSubjects(const TClientOptions& tOptions);

// Runs the NATS mode to its end; returns the exit code (0 normal end, 1 when no server could be
// reached or, for a single subscriber, its connection closed for good).
int RunNats(const TClientOptions& tOptions);

}  // namespace cticlient
