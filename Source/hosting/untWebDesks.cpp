// The web-desk table (design in untWebDesks.h). Control thread only: no lock of its own; the
// extension-state lock is taken for one entry's read at a time, as the stages take it. What the
// table sends is built once per frame and copied into each subscribed desk's bounded queue.
#include "hosting/untWebDesks.h"

#include <array>
#include <atomic>
#include <chrono>
#include <exception>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "base/untCodePage.h"
#include "base/untMutex.h"
#include "base/untVariables.h"
#include "hosting/untJson.h"
#include "logging/untCounters.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "pipeline/untEventProfile.h"
#include "pipeline/untKeyDrops.h"
#include "platform/untControlLoop.h"

namespace {

constexpr const char* SOURCE = "TWebDesks";
constexpr size_t LOG_TEXT_MAX = 1024;        // bytes of a browser's text in one log line
constexpr size_t APP_NAME_MAX = 64;          // as the TCP handshake's application id
constexpr size_t CALLERS_PER_QUEUE_MAX = 1000;  // a queue that never sees its leaves stays bounded
constexpr int FINISH_GRACE_SECONDS = 5;      // a desk told to go that does not close is cut then

using TClock = std::chrono::steady_clock;

// ---- Log lines: what a browser sent is escaped and bounded ----

// Browser text for a log line: in the log's code page, control characters escaped as a TCP desk's
// are, at most LOG_TEXT_MAX bytes.
std::string LogSafe(std::string_view sUtf8) {
  const std::string sText = Utf8ToCp1252(sUtf8.substr(0, LOG_TEXT_MAX * 4));
  size_t nTaken = 0;
  std::string sOut = EscapeControlChars(sText, LOG_TEXT_MAX, &nTaken);
  if (nTaken < sText.size()) sOut += "...";
  return sOut;
}

void LogDesk(int nLevel, const std::string& sText) { WriteLog(SOURCE, LOG_TARGET_PROXY, nLevel, sText, false); }

// Refusals are thinned to the 1st, 10th, 100th, ... so that a page reloading in a loop or a
// scanner cannot flood the log; the line says how many there were.
void LogRefusal(const std::string& sWho, const std::string& sWhy) {
  static uint64_t nRefusals = 0;  // control thread
  uint64_t n = ++nRefusals;
  const uint64_t nCount = n;
  while (n >= 10 && n % 10 == 0) n /= 10;
  if (n == 1)
    LogDesk(LOG_WARNING, "Web desk " + sWho + " refused: " + LogSafe(sWhy) + " (" +
                             IntToStr(static_cast<int64_t>(nCount)) + " refusal(s) so far)");
}

// ---- The desks ----

// A desk's subscriptions: for each family, one flag per key of its range, by key index.
using TSubscriptions = std::array<std::vector<bool>, EVENT_FAMILY_COUNT>;

TSubscriptions NoSubscriptions() {
  TSubscriptions v;
  for (const TEventFamily& family : AllFamilies()) v[family.tFamily].resize(static_cast<size_t>(family.nKeyCount));
  return v;
}

struct TDesk {
  std::shared_ptr<TWebLink> pLink;  // its connection
  std::string sWho;                 // "address:port" for the log
  std::string sApp;                 // application name given at login (log-safe)
  bool bRunning = false;            // logged in
  bool bFinishing = false;          // told to go; cut at tFinishBy
  TClock::time_point tOpened;       // for the handshake deadline
  TClock::time_point tFinishBy;
  TSubscriptions vSubscribed = NoSubscriptions();  // by family, then key index
};

struct TCaller {
  std::string sUniqueId;  // UTF-8
  std::string sNumber;    // CallerIDNum, UTF-8
  std::string sName;      // CallerIDName, UTF-8
  int64_t nJoinedMs = 0;  // wall clock, ms since the epoch
};

// Control thread only.
std::map<uint64_t, TDesk> mDesks;
uint64_t nLastId = 0;
std::map<int32_t, std::vector<TCaller>> mCallers;  // callers waiting, by queue number
bool bExchangeUp = false;                          // as last told to the desks
int32_t nLastReadEvents = 0;                       // the exchange link's reads at the last tick
int32_t nLastTcpDesks = -1, nLastWebDesks = -1;    // the counts last told
std::atomic<int32_t> nDeskCount{0};                // published for any thread

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Publish() { nDeskCount.store(static_cast<int32_t>(mDesks.size()), std::memory_order_relaxed); }

void Cut(TDesk& desk, const std::string& sWhy) {
  LogDesk(LOG_WARNING, "Web desk " + desk.sWho + " cut off: " + sWhy);
  desk.pLink->Cut();
}

// Queues sMessage for the desk; a desk past its bound is cut and false returned.
bool Send(TDesk& desk, std::string sMessage) {
  if (desk.bFinishing) return false;
  if (desk.pLink->Queue(std::move(sMessage))) return true;
  CountUp(MyCounters.nClientCutoffs);
  desk.bFinishing = true;
  desk.tFinishBy = TClock::now();
  Cut(desk, "more than " + IntToStr(static_cast<int64_t>(WEB_DESK_QUEUE_BOUND)) + " bytes queued, it does not read");
  return false;
}

// {"error": why}, then the close; the refusal is logged.
void Refuse(TDesk& desk, const std::string& sWhy) {
  LogRefusal(desk.sWho, sWhy);
  Send(desk, "{\"error\":" + JsonQuote(sWhy) + "}");
  desk.bFinishing = true;
  desk.tFinishBy = TClock::now() + std::chrono::seconds(FINISH_GRACE_SECONDS);
  desk.pLink->Finish();
}

void SendToRunning(const std::string& sMessage) {
  for (auto& [nId, desk] : mDesks)
    if (desk.bRunning) Send(desk, sMessage);
}

// ---- Keys ----

// A key as the browser wrote it in the family's list (its sListName in the messages and the
// login): an integer, or (queues only) a name of [QUEUENAMES] or digits in a string. Out of range
// is not an error (as for TCP desks: nothing is ever sent for it).
std::optional<int32_t> KeyOf(const TEventFamily& family, const TJsonValue& tValue, std::string& sError) {
  std::string sText;
  if (tValue.tKind == TJsonValue::JSON_NUMBER) sText = tValue.sText;
  else if (tValue.tKind == TJsonValue::JSON_STRING) sText = tValue.sText;
  else {
    sError = std::string(family.sListName) + ": an entry is neither a number nor a text";
    return std::nullopt;
  }
  return [&]() -> std::optional<int32_t> {
    if (family.tFamily == EVENT_FAMILY_QUEUE) {
      if (auto n = QueueNumberOf(Utf8ToCp1252(sText), MyConfigInfo.MyProfile)) return n;
    } else if (auto n = StrToIntStrict(sText)) {
      return n;
    }
    sError = std::string(family.sListName) + ": \"" + sText.substr(0, 64) + "\" is not a key";
    return std::nullopt;
  }();
}

// ---- Messages to the desks ----

const char* PeerStateName(TPeerState_OPT t) {
  static const char* const NAMES[] = {"unregistered", "down",     "reserved", "offhook",         "dialing",
                                      "ring",         "ringing",  "up",       "busy",            "dialing-offhook",
                                      "prering",      "notinuse", "unknown"};
  return t <= PEER_STATE_UNKNOWN ? NAMES[t] : "unknown";
}

TPeerState_OPT PeerState(int32_t nIndex) {
  TClientSocketInfo& t = MyAppInfo.MyClientSocketInfo;
  TMutexLock lock(t.crsPeerTable);
  return t.vPeerList[static_cast<size_t>(nIndex)].tPeerState;
}

// "Name: value" lines of a frame (Windows-1252) as a JSON object in UTF-8; the first of a name wins.
std::string FieldsJson(std::string_view sFrame) {
  std::string sOut = "{";
  std::vector<std::string> lstSeen;
  size_t nStart = 0;
  while (nStart < sFrame.size()) {
    size_t nEnd = sFrame.find("\r\n", nStart);
    if (nEnd == std::string_view::npos) nEnd = sFrame.size();
    const std::string_view sLine = sFrame.substr(nStart, nEnd - nStart);
    nStart = nEnd + 2;
    const size_t nColon = sLine.find(": ");
    if (nColon == std::string_view::npos || nColon == 0) continue;
    const std::string sName(sLine.substr(0, nColon));
    bool bSeen = false;
    for (const std::string& s : lstSeen) bSeen = bSeen || s == sName;
    if (bSeen) continue;
    lstSeen.push_back(sName);
    if (sOut.size() > 1) sOut += ',';
    sOut += JsonQuote(Cp1252ToUtf8(sName)) + ":" + JsonQuote(Cp1252ToUtf8(sLine.substr(nColon + 2)));
  }
  return sOut + "}";
}

// The frame of key nKey, at nIndex in its family's range.
std::string FrameMessage(const TEventFamily& family, int32_t nKey, int32_t nIndex, std::string_view sFrame) {
  std::string sOut = "{\"family\":\"" + std::string(family.sName) + "\",\"key\":" + IntToStr(nKey) +
                     ",\"frame\":" + JsonQuote(Cp1252ToUtf8(sFrame)) + ",\"fields\":" + FieldsJson(sFrame);
  // The state after this event: the stage has applied it and waits for this hand-over.
  if (family.tFamily == EVENT_FAMILY_PEER)
    sOut += ",\"state\":\"" + std::string(PeerStateName(PeerState(nIndex))) + "\"";
  return sOut + "}";
}

std::string CallersJson(int32_t nQueue) {
  std::string sOut = "[";
  const auto it = mCallers.find(nQueue);
  if (it != mCallers.end())
    for (const TCaller& c : it->second) {
      if (sOut.size() > 1) sOut += ',';
      sOut += "{\"uniqueid\":" + JsonQuote(c.sUniqueId) + ",\"callerid\":" + JsonQuote(c.sNumber) +
              ",\"name\":" + JsonQuote(c.sName) + ",\"joined\":" + IntToStr(c.nJoinedMs) + "}";
    }
  return sOut + "]";
}

// {"snapshot": ...} of the queues and extensions set in v (parking slots have no state to show).
std::string SnapshotMessage(const TSubscriptions& v) {
  std::string sQueues, sPeers;
  const TEventFamily& q = Family(EVENT_FAMILY_QUEUE);
  const TEventFamily& p = Family(EVENT_FAMILY_PEER);
  for (int32_t n = 0; n < q.nKeyCount; ++n)
    if (v[q.tFamily][static_cast<size_t>(n)])
      sQueues += (sQueues.empty() ? "\"" : ",\"") + IntToStr(q.FirstKey() + n) + "\":" + CallersJson(q.FirstKey() + n);
  for (int32_t n = 0; n < p.nKeyCount; ++n)
    if (v[p.tFamily][static_cast<size_t>(n)])
      sPeers += (sPeers.empty() ? "\"" : ",\"") + IntToStr(p.FirstKey() + n) + "\":\"" + PeerStateName(PeerState(n)) + "\"";
  return "{\"snapshot\":{\"now\":" + IntToStr(NowMs()) + ",\"" + q.sListName + "\":{" + sQueues + "},\"" +
         p.sListName + "\":{" + sPeers + "}}}";
}

std::string ExchangeMessage(bool bUp) { return std::string("{\"exchange\":\"") + (bUp ? "up" : "down") + "\"}"; }

int32_t RunningTcpDesks() {
  int32_t n = 0;
  for (const TServerSocketInfo& slot : MyAppInfo.MyServerSocketInfo)
    if (slot.tMainSocketServerStateMachine == MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) ++n;
  return n;
}

std::string DesksMessage() {
  int32_t nWeb = 0;
  for (const auto& [nId, desk] : mDesks)
    if (desk.bRunning) ++nWeb;
  return "{\"desks\":{\"tcp\":" + IntToStr(RunningTcpDesks()) + ",\"web\":" + IntToStr(nWeb) + "}}";
}

// ---- Events a key's ring refused ----

// Once a tick: for every key whose ring refused events since the last tick, one notice with their
// count to the desks subscribed to it. Each count is taken (and cleared) whether or not a desk
// wants it, so a desk that subscribes later is not told of older losses.
void SendDropNotices() {
  for (const TEventFamily& family : AllFamilies()) {
    const int32_t nKeys = KeyTableSize(family.tFamily);
    for (int32_t nIndex = 0; nIndex < nKeys; ++nIndex) {
      const uint32_t nDropped = TakeKeyDrops(family.tFamily, nIndex);
      if (nDropped == 0) continue;
      const std::string sMessage = "{\"dropped\":{\"family\":\"" + std::string(family.sName) +
                                   "\",\"key\":" + IntToStr(family.FirstKey() + nIndex) +
                                   ",\"count\":" + IntToStr(static_cast<int64_t>(nDropped)) + "}}";
      for (auto& [nId, desk] : mDesks)
        if (desk.bRunning && desk.vSubscribed[family.tFamily][static_cast<size_t>(nIndex)]) Send(desk, sMessage);
    }
  }
}

// ---- Callers waiting, from the queue events of both profiles ----

std::string FieldValue(std::string_view sFrame, std::string_view sName) {
  const std::optional<std::string_view> s = LineValue(sFrame, sName);
  return s ? Cp1252ToUtf8(*s) : std::string();
}

void TrackCallers(int32_t nQueue, std::string_view sFrame) {
  const std::string sEvent = FieldValue(sFrame, "Event: ");
  const bool bJoin = sEvent == "Join" || sEvent == "QueueCallerJoin";
  const bool bLeave = sEvent == "Leave" || sEvent == "QueueCallerLeave" || sEvent == "QueueCallerAbandon";
  if (!bJoin && !bLeave) return;
  const std::string sUniqueId = FieldValue(sFrame, "Uniqueid: ");
  std::vector<TCaller>& v = mCallers[nQueue];
  for (auto it = v.begin(); it != v.end(); ++it)
    if (it->sUniqueId == sUniqueId) {
      v.erase(it);
      break;
    }
  if (bJoin && v.size() < CALLERS_PER_QUEUE_MAX)
    v.push_back({sUniqueId, FieldValue(sFrame, "CallerIDNum: "), FieldValue(sFrame, "CallerIDName: "), NowMs()});
  if (v.empty()) mCallers.erase(nQueue);
}

// ---- Login and change ----

// The lists of a login: arrays of keys. False and sError when one is not.
bool ReadLoginLists(const TJsonValue& tLogin, TDesk& desk, std::string& sError) {
  for (const TEventFamily& family : AllFamilies()) {
    const TJsonValue* pList = tLogin.Member(family.sListName);
    if (pList == nullptr) continue;
    if (pList->tKind != TJsonValue::JSON_ARRAY) {
      sError = std::string(family.sListName) + " is not a list";
      return false;
    }
    for (const TJsonValue& tItem : pList->vItems) {
      const std::optional<int32_t> nKey = KeyOf(family, tItem, sError);
      if (!nKey) return false;
      const int32_t nIndex = family.IndexOf(*nKey);
      if (nIndex >= 0) desk.vSubscribed[family.tFamily][static_cast<size_t>(nIndex)] = true;
    }
  }
  return true;
}

// The desk's subscriptions to keys of tFamily.
int32_t CountOf(const TDesk& desk, TEventFamily_OPT tFamily) {
  int32_t n = 0;
  for (const bool b : desk.vSubscribed[tFamily]) n += b ? 1 : 0;
  return n;
}

void Login(TDesk& desk, const TJsonValue& tLogin) {
  const TJsonValue* pCode = tLogin.Member("code");
  if (pCode == nullptr || pCode->tKind != TJsonValue::JSON_STRING ||
      pCode->sText != MyConfigInfo.MyClientPort.sAccessCode)
    return Refuse(desk, "wrong access code");
  const TJsonValue* pApp = tLogin.Member("app");
  if (pApp != nullptr && (pApp->tKind != TJsonValue::JSON_STRING || pApp->sText.size() > APP_NAME_MAX))
    return Refuse(desk, "app is not a text of at most 64 bytes");
  std::string sError;
  if (!ReadLoginLists(tLogin, desk, sError)) return Refuse(desk, sError);
  desk.sApp = pApp != nullptr ? LogSafe(pApp->sText) : std::string();
  desk.bRunning = true;
  LogDesk(LOG_VERBOSE, "Web desk " + desk.sWho + " logged in as \"" + desk.sApp + "\" (" +
                           IntToStr(CountOf(desk, EVENT_FAMILY_QUEUE)) + " queue(s), " +
                           IntToStr(CountOf(desk, EVENT_FAMILY_PEER)) + " extension(s), " +
                           IntToStr(CountOf(desk, EVENT_FAMILY_FEATUREPARK)) + " parking slot(s))");
  if (!Send(desk, "{\"ready\":true}")) return;
  if (!Send(desk, ExchangeMessage(bExchangeUp))) return;
  if (!Send(desk, DesksMessage())) return;
  Send(desk, SnapshotMessage(desk.vSubscribed));
}

// {"queues": {"10004": true, ...}, "extensions": {...}, "parks": {...}}: each entry sets or clears
// one subscription. A message with a wrong part changes nothing and is answered with an error;
// the desk stays.
void Change(TDesk& desk, const TJsonValue& tChange) {
  struct TEntry { TEventFamily_OPT tFamily; int32_t nIndex; bool bOn; };
  std::vector<TEntry> vEntries;
  std::string sError;
  for (const TEventFamily& family : AllFamilies()) {
    const TJsonValue* pMap = tChange.Member(family.sListName);
    if (pMap == nullptr) continue;
    if (pMap->tKind != TJsonValue::JSON_OBJECT) sError = std::string(family.sListName) + " is not an object";
    for (const auto& [sKey, tOn] : pMap->mMembers) {
      if (!sError.empty()) break;
      TJsonValue tKey;
      tKey.tKind = TJsonValue::JSON_STRING;
      tKey.sText = sKey;
      const std::optional<int32_t> nKey = KeyOf(family, tKey, sError);
      if (nKey && tOn.tKind != TJsonValue::JSON_BOOL)
        sError = std::string(family.sListName) + ": a value is not true or false";
      if (!sError.empty()) break;
      const int32_t nIndex = family.IndexOf(*nKey);
      if (nIndex >= 0) vEntries.push_back({family.tFamily, nIndex, tOn.bValue});
    }
  }
  if (vEntries.empty() && sError.empty() && tChange.mMembers.empty()) sError = "an empty message";
  if (!sError.empty()) {
    LogRefusal(desk.sWho, "change: " + sError);
    Send(desk, "{\"error\":" + JsonQuote(sError) + "}");
    return;
  }
  TSubscriptions vAdded = NoSubscriptions();  // what the snapshot after the change shows
  bool bAdded = false;
  for (const TEntry& e : vEntries) {
    std::vector<bool>& vList = desk.vSubscribed[e.tFamily];
    const size_t n = static_cast<size_t>(e.nIndex);
    if (e.bOn && !vList[n]) {
      bAdded = true;
      vAdded[e.tFamily][n] = true;
    }
    vList[n] = e.bOn;
  }
  LogDesk(LOG_VERBOSE, "Web desk " + desk.sWho + " changed " + IntToStr(static_cast<int64_t>(vEntries.size())) +
                           " subscription(s)");
  if (bAdded) Send(desk, SnapshotMessage(vAdded));
}

}  // namespace

namespace webdesks {

uint64_t Open(std::shared_ptr<TWebLink> pLink, const std::string& sAddress, int32_t nPort) {
  const uint64_t nId = ++nLastId;
  TDesk& desk = mDesks[nId];
  desk.pLink = std::move(pLink);
  desk.sWho = LogSafe(sAddress) + ":" + IntToStr(nPort);
  desk.tOpened = TClock::now();
  Publish();
  LogDesk(LOG_VERBOSE, "Web desk " + desk.sWho + " connected");
  return nId;
}

void Message(uint64_t nId, const std::string& sText) {
  try {
    const auto it = mDesks.find(nId);
    if (it == mDesks.end() || it->second.bFinishing) return;
    TDesk& desk = it->second;
    TJsonValue tValue;
    std::string sError;
    if (!ParseJson(sText, tValue, sError)) {
      if (!desk.bRunning) return Refuse(desk, "not JSON: " + sError);
      LogRefusal(desk.sWho, "not JSON: " + sError);
      Send(desk, "{\"error\":" + JsonQuote("not JSON: " + sError) + "}");
      return;
    }
    if (tValue.tKind != TJsonValue::JSON_OBJECT) {
      if (!desk.bRunning) return Refuse(desk, "not a JSON object");
      Send(desk, "{\"error\":\"not a JSON object\"}");
      return;
    }
    if (desk.bRunning) Change(desk, tValue);
    else Login(desk, tValue);
  } catch (const std::exception& e) {
    LogOperationError(SOURCE, "Message", e.what(), LOG_TARGET_PROXY);
  }
}

void Closed(uint64_t nId) {
  const auto it = mDesks.find(nId);
  if (it == mDesks.end()) return;
  LogDesk(LOG_VERBOSE, "Web desk " + it->second.sWho + " disconnected");
  mDesks.erase(it);
  Publish();
}

void CutAll() {
  for (auto& [nId, desk] : mDesks) desk.pLink->Cut();
  mDesks.clear();
  Publish();
}

void DeliverBatch(const TEventBatch& tBatch) {
  try {
    if (tBatch.tFamily < 0 || tBatch.tFamily >= EVENT_FAMILY_COUNT) return;
    const TEventFamily& family = Family(tBatch.tFamily);
    for (const TEventBatch::TFrame& tFrame : tBatch.vFrames) {
      const std::string_view sFrame = tBatch.Frame(tFrame);
      if (tBatch.tFamily == EVENT_FAMILY_QUEUE) TrackCallers(tFrame.nKey, sFrame);
      const int32_t nIndex = family.IndexOf(tFrame.nKey);
      if (nIndex < 0) continue;
      std::string sMessage;  // made for the first desk that takes it
      for (auto& [nId, desk] : mDesks) {
        if (!desk.bRunning || !desk.vSubscribed[family.tFamily][static_cast<size_t>(nIndex)]) continue;
        if (sMessage.empty()) sMessage = FrameMessage(family, tFrame.nKey, nIndex, sFrame);
        Send(desk, sMessage);
      }
    }
  } catch (const std::exception& e) {
    LogOperationError(SOURCE, "DeliverBatch", e.what(), LOG_TARGET_PROXY);
  }
}

void Tick() {
  try {
    const TClock::time_point tNow = TClock::now();
    const int32_t nDeadline = MyConfigInfo.MyClientPort.nHandshakeTimeout;
    for (auto& [nId, desk] : mDesks) {
      if (desk.bFinishing) {
        if (tNow >= desk.tFinishBy) desk.pLink->Cut();
      } else if (!desk.bRunning && nDeadline > 0 && tNow - desk.tOpened >= std::chrono::seconds(nDeadline)) {
        Refuse(desk, "no login within " + IntToStr(nDeadline) + " s");
      }
    }
    // The link restarted when it is logged in or lost, or when its read count began again.
    const bool bUp = MyAppInfo.tMainSocketClientStateMachine[0] == MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING;
    const int32_t nReads = MyAppInfo.nTotalSocketReadEvents;
    if (bUp != bExchangeUp || nReads < nLastReadEvents) {
      mCallers.clear();
      if (bUp != bExchangeUp) {
        bExchangeUp = bUp;
        SendToRunning(ExchangeMessage(bUp));
      }
    }
    nLastReadEvents = nReads;
    SendDropNotices();
    int32_t nWeb = 0;
    for (const auto& [nId, desk] : mDesks) nWeb += desk.bRunning ? 1 : 0;
    const int32_t nTcp = RunningTcpDesks();
    if (nTcp != nLastTcpDesks || nWeb != nLastWebDesks) {
      nLastTcpDesks = nTcp;
      nLastWebDesks = nWeb;
      SendToRunning(DesksMessage());
    }
  } catch (const std::exception& e) {
    LogOperationError(SOURCE, "Tick", e.what(), LOG_TARGET_PROXY);
  }
}

int32_t Count() { return nDeskCount.load(std::memory_order_relaxed); }

void ResetForTest() {
  mDesks.clear();
  mCallers.clear();
  bExchangeUp = false;
  nLastReadEvents = 0;
  nLastTcpDesks = nLastWebDesks = -1;
  Publish();
}

}  // namespace webdesks

namespace {

// Per-key stage threads; each waits until the control thread has queued its frames.
class TWebDeskOutlet : public TEventOutlet {
 public:
  void Deliver(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame) override {
    DeliverBatch(TEventBatch::One(tFamily, nKey, sFrame));
  }
  void DeliverBatch(const TEventBatch& tBatch) override {
    TControlLoop::Instance().Synchronize([&] { webdesks::DeliverBatch(tBatch); });
  }
};

}  // namespace

TEventOutlet& WebDeskOutlet() {
  static TWebDeskOutlet tOutlet;  // lives to process end; no state
  return tOutlet;
}
