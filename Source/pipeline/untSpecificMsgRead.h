// The global and per-key ring families of queues, extensions and parking lots.
//
// Each Initialize opens its ring(s) and starts the one consumer thread of the family. The per-key
// pushes select the ring by key (number minus the first of the range); a key outside the table, or
// the never-opened last ring (11001, 30001, 801 with the classic ranges), is dropped without
// touching memory outside it. The ranges are those in force (MyConfigInfo.MyProfile).
#pragma once

#include <cstdint>
#include <string_view>

#include "pipeline/untEventFamily.h"
#include "pipeline/untFifo.h"

// A push into the family's global ring, then its stage's bell; the splitter's thread.
void PushGlobal(TEventFamily_OPT tFamily, TText sText);

class TGlobalQueueMsgRead {
 public:
  static bool Initialize();
  static void GlobalQueueMsgRead(TText sText);
};

class TSpecificQueueMsgRead {
 public:
  static bool Initialize();
  static void SpecificQueueMsgRead(TText sText, int32_t nQueueNumber);
  // An event of a queue named by words that [QUEUENAMES] does not list: dropped like a number
  // outside the table, counted with those and warned about as thinly.
  static void DropUnlistedQueue(std::string_view sName);
};

class TGlobalPeerMsgRead {
 public:
  static bool Initialize();
  static void GlobalPeerMsgRead(TText sText);
};

class TSpecificPeerMsgRead {
 public:
  static bool Initialize();
  static void SpecificPeerMsgRead(TText sText, int32_t nPeerNumber);
};

class TGlobalFeatureParkMsgRead {
 public:
  static bool Initialize();
  static void GlobalFeatureParkMsgRead(TText sText);
};

class TSpecificFeatureParkMsgRead {
 public:
  static bool Initialize();
  static void SpecificFeatureParkMsgRead(TText sText, int32_t nFeatureParkNumber);
};
