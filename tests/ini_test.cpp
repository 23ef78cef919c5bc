// TIniFile: the profile-file rules over text (Parse), the file reading (Load), and ShowAppMessage.
#include "base/untIniFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/untMessage.h"
#include "base/untVariables.h"
#include "support/TestSupport.h"

namespace {

using testsupport::TTempDir;
using testsupport::WriteFile;

// A literal with its NUL bytes.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

struct TextCase {
  const char* sName;
  std::string sContent;
  std::string sSection, sKey, sDefault;
  std::string sExpected;
};

TEST(IniTextValues, FollowTheProfileRules) {
  const std::string s2047(2047, 'a');
  const TextCase vCases[] = {
      {"plain", "[AMI]\nSERVERIP=10.0.0.1\n", "AMI", "SERVERIP", "d", "10.0.0.1"},
      {"section and key in any case", "[aMi]\nServerIp=10.0.0.1\n", "AMI", "SERVERIP", "d", "10.0.0.1"},
      {"lookup in any case", "[AMI]\nSERVERIP=x\n", "ami", "serverip", "d", "x"},
      {"first occurrence wins", "[AMI]\nSERVERIP=first\nSERVERIP=second\n", "AMI", "SERVERIP", "d", "first"},
      {"first across a repeated section", "[AMI]\nSERVERIP=first\n[LOG]\nVERBOSE=1\n[AMI]\nSERVERIP=second\n",
       "AMI", "SERVERIP", "d", "first"},
      {"key only in the repeated section", "[AMI]\nA=1\n[LOG]\n[AMI]\nSERVERIP=late\n", "AMI", "SERVERIP", "d", "late"},
      {"same key in another section", "[PROXY]\nSERVERPORT=1\n[AMI]\nSERVERPORT=2\n", "AMI", "SERVERPORT", "d", "2"},
      {"comment line", "[AMI]\n;SERVERIP=commented\nSERVERIP=real\n", "AMI", "SERVERIP", "d", "real"},
      {"indented comment", "[AMI]\n   ; SERVERIP=x\n", "AMI", "SERVERIP", "d", "d"},
      {"value after the first equals sign", "[AMI]\nSECRET=a=b=c\n", "AMI", "SECRET", "d", "a=b=c"},
      {"blanks trimmed", "[AMI]\n  USERNAME \t=  \t john doe \t \n", "AMI", "USERNAME", "d", "john doe"},
      {"double quotes dropped", "[AMI]\nSERVERIP=\"10.0.0.1\"\n", "AMI", "SERVERIP", "d", "10.0.0.1"},
      {"single quotes dropped", "[AMI]\nSERVERIP='10.0.0.1'\n", "AMI", "SERVERIP", "d", "10.0.0.1"},
      {"quotes after trimming", "[AMI]\nSERVERIP=  \" spaced \"  \n", "AMI", "SERVERIP", "d", " spaced "},
      {"only one pair dropped", "[AMI]\nSECRET=\"\"x\"\"\n", "AMI", "SECRET", "d", "\"x\""},
      {"mismatched quotes kept", "[AMI]\nSECRET=\"x'\n", "AMI", "SECRET", "d", "\"x'"},
      {"lone quote kept", "[AMI]\nSECRET=\"\n", "AMI", "SECRET", "d", "\""},
      {"empty quotes give empty", "[AMI]\nSECRET=\"\"\n", "AMI", "SECRET", "d", ""},
      {"empty value is empty, not the default", "[AMI]\nUSERNAME=\n", "AMI", "USERNAME", "d", ""},
      {"blank value is empty", "[AMI]\nUSERNAME=   \n", "AMI", "USERNAME", "d", ""},
      {"2047 characters kept", "[A]\nK=" + s2047 + "\n", "A", "K", "d", s2047},
      {"cut at 2047 characters", "[A]\nK=" + s2047 + "bcd\n", "A", "K", "d", s2047},
      {"cut after the quotes are dropped", "[A]\nK=\"" + s2047 + "b\"\n", "A", "K", "d", s2047},
      {"missing key", "[AMI]\nSERVERIP=x\n", "AMI", "USERNAME", "amiadmin", "amiadmin"},
      {"missing section", "[AMI]\nSERVERIP=x\n", "PROXY", "SERVERIP", "d", "d"},
      {"key before any section", "SERVERIP=x\n[AMI]\n", "AMI", "SERVERIP", "d", "d"},
      {"CR LF line ends", "[AMI]\r\nSERVERIP=10.0.0.1\r\nUSERNAME=u\r\n", "AMI", "SERVERIP", "d", "10.0.0.1"},
      {"no line end at the end", "[AMI]\nSERVERIP=last", "AMI", "SERVERIP", "d", "last"},
      {"byte-order mark skipped", "\xEF\xBB\xBF[AMI]\nSERVERIP=x\n", "AMI", "SERVERIP", "d", "x"},
      {"UTF-8 text becomes Windows-1252", "[AMI]\nUSERNAME=jo\xC3\xA3o\n", "AMI", "USERNAME", "d", "jo\xE3o"},
      {"Windows-1252 text kept", "[AMI]\nUSERNAME=jo\xE3o \x80\n", "AMI", "USERNAME", "d", "jo\xE3o \x80"},
      {"line without equals sign ignored", "[AMI]\nSERVERIP\nSERVERIP=x\n", "AMI", "SERVERIP", "d", "x"},
      {"empty key ignored", "[AMI]\n=x\n", "AMI", "", "d", "d"},
      {"section without closing bracket", "[AMI\nSERVERIP=x\n", "AMI", "SERVERIP", "d", "x"},
      {"blanks inside the brackets", "[ AMI ]\nSERVERIP=x\n", "AMI", "SERVERIP", "d", "x"},
      {"binary junk around a setting", Bytes("\x00\xFF\x01[\x00]\n[AMI]\n\xFE\x00=\x01\nSERVERIP=x\n\x00"),
       "AMI", "SERVERIP", "d", "x"},
      {"empty text", "", "AMI", "SERVERIP", "d", "d"},
  };
  for (const TextCase& c : vCases) {
    TIniFile ini;
    ini.Parse(c.sContent);
    EXPECT_EQ(ini.ReadString(c.sSection, c.sKey, c.sDefault), c.sExpected) << c.sName;
  }
}

struct IntegerCase {
  std::string sValue;  // what follows "K=" (no line: the key is missing)
  int32_t nExpected;
};

TEST(IniIntegers, ReadAsDecimalOrHexElseTheDefault) {
  constexpr int32_t nDefault = 77;
  const IntegerCase vCases[] = {
      {"42", 42},          {"+42", 42},        {"-1", -1},          {"007", 7},
      {"  12  ", 12},      {"\"12\"", 12},     {"0x1F90", 8080},    {"0X1f90", 8080},
      {"$1F90", 8080},     {"$ff", 255},       {"0x7FFFFFFF", 2147483647},
      {"2147483647", 2147483647},              {"-2147483648", -2147483647 - 1},
      {"2147483648", nDefault},                {"-2147483649", nDefault},
      {"0x80000000", nDefault},                {"99999999999999999999", nDefault},
      {"0x", nDefault},    {"0", 0},           {"00", 0},           {"0x0", 0},
      {"$", nDefault},     {"abc", nDefault},  {"", nDefault},      {"12abc", nDefault},
      {"1 2", nDefault},   {"0x1G", nDefault}, {"-0x10", nDefault}, {"$-10", nDefault},
      {"x10", nDefault},   {"- 1", nDefault},  {"1.5", nDefault},   {"--1", nDefault},
  };
  for (const IntegerCase& c : vCases) {
    TIniFile ini;
    ini.Parse("[S]\nK=" + c.sValue + "\n");
    EXPECT_EQ(ini.ReadInteger("S", "K", nDefault), c.nExpected) << "K=" << c.sValue;
  }
  TIniFile ini;
  ini.Parse("[S]\n");
  EXPECT_EQ(ini.ReadInteger("S", "K", nDefault), nDefault) << "missing key";
}

struct BoolCase {
  const char* sLine;
  bool bDefault;
  bool bExpected;
};

TEST(IniBooleans, AreIntegersWithTheDefaultAsOneOrZero) {
  const BoolCase vCases[] = {
      {"K=0", true, false},      {"K=1", false, true},      {"K=2", false, true},
      {"K=-1", false, true},     {"K=0x0", true, false},    {"K=true", false, false},
      {"K=true", true, true},    {"K=false", true, true},   {"K=false", false, false},
      {"K=", true, true},        {"K=", false, false},      {"", true, true},
      {"", false, false},        {"K=99999999999", false, false},
  };
  for (const BoolCase& c : vCases) {
    TIniFile ini;
    ini.Parse(std::string("[S]\n") + c.sLine + "\n");
    EXPECT_EQ(ini.ReadBool("S", "K", c.bDefault), c.bExpected) << c.sLine << " default " << c.bDefault;
  }
}

TEST(IniHasKey, SeesKeysInAnyCaseAndOnlyInTheirSection) {
  TIniFile ini;
  ini.Parse("[amI]\nUserName=\n[PROXY]\nSERVERPORT=1\n");
  EXPECT_TRUE(ini.HasKey("AMI", "USERNAME"));
  EXPECT_FALSE(ini.HasKey("AMI", "SERVERPORT"));
  EXPECT_FALSE(ini.HasKey("LOG", "USERNAME"));
}

// [QUEUENAMES] is read as a whole section: the keys as first written, each once, with the value
// ReadString gives for it.
TEST(IniReadSection, ListsEachKeyOnceWithItsFirstValue) {
  TIniFile ini;
  ini.Parse("[QueueNames]\nSupport = \"10001\" \nsales=10002\n[KEYS]\nEXTENFIRST=201\n"
            "[QUEUENAMES]\nSUPPORT=10009\nvip=\n;billing=10003\nnoequals\n");
  const std::vector<std::pair<std::string, std::string>> vExpected = {
      {"Support", "10001"}, {"sales", "10002"}, {"vip", ""}};
  EXPECT_EQ(ini.ReadSection("queuenames"), vExpected);
  EXPECT_TRUE(ini.ReadSection("ABSENT").empty());
}

TEST(IniReadSection, IntegerValuesFollowTheReadIntegerRules) {
  struct Case {
    const char* sValue;
    std::optional<int32_t> nExpected;
  };
  const Case vCases[] = {{"10001", 10001}, {"-5", -5}, {"0x2711", 10001}, {"$2711", 10001},
                         {"", std::nullopt}, {"ten", std::nullopt}, {"2147483648", std::nullopt}};
  for (const Case& c : vCases) EXPECT_EQ(IniIntegerValue(c.sValue), c.nExpected) << c.sValue;
}

TEST(IniParse, StartsAfreshEachTime) {
  TIniFile ini;
  ini.Parse("[AMI]\nSERVERIP=old\n");
  ini.Parse("[AMI]\nUSERNAME=u\n");
  EXPECT_EQ(ini.ReadString("AMI", "SERVERIP", "d"), "d");
}

class IniLoad : public ::testing::Test {
 protected:
  TTempDir dir;
  std::string Path() const { return dir.Path() + "/Config.ini"; }
};

TEST_F(IniLoad, MissingFileGivesDefaultsWithoutError) {
  TIniFile ini;
  std::string sError;
  EXPECT_TRUE(ini.Load(Path(), sError));
  EXPECT_EQ(ini.ReadInteger("AMI", "SERVERPORT", 50386), 50386);
  EXPECT_TRUE(sError.empty());
}

TEST_F(IniLoad, UnreadableFileFailsWithTheReason) {
  std::filesystem::create_directory(Path());  // exists, but cannot be read as a file
  TIniFile ini;
  std::string sError;
  EXPECT_FALSE(ini.Load(Path(), sError));
  EXPECT_NE(sError.find("Config.ini"), std::string::npos) << sError;
}

TEST_F(IniLoad, ReadsTheFileAndForgetsWhatWasLoadedBefore) {
  TIniFile ini;
  std::string sError;
  WriteFile(Path(), "[AMI]\r\nSERVERIP=10.1.2.3\r\n");
  ASSERT_TRUE(ini.Load(Path(), sError));
  EXPECT_EQ(ini.ReadString("AMI", "SERVERIP", ""), "10.1.2.3");
  std::filesystem::remove(Path());
  ASSERT_TRUE(ini.Load(Path(), sError));
  EXPECT_EQ(ini.ReadString("AMI", "SERVERIP", "d"), "d");
}

TEST_F(IniLoad, HugeFileIsReadUpToItsFirstMebibyteInWholeLines) {
  constexpr size_t nBound = 1024 * 1024;
  std::string sContent = "[AMI]\nSERVERIP=early\n";
  // A comment line that ends 20 bytes before the bound; the CUT line then straddles it.
  sContent += ";" + std::string(nBound - 20 - sContent.size() - 2, 'x') + "\n";
  sContent += "[LATE]\nCUT=" + std::string(200, 'y') + "\nAFTER=1\n";
  WriteFile(Path(), sContent);
  TIniFile ini;
  std::string sError;
  ASSERT_TRUE(ini.Load(Path(), sError));
  EXPECT_EQ(ini.ReadString("AMI", "SERVERIP", ""), "early");
  EXPECT_EQ(ini.ReadString("LATE", "CUT", "none"), "none") << "a line cut by the bound is not read";
  EXPECT_EQ(ini.ReadString("LATE", "AFTER", "none"), "none");
}

class NoticeTest : public ::testing::Test {
 protected:
  void SetUp() override { MyAppInfo.bIsService = false; }
  void TearDown() override {
    SetNoticePresenter(nullptr);
    MyAppInfo.bIsService = false;
  }
};

TEST_F(NoticeTest, PresenterGetsCaptionAndTextOnlyForTheFiveTypesOutsideServiceMode) {
  int nCalls = 0;
  std::string sCaption, sText;
  SetNoticePresenter([&](int, const std::string& sC, const std::string& sT) {
    ++nCalls;
    sCaption = sC;
    sText = sT;
    return ID_YES;
  });
  for (int nType : {0, 1, 2, 3, 4}) EXPECT_EQ(ShowAppMessage(nType, Msg(8)), ID_YES) << nType;
  EXPECT_EQ(nCalls, 5);
  EXPECT_EQ(sCaption, "Telvane");
  EXPECT_EQ(sText, Msg(8));
  for (int nType : {-1, 5, 7}) EXPECT_EQ(ShowAppMessage(nType, "x"), 0) << nType;
  MyAppInfo.bIsService = true;
  for (int nType : {0, 1, 4}) EXPECT_EQ(ShowAppMessage(nType, "x"), 0) << nType;
  EXPECT_EQ(nCalls, 5);
}

TEST_F(NoticeTest, FailingPresenterGivesZero) {
  SetNoticePresenter([](int, const std::string&, const std::string&) -> int { throw std::runtime_error("no"); });
  EXPECT_EQ(ShowAppMessage(1, "x"), 0);
}

// Counted, so start-up lets the operator read them before the console covers the terminal.
TEST_F(NoticeTest, WithoutPresenterTheNoticeGoesToStderrInUtf8AndIsCounted) {
  const int nBefore = NoticesShownOnStderr();
  testing::internal::CaptureStderr();
  const int nResult = ShowAppMessage(1, Msg(8));
  const std::string sErr = testing::internal::GetCapturedStderr();
  EXPECT_EQ(nResult, ID_OK);
  EXPECT_EQ(sErr,
            "Telvane: 0016 - Erro na inicializa\xC3\xA7\xC3\xA3o do sistema de Logs. \n"
            "Contate o administrador do sistema.\n");
  EXPECT_EQ(NoticesShownOnStderr(), nBefore + 1);
  // A notice the console's dialog shows, or a service's, is not on the terminal.
  SetNoticePresenter([](int, const std::string&, const std::string&) { return ID_OK; });
  ShowAppMessage(1, "x");
  SetNoticePresenter(nullptr);
  MyAppInfo.bIsService = true;
  ShowAppMessage(1, "x");
  EXPECT_EQ(NoticesShownOnStderr(), nBefore + 1);
}

}  // namespace
