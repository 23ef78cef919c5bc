// Text of one generated exchange event.
//
// A step names what happened (a caller joins a queue, a channel changes state, a call is parked)
// and carries the numbers involved; RenderStep turns it into the block the exchange would write.
// Every block starts with its "Event:" line, then "Privilege:", "File:", "Line:" and "Func:", then
// the key field the relay reads for that module before any other field: "Queue: " for
// app_queue.c, "Channel: SIP/2xxxx-" or "Peer: SIP/2xxxx" for channel.c, app_dial.c and
// chan_sip.c, "Exten: " for features.c. No other field name ends in "Queue", "Exten" or
// "Channel", so a substring search for the key can only land on the key.
// RenderCurrentStep writes the same step as a current release does (see event_text.cpp).
// Pure functions; the block ends with the CR LF of its last line, without the empty line.
#pragma once

#include <cstdint>
#include <string>

namespace exsim {

enum TStepKind_OPT : uint8_t {
  STEP_KIND_JOIN,          // caller enters a queue
  STEP_KIND_LEAVE,         // caller leaves a queue (answered or abandoned)
  STEP_KIND_NEWCHANNEL,    // a channel of an extension is created, state Down
  STEP_KIND_NEWSTATE,      // a channel changes state: Ring, Ringing or Up
  STEP_KIND_DIAL_BEGIN,    // an extension starts dialling
  STEP_KIND_DIAL_END,      // the dial ends with a dial status
  STEP_KIND_HANGUP,        // a channel of an extension hangs up
  STEP_KIND_PAUSED,        // a queue member is paused or unpaused
  STEP_KIND_PEERSTATUS,    // an extension registers, unregisters or answers a qualify
  STEP_KIND_PARKED,        // a call is parked in a slot
  STEP_KIND_UNPARKED,      // a parked call is picked up
  STEP_KIND_PARK_TIMEOUT,  // a parked call times out
  // Steps only current releases report (the generator adds them in the current dialect only).
  STEP_KIND_AGENT_CALLED,    // a queue rings an agent for a caller
  STEP_KIND_AGENT_CONNECT,   // the agent answered the queue call
  STEP_KIND_AGENT_COMPLETE,  // the queue call the agent answered has ended
  STEP_KIND_MEMBER_STATUS,   // a queue member's status, after a pause changed
};

// One channel: an extension's own, or a trunk channel of an outside party.
struct TCallLeg {
  int32_t nPeer = 0;    // extension number; 0 for a trunk channel
  uint32_t nId = 0;     // channel id, written as eight hex digits and in the unique id
  std::string sNumber;  // caller number shown for this leg
};

struct TStep {
  TStepKind_OPT tKind = STEP_KIND_JOIN;
  int32_t nKey = 0;    // queue, extension or parking slot that keys the event
  TCallLeg tLeg;       // the channel the event is about
  TCallLeg tOther;     // the other party: dial destination, parker, connected line
  std::string sValue;  // state, peer status, dial status, paused flag or hang-up cause
  int32_t nCount = 0;  // callers in the queue after a join or leave; set when emitted
  std::string sQueueName;  // a queue named by words (current dialect); empty: nKey is its number
};

// "SIP/20005-0000001a" for an extension, "SIP/trunk-0000001b" for an outside party.
std::string ChannelName(const TCallLeg& tLeg);

std::string RenderStep(const TStep& tStep);
std::string RenderCurrentStep(const TStep& tStep);

}  // namespace exsim
