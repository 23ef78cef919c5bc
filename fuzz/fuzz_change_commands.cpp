// Fuzz target for the subscription operations of the client table: the three change commands
// and the lists of the handshake. The input is a sequence of operations, byte 0xFF ending each;
// the first byte of an operation names it and the rest is its text:
//   Q, P, F   ChangeQueueClientInfo, ChangePeerClientInfo, ChangeFeatureParkClientInfo
//   q, p, f   UpdateClientInfo with the text as the queue, extension or parking list
//   a, t      UpdateClientInfo with the text as the application id or the token
//   other     the whole operation text goes to the three change commands in turn
// Each runs on slot 0, a running client that starts with queue 10002, extension 20002 and lot 702.
// Checks: the result is True; only the named family's flags change, nothing else in the slot and
// nothing in slot 1; the flags equal the rules read plainly (fuzz_support.h) wherever no quoted
// entry is involved; a change list applied twice gives what it gave once; lists of the handshake
// never clear a flag; slot indexes outside the table give False and change nothing.
// Threads: libFuzzer's one thread plays the control thread (fuzz_controller.h).
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "controller/untValidate.h"
#include "fuzz_controller.h"
#include "fuzz_support.h"

namespace {

using namespace fuzzsupport;

using TChange = bool (TValidate::*)(int32_t, const std::string&);
const TChange CHANGES[] = {&TValidate::ChangeQueueClientInfo, &TValidate::ChangePeerClientInfo,
                           &TValidate::ChangeFeatureParkClientInfo};
const TRefFamily* const FAMILIES[] = {&REF_QUEUES, &REF_PEERS, &REF_PARKS};
const char* const FAMILY_NAMES[] = {"queue", "extension", "parking"};

void PrepareSlot() {
  ResetTable();
  TServerSocketInfo& slot = Slot(FUZZ_SLOT);
  slot.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING;
  slot.sRemoteAddress = FUZZ_ADDRESS;
  slot.nRemotePort = FUZZ_PORT;
  slot.vQueueList[1] = slot.vPeerList[1] = slot.vFeatureParkList[1] = true;
}

// Everything but the flags of family nFamily (-1: of none) must be as before; the application id
// and the token too unless bIdentity.
void CheckOnlyFamilyChanged(const TServerSocketInfo& before, const TServerSocketInfo& after, int nFamily,
                            bool bIdentity, const std::string& sText) {
  FUZZ_CHECK(after.tMainSocketServerStateMachine == before.tMainSocketServerStateMachine &&
                 after.sRemoteAddress == before.sRemoteAddress && after.nRemotePort == before.nRemotePort,
             "the slot's state or connection changed on '" + Escaped(sText) + "'");
  if (!bIdentity)
    FUZZ_CHECK(after.sAppInfo == before.sAppInfo && after.sToken == before.sToken,
               "the application id or token changed on '" + Escaped(sText) + "'");
  for (int f = 0; f < 3; ++f)
    if (f != nFamily)
      FUZZ_CHECK(SameFamily(after, before, f),
                 std::string(FAMILY_NAMES[f]) + " flags changed by another family's list '" + Escaped(sText) + "'");
}

void RunChange(TValidate& validate, int nFamily, const std::string& sList) {
  const TServerSocketInfo before = Slot(FUZZ_SLOT);
  FUZZ_CHECK((validate.*CHANGES[nFamily])(FUZZ_SLOT, sList), "a change command failed on '" + Escaped(sList) + "'");
  const TServerSocketInfo after = Slot(FUZZ_SLOT);
  CheckOnlyFamilyChanged(before, after, nFamily, false, sList);
  TServerSocketInfo want = before;
  if (RefChangeSubscriptions(*FAMILIES[nFamily], sList, FamilyFlags(want, nFamily)))
    FUZZ_CHECK(SameFamily(after, want, nFamily),
               std::string(FAMILY_NAMES[nFamily]) + " flags differ from the rule for '" + Escaped(sList) + "'");
  // The last entry for a number decides, so a second run changes nothing.
  (validate.*CHANGES[nFamily])(FUZZ_SLOT, sList);
  FUZZ_CHECK(SameFamily(Slot(FUZZ_SLOT), after, nFamily),
             "a change list applied twice differs from once: '" + Escaped(sList) + "'");
}

// nField: 0 application id, 1 token, 2 queues, 3 extensions, 4 parking lots.
void RunUpdate(TValidate& validate, int nField, const std::string& sText) {
  std::string vArgs[5];
  vArgs[nField] = sText;
  const TServerSocketInfo before = Slot(FUZZ_SLOT);
  FUZZ_CHECK(validate.UpdateClientInfo(FUZZ_SLOT, vArgs[0], vArgs[1], vArgs[2], vArgs[3], vArgs[4]),
             "UpdateClientInfo failed on '" + Escaped(sText) + "'");
  const TServerSocketInfo& after = Slot(FUZZ_SLOT);
  const int nFamily = nField >= 2 ? nField - 2 : -1;
  CheckOnlyFamilyChanged(before, after, nFamily, nField < 2, sText);
  if (nField < 2) {
    const std::string sClean = RefClean(sText);
    const std::string& sStored = nField == 0 ? after.sAppInfo : after.sToken;
    const std::string& sWant = sClean.empty() ? (nField == 0 ? before.sAppInfo : before.sToken) : sClean;
    FUZZ_CHECK(sStored == sWant, "stored '" + Escaped(sStored) + "', the rule gives '" + Escaped(sWant) + "'");
    return;
  }
  FUZZ_CHECK(NoFlagCleared(before, after), "a handshake list cleared a flag: '" + Escaped(sText) + "'");
  TServerSocketInfo want = before;
  // The queue and extension lists are cleaned as a whole, the parking list entry by entry.
  if (RefAddSubscriptions(*FAMILIES[nFamily], nField == 4 ? sText : RefClean(sText), FamilyFlags(want, nFamily)))
    FUZZ_CHECK(SameFamily(after, want, nFamily),
               std::string(FAMILY_NAMES[nFamily]) + " flags differ from the rule for '" + Escaped(sText) + "'");
}

void CheckBadSlots(TValidate& validate, const std::string& sText) {
  const TServerSocketInfo before = Slot(FUZZ_SLOT);
  for (int32_t nBad : {-1, MAX_CLIENT_SLOTS, INT32_MIN, INT32_MAX}) {
    for (TChange fn : CHANGES) FUZZ_CHECK(!(validate.*fn)(nBad, sText), "a change accepted slot " + std::to_string(nBad));
    FUZZ_CHECK(!validate.UpdateClientInfo(nBad, sText, sText, sText, sText, sText),
               "UpdateClientInfo accepted slot " + std::to_string(nBad));
  }
  CheckOnlyFamilyChanged(before, Slot(FUZZ_SLOT), -1, false, sText);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  TValidate& validate = PrepareController();
  const std::string_view sInput(reinterpret_cast<const char*>(pData), nSize);
  PrepareSlot();
  bool bFirst = true;
  for (std::string_view sOperation : SplitReads(sInput)) {
    if (sOperation.empty()) continue;
    const std::string sText(sOperation.substr(1));
    if (bFirst) CheckBadSlots(validate, sText);
    bFirst = false;
    switch (sOperation[0]) {
      case 'Q': RunChange(validate, 0, sText); break;
      case 'P': RunChange(validate, 1, sText); break;
      case 'F': RunChange(validate, 2, sText); break;
      case 'a': RunUpdate(validate, 0, sText); break;
      case 't': RunUpdate(validate, 1, sText); break;
      case 'q': RunUpdate(validate, 2, sText); break;
      case 'p': RunUpdate(validate, 3, sText); break;
      case 'f': RunUpdate(validate, 4, sText); break;
      default:
        for (int nFamily = 0; nFamily < 3; ++nFamily) RunChange(validate, nFamily, std::string(sOperation));
        break;
    }
  }
  CheckSentinel(sInput);
  return 0;
}
