// Client service over the connection table: the handshake and change commands (SocketServerRead),
// the fan-out of event batches to subscribed clients, and the start and stop of the listener.
// The fan-out gives each client the frames of its keys in one write: views of one shared copy of
// the batch when it takes a good share of it, else a copy of just its frames (see SHARE_DIVISOR).
//
// Threads: control thread only. The listener's events, the stop and the fan-out hand-overs run
// there one at a time, so a slot is never handled by two calls at once and neither the table nor
// the listener's connection list needs a lock.
//
// Handshake, one step per read (no framing: one read is one message):
//   STARTING --greeting--> STEP1 --MyAppID--> STEP2 --access code--> STEP3 --queues--> STEP4
//   --extensions--> STEP5 --parking lots--> RUNNING (change commands)
//   a failed step --> STARTING (the client is told nothing);  the greeting in a later state
//   restarts the handshake with the slot's data cleared;  CLOSING (listener stop) --> released.
// Replies go out with SendText on the connection the caller names by index. SendText never ends
// a connection by itself (the listener posts such ends), so the fan-out's loop over the slots
// never sees the table or the connection list change under it.
#include "controller/untValidateServer.h"

#include <array>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/untMessage.h"
#include "controller/untValidate.h"
#include "logging/untCounters.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "pipeline/untEventOutlet.h"
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
  bool (TValidate::*fnChange)(int32_t, const std::string&);
  int nMsg;  // logged after the change
};

// Tried in this order; only the first key found is acted on.
const TChangeCommand CHANGE_COMMANDS[] = {
    {"ChangeQueueInfo: (", &TValidate::ChangeQueueClientInfo, 55},
    {"ChangePeerInfo: (", &TValidate::ChangePeerClientInfo, 56},
    {"ChangeFeatureParkInfo: (", &TValidate::ChangeFeatureParkClientInfo, 57},
};

void LogRead(int nMessage, const std::string& sTag) {
  WriteLog("TValidate.SocketServerRead", LOG_TARGET_PROXY, LOG_VERBOSE, Msg(nMessage) + sTag, false);
}

void LogError(const char* sOperation, const std::string& sWhat) {
  LogOperationError("TValidate", sOperation, sWhat, LOG_TARGET_PROXY);
}

// The session a slot holds, which the read came from; nIndex names it in the error.
TServerConnection& SlotConnection(const TServerSocketInfo& slot, int32_t nIndex) {
  if (slot.pConnection == nullptr) throw std::out_of_range("no open connection at index " + IntToStr(nIndex));
  return *slot.pConnection;
}

// Slot data given in the handshake is cleared; the slot keeps its connection.
void RestartHandshake(TServerSocketInfo& slot) {
  const std::string sAddress = slot.sRemoteAddress;
  const int32_t nPort = slot.nRemotePort;
  TServerConnection* pConnection = slot.pConnection;
  slot = TServerSocketInfo();
  slot.sRemoteAddress = sAddress;
  slot.nRemotePort = nPort;
  slot.pConnection = pConnection;
  slot.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING;
}

// A client that takes at least this share of a batch's bytes gets views of one copy of the batch
// shared by all such clients; one that takes less gets its frames copied into a buffer of its own,
// so a slow reader's queue never keeps alive much more memory than the bytes it holds (at most
// twice), however many large batches it takes a frame or two from.
constexpr size_t SHARE_DIVISOR = 2;

// Where one family's batch goes: the subscription list of the slots, indexed as the family's key
// range (untEventFamily) is.
template <size_t N>
struct TFanOut {
  const char* sOperation;                          // "SocketServerQueueWrite", ... for the error lines
  std::array<bool, N> TServerSocketInfo::*pList;   // the slot's subscriptions of the family
};

// The frames of the batch that slot subscribed to, as runs of adjacent bytes (frames that follow
// one another in the buffer make one run). Returns the frame count; nBytes gets their bytes.
template <size_t N>
int32_t CollectRuns(const TEventBatch& tBatch, const std::vector<int32_t>& vIndex, const std::array<bool, N>& vList,
                    std::vector<std::string_view>& vRuns, size_t& nBytes) {
  int32_t nFrames = 0;
  nBytes = 0;
  vRuns.clear();
  for (size_t n = 0; n < tBatch.vFrames.size(); ++n) {
    if (vIndex[n] < 0 || static_cast<size_t>(vIndex[n]) >= N || !vList[static_cast<size_t>(vIndex[n])]) continue;
    const std::string_view sFrame = tBatch.Frame(tBatch.vFrames[n]);
    if (!vRuns.empty() && vRuns.back().data() + vRuns.back().size() == sFrame.data())
      vRuns.back() = std::string_view(vRuns.back().data(), vRuns.back().size() + sFrame.size());
    else
      vRuns.push_back(sFrame);
    nBytes += sFrame.size();
    ++nFrames;
  }
  return nFrames;
}

// One write of the runs (views into tBatch.svBytes): views of the batch's shared copy, made by the
// first client that needs it, or a joined copy when the client takes little of the batch. Both are
// allocated here on the control thread, which frees them too.
int SendRuns(TServerConnection& connection, const TEventBatch& tBatch, std::shared_ptr<const std::string>& pShared,
             std::vector<std::string_view>& vRuns, size_t nBytes) {
  if (nBytes * SHARE_DIVISOR >= tBatch.svBytes.size()) {
    if (!pShared) pShared = std::make_shared<const std::string>(tBatch.svBytes);
    for (std::string_view& sRun : vRuns)
      sRun = std::string_view(pShared->data() + (sRun.data() - tBatch.svBytes.data()), sRun.size());
    return connection.SendShared(pShared, vRuns);
  }
  std::string sJoined;
  sJoined.reserve(nBytes);
  for (std::string_view sRun : vRuns) sJoined.append(sRun);
  auto pJoined = std::make_shared<const std::string>(std::move(sJoined));
  vRuns.assign(1, std::string_view(*pJoined));
  return connection.SendShared(pJoined, vRuns);
}

// Sends each RUNNING slot the frames of the batch it subscribed to, straight to the session the
// slot holds, in one write per slot.
template <size_t N>
bool WriteBatchToSubscribers(const TFanOut<N>& tFanOut, const TEventBatch& tBatch) {
  try {
    std::vector<int32_t> vIndex;
    vIndex.reserve(tBatch.vFrames.size());
    const TEventFamily& family = Family(tBatch.tFamily);
    for (const TEventBatch::TFrame& tFrame : tBatch.vFrames) vIndex.push_back(family.IndexOf(tFrame.nKey));
    std::vector<std::string_view> vRuns;
    std::shared_ptr<const std::string> pShared;  // the batch's copy for the clients that share it
    for (const TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo) {
      if (slot.tMainSocketServerStateMachine != MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) continue;
      if (slot.pConnection == nullptr) continue;
      size_t nBytes = 0;
      const int32_t nFrames = CollectRuns(tBatch, vIndex, slot.*tFanOut.pList, vRuns, nBytes);
      if (nFrames == 0) continue;
      try {
        const int nTaken = SendRuns(*slot.pConnection, tBatch, pShared, vRuns, nBytes);
        CountUp(MyCounters.nFramesSent, static_cast<uint64_t>(nFrames));
        CountUp(MyCounters.nBytesSent, nTaken > 0 ? static_cast<uint64_t>(nTaken) : 0);
      } catch (const std::exception& e) {
        WriteErrorLog(std::string("TValidate.") + tFanOut.sOperation, LOG_TARGET_PROXY, e.what(),
                      "socManagerServer.Socket.Connections");
      }
    }
    return true;
  } catch (const std::exception& e) {
    LogError(tFanOut.sOperation, e.what());
    return false;
  }
}

const TFanOut<QUEUE_COUNT> QUEUE_FAN_OUT = {"SocketServerQueueWrite", &TServerSocketInfo::vQueueList};
const TFanOut<PEER_COUNT> PEER_FAN_OUT = {"SocketServerPeerWrite", &TServerSocketInfo::vPeerList};
const TFanOut<PARK_COUNT> PARK_FAN_OUT = {"SocketServerFeatureParkWrite", &TServerSocketInfo::vFeatureParkList};

}  // namespace

TExtractResult_OPT ExtractHandshakeValue(std::string_view sText, std::string_view sKey, std::string_view sTerminator,
                                         std::string& sValue, size_t nValueOffset) {
  const size_t nKey = sText.find(sKey);
  if (nKey == std::string_view::npos) return EXTRACT_RESULT_NO_KEY;
  if (nValueOffset == std::string_view::npos) nValueOffset = sKey.size();
  const std::string_view sRest = sText.substr(nKey + nValueOffset);
  const size_t nTerminator = sRest.find(sTerminator);
  if (nTerminator == std::string_view::npos) return EXTRACT_RESULT_NO_TERMINATOR;
  sValue = std::string(sRest.substr(0, nTerminator + 2));  // t + 1 characters, t counted from 1
  return EXTRACT_RESULT_FOUND;
}

std::string RemoveAllCrLfPairs(std::string_view sText) {
  // Removing a pair can bring a CR and an LF together; a stack-like pass cancels those too.
  std::string sOut;
  sOut.reserve(sText.size());
  for (char c : sText) {
    if (c == '\n' && !sOut.empty() && sOut.back() == '\r')
      sOut.pop_back();
    else
      sOut += c;
  }
  return sOut;
}

bool TValidate::SocketServerRead(const std::string& sReceivedText, int32_t nSocketServerClientPos,
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
      if (tState == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) StartHandshakeDeadline(slot.pConnection);
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
        SlotConnection(slot, nSocketServerClientPos).SendText("Welcome to " + Msg(0) + " " + Msg(1) + "\r\n\r\n");
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
      SlotConnection(slot, nSocketServerClientPos).SendText(step.sPrompt);
      if (step.tNext == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) {
        StopHandshakeDeadline(slot.pConnection);
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

bool TValidate::SocketServerWriteBatch(const TEventBatch& tBatch) {
  switch (tBatch.tFamily) {
    case EVENT_FAMILY_QUEUE: return WriteBatchToSubscribers(QUEUE_FAN_OUT, tBatch);
    case EVENT_FAMILY_PEER: return WriteBatchToSubscribers(PEER_FAN_OUT, tBatch);
    case EVENT_FAMILY_FEATUREPARK: return WriteBatchToSubscribers(PARK_FAN_OUT, tBatch);
    default: return true;
  }
}

bool TValidate::StartSocketServer(int32_t nPort) {
  try {
    WriteLog("TValidate.StartSocketServer", LOG_TARGET_PROXY, LOG_VERBOSE, Msg(36) + IntToStr(nPort) + ")", false);
    for (TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo) slot = TServerSocketInfo();
    if (socManagerServer == nullptr) throw std::runtime_error("the client listener does not exist");
    // Open connections of an earlier start are closed without the stop notice.
    socManagerServer->SetActive(false);
    socManagerServer->Port = nPort;
    socManagerServer->BindAddress = MyConfigInfo.MyClientPort.sBindIP;
    socManagerServer->SetActive(true);
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

bool TValidate::StopSocketServer() {
  try {
    if (socManagerServer == nullptr) throw std::runtime_error("the client listener does not exist");
    WriteLog("TValidate.StopSocketServer", LOG_TARGET_PROXY, LOG_VERBOSE,
             Msg(37) + IntToStr(socManagerServer->Port) + ")", false);
    for (int32_t i = 0; i < MAX_CLIENT_SLOTS; ++i) {
      TServerSocketInfo& slot = MyAppInfo.MyServerSocketInfo[i];
      // A slot without a connection stays CLOSING, so not free, until the next start.
      slot.tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING;
      if (slot.pConnection == nullptr) continue;
      const std::string sAddress = slot.sRemoteAddress;
      const int32_t nPort = slot.nRemotePort;
      slot.pConnection->SendText(STOP_NOTICE);
      SocketServerRead(STOP_NOTICE, -1, i, sAddress, nPort);  // CLOSING: logs and releases
    }
    // Closes every connection, with or without a slot, without disconnect events; the notice
    // queued above is handed to the kernel first.
    socManagerServer->SetActive(false);
    return true;
  } catch (const std::exception& e) {
    LogError("StopSocketServer", e.what());
    return false;
  }
}
