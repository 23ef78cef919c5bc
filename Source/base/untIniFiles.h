// Configuration file reading, and the operator notice routine.
//
// TIniFile follows the profile-file rules existing Config.ini files rely on: section and key names
// match in any letter case, the first occurrence of a key wins, values are trimmed and lose one
// pair of enclosing quotes, at most 2047 characters are taken, integers are decimal, "0x"/"$" hex,
// and anything else (or out of the 32-bit range) gives the default; booleans are integers.
// It never fails on content: binary junk, a byte-order mark, CR LF or LF, lines without "=" all
// read as the rules give. Only an unreadable existing file is a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TIniFile {
 public:
  // Parses text already in memory (used by tests and by Load).
  void Parse(std::string_view sContent);
  // Reads the file; a missing file is not an error (every key takes its default). Returns false,
  // with the reason in sError, when an existing file cannot be read.
  bool Load(const std::string& sPath, std::string& sError);

  // Puts the settings of another file before this one's, so that each of its keys overrides the
  // same key here (the first occurrence wins); the site's own file is read this way.
  void Overlay(const TIniFile& iniFirst);

  bool HasKey(const std::string& sSection, const std::string& sKey) const;
  std::string ReadString(const std::string& sSection, const std::string& sKey, const std::string& sDefault) const;
  int32_t ReadInteger(const std::string& sSection, const std::string& sKey, int32_t nDefault) const;
  bool ReadBool(const std::string& sSection, const std::string& sKey, bool bDefault) const;
  // The settings of a section in file order: each key once, as first written, with the value of
  // that first occurrence read by the ReadString rules (what ReadString would give for the key).
  std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& sSection) const;

  // What the file holds that no look-up asked for so far: each such key once (section and key as
  // written, and the file it came from), and each section of which nothing was looked up. Every
  // Read* call and ReadSection count as a look-up, so after the whole configuration has been read
  // these are the keys and sections the relay does not know.
  struct TUnread {
    std::string sSection, sKey, sFile;  // sKey empty: the whole section is unknown
    int32_t nKeys = 0;                  // for an unknown section: how many keys it holds
  };
  std::vector<TUnread> Unread() const;
  // The (section, key) pairs looked up so far, upper-cased, in the order first asked.
  std::vector<std::pair<std::string, std::string>> LookedUp() const;

 private:
  struct TEntry {
    std::string sSection, sKey, sValue;  // names upper-cased, value raw
    std::string sKeyAsWritten;           // the key in the file's own letter case
    std::string sSectionAsWritten;       // the section in the file's own letter case
    std::string sFile;                   // the file's name, for what is said of unknown keys
  };
  void NoteLookUp(const std::string& sSection, const std::string& sKey) const;
  std::vector<TEntry> vEntries;  // in file order
  struct TSectionHeader {
    std::string sSection, sAsWritten, sFile;  // upper-cased, as written, the file's name
  };
  std::vector<TSectionHeader> vSections;  // every section header in file order
  std::string sFileName;                  // the name Load was given (its last component)
  // Look-ups made, upper-cased; a key "" stands for the whole section (ReadSection).
  mutable std::vector<std::pair<std::string, std::string>> vLookedUp;
};

// An on/off value: 0/1 (any integer by the integer rules, zero off), yes/no, true/false, on/off in
// any letter case; empty when the text is none of these.
std::optional<bool> IniSwitchValue(std::string_view sValue);

// The integer rules of ReadInteger applied to a text value (as ReadSection gives it); empty when
// the text is no number by those rules.
std::optional<int32_t> IniIntegerValue(std::string_view sValue);

// Button codes returned by ShowAppMessage (the platform's).
constexpr int ID_OK = 1, ID_CANCEL = 2, ID_YES = 6, ID_NO = 7;

// Shows a modal notice with caption message 0 and returns the code of the button pressed.
// nType: 0 information (OK), 1 error (OK), 2 question (Yes, No, Cancel), 3 question (Yes, No),
// 4 question (OK, Cancel). Service mode and any other type: nothing shown, 0 returned.
int ShowAppMessage(int nType, const std::string& sText);

// How a notice is shown; until the console installs its dialog, window mode writes the caption and
// the text to stderr (each CR as a line break) and answers OK.
// NoticesShownOnStderr counts the notices written that way, so start-up can let the operator read
// them before the console covers the terminal.
using TNoticePresenter = std::function<int(int nType, const std::string& sCaption, const std::string& sText)>;
void SetNoticePresenter(TNoticePresenter fnPresenter);
int NoticesShownOnStderr();
