// What the seven ring families share: opening their rings, starting their one consumer thread, and
// the keyed push that maps a queue, extension or parking-lot number onto its table.
//
// Start-up thread only for InitializeFamily; PushKeyed runs on the family's global stage.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "pipeline/untEventOutlet.h"
#include "pipeline/untFifo.h"
#include "pipeline/untRingMarks.h"
#include "platform/untWorker.h"

// Why the last FifoOpen failed, for the Initialize error line.
std::string FifoOpenError();

using TCreateConsumer = TWorkerThread* (*)();

// Opens the ring(s) in order, then creates and starts the family's consumer thread (two steps below
// normal priority). On any failure logs "Error: <reason> during Initialize Process." under sSource
// and returns false; rings opened before the failure stay open, and no thread runs.
bool InitializeFamily(const char* sSource, TGenericMsgReadFifo& ring, TCreateConsumer fnCreate);
bool InitializeFamily(const char* sSource, std::span<TSpecificMsgReadFifo> vRings, TCreateConsumer fnCreate);

// One per-key table: its rings and the numbers they stand for (*pnFirstKey maps to vRings[0]).
struct TKeyTable {
  TSpecificMsgReadFifo* vRings;     // first ring of the table inside MyFifoReceived
  const int32_t* pnFirstKey;        // number of vRings[0]: MyConfigInfo.MyProfile's, fixed at start-up
  int32_t nCount;                   // rings in the table, the never-opened last one included
  const char* sSource;              // push source for the log lines
  const char* sFullText;            // full-ring text
  std::atomic<uint32_t>* pnOutOfRange;  // numbers refused for lying outside the table; global stage
  TThinnedLine* pFullLine;          // the family's thinned full-ring line, one for all its rings
  TEventFamily_OPT tFamily;         // whose per-key drop counts a refusal adds to (untKeyDrops)
  TRingMarks* pMarks;               // the rings its stage is to look at
};

// Pushes sText into the ring of nKey and marks that ring for the stage. A number outside the table
// touches nothing: the text is dropped with a WARNING line on the 1st, 10th, 100th, ... such drop of
// the family (a busy exchange must not flood the log). The never-opened last ring refuses silently,
// as every closed ring does. A text its ring refuses (full, or past the budget) is counted for its
// key (untKeyDrops).
void PushKeyed(const TKeyTable& tTable, int32_t nKey, TText sText);
// An event whose key names nothing in the table (sWhy says what): dropped, counted and warned
// about with the numbers PushKeyed refuses.
void DropUnnamedKey(const TKeyTable& tTable, const std::string& sWhy);
