// The two dialects' rules; see the header. Nothing here allocates on the way to a key but the
// reading of an extension state's value.
#include "pipeline/untEventProfile.h"

#include <algorithm>
#include <array>

#include "pipeline/untEventKeys.h"

namespace {

// Event names that go to the extension ring and to the parking ring under CURRENT.
constexpr std::array<std::string_view, 9> PEER_RING_EVENTS = {
    "Newchannel", "Newstate", "Hangup", "DialBegin", "DialEnd", "Dial", "PeerStatus", "QueueMemberPause",
    "QueueMemberPaused"};
constexpr std::array<std::string_view, 5> PARK_RING_EVENTS = {
    "ParkedCall", "UnParkedCall", "ParkedCallTimeOut", "ParkedCallGiveUp", "ParkedCallSwap"};

// Fields that name an extension, in the order they are tried.
constexpr std::array<std::string_view, 4> PEER_FIELDS = {"Channel: ", "Peer: ", "Interface: ", "Location: "};

// The longest number a key may have: nine digits always fit a 32-bit integer.
constexpr size_t MAX_KEY_DIGITS = 9;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlankByte(char c) { return c == ' ' || c == '\t'; }

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

template <size_t N>
bool IsOneOf(std::string_view sName, const std::array<std::string_view, N>& vNames) {
  return std::find(vNames.begin(), vNames.end(), sName) != vNames.end();
}

// The whole text as a decimal number of 1 to 9 digits; nothing else.
std::optional<int32_t> DecimalNumber(std::string_view sText) {
  if (sText.empty() || sText.size() > MAX_KEY_DIGITS || !std::all_of(sText.begin(), sText.end(), IsDigit))
    return std::nullopt;
  int32_t n = 0;
  for (char c : sText) n = n * 10 + (c - '0');
  return n;
}

// The text up to the end of its line (CR or LF), without the surrounding blanks.
std::string_view RestOfLine(std::string_view sText) {
  sText = sText.substr(0, std::min(sText.find_first_of("\r\n"), sText.size()));
  while (!sText.empty() && IsBlankByte(sText.front())) sText.remove_prefix(1);
  while (!sText.empty() && IsBlankByte(sText.back())) sText.remove_suffix(1);
  return sText;
}

// "PJSIP/201-0000001a" with PJSIP configured: 201. nullopt when no configured technology starts
// the value; an empty number (a trunk such as "PJSIP/trunk-...") is a value without a key.
std::optional<std::optional<int32_t>> ExtensionOfValue(std::string_view sValue, const TProfileConfig& tProfile) {
  for (const std::string& sTech : tProfile.lstChannelTech) {
    if (sValue.size() <= sTech.size() || !sValue.starts_with(sTech) || sValue[sTech.size()] != '/') continue;
    const std::string_view sAfter = sValue.substr(sTech.size() + 1);
    const size_t nDigits = std::find_if_not(sAfter.begin(), sAfter.end(), IsDigit) - sAfter.begin();
    return DecimalNumber(sAfter.substr(0, nDigits));
  }
  return std::nullopt;
}

bool LessIgnoringCase(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return UpperAscii(x) < UpperAscii(y); });
}

}  // namespace

std::optional<std::string_view> LineValue(std::string_view sEvent, std::string_view sField) {
  for (size_t nAt = 0; nAt < sEvent.size();) {
    if (sEvent.compare(nAt, sField.size(), sField) == 0) return RestOfLine(sEvent.substr(nAt + sField.size()));
    const size_t nLineFeed = sEvent.find('\n', nAt);
    if (nLineFeed == std::string_view::npos) break;
    nAt = nLineFeed + 1;
  }
  return std::nullopt;
}

std::string_view EventName(std::string_view sEvent) {
  constexpr std::string_view EVENT = "Event:";
  return sEvent.starts_with(EVENT) ? RestOfLine(sEvent.substr(EVENT.size())) : LineValue(sEvent, "Event: ").value_or("");
}

uint32_t ClassifyCurrentEvent(std::string_view sEvent) {
  uint32_t nRings = 0;
  if (LineValue(sEvent, "Queue: ")) nRings |= EVENT_RING_QUEUE;
  const std::string_view sName = EventName(sEvent);
  if (IsOneOf(sName, PEER_RING_EVENTS)) nRings |= EVENT_RING_PEER;
  if (IsOneOf(sName, PARK_RING_EVENTS)) nRings |= EVENT_RING_FEATUREPARK;
  return nRings;
}

TClassifyEvent EventClassifier(const TProfileConfig& tProfile) {
  return tProfile.tProfile == AMI_PROFILE_CURRENT ? &ClassifyCurrentEvent : &ClassifyEvent;
}

std::optional<int32_t> QueueNumberOf(std::string_view sValue, const TProfileConfig& tProfile) {
  if (const std::optional<int32_t> n = DecimalNumber(sValue)) return n;
  const auto& v = tProfile.vQueueNames;
  const auto it = std::lower_bound(v.begin(), v.end(), sValue,
                                   [](const TQueueName& t, std::string_view s) { return LessIgnoringCase(t.sName, s); });
  if (it == v.end() || LessIgnoringCase(sValue, it->sName)) return std::nullopt;
  return it->nQueue;
}

std::optional<std::string_view> UnlistedQueueName(std::string_view sEvent, const TProfileConfig& tProfile) {
  if (tProfile.tProfile != AMI_PROFILE_CURRENT) return std::nullopt;
  const std::optional<std::string_view> sValue = LineValue(sEvent, "Queue: ");
  if (!sValue || sValue->empty() || std::all_of(sValue->begin(), sValue->end(), IsDigit) ||
      QueueNumberOf(*sValue, tProfile))
    return std::nullopt;
  return sValue;
}

std::optional<int32_t> ExtractQueueKey(std::string_view sEvent, const TProfileConfig& tProfile) {
  if (tProfile.tProfile != AMI_PROFILE_CURRENT) return ExtractQueueNumber(sEvent);
  const std::optional<std::string_view> sValue = LineValue(sEvent, "Queue: ");
  return sValue ? QueueNumberOf(*sValue, tProfile) : std::nullopt;
}

std::optional<int32_t> ExtractPeerKey(std::string_view sEvent, const TProfileConfig& tProfile) {
  if (tProfile.tProfile != AMI_PROFILE_CURRENT) return ExtractPeerNumber(sEvent);
  for (std::string_view sField : PEER_FIELDS) {
    // Every line of the field, until one names a configured technology.
    for (std::string_view sRest = sEvent; const std::optional<std::string_view> sValue = LineValue(sRest, sField);) {
      if (const auto nKey = ExtensionOfValue(*sValue, tProfile)) return *nKey;
      sRest = sRest.substr(static_cast<size_t>(sValue->data() - sRest.data()) + sValue->size());
    }
  }
  return std::nullopt;
}

std::optional<int32_t> ExtractFeatureParkKey(std::string_view sEvent, const TProfileConfig& tProfile) {
  if (tProfile.tProfile != AMI_PROFILE_CURRENT) return ExtractFeatureParkNumber(sEvent);
  std::optional<std::string_view> sValue = LineValue(sEvent, "ParkingSpace: ");
  if (!sValue) sValue = LineValue(sEvent, "Exten: ");
  return sValue ? DecimalNumber(*sValue) : std::nullopt;
}

TPeerEventReading ReadCurrentPeerEvent(std::string_view sEvent, const TProfileConfig& tProfile) {
  struct TRule {
    std::string_view sName;   // the event's name
    TPeerEventKind_OPT tKind;  // the kind it reads as
    std::string_view sField;  // the field whose value is read; empty: sFixed is the value
    std::string_view sFixed;  // the value when no field is read
  };
  static constexpr std::array<TRule, 9> vRules{{
      {"PeerStatus", PEER_EVENT_PEERSTATUS, "PeerStatus: ", ""},
      {"Newchannel", PEER_EVENT_NEWCHANNEL, "ChannelStateDesc: ", ""},
      {"Newstate", PEER_EVENT_NEWSTATE, "ChannelStateDesc: ", ""},
      {"Dial", PEER_EVENT_DIAL, "SubEvent: ", ""},
      {"DialBegin", PEER_EVENT_DIAL, "", "Begin"},
      {"DialEnd", PEER_EVENT_DIAL, "", "End"},
      {"Hangup", PEER_EVENT_HANGUP, "", "Event: Hangup"},
      {"QueueMemberPause", PEER_EVENT_QUEUEMEMBERPAUSED, "Paused: ", ""},
      {"QueueMemberPaused", PEER_EVENT_QUEUEMEMBERPAUSED, "Paused: ", ""},
  }};
  TPeerEventReading tReading;
  const std::string_view sName = EventName(sEvent);
  const auto it = std::find_if(vRules.begin(), vRules.end(), [&](const TRule& t) { return t.sName == sName; });
  if (it == vRules.end()) return tReading;
  const std::optional<int32_t> nPeer = ExtractPeerKey(sEvent, tProfile);
  if (!nPeer || KeyIndex(*nPeer, tProfile.nPeerFirst, PEER_COUNT) < 0) return tReading;
  tReading.tKind = it->tKind;
  tReading.sValue = it->sField.empty() ? it->sFixed : LineValue(sEvent, it->sField).value_or("");
  if (it->tKind == PEER_EVENT_PEERSTATUS) {
    if (tReading.sValue == "Reachable") tReading.sValue = "Registered";
    else if (tReading.sValue == "Unreachable") tReading.sValue = "Unregistered";
  }
  return tReading;
}
