// The service host: its command-line switches, the unit file it installs and removes, the
// readiness notifications, and the real binary in service mode against the exchange simulator,
// stopped by a signal or ended by its own termination request.
//
// Every run of the binary gets TELVANE_UNIT_DIR (a temporary folder), so no test ever touches the
// machine's systemd, and its own notify socket, so readiness is a condition the test can wait for.
#include "platform/untSystemd.h"
#include "hosting/untTelvaneService.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::TExchangeSim;
using testsupport::TRelay;
using testsupport::TTempDir;

// ---- Fixtures ----

// A datagram socket standing in for systemd's notify socket: a path, or an abstract name.
class TNotifySocket {
 public:
  explicit TNotifySocket(bool bAbstract = false) {
    static std::atomic<int> nCounter{0};
    sAddress = bAbstract ? "@telvane-test-" + std::to_string(getpid()) + "-" + std::to_string(nCounter++)
                         : dir.Path() + "/notify";
    sockaddr_un tAddr{};
    tAddr.sun_family = AF_UNIX;
    std::memcpy(tAddr.sun_path, sAddress.data(), sAddress.size());
    if (bAbstract) tAddr.sun_path[0] = '\0';
    nFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bBound = bind(nFd, reinterpret_cast<sockaddr*>(&tAddr),
                  static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sAddress.size())) == 0;
  }
  ~TNotifySocket() { close(nFd); }
  bool Bound() const { return bBound; }
  std::string Env() const { return "NOTIFY_SOCKET=" + sAddress; }
  const std::string& Address() const { return sAddress; }
  // Waits for datagrams until one equals sState; every datagram seen is kept in vSeen.
  bool WaitFor(const std::string& sState, std::chrono::milliseconds tTimeout = testsupport::kDeadline) {
    const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
    while (true) {
      const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now());
      if (!ReceiveOne(static_cast<int>(std::max<int64_t>(nLeft.count(), 0)))) return false;
      if (vSeen.back() == sState) return true;
    }
  }
  // Everything already queued, without waiting.
  const std::vector<std::string>& Drain() {
    while (ReceiveOne(0)) {
    }
    return vSeen;
  }

 private:
  bool ReceiveOne(int nTimeoutMs) {
    pollfd p{nFd, POLLIN, 0};
    if (poll(&p, 1, nTimeoutMs) <= 0) return false;
    char sBuffer[4096];
    const ssize_t n = recv(nFd, sBuffer, sizeof(sBuffer), 0);
    if (n < 0) return false;
    vSeen.emplace_back(sBuffer, static_cast<size_t>(n));
    return true;
  }
  TTempDir dir;
  std::string sAddress;
  int nFd = -1;
  bool bBound = false;
  std::vector<std::string> vSeen;
};

// A configuration with every auto-start switched off: service mode must start both sides anyway.
std::string ServiceConfig(int nExchangePort, int nProxyPort, const std::string& sServerIP = "127.0.0.1") {
  std::ostringstream s;
  s << "[LOG]\r\nVERBOSE=3\r\n[GENERAL]\r\nAUTOSTART=0\r\n[AMI]\r\nAUTOSTART=0\r\nAUTORECONNECT=0\r\n"
    << "RECONNECTTMR=5\r\nTIMEOUTTMR=5\r\nSERVERIP=" << sServerIP << "\r\nSERVERPORT=" << nExchangePort
    << "\r\nUSERNAME=amiadmin\r\nSECRET=pxwdkr\r\n[PROXY]\r\nAUTOSTART=0\r\nSERVERPORT=" << nProxyPort << "\r\n";
  return s.str();
}

std::vector<std::string> Lines(const std::string& sText) {
  std::vector<std::string> v;
  std::istringstream in(sText);
  for (std::string s; std::getline(in, s);) v.push_back(s);
  return v;
}

// ---- Switches ----

TEST(ServiceSwitches, DashOrSlashAndAnyLetterCase) {
  struct Case {
    const char* sArg;
    bool bInstall;
  };
  const Case vCases[] = {
      {"-install", true},  {"/INSTALL", true},  {"-InStAlL", true},     {"\\install", false},
      {"install", false},  {"--install", false}, {"-installer", false}, {"-instal", false},
      {"-uninstall", false}, {"", false},
  };
  for (const Case& c : vCases) {
    char* vArgv[] = {const_cast<char*>("telvane"), const_cast<char*>(c.sArg)};
    EXPECT_EQ(FindServiceSwitch(2, vArgv, "INSTALL"), c.bInstall) << "argument '" << c.sArg << "'";
  }
  char* vBoth[] = {const_cast<char*>("telvane"), const_cast<char*>("/Uninstall"), const_cast<char*>("-SILENT")};
  EXPECT_TRUE(FindServiceSwitch(3, vBoth, "UNINSTALL"));
  EXPECT_TRUE(FindServiceSwitch(3, vBoth, "SILENT"));
  EXPECT_FALSE(FindServiceSwitch(3, vBoth, "INSTALL"));
}

// ---- Unit file text ----

// systemd splits ExecStart on blanks and expands '%' specifiers: a path that holds them must still
// name this executable. A path systemd would refuse to run gives no unit at all.
TEST(UnitFile, ExecStartSurvivesSystemdQuoting) {
  struct Case {
    std::string sPath;
    std::string sExecStart;  // the expected line; empty: no unit can be written
  };
  const Case vCases[] = {
      {"/opt/telvane/telvane", "ExecStart=/opt/telvane/telvane"},
      {"/opt/Varnel Telvane/telvane", "ExecStart=\"/opt/Varnel Telvane/telvane\""},
      {"/opt/100%/telvane", "ExecStart=/opt/100%%/telvane"},
      {"/opt/%n %i/telvane", "ExecStart=\"/opt/%%n %%i/telvane\""},
      {"/opt/a\\b/telvane", ""},
      {"/opt/a\"b/telvane", ""},
      {"/opt/it's/telvane", ""},
      {"relative/telvane", ""},
      {"", ""},
      {"/opt/line\nbreak/telvane", ""},
  };
  for (const Case& c : vCases) {
    TServiceDefinition def;
    def.sName = "Varnel_Telvane";
    def.sDisplayName = "Varnel Telvane";
    def.sDescription = "Varnel Rodarurodi - Telvane";
    def.sExecPath = c.sPath;
    const std::string sText = UnitFileText(def);
    if (c.sExecStart.empty()) {
      EXPECT_EQ(sText, "") << c.sPath;
      continue;
    }
    const std::vector<std::string> vLines = Lines(sText);
    EXPECT_NE(std::find(vLines.begin(), vLines.end(), c.sExecStart), vLines.end()) << sText;
  }
}

// The confinement follows the definition: the user it runs as, the one folder it writes, and home
// folders hidden unless the relay itself lives in one. A user or folder systemd would read as
// something else gives no unit.
TEST(UnitFile, ConfinementNamesTheUserAndTheOneWritableFolder) {
  struct Case {
    std::string sExecPath;
    std::string sUser;
    std::string sWritableDir;
    std::vector<std::string> vLines;  // expected lines; empty: no unit can be written
  };
  const Case vCases[] = {
      {"/opt/telvane/telvane", "telvane", "/opt/telvane/Log",
       {"User=telvane", "Group=telvane", "ReadWritePaths=-/opt/telvane/Log", "ProtectHome=yes"}},
      {"/opt/telvane/telvane", "", "/opt/telvane/Log", {"ReadWritePaths=-/opt/telvane/Log", "ProtectHome=yes"}},
      {"/opt/Varnel Telvane/telvane", "_telvane-1", "/opt/Varnel Telvane/Log",
       {"User=_telvane-1", "ReadWritePaths=\"-/opt/Varnel Telvane/Log\""}},
      {"/home/ops/telvane/telvane", "", "/home/ops/telvane/Log", {"ProtectHome=read-only"}},
      {"/opt/telvane/telvane", "Telvane", "/opt/telvane/Log", {}},
      {"/opt/telvane/telvane", "tel vane", "/opt/telvane/Log", {}},
      {"/opt/telvane/telvane", "telvane\nUser=root", "/opt/telvane/Log", {}},
      {"/opt/telvane/telvane", "telvane", "Log", {}},
  };
  for (const Case& c : vCases) {
    TServiceDefinition def;
    def.sName = "Varnel_Telvane";
    def.sDescription = "Telvane";
    def.sExecPath = c.sExecPath;
    def.sUser = c.sUser;
    def.sWritableDir = c.sWritableDir;
    const std::string sText = UnitFileText(def);
    if (c.vLines.empty()) {
      EXPECT_EQ(sText, "") << c.sUser << " " << c.sWritableDir;
      continue;
    }
    const std::vector<std::string> vLines = Lines(sText);
    for (const std::string& sLine : c.vLines)
      EXPECT_NE(std::find(vLines.begin(), vLines.end(), sLine), vLines.end()) << sLine << " missing in\n" << sText;
    EXPECT_EQ(sText.find("User=") != std::string::npos, !c.sUser.empty()) << sText;
    for (const char* sLine : {"NoNewPrivileges=yes", "CapabilityBoundingSet=", "ProtectSystem=strict", "UMask=0027",
                              "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX"})
      EXPECT_NE(std::find(vLines.begin(), vLines.end(), sLine), vLines.end()) << sLine << " missing in\n" << sText;
  }
}

// ---- sd_notify ----

TEST(SdNotify, ReachesPathAndAbstractSockets) {
  for (const bool bAbstract : {false, true}) {
    TNotifySocket notify(bAbstract);
    ASSERT_TRUE(notify.Bound()) << notify.Address();
    setenv("NOTIFY_SOCKET", notify.Address().c_str(), 1);
    EXPECT_TRUE(SystemdNotify("READY=1")) << notify.Address();
    EXPECT_TRUE(notify.WaitFor("READY=1")) << notify.Address();
  }
}

TEST(SdNotify, NoUsableSocketIsNotAnError) {
  for (const char* sValue : {"", "relative/notify", "@", "/nonexistent-folder/notify"}) {
    setenv("NOTIFY_SOCKET", sValue, 1);
    EXPECT_FALSE(SystemdNotify("READY=1")) << "'" << sValue << "'";
  }
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(SystemdNotify("READY=1"));
}

// ---- Install and uninstall through the real binary ----

class ServiceInstallTest : public ::testing::Test {
 protected:
  void SetUp() override { relay.WriteConfig(ServiceConfig(testsupport::FreePort(), testsupport::FreePort())); }
  // Runs the relay with vArgs and the unit folder sDir; returns its exit code.
  // The last run's process is kept in last, for its output.
  int Run(const std::vector<std::string>& vArgs, const std::string& sDir) {
    std::vector<std::string> vAll = {relay.BinaryPath()};
    vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
    last = std::make_unique<testsupport::TProcess>();
    EXPECT_TRUE(last->Start(vAll, {.sWorkDir = relay.Dir(),
                                   .vExtraEnv = {"TELVANE_UNIT_DIR=" + sDir, notify.Env()},
                                   .sOutputPrefix = ""}));
    return last->WaitExit();
  }
  std::string UnitPath() const { return units.Path() + "/Varnel_Telvane.service"; }

  TRelay relay;
  TTempDir units;
  TNotifySocket notify;
  std::unique_ptr<testsupport::TProcess> last;
};

TEST_F(ServiceInstallTest, SwitchesWriteAndRemoveTheUnitWithoutRunningTheService) {
  struct Case {
    std::vector<std::string> vArgs;
    bool bSucceeds;
    bool bUnitAfter;
    bool bConfirmation;  // one line on stdout; otherwise nothing
  };
  const Case vCases[] = {
      {{"-install", "-silent"}, true, true, false},
      {{"/UNINSTALL", "/SILENT"}, true, false, false},
      {{"/Install"}, true, true, true},
      {{"-INSTALL"}, true, true, true},  // installing again replaces the unit
      {{"-Uninstall"}, true, false, true},
      {{"-uninstall", "-silent"}, false, false, false},  // nothing to remove
  };
  for (const Case& c : vCases) {
    const std::string sCase = c.vArgs[0] + (c.vArgs.size() > 1 ? " " + c.vArgs[1] : "");
    const int nExit = Run(c.vArgs, units.Path());
    testsupport::TProcess& p = *last;
    EXPECT_EQ(nExit == 0, c.bSucceeds) << sCase << ": exit " << nExit << "\n" << p.Stderr();
    EXPECT_EQ(testsupport::FileExists(UnitPath()), c.bUnitAfter) << sCase;
    const std::vector<std::string> vOut = Lines(p.Stdout());
    EXPECT_EQ(vOut.size(), c.bConfirmation ? 1u : 0u) << sCase << ":\n" << p.Stdout();
    // stderr carries only copies of log lines, and an error line when the switch failed.
    size_t nOther = 0;
    for (const std::string& s : Lines(p.Stderr())) nOther += s.empty() || s[0] != '[' ? 1 : 0;
    EXPECT_EQ(nOther, c.bSucceeds ? 0u : 1u) << sCase << ":\n" << p.Stderr();
  }
  EXPECT_EQ(relay.LogText().find("ServiceStart"), std::string::npos);
  EXPECT_TRUE(notify.Drain().empty());
}

TEST_F(ServiceInstallTest, UnitDescribesTheRelay) {
  ASSERT_EQ(Run({"-install", "-silent"}, units.Path()), 0) << last->Stderr();
  const std::string sText = testsupport::ReadFile(UnitPath());
  const std::vector<std::string> vLines = Lines(sText);
  const std::string sExec = std::filesystem::canonical(relay.BinaryPath()).string();
  for (const std::string& sLine :
       {std::string("# Varnel Telvane"), std::string("Description=Varnel Rodarurodi - Telvane"), "ExecStart=" + sExec,
        std::string("Type=notify"), std::string("Restart=on-failure"), std::string("WantedBy=multi-user.target")})
    EXPECT_NE(std::find(vLines.begin(), vLines.end(), sLine), vLines.end()) << sLine << " missing in\n" << sText;
  int nStartTimeout = -1;
  for (const std::string& s : vLines)
    if (s.rfind("TimeoutStartSec=", 0) == 0) nStartTimeout = std::atoi(s.c_str() + 16);
  EXPECT_GE(nStartTimeout, 5) << "the start time-out must cover the 5 s wait hint";
  int nFileLimit = -1;
  for (const std::string& s : vLines)
    if (s.rfind("LimitNOFILE=", 0) == 0) nFileLimit = std::atoi(s.c_str() + 12);
  EXPECT_GE(nFileLimit, 4096) << "a restart storm of 100 desks and thousands of connections needs more than 1,024";
  // Pause/continue has no place in the unit: no reload command is offered.
  EXPECT_EQ(sText.find("ExecReload"), std::string::npos);
}

TEST_F(ServiceInstallTest, MissingUnitFolderFailsLoudlyEvenWhenSilent) {
  const int nExit = Run({"-install", "-silent"}, units.Path() + "/missing");
  EXPECT_NE(nExit, 0);
  EXPECT_EQ(last->Stdout(), "");
  EXPECT_NE(last->Stderr().find("not installed"), std::string::npos) << last->Stderr();
}

// ---- Service mode through the real binary ----

TEST(ServiceMode, StartsBothSidesAndStopsOnSigterm) {
  TExchangeSim sim;
  ASSERT_TRUE(sim.Start());
  TRelay relay;
  const int nProxyPort = testsupport::FreePort();
  relay.WriteConfig(ServiceConfig(sim.Port(), nProxyPort));
  TNotifySocket notify;
  ASSERT_TRUE(relay.Start({}, {notify.Env()}));
  EXPECT_TRUE(notify.WaitFor("READY=1"));
  EXPECT_TRUE(relay.WaitForLog("TsrvTelvane.ServiceStart: ServiceStart"));
  EXPECT_TRUE(relay.WaitForLog("Iniciano processo de abertura do Servidor Proxy (Porta: " + std::to_string(nProxyPort)));
  EXPECT_TRUE(relay.WaitForLog("Iniciano processo de conexão ao Servidor AMI (127.0.0.1:" + std::to_string(sim.Port())));
  testsupport::TTcpClient client;
  EXPECT_TRUE(client.Connect(nProxyPort));
  relay.Process().Signal(SIGTERM);
  EXPECT_EQ(relay.Process().WaitExit(), 0) << relay.Process().Stderr();
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", 0ms));
  EXPECT_TRUE(relay.WaitForLog("TsrvTelvane.ServiceStop: ServiceStop", 0ms));
  EXPECT_EQ(relay.Process().Stdout(), "");
}

TEST(ServiceMode, SigintAndSighupStopLikeSigterm) {
  for (const int nSignal : {SIGINT, SIGHUP}) {
    TRelay relay;
    relay.WriteConfig(ServiceConfig(testsupport::FreePort(), testsupport::FreePort()));
    TNotifySocket notify;
    ASSERT_TRUE(relay.Start({}, {notify.Env()}));
    ASSERT_TRUE(notify.WaitFor("READY=1")) << strsignal(nSignal);
    relay.Process().Signal(nSignal);
    EXPECT_EQ(relay.Process().WaitExit(), 0) << strsignal(nSignal) << "\n" << relay.Process().Stderr();
    EXPECT_TRUE(relay.WaitForLog("ServiceStop", 0ms)) << strsignal(nSignal);
  }
}

TEST(ServiceMode, EmptyServerAddressEndsTheServiceWithFailure) {
  TRelay relay;
  // At VERBOSE=1 the correction line stays out of the log: the journal (stderr) still says why.
  relay.WriteConfig("[LOG]\r\nVERBOSE=1\r\n" + ServiceConfig(testsupport::FreePort(), testsupport::FreePort(), ""));
  TNotifySocket notify;
  ASSERT_TRUE(relay.Start({}, {notify.Env()}));
  const int nExit = relay.Process().WaitExit();
  // 6, "not configured": systemd shows the failure by name and does not restart in vain.
  EXPECT_EQ(nExit, 6) << "-1: the service did not end by itself\n" << relay.Process().Stderr();
  EXPECT_NE(relay.Process().Stderr().find("SERVERIP in " + relay.Dir() + "/Lib/Config.ini is empty"), std::string::npos)
      << relay.Process().Stderr();
  // Never reported ready, so "systemctl start" fails instead of reporting a running service.
  for (const std::string& s : notify.Drain()) EXPECT_NE(s, "READY=1");
}

}  // namespace
