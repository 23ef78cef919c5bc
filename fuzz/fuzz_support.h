// Shared by the fuzz targets: the check that turns a broken property into a crash libFuzzer keeps,
// the cutting of one input into reads, and plain reference forms of the client-list rules that the
// targets hold the relay's code to.
//
// Threads: each target runs on libFuzzer's one thread; nothing here is shared between threads.
// The references are written for clarity, not speed, and never call the code they check.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A property that does not hold is a finding: say which and where, then abort so libFuzzer saves
// the input as a crash file.
#define FUZZ_CHECK(bCondition, sDetail)                                                             \
  do {                                                                                              \
    if (!(bCondition)) {                                                                            \
      std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n  %s\n", __FILE__, __LINE__, #bCondition, \
                   std::string(sDetail).c_str());                                                   \
      std::abort();                                                                                 \
    }                                                                                               \
  } while (0)

namespace fuzzsupport {

// Byte 0xFF cuts an input into reads (it never needs to appear inside a protocol text, and a seed
// file stays readable). An empty read between two cuts is kept: each target says what it means.
inline std::vector<std::string_view> SplitReads(std::string_view sInput, char cCut = '\xFF') {
  std::vector<std::string_view> vReads;
  for (size_t nFrom = 0;;) {
    const size_t nCut = sInput.find(cCut, nFrom);
    vReads.push_back(sInput.substr(nFrom, nCut == std::string_view::npos ? std::string_view::npos : nCut - nFrom));
    if (nCut == std::string_view::npos) return vReads;
    nFrom = nCut + 1;
  }
}

// Printable form of a text for a finding's detail: control and high bytes as \xNN.
inline std::string Escaped(std::string_view s, size_t nMax = 300) {
  std::string sOut;
  for (size_t n = 0; n < s.size() && n < nMax; ++n) {
    const auto c = static_cast<unsigned char>(s[n]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      sOut += static_cast<char>(c);
    } else {
      char sHex[8];
      std::snprintf(sHex, sizeof(sHex), "\\x%02X", c);
      sOut += sHex;
    }
  }
  if (s.size() > nMax) sOut += "...(" + std::to_string(s.size()) + " bytes)";
  return sOut;
}

// ---- Reference forms of the client-list rules ----

// Every character with code 32 or lower off both ends.
inline std::string RefTrim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
  return std::string(s);
}

// Every CR LF pair out, one left-to-right pass without overlap.
inline std::string RefRemoveCrLf(std::string_view s) {
  std::string sOut;
  for (size_t n = 0; n < s.size(); ++n) {
    if (s[n] == '\r' && n + 1 < s.size() && s[n + 1] == '\n') {
      ++n;
      continue;
    }
    sOut += s[n];
  }
  return sOut;
}

// How every value a client gives is cleaned before it is stored or split.
inline std::string RefClean(std::string_view s) { return RefRemoveCrLf(RefTrim(s)); }

inline std::string RefWithoutParentheses(std::string_view s) {
  std::string sOut;
  for (char c : s)
    if (c != '(' && c != ')') sOut += c;
  return sOut;
}

// Split at a delimiter for texts without a double quote: pieces between delimiters, a delimiter
// at the very end gives a last empty piece, an empty text gives none; a NUL ends the text.
inline std::vector<std::string> RefSplit(std::string_view s, char cDelimiter) {
  std::vector<std::string> v;
  s = s.substr(0, s.find('\0'));  // a NUL ends the list
  if (s.empty()) return v;
  for (size_t nFrom = 0;;) {
    const size_t nAt = s.find(cDelimiter, nFrom);
    if (nAt == std::string_view::npos) {
      v.emplace_back(s.substr(nFrom));
      return v;
    }
    v.emplace_back(s.substr(nFrom, nAt - nFrom));
    nFrom = nAt + 1;
  }
}

inline int RefHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The strict integer conversion of list entries: leading blanks, an optional sign, then decimal
// digits, or hexadecimal after "$", "x" or "0x" in either case; nothing after. Hexadecimal may
// name the whole 32-bit pattern ($FFFFFFFF is -1); the signed result must fit 32 bits.
inline std::optional<int32_t> RefStrictInteger(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  bool bNegative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    bNegative = s.front() == '-';
    s.remove_prefix(1);
  }
  int nBase = 10;
  if (!s.empty() && (s.front() == '$' || s.front() == 'x' || s.front() == 'X')) {
    nBase = 16;
    s.remove_prefix(1);
  } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    nBase = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return std::nullopt;
  int64_t nValue = 0;
  for (char c : s) {
    const int nDigit = nBase == 16 ? RefHexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (nDigit < 0) return std::nullopt;
    nValue = nValue * nBase + nDigit;
    if (nValue > int64_t{0xFFFFFFFF}) return std::nullopt;
  }
  if (nBase == 16 && nValue > INT32_MAX) nValue -= int64_t{1} << 32;
  if (bNegative) nValue = -nValue;
  if (nValue > INT32_MAX || nValue < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(nValue);
}

inline bool RefIsTrueText(std::string_view s) {
  std::string sUpper = RefTrim(s);
  for (char& c : sUpper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return sUpper == "Y" || sUpper == "YES" || sUpper == "TRUE" || sUpper == "1" || sUpper == "S" || sUpper == "SIM";
}

// One subscription family as the rules see it.
struct TRefFamily {
  int32_t nFirst, nLast;           // numbers accepted
  size_t nShortEntry, nLongEntry;  // the two lengths of a change entry
};
constexpr TRefFamily REF_QUEUES{10001, 11001, 10, 11};
constexpr TRefFamily REF_PEERS{20001, 30001, 10, 11};
constexpr TRefFamily REF_PARKS{701, 801, 8, 9};

// The flags after a subscription list of the handshake (flags only ever set). sList is what the
// list operation splits: the queue and extension lists cleaned first, the parking list as given.
// False when the text holds a double quote: quoted entries are not modelled here.
// vFlags holds the family's flags, indexed by number minus nFirst.
inline bool RefAddSubscriptions(const TRefFamily& family, std::string_view sList, bool* vFlags) {
  if (sList.find('"') != std::string_view::npos) return false;
  for (const std::string& sEntry : RefSplit(RefWithoutParentheses(sList), ',')) {
    if (sEntry.empty()) continue;
    const std::optional<int32_t> n = RefStrictInteger(RefTrim(sEntry));
    if (n && *n >= family.nFirst && *n <= family.nLast) vFlags[*n - family.nFirst] = true;
  }
  return true;
}

// The flags after a change command's list. False when quoted entries would need modelling.
inline bool RefChangeSubscriptions(const TRefFamily& family, std::string_view sList, bool* vFlags) {
  const std::string sClean = RefClean(sList);
  if (sClean.find('"') != std::string::npos) return false;
  for (const std::string& sEntry : RefSplit(RefWithoutParentheses(sClean), ',')) {
    if (sEntry.size() != family.nShortEntry && sEntry.size() != family.nLongEntry) continue;
    const std::vector<std::string> vParts = RefSplit(sEntry, ':');
    if (vParts.size() != 2) continue;
    const std::optional<int32_t> n = RefStrictInteger(RefTrim(vParts[0]));
    if (n && *n >= family.nFirst && *n <= family.nLast)
      vFlags[*n - family.nFirst] = RefIsTrueText(vParts[1]);
  }
  return true;
}

}  // namespace fuzzsupport
