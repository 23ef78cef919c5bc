// The configuration keys: one row per key of Lib/Config.ini, and the reading, correction and
// listing that walk the rows. Nothing else names a key: the reader looks up what the rows name,
// the checks apply each row's rule, -check lists each row's value in force, and the test of the
// reference holds docs/configuration.md to the rows.
//
// Three orders, all fixed by the rows: the rows stand section by section, the order -check lists
// them in; nStep is the order in which the keys are read and corrected, which operators and tests
// know from the log (the profile's rows are corrected before every other, so the key ranges in
// force are sound before anything can use them; the on/off values that were no on/off word are
// said last, after the older keys' fixed order).
//
// Thread: the main thread during start-up, before any worker reads MyConfigInfo (the table itself
// is constant).
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <variant>
#include <vector>

class TIniFile;

// Where a key's value is kept in MyConfigInfo; the kind of pointer is the key's type: a number, an
// on/off switch, a text, or a section of free names (each line name=value).
using TConfigField = std::variant<std::atomic<int32_t>*, int32_t*, bool*, std::string*,
                                  std::vector<std::pair<std::string, std::string>>*>;

// What replaces a value that is not valid.
enum TConfigCorrection_OPT {
  CONFIG_CORRECT_NONE,              // every value read is taken
  CONFIG_CORRECT_RANGE_TO_DEFAULT,  // a number outside nMin..nMax: the default
  CONFIG_CORRECT_RANGE_TO_BOUND,    // a number outside nMin..nMax: the nearest bound
  CONFIG_CORRECT_BLANK_TO_DEFAULT,  // a blank text: the default (the stored text is not trimmed)
  CONFIG_CORRECT_CUSTOM,            // fnCheck decides
};

struct TConfigKey {
  const char* sSection;            // as written in the file, upper case
  const char* sKey;                // upper case; "" for a section of free names
  TConfigField pField;             // where the value read is kept
  int32_t nDefault = 0;            // a number's or a switch's default (0 off, 1 on)
  const char* sDefault = "";       // a text's default
  int32_t nMin = std::numeric_limits<int32_t>::min();  // a number's valid range
  int32_t nMax = std::numeric_limits<int32_t>::max();
  TConfigCorrection_OPT tCorrection = CONFIG_CORRECT_NONE;
  bool (*fnCheck)(const TConfigKey& k) = nullptr;  // CONFIG_CORRECT_CUSTOM; false stops the checks
  const char* sField = "";         // the field's name in MyConfigInfo, as correction lines say it
  int32_t nStep = 0;               // order in which the keys are read and corrected
  bool bProfile = false;           // part of the classification profile: corrected before the rest
  bool bCurrentOnly = false;       // only PROFILE=CURRENT reads it; CLASSIC keeps the default
  bool bOnInService = false;       // a switch an unattended service always has on, whatever is read
  std::string (*fnShown)(const std::string& sValue) = nullptr;  // how -check shows a text (masks)
  const char* sDoc = "";           // one line of documentation, as the reference's table says it
};

// Every key, section by section in the order -check lists them.
const std::vector<TConfigKey>& ConfigKeys();

// Reads every key into MyConfigInfo in step order; an on/off value that is no on/off word takes
// the default and is noted for CorrectConfigKeys.
void ReadConfigKeys(const TIniFile& ini);
// Turns on every switch a service always has on (bOnInService), over what was read.
void ForceServiceSwitches();
// Applies every row's correction in step order, the profile's first and the noted on/off values
// last; false when a value cannot be corrected (an empty server address: the checks stop there).
bool CorrectConfigKeys();
// Every key with the value in force, one "[SECTION] KEY=value" each (masked where the row says).
std::vector<std::string> ConfigKeyLines();
// A key's default as the reference shows it: the number, 1/0, the text, "empty" or "none".
std::string ConfigDefaultShown(const TConfigKey& k);

// The line a correction logs.
std::string ConfigCorrectionText(const std::string& sField, const std::string& sValueInForce);
// Said by the checks, counted and routed by the reading (untValidateConfig.cpp): a correction and
// any other line of the reading.
void LogConfigCorrection(const std::string& sField, const std::string& sValueInForce);
void LogConfigLine(int nLevel, const std::string& sText);
