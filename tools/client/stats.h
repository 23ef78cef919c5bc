// Measurement for the CTI client's load runs: a latency histogram with bounded
// memory, per-client tracking of the simulator's sequence numbers (loss and
// duplicates), and the report and RESULT line built from them.
//
// Threads: none of its own; everything here is used by the client's single
// io_context thread. Memory is bounded by the number of distinct values seen,
// never by the run's length for latencies.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace cticlient {

// Log-linear histogram of non-negative microsecond values: exact below 1024 µs,
// within 0.2 % above. Percentiles use the nearest-rank rule and report the
// upper edge of the bucket that holds the rank, never more than the maximum.
class TLatencyHistogram {
 public:
  TLatencyHistogram();

  void Add(int64_t nMicros);  // a negative value (clocks apart) counts as 0
  uint64_t Count() const { return nCount; }
  uint64_t NegativeCount() const { return nNegative; }
  int64_t MaxMicros() const { return nMax; }
  int64_t PercentileMicros(double dPercent) const;  // 0 when empty

 private:
  static size_t BucketOf(uint64_t nValue);
  static uint64_t UpperEdgeOf(size_t nBucket);

  std::vector<uint64_t> vBuckets;  // samples per bucket
  uint64_t nCount = 0;             // samples in all
  uint64_t nNegative = 0;          // samples that were below 0
  int64_t nMax = 0;                // largest sample, µs
};

// Distinct sequence numbers one client has seen, kept as a sparse bitmap of
// 4096-number blocks so that any spread of values costs memory only per block
// touched. At most kMaxBlocks blocks (2 MiB) are kept: a number that would need
// another one, which only a garbled stream produces, is counted as untracked
// and left out of loss and duplicates.
class TSeqTracker {
 public:
  void Add(uint64_t nSeq);
  uint64_t Total() const { return nTotal; }          // stamped frames seen
  uint64_t Distinct() const { return nDistinct; }    // different numbers seen
  uint64_t Duplicates() const { return nTotal - nDistinct - nUntracked; }
  uint64_t Untracked() const { return nUntracked; }  // numbers past the block bound
  // Numbers missing between the lowest and the highest seen.
  uint64_t LostBetweenSeen() const;
  // Numbers of nFirst..nLast never seen.
  uint64_t LostIn(uint64_t nFirst, uint64_t nLast) const;

 private:
  static constexpr uint64_t kBlockBits = 4096;
  static constexpr size_t kMaxBlocks = 4096;
  using TBlock = std::array<uint64_t, kBlockBits / 64>;
  uint64_t CountIn(uint64_t nFirst, uint64_t nLast) const;

  std::unordered_map<uint64_t, TBlock> vBlocks;  // block index -> bits of its numbers
  uint64_t nTotal = 0;      // numbers added, duplicates included
  uint64_t nDistinct = 0;   // different numbers added
  uint64_t nUntracked = 0;  // numbers not kept because of kMaxBlocks
  uint64_t nLow = 0;        // lowest number seen; valid when nDistinct > 0
  uint64_t nHigh = 0;       // highest number seen; valid when nDistinct > 0
};

// What a run measured, summed over its clients.
struct TRunTotals {
  int32_t nClients = 0;          // clients started
  int32_t nReady = 0;            // clients that got through the handshake
  int32_t nRetries = 0;          // handshake attempts beyond the first, all clients
  uint64_t nFrames = 0;          // frames received by all clients
  uint64_t nFramesMin = 0;       // fewest frames of one client
  uint64_t nFramesMax = 0;       // most frames of one client
  double dSeconds = 0;           // from the first READY to the end of the run
  uint64_t nLost = 0;            // sequence numbers missing, all clients
  uint64_t nDuplicates = 0;      // sequence numbers seen again, all clients
  uint64_t nGoingDown = 0;       // "Server is going down!" notices received
  uint64_t nDropped = 0;         // frames dropped for size or cut by a close
  uint64_t nUntracked = 0;       // sequence numbers past the tracking bound, all clients
  bool bExpectSeq = false;       // loss counted against nExpectFirst..nExpectLast
  uint64_t nExpectFirst = 0;     // first expected sequence number
  uint64_t nExpectLast = 0;      // last expected sequence number
};

double FramesPerSecond(const TRunTotals& tTotals);

// "RESULT clients=.. frames=.. fps=.. lost=.. dup=.. p50_ms=.. p99_ms=.. max_ms=..";
// latencies are "nan" when no frame carried a sent stamp.
std::string FormatResultLine(const TRunTotals& tTotals, const TLatencyHistogram& tLatency);

// The human report of a load run, several lines, ending with the RESULT line.
std::string FormatReport(const TRunTotals& tTotals, const TLatencyHistogram& tLatency);

}  // namespace cticlient
