// TValidate's constructor and destructor: Config.ini into MyConfigInfo, the corrections and their
// log lines, the service-mode override and the capture lists. The log writer is not started: the
// fixture creates the ring's lock itself, so the lines the constructor logs stay in MyGenericFifo,
// in order, where the test reads them.
#include "controller/untValidate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "logging/untLogger.h"
#include "platform/untControlLoop.h"
#include "startup/untMessage.h"
#include "startup/untVariables.h"
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
    c.MyQueueBudget = TQueueBudgetConfig();
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
  EXPECT_TRUE(TerminationRequested());
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

TEST_F(ConfigTest, AutoStartFlagsReadAsIntegersAndServiceModeForcesThemOn) {
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
    EXPECT_TRUE(c.bProxyAutoStart) << "false is not a number: the default";
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

}  // namespace
