// The desk service's client protocol: the handshake and change commands of each slot's client
// (SocketServerRead), and the start and stop of the listener with the slot table.
//
// Threads: control thread only. The listener's events and the stop run there one at a time, so a
// slot is never handled by two calls at once and neither the table nor the listener's connection
// list needs a lock. The table operations and the client port's guards it uses are the desk
// service's own (untDeskSlots.cpp, untDeskAdmission.cpp).
//
// Handshake, one step per read (no framing: one read is one message):
//   STARTING --greeting--> STEP1 --MyAppID--> STEP2 --access code--> STEP3 --queues--> STEP4
//   --extensions--> STEP5 --parking lots--> RUNNING (change commands)
//   a failed step --> STARTING (the client is told nothing);  the greeting in a later state
//   restarts the handshake with the slot's data cleared;  CLOSING (listener stop) --> released.
// Replies go out with SendText on the session the slot holds. SendText never ends a connection by
// itself (the listener posts such ends), so no loop over the slots sees the table change under it.
// The log keeps the sources it always had ("TValidate.SocketServerRead", ...).
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/untMessage.h"
#include "base/untVariables.h"
#include "controller/untDeskService.h"
#include "controller/untValidateServer.h"
#include "logging/untCounters.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "platform/untAddressRange.h"
#include "platform/untServerSocket.h"

namespace {

const std::string GREETING = "Hi, lets connect...";
const std::string STOP_NOTICE = "Server is going down!";  // 21 bytes, no line end

// One authenticating step: what it looks for, where the value goes, what it answers.
struct THandshakeStep {
  TMainSocketServerStateMachine_OPT tState;  // the state the step serves
  const char* sKey;         // nullptr: the token key with the access code in force (TokenKey)
  size_t nValueOffset;      // the value starts this many characters after the key's start
  const char* sTerminator;
  int nField;               // UpdateClientInfo argument: 0 app id, 1 token, 2 queues, 3 extensions, 4 lots
  int nMsgDone, nMsgNoTerminator, nMsgNoKey;
  TMainSocketServerStateMachine_OPT tNext;
  const char* sPrompt;      // sent once the step is through
};

// The access code is part of the key of step 2 (TokenKey), so a wrong code fails that step like a
// missing key, and the token stored begins with it.
const THandshakeStep HANDSHAKE_STEPS[] = {
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP1, "MyAppID: ", 9, "\r\n", 0, 39, 44, 45,
     MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP2, "Token:  ?\r\n\r\n"},
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP2, nullptr, 12, "\r\n", 1, 40, 46, 47,
     MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP3, "QueueInfo:  ?\r\n\r\n"},
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP3, "GetQueueInfo: (", 15, ")", 2, 41, 48, 49,
     MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP4, "PeerInfo:  ?\r\n\r\n"},
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP4, "GetPeerInfo: (", 14, ")", 3, 42, 50, 51,
     MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP5, "FeatureParkInfo:  ?\r\n\r\n"},
    {MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP5, "GetFeatureParkInfo: (", 21, ")", 4, 43, 52, 53,
     MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING, "Server is ready and up!\r\n\r\n"},
};

// The code the client libraries ship with, so it keeps nobody out; also the one in force when no
// configuration was read.
const std::string PUBLISHED_ACCESS_CODE = "qmRoK8]";

const std::string& AccessCode() {
  const std::string& sCode = MyConfigInfo.MyClientPort.sAccessCode;
  return sCode.empty() ? PUBLISHED_ACCESS_CODE : sCode;
}

std::string TokenKey() { return "MyAppToken: " + AccessCode(); }

// True when the client listeners can be reached from other hosts: every interface, or an address
// other than a loopback one.
bool ListensBeyondThisHost(const std::string& sBindIP) {
  if (sBindIP.empty()) return true;
  TAddressRanges loopback;
  std::vector<std::string> lstInvalid;
  loopback.Parse("127.0.0.0/8,::1", lstInvalid);
  return !loopback.Contains(sBindIP);
}

struct TChangeCommand {
  const char* sKey;         // nullptr: the token key with the access code in force (TokenKey)
  bool (TDeskService::*fnChange)(int32_t, const std::string&);
  int nMsg;  // logged after the change
};

// Tried in this order; only the first key found is acted on.
const TChangeCommand CHANGE_COMMANDS[] = {
    {"ChangeQueueInfo: (", &TDeskService::ChangeQueueClientInfo, 55},
    {"ChangePeerInfo: (", &TDeskService::ChangePeerClientInfo, 56},
    {"ChangeFeatureParkInfo: (", &TDeskService::ChangeFeatureParkClientInfo, 57},
};

void LogRead(int nMessage, const std::string& sTag) {
  WriteLog("TValidate.SocketServerRead", LOG_TARGET_PROXY, LOG_VERBOSE, Msg(nMessage) + sTag, false);
}

void LogError(const char* sOperation, const std::string& sWhat) {
  LogOperationError("TValidate", sOperation, sWhat, LOG_TARGET_PROXY);
}

// The session a slot holds, which the read came from; nIndex names it in the error.
TServerConnection& SlotConnection(TServerConnection* pSession, int32_t nIndex) {
  if (pSession == nullptr) throw std::out_of_range("no open connection at index " + IntToStr(nIndex));
  return *pSession;
}

// Slot data given in the handshake is cleared; the slot keeps its connection.
void RestartHandshake(TServerSocketInfo& slot) {
  const std::string sAddress = slot.sRemoteAddress;
  const int32_t nPort = slot.nRemotePort;
  slot = TServerSocketInfo();
  slot.sRemoteAddress = sAddress;
  slot.nRemotePort = nPort;
  slot.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING;
}

}  // namespace

bool TDeskService::SocketServerRead(const std::string& sReceivedText, int32_t nSocketServerClientPos,
                                    int32_t nSocketInfoArrayPos, const std::string& sRemoteAddress, int32_t nRemotePort) {
  try {
    if (nSocketInfoArrayPos < 0 || nSocketInfoArrayPos >= MAX_CLIENT_SLOTS)
      throw std::out_of_range("client slot index " + IntToStr(nSocketInfoArrayPos) + " out of range");
    TServerSocketInfo& slot = MyAppInfo.MyServerSocketInfo[nSocketInfoArrayPos];
    // Copies: the release below empties the slot these may refer to.
    const std::string sAddress = sRemoteAddress;
    const int32_t nPort = nRemotePort;
    const std::string sTag = sAddress + ":" + IntToStr(nPort) + ")";
    TMainSocketServerStateMachine_OPT tState = slot.tMainSocketServerStateMachine;
    // The greeting restarts the handshake of a slot held by a client; a free slot stays free and
    // a closing one is released whatever the text.
    if (tState != MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING && tState != MAIN_SOCKET_SERVER_STATE_MACHINE_NONE &&
        tState != MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING && sReceivedText.find(GREETING) != std::string::npos) {
      // A client that was through gets a fresh deadline for its new handshake.
      if (tState == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) StartHandshakeDeadline(Session(nSocketInfoArrayPos));
      RestartHandshake(slot);
      tState = MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING;
    }
    switch (tState) {
      case MAIN_SOCKET_SERVER_STATE_MACHINE_NONE:
        return true;
      case MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING:
        if (sReceivedText.find(GREETING) == std::string::npos) return true;
        slot.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP1;
        LogRead(38, sTag);
        SlotConnection(Session(nSocketInfoArrayPos), nSocketServerClientPos).SendText("Welcome to " + Msg(0) + " " + Msg(1) + "\r\n\r\n");
        return true;
      case MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING:
        for (const TChangeCommand& command : CHANGE_COMMANDS) {
          std::string sValue;
          const TExtractResult_OPT tResult = ExtractHandshakeValue(sReceivedText, command.sKey, ")", sValue);
          if (tResult == EXTRACT_RESULT_NO_KEY) continue;
          if (tResult == EXTRACT_RESULT_FOUND) {
            (this->*command.fnChange)(nSocketInfoArrayPos, sValue);
            LogRead(command.nMsg, sTag);
          }
          break;  // the first key found decides, with or without its ")"
        }
        return true;
      case MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING:
        LogRead(58, sTag);
        DeleteClientInfo(sAddress, nPort);
        return true;
      default:
        break;
    }
    for (const THandshakeStep& step : HANDSHAKE_STEPS) {
      if (step.tState != tState) continue;
      std::string sValue;
      const std::string sKey = step.sKey != nullptr ? std::string(step.sKey) : TokenKey();
      const TExtractResult_OPT tResult =
          ExtractHandshakeValue(sReceivedText, sKey, step.sTerminator, sValue, step.nValueOffset);
      if (tResult != EXTRACT_RESULT_FOUND) {
        CountUp(MyCounters.nHandshakeFailures);
        slot.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING;
        LogRead(tResult == EXTRACT_RESULT_NO_KEY ? step.nMsgNoKey : step.nMsgNoTerminator, sTag);
        return true;
      }
      std::string vFields[5];
      vFields[step.nField] = sValue;
      UpdateClientInfo(nSocketInfoArrayPos, vFields[0], vFields[1], vFields[2], vFields[3], vFields[4]);
      LogRead(step.nMsgDone, sTag);
      slot.tMainSocketServerStateMachine = step.tNext;
      SlotConnection(Session(nSocketInfoArrayPos), nSocketServerClientPos).SendText(step.sPrompt);
      if (step.tNext == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) {
        StopHandshakeDeadline(Session(nSocketInfoArrayPos));
        LogRead(54, sTag);
      }
      return true;
    }
    return true;
  } catch (const std::exception& e) {
    LogError("SocketServerRead", e.what());
    return false;
  }
}

bool TDeskService::StartSocketServer(int32_t nPort) {
  try {
    WriteLog("TValidate.StartSocketServer", LOG_TARGET_PROXY, LOG_VERBOSE, Msg(36) + IntToStr(nPort) + ")", false);
    for (TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo) slot = TServerSocketInfo();
    vSessions.fill(nullptr);
    // Open connections of an earlier start are closed without the stop notice.
    socManagerServer.SetActive(false);
    socManagerServer.Port = nPort;
    socManagerServer.BindAddress = MyConfigInfo.MyClientPort.sBindIP;
    socManagerServer.SetActive(true);
    StartTlsListener();  // its own failure leaves the plain port serving
    if (AccessCode() == PUBLISHED_ACCESS_CODE && ListensBeyondThisHost(MyConfigInfo.MyClientPort.sBindIP))
      WriteLog("TValidate.StartSocketServer", LOG_TARGET_PROXY, LOG_WARNING,
               "The client port listens beyond this host with the public default access code; set [PROXY] "
               "ACCESSCODE.",
               false);
    return true;
  } catch (const std::exception& e) {
    LogError("StartSocketServer", e.what());
    return false;
  }
}

bool TDeskService::StopSocketServer() {
  try {
    WriteLog("TValidate.StopSocketServer", LOG_TARGET_PROXY, LOG_VERBOSE,
             Msg(37) + IntToStr(socManagerServer.Port) + ")", false);
    for (int32_t i = 0; i < MAX_CLIENT_SLOTS; ++i) {
      TServerSocketInfo& slot = MyAppInfo.MyServerSocketInfo[i];
      TServerConnection* pSession = Session(i);  // before CLOSING takes a free slot too
      // A slot without a connection stays CLOSING, so not free, until the next start.
      slot.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING;
      if (pSession == nullptr) continue;
      const std::string sAddress = slot.sRemoteAddress;
      const int32_t nPort = slot.nRemotePort;
      pSession->SendText(STOP_NOTICE);
      SocketServerRead(STOP_NOTICE, -1, i, sAddress, nPort);  // CLOSING: logs and releases
    }
    // Closes every connection, with or without a slot, without disconnect events; the notice
    // queued above is handed to the kernel first.
    socManagerServer.SetActive(false);
    return true;
  } catch (const std::exception& e) {
    LogError("StopSocketServer", e.what());
    return false;
  }
}
