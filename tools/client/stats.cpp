// Latency histogram, sequence tracking and the load report; see stats.h.
#include "stats.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace cticlient {

namespace {

// Values below kExactLimit have a bucket each; above, every power of two is cut
// into kSubBuckets buckets of equal width.
constexpr uint64_t kExactLimit = 1024;
constexpr uint64_t kSubBuckets = 512;
constexpr int kExactBits = 10;  // log2(kExactLimit)
constexpr size_t kBucketCount = kExactLimit + (64 - kExactBits) * kSubBuckets;

std::string FormatMillis(const TLatencyHistogram& tLatency, int64_t nMicros) {
  if (tLatency.Count() == 0) return "nan";
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

TLatencyHistogram::TLatencyHistogram() : vBuckets(kBucketCount, 0) {}

size_t TLatencyHistogram::BucketOf(uint64_t nValue) {
  if (nValue < kExactLimit) return static_cast<size_t>(nValue);
  const int nExponent = std::bit_width(nValue) - 1;      // kExactBits..63
  const int nShift = nExponent - (kExactBits - 1);       // keeps 10 significant bits
  const uint64_t nSub = (nValue >> nShift) - kSubBuckets;  // 0..kSubBuckets-1
  return static_cast<size_t>(kExactLimit + (nExponent - kExactBits) * kSubBuckets + nSub);
}

uint64_t TLatencyHistogram::UpperEdgeOf(size_t nBucket) {
  if (nBucket < kExactLimit) return nBucket;
  const uint64_t nOffset = nBucket - kExactLimit;
  const int nShift = static_cast<int>(nOffset / kSubBuckets) + 1;
  const uint64_t nSub = kSubBuckets + nOffset % kSubBuckets;
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
  auto itBlock = vBlocks.find(nSeq / kBlockBits);
  if (itBlock == vBlocks.end()) {
    if (vBlocks.size() >= kMaxBlocks) {
      ++nUntracked;
      return;
    }
    itBlock = vBlocks.emplace(nSeq / kBlockBits, TBlock{}).first;
  }
  TBlock& vBlock = itBlock->second;
  const uint64_t nBit = nSeq % kBlockBits;
  uint64_t& nWord = vBlock[nBit / 64];
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
  for (const auto& [nBlock, vBlock] : vBlocks) {
    const uint64_t nBase = nBlock * kBlockBits;
    if (nBase > nLast || nBase + (kBlockBits - 1) < nFirst) continue;
    for (uint64_t nWord = 0; nWord < vBlock.size(); ++nWord) {
      uint64_t nBits = vBlock[nWord];
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

double FramesPerSecond(const TRunTotals& tTotals) {
  return tTotals.dSeconds > 0 ? static_cast<double>(tTotals.nFrames) / tTotals.dSeconds : 0.0;
}

std::string FormatResultLine(const TRunTotals& tTotals, const TLatencyHistogram& tLatency) {
  return "RESULT clients=" + std::to_string(tTotals.nReady) +
         " frames=" + std::to_string(tTotals.nFrames) +
         " fps=" + FormatFixed(FramesPerSecond(tTotals), 1) +
         " lost=" + std::to_string(tTotals.nLost) +
         " dup=" + std::to_string(tTotals.nDuplicates) +
         " p50_ms=" + FormatMillis(tLatency, tLatency.PercentileMicros(50)) +
         " p99_ms=" + FormatMillis(tLatency, tLatency.PercentileMicros(99)) +
         " max_ms=" + FormatMillis(tLatency, tLatency.MaxMicros());
}

std::string FormatReport(const TRunTotals& tTotals, const TLatencyHistogram& tLatency) {
  std::string sReport;
  sReport += "clients ready: " + std::to_string(tTotals.nReady) + " of " +
             std::to_string(tTotals.nClients) + " (handshake retries: " +
             std::to_string(tTotals.nRetries) + ")\n";
  sReport += "frames: " + std::to_string(tTotals.nFrames) + " in all, per client min " +
             std::to_string(tTotals.nFramesMin) + " max " + std::to_string(tTotals.nFramesMax) +
             "\n";
  sReport += "rate: " + FormatFixed(FramesPerSecond(tTotals), 1) + " frames/s over " +
             FormatFixed(tTotals.dSeconds, 3) + " s\n";
  sReport += "latency: " + std::to_string(tLatency.Count()) + " stamped frames, p50 " +
             FormatMillis(tLatency, tLatency.PercentileMicros(50)) + " ms, p99 " +
             FormatMillis(tLatency, tLatency.PercentileMicros(99)) + " ms, max " +
             FormatMillis(tLatency, tLatency.MaxMicros()) + " ms";
  if (tLatency.NegativeCount() > 0)
    sReport += " (" + std::to_string(tLatency.NegativeCount()) + " sent in the future, counted as 0)";
  sReport += "\n";
  sReport += "loss: " + std::to_string(tTotals.nLost) + " lost, " +
             std::to_string(tTotals.nDuplicates) + " duplicates";
  if (tTotals.bExpectSeq)
    sReport += " (expected " + std::to_string(tTotals.nExpectFirst) + "-" +
               std::to_string(tTotals.nExpectLast) + " at every client)";
  else
    sReport += " (gaps between each client's lowest and highest)";
  sReport += "\n";
  if (tTotals.nGoingDown > 0)
    sReport += "server going down notices: " + std::to_string(tTotals.nGoingDown) + "\n";
  if (tTotals.nDropped > 0)
    sReport += "frames dropped (over the size bound or cut by a close): " +
               std::to_string(tTotals.nDropped) + "\n";
  if (tTotals.nUntracked > 0)
    sReport += "sequence numbers too scattered to track: " + std::to_string(tTotals.nUntracked) +
               "\n";
  sReport += FormatResultLine(tTotals, tLatency) + "\n";
  return sReport;
}

}  // namespace cticlient
