// Start-up as the operator and systemd see it: the real binary in its own folder, ended by a
// configuration without a server address (status 6 and the reason on the terminal in window mode
// too), by a missing Config.ini, or by a log folder it cannot write; and the mode switch read from
// the command line.
#include "startup/untStartup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "base/untVersion.h"
#include "support/TestSupport.h"

namespace {

using testsupport::TRelay;

const std::regex kLineFormat(R"(^\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] (ERROR|WARNING|VERBOSE)\[\d{3}\] [^:]+: )");
const std::string kServerIpLine = "MyConfigInfo.sServerIP is invalid, current value from Config is: ";
// Message 8 as the notice shows it on stderr: UTF-8, the CR as a line break.
const std::string kMessage8 =
    "Telvane: 0016 - Erro na inicializa\xC3\xA7\xC3\xA3o do sistema de Logs. \nContate o administrador do sistema.";

std::vector<std::string> FileLines(const std::string& sText) {
  std::vector<std::string> vLines;
  size_t nStart = 0;
  for (size_t nEnd; (nEnd = sText.find("\r\n", nStart)) != std::string::npos; nStart = nEnd + 2)
    vLines.push_back(sText.substr(nStart, nEnd - nStart));
  EXPECT_EQ(nStart, sText.size()) << "every line ends with CR LF";
  return vLines;
}

bool AnyGeneralFile(const std::string& sDir) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(sDir))
    if (entry.path().filename().string().starts_with("GENERAL_")) return true;
  return false;
}

TEST(StartupSwitch, AppAfterDashSlashOrBackslashInAnyCaseSelectsWindowMode) {
  struct Case {
    std::vector<std::string> vArgs;
    bool bWindow;
  };
  const Case vCases[] = {
      {{"/app"}, true},         {{"-APP"}, true},        {{"\\app"}, true},  {{"-App"}, true},
      {{"x", "/aPp"}, true},    {{"app"}, false},        {{"--app"}, false}, {{"-application"}, false},
      {{}, false},              {{"-ap"}, false},        {{"+app"}, false},  {{"INSTALL"}, false},
  };
  for (const Case& c : vCases) {
    std::vector<char*> vArgv = {const_cast<char*>("telvane")};
    for (const std::string& s : c.vArgs) vArgv.push_back(const_cast<char*>(s.c_str()));
    std::string sShown;
    for (const std::string& s : c.vArgs) sShown += s + " ";
    EXPECT_EQ(HasAppSwitch(static_cast<int>(vArgv.size()), vArgv.data()), c.bWindow) << sShown;
  }
}

// What the operator reads on the terminal once the console has closed.
std::string RefusalText(const TRelay& relay) {
  return "Telvane: " + kServerIpLine + "\nTelvane: SERVERIP in " + relay.Dir() +
         "/Lib/Config.ini is empty: give the exchange's address in section [AMI].\n";
}

TEST(Startup, ConfigWithoutServerAddressLogsItAndEndsByItself) {
  TRelay relay;
  relay.WriteConfig("[LOG]\r\nVERBOSE=3\r\n[GENERAL]\r\nAUTOSTART=0\r\n[AMI]\r\nAUTOSTART=0\r\n"
                    "[PROXY]\r\nAUTOSTART=0\r\n");
  ASSERT_TRUE(relay.Start({"-app"}));
  EXPECT_EQ(relay.Process().WaitExit(), 6) << relay.Process().Stderr();
  EXPECT_NE(relay.Process().Stderr().find(RefusalText(relay)), std::string::npos) << relay.Process().Stderr();
  const std::vector<std::string> vLines = FileLines(relay.LogText());
  ASSERT_FALSE(vLines.empty());
  for (const std::string& s : vLines) EXPECT_TRUE(std::regex_search(s, kLineFormat)) << s;
  EXPECT_NE(relay.LogText().find("] VERBOSE[003] TValidate.Create: Success to Read Config File.\r\n"),
            std::string::npos);
  EXPECT_NE(relay.LogText().find("] VERBOSE[003] TValidate.Create: " + kServerIpLine + "\r\n"), std::string::npos)
      << relay.LogText();
}

TEST(Startup, MissingConfigGivesDefaultsAndTheServerAddressLine) {
  TRelay relay;  // no Lib folder at all
  ASSERT_TRUE(relay.Start({"-app"}));
  EXPECT_EQ(relay.Process().WaitExit(), 6) << relay.Process().Stderr();
  EXPECT_NE(relay.Process().Stderr().find(RefusalText(relay)), std::string::npos) << relay.Process().Stderr();
  EXPECT_NE(relay.LogText().find("TValidate.Create: " + kServerIpLine + "\r\n"), std::string::npos)
      << relay.LogText();
}

TEST(Startup, UnwritableLogFolderEndsTheProcessWithTheFailureReport) {
  struct Case {
    const char* sName;
    std::vector<std::string> vArgs;
    bool bNotice;  // window mode shows message 8; service mode shows nothing
  };
  const Case vCases[] = {{"window mode", {"-app"}, true}, {"service mode", {}, false}};
  for (const Case& c : vCases) {
    TRelay relay;
    relay.WriteConfig("[AMI]\r\nSERVERIP=127.0.0.1\r\n");
    testsupport::WriteFile(relay.Dir() + "/Log", "a file where the log folder should be");
    ASSERT_TRUE(relay.Start(c.vArgs)) << c.sName;
    EXPECT_NE(relay.Process().WaitExit(), 0) << c.sName;
    const std::string sErr = relay.Process().Stderr();
    EXPECT_EQ(sErr.find(kMessage8) != std::string::npos, c.bNotice) << c.sName << ": " << sErr;
    EXPECT_NE(sErr.find("the log cannot be written"), std::string::npos) << c.sName << ": " << sErr;
    EXPECT_FALSE(AnyGeneralFile(relay.Dir())) << c.sName;
  }
}

TEST(Startup, ReadOnlyLogFolderEndsTheProcessWithTheFailureReport) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TRelay relay;
  relay.WriteConfig("[AMI]\r\nSERVERIP=127.0.0.1\r\n");
  std::filesystem::create_directories(relay.Dir() + "/Log");
  std::filesystem::permissions(relay.Dir() + "/Log",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  ASSERT_TRUE(relay.Start({"-app"}));
  EXPECT_NE(relay.Process().WaitExit(), 0);
  EXPECT_NE(relay.Process().Stderr().find(kMessage8), std::string::npos) << relay.Process().Stderr();
  EXPECT_FALSE(AnyGeneralFile(relay.Dir()));
}

// A relay that started instead of answering would run on (its configuration can serve) and
// open its log: the answer must come at once, on stdout, with nothing created.
TEST(Startup, HelpAndVersionPrintAndEndWithoutStartingTheRelay) {
  struct Case {
    std::vector<std::string> vArgs;
    std::vector<std::string> vExpected;  // texts stdout must hold
  };
  const std::string sVersionLine = "telvane " + std::string(TelvaneVersion()) + " (built ";
  const Case vCases[] = {
      {{"--help"}, {sVersionLine, "Usage: telvane ", "-app ", "-check ", "-install ", "Config.local.ini"}},
      {{"-h"}, {"Usage: telvane "}},
      {{"-app", "--help"}, {"Usage: telvane "}},
      {{"--version"}, {sVersionLine}},
  };
  for (const Case& c : vCases) {
    TRelay relay;
    relay.WriteConfig("[AMI]\r\nSERVERIP=127.0.0.1\r\nAUTOSTART=0\r\n[PROXY]\r\nAUTOSTART=0\r\n");
    ASSERT_TRUE(relay.Start(c.vArgs)) << c.vArgs[0];
    EXPECT_EQ(relay.Process().WaitExit(), 0) << c.vArgs[0] << relay.Process().Stderr();
    const std::string sOut = relay.Process().Stdout();
    for (const std::string& sText : c.vExpected) EXPECT_NE(sOut.find(sText), std::string::npos) << sText << "\n" << sOut;
    if (c.vArgs[0] == "--help") {
      EXPECT_NE(sOut.find("Configuration: " + relay.Dir() + "/Lib/Config.ini\n"), std::string::npos) << sOut;
    }
    if (c.vArgs[0] == "--version") {
      EXPECT_EQ(sOut.find('\n'), sOut.size() - 1) << "one line: " << sOut;
    }
    EXPECT_TRUE(relay.Process().Stderr().empty()) << relay.Process().Stderr();
    EXPECT_FALSE(std::filesystem::exists(relay.Dir() + "/Log")) << c.vArgs[0];
  }
}

}  // namespace
