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
// Where the number starts after the first sMarker (such as "Channel: SIP/") that is followed by
// a '2' or by "30000"; npos when there is none. The extension rules of both the key and the
// state tracking look numbers up through this, so they agree on which events name an extension.
size_t FindClassicPeerNumber(std::string_view sText, std::string_view sMarker);
// The 5 characters from that number after "Channel: SIP/"; only when there is none, those after
// "Peer: SIP/". A channel that does not convert never falls back to the peer.
std::optional<int32_t> ExtractPeerNumber(std::string_view sEvent);
// The 3 characters after the first "Exten: ".
std::optional<int32_t> ExtractFeatureParkNumber(std::string_view sEvent);
