// The plain splitting rule; see ReferenceSplitter.h.
#include "support/ReferenceSplitter.h"

#include "pipeline/untEventSplitter.h"

namespace testsupport {

namespace {

std::string Rewrite(const std::string& s) {
  std::string sOut;
  for (size_t n = 0; n < s.size();) {
    if (s.compare(n, 4, "\r\n\r\n") == 0) {
      sOut += "\r\n\r";
      n += 4;
    } else {
      sOut += s[n++];
    }
  }
  return sOut;
}

bool HasNonBlank(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) > 0x20) return true;
  return false;
}

}  // namespace

uint32_t TReferenceSplitter::Classify(const std::string& sEvent) {
  const auto Has = [&](const char* sText) { return sEvent.find(sText) != std::string::npos; };
  uint32_t nRings = 0;
  if (Has("File: app_queue.c")) nRings |= EVENT_RING_QUEUE;
  if (Has("File: channel.c") || Has("File: chan_sip.c") || Has("File: app_dial.c")) nRings |= EVENT_RING_PEER;
  if (Has("File: features.c")) nRings |= EVENT_RING_FEATUREPARK;
  return nRings;
}

void TReferenceSplitter::Feed(std::string_view sRead, TEvents& vOut) {
  std::string sBuffer = Rewrite(sSaveLastPartOfMessage + std::string(sRead));
  while (HasNonBlank(sBuffer)) {
    const size_t nEvent = sBuffer.find("Event:");
    if (nEvent == std::string::npos) {
      sSaveLastPartOfMessage = sBuffer;
      ++nCountErrNotEvent;
      return;
    }
    const std::string sRest = sBuffer.substr(nEvent);
    const size_t nMarker = sRest.find("\r\n\r");
    if (nMarker == std::string::npos) {
      sSaveLastPartOfMessage = sRest;
      return;
    }
    const std::string sEventFound = sRest.substr(0, nMarker + 2);
    vOut.emplace_back(sEventFound, Classify(sEventFound));
    sBuffer = sRest.substr(nMarker + 3);
    sSaveLastPartOfMessage.clear();
  }
}

}  // namespace testsupport
