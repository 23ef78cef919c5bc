#include "logging/untUtil.h"

#include <algorithm>
#include <cctype>
#include <limits>

std::string CollapseWhitespace(const std::string& sText) {
  std::string sOut;
  sOut.reserve(sText.size());
  bool bLastBlank = false;
  for (char c : sText) {
    const bool bBlank = c == ' ' || c == '\t';
    if (bBlank && bLastBlank) continue;
    sOut += bBlank ? ' ' : c;
    bLastBlank = bBlank;
  }
  return sOut;
}

std::string Trim(std::string_view sText) {
  size_t nBegin = 0, nEnd = sText.size();
  while (nBegin < nEnd && static_cast<unsigned char>(sText[nBegin]) <= 32) ++nBegin;
  while (nEnd > nBegin && static_cast<unsigned char>(sText[nEnd - 1]) <= 32) --nEnd;
  return std::string(sText.substr(nBegin, nEnd - nBegin));
}

std::string ReplaceAll(std::string_view sText, std::string_view sFrom, std::string_view sTo) {
  if (sFrom.empty()) return std::string(sText);
  std::string sOut;
  sOut.reserve(sText.size());
  size_t nPos = 0;
  for (size_t nHit; (nHit = sText.find(sFrom, nPos)) != std::string_view::npos; nPos = nHit + sFrom.size()) {
    sOut.append(sText.substr(nPos, nHit - nPos));
    sOut.append(sTo);
  }
  sOut.append(sText.substr(nPos));
  return sOut;
}

std::string RemoveCrLf(std::string_view sText) { return ReplaceAll(sText, "\r\n", ""); }

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<int32_t> Fail(std::string_view sText, std::string* sError) {
  if (sError != nullptr) *sError = "'" + std::string(sText) + "' is not a valid integer value";
  return std::nullopt;
}

}  // namespace

std::optional<int32_t> StrToIntStrict(std::string_view sText, std::string* sError) {
  size_t n = 0;
  while (n < sText.size() && sText[n] == ' ') ++n;
  bool bNegative = false;
  if (n < sText.size() && (sText[n] == '+' || sText[n] == '-')) bNegative = sText[n++] == '-';
  int nBase = 10;
  if (n < sText.size() && sText[n] == '$') {
    nBase = 16, ++n;
  } else if (n < sText.size() && (sText[n] == 'x' || sText[n] == 'X')) {
    nBase = 16, ++n;
  } else if (n + 1 < sText.size() && sText[n] == '0' && (sText[n + 1] == 'x' || sText[n + 1] == 'X')) {
    nBase = 16, n += 2;
  }
  if (n >= sText.size()) return Fail(sText, sError);
  int64_t nValue = 0;
  for (; n < sText.size(); ++n) {
    const int nDigit = nBase == 16 ? HexDigit(sText[n]) : (std::isdigit(static_cast<unsigned char>(sText[n])) ? sText[n] - '0' : -1);
    if (nDigit < 0) return Fail(sText, sError);
    nValue = nValue * nBase + nDigit;
    // Hexadecimal may name the full 32-bit pattern (as $FFFFFFFF for -1); decimal must fit signed.
    if (nValue > (nBase == 16 ? int64_t{0xFFFFFFFF} : int64_t{std::numeric_limits<int32_t>::max()} + 1))
      return Fail(sText, sError);
  }
  if (nBase == 16 && nValue > std::numeric_limits<int32_t>::max()) nValue -= int64_t{1} << 32;
  if (bNegative) nValue = -nValue;
  if (nValue > std::numeric_limits<int32_t>::max() || nValue < std::numeric_limits<int32_t>::min())
    return Fail(sText, sError);
  return static_cast<int32_t>(nValue);
}

void SplitDelimited(char cDelimiter, std::string_view sText, bool bStrict, std::vector<std::string>& lstOut) {
  lstOut.clear();
  // A NUL ends the list, as it ends the text a client could mean.
  sText = sText.substr(0, sText.find('\0'));
  if (sText.empty()) return;
  size_t n = 0;
  const auto IsSeparator = [&](char c) { return c == cDelimiter || (!bStrict && c == ' '); };
  while (true) {
    std::string sEntry;
    if (sText[n] == '"') {
      // Quoted entry: "" stands for one quote, and the quoted text is the whole entry; whatever
      // follows the closing quote up to the next delimiter is dropped.
      ++n;
      while (n < sText.size()) {
        if (sText[n] == '"') {
          if (n + 1 < sText.size() && sText[n + 1] == '"') {
            sEntry += '"', n += 2;
            continue;
          }
          ++n;
          break;
        }
        sEntry += sText[n++];
      }
      while (n < sText.size() && !IsSeparator(sText[n])) ++n;
    } else {
      while (n < sText.size() && !IsSeparator(sText[n])) sEntry += sText[n++];
    }
    lstOut.push_back(std::move(sEntry));
    if (n >= sText.size()) return;
    ++n;  // past the delimiter; a delimiter at the very end yields a last, empty entry
    if (n == sText.size()) {
      lstOut.emplace_back();
      return;
    }
  }
}

bool IsTrueText(std::string_view sText) {
  std::string s = Trim(sText);
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s == "Y" || s == "YES" || s == "TRUE" || s == "1" || s == "S" || s == "SIM";
}

namespace {

// How one byte is written by EscapeControlChars; empty when it stands for itself.
std::string_view EscapeOf(unsigned char c, char (&vBuffer)[4]) {
  switch (c) {
    case '\r': return "\\r";
    case '\n': return "\\n";
    case '\t': return "\\t";
    case '\\': return "\\\\";
    default: break;
  }
  const bool bUndefined = c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
  if (c >= 0x20 && c != 0x7F && !bUndefined) return {};
  constexpr char HEX[] = "0123456789abcdef";
  vBuffer[0] = '\\', vBuffer[1] = 'x', vBuffer[2] = HEX[c >> 4], vBuffer[3] = HEX[c & 0x0F];
  return std::string_view(vBuffer, 4);
}

}  // namespace

std::string EscapeControlChars(std::string_view sText, size_t nMaxBytes, size_t* pTaken) {
  std::string sOut;
  sOut.reserve(std::min(sText.size(), nMaxBytes));
  size_t n = 0;
  for (; n < sText.size(); ++n) {
    char vBuffer[4];
    const std::string_view sEscape = EscapeOf(static_cast<unsigned char>(sText[n]), vBuffer);
    const size_t nWidth = sEscape.empty() ? 1 : sEscape.size();
    if (nMaxBytes - sOut.size() < nWidth) break;
    if (sEscape.empty())
      sOut += sText[n];
    else
      sOut.append(sEscape);
  }
  if (pTaken != nullptr) *pTaken = n;
  return sOut;
}

std::string IntToStr(int64_t nValue) { return std::to_string(nValue); }

bool IsPowerOfTen(uint64_t nCount) {
  while (nCount >= 10 && nCount % 10 == 0) nCount /= 10;
  return nCount == 1;
}
