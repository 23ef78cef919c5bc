// What the client tool's NATS mode and the load benchmark's MQTT readers (bench/rigs/mqtt_readers)
// share, so that both name, filter, count and report alike, and alike with the port mode: the
// names one subscriber follows for the lists, the filter for what a family wildcard brings in, and
// the tallies behind the report.
//
// Names: "<prefix><sep>queue<sep><n>", "<prefix><sep>extension<sep><n>", "<prefix><sep>parking<sep><n>"
// for the numbers of the lists ('.' on NATS, '/' on MQTT). A list of more than kWildcardAbove
// numbers is followed with one wildcard name for its family and filtered here, so a subscriber to
// 1,000 queues costs the broker one subscription, not 1,000.
//
// Threads: none of their own. A mode guards its TBrokerTally and its subscribers' TReaderTally as
// it guards the subscribers; bStdoutGone alone may be read from anywhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "options.h"
#include "protocol.h"
#include "stats.h"

namespace cticlient {

inline constexpr size_t kWildcardAbove = 16;

// The names one subscriber takes, in the order queue, extension, parking; sWildcard ("*", "+")
// stands for every number of a family whose list is longer than kWildcardAbove.
std::vector<std::string> BrokerNames(const TClientOptions& tOptions, char cSeparator, std::string_view sWildcard);

// Which numbers the lists hold. Constant after construction.
class TKeyFilter {
 public:
  TKeyFilter(const TClientOptions& tOptions, char cSeparator);
  // sName is "<prefix><sep><family><sep><number>" for a number of that family's list.
  bool Wants(std::string_view sName) const;

 private:
  struct TFamilyKeys {
    std::string sName;                  // the family's name token
    std::unordered_set<int32_t> vKeys;  // numbers of its list
  };
  std::string sPrefix;                  // "<prefix><sep>"
  char cSeparator;                      // between family and number
  std::vector<TFamilyKeys> vFamilies;   // queue, extension, parking
};

// One subscriber's counts.
struct TReaderTally {
  uint64_t nFrames = 0;  // frames received
  TSeqTracker tSeq;      // TelvaneSeq values seen
};

// All subscribers' counts, and the run's report.
class TBrokerTally {
 public:
  explicit TBrokerTally(const TClientOptions& tOptions) : tOptions(tOptions) {}

  // Counts a frame that tReader received at nReadMicros; a single subscriber that shows frames
  // prints it as the port mode does. True when tReader reached --count with this frame.
  bool Count(TReaderTally& tReader, const TFrame& tFrame, int64_t nReadMicros);
  void CountDropped() { ++nDropped; }  // a payload that was not one whole frame
  uint64_t Frames() const { return nFrames; }
  bool StdoutGone() const { return bStdoutGone.load(); }

  // "progress: ..." on stderr: frames so far and since the previous line.
  void PrintProgress(double dElapsedSeconds, size_t nSubscribers);
  // The totals over the subscribers, dSeconds from READY to the end.
  TRunTotals Totals(const std::vector<const TReaderTally*>& vReaders, double dSeconds) const;
  // The load report, or the result line of a single --quiet subscriber; nothing otherwise.
  void PrintEnd(const TRunTotals& tTotals) const;

 private:
  bool IsLoad() const { return tOptions.nLoad > 0; }

  const TClientOptions& tOptions;        // the command line; outlives the tally
  TLatencyHistogram tLatency;            // all subscribers' stamped frames
  uint64_t nFrames = 0;                  // frames of all subscribers
  uint64_t nFramesAtTick = 0;            // nFrames at the previous progress line
  uint64_t nDropped = 0;                 // payloads that were not one whole frame
  std::string sOut;                      // a shown frame being composed, reused
  std::atomic<bool> bStdoutGone{false};  // the reader of stdout went away
};

}  // namespace cticlient
