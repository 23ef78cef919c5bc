// Event texts of the generator; see event_text.h for the rules every block follows.
#include "event_text.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

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
  // The classic opening: name, privilege and the module's source spot.
  explicit TBlock(TStepKind_OPT tKind) {
    const TOrigin& t = OriginOf(tKind);
    Field("Event", t.sEvent).Field("Privilege", t.sPrivilege).Field("File", t.sFile);
    Field("Line", std::to_string(t.nLine)).Field("Func", t.sFunc);
  }
  // The current opening: name and privilege only.
  TBlock(const char* sEvent, const char* sPrivilege) { Field("Event", sEvent).Field("Privilege", sPrivilege); }
  TBlock& Field(std::string_view sKey, const std::string& sValue) {
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
    default:  // reported by current releases only
      return {};
  }
}

// ---------------------------------------------------------------------------------------------
// The current dialect. No "File:", "Line:" or "Func:" lines; extensions on "PJSIP/<number>-<id>"
// channels; queue events under their new names; every party of an event as a whole channel
// block, the other parties' fields prefixed "Dest", "Parkee" or "Retriever"; a parked call's slot
// in "ParkingSpace:" after "ParkeeExten:". So several field names end in the words a substring
// search for "Channel: " or "Exten: " would land on; the relay reads fields only at line starts.

namespace {

struct TCurrentName {
  const char* sEvent;
  const char* sPrivilege;
};

const TCurrentName& CurrentNameOf(TStepKind_OPT tKind) {
  static const TCurrentName vNames[] = {
      {"QueueCallerJoin", "agent,all"}, {"QueueCallerLeave", "agent,all"}, {"Newchannel", "call,all"},
      {"Newstate", "call,all"},         {"DialBegin", "call,all"},         {"DialEnd", "call,all"},
      {"Hangup", "call,all"},           {"QueueMemberPause", "agent,all"}, {"PeerStatus", "system,all"},
      {"ParkedCall", "call,all"},       {"UnParkedCall", "call,all"},      {"ParkedCallTimeOut", "call,all"},
      {"AgentCalled", "agent,all"},     {"AgentConnect", "agent,all"},     {"AgentComplete", "agent,all"},
      {"QueueMemberStatus", "agent,all"},
  };
  return vNames[tKind];
}

std::string CurrentChannelName(const TCallLeg& tLeg) {
  char vId[16];
  std::snprintf(vId, sizeof vId, "%08x", tLeg.nId);
  return (tLeg.nPeer != 0 ? "PJSIP/" + std::to_string(tLeg.nPeer) : std::string("PJSIP/trunk")) + "-" + vId;
}

std::string Interface(const TCallLeg& tLeg) { return "PJSIP/" + std::to_string(tLeg.nPeer); }

std::string QueueOf(const TStep& s) { return s.sQueueName.empty() ? std::to_string(s.nKey) : s.sQueueName; }

// One party's channel block, every field name behind sPrefix; sExten is the dialplan extension.
void ChannelBlock(TBlock& b, const std::string& sPrefix, const TCallLeg& tLeg, const std::string& sState,
                  const TCallLeg& tConnected, const std::string& sExten) {
  auto f = [&](const char* sKey, const std::string& sValue) { b.Field(sPrefix + sKey, sValue); };
  f("Channel", CurrentChannelName(tLeg));
  f("ChannelState", StateCode(sState));
  f("ChannelStateDesc", sState);
  f("CallerIDNum", tLeg.sNumber);
  f("CallerIDName", CallerName(tLeg));
  f("ConnectedLineNum", tConnected.sNumber.empty() ? "<unknown>" : tConnected.sNumber);
  f("ConnectedLineName", CallerName(tConnected));
  f("Language", "en");
  f("AccountCode", "");
  f("Context", tLeg.nPeer != 0 ? "from-internal" : "from-trunk");
  f("Exten", sExten);
  f("Priority", "1");
  f("Uniqueid", UniqueId(tLeg));
  f("Linkedid", UniqueId(tLeg));
}

std::string ExtenOf(const TCallLeg& tLeg) { return tLeg.nPeer != 0 ? std::to_string(tLeg.nPeer) : "s"; }

std::string HangupState(const std::string& sCause) {
  if (sCause == "17") return "Ring";
  if (sCause == "19") return "Ringing";
  return "Up";
}

// Queue member fields, as QueueMemberStatus and QueueMemberPause write them.
void MemberFields(TBlock& b, const TStep& s) {
  b.Field("Queue", QueueOf(s))
      .Field("MemberName", CallerName(s.tLeg))
      .Field("Interface", Interface(s.tLeg))
      .Field("StateInterface", Interface(s.tLeg))
      .Field("Membership", "dynamic")
      .Field("Penalty", "0")
      .Field("CallsTaken", "0")
      .Field("InCall", "0")
      .Field("Status", "1")
      .Field("Paused", s.sValue)
      .Field("PausedReason", s.sValue == "1" ? "Break" : "");
}

// Queue events: the caller's block first, then the agent's (agent events), then the queue's fields.
void CurrentQueueEvent(TBlock& b, const TStep& s) {
  ChannelBlock(b, "", s.tLeg, "Up", s.tOther, "s");
  if (s.tKind == STEP_KIND_JOIN || s.tKind == STEP_KIND_LEAVE) {
    b.Field("Queue", QueueOf(s)).Field("Position", std::to_string(std::max(1, s.nCount)));
    b.Field("Count", std::to_string(s.nCount));
    return;
  }
  ChannelBlock(b, "Dest", s.tOther, s.tKind == STEP_KIND_AGENT_CALLED ? "Ringing" : "Up", s.tLeg, "s");
  b.Field("Queue", QueueOf(s)).Field("Interface", Interface(s.tOther)).Field("MemberName", CallerName(s.tOther));
  if (s.tKind == STEP_KIND_AGENT_CONNECT) b.Field("HoldTime", "12").Field("RingTime", "4");
  if (s.tKind == STEP_KIND_AGENT_COMPLETE) b.Field("HoldTime", "12").Field("TalkTime", "95").Field("Reason", "agent");
}

void CurrentChannelEvent(TBlock& b, const TStep& s) {
  if (s.tKind == STEP_KIND_DIAL_BEGIN || s.tKind == STEP_KIND_DIAL_END) {
    const bool bBegin = s.tKind == STEP_KIND_DIAL_BEGIN;
    ChannelBlock(b, "", s.tLeg, bBegin ? "Ring" : "Up", s.tOther, ExtenOf(s.tOther));
    ChannelBlock(b, "Dest", s.tOther, bBegin ? "Down" : "Up", s.tLeg, ExtenOf(s.tOther));
    if (bBegin) b.Field("DialString", s.tOther.nPeer != 0 ? ExtenOf(s.tOther) : "trunk/" + s.tOther.sNumber);
    else b.Field("DialStatus", s.sValue);
    return;
  }
  if (s.tKind == STEP_KIND_HANGUP) {
    ChannelBlock(b, "", s.tLeg, HangupState(s.sValue), s.tOther, ExtenOf(s.tLeg));
    b.Field("Cause", s.sValue).Field("Cause-txt", CauseText(s.sValue));
    return;
  }
  ChannelBlock(b, "", s.tLeg, s.tKind == STEP_KIND_NEWCHANNEL ? "Down" : s.sValue, s.tOther, ExtenOf(s.tLeg));
}

// Registration changes as a current release reports a contact: Reachable or Unreachable.
void CurrentPeerStatus(TBlock& b, const TStep& s) {
  const bool bUp = s.sValue != "Unregistered";
  b.Field("ChannelType", "PJSIP").Field("Peer", "PJSIP/" + std::to_string(s.nKey));
  b.Field("PeerStatus", bUp ? "Reachable" : "Unreachable");
  if (bUp) b.Field("RTT", std::to_string(5000 + s.nKey % 40 * 100));
}

void CurrentParkEvent(TBlock& b, const TStep& s) {
  ChannelBlock(b, "Parkee", s.tLeg, "Up", s.tOther, "700");
  if (s.tKind == STEP_KIND_PARKED) b.Field("ParkerDialString", Interface(s.tOther));
  if (s.tKind == STEP_KIND_UNPARKED) ChannelBlock(b, "Retriever", s.tOther, "Up", s.tLeg, std::to_string(s.nKey));
  b.Field("Parkinglot", "default").Field("ParkingSpace", std::to_string(s.nKey)).Field("ParkingTimeout", "45");
  b.Field("ParkingDuration", s.tKind == STEP_KIND_PARKED ? "0" : s.tKind == STEP_KIND_PARK_TIMEOUT ? "45" : "12");
}

}  // namespace

std::string RenderCurrentStep(const TStep& tStep) {
  const TCurrentName& tName = CurrentNameOf(tStep.tKind);
  TBlock tBlock(tName.sEvent, tName.sPrivilege);
  switch (tStep.tKind) {
    case STEP_KIND_JOIN:
    case STEP_KIND_LEAVE:
    case STEP_KIND_AGENT_CALLED:
    case STEP_KIND_AGENT_CONNECT:
    case STEP_KIND_AGENT_COMPLETE:
      CurrentQueueEvent(tBlock, tStep);
      break;
    case STEP_KIND_PAUSED:
    case STEP_KIND_MEMBER_STATUS:
      MemberFields(tBlock, tStep);
      break;
    case STEP_KIND_NEWCHANNEL:
    case STEP_KIND_NEWSTATE:
    case STEP_KIND_DIAL_BEGIN:
    case STEP_KIND_DIAL_END:
    case STEP_KIND_HANGUP:
      CurrentChannelEvent(tBlock, tStep);
      break;
    case STEP_KIND_PEERSTATUS:
      CurrentPeerStatus(tBlock, tStep);
      break;
    case STEP_KIND_PARKED:
    case STEP_KIND_UNPARKED:
    case STEP_KIND_PARK_TIMEOUT:
      CurrentParkEvent(tBlock, tStep);
      break;
  }
  return tBlock.Take();
}

}  // namespace exsim
