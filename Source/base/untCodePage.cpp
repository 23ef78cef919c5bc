#include "base/untCodePage.h"

#include <cstdint>

namespace {

// Unicode code points of bytes 0x80..0x9F; the rest of the page equals Latin-1.
constexpr uint16_t HIGH_TABLE[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t ToCodePoint(unsigned char c) {
  return c >= 0x80 && c <= 0x9F ? HIGH_TABLE[c - 0x80] : c;
}

void AppendUtf8(std::string& sOut, uint32_t nCode) {
  if (nCode < 0x80) {
    sOut += static_cast<char>(nCode);
  } else if (nCode < 0x800) {
    sOut += static_cast<char>(0xC0 | (nCode >> 6));
    sOut += static_cast<char>(0x80 | (nCode & 0x3F));
  } else {
    sOut += static_cast<char>(0xE0 | (nCode >> 12));
    sOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
    sOut += static_cast<char>(0x80 | (nCode & 0x3F));
  }
}

char FromCodePoint(uint32_t nCode) {
  if (nCode < 0x80 || (nCode >= 0xA0 && nCode <= 0xFF)) return static_cast<char>(nCode);
  for (int n = 0; n < 32; ++n)
    if (HIGH_TABLE[n] == nCode) return static_cast<char>(0x80 + n);
  return '?';
}

// Decodes one UTF-8 sequence at sText[nPos]; returns its length, or 0 when malformed.
size_t DecodeUtf8(std::string_view sText, size_t nPos, uint32_t& nCode) {
  const auto c = static_cast<unsigned char>(sText[nPos]);
  size_t nLen = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (nLen == 0 || nPos + nLen > sText.size()) return 0;
  nCode = c & (0xFF >> (nLen + 1));
  for (size_t n = 1; n < nLen; ++n) {
    const auto d = static_cast<unsigned char>(sText[nPos + n]);
    if ((d & 0xC0) != 0x80) return 0;
    nCode = (nCode << 6) | (d & 0x3F);
  }
  return nLen;
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view sText) {
  std::string sOut;
  sOut.reserve(sText.size() + sText.size() / 8);
  for (unsigned char c : sText) AppendUtf8(sOut, ToCodePoint(c));
  return sOut;
}

std::string Utf8ToCp1252(std::string_view sText) {
  std::string sOut;
  sOut.reserve(sText.size());
  for (size_t nPos = 0; nPos < sText.size();) {
    const auto c = static_cast<unsigned char>(sText[nPos]);
    uint32_t nCode = 0;
    const size_t nLen = c < 0x80 ? 0 : DecodeUtf8(sText, nPos, nCode);
    if (nLen == 0) {
      sOut += static_cast<char>(c);  // ASCII, or a stray byte taken as Latin-1
      ++nPos;
    } else {
      sOut += FromCodePoint(nCode);
      nPos += nLen;
    }
  }
  return sOut;
}
