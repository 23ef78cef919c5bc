// Extension states: the rules that keep, for every extension, a derived state and a count of the
// channels it is believed to have open, and answer the per-extension stage's one question, "is
// this event forwarded?". Pure functions over the event text and the extension-state table of the
// shared records (MyAppInfo.MyClientSocketInfo.vPeerList); untPeerRules.cpp says how they read
// the events.
//
// Threads: ValidatePeerEvents runs on the per-extension stage's thread, the only writer of the
// entries; ResetPeerTable runs on the control thread when the exchange connection starts or stops.
// Both take crsPeerTable only around one entry (or the whole reset) and never log while holding it.
// ProcessPeerEvents and ConvertPeerInfoToState touch no table and may run on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "base/untVariables.h"

// Updates the entry of nPeerNumber from one extension event. Sets bGenerateEvent only for an event
// of a recognised kind (True: forward it, False: hold it back) and leaves it untouched for every
// other event. False only when the work failed (logged); the table is then as it was or as the
// one entry's update left it.
bool ValidatePeerEvents(const std::string& sMyNewMessage, int32_t nPeerNumber, bool& bGenerateEvent);
// Finds one event kind in sData: sEventToFind anywhere and a tracked extension number after
// sHowToFindPeer; sPeerInfo gets the trimmed text from the first sGenericInfoToFind to its line's
// end (sEventToFind itself when sGenericInfoToFind is blank). True when the kind and the number
// are found, even when the value is not.
bool ProcessPeerEvents(const std::string& sData, const std::string& sEventToFind, const std::string& sHowToFindPeer,
                       const std::string& sGenericInfoToFind, int32_t nPeerNumber, std::string& sPeerInfo);
// The state a whole value names, exactly and case-sensitively; PEER_STATE_RESERVED for any other.
TPeerState_OPT ConvertPeerInfoToState(const std::string& sPeerInfo);
// Every entry to PEER_STATE_UNKNOWN with a count of 0, under the table's lock.
void ResetPeerTable();
