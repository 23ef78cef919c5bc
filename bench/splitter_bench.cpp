// Splitter throughput: a realistic mix of queue, channel, dial and parking events with replies
// between them, cut at random read sizes, fed through TEventSplitter with classification.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "pipeline/untEventSplitter.h"

namespace {

struct TCounting : TEventSplitterOutput {
  int64_t nEvents = 0;
  int64_t nRingHits = 0;
  void OnEvent(std::string_view, uint32_t nRings) override { ++nEvents, nRingHits += nRings != 0; }
  void OnNotEvent(int32_t) override {}
  void OnCarryOverDropped(const std::string&) override {}
  void OnEventTooLarge(size_t) override {}
};

std::string MakeStream(size_t nBytes, std::mt19937& rng) {
  std::string s = "Zunda Call Manager/5.0.1\r\nResponse: Success\r\nMessage: Authentication accepted\r\n\r\n";
  std::uniform_int_distribution<int> tKind(0, 9), tPeer(20001, 21000), tQueue(10001, 10100), tPark(701, 800);
  while (s.size() < nBytes) {
    const std::string sPeer = std::to_string(tPeer(rng));
    switch (tKind(rng)) {
      case 0: case 1: case 2:
        s += "Event: QueueMemberStatus\r\nPrivilege: agent,all\r\nQueue: " + std::to_string(tQueue(rng)) +
             "\r\nLocation: SIP/" + sPeer + "\r\nMemberName: Agent " + sPeer +
             "\r\nMembership: static\r\nPenalty: 0\r\nCallsTaken: 12\r\nLastCall: 1718000000\r\nStatus: 1\r\n"
             "Paused: 0\r\nFile: app_queue.c\r\n\r\n";
        break;
      case 3: case 4: case 5:
        s += "Event: Newstate\r\nPrivilege: call,all\r\nChannel: SIP/" + sPeer +
             "-0000a1b2\r\nChannelState: 6\r\nChannelStateDesc: Up\r\nCallerIDNum: " + sPeer +
             "\r\nCallerIDName: Agent\r\nUniqueid: 1718000000.1234\r\nFile: channel.c\r\n\r\n";
        break;
      case 6: case 7:
        s += "Event: Dial\r\nPrivilege: call,all\r\nSubEvent: Begin\r\nChannel: SIP/" + sPeer +
             "-0000a1b3\r\nDestination: SIP/trunk-0000a1b4\r\nCallerIDNum: " + sPeer +
             "\r\nDialString: trunk/5551234\r\nFile: app_dial.c\r\nFile: chan_sip.c\r\n\r\n";
        break;
      case 8:
        s += "Event: ParkedCall\r\nPrivilege: call,all\r\nExten: " + std::to_string(tPark(rng)) +
             "\r\nChannel: SIP/" + sPeer + "-0000a1b5\r\nFrom: SIP/20002-0000a1b6\r\nTimeout: 45\r\n"
             "File: features.c\r\n\r\n";
        break;
      default:
        s += "Response: Success\r\nPing: Pong\r\nTimestamp: 1718000000.123456\r\n\r\n";
        break;
    }
  }
  return s;
}

void BM_SplitRealisticStream(benchmark::State& state) {
  std::mt19937 rng(42);
  const std::string sStream = MakeStream(size_t{16} << 20, rng);
  std::vector<std::string_view> vReads;
  std::uniform_int_distribution<size_t> tRead(64, 8192);
  for (size_t n = 0; n < sStream.size();) {
    const size_t nLen = std::min(tRead(rng), sStream.size() - n);
    vReads.push_back(std::string_view(sStream).substr(n, nLen));
    n += nLen;
  }
  int64_t nEvents = 0;
  for (auto _ : state) {
    TEventSplitter tSplitter;
    TCounting tOut;
    for (std::string_view s : vReads) tSplitter.Feed(s, tOut);
    benchmark::DoNotOptimize(tOut.nRingHits);
    nEvents += tOut.nEvents;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sStream.size()));
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(nEvents), benchmark::Counter::kIsRate);
  state.counters["reads"] = static_cast<double>(vReads.size());
}
BENCHMARK(BM_SplitRealisticStream)->Unit(benchmark::kMillisecond);

// The worst case for a carried event: one 1 MiB event arriving in 1 KiB reads.
void BM_SplitLargeEventInSmallReads(benchmark::State& state) {
  std::string sEvent = "Event: Big\r\nFile: app_queue.c\r\n";
  while (sEvent.size() < (size_t{1} << 20)) sEvent += "Variable: 0123456789abcdefghijklmnopqrstuvwxyz\r\n";
  sEvent += "\r\n";
  for (auto _ : state) {
    TEventSplitter tSplitter;
    TCounting tOut;
    for (size_t n = 0; n < sEvent.size(); n += 1024) tSplitter.Feed(std::string_view(sEvent).substr(n, 1024), tOut);
    benchmark::DoNotOptimize(tOut.nEvents);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sEvent.size()));
}
BENCHMARK(BM_SplitLargeEventInSmallReads)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
