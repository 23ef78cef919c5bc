// Fuzz target for the raw-event splitter. The input is the exchange's byte stream; byte 0xFF marks
// where one socket read ends and the next begins (the marker itself is not part of the stream).
//
// The stream is fed three ways: in the reads the input names, recut into reads of 1 to 64 bytes
// chosen from the stream's own bytes, and as one read. After every read the events cut so far,
// their rings and the not-event count must equal those of the splitting rule written the plain
// way (support/ReferenceSplitter.h, shared with the splitter's test: carry-over plus read, every
// "\r\n\r\n" rewritten as "\r\n\r", events cut from "Event:" to the marker). No carry-over may
// be dropped: inputs stay far below the bounds.
// One thread (libFuzzer's); each input gets fresh splitters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "pipeline/untEventSplitter.h"
#include "support/ReferenceSplitter.h"

namespace {

using fuzzsupport::Escaped;
using TEvents = testsupport::TReferenceSplitter::TEvents;  // event text, rings

struct TRecorder : TEventSplitterOutput {
  TEvents vEvents;
  size_t nDropped = 0;
  void OnEvent(std::string_view sEvent, uint32_t nRings) override { vEvents.emplace_back(sEvent, nRings); }
  void OnNotEvent(int32_t) override {}
  void OnCarryOverDropped(const std::string&) override { ++nDropped; }
  void OnEventTooLarge(size_t) override { ++nDropped; }
};

// The plain rule, with every event it has cut so far.
struct TReference {
  testsupport::TReferenceSplitter tRule;
  TEvents vEvents;
  void Feed(std::string_view sRead) { tRule.Feed(sRead, vEvents); }
};

std::string Describe(const std::vector<std::string_view>& vReads, size_t nUpTo) {
  std::string s;
  for (size_t n = 0; n <= nUpTo && n < vReads.size(); ++n) s += "\n    read " + std::to_string(n) + ": " + Escaped(vReads[n]);
  return s;
}

// Feeds the reads to a fresh splitter and a fresh reference, comparing after each read.
void FeedAndCompare(const char* sHow, const std::vector<std::string_view>& vReads) {
  TEventSplitter tSplitter;
  TRecorder tOut;
  TReference tReference;
  size_t nChecked = 0;  // events already compared
  for (size_t n = 0; n < vReads.size(); ++n) {
    tSplitter.Feed(vReads[n], tOut);
    tReference.Feed(vReads[n]);
    // Built only when a check fails (FUZZ_CHECK evaluates its detail then).
    const auto Where = [&] { return std::string(sHow) + ", after read " + std::to_string(n) + Describe(vReads, n); };
    FUZZ_CHECK(tOut.nDropped == 0, "carry-over dropped below its bound; " + Where());
    FUZZ_CHECK(tOut.vEvents.size() == tReference.vEvents.size(),
               std::to_string(tOut.vEvents.size()) + " events, the rule gives " +
                   std::to_string(tReference.vEvents.size()) + "; " + Where());
    for (size_t e = nChecked; e < tOut.vEvents.size(); ++e) {
      FUZZ_CHECK(tOut.vEvents[e].first == tReference.vEvents[e].first,
                 "event " + std::to_string(e) + " is '" + Escaped(tOut.vEvents[e].first) + "', the rule gives '" +
                     Escaped(tReference.vEvents[e].first) + "'; " + Where());
      FUZZ_CHECK(tOut.vEvents[e].second == tReference.vEvents[e].second,
                 "rings of event " + std::to_string(e) + " differ; " + Where());
    }
    nChecked = tOut.vEvents.size();
    FUZZ_CHECK(tSplitter.CountErrNotEvent() == tReference.tRule.CountErrNotEvent(),
               "not-event count " + std::to_string(tSplitter.CountErrNotEvent()) + ", the rule gives " +
                   std::to_string(tReference.tRule.CountErrNotEvent()) + "; " + Where());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  const std::string_view sInput(reinterpret_cast<const char*>(pData), nSize);
  // A socket read is never empty, so two markers in a row name no read.
  std::vector<std::string_view> vReads;
  std::string sStream;
  for (std::string_view sRead : fuzzsupport::SplitReads(sInput)) {
    if (sRead.empty()) continue;
    vReads.push_back(sRead);
    sStream += sRead;
  }
  FeedAndCompare("reads as given", vReads);

  // The same stream recut: each read's length comes from the stream byte where it starts, so
  // the cuts move whenever the mutator changes the text.
  std::vector<std::string_view> vRecut;
  const std::string_view sAll(sStream);
  for (size_t n = 0; n < sAll.size();) {
    const size_t nLen = std::min<size_t>(1 + static_cast<unsigned char>(sAll[n]) % 64, sAll.size() - n);
    vRecut.push_back(sAll.substr(n, nLen));
    n += nLen;
  }
  FeedAndCompare("recut into short reads", vRecut);

  if (!sAll.empty()) FeedAndCompare("one read", {sAll});
  return 0;
}
