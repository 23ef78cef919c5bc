// The operator console end to end: the real relay runs with -app inside a detached tmux session
// against the exchange simulator, and the tests read the screen with capture-pane and type with
// send-keys. Covered: captions and button states for the three auto-start combinations, each way
// of closing (q and F10 after a Yes, Ctrl+C, SIGHUP), the questions before closing and before
// "Clear All Log", "Start Proxy" off while both sides run, traffic in a pane once its "Enabled" is
// ticked, status bars moving, a resize to 120 x 40 and back, the layout at 80 x 24, the full-log
// notice that blocks the operator but not the relay, and a one-minute audit capture that writes
// the ten files (about 70 s).
// Every tmux server runs on its own socket and is killed at the end of its test.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hosting/untConsoleLayout.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ReadFile;

std::string FindTmux() {
  const char* sPath = std::getenv("PATH");
  std::istringstream in(sPath != nullptr ? sPath : "/usr/bin:/bin");
  for (std::string sDir; std::getline(in, sDir, ':');)
    if (!sDir.empty() && access((sDir + "/tmux").c_str(), X_OK) == 0) return sDir + "/tmux";
  return {};
}

std::string Config(int nExchangePort, int nProxyPort, bool bGeneral, bool bAmi, bool bProxy) {
  std::ostringstream s;
  s << "[LOG]\r\nVERBOSE=3\r\n[GENERAL]\r\nAUTOSTART=" << bGeneral << "\r\n[AMI]\r\nAUTOSTART=" << bAmi
    << "\r\nAUTORECONNECT=1\r\nRECONNECTTMR=5\r\nTIMEOUTTMR=5\r\nSERVERIP=127.0.0.1\r\nSERVERPORT=" << nExchangePort
    << "\r\nUSERNAME=amiadmin\r\nSECRET=pxwdkr\r\n[PROXY]\r\nAUTOSTART=" << bProxy << "\r\nSERVERPORT="
    << nProxyPort << "\r\n";
  return s.str();
}

// The cell column of a byte of a captured line (box-drawing characters take several bytes).
size_t Column(const std::string& sLine, size_t nByte) {
  size_t nColumn = 0;
  for (size_t n = 0; n < nByte && n < sLine.size(); ++n)
    if ((static_cast<unsigned char>(sLine[n]) & 0xC0) != 0x80) ++nColumn;
  return nColumn;
}

bool Shows(const std::string& sScreen, const std::string& sText) { return sScreen.find(sText) != std::string::npos; }

// The first number after sLabel on the screen, or -1.
long NumberAfter(const std::string& sScreen, const std::string& sLabel) {
  const size_t n = sScreen.find(sLabel);
  if (n == std::string::npos) return -1;
  return std::strtol(sScreen.c_str() + n + sLabel.size(), nullptr, 10);
}

// One tmux server on a socket of its own, with one session "relay" running the relay.
class TTmux {
 public:
  explicit TTmux(std::string sBinary)
      : sTmux(std::move(sBinary)), sSocket("telvane-test-" + std::to_string(getpid()) + "-" + std::to_string(nNext++)) {}
  ~TTmux() {
    Run({"kill-server"});
    if (!sSocketPath.empty()) fs::remove(sSocketPath);  // tmux leaves the socket file behind
  }

  // The shell of the pane writes the relay's exit status to relay.exit beside it; sBefore is a
  // shell command run first in the same shell (a limit, say).
  bool Start(const std::string& sDirIn, int nCols, int nRows, const std::string& sBefore = "") {
    sDir = sDirIn;
    const bool bStarted = Run({"new-session", "-d", "-s", "relay", "-x", std::to_string(nCols), "-y",
                               std::to_string(nRows), "-c", sDir, sBefore + "./telvane -app; echo $? > relay.exit"})
                              .has_value();
    sSocketPath = Trim(Run({"display-message", "-p", "#{socket_path}"}).value_or(""));
    return bStarted;
  }
  std::string Screen() { return Run({"capture-pane", "-p", "-t", "relay"}).value_or(""); }
  void Keys(const std::vector<std::string>& vKeys) {
    std::vector<std::string> v = {"send-keys", "-t", "relay"};
    v.insert(v.end(), vKeys.begin(), vKeys.end());
    Run(v);
  }
  // A mouse event as an xterm reports it (X10 encoding: button, column, row, each + 32, 1-based).
  void Mouse(int nButton, int nRow, int nCol) {
    const std::string sEvent = std::string("\x1b[M") + static_cast<char>(32 + nButton) +
                               static_cast<char>(33 + nCol) + static_cast<char>(33 + nRow);
    Run({"send-keys", "-t", "relay", "-l", sEvent});
  }
  void Click(const TCellRect& r) {
    Mouse(0, r.nRow, r.nCol + r.nWidth / 2);  // press
    Mouse(3, r.nRow, r.nCol + r.nWidth / 2);  // release
  }
  void WheelUp(const TCellRect& r) { Mouse(64, r.nRow, r.nCol + 1); }
  void Resize(int nCols, int nRows) {
    Run({"resize-window", "-t", "relay", "-x", std::to_string(nCols), "-y", std::to_string(nRows)});
  }
  // The relay's process: the child of the pane's shell.
  int Pid() {
    const std::string sShell = Trim(Run({"display-message", "-p", "-t", "relay", "#{pane_pid}"}).value_or("0"));
    return std::atoi(ReadFile("/proc/" + sShell + "/task/" + sShell + "/children").c_str());
  }
  // The relay's exit status once it has ended, empty before.
  std::string ExitStatus() const { return Trim(ReadFile(sDir + "/relay.exit")); }

  // Polls the screen every 200 ms until fn accepts it or the deadline passes; the last screen is
  // kept for the failure message.
  bool WaitScreen(const std::function<bool(const std::string&)>& fn, std::chrono::milliseconds tTimeout = 30s) {
    const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
    while (true) {
      sLastScreen = Screen();
      if (fn(sLastScreen)) return true;
      if (std::chrono::steady_clock::now() >= tEnd) return false;
      std::this_thread::sleep_for(200ms);
    }
  }
  bool WaitFor(const std::string& sText, std::chrono::milliseconds tTimeout = 30s) {
    return WaitScreen([&](const std::string& s) { return Shows(s, sText); }, tTimeout);
  }
  // The relay ended with status 0.
  bool WaitEndedCleanly() {
    return testsupport::PollUntil([&] { return ExitStatus() == "0"; }, 30s);
  }
  const std::string& LastScreen() const { return sLastScreen; }

 private:
  static std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  std::optional<std::string> Run(const std::vector<std::string>& vArgs) {
    std::vector<std::string> v = {sTmux, "-L", sSocket, "-f", "/dev/null"};
    v.insert(v.end(), vArgs.begin(), vArgs.end());
    testsupport::TProcess p;
    if (!p.Start(v) || p.WaitExit(20s) != 0) return std::nullopt;
    return p.Stdout();
  }
  static inline std::atomic<int> nNext{0};
  std::string sTmux, sSocket, sSocketPath, sDir, sLastScreen;
};

class ConsoleTmuxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sTmux = FindTmux();
    if (sTmux.empty()) GTEST_SKIP() << "tmux is not installed";
    ASSERT_TRUE(sim.Start({"--generate", "--rate", "50"}));
    nProxyPort = testsupport::FreePort();
  }
  // The relay in a session of nCols x nRows (100 x 30 unless given) with the given auto-start keys.
  void StartRelay(bool bGeneral, bool bAmi, bool bProxy, int nCols = 100, int nRows = 30) {
    relay.WriteConfig(Config(sim.Port(), nProxyPort, bGeneral, bAmi, bProxy));
    tmux = std::make_unique<TTmux>(sTmux);
    ASSERT_TRUE(tmux->Start(relay.Dir(), nCols, nRows));
    ASSERT_TRUE(tmux->WaitFor("Total MSGs: ")) << tmux->LastScreen();
  }
  // Waits until "Total MSGs" has passed nAbove; returns the count seen.
  long WaitForReadsAbove(long nAbove) {
    long nSeen = -1;
    tmux->WaitScreen([&](const std::string& s) { return (nSeen = NumberAfter(s, "Total MSGs: ")) > nAbove; });
    return nSeen;
  }
  std::string AuditPath(const std::string& sPrefix) const {
    return relay.Dir() + "/Log/" + sPrefix + testsupport::Today() + ".audit";
  }

  std::string sTmux;
  testsupport::TExchangeSim sim;
  testsupport::TRelay relay;
  int nProxyPort = 0;
  std::unique_ptr<TTmux> tmux;
};

struct ButtonCase {
  const char* sName;
  bool bGeneral, bAmi, bProxy;
  // On the screen once the relay has started. A disabled button reads " F4 Stop Client" (the
  // capture drops trailing blanks), an enabled one "[F4 Stop Client]".
  std::vector<std::string> vShown;
  std::vector<std::string> vAbsent;  // nowhere on the screen
  std::vector<std::string> vCloseKeys;  // how the operator closes the console; empty: SIGHUP
};

void PrintTo(const ButtonCase& c, std::ostream* os) { *os << c.sName; }

class ConsoleButtonsTest : public ConsoleTmuxTest, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(ConsoleButtonsTest, CaptionsAndButtonStatesThenClose) {
  const ButtonCase& c = GetParam();
  StartRelay(c.bGeneral, c.bAmi, c.bProxy);
  const std::vector<std::string> vCaptions = {
      "Telvane", "Server IP: 127.0.0.1", "Server Port: " + std::to_string(sim.Port()), "Username: ********",
      "Secret: ******", "Proxy Port: " + std::to_string(nProxyPort), "[C Clear All Log]", "[1 Main]",
      "2 GenericMsgRead", "3 QueueMsgRead", "4 PeerMsgRead", "5 FeatureParkMsgRead", " Audit ",
      "[ ] Enabled Audit Time (Min.) [10   ]", "Main log", "Proxy log", "Clear", "Total MSGs: ", "q/F10 Quit"};
  ASSERT_TRUE(tmux->WaitScreen([&](const std::string& s) {
    for (const std::string& sText : vCaptions)
      if (!Shows(s, sText)) return false;
    for (const std::string& sText : c.vShown)
      if (!Shows(s, sText)) return false;
    return true;
  })) << tmux->LastScreen();
  for (const std::string& sText : c.vAbsent) EXPECT_FALSE(Shows(tmux->LastScreen(), sText)) << sText;
  // The traffic page's bar starts at its initial texts, with its four labels.
  tmux->Keys({"2"});
  EXPECT_TRUE(tmux->WaitFor("[2 GenericMsgRead]")) << tmux->LastScreen();
  for (const char* sLabel : {"WP: ", "RP: ", "Diff: ", "Not Event: ", "[ ] Enabled"})
    EXPECT_TRUE(Shows(tmux->LastScreen(), sLabel)) << sLabel;
  const int nPid = tmux->Pid();
  ASSERT_GT(nPid, 0);
  if (c.vCloseKeys.empty()) {
    kill(nPid, SIGHUP);  // the terminal window closing
  } else {
    // q and F10 ask first; the answer may come in the same read as the question's key.
    tmux->Keys(c.vCloseKeys);
  }
  EXPECT_TRUE(tmux->WaitEndedCleanly()) << "exit status: " << tmux->ExitStatus();
}

const ButtonCase BUTTON_CASES[] = {
    {"GeneralAutoStart", true, false, false,
     {" F3 Start Client", "[F4 Stop Client]", " F5 Start Server", "[F6 Stop Server]"},
     {"Start Proxy", "Stop Proxy", "[F3 Start Client]", "[F5 Start Server]"}, {"q", "y"}},
    // Both sides run: "Start Proxy" has nothing to start.
    {"AmiAndProxyAutoStart", false, true, true,
     {" F1 Start Proxy", " F2 Stop Proxy"},
     {"Start Client", "Stop Client", "Start Server", "Stop Server", "[F1 Start Proxy]", "[F2 Stop Proxy]"},
     {"F10", "Enter"}},
    {"NoAutoStart", false, false, false,
     {"[F1 Start Proxy] [F3 Start Client] [F5 Start Server]", " F2 Stop Proxy", " F4 Stop Client",
      " F6 Stop Server"},
     {"[F2 Stop Proxy]", "[F4 Stop Client]", "[F6 Stop Server]"}, {"C-c"}},
    {"AllAutoStartClosedBySighup", true, true, true, {"Total MSGs: "},
     {"Start Proxy", "Start Client", "Start Server"}, {}},
};

INSTANTIATE_TEST_SUITE_P(AutoStart, ConsoleButtonsTest, ::testing::ValuesIn(BUTTON_CASES),
                         [](const auto& info) { return std::string(info.param.sName); });

TEST_F(ConsoleTmuxTest, KeysPressTheButtons) {
  StartRelay(false, false, false);
  tmux->Keys({"F5"});  // Start Server
  EXPECT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return Shows(s, " F5 Start Server") && Shows(s, "[F6 Stop Server]") && Shows(s, "[F1 Start Proxy]");
  })) << tmux->LastScreen();
  tmux->Keys({"F3"});  // Start Client: both sides run, so "Start Proxy" goes off
  EXPECT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return Shows(s, " F3 Start Client") && Shows(s, "[F4 Stop Client]") && Shows(s, " F1 Start Proxy");
  })) << tmux->LastScreen();
  tmux->Keys({"F2"});  // Stop Proxy is disabled: nothing happens
  tmux->Keys({"F6"});  // Stop Server: "Start Proxy" has a side to start again
  EXPECT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return Shows(s, "[F5 Start Server]") && Shows(s, " F6 Stop Server") && Shows(s, "[F1 Start Proxy]");
  })) << tmux->LastScreen();
  tmux->Keys({"q", "y"});
  EXPECT_TRUE(tmux->WaitEndedCleanly()) << "exit status: " << tmux->ExitStatus();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Start-up notices (here: rings that cannot reserve their memory under an address-space limit)
// are written on the terminal, and the console waits for Enter instead of covering them at once.
TEST_F(ConsoleTmuxTest, StartupNoticesAreReadBeforeTheConsoleOpens) {
  if (kSanitized) GTEST_SKIP() << "a sanitized relay needs more address space than the limit leaves";
  relay.WriteConfig(Config(sim.Port(), nProxyPort, false, false, false));
  tmux = std::make_unique<TTmux>(sTmux);
  ASSERT_TRUE(tmux->Start(relay.Dir(), 100, 30, "ulimit -v 400000; "));
  ASSERT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return Shows(s, "Telvane: 0013 - Erro na inicializa") && Shows(s, "Contate o administrador do sistema.") &&
           Shows(s, "Telvane: press Enter to open the console.");
  })) << tmux->LastScreen();
  EXPECT_FALSE(Shows(tmux->LastScreen(), "Total MSGs: ")) << "the console covered the notices";
  tmux->Keys({"Enter"});
  ASSERT_TRUE(tmux->WaitFor("Total MSGs: ")) << tmux->LastScreen();
  tmux->Keys({"q", "y"});
  EXPECT_TRUE(tmux->WaitEndedCleanly()) << "exit status: " << tmux->ExitStatus();
}

// The smallest screen: buttons apart, the audit group folded into the row under the tabs so the
// logs get its rows, and the lines logged before the console existed in the main log.
TEST_F(ConsoleTmuxTest, At80x24ButtonsStandApartAndTheAuditGroupIsOneRow) {
  StartRelay(false, false, false, 80, 24);
  ASSERT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return Shows(s, "[F1 Start Proxy] [F3 Start Client] [F5 Start Server]") &&
           Shows(s, "TValidate.Create: Success");  // the pane wraps the rest
  })) << tmux->LastScreen();
  std::vector<std::string> vLines;
  std::istringstream in(tmux->LastScreen());
  for (std::string sLine; std::getline(in, sLine);) vLines.push_back(sLine);
  ASSERT_GE(vLines.size(), 7u) << tmux->LastScreen();
  EXPECT_TRUE(Shows(vLines[4], "[1 Main]")) << vLines[4];
  EXPECT_TRUE(Shows(vLines[5], "[ ] Enabled Audit Time (Min.) [10   ]") && Shows(vLines[5], "Clear")) << vLines[5];
  EXPECT_TRUE(Shows(vLines[6], "Main log")) << vLines[6];
  // The exchange side logs its start and login in the main log: one row per entry, so the first
  // five rows under the caption each start a line instead of continuing a wrapped one.
  tmux->Keys({"F3"});
  EXPECT_TRUE(tmux->WaitScreen([](const std::string& s) {
    std::istringstream rows(s);
    std::string sRow;
    for (int n = 0; n < 7 && std::getline(rows, sRow); ++n) {
    }
    for (int n = 0; n < 5; ++n)
      if (!std::getline(rows, sRow) || !Shows(sRow, "[20")) return false;
    return true;
  })) << tmux->LastScreen();
  tmux->Keys({"q", "y"});
  EXPECT_TRUE(tmux->WaitEndedCleanly()) << "exit status: " << tmux->ExitStatus();
}

// q, F10 and C sit among one-key actions: each asks first in a Yes/No dialog captioned "Telvane",
// and No, Esc or n leaves everything as it was.
TEST_F(ConsoleTmuxTest, QuitAndClearAllAskFirst) {
  StartRelay(true, false, false);
  ASSERT_TRUE(tmux->WaitFor("socManagerServerListen")) << tmux->LastScreen();
  const auto Dialog = [](const std::string& sQuestion) {
    return [sQuestion](const std::string& s) {
      return Shows(s, " Telvane ") && Shows(s, sQuestion) && Shows(s, "[ Yes ]") && Shows(s, "[ No ]");
    };
  };
  const auto NoDialog = [](const std::string& s) { return !Shows(s, "[ Yes ]") && Shows(s, "q/F10 Quit"); };
  for (const std::vector<std::string>& vAnswer : {std::vector<std::string>{"q", "n"}, {"F10", "Escape"}}) {
    tmux->Keys({vAnswer[0]});
    ASSERT_TRUE(tmux->WaitScreen(Dialog("Close Telvane?"))) << tmux->LastScreen();
    tmux->Keys({vAnswer[1]});
    ASSERT_TRUE(tmux->WaitScreen(NoDialog)) << vAnswer[1] << "\n" << tmux->LastScreen();
    EXPECT_EQ(tmux->ExitStatus(), "") << "the relay ended after " << vAnswer[1];
  }
  tmux->Keys({"C"});
  ASSERT_TRUE(tmux->WaitScreen(Dialog("empty every log pane?"))) << tmux->LastScreen();
  tmux->Keys({"n"});
  ASSERT_TRUE(tmux->WaitScreen(NoDialog)) << tmux->LastScreen();
  EXPECT_TRUE(Shows(tmux->LastScreen(), "socManagerServerListen")) << "cleared after No";
  tmux->Keys({"C", "y"});
  EXPECT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return !Shows(s, "[ Yes ]") && !Shows(s, "socManagerServerListen");
  })) << tmux->LastScreen();
  tmux->Keys({"F10", "Enter"});  // Enter on the selected Yes
  EXPECT_TRUE(tmux->WaitEndedCleanly()) << "exit status: " << tmux->ExitStatus();
}

TEST_F(ConsoleTmuxTest, MouseClicksTabsBoxesButtonsAndWheel) {
  StartRelay(true, false, false);
  WaitForReadsAbove(0);
  const TConsoleLayout l = ComputeConsoleLayout(30, 100);
  const TPaneLayout& pane = l.vPanes[PANE_GLOBAL_QUEUE];
  tmux->Click(l.vTabs[PAGE_QUEUE_MSG_READ]);
  ASSERT_TRUE(tmux->WaitFor("[3 QueueMsgRead]")) << tmux->LastScreen();
  tmux->Click(pane.rEnabled);
  ASSERT_TRUE(tmux->WaitScreen([](const std::string& s) { return Shows(s, "[x] Enabled") && Shows(s, "Event: "); }))
      << tmux->LastScreen();
  tmux->WheelUp(pane.rMemo);
  EXPECT_TRUE(tmux->WaitFor(" back ")) << tmux->LastScreen();
  // Switched off and cleared, the pane stays empty.
  tmux->Click(pane.rEnabled);
  ASSERT_TRUE(tmux->WaitFor("[ ] Enabled")) << tmux->LastScreen();
  tmux->Click(pane.rClear);
  EXPECT_TRUE(tmux->WaitScreen([](const std::string& s) {
    std::istringstream in(s);
    for (std::string sLine; std::getline(in, sLine);)
      if (Shows(sLine, " Global queue ") && Shows(sLine, " 0 lines ")) return true;
    return false;
  })) << tmux->LastScreen();
  tmux->Click(l.vControls[CTL_CMD_STOP_SERVER]);
  EXPECT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return Shows(s, "[F5 Start Server]") && Shows(s, " F6 Stop Server");
  })) << tmux->LastScreen();
  tmux->Keys({"q", "y"});
  EXPECT_TRUE(tmux->WaitEndedCleanly()) << "exit status: " << tmux->ExitStatus();
}

TEST_F(ConsoleTmuxTest, TrafficStatusBarsAndResize) {
  StartRelay(true, false, false);
  // The main status bar counts the exchange's reads, and keeps counting.
  const long nReads = WaitForReadsAbove(0);
  EXPECT_GT(WaitForReadsAbove(nReads), nReads) << tmux->LastScreen();
  // The splitter's bar moves on its page.
  tmux->Keys({"2"});
  long nWP = -1;
  ASSERT_TRUE(tmux->WaitScreen([&](const std::string& s) { return (nWP = NumberAfter(s, "WP: ")) > 0; }))
      << tmux->LastScreen();
  EXPECT_TRUE(tmux->WaitScreen([&](const std::string& s) { return NumberAfter(s, "WP: ") != nWP; }))
      << tmux->LastScreen();
  // The queue page: nothing shown until the upper pane's "Enabled" is ticked, then events.
  tmux->Keys({"3"});
  ASSERT_TRUE(tmux->WaitFor("[3 QueueMsgRead]")) << tmux->LastScreen();
  EXPECT_FALSE(Shows(tmux->LastScreen(), "Event: ")) << tmux->LastScreen();
  tmux->Keys({"e"});
  EXPECT_TRUE(tmux->WaitScreen([](const std::string& s) { return Shows(s, "[x] Enabled") && Shows(s, "Event: "); }))
      << tmux->LastScreen();
  EXPECT_TRUE(tmux->WaitFor("Queue: 100")) << tmux->LastScreen();

  // Resized, the layout follows: the rows, and a "Clear" button twelve cells from the right edge.
  const auto ClearAt = [](const std::string& s, size_t nCol) {
    std::istringstream in(s);
    for (std::string sLine; std::getline(in, sLine);) {
      const size_t nClear = sLine.find("Clear");
      const size_t nBracket = nClear == std::string::npos ? nClear : sLine.rfind('[', nClear);
      if (nBracket != std::string::npos && Column(sLine, nBracket) == nCol) return true;
    }
    return false;
  };
  const auto Rows = [](const std::string& s) { return std::count(s.begin(), s.end(), '\n'); };
  for (auto [nCols, nRows] : {std::pair{120, 40}, std::pair{100, 30}}) {
    tmux->Resize(nCols, nRows);
    EXPECT_TRUE(tmux->WaitScreen([&, nCols = nCols, nRows = nRows](const std::string& s) {
      return Rows(s) == nRows && ClearAt(s, static_cast<size_t>(nCols - 12)) && Shows(s, "[x] Enabled") &&
             Shows(s, "[3 QueueMsgRead]");
    })) << nCols << "x" << nRows << "\n" << tmux->LastScreen();
  }
  tmux->Keys({"q", "y"});
  EXPECT_TRUE(tmux->WaitEndedCleanly()) << "exit status: " << tmux->ExitStatus();
}

TEST_F(ConsoleTmuxTest, FullLogNoticeBlocksTheOperatorNotTheRelay) {
  StartRelay(true, false, false);
  WaitForReadsAbove(0);
  // Make the log file unwritable (a folder takes its name): the writer stops, the ring fills,
  // and the full notice appears. Client connections make the log lines.
  const std::string sLog = relay.LogPath();
  fs::remove(sLog);
  fs::create_directories(sLog);
  bool bShown = false;
  for (int n = 0; n < 3000 && !bShown; ++n) {
    testsupport::TTcpClient client;
    ASSERT_TRUE(client.Connect(nProxyPort));
    client.Close();
    if (n % 50 == 49) bShown = Shows(tmux->Screen(), "FIFO FULL (GENERAL) - ");
  }
  ASSERT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return Shows(s, "FIFO FULL (GENERAL) - ") && Shows(s, " Telvane ") && Shows(s, "[ OK ]");
  })) << tmux->LastScreen();
  // The dialog waits for the operator; the relay meanwhile goes on reading the exchange.
  const long nReads = NumberAfter(tmux->LastScreen(), "Total MSGs: ");
  tmux->Keys({"q"});  // not while the notice is open
  EXPECT_TRUE(tmux->WaitScreen([&](const std::string& s) {
    return NumberAfter(s, "Total MSGs: ") > nReads && Shows(s, "FIFO FULL (GENERAL) - ");
  })) << tmux->LastScreen();
  EXPECT_EQ(tmux->ExitStatus(), "") << "the relay ended";
  tmux->Keys({"Enter"});
  tmux->Keys({"C-c"});  // closes the console even with a notice open
  EXPECT_TRUE(tmux->WaitEndedCleanly()) << "exit status: " << tmux->ExitStatus();
}

TEST_F(ConsoleTmuxTest, OneMinuteAuditWritesTheTenFiles) {
  StartRelay(true, false, false);
  WaitForReadsAbove(0);
  tmux->Keys({"m", "BSpace", "BSpace", "1", "Enter"});
  ASSERT_TRUE(tmux->WaitFor("Enabled Audit Time (Min.) [1    ]")) << tmux->LastScreen();
  tmux->Keys({"a"});
  ASSERT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return Shows(s, "[x] Enabled Audit Time (Min.)") && Shows(s, "Iniciando processo de auditoria...");
  })) << tmux->LastScreen();
  // Ends on the 13th tick of the 5-second timer, 60 to 65 s from now.
  const char* const PREFIXES[] = {"AUDIT_", "MAINLOG_", "READRECEIVED_", "READPROCESSED_", "GLOBALQUEUE_",
                                  "SPECIFICQUEUE_", "GLOBALPEER_", "SPECIFICPEER_", "GLOBALFEATUREPARK_",
                                  "SPECIFICFEATUREPARK_"};
  EXPECT_TRUE(tmux->WaitScreen([](const std::string& s) {
    return Shows(s, "[ ] Enabled Audit Time (Min.) [1    ]") && Shows(s, "Finalizando processo de auditoria!");
  }, 150s)) << tmux->LastScreen();
  // The screen shows the end (with the busy mark) before the files are written; wait for the last.
  EXPECT_TRUE(testsupport::PollUntil([&] { return fs::is_regular_file(AuditPath("SPECIFICFEATUREPARK_")); }));
  for (const char* sPrefix : PREFIXES) EXPECT_TRUE(fs::is_regular_file(AuditPath(sPrefix))) << sPrefix;
  EXPECT_EQ(ReadFile(AuditPath("AUDIT_")),
            "Iniciando processo de auditoria...\r\nTimeout no processo de auditoria (Min.): 1\r\n"
            "Finalizando processo de auditoria!\r\n");
  EXPECT_EQ(ReadFile(AuditPath("MAINLOG_")).rfind("Iniciando processo de auditoria...\r\n", 0), 0u);
  // With every pane switched off, the stages still fed their lists.
  for (const char* sPrefix : {"READRECEIVED_", "READPROCESSED_", "GLOBALQUEUE_", "SPECIFICPEER_"})
    EXPECT_FALSE(ReadFile(AuditPath(sPrefix)).empty()) << sPrefix;
  tmux->Keys({"q", "y"});
  EXPECT_TRUE(tmux->WaitEndedCleanly()) << "exit status: " << tmux->ExitStatus();
}

}  // namespace
