// Configuration file reading (TIniFile) and the operator notice routine (ShowAppMessage).
//
// TIniFile splits the work in two: Load reads the bytes (the only I/O and the only failure), Parse
// turns text into an ordered list of (section, key, raw value) entries, and the Read* calls apply
// the value rules at look-up time. Parse is a pure function over text and never fails:
//   - A UTF-8 byte-order mark at the start is skipped. Text that is valid UTF-8 is converted to
//     Windows-1252 (the relay's inner code page); anything else is taken byte for byte as
//     Windows-1252, which is what the file was on the relay's original platform.
//   - Lines end at LF; a CR before the LF is dropped. Leading blanks of a line are ignored.
//   - ";" starts a comment line. "[" starts a section header: its name runs to the first "]" (or to
//     the end of the line when there is none) and is trimmed; "[]" names the empty section.
//   - A setting is "key=value"; the key is trimmed, the raw value is everything after the first
//     "=". Lines without "=", lines with an empty key and settings before the first section header
//     belong to no key the relay reads and are ignored.
// Look-ups compare section and key names in any letter case (ASCII) and take the first matching
// entry in file order, so the first occurrence wins even across a section that appears twice.
// Load reads at most MAX_INI_BYTES (1 MiB); a longer file is cut at the last whole line inside that
// bound, silently: Config.ini is a few hundred bytes and nothing it needs lies that far in.
//
// ShowAppMessage may be called from any thread. The presenter is stored under crsPresenter and
// called outside it, so a presenter that shows a modal dialog never blocks SetNoticePresenter.
#include "base/untIniFiles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <mutex>
#include <unordered_set>

#include "base/untCodePage.h"
#include "base/untMessage.h"
#include "base/untMutex.h"
#include "base/untVariables.h"

namespace {

constexpr size_t MAX_INI_BYTES = 1024 * 1024;   // largest part of Config.ini that is read
constexpr size_t MAX_VALUE_CHARS = 2047;        // longest text value taken

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string UpperAscii(std::string_view s) {
  std::string sOut(s);
  for (char& c : sOut)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return sOut;
}

// True when every multi-byte sequence is well-formed UTF-8 and at least one exists.
bool IsNonAsciiUtf8(std::string_view s) {
  bool bNonAscii = false;
  for (size_t n = 0; n < s.size();) {
    const auto c = static_cast<unsigned char>(s[n]);
    size_t nLen = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (nLen == 0 || (nLen == 2 && c < 0xC2) || n + nLen > s.size()) return false;
    for (size_t k = 1; k < nLen; ++k)
      if ((static_cast<unsigned char>(s[n + k]) & 0xC0) != 0x80) return false;
    bNonAscii = bNonAscii || nLen > 1;
    n += nLen;
  }
  return bNonAscii;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Digits in base nBase with an optional sign; false when empty, a non-digit appears or the value
// leaves the signed 32-bit range.
bool ParseDigits(std::string_view s, int nBase, bool bNegative, int32_t& nOut) {
  if (s.empty()) return false;
  const int64_t nLimit = bNegative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
  int64_t nValue = 0;
  for (char c : s) {
    const int nDigit = HexValue(c);
    if (nDigit < 0 || nDigit >= nBase) return false;
    nValue = nValue * nBase + nDigit;
    if (nValue > nLimit) return false;
  }
  nOut = static_cast<int32_t>(bNegative ? -nValue : nValue);
  return true;
}

// The integer rules: "0x"/"0X" + hex when longer than two characters; otherwise an optionally
// signed decimal number or "$" + hex. Anything else has no value.
bool ParseIniInteger(std::string_view s, int32_t& nOut) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return ParseDigits(s.substr(2), 16, false, nOut);
  if (!s.empty() && s[0] == '$') return ParseDigits(s.substr(1), 16, false, nOut);
  const bool bNegative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  return ParseDigits(s, 10, bNegative, nOut);
}

// A raw value by the text rules: blanks trimmed, one pair of enclosing quotes dropped, at most
// MAX_VALUE_CHARS characters.
std::string TextValue(std::string_view sRaw) {
  std::string_view sValue = TrimBlanks(sRaw);
  if (sValue.size() >= 2 && (sValue.front() == '"' || sValue.front() == '\'') && sValue.back() == sValue.front())
    sValue = sValue.substr(1, sValue.size() - 2);
  return std::string(sValue.substr(0, MAX_VALUE_CHARS));
}

TMutex crsPresenter;                                // guards fnPresenter
TNoticePresenter fnPresenter GUARDED_BY(crsPresenter);  // installed by the console; empty until then
std::atomic<int> nNoticesOnStderr{0};               // notices written by PresentOnStderr

// The notice without a dialog: caption and text on stderr, each CR as a line break, in UTF-8.
int PresentOnStderr(const std::string& sCaption, const std::string& sText) {
  std::string sBody;
  for (size_t n = 0; n < sText.size(); ++n) {
    if (sText[n] == '\r') {
      sBody += '\n';
      if (n + 1 < sText.size() && sText[n + 1] == '\n') ++n;
    } else {
      sBody += sText[n];
    }
  }
  const std::string sOut = Cp1252ToUtf8(sCaption + ": " + sBody + "\n");
  // One write, so notices from two threads do not interleave.
  if (std::fwrite(sOut.data(), 1, sOut.size(), stderr) != sOut.size()) return 0;
  std::fflush(stderr);
  ++nNoticesOnStderr;
  return ID_OK;
}

}  // namespace

void TIniFile::Parse(std::string_view sContent) {
  vEntries.clear();
  vSections.clear();
  if (sContent.substr(0, 3) == "\xEF\xBB\xBF") sContent.remove_prefix(3);
  std::string sConverted;
  if (IsNonAsciiUtf8(sContent)) {
    sConverted = Utf8ToCp1252(sContent);
    sContent = sConverted;
  }
  bool bInSection = false;
  std::string sSection;
  while (!sContent.empty()) {
    const size_t nEnd = sContent.find('\n');
    std::string_view sLine = sContent.substr(0, nEnd);
    sContent.remove_prefix(nEnd == std::string_view::npos ? sContent.size() : nEnd + 1);
    if (!sLine.empty() && sLine.back() == '\r') sLine.remove_suffix(1);
    while (!sLine.empty() && IsBlank(sLine.front())) sLine.remove_prefix(1);
    if (sLine.empty() || sLine[0] == ';') continue;
    if (sLine[0] == '[') {
      const size_t nClose = sLine.find(']');
      const std::string_view sName = TrimBlanks(sLine.substr(1, nClose == std::string_view::npos ? nClose : nClose - 1));
      sSection = UpperAscii(sName);
      vSections.push_back({sSection, std::string(sName), sFileName});
      bInSection = true;
      continue;
    }
    const size_t nEqual = sLine.find('=');
    if (nEqual == std::string_view::npos || !bInSection) continue;
    const std::string_view sKey = TrimBlanks(sLine.substr(0, nEqual));
    if (sKey.empty()) continue;
    vEntries.push_back({sSection, UpperAscii(sKey), std::string(sLine.substr(nEqual + 1)), std::string(sKey),
                        vSections.back().sAsWritten, sFileName});
  }
}

bool TIniFile::Load(const std::string& sPath, std::string& sError) {
  vEntries.clear();
  vSections.clear();
  sFileName = std::filesystem::path(sPath).filename().string();
  std::error_code ec;
  const auto tStatus = std::filesystem::status(sPath, ec);
  if (tStatus.type() == std::filesystem::file_type::not_found) return true;  // every key its default
  if (ec) {
    sError = sPath + ": " + ec.message();
    return false;
  }
  std::FILE* pFile = std::fopen(sPath.c_str(), "rb");
  if (pFile == nullptr) {
    sError = sPath + ": " + std::strerror(errno);
    return false;
  }
  std::string sContent(MAX_INI_BYTES + 1, '\0');
  const size_t nRead = std::fread(sContent.data(), 1, sContent.size(), pFile);
  const bool bFailed = std::ferror(pFile) != 0;
  const int nErrno = errno;
  std::fclose(pFile);
  if (bFailed) {
    sError = sPath + ": " + std::strerror(nErrno);
    return false;
  }
  sContent.resize(nRead);
  if (nRead > MAX_INI_BYTES) {
    // Keep whole lines only, so no value is cut in the middle.
    const size_t nLastBreak = sContent.rfind('\n', MAX_INI_BYTES - 1);
    sContent.resize(nLastBreak == std::string::npos ? 0 : nLastBreak + 1);
  }
  Parse(sContent);
  return true;
}

void TIniFile::Overlay(const TIniFile& iniFirst) {
  vEntries.insert(vEntries.begin(), iniFirst.vEntries.begin(), iniFirst.vEntries.end());
  vSections.insert(vSections.begin(), iniFirst.vSections.begin(), iniFirst.vSections.end());
}

void TIniFile::NoteLookUp(const std::string& sSection, const std::string& sKey) const {
  std::pair<std::string, std::string> tKey{UpperAscii(sSection), UpperAscii(sKey)};
  if (std::find(vLookedUp.begin(), vLookedUp.end(), tKey) == vLookedUp.end()) vLookedUp.push_back(std::move(tKey));
}

std::vector<std::pair<std::string, std::string>> TIniFile::LookedUp() const { return vLookedUp; }

std::vector<TIniFile::TUnread> TIniFile::Unread() const {
  auto fnAsked = [this](const std::string& sSection, const std::string& sKey) {
    return std::any_of(vLookedUp.begin(), vLookedUp.end(), [&](const auto& t) {
      return t.first == sSection && (t.second == sKey || t.second.empty());
    });
  };
  auto fnSectionAsked = [this](const std::string& sSection) {
    return std::any_of(vLookedUp.begin(), vLookedUp.end(), [&](const auto& t) { return t.first == sSection; });
  };
  std::vector<TUnread> vOut;
  // A section said once per file, however often its header stands there.
  for (const TSectionHeader& h : vSections) {
    if (fnSectionAsked(h.sSection)) continue;
    if (std::any_of(vOut.begin(), vOut.end(), [&](const TUnread& u) {
          return u.sKey.empty() && u.sFile == h.sFile && UpperAscii(u.sSection) == h.sSection;
        }))
      continue;
    const auto nKeys = std::count_if(vEntries.begin(), vEntries.end(),
                                     [&](const TEntry& e) { return e.sSection == h.sSection && e.sFile == h.sFile; });
    vOut.push_back({h.sAsWritten, "", h.sFile, static_cast<int32_t>(nKeys)});
  }
  for (const TEntry& e : vEntries) {
    if (!fnSectionAsked(e.sSection) || fnAsked(e.sSection, e.sKey)) continue;
    if (std::any_of(vOut.begin(), vOut.end(), [&](const TUnread& u) {
          return u.sFile == e.sFile && UpperAscii(u.sSection) == e.sSection && UpperAscii(u.sKey) == e.sKey;
        }))
      continue;
    vOut.push_back({e.sSectionAsWritten, e.sKeyAsWritten, e.sFile, 0});
  }
  return vOut;
}

bool TIniFile::HasKey(const std::string& sSection, const std::string& sKey) const {
  NoteLookUp(sSection, sKey);
  const std::string sWantSection = UpperAscii(sSection), sWantKey = UpperAscii(sKey);
  for (const TEntry& e : vEntries)
    if (e.sSection == sWantSection && e.sKey == sWantKey) return true;
  return false;
}

std::string TIniFile::ReadString(const std::string& sSection, const std::string& sKey,
                                 const std::string& sDefault) const {
  NoteLookUp(sSection, sKey);
  const std::string sWantSection = UpperAscii(sSection), sWantKey = UpperAscii(sKey);
  for (const TEntry& e : vEntries)
    if (e.sSection == sWantSection && e.sKey == sWantKey) return TextValue(e.sValue);
  return sDefault;
}

int32_t TIniFile::ReadInteger(const std::string& sSection, const std::string& sKey, int32_t nDefault) const {
  if (!HasKey(sSection, sKey)) return nDefault;
  int32_t nValue = 0;
  return ParseIniInteger(ReadString(sSection, sKey, ""), nValue) ? nValue : nDefault;
}

bool TIniFile::ReadBool(const std::string& sSection, const std::string& sKey, bool bDefault) const {
  return ReadInteger(sSection, sKey, bDefault ? 1 : 0) != 0;
}

std::vector<std::pair<std::string, std::string>> TIniFile::ReadSection(const std::string& sSection) const {
  NoteLookUp(sSection, "");
  const std::string sWantSection = UpperAscii(sSection);
  std::vector<std::pair<std::string, std::string>> lstSettings;
  std::unordered_set<std::string_view> vSeen;  // upper-cased keys already listed
  for (const TEntry& e : vEntries)
    if (e.sSection == sWantSection && vSeen.insert(e.sKey).second)
      lstSettings.emplace_back(e.sKeyAsWritten, TextValue(e.sValue));
  return lstSettings;
}

std::optional<int32_t> IniIntegerValue(std::string_view sValue) {
  int32_t nValue = 0;
  if (!ParseIniInteger(sValue, nValue)) return std::nullopt;
  return nValue;
}

std::optional<bool> IniSwitchValue(std::string_view sValue) {
  const std::string sWord = UpperAscii(TrimBlanks(sValue));
  if (sWord == "YES" || sWord == "TRUE" || sWord == "ON") return true;
  if (sWord == "NO" || sWord == "FALSE" || sWord == "OFF") return false;
  if (const std::optional<int32_t> nValue = IniIntegerValue(sWord)) return *nValue != 0;
  return std::nullopt;
}

int ShowAppMessage(int nType, const std::string& sText) {
  try {
    // An unattended service never waits on a notice.
    if (MyAppInfo.bIsService || nType < 0 || nType > 4) return 0;
    TNoticePresenter fnShow;
    {
      TMutexLock lock(crsPresenter);
      fnShow = fnPresenter;
    }
    if (fnShow) return fnShow(nType, Msg(0), sText);
    return PresentOnStderr(Msg(0), sText);
  } catch (const std::exception& e) {
    // The notice routine serves the log's own failures too, so its failure goes where the log's do.
    std::fprintf(stderr, "Telvane: a notice could not be shown: %s\n", e.what());
    return 0;
  }
}

void SetNoticePresenter(TNoticePresenter fnNew) {
  TMutexLock lock(crsPresenter);
  fnPresenter = std::move(fnNew);
}

int NoticesShownOnStderr() { return nNoticesOnStderr.load(); }
