// The three global ring families and the three per-key ring families. Each Initialize opens its
// rings and starts the family's one consumer; the per-key tables open every ring but the last.
//
// Producers: the splitter pushes into the global rings, each global stage into its per-key table.
// Every push rings the bell of the stage that pops it (untStageWake), refused or not: a needless
// wake-up costs the stage one look at its rings. A per-key push also marks its ring first
// (untRingMarks), so that the stage looks only at the rings that may hold an event.
//
// The rings, log sources, full-ring texts and key ranges are the family's (untEventFamily); the
// marks, bells and thinned lines are this file's.
#include "pipeline/untSpecificMsgRead.h"

#include <span>

#include "pipeline/untEventOutlet.h"
#include "pipeline/untGlobalMsgReadThread.h"
#include "pipeline/untRingFamily.h"
#include "pipeline/untSpecificMsgReadThread.h"
#include "pipeline/untStageWake.h"

namespace {

TKeyTable KeyTableOf(TEventFamily_OPT tFamily, std::atomic<uint32_t>* vOutOfRange, TThinnedLine* vFullLines) {
  const TEventFamily& family = Family(tFamily);
  return {family.KeyRings().data(),
          family.FirstKeyPtr(),
          family.nKeyCount,
          family.tSpecific.sPushSource,
          family.tSpecific.sFullText,
          &vOutOfRange[tFamily],
          &vFullLines[tFamily],
          tFamily,
          &SpecificRingMarks(tFamily)};
}

// The three per-key tables, one row per family; the rings, texts and range come from the family.
const TKeyTable& KeyTable(TEventFamily_OPT tFamily) {
  static std::atomic<uint32_t> vOutOfRange[EVENT_FAMILY_COUNT]{};  // numbers refused; global stages
  static TThinnedLine vFullLines[EVENT_FAMILY_COUNT];                 // refusals of full rings; global stages
  static const TKeyTable vTables[EVENT_FAMILY_COUNT] = {
      KeyTableOf(EVENT_FAMILY_QUEUE, vOutOfRange, vFullLines),
      KeyTableOf(EVENT_FAMILY_PEER, vOutOfRange, vFullLines),
      KeyTableOf(EVENT_FAMILY_FEATUREPARK, vOutOfRange, vFullLines),
  };
  return vTables[tFamily];
}

// The served rings of a family's table: all but the last, which is never opened.
std::span<TSpecificMsgReadFifo> ServedRings(TEventFamily_OPT tFamily) {
  const TKeyTable& table = KeyTable(tFamily);
  return {table.vRings, static_cast<size_t>(table.nCount - 1)};
}

template <class TThread>
TWorkerThread* Create() {
  return new TThread();
}

// A family's global ring, as InitializeFamily opens it.
std::span<TSpecificMsgReadFifo> GlobalRingOf(TEventFamily_OPT tFamily) { return {&Family(tFamily).GlobalRing(), 1}; }

}  // namespace

void PushGlobal(TEventFamily_OPT tFamily, TText sText) {
  static TThinnedLine vFullLines[EVENT_FAMILY_COUNT];  // refusals of the full rings; splitter
  const TEventFamily& family = Family(tFamily);
  FifoPush(family.GlobalRing(), std::move(sText), family.tGlobal.sPushSource, family.tGlobal.sFullText,
           vFullLines[tFamily]);
  GlobalStageBell(tFamily).Ring();
}

bool TGlobalQueueMsgRead::Initialize() {
  return InitializeFamily(Family(EVENT_FAMILY_QUEUE).tGlobal.sInitSource, GlobalRingOf(EVENT_FAMILY_QUEUE),
                          &Create<TExecGlobalQueueMsgReadThread>);
}

void TGlobalQueueMsgRead::GlobalQueueMsgRead(TText sText) {
  PushGlobal(EVENT_FAMILY_QUEUE, std::move(sText));
}

bool TSpecificQueueMsgRead::Initialize() {
  return InitializeFamily(Family(EVENT_FAMILY_QUEUE).tSpecific.sInitSource, ServedRings(EVENT_FAMILY_QUEUE),
                          &Create<TExecSpecificQueueMsgReadThread>);
}

void TSpecificQueueMsgRead::SpecificQueueMsgRead(TText sText, int32_t nQueueNumber) {
  PushKeyed(KeyTable(EVENT_FAMILY_QUEUE), nQueueNumber, std::move(sText));
  SpecificStageBell(EVENT_FAMILY_QUEUE).Ring();
}

void TSpecificQueueMsgRead::DropUnlistedQueue(std::string_view sName) {
  const std::string sShown(sName.substr(0, 64));  // a name is short; a hostile value need not be
  DropUnnamedKey(KeyTable(EVENT_FAMILY_QUEUE), "queue \"" + sShown + "\" is not listed in [QUEUENAMES]");
}

bool TGlobalPeerMsgRead::Initialize() {
  return InitializeFamily(Family(EVENT_FAMILY_PEER).tGlobal.sInitSource, GlobalRingOf(EVENT_FAMILY_PEER),
                          &Create<TExecGlobalPeerMsgReadThread>);
}

void TGlobalPeerMsgRead::GlobalPeerMsgRead(TText sText) {
  PushGlobal(EVENT_FAMILY_PEER, std::move(sText));
}

bool TSpecificPeerMsgRead::Initialize() {
  return InitializeFamily(Family(EVENT_FAMILY_PEER).tSpecific.sInitSource, ServedRings(EVENT_FAMILY_PEER),
                          &Create<TExecSpecificPeerMsgReadThread>);
}

void TSpecificPeerMsgRead::SpecificPeerMsgRead(TText sText, int32_t nPeerNumber) {
  PushKeyed(KeyTable(EVENT_FAMILY_PEER), nPeerNumber, std::move(sText));
  SpecificStageBell(EVENT_FAMILY_PEER).Ring();
}

bool TGlobalFeatureParkMsgRead::Initialize() {
  return InitializeFamily(Family(EVENT_FAMILY_FEATUREPARK).tGlobal.sInitSource,
                          GlobalRingOf(EVENT_FAMILY_FEATUREPARK),
                          &Create<TExecGlobalFeatureParkMsgReadThread>);
}

void TGlobalFeatureParkMsgRead::GlobalFeatureParkMsgRead(TText sText) {
  PushGlobal(EVENT_FAMILY_FEATUREPARK, std::move(sText));
}

bool TSpecificFeatureParkMsgRead::Initialize() {
  return InitializeFamily(Family(EVENT_FAMILY_FEATUREPARK).tSpecific.sInitSource,
                          ServedRings(EVENT_FAMILY_FEATUREPARK),
                          &Create<TExecSpecificFeatureParkMsgReadThread>);
}

void TSpecificFeatureParkMsgRead::SpecificFeatureParkMsgRead(TText sText, int32_t nFeatureParkNumber) {
  PushKeyed(KeyTable(EVENT_FAMILY_FEATUREPARK), nFeatureParkNumber, std::move(sText));
  SpecificStageBell(EVENT_FAMILY_FEATUREPARK).Ring();
}
