// The table of configuration keys and the walks over it (see untConfigKeys.h): the rows, and the
// reading, correction and listing. The rules that do not fit a number's range or a blank text are
// in untConfigChecks.cpp, each referenced from its row. Main thread during start-up only.
#include "controller/untConfigKeys.h"

#include <algorithm>
#include <optional>

#include "base/untIniFiles.h"
#include "base/untVariables.h"
#include "controller/untConfigChecks.h"
#include "logging/untUtil.h"

namespace {

using namespace configkeys;
using TNameLines = std::vector<std::pair<std::string, std::string>>;

// Masked as the console masks them: what they are stays in the file.
std::string Masked(const std::string& sText) { return std::string(sText.size(), '*'); }

constexpr int32_t INT_MAX32 = std::numeric_limits<int32_t>::max();
// A first number must leave room for the whole range below the 32-bit limit.
constexpr int32_t LastFirst(int32_t nCount) { return INT_MAX32 - nCount + 1; }

constexpr TConfigCorrection_OPT TO_DEFAULT = CONFIG_CORRECT_RANGE_TO_DEFAULT;
constexpr TConfigCorrection_OPT TO_BOUND = CONFIG_CORRECT_RANGE_TO_BOUND;
constexpr TConfigCorrection_OPT BLANK = CONFIG_CORRECT_BLANK_TO_DEFAULT;
constexpr TConfigCorrection_OPT CUSTOM = CONFIG_CORRECT_CUSTOM;

std::vector<TConfigKey> MakeConfigKeys() {
  TConfigInfo& c = MyConfigInfo;
  TProfileConfig& p = c.MyProfile;
  TConfigInfo::TClientPortConfig& cp = c.MyClientPort;
  return {
      {.sSection = "LOG", .sKey = "VERBOSE", .pField = &c.nLogVerbose, .nDefault = 99, .sField = "nLogVerbose",
       .nStep = 1, .sDoc = "highest log level written: 0 errors, 1 also warnings, 3 everything"},
      {.sSection = "LOG", .sKey = "KEEPDAYS", .pField = &c.nLogKeepDays, .nDefault = 30, .nMin = 0,
       .tCorrection = TO_DEFAULT, .sField = "nLogKeepDays", .nStep = 2,
       .sDoc = "days a daily log file is kept; 0 keeps them all"},

      {.sSection = "GENERAL", .sKey = "AUTOSTART", .pField = &c.bAutoStart, .nDefault = 1, .sField = "bAutoStart",
       .nStep = 3, .bOnInService = true, .sDoc = "console: start both sides at start-up"},
      {.sSection = "GENERAL", .sKey = "MAXQUEUEDMB", .pField = &c.MyQueueBudget.nMaxQueuedMB,
       .nDefault = DEFAULT_MAX_QUEUED_MB, .nMin = 1, .tCorrection = TO_DEFAULT,
       .sField = "MyQueueBudget.nMaxQueuedMB", .nStep = 45, .sDoc = "MiB all waiting texts may take together"},
      {.sSection = "GENERAL", .sKey = "PACING", .pField = &c.sPacing, .sDefault = "PASS", .tCorrection = CUSTOM,
       .fnCheck = CheckPacing, .sField = "tPacing", .nStep = 46, .sDoc = "how the stages wait: PASS naps, EVENT wakes"},

      {.sSection = "AMI", .sKey = "AUTOSTART", .pField = &c.bServerAutoStart, .nDefault = 1,
       .sField = "bServerAutoStart", .nStep = 4, .bOnInService = true, .sDoc = "console: connect to the exchange at start-up"},
      {.sSection = "AMI", .sKey = "AUTORECONNECT", .pField = &c.bServerAutoReconnect, .nDefault = 1,
       .sField = "bServerAutoReconnect", .nStep = 5, .bOnInService = true, .sDoc = "connect again after a lost connection"},
      {.sSection = "AMI", .sKey = "RECONNECTTMR", .pField = &c.nServerReconnectTmr, .nDefault = 5, .nMin = 5,
       .tCorrection = TO_BOUND, .sField = "nServerReconnectTmr", .nStep = 6,
       .sDoc = "seconds before reconnecting, in 5 s ticks"},
      {.sSection = "AMI", .sKey = "TIMEOUTTMR", .pField = &c.nServerTimeoutTmr, .nDefault = 5, .nMin = 5,
       .tCorrection = TO_BOUND, .sField = "nServerTimeoutTmr", .nStep = 7,
       .sDoc = "seconds of silence before a probe"},
      {.sSection = "AMI", .sKey = "SERVERIP", .pField = &c.sServerIP, .tCorrection = CUSTOM,
       .fnCheck = CheckServerAddress, .sField = "sServerIP", .nStep = 8,
       .sDoc = "the exchange's host name or address"},
      {.sSection = "AMI", .sKey = "SERVERPORT", .pField = &c.nServerPort, .nDefault = 50386, .nMin = 1,
       .nMax = 65535, .tCorrection = TO_DEFAULT, .sField = "nServerPort", .nStep = 9,
       .sDoc = "the manager interface's TCP port"},
      {.sSection = "AMI", .sKey = "USERNAME", .pField = &c.sUsername, .sDefault = "amiadmin", .tCorrection = BLANK,
       .sField = "sUsername", .nStep = 10, .fnShown = Masked, .sDoc = "the manager login's user name"},
      {.sSection = "AMI", .sKey = "SECRET", .pField = &c.sSecret, .sDefault = "pxwdkr", .tCorrection = BLANK,
       .sField = "sSecret", .nStep = 11, .fnShown = Masked, .sDoc = "the manager login's secret"},
      {.sSection = "AMI", .sKey = "PROFILE", .pField = &p.sProfile, .sDefault = "CLASSIC", .tCorrection = CUSTOM,
       .fnCheck = CheckProfileName, .sField = "MyProfile.sProfile", .nStep = 14, .bProfile = true,
       .sDoc = "how events are classified and keyed: CLASSIC or CURRENT"},
      {.sSection = "AMI", .sKey = "CHANNELTECH", .pField = &p.sChannelTech, .sDefault = "SIP,PJSIP",
       .tCorrection = CUSTOM, .fnCheck = CheckChannelTech, .sField = "MyProfile.sChannelTech", .nStep = 15,
       .bProfile = true, .bCurrentOnly = true, .sDoc = "CURRENT: the technologies whose channels name extensions"},
      {.sSection = "AMI", .sKey = "TLS", .pField = &c.MyExchangeTls.bEnabled, .nDefault = 0,
       .sField = "MyExchangeTls.bEnabled", .nStep = 42, .sDoc = "speak TLS to the exchange"},
      {.sSection = "AMI", .sKey = "TLSCAFILE", .pField = &c.MyExchangeTls.sCaFile, .sField = "MyExchangeTls.sCaFile",
       .nStep = 43, .sDoc = "PEM authorities for the exchange; empty: the system's trust store"},
      {.sSection = "AMI", .sKey = "TLSVERIFY", .pField = &c.MyExchangeTls.bVerify, .nDefault = 1,
       .sField = "MyExchangeTls.bVerify", .nStep = 44, .sDoc = "verify the exchange's certificate (0 for tests only)"},

      {.sSection = "PROXY", .sKey = "AUTOSTART", .pField = &c.bProxyAutoStart, .nDefault = 1,
       .sField = "bProxyAutoStart", .nStep = 12, .bOnInService = true, .sDoc = "console: open the client port at start-up"},
      {.sSection = "PROXY", .sKey = "SERVERPORT", .pField = &c.nProxyPort, .nDefault = 50387, .tCorrection = CUSTOM,
       .fnCheck = CheckPlainPort, .sField = "nProxyPort", .nStep = 13,
       .sDoc = "the plain client port; 0 with TLSPORT set"},
      {.sSection = "PROXY", .sKey = "ACCESSCODE", .pField = &cp.sAccessCode, .sDefault = "qmRoK8]",
       .tCorrection = CUSTOM, .fnCheck = CheckAccessCode, .sField = "MyClientPort.sAccessCode", .nStep = 35,
       .fnShown = Masked, .sDoc = "the code a desk's handshake must carry"},
      {.sSection = "PROXY", .sKey = "HANDSHAKETIMEOUT", .pField = &cp.nHandshakeTimeout, .nDefault = 10, .nMin = 0,
       .nMax = 86400, .tCorrection = TO_DEFAULT, .sField = "MyClientPort.nHandshakeTimeout", .nStep = 27,
       .sDoc = "seconds a connection may take to log in; 0 off"},
      {.sSection = "PROXY", .sKey = "MAXPERADDRESS", .pField = &cp.nMaxPerAddress, .nDefault = 10, .nMin = 0,
       .tCorrection = TO_DEFAULT, .sField = "MyClientPort.nMaxPerAddress", .nStep = 28,
       .sDoc = "handshakes from one address at once; 0 off"},
      {.sSection = "PROXY", .sKey = "BINDIP", .pField = &cp.sBindIP, .tCorrection = CUSTOM,
       .fnCheck = CheckBindAddress, .sField = "MyClientPort.sBindIP", .nStep = 29,
       .sDoc = "the address both client ports listen on; empty: every interface"},
      {.sSection = "PROXY", .sKey = "ALLOWFROM", .pField = &cp.sAllowFrom, .tCorrection = CUSTOM,
       .fnCheck = CheckAllowList, .sField = "MyClientPort.sAllowFrom", .nStep = 30,
       .sDoc = "CIDR ranges that may connect; empty: everyone"},
      {.sSection = "PROXY", .sKey = "TLSPORT", .pField = &cp.nTlsPort, .nDefault = 0, .tCorrection = CUSTOM,
       .fnCheck = CheckTlsPort, .sField = "MyClientPort.nTlsPort", .nStep = 31,
       .sDoc = "the TLS client port; 0 none"},
      {.sSection = "PROXY", .sKey = "TLSCERT", .pField = &cp.sTlsCert, .sField = "MyClientPort.sTlsCert",
       .nStep = 32, .sDoc = "the TLS port's PEM certificate chain"},
      {.sSection = "PROXY", .sKey = "TLSKEY", .pField = &cp.sTlsKey, .sField = "MyClientPort.sTlsKey", .nStep = 33,
       .sDoc = "the TLS port's PEM private key"},
      {.sSection = "PROXY", .sKey = "TLSCLIENTCA", .pField = &cp.sTlsClientCa, .sField = "MyClientPort.sTlsClientCa",
       .nStep = 34, .sDoc = "PEM authorities a desk's certificate must chain to; empty: none asked"},

      {.sSection = "KEYS", .sKey = "QUEUEFIRST", .pField = &p.nQueueFirst, .nDefault = QUEUE_FIRST, .nMin = 0,
       .nMax = LastFirst(QUEUE_COUNT), .tCorrection = TO_DEFAULT, .sField = "MyProfile.nQueueFirst", .nStep = 16,
       .bProfile = true, .bCurrentOnly = true, .sDoc = "CURRENT: the first queue number"},
      {.sSection = "KEYS", .sKey = "EXTENFIRST", .pField = &p.nPeerFirst, .nDefault = PEER_FIRST, .nMin = 0,
       .nMax = LastFirst(PEER_COUNT), .tCorrection = TO_DEFAULT, .sField = "MyProfile.nPeerFirst", .nStep = 17,
       .bProfile = true, .bCurrentOnly = true, .sDoc = "CURRENT: the first extension number"},
      {.sSection = "KEYS", .sKey = "PARKFIRST", .pField = &p.nParkFirst, .nDefault = PARK_FIRST, .nMin = 0,
       .nMax = LastFirst(PARK_COUNT), .tCorrection = TO_DEFAULT, .sField = "MyProfile.nParkFirst", .nStep = 18,
       .bProfile = true, .bCurrentOnly = true, .sDoc = "CURRENT: the first parking slot"},

      {.sSection = "QUEUENAMES", .sKey = "", .pField = &p.lstQueueNameLines, .tCorrection = CUSTOM,
       .fnCheck = CheckQueueNames, .sField = "MyProfile.lstQueueNames", .nStep = 19, .bProfile = true,
       .bCurrentOnly = true, .sDoc = "CURRENT: queues named by words, name=number"},

      {.sSection = "METRICS", .sKey = "PORT", .pField = &c.MyMetrics.nPort, .nDefault = 0, .nMin = 0, .nMax = 65535,
       .tCorrection = TO_DEFAULT, .sField = "MyMetrics.nPort", .nStep = 20,
       .sDoc = "the metrics and health endpoint's port; 0 off"},
      {.sSection = "METRICS", .sKey = "BINDIP", .pField = &c.MyMetrics.sBindIP, .sDefault = "127.0.0.1",
       .tCorrection = CUSTOM, .fnCheck = CheckBindAddress, .sField = "MyMetrics.sBindIP", .nStep = 21,
       .sDoc = "the address the endpoint listens on"},

      {.sSection = "NATS", .sKey = "URL", .pField = &c.MyNats.sUrl, .sField = "MyNats.sUrl", .nStep = 22,
       .fnShown = UrlsWithoutSecrets, .sDoc = "NATS servers, comma-separated; empty: no publishing"},
      {.sSection = "NATS", .sKey = "CREDS", .pField = &c.MyNats.sCreds, .sField = "MyNats.sCreds", .nStep = 23,
       .sDoc = "a NATS credentials file"},
      {.sSection = "NATS", .sKey = "SUBJECTPREFIX", .pField = &c.MyNats.sSubjectPrefix, .sDefault = "telvane",
       .tCorrection = CUSTOM, .fnCheck = CheckSubjectPrefix,
       .sField = "MyNats.sSubjectPrefix", .nStep = 24, .sDoc = "the first token(s) of every subject"},
      {.sSection = "NATS", .sKey = "STREAM", .pField = &c.MyNats.sStream, .tCorrection = CUSTOM,
       .fnCheck = CheckStreamName, .sField = "MyNats.sStream", .nStep = 25,
       .sDoc = "a JetStream stream over the subjects; empty: none"},
      {.sSection = "NATS", .sKey = "MAXAGE", .pField = &c.MyNats.nMaxAgeHours, .nDefault = 24, .nMin = 1,
       .nMax = 87600, .tCorrection = TO_DEFAULT, .sField = "MyNats.nMaxAgeHours", .nStep = 26,
       .sDoc = "hours the stream keeps a frame"},

      {.sSection = "WEB", .sKey = "PORT", .pField = &c.MyWeb.nPort, .nDefault = 0, .nMin = 0, .nMax = 65535,
       .tCorrection = TO_DEFAULT, .sField = "MyWeb.nPort", .nStep = 36,
       .sDoc = "the web desks' and wallboard's port; 0 off"},
      {.sSection = "WEB", .sKey = "BINDIP", .pField = &c.MyWeb.sBindIP, .sDefault = "127.0.0.1",
       .tCorrection = CUSTOM, .fnCheck = CheckBindAddress, .sField = "MyWeb.sBindIP", .nStep = 37,
       .sDoc = "the address the web server listens on"},
      {.sSection = "WEB", .sKey = "ALLOWFROM", .pField = &c.MyWeb.sAllowFrom, .tCorrection = CUSTOM,
       .fnCheck = CheckAllowList, .sField = "MyWeb.sAllowFrom", .nStep = 38,
       .sDoc = "CIDR ranges that may use the web server; empty: everyone"},
      {.sSection = "WEB", .sKey = "TLSCERT", .pField = &c.MyWeb.sTlsCert, .tCorrection = CUSTOM,
       .fnCheck = CheckWebTlsPair, .sField = "MyWeb.sTlsCert", .nStep = 39,
       .sDoc = "the web server's PEM certificate chain"},
      {.sSection = "WEB", .sKey = "TLSKEY", .pField = &c.MyWeb.sTlsKey, .sField = "MyWeb.sTlsKey", .nStep = 40,
       .sDoc = "the web server's PEM private key"},
      {.sSection = "WEB", .sKey = "MAXCLIENTS", .pField = &c.MyWeb.nMaxClients, .nDefault = 100, .nMin = 1,
       .nMax = 1000, .tCorrection = TO_DEFAULT, .sField = "MyWeb.nMaxClients", .nStep = 41,
       .sDoc = "web desks connected at once"},
  };
}

// The rows in step order: the order the keys are read and corrected.
std::vector<const TConfigKey*> RowsByStep() {
  std::vector<const TConfigKey*> vRows;
  for (const TConfigKey& k : ConfigKeys()) vRows.push_back(&k);
  std::sort(vRows.begin(), vRows.end(), [](const TConfigKey* a, const TConfigKey* b) { return a->nStep < b->nStep; });
  return vRows;
}

// On/off values that were neither a number nor a yes/no word, noted while reading.
std::vector<const TConfigKey*> vSwitchCorrections;

void ReadKey(const TIniFile& ini, const TConfigKey& k) {
  if (IsNumber(k)) return SetInt(k, ini.ReadInteger(k.sSection, k.sKey, k.nDefault));
  if (auto* pb = std::get_if<bool*>(&k.pField)) {
    const std::string sValue = ini.ReadString(k.sSection, k.sKey, "");
    **pb = k.nDefault != 0;
    if (Trim(sValue).empty()) return;  // absent or left empty: the default, as ever
    if (const std::optional<bool> bValue = IniSwitchValue(sValue)) {
      **pb = *bValue;
      return;
    }
    vSwitchCorrections.push_back(&k);
    return;
  }
  if (auto* ps = std::get_if<std::string*>(&k.pField)) {
    **ps = ini.ReadString(k.sSection, k.sKey, k.sDefault);
    return;
  }
  *std::get<TNameLines*>(k.pField) = ini.ReadSection(k.sSection);
}

// One row's rule; false stops the checks.
bool CorrectKey(const TConfigKey& k) {
  if (k.bCurrentOnly && MyConfigInfo.MyProfile.tProfile != AMI_PROFILE_CURRENT) return true;
  switch (k.tCorrection) {
    case CONFIG_CORRECT_NONE:
      return true;
    case CONFIG_CORRECT_CUSTOM:
      return k.fnCheck(k);
    case CONFIG_CORRECT_BLANK_TO_DEFAULT:
      if (!Trim(Text(k)).empty()) return true;
      Text(k) = k.sDefault;
      LogConfigCorrection(k.sField, Text(k));
      return true;
    case CONFIG_CORRECT_RANGE_TO_DEFAULT:
    case CONFIG_CORRECT_RANGE_TO_BOUND: {
      const int32_t nValue = IntValue(k);
      if (nValue >= k.nMin && nValue <= k.nMax) return true;
      const int32_t nBound = nValue < k.nMin ? k.nMin : k.nMax;
      SetInt(k, k.tCorrection == CONFIG_CORRECT_RANGE_TO_BOUND ? nBound : k.nDefault);
      LogConfigCorrection(k.sField, IntToStr(IntValue(k)));
      return true;
    }
  }
  return true;
}

// The noted on/off values, said after the fixed order of the older keys, so that a file those keys
// accepted reads as before.
void LogSwitchCorrections() {
  for (const TConfigKey* k : vSwitchCorrections) LogConfigCorrection(k->sField, k->nDefault != 0 ? "1" : "0");
  vSwitchCorrections.clear();
}

}  // namespace

const std::vector<TConfigKey>& ConfigKeys() {
  static const std::vector<TConfigKey> vKeys = MakeConfigKeys();
  return vKeys;
}

void ReadConfigKeys(const TIniFile& ini) {
  vSwitchCorrections.clear();
  for (const TConfigKey* k : RowsByStep()) ReadKey(ini, *k);
}

void ForceServiceSwitches() {
  for (const TConfigKey& k : ConfigKeys())
    if (k.bOnInService) *std::get<bool*>(k.pField) = true;
}

bool CorrectConfigKeys() {
  const std::vector<const TConfigKey*> vRows = RowsByStep();
  for (const TConfigKey* k : vRows)
    if (k->bProfile) CorrectKey(*k);
  for (const TConfigKey* k : vRows) {
    if (k->bProfile || CorrectKey(*k)) continue;
    LogSwitchCorrections();
    return false;
  }
  LogSwitchCorrections();
  return true;
}

std::vector<std::string> ConfigKeyLines() {
  std::vector<std::string> lstLines;
  for (const TConfigKey& k : ConfigKeys()) {
    const std::string sHead = std::string("[") + k.sSection + "] " + k.sKey + "=";
    if (IsNumber(k)) {
      lstLines.push_back(sHead + IntToStr(IntValue(k)));
    } else if (auto* pb = std::get_if<bool*>(&k.pField)) {
      lstLines.push_back(sHead + (**pb ? "1" : "0"));
    } else if (auto* ps = std::get_if<std::string*>(&k.pField)) {
      lstLines.push_back(sHead + (k.fnShown != nullptr ? k.fnShown(**ps) : **ps));
    } else {
      // Free names: those in force, as the profile's check left them.
      const std::vector<TQueueName>& vNames = MyConfigInfo.MyProfile.vQueueNames;
      for (const TQueueName& q : vNames) lstLines.push_back(std::string("[") + k.sSection + "] " + q.sName + "=" + IntToStr(q.nQueue));
      if (vNames.empty()) lstLines.push_back(std::string("[") + k.sSection + "] (none)");
    }
  }
  return lstLines;
}

std::string ConfigDefaultShown(const TConfigKey& k) {
  if (IsNumber(k)) return IntToStr(k.nDefault);
  if (std::holds_alternative<bool*>(k.pField)) return k.nDefault != 0 ? "1" : "0";
  if (std::holds_alternative<TNameLines*>(k.pField)) return "none";
  return *k.sDefault == '\0' ? "empty" : k.sDefault;
}

std::string ConfigCorrectionText(const std::string& sField, const std::string& sValueInForce) {
  return "MyConfigInfo." + sField + " is invalid, current value from Config is: " + sValueInForce;
}
