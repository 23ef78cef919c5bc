// Fuzz target for the configuration reader: the input is the whole text of a Config.ini.
//
// Besides crashes and sanitizer reports it checks, for every key the relay reads and a few more:
//   - a text value is at most 2047 characters;
//   - an integer is the integer rule applied to the text value (0x/0X hex when longer than two
//     characters, else a signed decimal or $ hex, all within the signed 32-bit range), else the
//     default; a boolean is that integer tested against 0;
//   - an absent key gives every default untouched;
//   - LF and CR LF line ends read the same, and parsing twice gives the same answers.
// One thread (libFuzzer's); TIniFile::Parse is pure, so nothing outlives an input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/untIniFiles.h"
#include "fuzz_support.h"

namespace {

using fuzzsupport::Escaped;

struct TProbe {
  const char* sSection;
  const char* sKey;
};

// Every key of Config.ini, in letter cases the file may not use, and names that only the fuzzer's
// own mutations will produce.
const TProbe PROBES[] = {
    {"LOG", "VERBOSE"},       {"GENERAL", "AUTOSTART"}, {"AMI", "AUTOSTART"},      {"AMI", "AUTORECONNECT"},
    {"AMI", "RECONNECTTMR"},  {"AMI", "TIMEOUTTMR"},    {"AMI", "SERVERIP"},       {"AMI", "SERVERPORT"},
    {"AMI", "USERNAME"},      {"AMI", "SECRET"},        {"PROXY", "AUTOSTART"},    {"PROXY", "SERVERPORT"},
    {"proxy", "serverPort"},  {"", "K"},                {"A", ""},                 {"A B", "K"},
};

// The text default; an absent key must give exactly this (a present key may hold it too, which
// is why presence is asked with HasKey).
const std::string SENTINEL = "\x01missing\x01";

// The integer rule over a text value, written the plain way.
bool RefIniInteger(std::string_view s, int32_t& nOut) {
  int nBase = 10;
  bool bNegative = false;
  bool bSignAllowed = true;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    nBase = 16, bSignAllowed = false, s.remove_prefix(2);
  } else if (!s.empty() && s[0] == '$') {
    nBase = 16, bSignAllowed = false, s.remove_prefix(1);
  }
  if (bSignAllowed && !s.empty() && (s[0] == '-' || s[0] == '+')) {
    bNegative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  int64_t nValue = 0;
  for (char c : s) {
    const int nDigit = fuzzsupport::RefHexDigit(c);
    if (nDigit < 0 || nDigit >= nBase) return false;
    nValue = nValue * nBase + nDigit;
    if (nValue > int64_t{INT32_MAX} + 1) return false;
  }
  if (bNegative) nValue = -nValue;
  if (nValue > INT32_MAX || nValue < INT32_MIN) return false;
  nOut = static_cast<int32_t>(nValue);
  return true;
}

// Every LF without a CR before it gets one.
std::string WithCrLf(std::string_view s) {
  std::string sOut;
  sOut.reserve(s.size() + s.size() / 8);
  for (size_t n = 0; n < s.size(); ++n) {
    if (s[n] == '\n' && (n == 0 || s[n - 1] != '\r')) sOut += '\r';
    sOut += s[n];
  }
  return sOut;
}

struct TAnswer {
  bool bHasKey;
  std::string sText;
  int32_t nInteger;
  bool bBool;
  bool operator==(const TAnswer&) const = default;
};

TAnswer Ask(const TIniFile& ini, const TProbe& probe) {
  return {ini.HasKey(probe.sSection, probe.sKey), ini.ReadString(probe.sSection, probe.sKey, SENTINEL),
          ini.ReadInteger(probe.sSection, probe.sKey, -7), ini.ReadBool(probe.sSection, probe.sKey, true)};
}

void CheckAnswer(const TProbe& probe, const TAnswer& a, std::string_view sInput) {
  // Built only when a check fails.
  const auto Where = [&] { return std::string("[") + probe.sSection + "] " + probe.sKey + " in " + Escaped(sInput); };
  if (!a.bHasKey) {
    FUZZ_CHECK(a.sText == SENTINEL, "absent key gave a text: " + Where());
    FUZZ_CHECK(a.nInteger == -7 && a.bBool, "absent key gave a value: " + Where());
    return;
  }
  FUZZ_CHECK(a.sText.size() <= 2047, "text value longer than 2047 characters: " + Where());
  int32_t nExpected = -7;
  if (!RefIniInteger(a.sText, nExpected)) nExpected = -7;
  FUZZ_CHECK(a.nInteger == nExpected, "integer " + std::to_string(a.nInteger) + ", rule gives " +
                                          std::to_string(nExpected) + " for '" + Escaped(a.sText) + "': " + Where());
  int32_t nAsBool = 1;
  if (!RefIniInteger(a.sText, nAsBool)) nAsBool = 1;
  FUZZ_CHECK(a.bBool == (nAsBool != 0), "boolean disagrees with its integer: " + Where());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  const std::string_view sInput(reinterpret_cast<const char*>(pData), nSize);
  TIniFile ini, iniAgain, iniCrLf;
  ini.Parse(sInput);
  iniAgain.Parse(sInput);
  iniCrLf.Parse(WithCrLf(sInput));
  for (const TProbe& probe : PROBES) {
    const TAnswer a = Ask(ini, probe);
    CheckAnswer(probe, a, sInput);
    FUZZ_CHECK(Ask(iniAgain, probe) == a, std::string("second parse differs for ") + probe.sKey);
    FUZZ_CHECK(Ask(iniCrLf, probe) == a, std::string("CR LF line ends read differently for [") + probe.sSection +
                                             "] " + probe.sKey + " in " + Escaped(sInput));
  }
  return 0;
}
