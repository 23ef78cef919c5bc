// Extension states: the derived state and channel count of every extension, and the answer to the
// per-extension stage's one question, "is this event forwarded?".
//
// Six event kinds move an extension's state (PeerStatus, Newchannel, Newstate, Dial, Hangup,
// QueueMemberPaused). Under CLASSIC each is found by plain substring search on the event text, so
// a name that merely begins with a kind's name (HangupRequest, DialBegin) counts as that kind.
// Under CURRENT the event is read by its exact name, in the classic words (untEventProfile:
// DialBegin is Dial Begin, QueueMemberPause is QueueMemberPaused, Reachable is Registered), and
// then follows the same table and channel rule. While an
// extension believes it has more than one channel open, every event that moves it through a call
// (down, dialling, ringing, up, not in use) is held back, whichever channel it concerns, so the
// clients see the calls of an extension one at a time. A state outside the call cycle (reserved,
// unregistered, unknown) clears the count, so a lost hangup holds an extension back only until
// the exchange reports such a state for it.
//
// Pure rules over the extension-state table of the shared records: no controller, no display.
//
// Threads: ValidatePeerEvents runs on the per-extension stage's thread, the only writer of the
// entries; ResetPeerTable runs on the control thread when the exchange connection starts or stops.
// crsPeerTable is held around one entry's read-modify-write and around the whole reset, so an
// entry is always either wholly before or wholly after a reset, never a mix. Text work and
// logging happen outside the lock; the lock is never held while logging.
//
// Invariants: nChannelCount >= 0; an entry in PEER_STATE_DOWN has a count of at least 1; an entry
// in PEER_STATE_UNKNOWN (only the reset makes it) has a count of 0.
#include "pipeline/untPeerRules.h"

#include <algorithm>
#include <array>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>

#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "pipeline/untEventKeys.h"
#include "pipeline/untEventProfile.h"

namespace {

// Extension numbers carry five characters starting at the '2' that ends each marker.
constexpr size_t PEER_NUMBER_WIDTH = 5;

// True when the text holds nothing but blanks and control characters (the Trim rule), without
// making a trimmed copy: this runs for every extension event.
bool IsBlankText(std::string_view sText) {
  return std::all_of(sText.begin(), sText.end(), [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

// First occurrence of sWhat in sText; an empty sWhat is never found.
size_t FindText(const std::string& sText, const std::string& sWhat) {
  return sWhat.empty() ? std::string::npos : sText.find(sWhat);
}

struct TPeerEventRule {
  TPeerEventKind_OPT tKind;        // which kind this row recognises
  std::string sEventToFind;        // event name looked for anywhere in the text
  std::string sGenericInfoToFind;  // key of the wanted value; empty: the value is sEventToFind
  std::string sHowToFindPeer;      // marker the extension number follows
};

// The kinds in the order they are tried; the first that matches is used. Built once, on first use
// (thread-safe), so the hot path constructs no strings.
const std::array<TPeerEventRule, 6>& PeerEventRules() {
  static const std::array<TPeerEventRule, 6> vRules{{
      {PEER_EVENT_PEERSTATUS, "Event: PeerStatus", "PeerStatus: ", "Peer: SIP/"},
      {PEER_EVENT_NEWCHANNEL, "Event: Newchannel", "ChannelStateDesc: ", "Channel: SIP/"},
      {PEER_EVENT_NEWSTATE, "Event: Newstate", "ChannelStateDesc: ", "Channel: SIP/"},
      {PEER_EVENT_DIAL, "Event: Dial", "SubEvent: ", "Channel: SIP/"},
      {PEER_EVENT_HANGUP, "Event: Hangup", "", "Channel: SIP/"},
      {PEER_EVENT_QUEUEMEMBERPAUSED, "Event: QueueMemberPaused", "Paused: ", "Location: SIP/"},
  }};
  return vRules;
}

// What one event asks of its extension's entry, worked out before the lock is taken.
struct TPeerChange {
  TPeerEventKind_OPT tKind = PEER_EVENT_NONE;
  bool bOnlyFromUnregistered = false;  // NOTINUSE only from UNREGISTERED/UNKNOWN, else unchanged
  TPeerState_OPT tNewState = PEER_STATE_UNKNOWN;  // the state set when bOnlyFromUnregistered is false
  bool bRecognised = false;            // the channel rule applies and bGenerateEvent is set
};

// The change an event of kind tKind with value sPeerInfo makes.
TPeerChange ChangeOf(TPeerEventKind_OPT tKind, const std::string& sPeerInfo) {
  TPeerChange tChange;
  tChange.tKind = tKind;
  tChange.bOnlyFromUnregistered =
      tKind == PEER_EVENT_QUEUEMEMBERPAUSED || (tKind == PEER_EVENT_PEERSTATUS && sPeerInfo == "Registered");
  if (!tChange.bOnlyFromUnregistered) tChange.tNewState = ConvertPeerInfoToState(sPeerInfo);
  // A Dial event moves the state whatever its sub-event, but only its start is a call step.
  tChange.bRecognised = tKind != PEER_EVENT_DIAL || sPeerInfo == "Begin";
  return tChange;
}

// Finds the first kind the event belongs to and the change it makes; tKind NONE when none. The
// CURRENT profile names its events differently; read in the classic words, they follow the same
// table and the same channel rule.
TPeerChange ClassifyPeerEvent(const std::string& sMyNewMessage, int32_t nPeerNumber) {
  const TProfileConfig& tProfile = MyConfigInfo.MyProfile;
  if (tProfile.tProfile == AMI_PROFILE_CURRENT) {
    const TPeerEventReading tReading = ReadCurrentPeerEvent(sMyNewMessage, tProfile);
    return tReading.tKind == PEER_EVENT_NONE ? TPeerChange() : ChangeOf(tReading.tKind, tReading.sValue);
  }
  std::string sPeerInfo;
  for (const TPeerEventRule& tRule : PeerEventRules()) {
    if (ProcessPeerEvents(sMyNewMessage, tRule.sEventToFind, tRule.sHowToFindPeer, tRule.sGenericInfoToFind,
                          nPeerNumber, sPeerInfo))
      return ChangeOf(tRule.tKind, sPeerInfo);
  }
  return TPeerChange();
}

// Applies the change to one entry (caller holds crsPeerTable). Returns whether the event is
// forwarded; meaningful only for a recognised event.
bool ApplyPeerChange(TClientPeerInfo& tEntry, const TPeerChange& tChange) {
  if (tChange.bOnlyFromUnregistered) {
    if (tEntry.tPeerState == PEER_STATE_UNREGISTERED || tEntry.tPeerState == PEER_STATE_UNKNOWN)
      tEntry.tPeerState = PEER_STATE_NOTINUSE;
  } else {
    tEntry.tPeerState = tChange.tNewState;
  }
  if (!tChange.bRecognised) return true;

  switch (tEntry.tPeerState) {
    case PEER_STATE_DOWN:
      // Saturate rather than overflow if hangups were lost for a very long time.
      if (tEntry.nChannelCount < std::numeric_limits<int32_t>::max()) ++tEntry.nChannelCount;
      return tEntry.nChannelCount <= 1;
    case PEER_STATE_DIALING:
    case PEER_STATE_RING:
    case PEER_STATE_RINGING:
    case PEER_STATE_UP:
      return tEntry.nChannelCount <= 1;
    case PEER_STATE_NOTINUSE: {
      const int32_t nCountBefore = tEntry.nChannelCount;
      if (tEntry.nChannelCount > 0) --tEntry.nChannelCount;
      return nCountBefore <= 1;
    }
    default:  // outside the call cycle: whatever was open is forgotten
      tEntry.nChannelCount = 0;
      return true;
  }
}

// The error lines name these operations as the controller's, as they always have, so that the
// log reads the same to whoever watches it.
void LogPeerError(const char* sOperation, const std::exception& e) { LogOperationError("TValidate", sOperation, e.what()); }

}  // namespace

bool ProcessPeerEvents(const std::string& sData, const std::string& sEventToFind, const std::string& sHowToFindPeer,
                       const std::string& sGenericInfoToFind, int32_t /*nPeerNumber*/, std::string& sPeerInfo) {
  std::string_view sNumberText;
  try {
    sPeerInfo.clear();
    if (FindText(sData, sEventToFind) == std::string::npos) return false;
    if (sHowToFindPeer.empty()) return false;
    const size_t nNumber = FindClassicPeerNumber(sData, sHowToFindPeer);
    if (nNumber == std::string::npos) return false;
    // Shorter at the text's end.
    sNumberText = std::string_view(sData).substr(nNumber, PEER_NUMBER_WIDTH);
  } catch (const std::exception& e) {
    LogPeerError("ProcessPeerEvents", e);
    return false;
  }

  // Past this point a failure is not worth a log line: the result stands as far as it got.
  bool bResult = false;
  try {
    const std::optional<int32_t> nFound = StrToIntStrict(sNumberText);
    // The number only proves the event is about a tracked extension; the caller's key is used.
    if (!nFound || Family(EVENT_FAMILY_PEER).IndexOf(*nFound) < 0) return false;
    bResult = true;
    if (IsBlankText(sGenericInfoToFind)) {
      sPeerInfo = sEventToFind;
      return true;
    }
    const size_t nKey = sData.find(sGenericInfoToFind);
    if (nKey == std::string::npos) return true;
    const std::string_view sAfterKey = std::string_view(sData).substr(nKey + sGenericInfoToFind.size());
    const size_t nLineEnd = sAfterKey.find("\r\n");
    if (nLineEnd != std::string_view::npos) sPeerInfo = Trim(sAfterKey.substr(0, nLineEnd));
  } catch (const std::exception&) {
  }
  return bResult;
}

TPeerState_OPT ConvertPeerInfoToState(const std::string& sPeerInfo) {
  struct TValueState {
    std::string_view sValue;
    TPeerState_OPT tState;
  };
  static constexpr std::array<TValueState, 9> vTable{{
      {"Registered", PEER_STATE_NOTINUSE},
      {"Unregistered", PEER_STATE_UNREGISTERED},
      {"Down", PEER_STATE_DOWN},
      {"Ring", PEER_STATE_RING},
      {"Ringing", PEER_STATE_RINGING},
      {"Up", PEER_STATE_UP},
      {"Begin", PEER_STATE_DIALING},
      {"End", PEER_STATE_NOTINUSE},
      {"Event: Hangup", PEER_STATE_NOTINUSE},
  }};
  try {
    for (const TValueState& tRow : vTable)
      if (sPeerInfo == tRow.sValue) return tRow.tState;
    return PEER_STATE_RESERVED;
  } catch (const std::exception& e) {
    LogPeerError("ConvertPeerInfoToState", e);
    return PEER_STATE_UNKNOWN;
  }
}

bool ValidatePeerEvents(const std::string& sMyNewMessage, int32_t nPeerNumber, bool& bGenerateEvent) {
  try {
    const int32_t nIndex = Family(EVENT_FAMILY_PEER).IndexOf(nPeerNumber);
    if (nIndex < 0 || IsBlankText(sMyNewMessage)) return true;

    const TPeerChange tChange = ClassifyPeerEvent(sMyNewMessage, nPeerNumber);
    if (tChange.tKind == PEER_EVENT_NONE) return true;

    bool bForward = true;
    {
      TMutexLock lock(MyAppInfo.MyClientSocketInfo.crsPeerTable);
      bForward = ApplyPeerChange(MyAppInfo.MyClientSocketInfo.vPeerList[nIndex], tChange);
    }
    if (tChange.bRecognised) bGenerateEvent = bForward;
    return true;
  } catch (const std::exception& e) {
    LogPeerError("ValidatePeerEvents", e);
    return false;
  }
}

void ResetPeerTable() {
  try {
    TMutexLock lock(MyAppInfo.MyClientSocketInfo.crsPeerTable);
    for (TClientPeerInfo& tEntry : MyAppInfo.MyClientSocketInfo.vPeerList) {
      tEntry.tPeerState = PEER_STATE_UNKNOWN;
      tEntry.nChannelCount = 0;
    }
  } catch (const std::exception& e) {
    LogPeerError("ResetPeerTable", e);
  }
}
