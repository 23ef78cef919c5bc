// A small, strict JSON reader for what web desks send (the login and the change messages), and the
// string escape of what they are sent.
//
// Strict: objects, arrays, strings, numbers and the two booleans, nothing else (null, comments,
// trailing commas, duplicate keys, lone surrogates and bytes after the value are refused). Bounded:
// the text, the nesting and the number of values have fixed limits, so a hostile message costs at
// most a few kilobytes of work and never deep recursion. Pure functions, no shared state; any
// thread.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct TJsonValue {
  enum TKind_OPT : int { JSON_STRING, JSON_NUMBER, JSON_BOOL, JSON_ARRAY, JSON_OBJECT };
  TKind_OPT tKind = JSON_BOOL;
  std::string sText;        // JSON_STRING: the text (UTF-8); JSON_NUMBER: the number as written
  bool bValue = false;      // JSON_BOOL
  std::vector<TJsonValue> vItems;             // JSON_ARRAY
  std::map<std::string, TJsonValue> mMembers; // JSON_OBJECT

  const TJsonValue* Member(const std::string& sName) const {
    const auto it = mMembers.find(sName);
    return it == mMembers.end() ? nullptr : &it->second;
  }
};

constexpr size_t JSON_MAX_TEXT = 16 * 1024;  // bytes of one message
constexpr int JSON_MAX_DEPTH = 4;            // nesting of arrays and objects (default)
constexpr size_t JSON_MAX_VALUES = 4096;     // values in one message, nested ones included

// True and tValue set when sText is one JSON value within the limits; else false and sError says
// why (plain ASCII, safe to log).
bool ParseJson(std::string_view sText, TJsonValue& tValue, std::string& sError, int nMaxDepth = JSON_MAX_DEPTH);

// sUtf8 as a JSON string literal, quotes included: '"', '\\' and every control character escaped,
// everything else (valid UTF-8) as it is.
std::string JsonQuote(std::string_view sUtf8);
