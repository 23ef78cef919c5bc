// Fuzz target for the client handshake and the commands of a running client: the input is what
// one client sends, byte 0xFF ending each read. An empty read (two markers in a row) stands for
// the listener's stop: the slot is set CLOSING and the next read is delivered as the stop does.
// A released slot is taken again by a new connection from the same address before the next read.
//
// Every read goes to TValidate::SocketServerRead on slot 0 and is checked against a model of the
// state machine: the greeting restarts a slot held by a client with its data cleared; each
// authenticating step passes exactly when its key and terminator are there, stores the cleaned
// value or the listed flags and advances, else falls back to STARTING with nothing stored; a
// running client's first command key decides, and its list sets or clears flags of that family
// only; CLOSING releases the slot. The value extraction is checked against a plain reading of the
// rule for every key on every read, and slot 1 must never change.
// Threads: libFuzzer's one thread plays the control thread (fuzz_controller.h).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "controller/untValidate.h"
#include "controller/untValidateServer.h"
#include "fuzz_controller.h"
#include "fuzz_support.h"

namespace {

using namespace fuzzsupport;

const std::string GREETING = "Hi, lets connect...";

struct TStepModel {
  TMainSocketServerStateMachine_OPT tState, tNext;
  const char* sKey;
  size_t nValueOffset;
  const char* sTerminator;
  int nField;  // 0 application id, 1 token, 2 queues, 3 extensions, 4 parking lots
};

const TStepModel STEPS[] = {
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP1, MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP2,
     "MyAppID: ", 9, "\r\n", 0},
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP2, MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP3,
     "MyAppToken: qmRoK8]", 12, "\r\n", 1},
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP3, MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP4,
     "GetQueueInfo: (", 15, ")", 2},
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP4, MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP5,
     "GetPeerInfo: (", 14, ")", 3},
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP5, MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING,
     "GetFeatureParkInfo: (", 21, ")", 4},
};

struct TCommandModel {
  const char* sKey;
  int nFamily;  // 0 queues, 1 extensions, 2 parking lots
};
const TCommandModel COMMANDS[] = {{"ChangeQueueInfo: (", 0}, {"ChangePeerInfo: (", 1}, {"ChangeFeatureParkInfo: (", 2}};

const TRefFamily* const FAMILIES[] = {&REF_QUEUES, &REF_PEERS, &REF_PARKS};

// The extraction rule read plainly: the rest starts nValueOffset after the key's first
// occurrence; the value runs to the first terminator, plus one character.
TExtractResult_OPT RefExtract(std::string_view sText, std::string_view sKey, size_t nValueOffset,
                              std::string_view sTerminator, std::string& sValue) {
  const size_t nKey = sText.find(sKey);
  if (nKey == std::string_view::npos) return EXTRACT_RESULT_NO_KEY;
  const std::string_view sRest = sText.substr(nKey + nValueOffset);
  const size_t nTerminator = sRest.find(sTerminator);
  if (nTerminator == std::string_view::npos) return EXTRACT_RESULT_NO_TERMINATOR;
  sValue = std::string(sRest.substr(0, nTerminator + 2));
  return EXTRACT_RESULT_FOUND;
}

void CheckExtraction(std::string_view sRead) {
  const auto Check = [&](const char* sKey, size_t nOffset, const char* sTerminator) {
    std::string sGot = "\x01unset", sWant = "\x01unset";
    const TExtractResult_OPT tGot = ExtractHandshakeValue(sRead, sKey, sTerminator, sGot, nOffset);
    const TExtractResult_OPT tWant = RefExtract(sRead, sKey, nOffset, sTerminator, sWant);
    FUZZ_CHECK(tGot == tWant && (tGot != EXTRACT_RESULT_FOUND || sGot == sWant),
               std::string("extraction of ") + sKey + " gives '" + Escaped(sGot) + "', the rule '" + Escaped(sWant) +
                   "' in " + Escaped(sRead));
  };
  for (const TStepModel& step : STEPS) Check(step.sKey, step.nValueOffset, step.sTerminator);
  for (const TCommandModel& command : COMMANDS) Check(command.sKey, std::string_view(command.sKey).size(), ")");
  const std::string sLogged = RemoveAllCrLfPairs(sRead);
  FUZZ_CHECK(sLogged.find("\r\n") == std::string::npos, "a CR LF pair survives in the log copy of " + Escaped(sRead));
}

// What one read must do to the slot, given the slot before it.
void CheckStep(std::string_view sRead, const TServerSocketInfo& before, const TServerSocketInfo& after, bool bResult) {
  const auto Where = [&] {
    return "state " + std::to_string(before.tMainSocketServerStateMachine) + " -> " +
           std::to_string(after.tMainSocketServerStateMachine) + " on read '" + Escaped(sRead) + "'";
  };
  TServerSocketInfo want = before;
  TMainSocketServerStateMachine_OPT tState = before.tMainSocketServerStateMachine;
  bool bSends = false;
  const bool bGreeting = sRead.find(GREETING) != std::string_view::npos;
  if (tState != MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING && tState != MAIN_SOCKET_SERVER_STATE_MACHINE_NONE &&
      tState != MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING && bGreeting) {
    tState = MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING;
    want = TServerSocketInfo();
    want.sRemoteAddress = before.sRemoteAddress;
    want.nRemotePort = before.nRemotePort;
  }
  bool bModelled = true;  // false when a quoted list leaves the flags unmodelled
  want.tMainSocketServerStateMachine = tState;
  switch (tState) {
    case MAIN_SOCKET_SERVER_STATE_MACHINE_NONE:
      break;
    case MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING:
      if (bGreeting) {
        want.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP1;
        bSends = true;
      }
      break;
    case MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING:
      for (const TCommandModel& command : COMMANDS) {
        std::string sValue;
        const TExtractResult_OPT t = RefExtract(sRead, command.sKey, std::string_view(command.sKey).size(), ")", sValue);
        if (t == EXTRACT_RESULT_NO_KEY) continue;
        if (t == EXTRACT_RESULT_FOUND)
          bModelled = RefChangeSubscriptions(*FAMILIES[command.nFamily], sValue, FamilyFlags(want, command.nFamily));
        break;
      }
      break;
    case MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING:
      want = TServerSocketInfo();  // released
      break;
    default:
      for (const TStepModel& step : STEPS) {
        if (step.tState != tState) continue;
        std::string sValue;
        if (RefExtract(sRead, step.sKey, step.nValueOffset, step.sTerminator, sValue) != EXTRACT_RESULT_FOUND) {
          want.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING;
          break;
        }
        want.tMainSocketServerStateMachine = step.tNext;
        bSends = true;
        const std::string sClean = RefClean(sValue);
        if (step.nField == 0 && !sClean.empty()) want.sAppInfo = sClean;
        if (step.nField == 1 && !sClean.empty()) want.sToken = sClean;
        // The queue and extension lists are cleaned as a whole, the parking list entry by entry.
        if (step.nField >= 2)
          bModelled = RefAddSubscriptions(*FAMILIES[step.nField - 2], step.nField == 4 ? sValue : sClean,
                                          FamilyFlags(want, step.nField - 2));
      }
      break;
  }
  FUZZ_CHECK(after.tMainSocketServerStateMachine == want.tMainSocketServerStateMachine, "wrong state: " + Where());
  FUZZ_CHECK(bSends || bResult, "False without a reply to send: " + Where());
  FUZZ_CHECK(after.sRemoteAddress == want.sRemoteAddress && after.nRemotePort == want.nRemotePort,
             "the slot lost its connection's address: " + Where());
  FUZZ_CHECK(after.sAppInfo == want.sAppInfo, "application id '" + Escaped(after.sAppInfo) + "', model '" +
                                                  Escaped(want.sAppInfo) + "': " + Where());
  FUZZ_CHECK(after.sToken == want.sToken,
             "token '" + Escaped(after.sToken) + "', model '" + Escaped(want.sToken) + "': " + Where());
  FUZZ_CHECK(after.sToken.empty() || after.sToken.rfind("qmRoK8]", 0) == 0, "token without the access code: " + Where());
  if (bModelled) {
    for (int f = 0; f < 3; ++f)
      FUZZ_CHECK(SameFamily(after, want, f), "subscriptions of family " + std::to_string(f) + " differ: " + Where());
  } else if (want.tMainSocketServerStateMachine != MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) {
    FUZZ_CHECK(NoFlagCleared(before, after), "a handshake list cleared a flag: " + Where());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  TValidate& validate = PrepareController();
  const std::string_view sInput(reinterpret_cast<const char*>(pData), nSize);
  ResetTable();
  FUZZ_CHECK(validate.InsertClientInfo(FUZZ_ADDRESS, FUZZ_PORT), "InsertClientInfo failed");
  FUZZ_CHECK(Slot(FUZZ_SLOT).tMainSocketServerStateMachine == MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING,
             "a new connection did not take the free slot 0");
  bool bStopPending = false;
  for (std::string_view sRead : SplitReads(sInput)) {
    if (sRead.empty()) {
      bStopPending = true;  // the listener stops: the next read is delivered to a CLOSING slot
      continue;
    }
    CheckExtraction(sRead);
    if (Slot(FUZZ_SLOT).tMainSocketServerStateMachine == MAIN_SOCKET_SERVER_STATE_MACHINE_NONE)
      FUZZ_CHECK(validate.InsertClientInfo(FUZZ_ADDRESS, FUZZ_PORT), "InsertClientInfo failed");
    if (bStopPending) Slot(FUZZ_SLOT).tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING;
    bStopPending = false;
    const TServerSocketInfo before = Slot(FUZZ_SLOT);
    const bool bResult = validate.SocketServerRead(std::string(sRead), 0, FUZZ_SLOT, FUZZ_ADDRESS, FUZZ_PORT);
    CheckStep(sRead, before, Slot(FUZZ_SLOT), bResult);
  }
  // A slot index outside the table must touch nothing (the sentinel check below).
  for (int32_t nBad : {-1, MAX_CLIENT_SLOTS, INT32_MIN, INT32_MAX})
    validate.SocketServerRead(std::string(sInput), 0, nBad, FUZZ_ADDRESS, FUZZ_PORT);
  CheckSentinel(sInput);
  return 0;
}
