// The strict JSON reader: one recursive-descent pass over the text, its depth bounded before any
// recursion, so the stack a message can take is fixed. See untJson.h.
#include "hosting/untJson.h"

#include <cstdint>

namespace {

class TReader {
 public:
  TReader(std::string_view sTextIn, int nMaxDepthIn) : sText(sTextIn), nMaxDepth(nMaxDepthIn) {}

  bool Document(TJsonValue& tValue) {
    SkipBlanks();
    if (!Value(tValue, 0)) return false;
    SkipBlanks();
    if (nPos != sText.size()) return Fail("bytes after the value");
    return true;
  }
  std::string sError;

 private:
  bool Fail(const char* sWhy) {
    if (sError.empty()) sError = std::string(sWhy) + " at byte " + std::to_string(nPos);
    return false;
  }
  void SkipBlanks() {
    while (nPos < sText.size() && (sText[nPos] == ' ' || sText[nPos] == '\t' || sText[nPos] == '\n' || sText[nPos] == '\r'))
      ++nPos;
  }
  bool Take(char c) {
    if (nPos < sText.size() && sText[nPos] == c) {
      ++nPos;
      return true;
    }
    return false;
  }
  bool Word(std::string_view sWord) {
    if (sText.substr(nPos, sWord.size()) != sWord) return false;
    nPos += sWord.size();
    return true;
  }

  bool Value(TJsonValue& tValue, int nDepth) {
    if (++nValues > JSON_MAX_VALUES) return Fail("too many values");
    if (nPos >= sText.size()) return Fail("a value is missing");
    const char c = sText[nPos];
    if (c == '{') return Object(tValue, nDepth + 1);
    if (c == '[') return Array(tValue, nDepth + 1);
    if (c == '"') {
      tValue.tKind = TJsonValue::JSON_STRING;
      return String(tValue.sText);
    }
    if (c == '-' || (c >= '0' && c <= '9')) return Number(tValue);
    tValue.tKind = TJsonValue::JSON_BOOL;
    if (Word("true")) return tValue.bValue = true;
    if (Word("false")) return true;
    return Fail("not a string, number, boolean, array or object");
  }

  bool Object(TJsonValue& tValue, int nDepth) {
    if (nDepth > nMaxDepth) return Fail("nested too deep");
    tValue.tKind = TJsonValue::JSON_OBJECT;
    ++nPos;
    SkipBlanks();
    if (Take('}')) return true;
    for (;;) {
      SkipBlanks();
      std::string sName;
      if (nPos >= sText.size() || sText[nPos] != '"' || !String(sName)) return Fail("a member name is missing");
      SkipBlanks();
      if (!Take(':')) return Fail("':' is missing");
      SkipBlanks();
      TJsonValue tMember;
      if (!Value(tMember, nDepth)) return false;
      if (!tValue.mMembers.emplace(std::move(sName), std::move(tMember)).second) return Fail("a member name repeats");
      SkipBlanks();
      if (Take('}')) return true;
      if (!Take(',')) return Fail("',' or '}' is missing");
    }
  }

  bool Array(TJsonValue& tValue, int nDepth) {
    if (nDepth > nMaxDepth) return Fail("nested too deep");
    tValue.tKind = TJsonValue::JSON_ARRAY;
    ++nPos;
    SkipBlanks();
    if (Take(']')) return true;
    for (;;) {
      SkipBlanks();
      tValue.vItems.emplace_back();
      if (!Value(tValue.vItems.back(), nDepth)) return false;
      SkipBlanks();
      if (Take(']')) return true;
      if (!Take(',')) return Fail("',' or ']' is missing");
    }
  }

  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  bool Number(TJsonValue& tValue) {
    const size_t nStart = nPos;
    Take('-');
    if (Take('0')) {
    } else if (nPos < sText.size() && IsDigit(sText[nPos])) {
      while (nPos < sText.size() && IsDigit(sText[nPos])) ++nPos;
    } else {
      return Fail("a number has no digits");
    }
    if (Take('.')) {
      if (nPos >= sText.size() || !IsDigit(sText[nPos])) return Fail("a fraction has no digits");
      while (nPos < sText.size() && IsDigit(sText[nPos])) ++nPos;
    }
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (nPos >= sText.size() || !IsDigit(sText[nPos])) return Fail("an exponent has no digits");
      while (nPos < sText.size() && IsDigit(sText[nPos])) ++nPos;
    }
    tValue.tKind = TJsonValue::JSON_NUMBER;
    tValue.sText = std::string(sText.substr(nStart, nPos - nStart));
    return true;
  }

  bool Hex4(uint32_t& nCode) {
    if (sText.size() - nPos < 4) return Fail("a \\u escape is cut short");
    nCode = 0;
    for (int n = 0; n < 4; ++n) {
      const char c = sText[nPos++];
      nCode <<= 4;
      if (c >= '0' && c <= '9') nCode |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') nCode |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') nCode |= static_cast<uint32_t>(c - 'A' + 10);
      else return Fail("a \\u escape is not hexadecimal");
    }
    return true;
  }

  static void AppendUtf8(std::string& sOut, uint32_t nCode) {
    if (nCode < 0x80) {
      sOut += static_cast<char>(nCode);
    } else if (nCode < 0x800) {
      sOut += static_cast<char>(0xC0 | (nCode >> 6));
      sOut += static_cast<char>(0x80 | (nCode & 0x3F));
    } else if (nCode < 0x10000) {
      sOut += static_cast<char>(0xE0 | (nCode >> 12));
      sOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
      sOut += static_cast<char>(0x80 | (nCode & 0x3F));
    } else {
      sOut += static_cast<char>(0xF0 | (nCode >> 18));
      sOut += static_cast<char>(0x80 | ((nCode >> 12) & 0x3F));
      sOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
      sOut += static_cast<char>(0x80 | (nCode & 0x3F));
    }
  }

  bool Escape(std::string& sOut) {
    if (nPos >= sText.size()) return Fail("a string is not closed");
    const char c = sText[nPos++];
    switch (c) {
      case '"': case '\\': case '/': sOut += c; return true;
      case 'b': sOut += '\b'; return true;
      case 'f': sOut += '\f'; return true;
      case 'n': sOut += '\n'; return true;
      case 'r': sOut += '\r'; return true;
      case 't': sOut += '\t'; return true;
      case 'u': break;
      default: return Fail("an unknown escape");
    }
    uint32_t nCode = 0;
    if (!Hex4(nCode)) return false;
    if (nCode >= 0xDC00 && nCode <= 0xDFFF) return Fail("a lone low surrogate");
    if (nCode >= 0xD800 && nCode <= 0xDBFF) {
      uint32_t nLow = 0;
      if (!Word("\\u") || !Hex4(nLow) || nLow < 0xDC00 || nLow > 0xDFFF) return Fail("a lone high surrogate");
      nCode = 0x10000 + ((nCode - 0xD800) << 10) + (nLow - 0xDC00);
    }
    AppendUtf8(sOut, nCode);
    return true;
  }

  bool String(std::string& sOut) {
    ++nPos;  // the opening quote
    for (;;) {
      if (nPos >= sText.size()) return Fail("a string is not closed");
      const unsigned char c = static_cast<unsigned char>(sText[nPos]);
      if (c == '"') {
        ++nPos;
        return true;
      }
      if (c < 0x20) return Fail("a control character in a string");
      ++nPos;
      if (c == '\\') {
        if (!Escape(sOut)) return false;
      } else {
        sOut += static_cast<char>(c);
      }
    }
  }

  std::string_view sText;
  size_t nPos = 0;
  size_t nValues = 0;
  int nMaxDepth = JSON_MAX_DEPTH;
};

}  // namespace

bool ParseJson(std::string_view sText, TJsonValue& tValue, std::string& sError, int nMaxDepth) {
  if (sText.size() > JSON_MAX_TEXT) {
    sError = "message longer than " + std::to_string(JSON_MAX_TEXT) + " bytes";
    return false;
  }
  TReader reader(sText, nMaxDepth);
  tValue = TJsonValue();
  if (reader.Document(tValue)) return true;
  sError = reader.sError;
  return false;
}

std::string JsonQuote(std::string_view sUtf8) {
  static const char HEX[] = "0123456789abcdef";
  std::string sOut;
  sOut.reserve(sUtf8.size() + 2);
  sOut += '"';
  for (const char c : sUtf8) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': sOut += "\\\""; break;
      case '\\': sOut += "\\\\"; break;
      case '\n': sOut += "\\n"; break;
      case '\r': sOut += "\\r"; break;
      case '\t': sOut += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          sOut += "\\u00";
          sOut += HEX[u >> 4];
          sOut += HEX[u & 0xF];
        } else {
          sOut += c;
        }
    }
  }
  sOut += '"';
  return sOut;
}
