// Events of each key that its per-key ring refused (full, or past [GENERAL] MAXQUEUEDMB), counted
// per key for whoever tells the desks subscribed to that key that they missed some.
//
// Threads: the family's global stage adds (one relaxed atomic per key, no lock, nothing else
// touched, so the push into a full ring costs no more than before); a reader on the control
// thread takes each count on its own timer, which clears it. A count not taken keeps growing; it
// wraps after 2^32 drops of one key, which a reader taking every second never sees.
#pragma once

#include <cstdint>

#include "pipeline/untEventFamily.h"

// Global stage of tFamily: one event of the key at nIndex (its ring's index) was refused.
void CountKeyDrop(TEventFamily_OPT tFamily, int32_t nIndex);
// Control thread: the refusals of that key since the last take; 0 when none. Clears the count.
uint32_t TakeKeyDrops(TEventFamily_OPT tFamily, int32_t nIndex);
// Any thread: the number of keys of tFamily (the size of its table and of its counts).
int32_t KeyTableSize(TEventFamily_OPT tFamily);
