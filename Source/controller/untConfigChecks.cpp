// The configuration rows' rules of their own (see untConfigChecks.h): ports that depend on each
// other, addresses and allow-lists, codes and names that must fit a wire, and the classification
// profile, whose rows are corrected before every other. Each logs its correction through the
// table's line and keeps the value in force in MyConfigInfo. Main thread during start-up only.
#include "controller/untConfigChecks.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "base/untIniFiles.h"
#include "base/untVariables.h"
#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "platform/untAddressRange.h"

namespace configkeys {

namespace {

using TNameLines = std::vector<std::pair<std::string, std::string>>;

// What an allow-list in which no entry is a range falls back to: the relay's own host, never everyone.
constexpr const char* ALLOW_FROM_NONE_VALID = "127.0.0.0/8,::1/128";
constexpr size_t ACCESS_CODE_MAX = 64;

std::string UpperAscii(std::string_view sText) {
  std::string sOut(sText);
  for (char& c : sOut)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return sOut;
}

bool IsValidPort(int32_t nPort) { return nPort >= 1 && nPort <= 65535; }

const TConfigKey& Row(const char* sSection, const char* sKey) {
  for (const TConfigKey& k : ConfigKeys())
    if (std::string_view(k.sSection) == sSection && std::string_view(k.sKey) == sKey) return k;
  std::abort();  // a row named in this file; a missing one is a fault of the table
}

// A code travels on one handshake line after "MyAppToken: ", so it is printable ASCII without
// blanks; the line is read in the single-byte code page, where anything else would not match.
bool IsValidAccessCode(const std::string& sCode) {
  if (sCode.empty() || sCode.size() > ACCESS_CODE_MAX) return false;
  return std::all_of(sCode.begin(), sCode.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

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

// A text that fnValid refuses: the default.
bool CheckTextOrDefault(const TConfigKey& k, bool (*fnValid)(const std::string&)) {
  if (fnValid(Text(k))) return true;
  Text(k) = k.sDefault;
  LogConfigCorrection(k.sField, Text(k));
  return true;
}

// CLASSIC keys by the classic ranges whatever the file says; say so when the file said otherwise.
void IgnoreCurrentOnlyKeys() {
  TProfileConfig& p = MyConfigInfo.MyProfile;
  bool bGiven = false;
  for (const TConfigKey& k : ConfigKeys()) {
    if (!k.bCurrentOnly) continue;
    if (IsNumber(k)) {
      bGiven = bGiven || IntValue(k) != k.nDefault;
      SetInt(k, k.nDefault);
    } else if (auto* ps = std::get_if<std::string*>(&k.pField)) {
      bGiven = bGiven || **ps != k.sDefault;  // kept as read: -check shows what the file said
    } else if (auto* pl = std::get_if<TNameLines*>(&k.pField)) {
      bGiven = bGiven || !(*pl)->empty();
    }
  }
  p.lstChannelTech.clear();
  p.vQueueNames.clear();
  if (bGiven)
    LogConfigLine(LOG_VERBOSE, "MyConfigInfo.MyProfile: [AMI] CHANNELTECH, [KEYS] and [QUEUENAMES] apply only with "
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

bool IsAllDigits(std::string_view sText) {
  return !sText.empty() && std::all_of(sText.begin(), sText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

// ---- Rules of their own ----

// An empty server address cannot be corrected: the line shows the empty value and start-up ends.
bool CheckServerAddress(const TConfigKey& k) {
  if (!Trim(Text(k)).empty()) return true;
  LogConfigCorrection(k.sField, Text(k));
  // Kept for the terminal: the operator who started the console sees it only briefly otherwise.
  MyAppInfo.sConfigRefusal = ConfigCorrectionText(k.sField, Text(k));
  return false;
}

// SERVERPORT=0 closes the plain port when the TLS port serves instead (checked with TLSPORT).
bool CheckPlainPort(const TConfigKey& k) {
  int32_t& nPort = *std::get<int32_t*>(k.pField);
  if (IsValidPort(nPort) || (nPort == 0 && IsValidPort(MyConfigInfo.MyClientPort.nTlsPort))) return true;
  nPort = k.nDefault;
  LogConfigCorrection(k.sField, IntToStr(nPort));
  return true;
}

// A port of its own for TLS; without one the plain port is the only way in, and a relay that
// listens nowhere serves nobody.
bool CheckTlsPort(const TConfigKey& k) {
  int32_t& nTlsPort = *std::get<int32_t*>(k.pField);
  if (nTlsPort != 0 && (!IsValidPort(nTlsPort) || nTlsPort == MyConfigInfo.nProxyPort)) {
    nTlsPort = k.nDefault;
    LogConfigCorrection(k.sField, IntToStr(nTlsPort));
  }
  if (MyConfigInfo.nProxyPort == 0 && nTlsPort == 0) {
    const TConfigKey& kPlain = Row("PROXY", "SERVERPORT");
    MyConfigInfo.nProxyPort = kPlain.nDefault;
    LogConfigCorrection(kPlain.sField, IntToStr(MyConfigInfo.nProxyPort));
  }
  return true;
}

// A listening address: empty only where the default is (every interface); anything that is no
// address goes back to the default, for the endpoints this host only.
bool CheckBindAddress(const TConfigKey& k) {
  std::string& sAddress = Text(k);
  if (sAddress.empty() && std::string_view(k.sDefault).empty()) return true;
  if (!Trim(sAddress).empty() && IsIpAddressText(sAddress)) return true;
  sAddress = k.sDefault;
  LogConfigCorrection(k.sField, sAddress);
  return true;
}

// An allow-list keeps its valid ranges; one with none falls back to the local host, because an
// operator who wrote a list meant to shut others out.
bool CheckAllowList(const TConfigKey& k) {
  std::string& sAllowFrom = Text(k);
  TAddressRanges ranges;
  std::vector<std::string> lstInvalid;
  ranges.Parse(sAllowFrom, lstInvalid);
  if (lstInvalid.empty()) return true;
  sAllowFrom = ranges.Empty() ? ALLOW_FROM_NONE_VALID : ranges.Text();
  LogConfigCorrection(k.sField, sAllowFrom);
  return true;
}

bool CheckAccessCode(const TConfigKey& k) {
  std::string& sCode = Text(k);
  if (Trim(sCode).empty()) {
    sCode = k.sDefault;  // left empty: the default, as for every other text key
  } else if (!IsValidAccessCode(sCode)) {
    sCode = k.sDefault;
    LogConfigCorrection(k.sField, std::string(sCode.size(), '*'));
  }
  return true;
}

// TLS asks for both files: one without the other serves plain HTTP, said as a correction.
bool CheckWebTlsPair(const TConfigKey& k) {
  TWebConfig& w = MyConfigInfo.MyWeb;
  if (Trim(w.sTlsCert).empty() == Trim(w.sTlsKey).empty()) return true;
  w.sTlsCert = k.sDefault;
  w.sTlsKey = Row("WEB", "TLSKEY").sDefault;
  LogConfigCorrection(k.sField, w.sTlsCert);
  return true;
}

// A subject prefix or a stream name that would make publishing fail: the default.
bool CheckSubjectPrefix(const TConfigKey& k) { return CheckTextOrDefault(k, IsValidSubjectPrefix); }
bool CheckStreamName(const TConfigKey& k) { return CheckTextOrDefault(k, IsValidStreamName); }

// Anything but the two words falls back to the naps, which every site has run so far.
bool CheckPacing(const TConfigKey& k) {
  std::string& sPacing = Text(k);
  const std::string sWord = UpperAscii(Trim(sPacing));
  MyConfigInfo.tPacing = sWord == "EVENT" ? PACING_EVENT : PACING_PASS;
  if (sWord.empty()) {  // left empty: the default, as for every other text key
    sPacing = k.sDefault;
    return true;
  }
  if (sWord == "EVENT" || sWord == "PASS") {
    sPacing = sWord;
    return true;
  }
  sPacing = k.sDefault;
  LogConfigCorrection(k.sField, sPacing);
  return true;
}

// ---- The classification profile ----

bool CheckProfileName(const TConfigKey& k) {
  TProfileConfig& p = MyConfigInfo.MyProfile;
  const std::string sProfile = UpperAscii(Text(k));
  p.tProfile = sProfile == "CURRENT" ? AMI_PROFILE_CURRENT : AMI_PROFILE_CLASSIC;
  if (sProfile != "CURRENT" && sProfile != "CLASSIC") {
    Text(k) = k.sDefault;
    LogConfigCorrection(k.sField, Text(k));
  }
  if (p.tProfile == AMI_PROFILE_CLASSIC) IgnoreCurrentOnlyKeys();
  return true;
}

bool CheckChannelTech(const TConfigKey& k) {
  TProfileConfig& p = MyConfigInfo.MyProfile;
  p.lstChannelTech = ChannelTechList(Text(k));
  if (!p.lstChannelTech.empty()) return true;
  Text(k) = k.sDefault;
  p.lstChannelTech = ChannelTechList(Text(k));
  LogConfigCorrection(k.sField, Text(k));
  return true;
}

// name=number, the number inside the queue range in force; a name made only of digits would never
// be looked up (a number is read as a number), so it is refused too. Refused lines are dropped.
bool CheckQueueNames(const TConfigKey& k) {
  TProfileConfig& p = MyConfigInfo.MyProfile;
  p.vQueueNames.clear();
  for (const auto& [sName, sValue] : *std::get<TNameLines*>(k.pField)) {
    const std::optional<int32_t> nQueue = IniIntegerValue(sValue);
    if (IsAllDigits(sName) || !nQueue || KeyIndex(*nQueue, p.nQueueFirst, QUEUE_COUNT) < 0) {
      LogConfigCorrection(std::string(k.sField) + "(" + sName + "=" + sValue + ")", "ignored");
      continue;
    }
    p.vQueueNames.push_back({UpperAscii(sName), *nQueue});
  }
  std::sort(p.vQueueNames.begin(), p.vQueueNames.end(),
            [](const TQueueName& a, const TQueueName& b) { return a.sName < b.sName; });
  return true;
}

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

}  // namespace configkeys
