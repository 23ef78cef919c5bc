// The Debian package: built with CPack from this build tree into a temporary folder, inspected with
// dpkg-deb (no root needed), and the relay extracted from it run once with -check.
#include <gtest/gtest.h>

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

TEST(Package, HoldsTheLayoutItsDependenciesAndAConfigurationFileAndItsRelayRuns) {
  const std::string sBuild = fs::path(TELVANE_EXCHANGE_BINARY).parent_path().string();
  TTempDir dir;
  std::string sOut;
  ASSERT_EQ(Shell("cd '" + dir.Path() + "' && cpack -G DEB --config '" + sBuild + "/CPackConfig.cmake' -B '" +
                      dir.Path() + "'",
                  sOut, kPackageDeadline),
            0)
      << sOut;
  ASSERT_EQ(Shell("ls '" + dir.Path() + "' | grep -E '^telvane_[0-9.]+_amd64\\.deb$'", sOut), 0) << sOut;
  const std::string sDeb = dir.Path() + "/" + sOut.substr(0, sOut.find('\n'));

  ASSERT_EQ(Shell("dpkg-deb -c '" + sDeb + "'", sOut), 0) << sOut;
  for (const char* sPath : {" ./opt/telvane/telvane\n", " ./opt/telvane/telvane-exchange\n",
                            " ./opt/telvane/telvane-client\n", " ./opt/telvane/Lib/Config.ini\n",
                            " ./opt/telvane/Log/\n", " ./lib/systemd/system/Varnel_Telvane.service\n"})
    EXPECT_NE(sOut.find(sPath), std::string::npos) << sPath << sOut;
  EXPECT_EQ(sOut.find(".wants/"), std::string::npos) << "the unit must not be enabled by the package\n" << sOut;

  ASSERT_EQ(Shell("dpkg-deb -f '" + sDeb + "' Package Architecture Depends", sOut), 0) << sOut;
  for (const char* sField : {"Package: telvane\n", "Architecture: amd64\n", "libcivetweb1", "libncursesw6", "libc6"})
    EXPECT_NE(sOut.find(sField), std::string::npos) << sField << "\n" << sOut;

  const std::string sControl = dir.Path() + "/control";
  ASSERT_EQ(Shell("dpkg-deb -e '" + sDeb + "' '" + sControl + "'", sOut), 0) << sOut;
  EXPECT_EQ(ReadFile(sControl + "/conffiles"), "/opt/telvane/Lib/Config.ini\n");
  const std::string sPostinst = ReadFile(sControl + "/postinst");
  EXPECT_EQ(Commands(sPostinst).find("enable"), std::string::npos) << sPostinst;

  const std::string sRoot = dir.Path() + "/root";
  ASSERT_EQ(Shell("dpkg-deb -x '" + sDeb + "' '" + sRoot + "'", sOut), 0) << sOut;
  const std::string sUnit = ReadFile(sRoot + "/lib/systemd/system/Varnel_Telvane.service");
  EXPECT_NE(sUnit.find("\nExecStart=/opt/telvane/telvane\n"), std::string::npos) << sUnit;
  EXPECT_NE(sUnit.find("\nType=notify\n"), std::string::npos) << sUnit;
  EXPECT_EQ(ReadFile(sRoot + "/opt/telvane/Lib/Config.ini"),
            ReadFile(std::string(TELVANE_SOURCE_DIR) + "/Lib/Config.ini"));

  // The shipped sample leaves SERVERIP empty: the check says so with exit 6.
  TProcess relay;
  ASSERT_TRUE(relay.Start({sRoot + "/opt/telvane/telvane", "-check"}));
  EXPECT_EQ(relay.WaitExit(), 6) << relay.Stdout() << relay.Stderr();
  EXPECT_NE(relay.Stdout().find("  [METRICS] PORT=0\n"), std::string::npos) << relay.Stdout();
}

}  // namespace
