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

std::optional<int32_t> ExtractPeerNumber(std::string_view sEvent) {
  // The key starts at the '2' that ends either literal, so every extension number begins with 2.
  constexpr std::string_view CHANNEL = "Channel: SIP/2", PEER = "Peer: SIP/2";
  const size_t nChannel = sEvent.find(CHANNEL);
  if (nChannel != std::string_view::npos) return KeyAt(sEvent, nChannel, CHANNEL, 1, 5);
  return KeyAt(sEvent, sEvent.find(PEER), PEER, 1, 5);
}

std::optional<int32_t> ExtractFeatureParkNumber(std::string_view sEvent) {
  constexpr std::string_view EXTEN = "Exten: ";
  return KeyAt(sEvent, sEvent.find(EXTEN), EXTEN, 0, 3);
}
