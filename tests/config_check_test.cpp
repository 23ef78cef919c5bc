// telvane -check: the real binary in a folder of its own, one configuration per case.
#include "startup/untConfigCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using namespace testsupport;

struct Case {
  const char* sName;
  const char* sIni;                    // nullptr: no Config.ini; "DIR": Config.ini is a folder
  std::vector<std::string> vArgs;
  int nExit;
  std::vector<std::string> vPrinted;   // lines expected, in this order, on stdout (stderr for exit 1)
  std::vector<std::string> vAbsent;    // lines that must not be there
};

TEST(ConfigCheck, ReadsTheFileAsStartUpDoesPrintsTheCorrectionsAndValuesAndStartsNothing) {
  const Case vCases[] = {
      {"valid", "[AMI]\nSERVERIP=10.1.2.3\nSERVERPORT=5038\nSECRET=abc\n[METRICS]\nPORT=9100\n", {"-check"}, 0,
       {"Success to Read Config File.", "Values in force (service mode):", "  [AMI] SERVERIP=10.1.2.3",
        "  [AMI] SERVERPORT=5038", "  [AMI] SECRET=***", "  [METRICS] PORT=9100", "  [METRICS] BINDIP=127.0.0.1"},
       {"is invalid"}},
      {"corrections in their order, whatever VERBOSE says",
       "[LOG]\nVERBOSE=0\n[AMI]\nRECONNECTTMR=0\nSERVERIP=h\nSERVERPORT=70000\n[PROXY]\nSERVERPORT=0\n"
       "[METRICS]\nPORT=-1\nBINDIP=  \n",
       {"/CHECK"}, 2,
       {"MyConfigInfo.nServerReconnectTmr is invalid, current value from Config is: 5",
        "MyConfigInfo.nServerPort is invalid, current value from Config is: 50386",
        "MyConfigInfo.nProxyPort is invalid, current value from Config is: 50387",
        "MyConfigInfo.MyMetrics.nPort is invalid, current value from Config is: 0",
        "MyConfigInfo.MyMetrics.sBindIP is invalid, current value from Config is: 127.0.0.1", "  [LOG] VERBOSE=0",
        "  [AMI] RECONNECTTMR=5", "  [METRICS] PORT=0"},
       {}},
      {"the service forces its auto-start", "[GENERAL]\nAUTOSTART=0\n[AMI]\nSERVERIP=h\nAUTORECONNECT=0\n", {"-Check"},
       0, {"  [GENERAL] AUTOSTART=1", "  [AMI] AUTORECONNECT=1"}, {}},
      {"window mode keeps the file's auto-start", "[GENERAL]\nAUTOSTART=0\n[AMI]\nSERVERIP=h\n", {"-check", "-app"}, 0,
       {"Values in force (window mode):", "  [GENERAL] AUTOSTART=0"}, {}},
      {"empty server address", "[AMI]\nSERVERIP=  \nSERVERPORT=0\n", {"-check"}, 6,
       {"MyConfigInfo.sServerIP is invalid, current value from Config is: ",
        "SERVERIP is empty: the relay would end at start-up."},
       {"MyConfigInfo.nServerPort is invalid"}},
      {"no file at all", nullptr, {"-check"}, 6,
       {"(not found: every key takes its default)", "  [AMI] USERNAME=********"}, {}},
      {"a key in a section that does not read it, and a section nobody reads",
       "[AMI]\nSERVERIP=h\n[NATS]\nALLOWFROM=10.99.0.0/16\n[PROXI]\nSERVERPORT=1\nACCESSCODE=x\n", {"-check"}, 2,
       {"WARNING: Unknown section [PROXI] in Config.ini: its 2 key(s) are ignored.",
        "WARNING: Unknown key ALLOWFROM in section [NATS] of Config.ini: ignored. The relay reads ALLOWFROM in "
        "section [PROXY].",
        "  [PROXY] ALLOWFROM="},
       {}},
      {"on/off words; anything else is corrected",
       "[AMI]\nSERVERIP=h\nTLS=yes\nTLSVERIFY=Off\n[PROXY]\nAUTOSTART=maybe\n", {"-check", "-app"}, 2,
       {"MyConfigInfo.bProxyAutoStart is invalid, current value from Config is: 1", "  [AMI] TLS=1",
        "  [AMI] TLSVERIFY=0", "  [PROXY] AUTOSTART=1"},
       {}},
      {"a site access code is masked like the other secrets", "[AMI]\nSERVERIP=h\n[PROXY]\nACCESSCODE=s3cret!\n",
       {"-check"}, 0, {"  [PROXY] ACCESSCODE=*******"}, {"s3cret!", "WARNING"}},
      {"a file that cannot be read", "DIR", {"-check"}, 1,
       {"0005 - Erro ao ler o arquivo de configuração.", "Config.ini: Is a directory"}, {"Values"}},
  };
  for (const Case& t : vCases) {
    SCOPED_TRACE(t.sName);
    TRelay relay;
    if (t.sIni != nullptr && std::string(t.sIni) == "DIR")
      std::filesystem::create_directories(relay.Dir() + "/Lib/Config.ini");
    else if (t.sIni != nullptr)
      relay.WriteConfig(t.sIni);
    ASSERT_TRUE(relay.Start(t.vArgs));
    EXPECT_EQ(relay.Process().WaitExit(), t.nExit);
    const std::string sOut = relay.Process().Stdout() + relay.Process().Stderr();
    size_t nAfter = 0;  // the lines come in the order given
    for (const std::string& sLine : t.vPrinted) {
      const size_t nAt = sOut.find(sLine + "\n", nAfter);
      EXPECT_NE(nAt, std::string::npos) << sLine << "\n" << sOut;
      if (nAt != std::string::npos) nAfter = nAt;
    }
    for (const std::string& sLine : t.vAbsent) EXPECT_EQ(sOut.find(sLine), std::string::npos) << sLine << "\n" << sOut;
    // Nothing was started: no log folder, so no log writer ran.
    EXPECT_FALSE(std::filesystem::exists(relay.Dir() + "/Log"));
  }
}

}  // namespace

namespace {

// The site's own file is read over the sample, key by key, and its unknown keys are named with it.
TEST(ConfigCheck, SiteFileOverridesTheSampleKeyByKey) {
  testsupport::TRelay relay;
  relay.WriteConfig("[AMI]\nSERVERIP=sample\nSERVERPORT=5038\n[PROXY]\nSERVERPORT=50387\n");
  testsupport::WriteFile(relay.Dir() + "/Lib/Config.local.ini", "[AMI]\nSERVERIP=10.0.0.9\n[PROXY]\nSERVERPRT=1\n");
  ASSERT_TRUE(relay.Start({"-check"}));
  EXPECT_EQ(relay.Process().WaitExit(), 2);
  const std::string sOut = relay.Process().Stdout();
  for (const char* sLine : {"  [AMI] SERVERIP=10.0.0.9\n", "  [AMI] SERVERPORT=5038\n",
                            "Unknown key SERVERPRT in section [PROXY] of Config.local.ini: ignored.\n"})
    EXPECT_NE(sOut.find(sLine), std::string::npos) << sLine << sOut;
}

}  // namespace
