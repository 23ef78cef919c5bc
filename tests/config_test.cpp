// TValidate's constructor and destructor: Config.ini into MyConfigInfo, the corrections and their
// log lines, the service-mode override and the capture lists. The log writer is not started: the
// fixture creates the ring's lock itself, so the lines the constructor logs stay in MyGenericFifo,
// in order, where the test reads them.
#include "controller/untValidate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/untMessage.h"
#include "base/untVariables.h"
#include "logging/untLogger.h"
#include "pipeline/untEventFamily.h"
#include "platform/untControlLoop.h"
#include "support/TestSupport.h"

namespace {

using testsupport::TTempDir;
using testsupport::WriteFile;

constexpr const char* kPrefix = "MyConfigInfo.";
constexpr const char* kInvalid = " is invalid, current value from Config is: ";

class ConfigTest : public ::testing::Test {
 protected:
  TTempDir dir;

  void SetUp() override {
    MyAppInfo.sAppFilePath = dir.Path() + "/";
    MyAppInfo.bIsService = false;
    InitializeSharedState();
    // Start values of the record (zeroed, level 99), as start-up leaves them.
    TConfigInfo& c = MyConfigInfo;
    c.bAutoStart = c.bServerAutoStart = c.bServerAutoReconnect = c.bProxyAutoStart = false;
    c.nServerReconnectTmr = c.nServerTimeoutTmr = c.nServerPort = c.nProxyPort = 0;
    c.sServerIP = c.sUsername = c.sSecret = "";
    c.MyNats = TNatsConfig();
    c.MyWeb = TWebConfig();
    c.MyClientPort = {};
    c.MyExchangeTls = {};
    c.MyQueueBudget = TQueueBudgetConfig();
    c.sPacing.clear();
    c.tPacing = PACING_PASS;
    if (crsGenericFifo.load() == nullptr) crsGenericFifo = new std::mutex();  // lives until process end
    MyGenericFifo = TGenericFifo();
    ClearTerminationRequestForTest();
  }

  void TearDown() override {
    delete MyValidate;
    MyValidate = nullptr;
    ClearTerminationRequestForTest();
  }

  void WriteConfig(const std::string& sIni) { WriteFile(dir.Path() + "/Lib/Config.ini", sIni); }

  void Create() { MyValidate = new TValidate(); }

  // The text after "TValidate.Create: " of every line waiting in the ring, in order.
  static std::vector<std::string> Logged() {
    std::vector<std::string> vTexts;
    for (int32_t n = MyGenericFifo.nRP; n != MyGenericFifo.nWP; n = (n + 1) % GENERIC_FIFO_SLOTS) {
      const std::string& sLine = MyGenericFifo.vFifo[n];
      const size_t nAt = sLine.find("] TValidate.Create: ");
      EXPECT_NE(nAt, std::string::npos) << sLine;
      if (nAt != std::string::npos) vTexts.push_back(sLine.substr(nAt + 20));
    }
    return vTexts;
  }

  static std::string Correction(const std::string& sField, const std::string& sValue) {
    return kPrefix + sField + kInvalid + sValue;
  }
};

TEST_F(ConfigTest, CorrectionsAreLoggedInTheirOrderWithTheValueNowInForce) {
  WriteConfig("[AMI]\r\nRECONNECTTMR=0\r\nTIMEOUTTMR=-3\r\nSERVERIP=\"10.0.0.5\"\r\nSERVERPORT=0x1F90\r\n"
              "USERNAME=    \r\nSECRET=s3\r\n");
  Create();
  const std::vector<std::string> vExpected = {
      "Success to Read Config File.",
      Correction("nServerReconnectTmr", "5"),
      Correction("nServerTimeoutTmr", "5"),
      Correction("sUsername", "amiadmin"),
  };
  EXPECT_EQ(Logged(), vExpected);
  EXPECT_EQ(MyConfigInfo.nServerReconnectTmr, 5);
  EXPECT_EQ(MyConfigInfo.nServerTimeoutTmr, 5);
  EXPECT_EQ(MyConfigInfo.sServerIP, "10.0.0.5");
  EXPECT_EQ(MyConfigInfo.nServerPort, 8080);
  EXPECT_EQ(MyConfigInfo.sUsername, "amiadmin");
  EXPECT_EQ(MyConfigInfo.sSecret, "s3");
  EXPECT_EQ(MyConfigInfo.nProxyPort, 50387);
  EXPECT_FALSE(TerminationRequested());
  EXPECT_EQ(MyAppInfo.sConfigRefusal, "");
  // Every line is VERBOSE[003] on target 1 with the constructor's source.
  EXPECT_NE(MyGenericFifo.vFifo[0].find("] VERBOSE[003] TValidate.Create: Success"), std::string::npos);
}

TEST_F(ConfigTest, EveryRuleBrokenAtOnceCorrectsEveryField) {
  WriteConfig("[AMI]\nRECONNECTTMR=4\nTIMEOUTTMR=5\nSERVERIP=h\nSERVERPORT=-1\nUSERNAME=\"\"\nSECRET= \t \n"
              "[PROXY]\nSERVERPORT=70000\n");
  Create();
  const std::vector<std::string> vExpected = {
      "Success to Read Config File.",           Correction("nServerReconnectTmr", "5"),
      Correction("nServerPort", "50386"),       Correction("sUsername", "amiadmin"),
      Correction("sSecret", "pxwdkr"),          Correction("nProxyPort", "50387"),
  };
  EXPECT_EQ(Logged(), vExpected);
  EXPECT_EQ(MyConfigInfo.nServerTimeoutTmr, 5) << "5 passes unchanged";
}

// The keys are read and corrected in one fixed order across the sections, which is not the order
// of the sections in the file: the profile first, the on/off words last. Operators compare logs
// by it, so a file that breaks one key of every section pins it down.
TEST_F(ConfigTest, CorrectionsOfEverySectionComeInOneFixedOrder) {
  WriteConfig("[WEB]\nMAXCLIENTS=0\n[GENERAL]\nPACING=fast\nMAXQUEUEDMB=0\nAUTOSTART=maybe\n"
              "[PROXY]\nACCESSCODE=a b\nMAXPERADDRESS=-1\nSERVERPORT=70000\n[NATS]\nMAXAGE=0\n"
              "[METRICS]\nBINDIP=x\n[AMI]\nTLS=perhaps\nSERVERIP=h\nTIMEOUTTMR=1\nPROFILE=CURRENT\n"
              "[KEYS]\nPARKFIRST=-1\n[LOG]\nKEEPDAYS=-1\n");
  Create();
  const std::vector<std::string> vExpected = {
      "Success to Read Config File.",
      Correction("MyProfile.nParkFirst", "701"),
      Correction("nLogKeepDays", "30"),
      Correction("nServerTimeoutTmr", "5"),
      Correction("nProxyPort", "50387"),
      Correction("MyMetrics.sBindIP", "127.0.0.1"),
      Correction("MyNats.nMaxAgeHours", "24"),
      Correction("MyClientPort.nMaxPerAddress", "10"),
      Correction("MyClientPort.sAccessCode", "*******"),
      Correction("MyWeb.nMaxClients", "100"),
      Correction("MyQueueBudget.nMaxQueuedMB", "256"),
      Correction("tPacing", "PASS"),
      Correction("bAutoStart", "1"),
      Correction("MyExchangeTls.bEnabled", "0"),
  };
  EXPECT_EQ(Logged(), vExpected);
}

TEST_F(ConfigTest, VerboseZeroWritesNoneOfTheLines) {
  WriteConfig("[LOG]\nVERBOSE=0\n[AMI]\nRECONNECTTMR=0\nSERVERIP=h\nUSERNAME=\n");
  Create();
  EXPECT_TRUE(Logged().empty());
  EXPECT_EQ(MyConfigInfo.nLogVerbose, 0);
  EXPECT_EQ(MyConfigInfo.nServerReconnectTmr, 5) << "corrected all the same";
  EXPECT_EQ(MyConfigInfo.sUsername, "amiadmin");
}

TEST_F(ConfigTest, ServerPortOutsideOneTo65535FallsBackToItsDefault) {
  struct Case {
    const char* sValue;
    int32_t nExpected;
    bool bLine;
  };
  const Case vCases[] = {
      {"65535", 65535, false}, {"1", 1, false},       {"65536", 50386, true}, {"0", 50386, true},
      {"-1", 50386, true},     {"abc", 50386, false}, {"0x1F90", 8080, false},
  };
  for (const Case& c : vCases) {
    SetUp();
    WriteConfig(std::string("[AMI]\nSERVERIP=h\nSERVERPORT=") + c.sValue + "\n");
    Create();
    std::vector<std::string> vExpected = {"Success to Read Config File."};
    if (c.bLine) vExpected.push_back(Correction("nServerPort", "50386"));
    EXPECT_EQ(Logged(), vExpected) << c.sValue;
    EXPECT_EQ(MyConfigInfo.nServerPort, c.nExpected) << c.sValue;
    TearDown();
  }
}

TEST_F(ConfigTest, EmptyServerAddressRequestsTerminationAndStopsTheChecks) {
  struct Case {
    const char* sLine;     // the SERVERIP line, if any
    const char* sLogged;   // the value the line ends with
  };
  const Case vCases[] = {{"SERVERIP=\n", ""}, {"SERVERIP=\"   \"\n", "   "}, {"", ""}};
  for (const Case& c : vCases) {
    SetUp();
    WriteConfig(std::string("[AMI]\nTIMEOUTTMR=1\n") + c.sLine + "SERVERPORT=0\nUSERNAME=\n");
    Create();
    const std::vector<std::string> vExpected = {
        "Success to Read Config File.",
        Correction("nServerTimeoutTmr", "5"),
        Correction("sServerIP", c.sLogged),
    };
    EXPECT_EQ(Logged(), vExpected) << c.sLine;
    EXPECT_TRUE(TerminationRequested()) << c.sLine;
    EXPECT_EQ(MyAppInfo.sConfigRefusal, Correction("sServerIP", c.sLogged)) << "kept for the terminal";
    EXPECT_EQ(MyConfigInfo.nServerPort, 0) << "the rows after the address are skipped";
    EXPECT_EQ(MyConfigInfo.sUsername, "");
    TearDown();
  }
}

TEST_F(ConfigTest, MissingFileGivesEveryDefault) {
  Create();
  EXPECT_EQ(Logged(), (std::vector<std::string>{"Success to Read Config File.", Correction("sServerIP", "")}));
  const TConfigInfo& c = MyConfigInfo;
  EXPECT_EQ(c.nLogVerbose, 99);
  EXPECT_TRUE(c.bAutoStart && c.bServerAutoStart && c.bServerAutoReconnect && c.bProxyAutoStart);
  EXPECT_EQ(c.nServerReconnectTmr, 5);
  EXPECT_EQ(c.nServerTimeoutTmr, 5);
  EXPECT_EQ(c.sServerIP, "");
  EXPECT_EQ(c.nServerPort, 50386);
  EXPECT_EQ(c.sUsername, "amiadmin");
  EXPECT_EQ(c.sSecret, "pxwdkr");
  EXPECT_EQ(c.nProxyPort, 50387);
  EXPECT_EQ(c.MyNats.sUrl, "") << "publishing to NATS stays off";
  EXPECT_EQ(c.MyNats.sCreds, "");
  EXPECT_EQ(c.MyNats.sSubjectPrefix, "telvane");
  EXPECT_EQ(c.MyNats.sStream, "");
  EXPECT_EQ(c.MyNats.nMaxAgeHours, 24);
  EXPECT_EQ(c.MyClientPort.nHandshakeTimeout, 10);
  EXPECT_EQ(c.MyClientPort.nMaxPerAddress, 10);
  EXPECT_EQ(c.MyClientPort.sBindIP, "");
  EXPECT_EQ(c.MyClientPort.sAllowFrom, "");
  EXPECT_EQ(c.MyClientPort.nTlsPort, 0);
  EXPECT_FALSE(c.MyExchangeTls.bEnabled);
  EXPECT_EQ(c.MyExchangeTls.sCaFile, "");
  EXPECT_TRUE(c.MyExchangeTls.bVerify);
  EXPECT_TRUE(TerminationRequested());
}

// The URL and the credentials file are kept as read (the client library judges them when it
// connects); a subject prefix, a stream name or an age the server would refuse falls back.
TEST_F(ConfigTest, NatsKeysOutsideTheirRulesFallBackToTheirDefaults) {
  struct Case {
    const char* sKeys;                  // lines of [NATS]
    std::vector<std::string> vFields;   // corrected fields, in order
    const char* sPrefix;                // in force afterwards
    const char* sStream;
    int32_t nMaxAgeHours;
  };
  const std::string sPrefix = "MyNats.sSubjectPrefix", sStream = "MyNats.sStream", sAge = "MyNats.nMaxAgeHours";
  const Case vCases[] = {
      {"URL=nats://a:4222, tls://b:4222\nCREDS=/etc/telvane.creds\nSUBJECTPREFIX=cc.lisbon\nSTREAM=TELVANE\n"
       "MAXAGE=1\n", {}, "cc.lisbon", "TELVANE", 1},
      {"SUBJECTPREFIX=a..b\nSTREAM=TEL.VANE\nMAXAGE=0\n", {sPrefix, sStream, sAge}, "telvane", "", 24},
      {"SUBJECTPREFIX=tel vane\nSTREAM=T*\nMAXAGE=87601\n", {sPrefix, sStream, sAge}, "telvane", "", 24},
      {"SUBJECTPREFIX=telvane.>\nSTREAM=A/B\nMAXAGE=87600\n", {sPrefix, sStream}, "telvane", "", 87600},
      {"SUBJECTPREFIX=.telvane\nMAXAGE=-5\n", {sPrefix, sAge}, "telvane", "", 24},
      {"SUBJECTPREFIX=   \n", {sPrefix}, "telvane", "", 24},
      {"MAXAGE=abc\n", {}, "telvane", "", 24},
  };
  SetUp();
  WriteConfig(std::string("[AMI]\nSERVERIP=h\n[NATS]\n") + vCases[0].sKeys);
  Create();
  EXPECT_EQ(MyConfigInfo.MyNats.sUrl, "nats://a:4222, tls://b:4222");
  EXPECT_EQ(MyConfigInfo.MyNats.sCreds, "/etc/telvane.creds");
  TearDown();
  for (const Case& c : vCases) {
    SetUp();
    WriteConfig(std::string("[AMI]\nSERVERIP=h\n[NATS]\n") + c.sKeys);
    Create();
    std::vector<std::string> vExpected = {"Success to Read Config File."};
    for (const std::string& sField : c.vFields)
      vExpected.push_back(Correction(sField, sField == sPrefix ? "telvane" : sField == sAge ? "24" : ""));
    EXPECT_EQ(Logged(), vExpected) << c.sKeys;
    EXPECT_EQ(MyConfigInfo.MyNats.sSubjectPrefix, c.sPrefix) << c.sKeys;
    EXPECT_EQ(MyConfigInfo.MyNats.sStream, c.sStream) << c.sKeys;
    EXPECT_EQ(MyConfigInfo.MyNats.nMaxAgeHours, c.nMaxAgeHours) << c.sKeys;
    TearDown();
  }
}

TEST_F(ConfigTest, WebKeysOutsideTheirRulesAreCorrectedAndTheSectionStaysOffByDefault) {
  struct Case {
    const char* sKeys;                 // lines of [WEB]
    std::vector<std::pair<std::string, std::string>> vCorrections;  // field, value in force, in order
    int32_t nPort;
    const char* sBindIP;
    const char* sAllowFrom;
    const char* sTlsCert;
    int32_t nMaxClients;
  };
  const Case vCases[] = {
      {"", {}, 0, "127.0.0.1", "", "", 100},
      {"PORT=8080\nBINDIP=::1\nALLOWFROM=10.0.0.0/8\nTLSCERT=c.pem\nTLSKEY=k.pem\nMAXCLIENTS=1000\n", {}, 8080, "::1",
       "10.0.0.0/8", "c.pem", 1000},
      {"PORT=65536\nBINDIP=nowhere\nMAXCLIENTS=0\n",
       {{"MyWeb.nPort", "0"}, {"MyWeb.sBindIP", "127.0.0.1"}, {"MyWeb.nMaxClients", "100"}}, 0, "127.0.0.1", "", "", 100},
      {"PORT=-1\nALLOWFROM=10.0.0.0/8, bogus\nTLSCERT=c.pem\nMAXCLIENTS=1001\n",
       {{"MyWeb.nPort", "0"}, {"MyWeb.sAllowFrom", "10.0.0.0/8"}, {"MyWeb.sTlsCert", ""}, {"MyWeb.nMaxClients", "100"}},
       0, "127.0.0.1", "10.0.0.0/8", "", 100},
      // An allow-list of which nothing is valid shuts everyone else out rather than letting everyone in.
      {"PORT=8080\nALLOWFROM=bogus\nTLSKEY=k.pem\n",
       {{"MyWeb.sAllowFrom", "127.0.0.0/8,::1/128"}, {"MyWeb.sTlsCert", ""}}, 8080, "127.0.0.1", "127.0.0.0/8,::1/128", "",
       100},
  };
  for (const Case& c : vCases) {
    SetUp();
    WriteConfig(std::string("[AMI]\nSERVERIP=h\n[WEB]\n") + c.sKeys);
    Create();
    std::vector<std::string> vExpected = {"Success to Read Config File."};
    for (const auto& [sField, sValue] : c.vCorrections) vExpected.push_back(Correction(sField, sValue));
    EXPECT_EQ(Logged(), vExpected) << c.sKeys;
    const TWebConfig& w = MyConfigInfo.MyWeb;
    EXPECT_EQ(w.nPort, c.nPort) << c.sKeys;
    EXPECT_EQ(w.sBindIP, c.sBindIP) << c.sKeys;
    EXPECT_EQ(w.sAllowFrom, c.sAllowFrom) << c.sKeys;
    EXPECT_EQ(w.sTlsCert, c.sTlsCert) << c.sKeys;
    EXPECT_EQ(w.sTlsKey.empty(), std::string(c.sTlsCert).empty()) << c.sKeys;
    EXPECT_EQ(w.nMaxClients, c.nMaxClients) << c.sKeys;
    TearDown();
  }
}

// The client port's and the exchange link's keys: each value that cannot be used is corrected with
// the usual line, and a value that can is taken as written.
TEST_F(ConfigTest, ClientPortAndExchangeTlsKeysAreCheckedLikeTheOthers) {
  struct Case {
    const char* sLines;     // added to the file after [AMI] SERVERIP
    const char* sField;     // the field of MyConfigInfo, as the correction line names it
    std::string sInForce;   // its value afterwards, as text
    bool bLine;             // a correction line is logged
  };
  const Case vCases[] = {
      {"[PROXY]\nHANDSHAKETIMEOUT=0\n", "MyClientPort.nHandshakeTimeout", "0", false},
      {"[PROXY]\nHANDSHAKETIMEOUT=30\n", "MyClientPort.nHandshakeTimeout", "30", false},
      {"[PROXY]\nHANDSHAKETIMEOUT=-1\n", "MyClientPort.nHandshakeTimeout", "10", true},
      {"[PROXY]\nHANDSHAKETIMEOUT=86401\n", "MyClientPort.nHandshakeTimeout", "10", true},
      {"[PROXY]\nMAXPERADDRESS=0\n", "MyClientPort.nMaxPerAddress", "0", false},
      {"[PROXY]\nMAXPERADDRESS=-5\n", "MyClientPort.nMaxPerAddress", "10", true},
      {"[PROXY]\nBINDIP=::\n", "MyClientPort.sBindIP", "::", false},
      {"[PROXY]\nBINDIP=office-server\n", "MyClientPort.sBindIP", "", true},
      {"[PROXY]\nALLOWFROM=10.0.0.0/8, ::1\n", "MyClientPort.sAllowFrom", "10.0.0.0/8, ::1", false},
      {"[PROXY]\nALLOWFROM=10.0.0.0/8,office\n", "MyClientPort.sAllowFrom", "10.0.0.0/8", true},
      // A list of nothing but mistakes shuts the port to all but the local host, never opens it.
      {"[PROXY]\nALLOWFROM=office\n", "MyClientPort.sAllowFrom", "127.0.0.0/8,::1/128", true},
      {"[PROXY]\nTLSPORT=50443\n", "MyClientPort.nTlsPort", "50443", false},
      {"[PROXY]\nTLSPORT=70000\n", "MyClientPort.nTlsPort", "0", true},
      {"[PROXY]\nSERVERPORT=50500\nTLSPORT=50500\n", "MyClientPort.nTlsPort", "0", true},
      {"[PROXY]\nTLSCERT=/etc/telvane/relay.pem\n", "MyClientPort.sTlsCert", "/etc/telvane/relay.pem", false},
      {"[AMI]\nTLS=1\n", "MyExchangeTls.bEnabled", "1", false},
      {"[AMI]\nTLSVERIFY=0\n", "MyExchangeTls.bVerify", "0", false},
      {"[AMI]\nTLSCAFILE=/etc/telvane/ca.pem\n", "MyExchangeTls.sCaFile", "/etc/telvane/ca.pem", false},
  };
  const auto InForce = [](const std::string& sField) -> std::string {
    const TConfigInfo::TClientPortConfig& p = MyConfigInfo.MyClientPort;
    const TConfigInfo::TExchangeTlsConfig& t = MyConfigInfo.MyExchangeTls;
    if (sField == "MyClientPort.nHandshakeTimeout") return std::to_string(p.nHandshakeTimeout);
    if (sField == "MyClientPort.nMaxPerAddress") return std::to_string(p.nMaxPerAddress);
    if (sField == "MyClientPort.sBindIP") return p.sBindIP;
    if (sField == "MyClientPort.sAllowFrom") return p.sAllowFrom;
    if (sField == "MyClientPort.nTlsPort") return std::to_string(p.nTlsPort);
    if (sField == "MyClientPort.sTlsCert") return p.sTlsCert;
    if (sField == "MyExchangeTls.bEnabled") return std::to_string(t.bEnabled);
    if (sField == "MyExchangeTls.bVerify") return std::to_string(t.bVerify);
    if (sField == "MyExchangeTls.sCaFile") return t.sCaFile;
    return "?";
  };
  for (const Case& c : vCases) {
    SetUp();
    WriteConfig(std::string("[AMI]\nSERVERIP=h\n") + c.sLines);
    Create();
    std::vector<std::string> vExpected = {"Success to Read Config File."};
    if (c.bLine) vExpected.push_back(Correction(c.sField, c.sInForce));
    EXPECT_EQ(Logged(), vExpected) << c.sLines;
    EXPECT_EQ(InForce(c.sField), c.sInForce) << c.sLines;
    TearDown();
  }
}

TEST_F(ConfigTest, UnreadableFileLogsMessageTwoAndSkipsEverythingElse) {
  std::filesystem::create_directories(dir.Path() + "/Lib/Config.ini");  // a folder cannot be read
  MyAppInfo.bIsService = true;
  Create();
  const std::vector<std::string> vLogged = Logged();
  ASSERT_EQ(vLogged.size(), 1u);
  EXPECT_EQ(vLogged[0], Msg(2));
  EXPECT_NE(MyGenericFifo.vFifo[0].find("] ERROR[000] TValidate.Create: "), std::string::npos);
  EXPECT_FALSE(MyConfigInfo.bAutoStart) << "no forced auto-start";
  EXPECT_EQ(MyConfigInfo.nServerReconnectTmr, 0) << "no corrections";
  EXPECT_EQ(MyConfigInfo.nLogVerbose, 99);
  EXPECT_EQ(MyConfigInfo.MyQueueBudget.nMaxQueuedMB, 256) << "the rings keep their bound";
  EXPECT_FALSE(TerminationRequested());
}

TEST_F(ConfigTest, QueuedTextBudgetBelowOneMegabyteFallsBackToItsDefault) {
  struct Case {
    const char* sLine;  // the MAXQUEUEDMB line of [GENERAL], if any
    int32_t nExpected;
    bool bLine;         // a correction line
  };
  const Case vCases[] = {
      {"", 256, false},           {"MAXQUEUEDMB=64\n", 64, false}, {"MAXQUEUEDMB=1\n", 1, false},
      {"MAXQUEUEDMB=0\n", 256, true}, {"MAXQUEUEDMB=-5\n", 256, true}, {"MAXQUEUEDMB=lots\n", 256, false},
  };
  for (const Case& c : vCases) {
    SetUp();
    WriteConfig(std::string("[GENERAL]\n") + c.sLine + "[AMI]\nSERVERIP=h\n");
    Create();
    std::vector<std::string> vExpected = {"Success to Read Config File."};
    if (c.bLine) vExpected.push_back(Correction("MyQueueBudget.nMaxQueuedMB", "256"));
    EXPECT_EQ(Logged(), vExpected) << c.sLine;
    EXPECT_EQ(MyConfigInfo.MyQueueBudget.nMaxQueuedMB, c.nExpected) << c.sLine;
    TearDown();
  }
}

TEST_F(ConfigTest, PacingIsPassUnlessEventIsAskedFor) {
  struct Case {
    const char* sLine;  // the PACING line of [GENERAL], if any
    TPacing_OPT tExpected;
    const char* sInForce;
    bool bLine;         // a correction line
  };
  const Case vCases[] = {
      {"", PACING_PASS, "PASS", false},         {"PACING=EVENT\n", PACING_EVENT, "EVENT", false},
      {"PACING=event\n", PACING_EVENT, "EVENT", false}, {"PACING=Pass\n", PACING_PASS, "PASS", false},
      {"PACING=\n", PACING_PASS, "PASS", false}, {"PACING=EVENTS\n", PACING_PASS, "PASS", true},
      {"PACING=1\n", PACING_PASS, "PASS", true},
  };
  for (const Case& c : vCases) {
    SetUp();
    WriteConfig(std::string("[GENERAL]\n") + c.sLine + "[AMI]\nSERVERIP=h\n");
    Create();
    std::vector<std::string> vExpected = {"Success to Read Config File."};
    if (c.bLine) vExpected.push_back(Correction("tPacing", "PASS"));
    EXPECT_EQ(Logged(), vExpected) << c.sLine;
    EXPECT_EQ(MyConfigInfo.tPacing, c.tExpected) << c.sLine;
    EXPECT_EQ(MyConfigInfo.sPacing, c.sInForce) << c.sLine;
    TearDown();
  }
}

TEST_F(ConfigTest, AutoStartFlagsReadAsOnOffAndServiceModeForcesThemOn) {
  const std::string sIni = "[GENERAL]\nAUTOSTART=0\n[AMI]\nAUTOSTART=2\nAUTORECONNECT=0\nSERVERIP=h\n"
                           "[PROXY]\nAUTOSTART=false\n";
  for (bool bService : {false, true}) {
    SetUp();
    MyAppInfo.bIsService = bService;
    WriteConfig(sIni);
    Create();
    const TConfigInfo& c = MyConfigInfo;
    EXPECT_EQ(c.bAutoStart, bService) << bService;
    EXPECT_TRUE(c.bServerAutoStart) << "2 is true";
    EXPECT_EQ(c.bServerAutoReconnect, bService) << bService;
    EXPECT_EQ(c.bProxyAutoStart, bService) << "false is off";
    TearDown();
  }
}

TEST_F(ConfigTest, CaptureListsLiveAsLongAsTheController) {
  WriteConfig("[AMI]\nSERVERIP=h\n");
  Create();
  TAuditEvents& a = MyAuditEvents;
  for (TAuditList* lst : {a.lstAudit, a.lstMainLog.load(), a.lstReadReceived, a.lstReadProcessed, a.lstGlobalQueue,
                          a.lstSpecificQueue, a.lstGlobalPeer, a.lstSpecificPeer, a.lstGlobalFeaturePark,
                          a.lstSpecificFeaturePark}) {
    ASSERT_NE(lst, nullptr);
    EXPECT_TRUE(lst->Snapshot().empty());
  }
  delete MyValidate;
  MyValidate = nullptr;
  for (TAuditList* lst : {a.lstAudit, a.lstMainLog.load(), a.lstReadReceived, a.lstReadProcessed, a.lstGlobalQueue,
                          a.lstSpecificQueue, a.lstGlobalPeer, a.lstSpecificPeer, a.lstGlobalFeaturePark,
                          a.lstSpecificFeaturePark})
    EXPECT_EQ(lst, nullptr);
}

TEST_F(ConfigTest, FoldersLieBesideTheExecutable) {
  EXPECT_EQ(TValidate::GetLogDirectory(), dir.Path() + "/Log");
  EXPECT_EQ(TValidate::GetAuditDirectory(), dir.Path() + "/Log");
  EXPECT_EQ(TValidate::GetConfigFilePath(), dir.Path() + "/Lib/Config.ini");
}

// ---- The classification profile: [AMI] PROFILE, CHANNELTECH, [KEYS], [QUEUENAMES] ----

TEST_F(ConfigTest, CurrentProfileTakesItsTechnologiesRangesAndNamedQueues) {
  WriteConfig("[AMI]\nSERVERIP=h\nPROFILE=current\nCHANNELTECH= PJSIP , IAX2 \n"
              "[KEYS]\nQUEUEFIRST=5001\nEXTENFIRST=201\nPARKFIRST=0x2BD\n"
              "[QUEUENAMES]\nSupport=5001\nsales = 5002\nSALES=5003\n");
  Create();
  EXPECT_EQ(Logged(), std::vector<std::string>{"Success to Read Config File."});
  const TProfileConfig& p = MyConfigInfo.MyProfile;
  EXPECT_EQ(p.tProfile, AMI_PROFILE_CURRENT);
  EXPECT_EQ(p.lstChannelTech, (std::vector<std::string>{"PJSIP", "IAX2"}));
  EXPECT_EQ(Family(EVENT_FAMILY_QUEUE).IndexOf(5001), 0);
  EXPECT_EQ(Family(EVENT_FAMILY_QUEUE).IndexOf(6001), QUEUE_COUNT - 1);
  EXPECT_EQ(Family(EVENT_FAMILY_QUEUE).IndexOf(10001), -1);
  EXPECT_EQ(Family(EVENT_FAMILY_PEER).IndexOf(201), 0);
  EXPECT_EQ(Family(EVENT_FAMILY_FEATUREPARK).IndexOf(701), 0);
  ASSERT_EQ(p.vQueueNames.size(), 2u) << "a name given twice counts once, as first written";
  EXPECT_EQ(p.vQueueNames[0].sName, "SALES");
  EXPECT_EQ(p.vQueueNames[0].nQueue, 5002);
  EXPECT_EQ(p.vQueueNames[1].sName, "SUPPORT");
  EXPECT_EQ(p.vQueueNames[1].nQueue, 5001);
}

// The profile's lines come first, before those of the classic keys.
TEST_F(ConfigTest, CurrentProfileCorrectsBadKeysAndDropsBadQueueNames) {
  WriteConfig("[AMI]\nRECONNECTTMR=0\nSERVERIP=h\nPROFILE=CURRENT\nCHANNELTECH=PJ SIP\n"
              "[KEYS]\nQUEUEFIRST=-1\nEXTENFIRST=2147480000\nPARKFIRST=abc\n"
              "[QUEUENAMES]\n123=10001\nvip=99999\nx=abc\nok=11001\n");
  Create();
  const std::vector<std::string> vExpected = {
      "Success to Read Config File.",
      Correction("MyProfile.sChannelTech", "SIP,PJSIP"),
      Correction("MyProfile.nQueueFirst", "10001"),
      Correction("MyProfile.nPeerFirst", "20001"),
      Correction("MyProfile.lstQueueNames(123=10001)", "ignored"),
      Correction("MyProfile.lstQueueNames(vip=99999)", "ignored"),
      Correction("MyProfile.lstQueueNames(x=abc)", "ignored"),
      Correction("nServerReconnectTmr", "5"),
  };
  EXPECT_EQ(Logged(), vExpected);
  const TProfileConfig& p = MyConfigInfo.MyProfile;
  EXPECT_EQ(p.lstChannelTech, (std::vector<std::string>{"SIP", "PJSIP"}));
  EXPECT_EQ(p.nParkFirst, PARK_FIRST) << "not a number: the default, without a line";
  ASSERT_EQ(p.vQueueNames.size(), 1u);
  EXPECT_EQ(p.vQueueNames[0].sName, "OK");
}

TEST_F(ConfigTest, ClassicKeysByTheClassicRangesAndSaysWhatItIgnores) {
  const std::string sIgnored =
      "MyConfigInfo.MyProfile: [AMI] CHANNELTECH, [KEYS] and [QUEUENAMES] apply only with [AMI] PROFILE=CURRENT; "
      "ignored.";
  struct Case {
    const char* sIni;
    std::vector<std::string> vLines;  // after "Success to Read Config File."
  };
  const Case vCases[] = {
      {"[AMI]\nSERVERIP=h\n", {}},
      {"[AMI]\nSERVERIP=h\nPROFILE=Classic\nCHANNELTECH=SIP,PJSIP\n[KEYS]\nQUEUEFIRST=10001\n", {}},
      {"[AMI]\nSERVERIP=h\nPROFILE=MODERN\n", {Correction("MyProfile.sProfile", "CLASSIC")}},
      {"[AMI]\nSERVERIP=h\nPROFILE=\n", {Correction("MyProfile.sProfile", "CLASSIC")}},
      {"[AMI]\nSERVERIP=h\n[KEYS]\nEXTENFIRST=201\n[QUEUENAMES]\nsales=10002\n", {sIgnored}},
      {"[AMI]\nSERVERIP=h\nCHANNELTECH=PJSIP\n", {sIgnored}},
  };
  for (const Case& c : vCases) {
    SetUp();
    WriteConfig(c.sIni);
    Create();
    std::vector<std::string> vExpected = {"Success to Read Config File."};
    vExpected.insert(vExpected.end(), c.vLines.begin(), c.vLines.end());
    EXPECT_EQ(Logged(), vExpected) << c.sIni;
    const TProfileConfig& p = MyConfigInfo.MyProfile;
    EXPECT_EQ(p.tProfile, AMI_PROFILE_CLASSIC) << c.sIni;
    EXPECT_EQ(Family(EVENT_FAMILY_PEER).IndexOf(PEER_FIRST), 0) << c.sIni;
    EXPECT_EQ(Family(EVENT_FAMILY_PEER).IndexOf(PEER_LAST), PEER_COUNT - 1) << c.sIni;
    EXPECT_EQ(Family(EVENT_FAMILY_QUEUE).IndexOf(QUEUE_FIRST), 0) << c.sIni;
    EXPECT_EQ(Family(EVENT_FAMILY_FEATUREPARK).IndexOf(PARK_FIRST), 0) << c.sIni;
    EXPECT_TRUE(p.vQueueNames.empty()) << c.sIni;
    TearDown();
  }
}

}  // namespace
