// Latency histogram, sequence tracking and the load report; see stats.h.
#include "stats.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace cticlient {

namespace {

// Values below EXACT_LIMIT have a bucket each; above, every power of two is cut
// into SUB_BUCKETS buckets of equal width.
constexpr uint64_t EXACT_LIMIT = 1024;
constexpr uint64_t SUB_BUCKETS = 512;
constexpr int EXACT_BITS = 10;  // log2(EXACT_LIMIT)
constexpr size_t BUCKET_COUNT = EXACT_LIMIT + (64 - EXACT_BITS) * SUB_BUCKETS;

std::string FormatMillis(const TLatencyHistogram& MyLatency, int64_t nMicros) {
  if (MyLatency.Count() == 0) return "nan";
  char sText[32];
  std::snprintf(sText, sizeof sText, "%.3f", static_cast<double>(nMicros) / 1000.0);
  return sText;
}

std::string FormatFixed(double dValue, int nDecimals) {
  char sText[48];
  std::snprintf(sText, sizeof sText, "%.*f", nDecimals, dValue);
  return sText;
}

}  // namespace

// ---- TLatencyHistogram -----------------------------------------------------

TLatencyHistogram::TLatencyHistogram() : vBuckets(BUCKET_COUNT, 0) {}

size_t TLatencyHistogram::BucketOf(uint64_t nValue) {
  if (nValue < EXACT_LIMIT) return static_cast<size_t>(nValue);
  const int nExponent = std::bit_width(nValue) - 1;      // EXACT_BITS..63
  const int nShift = nExponent - (EXACT_BITS - 1);       // keeps 10 significant bits
  const uint64_t nSub = (nValue >> nShift) - SUB_BUCKETS;  // 0..SUB_BUCKETS-1
  return static_cast<size_t>(EXACT_LIMIT + (nExponent - EXACT_BITS) * SUB_BUCKETS + nSub);
}

uint64_t TLatencyHistogram::UpperEdgeOf(size_t nBucket) {
  if (nBucket < EXACT_LIMIT) return nBucket;
  const uint64_t nOffset = nBucket - EXACT_LIMIT;
  const int nShift = static_cast<int>(nOffset / SUB_BUCKETS) + 1;
  const uint64_t nSub = SUB_BUCKETS + nOffset % SUB_BUCKETS;
  return ((nSub + 1) << nShift) - 1;
}

void TLatencyHistogram::Add(int64_t nMicros) {
  if (nMicros < 0) {
    ++nNegative;
    nMicros = 0;
  }
  ++vBuckets[BucketOf(static_cast<uint64_t>(nMicros))];
  ++nCount;
  nMax = std::max(nMax, nMicros);
}

int64_t TLatencyHistogram::PercentileMicros(double dPercent) const {
  if (nCount == 0) return 0;
  const double dRank = std::ceil(std::clamp(dPercent, 0.0, 100.0) / 100.0 * double(nCount));
  const uint64_t nRank = std::max<uint64_t>(1, static_cast<uint64_t>(dRank));
  uint64_t nSeen = 0;
  for (size_t i = 0; i < vBuckets.size(); ++i) {
    nSeen += vBuckets[i];
    if (nSeen >= nRank) {
      const uint64_t nEdge = UpperEdgeOf(i);
      return nEdge >= static_cast<uint64_t>(nMax) ? nMax : static_cast<int64_t>(nEdge);
    }
  }
  return nMax;
}

// ---- TSeqTracker -----------------------------------------------------------

void TSeqTracker::Add(uint64_t nSeq) {
  ++nTotal;
  auto itBlock = vBlocks.find(nSeq / BLOCK_BITS);
  if (itBlock == vBlocks.end()) {
    if (vBlocks.size() >= MAX_BLOCKS) {
      ++nUntracked;
      return;
    }
    itBlock = vBlocks.emplace(nSeq / BLOCK_BITS, TBlock{}).first;
  }
  TBlock& MyBlock = itBlock->second;
  const uint64_t nBit = nSeq % BLOCK_BITS;
  uint64_t& nWord = MyBlock[nBit / 64];
  const uint64_t nMask = uint64_t{1} << (nBit % 64);
  if (nWord & nMask) return;
  nWord |= nMask;
  if (nDistinct == 0) nLow = nHigh = nSeq;
  nLow = std::min(nLow, nSeq);
  nHigh = std::max(nHigh, nSeq);
  ++nDistinct;
}

uint64_t TSeqTracker::LostBetweenSeen() const {
  if (nDistinct == 0) return 0;
  return nHigh - nLow + 1 - nDistinct;
}

// Distinct numbers seen within nFirst..nLast; walks the blocks that exist, so
// its cost does not depend on how wide the range is.
uint64_t TSeqTracker::CountIn(uint64_t nFirst, uint64_t nLast) const {
  uint64_t nFound = 0;
  for (const auto& [nBlock, MyBlock] : vBlocks) {
    const uint64_t nBase = nBlock * BLOCK_BITS;
    if (nBase > nLast || nBase + (BLOCK_BITS - 1) < nFirst) continue;
    for (uint64_t nWord = 0; nWord < MyBlock.size(); ++nWord) {
      uint64_t nBits = MyBlock[nWord];
      while (nBits != 0) {
        const uint64_t nSeq = nBase + nWord * 64 + static_cast<uint64_t>(std::countr_zero(nBits));
        if (nSeq >= nFirst && nSeq <= nLast) ++nFound;
        nBits &= nBits - 1;
      }
    }
  }
  return nFound;
}

uint64_t TSeqTracker::LostIn(uint64_t nFirst, uint64_t nLast) const {
  if (nFirst > nLast) return 0;
  return nLast - nFirst + 1 - CountIn(nFirst, nLast);
}

// ---- Report ----------------------------------------------------------------

double FramesPerSecond(const TRunTotals& MyTotals) {
  return MyTotals.dSeconds > 0 ? static_cast<double>(MyTotals.nFrames) / MyTotals.dSeconds : 0.0;
}

std::string FormatResultLine(const TRunTotals& MyTotals, const TLatencyHistogram& MyLatency) {
  return "RESULT clients=" + std::to_string(MyTotals.nReady) +
         " frames=" + std::to_string(MyTotals.nFrames) +
         " fps=" + FormatFixed(FramesPerSecond(MyTotals), 1) +
         " lost=" + std::to_string(MyTotals.nLost) +
         " dup=" + std::to_string(MyTotals.nDuplicates) +
         " p50_ms=" + FormatMillis(MyLatency, MyLatency.PercentileMicros(50)) +
         " p99_ms=" + FormatMillis(MyLatency, MyLatency.PercentileMicros(99)) +
         " max_ms=" + FormatMillis(MyLatency, MyLatency.MaxMicros());
}

std::string FormatReport(const TRunTotals& MyTotals, const TLatencyHistogram& MyLatency) {
  std::string sReport;
  sReport += "clients ready: " + std::to_string(MyTotals.nReady) + " of " +
             std::to_string(MyTotals.nClients) + " (handshake retries: " +
             std::to_string(MyTotals.nRetries) + ")\n";
  sReport += "frames: " + std::to_string(MyTotals.nFrames) + " in all, per client min " +
             std::to_string(MyTotals.nFramesMin) + " max " + std::to_string(MyTotals.nFramesMax) +
             "\n";
  sReport += "rate: " + FormatFixed(FramesPerSecond(MyTotals), 1) + " frames/s over " +
             FormatFixed(MyTotals.dSeconds, 3) + " s\n";
  sReport += "latency: " + std::to_string(MyLatency.Count()) + " stamped frames, p50 " +
             FormatMillis(MyLatency, MyLatency.PercentileMicros(50)) + " ms, p99 " +
             FormatMillis(MyLatency, MyLatency.PercentileMicros(99)) + " ms, max " +
             FormatMillis(MyLatency, MyLatency.MaxMicros()) + " ms";
  if (MyLatency.NegativeCount() > 0)
    sReport += " (" + std::to_string(MyLatency.NegativeCount()) + " sent in the future, counted as 0)";
  sReport += "\n";
  sReport += "loss: " + std::to_string(MyTotals.nLost) + " lost, " +
             std::to_string(MyTotals.nDuplicates) + " duplicates";
  if (MyTotals.bExpectSeq)
    sReport += " (expected " + std::to_string(MyTotals.nExpectFirst) + "-" +
               std::to_string(MyTotals.nExpectLast) + " at every client)";
  else
    sReport += " (gaps between each client's lowest and highest)";
  sReport += "\n";
  if (MyTotals.nGoingDown > 0)
    sReport += "server going down notices: " + std::to_string(MyTotals.nGoingDown) + "\n";
  if (MyTotals.nDropped > 0)
    sReport += "frames dropped (over the size bound or cut by a close): " +
               std::to_string(MyTotals.nDropped) + "\n";
  if (MyTotals.nUntracked > 0)
    sReport += "sequence numbers too scattered to track: " + std::to_string(MyTotals.nUntracked) +
               "\n";
  sReport += FormatResultLine(MyTotals, MyLatency) + "\n";
  return sReport;
}

}  // namespace cticlient
