// Key extraction under the CLASSIC profile: which queue, extension or parking lot an event belongs
// to. Pure functions over the event text; searches are case-sensitive, take the first occurrence
// anywhere (also inside a longer field name) and convert with StrToIntStrict. Empty optional: the
// event is dropped. The stages go through untEventProfile, which picks these or CURRENT's rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The 5 characters after the first "Queue: " (fewer when the text ends sooner).
std::optional<int32_t> ExtractQueueNumber(std::string_view sEvent);
// The 5 characters from the final "2" of the first "Channel: SIP/2"; only when that literal is
// absent, those of "Peer: SIP/2". A channel that does not convert never falls back to the peer.
std::optional<int32_t> ExtractPeerNumber(std::string_view sEvent);
// The 3 characters after the first "Exten: ".
std::optional<int32_t> ExtractFeatureParkNumber(std::string_view sEvent);
