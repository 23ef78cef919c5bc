// NATS publishing: a second event outlet beside the client fan-out. Every frame the desks receive
// is published once more, on the subject "<prefix>.<family>.<key>" ("telvane.queue.10005"), with
// the headers Telvane-Family, Telvane-Key, Telvane-Seq (the frame's number among its key's) and
// Telvane-Family-Seq (among its family's), so that any number of consumers on any number of
// machines and sites can follow the exchange without another login to it, and see any gap.
//
// An outer adapter: the pipeline knows it only as a TEventOutlet, and nothing outside this file
// includes the NATS client library. It is registered at start-up only when [NATS] URL is set, after
// the client outlet, so the desks are always served first and never wait for NATS.
//
// Threads (details in the .cpp):
//   - Deliver: the three per-key stage threads; it never waits for the network.
//   - The link thread (a worker of its own): connects once, at start-up, and keeps the JetStream
//     stream after every (re)connect.
//   - The client library's callback thread: connection events and asynchronous errors; it logs and
//     touches atomics only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Registers the NATS outlet and starts its link thread when MyConfigInfo.MyNats.sUrl is set;
// otherwise does nothing. Start-up, main thread, after the client outlet has been registered.
void StartNatsOutlet();

// Flushes what the client still holds (at most one second) and closes the connection. End of
// process, after the workers have stopped; a frame delivered after that is counted as dropped.
void CloseNatsOutlet();

// ---- Pure helpers, exposed for the tests ----

// The server list of [NATS] URL: split at commas, each entry trimmed, empty entries left out.
std::vector<std::string> SplitNatsServers(const std::string& sUrl);

// [NATS] URL (one server or a comma-separated list) with every user name, password or token
// before an "@" replaced by "***" ("nats://u:p@h:4222" gives "nats://***@h:4222"), for log lines.
// Whatever a password holds ("@", ":", ",", "://", percent escapes), none of it is shown.
std::string HideUrlSecrets(const std::string& sUrl);

// sText with every secret that HideUrlSecrets hides in sUrl replaced by "***": for texts of the
// client library, which may quote a server's URL.
std::string HideUrlSecretsIn(const std::string& sText, const std::string& sUrl);

// The servers of [NATS] URL as log lines name them: "nats://***@a:4222, tls://b:4222".
std::string NatsServersForLog(const std::string& sUrl);

// "<prefix>.<family name>.<key>".
std::string NatsSubject(const std::string& sPrefix, const char* sFamilyName, int32_t nKey);
