// Classification profiles: how an event is sorted into rings, keyed and read for extension states,
// for the two dialects the relay understands. Pure functions over the event text and the profile
// (MyConfigInfo.MyProfile, fixed at start-up before the rings exist); no threads, no I/O, no lock.
//
// CLASSIC is what older exchange releases with the manager's debug switch on write: the splitter
// sorts by the "File:" module lines (ClassifyEvent) and the keys are fixed-width substrings
// (untEventKeys). Current releases write no module lines, so CURRENT reads them instead by:
//   - fields only at the start of a line (the event's first line or right after a line feed), so
//     "DestChannel:", "ParkeeExten:" or "BridgeUniqueid:" never pose as "Channel:", "Exten:" ...;
//     the value runs to the line's end, blanks trimmed;
//   - queue ring: every event with a "Queue: " line; key: its value, a decimal number or a name of
//     [QUEUENAMES] (any letter case); any other value gives no key;
//   - extension ring: the events of PEER_RING_EVENTS below, by name; key: the digits right after
//     "<tech>/" (a technology of CHANNELTECH) up to the first non-digit, taken from the first of
//     "Channel: ", "Peer: ", "Interface: ", "Location: " (in that order) that names a configured
//     technology; a channel of such a technology without digits (a trunk) gives no key;
//   - parking ring: the events of PARK_RING_EVENTS, by name; key: "ParkingSpace: ", else "Exten: ".
// Keys are not range-checked here: the push and the index helpers do that with the ranges in force.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/untVariables.h"
#include "pipeline/untEventSplitter.h"

// ---- Classification (the splitter) ----
// CURRENT: bit set of TEventRing_OPT from the event's name and its "Queue: " line.
uint32_t ClassifyCurrentEvent(std::string_view sEvent);
// The classifier of a profile: ClassifyEvent (CLASSIC) or ClassifyCurrentEvent.
TClassifyEvent EventClassifier(const TProfileConfig& tProfile);

// ---- Keys (the global stages): CLASSIC goes to untEventKeys, CURRENT to the rules above ----
std::optional<int32_t> ExtractQueueKey(std::string_view sEvent, const TProfileConfig& tProfile);
std::optional<int32_t> ExtractPeerKey(std::string_view sEvent, const TProfileConfig& tProfile);
std::optional<int32_t> ExtractFeatureParkKey(std::string_view sEvent, const TProfileConfig& tProfile);

// CURRENT helpers, exposed for the tests and for the extension states.
// The value of the first line that starts with sField ("Queue: "), trimmed; empty optional when
// no line starts with it.
std::optional<std::string_view> LineValue(std::string_view sEvent, std::string_view sField);
// The event's name: the value of its "Event:" line.
std::string_view EventName(std::string_view sEvent);
// The number of a named queue, or of a decimal value; empty when it is neither.
std::optional<int32_t> QueueNumberOf(std::string_view sValue, const TProfileConfig& tProfile);
// CURRENT: the event's queue when it is named by words that [QUEUENAMES] does not list (such an
// event is dropped like an out-of-range key, and worth a warning); empty otherwise.
std::optional<std::string_view> UnlistedQueueName(std::string_view sEvent, const TProfileConfig& tProfile);

// ---- Extension states (untPeerRules: ValidatePeerEvents) ----
// The six kinds of event that move an extension's state, in the order CLASSIC tries them.
enum TPeerEventKind_OPT : uint8_t {
  PEER_EVENT_PEERSTATUS,
  PEER_EVENT_NEWCHANNEL,
  PEER_EVENT_NEWSTATE,
  PEER_EVENT_DIAL,
  PEER_EVENT_HANGUP,
  PEER_EVENT_QUEUEMEMBERPAUSED,
  PEER_EVENT_NONE,
};

// A CURRENT event in the words the state table knows: the kind it reads as and the value that
// kind's rule reads ("Registered", "Ringing", "Begin", "Event: Hangup", ...).
struct TPeerEventReading {
  TPeerEventKind_OPT tKind = PEER_EVENT_NONE;  // NONE: the event moves no state
  std::string sValue;                          // empty when the event has no such line
};

// CURRENT: DialBegin reads as Dial with SubEvent Begin and DialEnd as Dial with SubEvent End;
// QueueMemberPause as QueueMemberPaused; PeerStatus Reachable as Registered and Unreachable as
// Unregistered. An event whose extension (by the key rule) lies outside the range in force reads
// as NONE, as a classic event without a tracked extension does.
TPeerEventReading ReadCurrentPeerEvent(std::string_view sEvent, const TProfileConfig& tProfile);
