// Event texts of the generator; see event_text.h for the rules every block follows.
#include "event_text.h"

#include <cstdio>

namespace exsim {
namespace {

// Where an event kind comes from in the exchange: its name, class of privilege and source spot.
struct TOrigin {
  const char* sEvent;
  const char* sPrivilege;
  const char* sFile;
  int32_t nLine;
  const char* sFunc;
};

const TOrigin& OriginOf(TStepKind_OPT tKind) {
  static const TOrigin vOrigins[] = {
      {"Join", "call,all", "app_queue.c", 2741, "queue_join_caller"},
      {"Leave", "call,all", "app_queue.c", 2859, "queue_leave_caller"},
      {"Newchannel", "call,all", "channel.c", 1183, "channel_alloc"},
      {"Newstate", "call,all", "channel.c", 6960, "channel_set_state"},
      {"Dial", "call,all", "app_dial.c", 801, "dial_begin_event"},
      {"Dial", "call,all", "app_dial.c", 826, "dial_end_event"},
      {"Hangup", "call,all", "channel.c", 2543, "channel_hangup"},
      {"QueueMemberPaused", "agent,all", "app_queue.c", 5120, "queue_member_pause"},
      {"PeerStatus", "system,all", "chan_sip.c", 13851, "peer_status_change"},
      {"ParkedCall", "call,all", "features.c", 1012, "park_call"},
      {"UnParkedCall", "call,all", "features.c", 4391, "park_retrieve"},
      {"ParkedCallTimeOut", "call,all", "features.c", 4208, "park_expire"},
  };
  return vOrigins[tKind];
}

class TBlock {
 public:
  explicit TBlock(TStepKind_OPT tKind) {
    const TOrigin& t = OriginOf(tKind);
    Field("Event", t.sEvent).Field("Privilege", t.sPrivilege).Field("File", t.sFile);
    Field("Line", std::to_string(t.nLine)).Field("Func", t.sFunc);
  }
  TBlock& Field(const char* sKey, const std::string& sValue) {
    sText.append(sKey).append(": ").append(sValue).append("\r\n");
    return *this;
  }
  std::string Take() { return std::move(sText); }

 private:
  std::string sText;  // the block so far
};

std::string UniqueId(const TCallLeg& tLeg) { return "1718000000." + std::to_string(tLeg.nId); }

std::string CallerName(const TCallLeg& tLeg) {
  return tLeg.nPeer != 0 ? "Agent " + std::to_string(tLeg.nPeer) : "unknown";
}

std::string StateCode(const std::string& sState) {
  if (sState == "Ring") return "4";
  if (sState == "Ringing") return "5";
  if (sState == "Up") return "6";
  return "0";
}

std::string CauseText(const std::string& sCause) {
  if (sCause == "17") return "User busy";
  if (sCause == "19") return "No answer";
  return "Normal Clearing";
}

std::string RenderQueueEvent(const TStep& s) {
  TBlock tBlock(s.tKind);
  tBlock.Field("Queue", std::to_string(s.nKey));
  if (s.tKind == STEP_KIND_PAUSED) {
    std::string sPeer = std::to_string(s.tLeg.nPeer);
    return tBlock.Field("Location", "SIP/" + sPeer)
        .Field("MemberName", CallerName(s.tLeg))
        .Field("Paused", s.sValue)
        .Take();
  }
  tBlock.Field("Channel", ChannelName(s.tLeg));
  if (s.tKind == STEP_KIND_JOIN)
    tBlock.Field("CallerIDNum", s.tLeg.sNumber)
        .Field("CallerIDName", "unknown")
        .Field("Position", std::to_string(s.nCount));
  return tBlock.Field("Count", std::to_string(s.nCount)).Field("Uniqueid", UniqueId(s.tLeg)).Take();
}

std::string RenderChannelEvent(const TStep& s) {
  TBlock tBlock(s.tKind);
  tBlock.Field("Channel", ChannelName(s.tLeg));
  if (s.tKind == STEP_KIND_NEWCHANNEL)
    return tBlock.Field("ChannelState", "0")
        .Field("ChannelStateDesc", "Down")
        .Field("CallerIDNum", s.tLeg.sNumber)
        .Field("CallerIDName", CallerName(s.tLeg))
        .Field("AccountCode", "")
        .Field("Context", "from-internal")
        .Field("Uniqueid", UniqueId(s.tLeg))
        .Take();
  if (s.tKind == STEP_KIND_NEWSTATE)
    return tBlock.Field("ChannelState", StateCode(s.sValue))
        .Field("ChannelStateDesc", s.sValue)
        .Field("CallerIDNum", s.tLeg.sNumber)
        .Field("CallerIDName", CallerName(s.tLeg))
        .Field("ConnectedLineNum", s.tOther.sNumber)
        .Field("ConnectedLineName", CallerName(s.tOther))
        .Field("Uniqueid", UniqueId(s.tLeg))
        .Take();
  return tBlock.Field("Uniqueid", UniqueId(s.tLeg))
      .Field("CallerIDNum", s.tLeg.sNumber)
      .Field("CallerIDName", CallerName(s.tLeg))
      .Field("ConnectedLineNum", s.tOther.sNumber)
      .Field("Cause", s.sValue)
      .Field("Cause-txt", CauseText(s.sValue))
      .Take();
}

std::string RenderDialEvent(const TStep& s) {
  TBlock tBlock(s.tKind);
  if (s.tKind == STEP_KIND_DIAL_END)
    return tBlock.Field("SubEvent", "End")
        .Field("Channel", ChannelName(s.tLeg))
        .Field("UniqueID", UniqueId(s.tLeg))
        .Field("DialStatus", s.sValue)
        .Take();
  std::string sDialString =
      s.tOther.nPeer != 0 ? std::to_string(s.tOther.nPeer) : "trunk/" + s.tOther.sNumber;
  return tBlock.Field("SubEvent", "Begin")
      .Field("Channel", ChannelName(s.tLeg))
      .Field("Destination", ChannelName(s.tOther))
      .Field("CallerIDNum", s.tLeg.sNumber)
      .Field("CallerIDName", CallerName(s.tLeg))
      .Field("UniqueID", UniqueId(s.tLeg))
      .Field("DestUniqueID", UniqueId(s.tOther))
      .Field("Dialstring", sDialString)
      .Take();
}

std::string RenderPeerStatus(const TStep& s) {
  TBlock tBlock(s.tKind);
  tBlock.Field("ChannelType", "SIP")
      .Field("Peer", "SIP/" + std::to_string(s.nKey))
      .Field("PeerStatus", s.sValue);
  if (s.sValue == "Registered")
    return tBlock
        .Field("Address", "10.20." + std::to_string(s.nKey % 100) + "." +
                              std::to_string(10 + s.nKey % 200) + ":5060")
        .Take();
  if (s.sValue == "Unregistered") return tBlock.Field("Cause", "Expired").Take();
  return tBlock.Field("Time", std::to_string(5 + s.nKey % 40)).Take();
}

std::string RenderParkEvent(const TStep& s) {
  TBlock tBlock(s.tKind);
  tBlock.Field("Exten", std::to_string(s.nKey))
      .Field("Channel", ChannelName(s.tLeg))
      .Field("Parkinglot", "default");
  if (s.tKind != STEP_KIND_PARK_TIMEOUT) tBlock.Field("From", ChannelName(s.tOther));
  if (s.tKind == STEP_KIND_PARKED) tBlock.Field("Timeout", "45");
  tBlock.Field("CallerIDNum", s.tLeg.sNumber).Field("CallerIDName", CallerName(s.tLeg));
  if (s.tKind == STEP_KIND_PARKED) tBlock.Field("ConnectedLineNum", s.tOther.sNumber);
  return tBlock.Field("Uniqueid", UniqueId(s.tLeg)).Take();
}

}  // namespace

std::string ChannelName(const TCallLeg& tLeg) {
  char vId[16];
  std::snprintf(vId, sizeof vId, "%08x", tLeg.nId);
  return (tLeg.nPeer != 0 ? "SIP/" + std::to_string(tLeg.nPeer) : std::string("SIP/trunk")) + "-" +
         vId;
}

std::string RenderStep(const TStep& tStep) {
  switch (tStep.tKind) {
    case STEP_KIND_JOIN:
    case STEP_KIND_LEAVE:
    case STEP_KIND_PAUSED:
      return RenderQueueEvent(tStep);
    case STEP_KIND_NEWCHANNEL:
    case STEP_KIND_NEWSTATE:
    case STEP_KIND_HANGUP:
      return RenderChannelEvent(tStep);
    case STEP_KIND_DIAL_BEGIN:
    case STEP_KIND_DIAL_END:
      return RenderDialEvent(tStep);
    case STEP_KIND_PEERSTATUS:
      return RenderPeerStatus(tStep);
    case STEP_KIND_PARKED:
    case STEP_KIND_UNPARKED:
    case STEP_KIND_PARK_TIMEOUT:
      return RenderParkEvent(tStep);
  }
  return {};
}

}  // namespace exsim
