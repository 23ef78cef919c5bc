// telvane-publish: sends the events of a replay file to a NATS server or an MQTT broker, stamped
// and paced exactly as the exchange simulator sends them to the relay, so that the load benchmark
// can run the same fan-out through a general-purpose broker beside the relay.
//
// Each block goes out as one message, framed by the simulator's own FrameEvent: the block's lines
// with CR LF, "TelvaneSeq: n" (1, 2, ... across passes) and "TelvaneSent: <µs since the epoch>"
// taken as the message is made, then the empty line. Its subject is its key's:
// "<prefix>.queue.<n>" for a block with "Queue: n", "<prefix>.extension.<n>" for "Peer: SIP/n"
// (MQTT: "/" between the parts). Event n is due n / rate seconds after "go", as in the
// simulator: at each tick every event due leaves, and the next tick is at least 1 ms later.
//
// Sequence: connect, print READY, wait for the line "go" on stdin, publish, drain, print
// "DONE <events>" and exit 0; exit 1 when the broker cannot be reached or drops the connection,
// 2 for a bad command line. SIGINT and SIGTERM end the pacing early.
//
// Threads: the main thread does all of the above; the client libraries run their own network
// threads (broker_link.h).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "exchange/protocol.h"
#include "broker_link.h"

namespace telvanepublish {

namespace {

using TClock = std::chrono::steady_clock;

constexpr int64_t kDrainTimeoutMs = 30000;  // the last messages to leave for the broker

struct TPublishOptions {
  std::string sReplay;             // replay file
  int64_t nRepeat = 1;             // passes over the file
  double dRate = 1000;             // events/s; 0 = as fast as the library takes them
  std::string sNatsUrl;            // NATS server; or
  std::string sMqttAddress;        // MQTT broker host:port
  std::string sPrefix = "telvane";  // first part of every subject
};

struct TEvent {
  std::string sBlock;    // the block's lines, CR LF, without the empty line
  std::string sSubject;  // its key's subject
};

volatile sig_atomic_t bMyStop = 0;  // set by the signal handler only
void OnStop(int) { bMyStop = 1; }

int64_t NowMicros() {
  timespec tNow{};
  clock_gettime(CLOCK_REALTIME, &tNow);
  return static_cast<int64_t>(tNow.tv_sec) * 1000000 + tNow.tv_nsec / 1000;
}

// The value of the line "sField..." of sBlock, up to its CR LF; empty when the block has none.
std::string_view FieldValue(std::string_view sBlock, std::string_view sField) {
  for (size_t nAt = 0; nAt < sBlock.size();) {
    const size_t nEnd = std::min(sBlock.find("\r\n", nAt), sBlock.size());
    const std::string_view sLine = sBlock.substr(nAt, nEnd - nAt);
    if (sLine.starts_with(sField)) return sLine.substr(sField.size());
    nAt = nEnd + 2;
  }
  return {};
}

bool SubjectOf(const TBrokerLink& tLink, const std::string& sPrefix, std::string_view sBlock, std::string& sSubject) {
  const std::string_view sQueue = FieldValue(sBlock, "Queue: "), sPeer = FieldValue(sBlock, "Peer: SIP/");
  if (sQueue.empty() && sPeer.empty()) return false;
  sSubject = sQueue.empty() ? tLink.Subject(sPrefix, "extension", sPeer) : tLink.Subject(sPrefix, "queue", sQueue);
  return true;
}

bool ParseOptions(int argc, char** argv, TPublishOptions& tOptions) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string sName = argv[i], sValue = argv[i + 1];
    if (sName == "--replay") tOptions.sReplay = sValue;
    else if (sName == "--repeat") tOptions.nRepeat = std::atoll(sValue.c_str());
    else if (sName == "--rate") tOptions.dRate = std::atof(sValue.c_str());
    else if (sName == "--nats") tOptions.sNatsUrl = sValue;
    else if (sName == "--mqtt") tOptions.sMqttAddress = sValue;
    else if (sName == "--prefix") tOptions.sPrefix = sValue;
    else return false;
  }
  return argc % 2 == 1 && !tOptions.sReplay.empty() && tOptions.nRepeat > 0 && tOptions.dRate >= 0 &&
         std::isfinite(tOptions.dRate) && tOptions.sNatsUrl.empty() != tOptions.sMqttAddress.empty();
}

bool LoadEvents(const TPublishOptions& tOptions, const TBrokerLink& tLink, std::vector<TEvent>& vEvents,
                std::string& sError) {
  std::vector<std::string> vBlocks;
  if (!exsim::LoadReplayFile(tOptions.sReplay, vBlocks, sError)) return false;
  for (std::string& sBlock : vBlocks) {
    TEvent tEvent;
    if (!SubjectOf(tLink, tOptions.sPrefix, sBlock, tEvent.sSubject)) {
      sError = "event " + std::to_string(vEvents.size() + 1) + " of " + tOptions.sReplay +
               " has no \"Queue:\" or \"Peer: SIP/\" line to name its subject";
      return false;
    }
    tEvent.sBlock = std::move(sBlock);
    vEvents.push_back(std::move(tEvent));
  }
  return true;
}

// The simulator's schedule: event n is due at tStart + n / rate; every tick sends what is due.
bool PublishAll(TBrokerLink& tLink, const std::vector<TEvent>& vEvents, const TPublishOptions& tOptions) {
  const uint64_t nTotal = vEvents.size() * static_cast<uint64_t>(tOptions.nRepeat);
  const TClock::time_point tStart = TClock::now();
  uint64_t nSent = 0;
  while (nSent < nTotal && !bMyStop) {
    const double dElapsed = std::chrono::duration<double>(TClock::now() - tStart).count();
    const uint64_t nDue = tOptions.dRate > 0 ? std::min<uint64_t>(nTotal, static_cast<uint64_t>(std::floor(dElapsed * tOptions.dRate)) + 1)
                                             : nTotal;
    for (; nSent < nDue; ++nSent) {
      const TEvent& tEvent = vEvents[nSent % vEvents.size()];
      if (!tLink.Publish(tEvent.sSubject, exsim::FrameEvent(tEvent.sBlock, true, nSent + 1, NowMicros()))) {
        std::fprintf(stderr, "telvane-publish: the broker connection is gone after %llu events\n",
                     static_cast<unsigned long long>(nSent));
        return false;
      }
    }
    if (nSent >= nTotal) break;
    const auto tDue = tStart + std::chrono::duration_cast<TClock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(nSent) / tOptions.dRate));
    std::this_thread::sleep_until(std::max(tDue, TClock::now() + std::chrono::milliseconds(1)));
  }
  std::printf("DONE %llu\n", static_cast<unsigned long long>(nSent));
  return true;
}

const char* const kUsage =
    "usage: telvane-publish --replay FILE [--repeat N] [--rate R] (--nats URL | --mqtt HOST:PORT) [--prefix P]\n"
    "  Publishes the file's events, stamped as the exchange simulator stamps them, one subject per key,\n"
    "  once \"go\" is read on stdin. --rate 0: as fast as the broker's library takes them.\n";

int Run(const TPublishOptions& tOptions) {
  std::unique_ptr<TBrokerLink> pLink =
      tOptions.sNatsUrl.empty() ? MakeMqttLink(tOptions.sMqttAddress) : MakeNatsLink(tOptions.sNatsUrl);
  std::vector<TEvent> vEvents;
  std::string sError;
  if (!LoadEvents(tOptions, *pLink, vEvents, sError) || !pLink->Open(sError)) {
    std::fprintf(stderr, "telvane-publish: %s\n", sError.c_str());
    return 1;
  }
  std::puts("READY");
  std::fflush(stdout);
  std::string sLine;
  while (std::getline(std::cin, sLine) && sLine != "go") {
  }
  if (!std::cin || bMyStop) return 1;
  const bool bOk = PublishAll(*pLink, vEvents, tOptions);
  const bool bDrained = pLink->Drain(kDrainTimeoutMs);
  if (!bDrained) std::fputs("telvane-publish: the last messages did not leave in time\n", stderr);
  std::fflush(stdout);
  return bOk && bDrained ? 0 : 1;
}

}  // namespace
}  // namespace telvanepublish

int main(int argc, char** argv) {
  using namespace telvanepublish;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);
  TPublishOptions tOptions;
  if (!ParseOptions(argc, argv, tOptions)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return Run(tOptions);
}
