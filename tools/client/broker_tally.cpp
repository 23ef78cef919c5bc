// Names, filter and tallies of the client tool's broker modes; see broker_tally.h.
#include "broker_tally.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "run.h"

namespace cticlient {

namespace {

struct TFamilyList {
  const char* sName;                     // name token
  const std::vector<int32_t>* pNumbers;  // the command line's list
};

std::vector<TFamilyList> FamilyLists(const TClientOptions& tOptions) {
  return {{"queue", &tOptions.vQueues}, {"extension", &tOptions.vPeers}, {"parking", &tOptions.vParks}};
}

}  // namespace

std::vector<std::string> BrokerNames(const TClientOptions& tOptions, char cSeparator, std::string_view sWildcard) {
  std::vector<std::string> vNames;
  for (const TFamilyList& tList : FamilyLists(tOptions)) {
    const std::string sBase = tOptions.sNatsPrefix + cSeparator + tList.sName + cSeparator;
    if (tList.pNumbers->size() > kWildcardAbove) {
      vNames.push_back(sBase + std::string(sWildcard));
      continue;
    }
    std::vector<int32_t> vKeys = *tList.pNumbers;
    std::sort(vKeys.begin(), vKeys.end());
    vKeys.erase(std::unique(vKeys.begin(), vKeys.end()), vKeys.end());
    for (int32_t nKey : vKeys) vNames.push_back(sBase + std::to_string(nKey));
  }
  return vNames;
}

TKeyFilter::TKeyFilter(const TClientOptions& tOptions, char cSeparator)
    : sPrefix(tOptions.sNatsPrefix + cSeparator), cSeparator(cSeparator) {
  for (const TFamilyList& tList : FamilyLists(tOptions))
    vFamilies.push_back({tList.sName, {tList.pNumbers->begin(), tList.pNumbers->end()}});
}

bool TKeyFilter::Wants(std::string_view sName) const {
  if (!sName.starts_with(sPrefix)) return false;
  sName.remove_prefix(sPrefix.size());
  const size_t nCut = sName.find(cSeparator);
  if (nCut == std::string_view::npos) return false;
  const std::string_view sFamily = sName.substr(0, nCut), sKey = sName.substr(nCut + 1);
  int32_t nKey = 0;
  const auto [pStop, tError] = std::from_chars(sKey.data(), sKey.data() + sKey.size(), nKey);
  if (tError != std::errc() || pStop != sKey.data() + sKey.size()) return false;
  for (const TFamilyKeys& tFamily : vFamilies)
    if (tFamily.sName == sFamily) return tFamily.vKeys.contains(nKey);
  return false;
}

bool TBrokerTally::Count(TReaderTally& tReader, const TFrame& tFrame, int64_t nReadMicros) {
  ++tReader.nFrames;
  ++nFrames;
  if (tFrame.bHasSeq) tReader.tSeq.Add(tFrame.nSeq);
  if (tFrame.bHasSent && tFrame.nSentMicros <= static_cast<uint64_t>(INT64_MAX))
    tLatency.Add(nReadMicros - static_cast<int64_t>(tFrame.nSentMicros));
  if (!IsLoad() && !tOptions.bQuiet) {
    sOut.clear();
    AppendFrameText(sOut, tFrame, nReadMicros, tOptions.bTimestamps);
    std::fwrite(sOut.data(), 1, sOut.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) bStdoutGone = true;
  }
  return tOptions.nCount > 0 && tReader.nFrames == static_cast<uint64_t>(tOptions.nCount);
}

void TBrokerTally::PrintProgress(double dElapsedSeconds, size_t nSubscribers) {
  std::fprintf(stderr, "progress: %.1f s, ready %zu of %zu, frames %llu, %llu frames/s\n", dElapsedSeconds,
               nSubscribers, nSubscribers, static_cast<unsigned long long>(nFrames),
               static_cast<unsigned long long>(nFrames - nFramesAtTick));
  nFramesAtTick = nFrames;
}

TRunTotals TBrokerTally::Totals(const std::vector<const TReaderTally*>& vReaders, double dSeconds) const {
  TRunTotals tTotals;
  tTotals.nClients = static_cast<int32_t>(vReaders.size());
  tTotals.nReady = tTotals.nClients;
  tTotals.nFrames = nFrames;
  tTotals.dSeconds = dSeconds;
  tTotals.nDropped = nDropped;
  tTotals.bExpectSeq = tOptions.bExpectSeq;
  tTotals.nExpectFirst = tOptions.nExpectFirst;
  tTotals.nExpectLast = tOptions.nExpectLast;
  for (size_t n = 0; n < vReaders.size(); ++n) {
    const TReaderTally& tReader = *vReaders[n];
    tTotals.nFramesMin = n == 0 ? tReader.nFrames : std::min(tTotals.nFramesMin, tReader.nFrames);
    tTotals.nFramesMax = std::max(tTotals.nFramesMax, tReader.nFrames);
    tTotals.nLost += tOptions.bExpectSeq ? tReader.tSeq.LostIn(tOptions.nExpectFirst, tOptions.nExpectLast)
                                         : tReader.tSeq.LostBetweenSeen();
    tTotals.nDuplicates += tReader.tSeq.Duplicates();
    tTotals.nUntracked += tReader.tSeq.Untracked();
  }
  return tTotals;
}

void TBrokerTally::PrintEnd(const TRunTotals& tTotals) const {
  if (!IsLoad() && !tOptions.bQuiet) return;
  const std::string sText = IsLoad() ? FormatReport(tTotals, tLatency) : FormatResultLine(tTotals, tLatency) + "\n";
  std::fputs(sText.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace cticlient
