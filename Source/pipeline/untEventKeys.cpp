#include "pipeline/untEventKeys.h"

#include "logging/untUtil.h"

namespace {

// Converts nWidth characters from the last nFromEnd bytes of the first sLiteral; nothing when absent.
std::optional<int32_t> KeyAt(std::string_view sEvent, size_t nFound, std::string_view sLiteral, size_t nFromEnd,
                             size_t nWidth) {
  if (nFound == std::string_view::npos) return std::nullopt;
  return StrToIntStrict(sEvent.substr(nFound + sLiteral.size() - nFromEnd, nWidth));
}

}  // namespace

std::optional<int32_t> ExtractQueueNumber(std::string_view sEvent) {
  constexpr std::string_view QUEUE = "Queue: ";
  return KeyAt(sEvent, sEvent.find(QUEUE), QUEUE, 0, 5);
}

size_t FindClassicPeerNumber(std::string_view sText, std::string_view sMarker) {
  // Extension numbers are 2xxxx, and the range's last served number 30000 is the one exception;
  // matching only a leading '2' left 30000 accepted in subscriptions yet never delivered.
  constexpr std::string_view LAST_SERVED = "30000";
  for (size_t nAt = sText.find(sMarker); nAt != std::string_view::npos; nAt = sText.find(sMarker, nAt + 1)) {
    const std::string_view sNumber = sText.substr(nAt + sMarker.size());
    if (sNumber.starts_with('2') || sNumber.starts_with(LAST_SERVED)) return nAt + sMarker.size();
  }
  return std::string_view::npos;
}

std::optional<int32_t> ExtractPeerNumber(std::string_view sEvent) {
  constexpr size_t WIDTH = 5;
  size_t nNumber = FindClassicPeerNumber(sEvent, "Channel: SIP/");
  if (nNumber == std::string_view::npos) nNumber = FindClassicPeerNumber(sEvent, "Peer: SIP/");
  if (nNumber == std::string_view::npos) return std::nullopt;
  return StrToIntStrict(sEvent.substr(nNumber, WIDTH));
}

std::optional<int32_t> ExtractFeatureParkNumber(std::string_view sEvent) {
  constexpr std::string_view EXTEN = "Exten: ";
  return KeyAt(sEvent, sEvent.find(EXTEN), EXTEN, 0, 3);
}
