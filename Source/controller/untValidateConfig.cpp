// TValidate's configuration concern: the constructor, which creates the ten capture lists and
// reads, corrects and publishes Lib/Config.ini into MyConfigInfo; the destructor, which frees the
// lists; and the folders beside the executable.
//
// The classification profile ([AMI] PROFILE, CHANNELTECH, [KEYS], [QUEUENAMES]) is read with the
// other keys and checked first, so the key ranges in force are sound before anything can use them;
// under CLASSIC the keys only CURRENT reads are ignored and the classic ranges stay.
//
// Thread: the main thread during start-up (the constructor runs after the log writer has started
// and before any ring worker exists, so MyConfigInfo needs no lock: every later access is a read),
// and the control thread at the console's shut-down (the destructor).
// Order matters: nLogVerbose takes the file's value as soon as the file is read, so every line
// logged after that is already filtered by the configured level. Every line of the constructor is
// logged with source "TValidate.Create", target 1 (main log pane) and the status-bar echo. The
// configuration check (-check) runs the same reading with its lines printed instead of logged.
#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <string>
#include <vector>

#include "controller/untValidate.h"
#include "logging/untLogger.h"
#include "logging/untLoggerThread.h"
#include "logging/untUtil.h"
#include "platform/untAddressRange.h"
#include "platform/untControlLoop.h"
#include "startup/untIniFiles.h"
#include "startup/untMessage.h"

TValidate* MyValidate = nullptr;

namespace {

// Where the lines of a reading go instead of the log (the configuration check); null: the log.
TValidate::TConfigLineSink fnConfigLine = nullptr;

void LogCreate(int nLevel, const std::string& sText) {
  if (fnConfigLine != nullptr) {
    fnConfigLine(nLevel, sText);
    return;
  }
  WriteLog("TValidate.Create", LOG_TARGET_MAIN, nLevel, sText, true);
}

std::string CorrectionText(const char* sField, const std::string& sValueInForce) {
  return std::string("MyConfigInfo.") + sField + " is invalid, current value from Config is: " + sValueInForce;
}

std::string UpperAscii(std::string_view sText) {
  std::string sOut(sText);
  for (char& c : sOut)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return sOut;
}

// What the last reading found to say, for the configuration check's exit status; main thread.
TValidate::TConfigFindings tFindings;
// The (section, key) pairs the last reading looked up; a key "" stands for a whole section.
std::vector<std::pair<std::string, std::string>> lstKeysRead;

void LogCorrection(const char* sField, const std::string& sValueInForce) {
  ++tFindings.nCorrected;
  LogCreate(LOG_VERBOSE, CorrectionText(sField, sValueInForce));
}

// On/off values that were neither a number nor a yes/no word: said with the other corrections,
// after the fixed order of the older keys, so that a file those keys accepted reads as before.
std::vector<std::pair<std::string, std::string>> lstSwitchCorrections;  // (field, value in force)

bool ReadSwitch(const TIniFile& ini, const char* sSection, const char* sKey, bool bDefault, const char* sField) {
  const std::string sValue = ini.ReadString(sSection, sKey, "");
  if (Trim(sValue).empty()) return bDefault;  // absent or left empty: the default, as ever
  if (const std::optional<bool> bValue = IniSwitchValue(sValue)) return *bValue;
  lstSwitchCorrections.emplace_back(sField, bDefault ? "1" : "0");
  return bDefault;
}

void LogSwitchCorrections() {
  for (const auto& [sField, sValue] : lstSwitchCorrections) LogCorrection(sField.c_str(), sValue);
  lstSwitchCorrections.clear();
}

// A key no part of the relay reads is most often one put in the wrong section, so the line names
// the section that does read it when there is one.
void LogUnknownKeys(const TIniFile& ini) {
  const std::vector<std::pair<std::string, std::string>> lstRead = ini.LookedUp();
  for (const TIniFile::TUnread& u : ini.Unread()) {
    ++tFindings.nUnknown;
    if (u.sKey.empty()) {
      LogCreate(LOG_WARNING, "Unknown section [" + u.sSection + "] in " + u.sFile + ": its " + IntToStr(u.nKeys) +
                                 " key(s) are ignored.");
      continue;
    }
    std::string sText = "Unknown key " + u.sKey + " in section [" + u.sSection + "] of " + u.sFile + ": ignored.";
    const std::string sUpperKey = UpperAscii(u.sKey);
    for (const auto& [sSection, sKey] : lstRead)
      if (sKey == sUpperKey) {
        sText += " The relay reads " + sKey + " in section [" + sSection + "].";
        break;
      }
    LogCreate(LOG_WARNING, sText);
  }
}

bool IsValidPort(int32_t nPort) { return nPort >= 1 && nPort <= 65535; }

// Each key's default, said once: the reader gives it for a missing or unreadable key, and the
// corrections put it back where it applies.
namespace config_default {
constexpr int32_t LOG_VERBOSE = 99;
constexpr int32_t LOG_KEEP_DAYS = 30;  // a month of daily files; 0 keeps them all
constexpr bool AUTO_START = true;
constexpr bool SERVER_AUTO_START = true;
constexpr bool SERVER_AUTO_RECONNECT = true;
constexpr int32_t SERVER_RECONNECT_TMR = 5;  // also the smallest value taken
constexpr int32_t SERVER_TIMEOUT_TMR = 5;    // also the smallest value taken
constexpr const char* SERVER_IP = "";
constexpr int32_t SERVER_PORT = 50386;
constexpr const char* USERNAME = "amiadmin";
constexpr const char* SECRET = "pxwdkr";
constexpr bool PROXY_AUTO_START = true;
constexpr int32_t PROXY_PORT = 50387;
// [AMI] PROFILE and what only the CURRENT profile reads; CLASSIC always keys by the classic ranges.
constexpr const char* PROFILE = "CLASSIC";
constexpr const char* CHANNEL_TECH = "SIP,PJSIP";
constexpr int32_t KEYS_QUEUE_FIRST = QUEUE_FIRST;
constexpr int32_t KEYS_PEER_FIRST = PEER_FIRST;
constexpr int32_t KEYS_PARK_FIRST = PARK_FIRST;
constexpr int32_t METRICS_PORT = 0;  // no endpoint
constexpr const char* METRICS_BIND_IP = "127.0.0.1";
// The client port's guards and TLS, and the exchange link's TLS.
constexpr int32_t HANDSHAKE_TIMEOUT = 10;         // seconds; 0 turns the deadline off
constexpr int32_t HANDSHAKE_TIMEOUT_MAX = 86400;  // a day; beyond it the value is taken as a mistake
constexpr int32_t MAX_PER_ADDRESS = 10;           // 0 turns the limit off
constexpr const char* BIND_IP = "";               // every interface
constexpr const char* ALLOW_FROM = "";            // everyone
// What an allow-list in which no entry is a range falls back to: the relay's own host, never everyone.
constexpr const char* ALLOW_FROM_NONE_VALID = "127.0.0.0/8,::1/128";
constexpr int32_t TLS_PORT = 0;                   // no TLS listener
constexpr const char* TLS_CERT = "";
constexpr const char* TLS_KEY = "";
constexpr const char* TLS_CLIENT_CA = "";         // no client certificate asked
// Published with the client libraries, so it keeps nobody out: a site that lets other hosts reach
// the client port sets its own.
constexpr const char* ACCESS_CODE = "qmRoK8]";
constexpr size_t ACCESS_CODE_MAX = 64;
constexpr bool EXCHANGE_TLS = false;
constexpr const char* EXCHANGE_TLS_CA_FILE = "";  // the system's trust store
constexpr bool EXCHANGE_TLS_VERIFY = true;
constexpr int32_t MAX_QUEUED_MB = DEFAULT_MAX_QUEUED_MB;  // also what holds before the file is read
constexpr const char* PACING = "PASS";
}  // namespace config_default

// [METRICS]: the metrics and health endpoint.
void ReadMetricsConfig(const TIniFile& ini) {
  namespace d = config_default;
  TMetricsConfig& m = MyConfigInfo.MyMetrics;
  m.nPort = ini.ReadInteger("METRICS", "PORT", d::METRICS_PORT);
  m.sBindIP = ini.ReadString("METRICS", "BINDIP", d::METRICS_BIND_IP);
}

// A port outside 0..65535 turns the endpoint off rather than open it where nobody expects it; an
// address that is none goes back to this host only.
void CheckMetricsConfig() {
  namespace d = config_default;
  TMetricsConfig& m = MyConfigInfo.MyMetrics;
  if (m.nPort < 0 || m.nPort > 65535) {
    m.nPort = d::METRICS_PORT;
    LogCorrection("MyMetrics.nPort", IntToStr(m.nPort));
  }
  if (Trim(m.sBindIP).empty() || !IsIpAddressText(m.sBindIP)) {
    m.sBindIP = d::METRICS_BIND_IP;
    LogCorrection("MyMetrics.sBindIP", m.sBindIP);
  }
}
// Section [NATS], said once like the keys above. An empty URL leaves publishing off.
namespace nats_default {
constexpr const char* URL = "";
constexpr const char* CREDS = "";
constexpr const char* SUBJECT_PREFIX = "telvane";
constexpr const char* STREAM = "";  // no stream
constexpr int32_t MAX_AGE_HOURS = 24;
constexpr int32_t MAX_AGE_HOURS_LIMIT = 87600;  // ten years; the server counts in nanoseconds
}  // namespace nats_default

// Section [WEB], said once like the keys above. PORT 0 leaves the web server off.
namespace web_default {
constexpr int32_t PORT = 0;
constexpr const char* BIND_IP = "127.0.0.1";
constexpr const char* ALLOW_FROM = "";  // everyone who can reach BINDIP
constexpr const char* TLS_CERT = "";
constexpr const char* TLS_KEY = "";
constexpr int32_t MAX_CLIENTS = 100;
constexpr int32_t MAX_CLIENTS_LIMIT = 1000;  // each web desk has a writer thread of its own
}  // namespace web_default

void ReadWebKeys(const TIniFile& ini) {
  namespace d = web_default;
  TWebConfig& w = MyConfigInfo.MyWeb;
  w.nPort = ini.ReadInteger("WEB", "PORT", d::PORT);
  w.sBindIP = ini.ReadString("WEB", "BINDIP", d::BIND_IP);
  w.sAllowFrom = ini.ReadString("WEB", "ALLOWFROM", d::ALLOW_FROM);
  w.sTlsCert = ini.ReadString("WEB", "TLSCERT", d::TLS_CERT);
  w.sTlsKey = ini.ReadString("WEB", "TLSKEY", d::TLS_KEY);
  w.nMaxClients = ini.ReadInteger("WEB", "MAXCLIENTS", d::MAX_CLIENTS);
}

// As for [METRICS]: a port out of range turns the server off rather than open it somewhere else;
// an allow-list keeps its valid ranges, and one with none falls back to this host only. TLS asks
// for both files: one without the other serves plain HTTP, said as a correction.
void CheckWebKeys() {
  namespace d = web_default;
  TWebConfig& w = MyConfigInfo.MyWeb;
  if (w.nPort < 0 || w.nPort > 65535) {
    w.nPort = d::PORT;
    LogCorrection("MyWeb.nPort", IntToStr(w.nPort));
  }
  if (Trim(w.sBindIP).empty() || !IsIpAddressText(w.sBindIP)) {
    w.sBindIP = d::BIND_IP;
    LogCorrection("MyWeb.sBindIP", w.sBindIP);
  }
  TAddressRanges ranges;
  std::vector<std::string> lstInvalid;
  ranges.Parse(w.sAllowFrom, lstInvalid);
  if (!lstInvalid.empty()) {
    w.sAllowFrom = ranges.Empty() ? config_default::ALLOW_FROM_NONE_VALID : ranges.Text();
    LogCorrection("MyWeb.sAllowFrom", w.sAllowFrom);
  }
  if (Trim(w.sTlsCert).empty() != Trim(w.sTlsKey).empty()) {
    w.sTlsCert = d::TLS_CERT;
    w.sTlsKey = d::TLS_KEY;
    LogCorrection("MyWeb.sTlsCert", w.sTlsCert);
  }
  if (w.nMaxClients < 1 || w.nMaxClients > d::MAX_CLIENTS_LIMIT) {
    w.nMaxClients = d::MAX_CLIENTS;
    LogCorrection("MyWeb.nMaxClients", IntToStr(w.nMaxClients));
  }
}

bool CreateAuditLists() {
  try {
    TAuditEvents& a = MyAuditEvents;
    a.lstAudit = new TAuditList();
    a.lstMainLog = new TAuditList();
    a.lstReadReceived = new TAuditList();
    a.lstReadProcessed = new TAuditList();
    a.lstGlobalQueue = new TAuditList();
    a.lstSpecificQueue = new TAuditList();
    a.lstGlobalPeer = new TAuditList();
    a.lstSpecificPeer = new TAuditList();
    a.lstGlobalFeaturePark = new TAuditList();
    a.lstSpecificFeaturePark = new TAuditList();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void FreeList(TAuditList*& lst) {
  TAuditList* lstOld = lst;
  lst = nullptr;
  delete lstOld;
}

// ---- The classification profile: [AMI] PROFILE, [AMI] CHANNELTECH, [KEYS], [QUEUENAMES] ----

bool IsAllDigits(std::string_view sText) {
  return !sText.empty() && std::all_of(sText.begin(), sText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Read as they stand; the checks below decide what is in force.
void ReadProfileKeys(const TIniFile& ini) {
  namespace d = config_default;
  TProfileConfig& p = MyConfigInfo.MyProfile;
  p.sProfile = ini.ReadString("AMI", "PROFILE", d::PROFILE);
  p.sChannelTech = ini.ReadString("AMI", "CHANNELTECH", d::CHANNEL_TECH);
  p.nQueueFirst = ini.ReadInteger("KEYS", "QUEUEFIRST", d::KEYS_QUEUE_FIRST);
  p.nPeerFirst = ini.ReadInteger("KEYS", "EXTENFIRST", d::KEYS_PEER_FIRST);
  p.nParkFirst = ini.ReadInteger("KEYS", "PARKFIRST", d::KEYS_PARK_FIRST);
  p.lstQueueNameLines = ini.ReadSection("QUEUENAMES");
}

// CLASSIC keys by the classic ranges whatever the file says; say so when the file said otherwise.
void IgnoreCurrentOnlyKeys(TProfileConfig& p) {
  namespace d = config_default;
  const bool bGiven = p.sChannelTech != d::CHANNEL_TECH || p.nQueueFirst != d::KEYS_QUEUE_FIRST ||
                      p.nPeerFirst != d::KEYS_PEER_FIRST || p.nParkFirst != d::KEYS_PARK_FIRST ||
                      !p.lstQueueNameLines.empty();
  p.nQueueFirst = d::KEYS_QUEUE_FIRST;
  p.nPeerFirst = d::KEYS_PEER_FIRST;
  p.nParkFirst = d::KEYS_PARK_FIRST;
  p.lstChannelTech.clear();
  p.vQueueNames.clear();
  if (bGiven)
    LogCreate(LOG_VERBOSE, "MyConfigInfo.MyProfile: [AMI] CHANNELTECH, [KEYS] and [QUEUENAMES] apply only with "
                           "[AMI] PROFILE=CURRENT; ignored.");
}

// The technologies, comma-separated; each a word of letters, digits, '_' or '-'.
std::vector<std::string> ChannelTechList(std::string_view sText) {
  std::vector<std::string> lstParts, lstTech;
  SplitDelimited(',', sText, true, lstParts);
  for (const std::string& sPart : lstParts) {
    const std::string sTech = Trim(sPart);
    if (sTech.empty()) continue;
    const bool bWord = std::all_of(sTech.begin(), sTech.end(), [](char c) {
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
    if (!bWord) return {};
    lstTech.push_back(sTech);
  }
  return lstTech;
}

void CheckChannelTech(TProfileConfig& p) {
  p.lstChannelTech = ChannelTechList(p.sChannelTech);
  if (!p.lstChannelTech.empty()) return;
  p.sChannelTech = config_default::CHANNEL_TECH;
  p.lstChannelTech = ChannelTechList(p.sChannelTech);
  LogCorrection("MyProfile.sChannelTech", p.sChannelTech);
}

// A first number must leave room for the whole range below the 32-bit limit.
void CheckKeyFirst(int32_t& nFirst, int32_t nCount, int32_t nDefault, const char* sField) {
  if (nFirst >= 0 && int64_t{nFirst} + nCount - 1 <= std::numeric_limits<int32_t>::max()) return;
  nFirst = nDefault;
  LogCorrection(sField, IntToStr(nFirst));
}

// name=number, the number inside the queue range in force; a name made only of digits would never
// be looked up (a number is read as a number), so it is refused too. Refused lines are dropped.
void CheckQueueNames(TProfileConfig& p) {
  p.vQueueNames.clear();
  for (const auto& [sName, sValue] : p.lstQueueNameLines) {
    const std::optional<int32_t> nQueue = IniIntegerValue(sValue);
    if (IsAllDigits(sName) || !nQueue || KeyIndex(*nQueue, p.nQueueFirst, QUEUE_COUNT) < 0) {
      LogCorrection(("MyProfile.lstQueueNames(" + sName + "=" + sValue + ")").c_str(), "ignored");
      continue;
    }
    p.vQueueNames.push_back({UpperAscii(sName), *nQueue});
  }
  std::sort(p.vQueueNames.begin(), p.vQueueNames.end(),
            [](const TQueueName& a, const TQueueName& b) { return a.sName < b.sName; });
}

// Runs first among the checks, so the ranges in force are sound even when a later check stops
// start-up; ends with every field of MyProfile in force.
void CheckAndCorrectProfile() {
  namespace d = config_default;
  TProfileConfig& p = MyConfigInfo.MyProfile;
  const std::string sProfile = UpperAscii(p.sProfile);
  p.tProfile = sProfile == "CURRENT" ? AMI_PROFILE_CURRENT : AMI_PROFILE_CLASSIC;
  if (sProfile != "CURRENT" && sProfile != "CLASSIC") {
    p.sProfile = d::PROFILE;
    LogCorrection("MyProfile.sProfile", p.sProfile);
  }
  if (p.tProfile == AMI_PROFILE_CLASSIC) return IgnoreCurrentOnlyKeys(p);
  CheckChannelTech(p);
  CheckKeyFirst(p.nQueueFirst, QUEUE_COUNT, d::KEYS_QUEUE_FIRST, "MyProfile.nQueueFirst");
  CheckKeyFirst(p.nPeerFirst, PEER_COUNT, d::KEYS_PEER_FIRST, "MyProfile.nPeerFirst");
  CheckKeyFirst(p.nParkFirst, PARK_COUNT, d::KEYS_PARK_FIRST, "MyProfile.nParkFirst");
  CheckQueueNames(p);
}

// ---- Section [NATS] ----

// Subject tokens may hold any printable character but the wildcards; a blank, a control character
// or an empty token ("a..b", a leading or trailing point) would make every publish fail.
bool IsValidSubjectPrefix(const std::string& sPrefix) {
  if (sPrefix.empty() || sPrefix.front() == '.' || sPrefix.back() == '.') return false;
  for (size_t n = 0; n < sPrefix.size(); ++n) {
    const unsigned char c = static_cast<unsigned char>(sPrefix[n]);
    if (c <= ' ' || c >= 0x7F || c == '*' || c == '>') return false;
    if (c == '.' && sPrefix[n + 1] == '.') return false;
  }
  return true;
}

// A stream name is one subject-free token: no point, wildcard, path separator or blank.
bool IsValidStreamName(const std::string& sName) {
  if (sName.size() > 255) return false;
  for (unsigned char c : sName)
    if (c <= ' ' || c >= 0x7F || c == '.' || c == '*' || c == '>' || c == '/' || c == '\\') return false;
  return true;
}

void ReadNatsKeys(TIniFile& ini, TNatsConfig& n) {
  namespace d = nats_default;
  n.sUrl = ini.ReadString("NATS", "URL", d::URL);
  n.sCreds = ini.ReadString("NATS", "CREDS", d::CREDS);
  n.sSubjectPrefix = ini.ReadString("NATS", "SUBJECTPREFIX", d::SUBJECT_PREFIX);
  n.sStream = ini.ReadString("NATS", "STREAM", d::STREAM);
  n.nMaxAgeHours = ini.ReadInteger("NATS", "MAXAGE", d::MAX_AGE_HOURS);
}

// The URL and the credentials file are left to the client library, which names what it rejects
// when it connects; the subject prefix, the stream and its age are checked here.
void CheckNatsKeys(TNatsConfig& n) {
  namespace d = nats_default;
  if (!IsValidSubjectPrefix(n.sSubjectPrefix)) {
    n.sSubjectPrefix = d::SUBJECT_PREFIX;
    LogCorrection("MyNats.sSubjectPrefix", n.sSubjectPrefix);
  }
  if (!IsValidStreamName(n.sStream)) {
    n.sStream = d::STREAM;
    LogCorrection("MyNats.sStream", n.sStream);
  }
  if (n.nMaxAgeHours < 1 || n.nMaxAgeHours > d::MAX_AGE_HOURS_LIMIT) {
    n.nMaxAgeHours = d::MAX_AGE_HOURS;
    LogCorrection("MyNats.nMaxAgeHours", IntToStr(n.nMaxAgeHours));
  }
}

// ---- The client port and the exchange link over TLS: [PROXY] and [AMI] keys ----

void ReadClientPortKeys(const TIniFile& ini) {
  namespace d = config_default;
  TConfigInfo::TClientPortConfig& p = MyConfigInfo.MyClientPort;
  p.nHandshakeTimeout = ini.ReadInteger("PROXY", "HANDSHAKETIMEOUT", d::HANDSHAKE_TIMEOUT);
  p.nMaxPerAddress = ini.ReadInteger("PROXY", "MAXPERADDRESS", d::MAX_PER_ADDRESS);
  p.sBindIP = ini.ReadString("PROXY", "BINDIP", d::BIND_IP);
  p.sAllowFrom = ini.ReadString("PROXY", "ALLOWFROM", d::ALLOW_FROM);
  p.nTlsPort = ini.ReadInteger("PROXY", "TLSPORT", d::TLS_PORT);
  p.sTlsCert = ini.ReadString("PROXY", "TLSCERT", d::TLS_CERT);
  p.sTlsKey = ini.ReadString("PROXY", "TLSKEY", d::TLS_KEY);
  p.sTlsClientCa = ini.ReadString("PROXY", "TLSCLIENTCA", d::TLS_CLIENT_CA);
  p.sAccessCode = ini.ReadString("PROXY", "ACCESSCODE", d::ACCESS_CODE);
}

// A code travels on one handshake line after "MyAppToken: ", so it is printable ASCII without
// blanks; the line is read in the single-byte code page, where anything else would not match.
bool IsValidAccessCode(const std::string& sCode) {
  if (sCode.empty() || sCode.size() > config_default::ACCESS_CODE_MAX) return false;
  return std::all_of(sCode.begin(), sCode.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

void ReadExchangeTlsKeys(const TIniFile& ini) {
  namespace d = config_default;
  TConfigInfo::TExchangeTlsConfig& t = MyConfigInfo.MyExchangeTls;
  t.bEnabled = ReadSwitch(ini, "AMI", "TLS", d::EXCHANGE_TLS, "MyExchangeTls.bEnabled");
  t.sCaFile = ini.ReadString("AMI", "TLSCAFILE", d::EXCHANGE_TLS_CA_FILE);
  t.bVerify = ReadSwitch(ini, "AMI", "TLSVERIFY", d::EXCHANGE_TLS_VERIFY, "MyExchangeTls.bVerify");
}

// [GENERAL] MAXQUEUEDMB: the memory budget of all queued texts.
void ReadQueueBudget(const TIniFile& ini) {
  MyConfigInfo.MyQueueBudget.nMaxQueuedMB = ini.ReadInteger("GENERAL", "MAXQUEUEDMB", config_default::MAX_QUEUED_MB);
}

// A budget below 1 MB would refuse every event.
void CheckQueueBudget() {
  TQueueBudgetConfig& q = MyConfigInfo.MyQueueBudget;
  if (q.nMaxQueuedMB >= 1) return;
  q.nMaxQueuedMB = config_default::MAX_QUEUED_MB;
  LogCorrection("MyQueueBudget.nMaxQueuedMB", IntToStr(q.nMaxQueuedMB));
}

// [GENERAL] PACING: PASS keeps the stages' naps; EVENT wakes each stage at every push.
void ReadPacing(const TIniFile& ini) {
  MyConfigInfo.sPacing = ini.ReadString("GENERAL", "PACING", config_default::PACING);
}

// Anything but the two words falls back to the naps, which every site has run so far.
void CheckPacing() {
  TConfigInfo& c = MyConfigInfo;
  const std::string sPacing = UpperAscii(Trim(c.sPacing));
  c.tPacing = sPacing == "EVENT" ? PACING_EVENT : PACING_PASS;
  if (sPacing.empty()) {  // left empty: the default, as for every other text key
    c.sPacing = config_default::PACING;
    return;
  }
  if (sPacing == "EVENT" || sPacing == "PASS") {
    c.sPacing = sPacing;
    return;
  }
  c.sPacing = config_default::PACING;
  LogCorrection("tPacing", c.sPacing);
}

// Both files: the site's own Config.local.ini, when there is one, overrides Config.ini key by key,
// so a package upgrade can replace the sample without touching what the site set.
bool LoadConfigFiles(TIniFile& ini, std::string& sError) {
  if (!ini.Load(TValidate::GetConfigFilePath(), sError)) return false;
  TIniFile iniLocal;
  if (!iniLocal.Load(TValidate::GetLocalConfigFilePath(), sError)) return false;
  ini.Overlay(iniLocal);
  return true;
}

// Every field from the files, in the order of the keys; false when a file cannot be read.
bool ReadConfigFile(TIniFile& ini, std::string& sError) {
  if (!LoadConfigFiles(ini, sError)) return false;
  TConfigInfo& c = MyConfigInfo;
  namespace d = config_default;
  c.nLogVerbose = ini.ReadInteger("LOG", "VERBOSE", d::LOG_VERBOSE);
  c.nLogKeepDays = ini.ReadInteger("LOG", "KEEPDAYS", d::LOG_KEEP_DAYS);
  c.bAutoStart = ReadSwitch(ini, "GENERAL", "AUTOSTART", d::AUTO_START, "bAutoStart");
  c.bServerAutoStart = ReadSwitch(ini, "AMI", "AUTOSTART", d::SERVER_AUTO_START, "bServerAutoStart");
  c.bServerAutoReconnect = ReadSwitch(ini, "AMI", "AUTORECONNECT", d::SERVER_AUTO_RECONNECT, "bServerAutoReconnect");
  c.nServerReconnectTmr = ini.ReadInteger("AMI", "RECONNECTTMR", d::SERVER_RECONNECT_TMR);
  c.nServerTimeoutTmr = ini.ReadInteger("AMI", "TIMEOUTTMR", d::SERVER_TIMEOUT_TMR);
  c.sServerIP = ini.ReadString("AMI", "SERVERIP", d::SERVER_IP);
  c.nServerPort = ini.ReadInteger("AMI", "SERVERPORT", d::SERVER_PORT);
  c.sUsername = ini.ReadString("AMI", "USERNAME", d::USERNAME);
  c.sSecret = ini.ReadString("AMI", "SECRET", d::SECRET);
  c.bProxyAutoStart = ReadSwitch(ini, "PROXY", "AUTOSTART", d::PROXY_AUTO_START, "bProxyAutoStart");
  c.nProxyPort = ini.ReadInteger("PROXY", "SERVERPORT", d::PROXY_PORT);
  ReadProfileKeys(ini);
  ReadMetricsConfig(ini);
  ReadNatsKeys(ini, c.MyNats);
  ReadClientPortKeys(ini);
  ReadWebKeys(ini);
  ReadExchangeTlsKeys(ini);
  ReadQueueBudget(ini);
  ReadPacing(ini);
  return true;
}

// The client port's keys. An allow-list keeps its valid ranges; one with none falls back to the
// local host, because an operator who wrote a list meant to shut others out.
void CheckClientPortKeys() {
  namespace d = config_default;
  TConfigInfo::TClientPortConfig& p = MyConfigInfo.MyClientPort;
  if (p.nHandshakeTimeout < 0 || p.nHandshakeTimeout > d::HANDSHAKE_TIMEOUT_MAX) {
    p.nHandshakeTimeout = d::HANDSHAKE_TIMEOUT;
    LogCorrection("MyClientPort.nHandshakeTimeout", IntToStr(p.nHandshakeTimeout));
  }
  if (p.nMaxPerAddress < 0) {
    p.nMaxPerAddress = d::MAX_PER_ADDRESS;
    LogCorrection("MyClientPort.nMaxPerAddress", IntToStr(p.nMaxPerAddress));
  }
  if (!p.sBindIP.empty() && !IsIpAddressText(p.sBindIP)) {
    p.sBindIP = d::BIND_IP;
    LogCorrection("MyClientPort.sBindIP", p.sBindIP);
  }
  TAddressRanges ranges;
  std::vector<std::string> lstInvalid;
  ranges.Parse(p.sAllowFrom, lstInvalid);
  if (!lstInvalid.empty()) {
    p.sAllowFrom = ranges.Empty() ? d::ALLOW_FROM_NONE_VALID : ranges.Text();
    LogCorrection("MyClientPort.sAllowFrom", p.sAllowFrom);
  }
  if (p.nTlsPort != 0 && (!IsValidPort(p.nTlsPort) || p.nTlsPort == MyConfigInfo.nProxyPort)) {
    p.nTlsPort = d::TLS_PORT;
    LogCorrection("MyClientPort.nTlsPort", IntToStr(p.nTlsPort));
  }
  // Without a TLS port the plain port is the only way in: a relay that listens nowhere serves nobody.
  if (MyConfigInfo.nProxyPort == 0 && p.nTlsPort == 0) {
    MyConfigInfo.nProxyPort = d::PROXY_PORT;
    LogCorrection("nProxyPort", IntToStr(MyConfigInfo.nProxyPort));
  }
  if (Trim(p.sAccessCode).empty()) {
    p.sAccessCode = d::ACCESS_CODE;  // left empty: the default, as for every other text key
  } else if (!IsValidAccessCode(p.sAccessCode)) {
    p.sAccessCode = d::ACCESS_CODE;
    LogCorrection("MyClientPort.sAccessCode", std::string(p.sAccessCode.size(), '*'));
  }
}

// The corrections, in their fixed order. A blank test never changes the stored text; an empty
// server address cannot be corrected: the checks stop there and the result is false.
bool CheckAndCorrect() {
  namespace d = config_default;
  TConfigInfo& c = MyConfigInfo;
  CheckAndCorrectProfile();
  if (c.nLogKeepDays < 0) {
    c.nLogKeepDays = 30;
    LogCorrection("nLogKeepDays", IntToStr(c.nLogKeepDays));
  }
  if (c.nServerReconnectTmr < d::SERVER_RECONNECT_TMR) {
    c.nServerReconnectTmr = d::SERVER_RECONNECT_TMR;
    LogCorrection("nServerReconnectTmr", IntToStr(c.nServerReconnectTmr));
  }
  if (c.nServerTimeoutTmr < d::SERVER_TIMEOUT_TMR) {
    c.nServerTimeoutTmr = d::SERVER_TIMEOUT_TMR;
    LogCorrection("nServerTimeoutTmr", IntToStr(c.nServerTimeoutTmr));
  }
  if (Trim(c.sServerIP).empty()) {
    LogCorrection("sServerIP", c.sServerIP);
    LogSwitchCorrections();
    // Kept for the terminal: the operator who started the console sees it only briefly otherwise.
    MyAppInfo.sConfigRefusal = CorrectionText("sServerIP", c.sServerIP);
    return false;
  }
  if (!IsValidPort(c.nServerPort)) {
    c.nServerPort = d::SERVER_PORT;
    LogCorrection("nServerPort", IntToStr(c.nServerPort));
  }
  if (Trim(c.sUsername).empty()) {
    c.sUsername = d::USERNAME;
    LogCorrection("sUsername", c.sUsername);
  }
  if (Trim(c.sSecret).empty()) {
    c.sSecret = d::SECRET;
    LogCorrection("sSecret", c.sSecret);
  }
  // SERVERPORT=0 closes the plain port when the TLS port serves instead (checked with TLSPORT).
  if (!IsValidPort(c.nProxyPort) && !(c.nProxyPort == 0 && IsValidPort(c.MyClientPort.nTlsPort))) {
    c.nProxyPort = d::PROXY_PORT;
    LogCorrection("nProxyPort", IntToStr(c.nProxyPort));
  }
  CheckMetricsConfig();
  CheckNatsKeys(c.MyNats);
  CheckClientPortKeys();
  CheckWebKeys();
  CheckQueueBudget();
  CheckPacing();
  LogSwitchCorrections();
  return true;
}

}  // namespace

TValidate::TValidate() {
  // Without the lists audit capture will not work; the configuration is still read.
  if (!CreateAuditLists()) ShowAppMessage(1, Msg(3));
  // An empty server address cannot be served: the process ends after start-up.
  if (ReadConfiguration(nullptr) == CONFIG_READ_NOT_CONFIGURED) RequestTermination();
}

TValidate::TConfigRead_OPT TValidate::ReadConfiguration(TConfigLineSink fnLine, std::string* psError) {
  fnConfigLine = fnLine;
  tFindings = {};
  lstSwitchCorrections.clear();
  TConfigRead_OPT tResult = CONFIG_READ_FAILED;
  try {
    std::string sError;
    TIniFile ini;
    if (!ReadConfigFile(ini, sError)) {
      LogCreate(LOG_ERROR, Msg(2));
      if (psError != nullptr) *psError = sError;
    } else {
      LogCreate(LOG_VERBOSE, "Success to Read Config File.");
      if (MyAppInfo.bIsService) {
        // An unattended service always runs both sides and reconnects by itself.
        MyConfigInfo.bAutoStart = true;
        MyConfigInfo.bServerAutoStart = true;
        MyConfigInfo.bServerAutoReconnect = true;
        MyConfigInfo.bProxyAutoStart = true;
      }
      tResult = CheckAndCorrect() ? CONFIG_READ_OK : CONFIG_READ_NOT_CONFIGURED;
      LogUnknownKeys(ini);
    }
    lstKeysRead = ini.LookedUp();
  } catch (const std::exception& e) {
    // The terminal console has no busy pointer to put back.
    LogCreate(LOG_ERROR, std::string("Error: ") + e.what() + " during Login Process.");
    if (psError != nullptr) *psError = e.what();
  }
  fnConfigLine = nullptr;
  return tResult;
}

TValidate::~TValidate() {
  AttachExchangeLink(nullptr);  // the link outlives the controller at the console's shut-down
  TAuditEvents& a = MyAuditEvents;
  FreeList(a.lstAudit);
  // WriteLog may be adding to lstMainLog on another thread: unpublish it, wait for the adds that
  // still hold it, then free it.
  TAuditList* lstMainLog = a.lstMainLog.exchange(nullptr);
  WaitForMainLogCaptureUsers();
  delete lstMainLog;
  FreeList(a.lstReadReceived);
  FreeList(a.lstReadProcessed);
  FreeList(a.lstGlobalQueue);
  FreeList(a.lstSpecificQueue);
  FreeList(a.lstGlobalPeer);
  FreeList(a.lstSpecificPeer);
  FreeList(a.lstGlobalFeaturePark);
  FreeList(a.lstSpecificFeaturePark);
}

namespace {

// A server list with each "user:password@" or "token@" left out: the lines of the check may be
// pasted into a ticket.
std::string UrlsWithoutSecrets(const std::string& sUrls) {
  std::vector<std::string> lstUrls;
  SplitDelimited(',', sUrls, true, lstUrls);
  std::string sOut;
  for (const std::string& sUrl : lstUrls) {
    std::string sShown = Trim(sUrl);
    const size_t nScheme = sShown.find("://");
    const size_t nHostStart = nScheme == std::string::npos ? 0 : nScheme + 3;
    const size_t nAt = sShown.rfind('@');
    if (nAt != std::string::npos && nAt >= nHostStart) sShown.replace(nHostStart, nAt - nHostStart, "***");
    sOut += (sOut.empty() ? "" : ",") + sShown;
  }
  return sOut;
}

}  // namespace

std::vector<std::string> TValidate::ConfigValuesInForce() {
  const TConfigInfo& c = MyConfigInfo;
  const TProfileConfig& p = c.MyProfile;
  const TConfigInfo::TClientPortConfig& cp = c.MyClientPort;
  auto fnBool = [](bool b) { return std::string(b ? "1" : "0"); };
  // Masked as the console masks them: what they are stays in the file.
  auto fnMasked = [](const std::string& sText) { return std::string(sText.size(), '*'); };
  std::vector<std::string> lstLines = {
      "[LOG] VERBOSE=" + IntToStr(c.nLogVerbose.load()),
      "[LOG] KEEPDAYS=" + IntToStr(c.nLogKeepDays),
      "[GENERAL] AUTOSTART=" + fnBool(c.bAutoStart),
      "[GENERAL] MAXQUEUEDMB=" + IntToStr(c.MyQueueBudget.nMaxQueuedMB),
      "[GENERAL] PACING=" + c.sPacing,
      "[AMI] AUTOSTART=" + fnBool(c.bServerAutoStart),
      "[AMI] AUTORECONNECT=" + fnBool(c.bServerAutoReconnect),
      "[AMI] RECONNECTTMR=" + IntToStr(c.nServerReconnectTmr),
      "[AMI] TIMEOUTTMR=" + IntToStr(c.nServerTimeoutTmr),
      "[AMI] SERVERIP=" + c.sServerIP,
      "[AMI] SERVERPORT=" + IntToStr(c.nServerPort),
      "[AMI] USERNAME=" + fnMasked(c.sUsername),
      "[AMI] SECRET=" + fnMasked(c.sSecret),
      "[AMI] PROFILE=" + p.sProfile,
      "[AMI] CHANNELTECH=" + p.sChannelTech,
      "[AMI] TLS=" + fnBool(c.MyExchangeTls.bEnabled),
      "[AMI] TLSCAFILE=" + c.MyExchangeTls.sCaFile,
      "[AMI] TLSVERIFY=" + fnBool(c.MyExchangeTls.bVerify),
      "[PROXY] AUTOSTART=" + fnBool(c.bProxyAutoStart),
      "[PROXY] SERVERPORT=" + IntToStr(c.nProxyPort),
      "[PROXY] ACCESSCODE=" + fnMasked(cp.sAccessCode),
      "[PROXY] HANDSHAKETIMEOUT=" + IntToStr(cp.nHandshakeTimeout),
      "[PROXY] MAXPERADDRESS=" + IntToStr(cp.nMaxPerAddress),
      "[PROXY] BINDIP=" + cp.sBindIP,
      "[PROXY] ALLOWFROM=" + cp.sAllowFrom,
      "[PROXY] TLSPORT=" + IntToStr(cp.nTlsPort),
      "[PROXY] TLSCERT=" + cp.sTlsCert,
      "[PROXY] TLSKEY=" + cp.sTlsKey,
      "[PROXY] TLSCLIENTCA=" + cp.sTlsClientCa,
      "[KEYS] QUEUEFIRST=" + IntToStr(p.nQueueFirst),
      "[KEYS] EXTENFIRST=" + IntToStr(p.nPeerFirst),
      "[KEYS] PARKFIRST=" + IntToStr(p.nParkFirst),
  };
  for (const TQueueName& q : p.vQueueNames) lstLines.push_back("[QUEUENAMES] " + q.sName + "=" + IntToStr(q.nQueue));
  if (p.vQueueNames.empty()) lstLines.push_back("[QUEUENAMES] (none)");
  const std::vector<std::string> lstTail = {
      "[METRICS] PORT=" + IntToStr(c.MyMetrics.nPort),
      "[METRICS] BINDIP=" + c.MyMetrics.sBindIP,
      "[NATS] URL=" + UrlsWithoutSecrets(c.MyNats.sUrl),
      "[NATS] CREDS=" + c.MyNats.sCreds,
      "[NATS] SUBJECTPREFIX=" + c.MyNats.sSubjectPrefix,
      "[NATS] STREAM=" + c.MyNats.sStream,
      "[NATS] MAXAGE=" + IntToStr(c.MyNats.nMaxAgeHours),
      "[WEB] PORT=" + IntToStr(c.MyWeb.nPort),
      "[WEB] BINDIP=" + c.MyWeb.sBindIP,
      "[WEB] ALLOWFROM=" + c.MyWeb.sAllowFrom,
      "[WEB] TLSCERT=" + c.MyWeb.sTlsCert,
      "[WEB] TLSKEY=" + c.MyWeb.sTlsKey,
      "[WEB] MAXCLIENTS=" + IntToStr(c.MyWeb.nMaxClients),
  };
  lstLines.insert(lstLines.end(), lstTail.begin(), lstTail.end());
  return lstLines;
}

std::string TValidate::GetLogDirectory() { return MyAppInfo.sAppFilePath + "Log"; }
std::string TValidate::GetAuditDirectory() { return GetLogDirectory(); }
std::string TValidate::GetConfigFilePath() { return MyAppInfo.sAppFilePath + "Lib/Config.ini"; }
std::string TValidate::GetLocalConfigFilePath() { return MyAppInfo.sAppFilePath + "Lib/Config.local.ini"; }
TValidate::TConfigFindings TValidate::ConfigFindings() { return tFindings; }
std::vector<std::pair<std::string, std::string>> TValidate::ConfigKeysRead() { return lstKeysRead; }
