// The shipped sample Lib/Config.ini and the configuration reference (docs/configuration.md) held
// against the table of keys and what the reader actually looks up. A key put in a section that does not read it is the
// mistake a site copies from the sample; a key the relay reads but neither file names is one nobody
// can find.
#include "controller/untValidate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/untVariables.h"
#include "controller/untConfigKeys.h"
#include "support/TestSupport.h"

namespace {

using TKey = std::pair<std::string, std::string>;  // (section, key), upper-case as written in the files

std::string SourceFile(const std::string& sRelative) {
  return testsupport::ReadFile(std::string(TELVANE_SOURCE_DIR) + "/" + sRelative);
}

// The sample with its commented-out settings and sections taken as written: ";KEY=value" and
// ";[SECTION]" are keys a site is shown how to set.
std::string Uncommented(const std::string& sIni) {
  std::istringstream in(sIni);
  std::string sLine, sOut;
  while (std::getline(in, sLine)) {
    const bool bShown = sLine.size() > 1 && sLine[0] == ';' &&
                        (sLine[1] == '[' || (sLine.find('=') != std::string::npos && sLine[1] >= 'A' && sLine[1] <= 'Z'));
    sOut += (bShown ? sLine.substr(1) : sLine) + "\n";
  }
  return sOut;
}

// Every "KEY=" under a "[SECTION]" header; the free names of [QUEUENAMES] count as the section.
std::set<TKey> IniKeys(const std::string& sIni) {
  std::istringstream in(sIni);
  std::string sLine, sSection;
  std::set<TKey> vKeys;
  while (std::getline(in, sLine)) {
    if (sLine.empty() || sLine[0] == ';') continue;
    if (sLine[0] == '[') {
      sSection = sLine.substr(1, sLine.find(']') - 1);
      if (sSection == "QUEUENAMES") vKeys.insert({sSection, ""});
      continue;
    }
    const size_t nEqual = sLine.find('=');
    if (nEqual != std::string::npos && sSection != "QUEUENAMES") vKeys.insert({sSection, sLine.substr(0, nEqual)});
  }
  return vKeys;
}

// The reference: each "## SECTION" heading (upper case) and the "| `KEY` |" rows of its tables.
std::set<TKey> ReferenceKeys(const std::string& sDoc) {
  std::istringstream in(sDoc);
  std::string sLine, sSection;
  std::set<TKey> vKeys;
  while (std::getline(in, sLine)) {
    if (sLine.rfind("## ", 0) == 0) {
      const std::string sHeading = sLine.substr(3);
      const bool bSection = !sHeading.empty() && std::all_of(sHeading.begin(), sHeading.end(),
                                                             [](char c) { return c >= 'A' && c <= 'Z'; });
      sSection = bSection ? sHeading : "";
      if (sSection == "QUEUENAMES") vKeys.insert({sSection, ""});
      continue;
    }
    if (sSection.empty() || sSection == "QUEUENAMES" || sLine.rfind("| `", 0) != 0) continue;
    const size_t nEnd = sLine.find('`', 3);
    if (nEnd != std::string::npos) vKeys.insert({sSection, sLine.substr(3, nEnd - 3)});
  }
  return vKeys;
}

// The rows "| SECTION | KEY | ..." of the table that lists every key at a glance.
std::set<TKey> GlanceKeys(const std::string& sDoc) {
  std::istringstream in(sDoc.substr(sDoc.find("## Every key at a glance")));
  std::string sLine;
  std::set<TKey> vKeys;
  while (std::getline(in, sLine)) {
    if (sLine.rfind("| ", 0) != 0 || sLine.rfind("| Section", 0) == 0) continue;
    std::vector<std::string> lstCells;
    std::istringstream row(sLine.substr(2));
    std::string sCell;
    while (std::getline(row, sCell, '|')) lstCells.push_back(sCell.substr(0, sCell.find_last_not_of(' ') + 1));
    if (lstCells.size() < 2) continue;
    const std::string sKey = lstCells[1].erase(0, lstCells[1].find_first_not_of(' '));
    vKeys.insert({lstCells[0], lstCells[0] == "QUEUENAMES" ? "" : sKey});
  }
  return vKeys;
}

// The rows of the table at a glance as written, blanks at the ends of cells trimmed.
std::set<std::string> GlanceRows(const std::string& sDoc) {
  std::istringstream in(sDoc.substr(sDoc.find("## Every key at a glance")));
  std::string sLine;
  std::set<std::string> vRows;
  while (std::getline(in, sLine))
    if (sLine.rfind("| ", 0) == 0 && sLine.rfind("| Section", 0) != 0) vRows.insert(sLine);
  return vRows;
}

// A row of the table of keys as the table at a glance shows it.
std::string GlanceRow(const TConfigKey& k) {
  const std::string sKey = *k.sKey == '\0' ? "*name*" : k.sKey;
  return std::string("| ") + k.sSection + " | " + sKey + " | " + ConfigDefaultShown(k) + " | `" + k.sField +
         "` | " + k.sDoc + " |";
}

// "[SECTION] KEY=value" lines of the check's listing, as keys.
std::set<TKey> ListedKeys(const std::vector<std::string>& lstLines) {
  std::set<TKey> vKeys;
  for (const std::string& sLine : lstLines) {
    const size_t nClose = sLine.find("] "), nEqual = sLine.find('=');
    const std::string sSection = sLine.substr(1, nClose - 1);
    vKeys.insert({sSection, sSection == "QUEUENAMES" ? "" : sLine.substr(nClose + 2, nEqual - nClose - 2)});
  }
  return vKeys;
}

std::string Names(const std::set<TKey>& vKeys) {
  std::string sOut;
  for (const auto& [sSection, sKey] : vKeys) sOut += " [" + sSection + "] " + sKey;
  return sOut;
}

std::set<TKey> Minus(const std::set<TKey>& a, const std::set<TKey>& b) {
  std::set<TKey> vOut;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(vOut, vOut.end()));
  return vOut;
}

std::vector<std::pair<int, std::string>> lstLines;  // what the reading said; main thread
void Collect(int nLevel, const std::string& sText) { lstLines.emplace_back(nLevel, sText); }

// The reference's table at a glance is the table of keys: each row's section, key, default, field
// and line of documentation, and no row the table does not have.
TEST(ConfigReference, TableAtAGlanceIsTheTableOfKeys) {
  const std::set<std::string> vDocumented = GlanceRows(SourceFile("docs/configuration.md"));
  std::set<std::string> vTable;
  std::string sExpected;
  for (const TConfigKey& k : ConfigKeys()) {
    vTable.insert(GlanceRow(k));
    sExpected += GlanceRow(k) + "\n";
  }
  for (const std::string& sRow : vTable) EXPECT_EQ(vDocumented.count(sRow), 1u) << "not in the reference: " << sRow;
  for (const std::string& sRow : vDocumented) EXPECT_EQ(vTable.count(sRow), 1u) << "not in the table: " << sRow;
  if (HasFailure()) ADD_FAILURE() << "the table at a glance should read:\n" << sExpected;
}

// The rows of each section's own table, "| `KEY` | default | ... | `field` |", as their cells
// (blanks at the ends trimmed), keyed by section and key.
std::map<TKey, std::vector<std::string>> SectionRows(const std::string& sDoc) {
  std::istringstream in(sDoc.substr(0, sDoc.find("## Every key at a glance")));
  std::string sLine, sSection;
  std::map<TKey, std::vector<std::string>> mapRows;
  while (std::getline(in, sLine)) {
    if (sLine.rfind("## ", 0) == 0) sSection = sLine.substr(3);
    if (sLine.rfind("| `", 0) != 0) continue;
    std::vector<std::string> lstCells;
    std::istringstream row(sLine.substr(1));
    std::string sCell;
    while (std::getline(row, sCell, '|')) {
      const size_t nFirst = sCell.find_first_not_of(' ');
      lstCells.push_back(nFirst == std::string::npos ? "" : sCell.substr(nFirst, sCell.find_last_not_of(' ') - nFirst + 1));
    }
    if (lstCells.size() >= 3) mapRows[{sSection, lstCells[0].substr(1, lstCells[0].size() - 2)}] = lstCells;
  }
  return mapRows;
}

// Each section's own table gives the key's default and field as the table of keys has them: the
// default as the table at a glance shows it (a note in parentheses may follow), the field last.
TEST(ConfigReference, SectionTablesGiveEachKeysDefaultAndField) {
  const std::map<TKey, std::vector<std::string>> mapRows = SectionRows(SourceFile("docs/configuration.md"));
  for (const TConfigKey& k : ConfigKeys()) {
    if (*k.sKey == '\0') continue;  // a section of free names has no table of keys
    const auto it = mapRows.find({k.sSection, k.sKey});
    if (it == mapRows.end()) {
      ADD_FAILURE() << "no row in the section's table: [" << k.sSection << "] " << k.sKey;
      continue;
    }
    const std::vector<std::string>& lstCells = it->second;
    const std::string sDefault = ConfigDefaultShown(k);
    std::string sShown = lstCells[1];  // a text default stands in backticks
    sShown.erase(std::remove(sShown.begin(), sShown.end(), '`'), sShown.end());
    EXPECT_TRUE(sShown == sDefault || sShown.rfind(sDefault + " (", 0) == 0)
        << "[" << k.sSection << "] " << k.sKey << ": the reference says " << lstCells[1] << ", the table " << sDefault;
    EXPECT_EQ(lstCells.back(), "`" + std::string(k.sField) + "`") << "[" << k.sSection << "] " << k.sKey;
  }
}

// Every key has exactly one row, and the steps that order the reading are one each.
TEST(ConfigReference, EveryKeyHasOneRowAndOneStep) {
  std::set<TKey> vKeys;
  std::set<int32_t> vSteps;
  for (const TConfigKey& k : ConfigKeys()) {
    EXPECT_TRUE(vKeys.insert({k.sSection, k.sKey}).second) << "two rows for [" << k.sSection << "] " << k.sKey;
    EXPECT_TRUE(vSteps.insert(k.nStep).second) << "step " << k.nStep << " twice, again at " << k.sKey;
    EXPECT_NE(*k.sDoc, '\0') << "no documentation for [" << k.sSection << "] " << k.sKey;
    EXPECT_EQ(k.tCorrection == CONFIG_CORRECT_CUSTOM, k.fnCheck != nullptr) << k.sSection << " " << k.sKey;
  }
}

TEST(ConfigReference, SampleAndReferenceNameEveryKeyTheRelayReadsInTheSectionThatReadsIt) {
  testsupport::TTempDir dir;
  MyAppInfo.sAppFilePath = dir.Path() + "/";
  const std::string sSample = Uncommented(SourceFile("Lib/Config.ini"));
  ASSERT_FALSE(sSample.empty());
  ASSERT_TRUE(testsupport::WriteFile(dir.Path() + "/Lib/Config.ini", sSample));
  lstLines.clear();
  TValidate::ReadConfiguration(&Collect);

  std::set<TKey> vRead;
  for (const auto& tKey : TValidate::ConfigKeysRead()) vRead.insert(tKey);
  ASSERT_FALSE(vRead.empty());
  std::set<TKey> vTable;
  for (const TConfigKey& k : ConfigKeys()) vTable.insert({k.sSection, k.sKey});
  EXPECT_EQ(vRead, vTable) << "read:" << Names(vRead) << "\nin the table:" << Names(vTable);
  const std::set<TKey> vSample = IniKeys(sSample);
  const std::string sDoc = SourceFile("docs/configuration.md");
  const std::set<TKey> vReference = ReferenceKeys(sDoc);
  const std::set<TKey> vGlance = GlanceKeys(sDoc);
  EXPECT_EQ(vGlance, vRead) << "the table at a glance:" << Names(vGlance) << "\nread:" << Names(vRead);
  EXPECT_TRUE(Minus(vSample, vRead).empty()) << "in the sample where nothing reads them:" << Names(Minus(vSample, vRead));
  EXPECT_TRUE(Minus(vRead, vSample).empty()) << "read but not in the sample:" << Names(Minus(vRead, vSample));
  EXPECT_TRUE(Minus(vReference, vRead).empty()) << "documented but not read:" << Names(Minus(vReference, vRead));
  EXPECT_TRUE(Minus(vRead, vReference).empty()) << "read but not documented:" << Names(Minus(vRead, vReference));
  // The check lists every key in force, so what an operator sees is what the relay read.
  const std::set<TKey> vListed = ListedKeys(TValidate::ConfigValuesInForce());
  EXPECT_TRUE(Minus(vRead, vListed).empty()) << "read but not listed by -check:" << Names(Minus(vRead, vListed));
  EXPECT_TRUE(Minus(vListed, vRead).empty()) << "listed by -check but not read:" << Names(Minus(vListed, vRead));
  // The sample as shipped says nothing of unknown keys.
  for (const auto& [nLevel, sText] : lstLines) EXPECT_EQ(sText.find("Unknown"), std::string::npos) << sText;
}

// The sample as a site installs it, with only its exchange address filled in, passes -check clean,
// and what -check lists is what the reference documents.
TEST(ConfigReference, CheckOfTheShippedSampleIsCleanAndListsTheDocumentedKeys) {
  std::string sSample = SourceFile("Lib/Config.ini");
  const size_t nAt = sSample.find("\nSERVERIP=\n");
  ASSERT_NE(nAt, std::string::npos) << "the sample leaves SERVERIP empty";
  sSample.replace(nAt, 11, "\nSERVERIP=pbx.example\n");
  testsupport::TRelay relay;
  relay.WriteConfig(sSample);
  ASSERT_TRUE(relay.Start({"-check"}));
  EXPECT_EQ(relay.Process().WaitExit(), 0) << relay.Process().Stdout();
  std::vector<std::string> lstListed;
  std::istringstream in(relay.Process().Stdout());
  std::string sLine;
  while (std::getline(in, sLine))
    if (sLine.rfind("  [", 0) == 0) lstListed.push_back(sLine.substr(2));
  const std::set<TKey> vListed = ListedKeys(lstListed);
  const std::set<TKey> vReference = ReferenceKeys(SourceFile("docs/configuration.md"));
  EXPECT_EQ(vListed, vReference) << "listed:" << Names(vListed) << "\ndocumented:" << Names(vReference);
  EXPECT_EQ(relay.Process().Stdout().find("WARNING"), std::string::npos) << relay.Process().Stdout();
}

// The sample as a site edits it: only SERVERIP, the client port and ALLOWFROM changed in place.
// An allow-list that misses this host refuses it; the sample once listed ALLOWFROM where nothing
// read it, and a loopback desk got in.
TEST(ConfigReference, SampleWithAllowFromEditedInPlaceRefusesAClientOutsideTheRange) {
  std::string sSample = SourceFile("Lib/Config.ini");
  auto fnSet = [&sSample](const std::string& sAfter, const std::string& sLine, const std::string& sNew) {
    const size_t nAt = sSample.find("\n" + sLine + "\n", sSample.find(sAfter));
    ASSERT_NE(nAt, std::string::npos) << sLine << " after " << sAfter;
    sSample.replace(nAt + 1, sLine.size(), sNew);
  };
  const int nProxyPort = testsupport::FreePort();
  fnSet("[AMI]", "SERVERIP=", "SERVERIP=127.0.0.1");
  fnSet("[PROXY]", "SERVERPORT=50387", "SERVERPORT=" + std::to_string(nProxyPort));
  fnSet("[PROXY]", "ALLOWFROM=", "ALLOWFROM=10.99.0.0/16");
  testsupport::TRelay relay;
  relay.WriteConfig(sSample);
  ASSERT_TRUE(relay.Start({}));
  testsupport::TTcpClient desk;
  ASSERT_TRUE(desk.Connect(nProxyPort));
  EXPECT_TRUE(desk.WaitClosed()) << "a loopback desk outside 10.99.0.0/16 was let in";
  EXPECT_TRUE(relay.WaitForLog("Connection refused: address outside [PROXY] ALLOWFROM (127.0.0.1:")) << relay.LogText();
}

}  // namespace
