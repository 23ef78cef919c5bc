// The three event families (queues, extensions, parking lots), each described once: its name
// outside the relay and at the desks, its key range, a desk slot's subscriptions of it, and for
// each of its two stages the log sources, the full-ring text, the pane, the pane's switch and check
// box, the audit list and the status bar. Every per-family table, in the pipeline and above it,
// reads its entries from here, so a family is spelt in one place and a new field of a family is
// added to one row, not to five tables. The families' numbers are base/untFamilyId.h's, so the
// layers below the pipeline index by them too.
//
// The row also says where the family's rings are (its global ring, its per-key rings, and the
// splitter's bit that files an event into it), so the pipeline's tables take their rings from here
// too. What only the pipeline keeps per family (marks, bells, thinned lines, key readers) stays in
// its own tables, indexed by the family.
//
// Threads: the rows are constant; any thread may read them. The first key of a range is read
// through MyConfigInfo.MyProfile, which is fixed before any stage starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "base/untFamilyId.h"
#include "base/untVariables.h"
#include "logging/untCounters.h"
#include "logging/untDisplaySink.h"

struct TSpecificMsgReadFifo;  // untFifo.h; the rings themselves are the pipeline's

// One stage of a family (the global one or the per-key one), as the log and the console see it.
struct TFamilyStage {
  const char* sInitSource;     // "TGlobalQueueMsgRead.Initialize": opening its ring(s)
  const char* sPushSource;     // "TGlobalQueueMsgRead.GlobalQueueMsgRead": a push into its ring(s)
  const char* sFullText;       // "Error: FIFO FULL (Global/Queue) - ": the full-ring line's text
  const char* sExecuteSource;  // "TExecGlobalQueueMsgReadThread.Execute"
  const char* sProcessSource;  // "TExecGlobalQueueMsgReadThread.ProcessGlobalMessage"
  std::atomic<bool> TAppInfo::*pbPaneSwitch;  // MyAppInfo's bWrite...Log: whether the pane shows events
  TAuditList* TAuditEvents::*pAuditList;      // MyAuditEvents' capture list of the pane
  TPaneId tPane;               // the stage's pane
  TControlId tPaneCheck;       // the pane's "Enabled" check box, which sets pbPaneSwitch
  TStatusBarId tStatusBar;     // the stage's status bar
};

struct TEventFamily {
  TEventFamily_OPT tFamily;             // its number, the index of every per-family table
  const char* sName;                    // "queue", "extension" or "parking": metric label, NATS
                                        // subject part and header, web desk messages
  const char* sListName;                // "queues", "extensions" or "parks": a web desk's list
  int32_t TProfileConfig::*pnFirstKey;  // the range's first number in MyConfigInfo.MyProfile
  int32_t nKeyCount;                    // numbers in the range: rings in the per-key table, the
                                        // never-opened last one included
  TFamilyStage tGlobal;                 // the global stage
  TFamilyStage tSpecific;               // the per-key stage
  int nKeyLabelMsg;                     // message of the per-key bar's key panel ("Queue: ", ...)
  const char* sDeskName;                // "Queue", "Peer" or "FeaturePark": the family in the desk
                                        // service's operations ("ChangeQueueClientInfo",
                                        // "SocketServerQueueWrite") and lines ("Changing Queue: ")
  std::span<bool> (*fnDeskList)(TServerSocketInfo&);  // a desk slot's subscriptions, by key index
  uint32_t nSplitterRing;               // the splitter's EVENT_RING_... bit of the family's events
  TSpecificMsgReadFifo* (*fnGlobalRing)();  // its global ring in MyFifoReceived
  TSpecificMsgReadFifo* (*fnKeyRings)();    // the first of its nKeyCount per-key rings there

  // The range's first number in force, and where it is kept (fixed at start-up).
  const int32_t* FirstKeyPtr() const { return &(MyConfigInfo.MyProfile.*pnFirstKey); }
  int32_t FirstKey() const { return *FirstKeyPtr(); }
  // Index of nKey in the range in force; -1 outside.
  int32_t IndexOf(int32_t nKey) const { return KeyIndex(nKey, FirstKey(), nKeyCount); }
  // The family's rings in MyFifoReceived: the global one, and the per-key ones by key index (the
  // never-opened last one included).
  TSpecificMsgReadFifo& GlobalRing() const { return *fnGlobalRing(); }
  std::span<TSpecificMsgReadFifo> KeyRings() const;
  // A desk slot's subscription flags of the family, one per key index.
  std::span<bool> DeskList(TServerSocketInfo& slot) const { return fnDeskList(slot); }
  std::span<const bool> DeskList(const TServerSocketInfo& slot) const {
    return fnDeskList(const_cast<TServerSocketInfo&>(slot));  // read only; the slots are never const objects
  }
};

// The row of tFamily, which must be one of the three.
const TEventFamily& Family(TEventFamily_OPT tFamily);
// The three rows, in the order of their numbers.
std::span<const TEventFamily, EVENT_FAMILY_COUNT> AllFamilies();
