// The Debian packages: built with CPack from this build tree into a temporary folder, inspected with
// dpkg-deb (no root needed), judged by lintian and systemd-analyze where they are installed, and
// the relay extracted from them run once with -check.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

constexpr auto kPackageDeadline = std::chrono::minutes(5);  // strip, shlibdeps and compression

// Runs a shell command line; returns its exit code, with its stdout in sOut.
int Shell(const std::string& sCommand, std::string& sOut, std::chrono::milliseconds tTimeout = kDeadline) {
  TProcess process;
  if (!process.Start({"/bin/sh", "-c", sCommand})) return -1;
  const int nExit = process.WaitExit(tTimeout);
  sOut = process.Stdout();
  if (nExit != 0) sOut += process.Stderr();
  return nExit;
}

// The lines of a control script that do something (comments and blank lines left out).
std::string Commands(const std::string& sScript) {
  std::istringstream s(sScript);
  std::string sLine, sCommands;
  while (std::getline(s, sLine))
    if (sLine.find_first_not_of(" \t") != std::string::npos && sLine[sLine.find_first_not_of(" \t")] != '#')
      sCommands += sLine + "\n";
  return sCommands;
}

// The two packages of one CPack run, built into a folder of their own.
class Package : public ::testing::Test {
 protected:
  TTempDir dir;
  std::string sRelayDeb, sToolsDeb;

  void SetUp() override {
    const std::string sBuild = fs::path(TELVANE_EXCHANGE_BINARY).parent_path().string();
    std::string sOut;
    ASSERT_EQ(Shell("cd '" + dir.Path() + "' && cpack -G DEB --config '" + sBuild + "/CPackConfig.cmake' -B '" +
                        dir.Path() + "'",
                    sOut, kPackageDeadline),
              0)
        << sOut;
    sRelayDeb = Find("telvane_[0-9.]+-[0-9]+_amd64\\.deb");
    sToolsDeb = Find("telvane-tools_[0-9.]+-[0-9]+_amd64\\.deb");
  }
  // The one file of the folder whose name matches sPattern, or empty.
  std::string Find(const std::string& sPattern) {
    std::string sOut;
    if (Shell("ls '" + dir.Path() + "' | grep -E '^" + sPattern + "$'", sOut) != 0) {
      ADD_FAILURE() << "no " << sPattern << " in " << dir.Path();
      return {};
    }
    return dir.Path() + "/" + sOut.substr(0, sOut.find('\n'));
  }
};

TEST_F(Package, RelayAndToolsGoApartWithTheirOwnersModesAndDependenciesAndTheRelayRuns) {
  ASSERT_FALSE(sRelayDeb.empty());
  ASSERT_FALSE(sToolsDeb.empty());
  std::string sRelay, sTools, sOut;
  ASSERT_EQ(Shell("dpkg-deb -c '" + sRelayDeb + "'", sRelay), 0) << sRelay;
  ASSERT_EQ(Shell("dpkg-deb -c '" + sToolsDeb + "'", sTools), 0) << sTools;
  struct Case {
    const char* sEntry;  // mode, owner and path as dpkg-deb -c lists them
    bool bInRelay;
  };
  const Case vCases[] = {
      {"-rwxr-xr-x root/root ./opt/telvane/telvane", true},
      {"-rw-r----- root/root ./opt/telvane/Lib/Config.ini", true},  // postinst gives it to group telvane
      {"drwxr-xr-x root/root ./opt/telvane/Log/", true},            // postinst gives it to telvane, 0750
      {"-rw-r--r-- root/root ./lib/systemd/system/Varnel_Telvane.service", true},
      {"-rw-r--r-- root/root ./usr/share/doc/telvane/copyright", true},
      {"-rw-r--r-- root/root ./usr/share/doc/telvane/changelog.Debian.gz", true},
      {"-rwxr-xr-x root/root ./opt/telvane/telvane-exchange", false},
      {"-rwxr-xr-x root/root ./opt/telvane/telvane-client", false},
      {"-rw-r--r-- root/root ./usr/share/doc/telvane-tools/copyright", false},
  };
  // "<mode> <owner> <size> <date> <time> <path>": the size, date and time are left out.
  auto fnEntries = [](const std::string& sListing) {
    std::istringstream in(sListing);
    std::string sMode, sOwner, sSize, sDate, sTime, sPath, sEntries;
    while (in >> sMode >> sOwner >> sSize >> sDate >> sTime >> sPath) sEntries += sMode + " " + sOwner + " " + sPath + "\n";
    return sEntries;
  };
  const std::string sRelayEntries = fnEntries(sRelay), sToolsEntries = fnEntries(sTools);
  for (const Case& c : vCases) {
    const std::string sLine = std::string(c.sEntry) + "\n";
    EXPECT_EQ(sRelayEntries.find(sLine) != std::string::npos, c.bInRelay) << c.sEntry << "\n" << sRelayEntries;
    EXPECT_EQ(sToolsEntries.find(sLine) != std::string::npos, !c.bInRelay) << c.sEntry << "\n" << sToolsEntries;
  }
  EXPECT_EQ(sRelay.find("Config.local.ini"), std::string::npos) << "the site's file is never shipped";
  EXPECT_EQ(sRelay.find(".wants/"), std::string::npos) << "the unit must not be enabled by the package\n" << sRelay;

  ASSERT_EQ(Shell("dpkg-deb -f '" + sRelayDeb + "' Package Architecture Depends", sOut), 0) << sOut;
  for (const char* sField : {"Package: telvane\n", "Architecture: amd64\n", "libcivetweb1", "libncursesw6", "adduser"})
    EXPECT_NE(sOut.find(sField), std::string::npos) << sField << "\n" << sOut;
  EXPECT_EQ(sOut.find("mosquitto"), std::string::npos) << "the MQTT library is the bench rigs' alone\n" << sOut;
  ASSERT_EQ(Shell("dpkg-deb -f '" + sToolsDeb + "' Package Depends", sOut), 0) << sOut;
  EXPECT_EQ(sOut.find("mosquitto"), std::string::npos) << "the MQTT library is the bench rigs' alone\n" << sOut;

  const std::string sControl = dir.Path() + "/control";
  ASSERT_EQ(Shell("dpkg-deb -e '" + sRelayDeb + "' '" + sControl + "'", sOut), 0) << sOut;
  EXPECT_FALSE(fs::exists(sControl + "/conffiles")) << "upgrades replace Config.ini without a prompt";
  const std::string sPostinst = Commands(ReadFile(sControl + "/postinst"));
  EXPECT_EQ(sPostinst.find("enable"), std::string::npos) << sPostinst;
  for (const char* sCommand : {"adduser --system --group --no-create-home --home /nonexistent", "root:$USER\" 0640",
                               "\"$USER:$USER\" 0750 \"$DIR/Log\""})
    EXPECT_NE(sPostinst.find(sCommand), std::string::npos) << sCommand << "\n" << sPostinst;
  EXPECT_NE(Commands(ReadFile(sControl + "/postrm")).find("rm -f \"$DIR/Lib/Config.local.ini\""), std::string::npos);

  const std::string sRoot = dir.Path() + "/root";
  ASSERT_EQ(Shell("dpkg-deb -x '" + sRelayDeb + "' '" + sRoot + "'", sOut), 0) << sOut;
  const std::string sUnit = ReadFile(sRoot + "/lib/systemd/system/Varnel_Telvane.service");
  for (const char* sLine : {"\nExecStart=/opt/telvane/telvane\n", "\nType=notify\n", "\nUser=telvane\n",
                            "\nGroup=telvane\n", "\nReadWritePaths=-/opt/telvane/Log\n"})
    EXPECT_NE(sUnit.find(sLine), std::string::npos) << sLine << sUnit;
  EXPECT_EQ(ReadFile(sRoot + "/opt/telvane/Lib/Config.ini"),
            ReadFile(std::string(TELVANE_SOURCE_DIR) + "/Lib/Config.ini"));

  // The shipped sample leaves SERVERIP empty: the check says so with exit 6.
  TProcess relay;
  ASSERT_TRUE(relay.Start({sRoot + "/opt/telvane/telvane", "-check"}));
  EXPECT_EQ(relay.WaitExit(), 6) << relay.Stdout() << relay.Stderr();
  EXPECT_NE(relay.Stdout().find("  [METRICS] PORT=0\n"), std::string::npos) << relay.Stdout();
}

// lintian's errors, but for files in /opt (where the relay finds Lib/ and Log/ beside itself).
TEST_F(Package, LintianFindsNoErrorButFilesInOpt) {
  std::string sOut;
  if (Shell("command -v lintian", sOut) != 0) GTEST_SKIP() << "lintian is not installed";
  for (const std::string& sDeb : {sRelayDeb, sToolsDeb}) {
    ASSERT_FALSE(sDeb.empty());
    Shell("lintian --no-cfg '" + sDeb + "' 2>/dev/null", sOut, kPackageDeadline);
    std::istringstream in(sOut);
    for (std::string sLine; std::getline(in, sLine);)
      EXPECT_TRUE(!sLine.starts_with("E: ") || sLine.find(": dir-or-file-in-opt ") != std::string::npos) << sLine;
  }
}

// systemd rates the unit's exposure from 0 (confined) to 10 (anything goes); a relay that talks to
// peers on two sides stays at 4 or below.
TEST_F(Package, UnitIsConfined) {
  std::string sOut;
  if (Shell("command -v systemd-analyze", sOut) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  ASSERT_FALSE(sRelayDeb.empty());
  const std::string sRoot = dir.Path() + "/root";
  ASSERT_EQ(Shell("dpkg-deb -x '" + sRelayDeb + "' '" + sRoot + "'", sOut), 0) << sOut;
  Shell("systemd-analyze security --offline=true '" + sRoot + "/lib/systemd/system/Varnel_Telvane.service' 2>&1",
        sOut, kPackageDeadline);
  const std::string sMarker = "Overall exposure level for Varnel_Telvane.service: ";
  const size_t nAt = sOut.find(sMarker);
  ASSERT_NE(nAt, std::string::npos) << sOut;
  const double nExposure = std::strtod(sOut.c_str() + nAt + sMarker.size(), nullptr);
  EXPECT_LE(nExposure, 4.0) << sOut;
}

}  // namespace
