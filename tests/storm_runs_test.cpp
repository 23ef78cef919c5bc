// Storm runs: the relay binary (service mode, VERBOSE=3) when many things happen at once. Desks
// reconnect all together after a restart, thousands of connections arrive within a moment, the
// process runs out of descriptors, the exchange floods. Afterwards the log must hold every line it
// was given (or say how many it could not keep, and why), the memory must have stayed bounded, and
// the relay must still serve.
//
// Threads: the test thread drives everything, except in the flood, where one thread keeps reading
// the desk's socket so the desk is never cut off for not reading. Ports come from the OS; each
// case runs as its own process under CTest.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::PollUntil;
using testsupport::TExchangeSim;
using testsupport::TRelay;
using testsupport::TTcpClient;

const char* const kAmiLoggedIn = "Cliente conectado e recebendo eventos do servidor AMI";
constexpr auto kStormDeadline = 120s;  // thousands of connections on a shared, busy machine

int CountOf(const std::string& sText, const std::string& sNeedle) {
  int nCount = 0;
  for (size_t n = sText.find(sNeedle); n != std::string::npos; n = sText.find(sNeedle, n + 1)) ++nCount;
  return nCount;
}

int LocalPortOf(int fd) {
  sockaddr_in addr{};
  socklen_t nLen = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
  return ntohs(addr.sin_port);
}

// The descriptor limit of this process, set for as long as the object lives; children started
// meanwhile inherit it.
class TFileLimit {
 public:
  explicit TFileLimit(rlim_t nSoft) {
    getrlimit(RLIMIT_NOFILE, &tSaved);
    rlimit tNew = tSaved;
    tNew.rlim_cur = std::min(nSoft, tSaved.rlim_max);
    setrlimit(RLIMIT_NOFILE, &tNew);
  }
  ~TFileLimit() { setrlimit(RLIMIT_NOFILE, &tSaved); }
  static rlim_t Hard() {
    rlimit t{};
    getrlimit(RLIMIT_NOFILE, &t);
    return t.rlim_max;
  }

 private:
  rlimit tSaved{};
};

// What the log says of each client, by its port, in log order: "accept", "connect", "read <text>"
// and "served" (its handshake is through).
std::map<int, std::vector<std::string>> DeskLines(const std::string& sLog) {
  static const std::regex kEvent(R"(TfrmTelvane\.socManagerServer(Accept|ClientConnect): .*:127\.0\.0\.1:(\d+)\)$)");
  static const std::regex kRead(R"re(TfrmTelvane\.socManagerServerClientRead: .*\(\d+:127\.0\.0\.1:(\d+)\):"(.*)"$)re");
  static const std::regex kServed(
      R"(TValidate\.SocketServerRead: Cliente conectado e recebendo eventos \(127\.0\.0\.1:(\d+)\)$)");
  std::map<int, std::vector<std::string>> mapLines;
  std::istringstream in(sLog);
  std::smatch m;
  for (std::string sLine; std::getline(in, sLine);) {
    if (!sLine.empty() && sLine.back() == '\r') sLine.pop_back();
    if (std::regex_search(sLine, m, kEvent))
      mapLines[std::stoi(m[2])].push_back(m[1] == "Accept" ? "accept" : "connect");
    else if (std::regex_search(sLine, m, kRead))
      mapLines[std::stoi(m[1])].push_back("read " + m[2].str());
    else if (std::regex_search(sLine, m, kServed))
      mapLines[std::stoi(m[1])].push_back("served");
  }
  return mapLines;
}

// A "Key: value" field of /proc/<pid>/status in kB, or -1.
int64_t ProcStatusKb(pid_t nPid, const std::string& sKey) {
  std::ifstream in("/proc/" + std::to_string(nPid) + "/status");
  for (std::string sLine; std::getline(in, sLine);)
    if (sLine.rfind(sKey + ":", 0) == 0) return std::atoll(sLine.c_str() + sKey.size() + 1);
  return -1;
}

class StormRunTest : public ::testing::Test {
 protected:
  // Waits until fn holds for the relay's log. The log is read again only once it has grown and a
  // quarter of a second has passed: reading a growing log every 10 ms would take the CPU that the
  // relay's writer needs to keep up with the storm.
  bool WaitForLogState(const std::function<bool(const std::string&)>& fn) {
    uintmax_t nLastSize = 0;
    auto tLastRead = std::chrono::steady_clock::now() - 1s;
    return PollUntil([&] {
      std::error_code ec;
      const uintmax_t nSize = std::filesystem::file_size(relay.LogPath(), ec);
      if (ec || nSize == nLastSize || std::chrono::steady_clock::now() - tLastRead < 250ms) return false;
      nLastSize = nSize;
      tLastRead = std::chrono::steady_clock::now();
      return fn(relay.LogText());
    }, kStormDeadline);
  }
  // A silent simulator and the relay logged in to it, with sExtra appended to the configuration.
  // Every connection of a test comes from 127.0.0.1, where a site's desks each have an address of
  // their own: the limit of connections per address in the handshake is lifted accordingly. The
  // handshake deadline is off, so that connections held open on purpose are not closed, with a
  // storm of lines of their own, while a slow machine is still logging the storm under test. (The
  // lines land in [PROXY], the last section of the configuration.) With bShippedLimits both keep
  // their shipped values and sExtra alone is added.
  void StartRelay(const std::string& sExtra = "", const std::vector<std::string>& vSimArgs = {"--silent"},
                  bool bShippedLimits = false) {
    ASSERT_TRUE(sim.Start(vSimArgs));
    nProxyPort = testsupport::FreePort();
    const std::string sProxyKeys = bShippedLimits ? "" : "MAXPERADDRESS=0\r\nHANDSHAKETIMEOUT=0\r\n";
    relay.WriteConfig(testsupport::RelayConfig(sim.Port(), nProxyPort, sProxyKeys + sExtra));
    ASSERT_TRUE(relay.Start());
    ASSERT_TRUE(relay.WaitForLog(kAmiLoggedIn)) << relay.LogText();
  }
  // A plain blocking loopback connection to the relay's client port; -1 on failure.
  int ConnectRaw() const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nProxyPort));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  bool NewDeskServed(const std::string& sAppId) {
    TTcpClient desk;
    return desk.Connect(nProxyPort) && testsupport::Handshake(desk, sAppId, "10001", "", "");
  }

  TExchangeSim sim;
  TRelay relay;
  int nProxyPort = 0;
};

// Regression: after a relay restart 100 desks connect and shake hands at once; the general log
// kept the lines of fewer than half of them, because the writer wrote one line per millisecond
// into a ring of 499. Now every desk's lines are there, in the order the desk sent them.
TEST_F(StormRunTest, RestartStormOfHundredDesksKeepsEveryLineInOrder) {
  StartRelay();
  constexpr int kDesks = 100;
  std::vector<std::unique_ptr<TTcpClient>> vDesks;
  for (int n = 0; n < kDesks; ++n) {
    vDesks.push_back(std::make_unique<TTcpClient>());
    ASSERT_TRUE(vDesks.back()->Connect(nProxyPort)) << "desk " << n;
  }
  // Every desk takes each step before any reads its answer: all handshakes run at once.
  auto Steps = [](int n) {
    return std::vector<std::pair<std::string, std::string>>{
        {"Hi, lets connect...", "Welcome to Telvane"},
        {"MyAppID: Desk-" + std::to_string(n), "Token:  ?"},
        {"MyAppToken: qmRoK8]", "QueueInfo:  ?"},
        {"GetQueueInfo: (" + std::to_string(10001 + n) + ")", "PeerInfo:  ?"},
        {"GetPeerInfo: (" + std::to_string(20001 + n) + ")", "FeatureParkInfo:  ?"},
        {"GetFeatureParkInfo: (701)", "Server is ready and up!"}};
  };
  for (size_t nStep = 0; nStep < Steps(0).size(); ++nStep) {
    for (int n = 0; n < kDesks; ++n) ASSERT_TRUE(vDesks[n]->Send(Steps(n)[nStep].first + "\r\n"));
    for (int n = 0; n < kDesks; ++n) {
      ASSERT_TRUE(vDesks[n]->ReadUntil(Steps(n)[nStep].second)) << "desk " << n << ", step " << nStep;
      vDesks[n]->Take();
    }
  }
  // Each desk's accept and connect lines, a read line for each of its steps, and the line saying
  // it is served, in this order.
  ASSERT_TRUE(WaitForLogState(
      [](const std::string& sLog) { return CountOf(sLog, "recebendo eventos (127.0.0.1:") >= kDesks; }))
      << CountOf(relay.LogText(), "recebendo eventos (127.0.0.1:") << " desks served; "
      << CountOf(relay.LogText(), "log lines dropped") << " dropped-lines lines";
  std::map<int, std::vector<std::string>> mapLines = DeskLines(relay.LogText());
  for (int n = 0; n < kDesks; ++n) {
    std::vector<std::string> vExpected = {"accept", "connect"};
    for (const auto& [sSent, sAnswer] : Steps(n)) vExpected.push_back("read " + sSent);
    vExpected.push_back("served");
    EXPECT_EQ(mapLines[LocalPortOf(vDesks[n]->Fd())], vExpected) << "desk " << n;
  }
  const std::string sLog = relay.LogText();
  EXPECT_EQ(sLog.find("log lines dropped"), std::string::npos);
}

// Regression: 100 desks behind one address (a terminal server, a NAT) that start at once lost all
// but MAXPERADDRESS of them to a refusal at accept, and each had to try again. Now those over the
// limit wait their turn: every desk gets through in one round, each with all its lines logged.
TEST_F(StormRunTest, HundredDesksFromOneAddressAllGetThroughAtOnceUnderThePerAddressLimit) {
  // The shipped limit of 10 per address; a deadline that a slow, shared machine cannot reach.
  StartRelay("HANDSHAKETIMEOUT=120\r\n", {"--silent"}, true);
  constexpr int kDesks = 100;
  std::vector<std::unique_ptr<TTcpClient>> vDesks;
  for (int n = 0; n < kDesks; ++n) {
    vDesks.push_back(std::make_unique<TTcpClient>());
    ASSERT_TRUE(vDesks.back()->Connect(nProxyPort)) << "desk " << n;
  }
  std::vector<char> vServed(kDesks, 0);
  std::vector<std::thread> vThreads;
  for (int n = 0; n < kDesks; ++n)
    vThreads.emplace_back([&, n] {
      vServed[n] = testsupport::Handshake(*vDesks[n], "Desk-" + std::to_string(n), std::to_string(10001 + n),
                                          std::to_string(20001 + n), "701", kStormDeadline);
    });
  for (std::thread& th : vThreads) th.join();
  for (int n = 0; n < kDesks; ++n) EXPECT_TRUE(vServed[n]) << "desk " << n;
  ASSERT_TRUE(WaitForLogState(
      [](const std::string& sLog) { return CountOf(sLog, "recebendo eventos (127.0.0.1:") >= kDesks; }))
      << CountOf(relay.LogText(), "recebendo eventos (127.0.0.1:") << " desks served";
  std::map<int, std::vector<std::string>> mapLines = DeskLines(relay.LogText());
  for (int n = 0; n < kDesks; ++n) {
    const std::vector<std::string> vExpected = {"accept", "connect", "read Hi, lets connect...",
                                                "read MyAppID: Desk-" + std::to_string(n), "read MyAppToken: qmRoK8]",
                                                "read GetQueueInfo: (" + std::to_string(10001 + n) + ")",
                                                "read GetPeerInfo: (" + std::to_string(20001 + n) + ")",
                                                "read GetFeatureParkInfo: (701)", "served"};
    EXPECT_EQ(mapLines[LocalPortOf(vDesks[n]->Fd())], vExpected) << "desk " << n;
  }
  const std::string sLog = relay.LogText();
  EXPECT_EQ(CountOf(sLog, "AdmitClient: Connection refused"), 0);
  EXPECT_EQ(CountOf(sLog, "log lines dropped"), 0);
}

// Regression: of 3,000 connections opened within a tenth of a second, 259 accept lines reached the
// log. Desks beyond the 100 slots are accepted, logged and held without a slot.
TEST_F(StormRunTest, BurstOfThreeThousandConnectionsLogsEveryAccept) {
  constexpr int kConnections = 3000;
  if (TFileLimit::Hard() < 2 * kConnections + 200) GTEST_SKIP() << "the descriptor limit is too low for the burst";
  TFileLimit tLimit(2 * kConnections + 200);  // for this process and, inherited, the relay
  StartRelay();
  struct TOpen {
    std::vector<int> vFds;  // closed however the test ends
    ~TOpen() {
      for (int fd : vFds) close(fd);
    }
  } tOpen;
  std::vector<int>& vFds = tOpen.vFds;
  for (int n = 0; n < kConnections; ++n) {
    const int fd = ConnectRaw();
    ASSERT_GE(fd, 0) << "connection " << n;
    vFds.push_back(fd);
  }
  ASSERT_TRUE(WaitForLogState(
      [](const std::string& sLog) { return CountOf(sLog, "socManagerServerAccept: ") >= kConnections; }))
      << CountOf(relay.LogText(), "socManagerServerAccept: ") << " accept lines; "
      << CountOf(relay.LogText(), "log lines dropped") << " dropped-lines lines";
  const std::string sLog = relay.LogText();
  std::map<int, std::vector<std::string>> mapLines = DeskLines(sLog);
  for (int fd : vFds) {
    const std::vector<std::string>& v = mapLines[LocalPortOf(fd)];
    EXPECT_TRUE(!v.empty() && v[0] == "accept") << "no accept line for port " << LocalPortOf(fd);
  }
  EXPECT_EQ(CountOf(sLog, "socManagerServerAccept: "), kConnections);
  EXPECT_EQ(sLog.find("log lines dropped"), std::string::npos);
  for (int fd : vFds) close(fd);
  vFds.clear();
  EXPECT_TRUE(NewDeskServed("AfterTheBurst"));
}

// Regression: under a limit of 64 descriptors, 80 connections made the log writer stop for good
// ("Too many open files"), and the relay served on without any log although the descriptors were
// free again moments later. Now the listener pauses and says why, the writer keeps its lines and
// tries again, and the log tells how long it could not be written.
TEST_F(StormRunTest, DescriptorsRunningOutPauseTheListenerAndTheLogCatchesUp) {
  {
    TFileLimit tLimit(64);  // the relay inherits it
    StartRelay();
  }
  std::vector<std::unique_ptr<TTcpClient>> vClients;
  for (int n = 0; n < 80; ++n) {
    vClients.push_back(std::make_unique<TTcpClient>());
    ASSERT_TRUE(vClients.back()->Connect(nProxyPort)) << "client " << n;  // the kernel completes it
  }
  ASSERT_TRUE(PollUntil([&] { return relay.Process().Stderr().find("the log cannot be written") != std::string::npos; },
                        kStormDeadline));
  EXPECT_NE(relay.Process().Stderr().find("Too many open files"), std::string::npos) << relay.Process().Stderr();
  EXPECT_TRUE(relay.Process().Running());
  vClients.clear();

  // Once descriptors are free, the first write tells of the outage, then the lines kept.
  const std::regex kOutage(R"(ERROR\[000\] TExecLoggerGeneralThread\.Execute: Error: the log could not be written for )"
                           R"(\d+ s \(cannot open [^)]*GENERAL_[-0-9]+\.log: Too many open files\); \d+ lines were )"
                           R"(dropped meanwhile\.)");
  ASSERT_TRUE(PollUntil([&] { return std::regex_search(relay.LogText(), kOutage); }, kStormDeadline))
      << relay.Process().Stderr();
  ASSERT_TRUE(relay.WaitForLog("Accepting connections again after ", kStormDeadline));
  const std::string sLog = relay.LogText();
  EXPECT_NE(sLog.find("Error: cannot accept a connection: Too many open files; trying again every 100 ms (1 failed "
                      "so far)."),
            std::string::npos);
  EXPECT_TRUE(NewDeskServed("AfterTheShortage"));
  EXPECT_TRUE(relay.WaitForLog("MyAppID: AfterTheShortage"));
}

// Regression: an exchange flooding at the simulator's highest rate over 6,000 extensions and 1,000
// queues grew the relay to gigabytes within a minute. With [GENERAL] MAXQUEUEDMB the texts waiting
// in the rings stay within the budget, the refusals are counted in the log, and the relay serves on.
// The last nLines lines of a log, to say why a run failed.
std::string LogTail(const std::string& sLog, int nLines) {
  size_t nAt = sLog.size();
  for (int n = 0; n <= nLines && nAt != std::string::npos && nAt > 0; ++n) nAt = sLog.rfind('\n', nAt - 1);
  return nAt == std::string::npos ? sLog : sLog.substr(nAt + 1);
}

TEST_F(StormRunTest, ExchangeFloodStaysWithinTheQueuedTextBudget) {
  constexpr int64_t kBudgetMb = 8;
  StartRelay("[GENERAL]\r\nMAXQUEUEDMB=" + std::to_string(kBudgetMb) + "\r\n",
             {"--silent", "--generate", "--rate", "0", "--peers", "20001-26000", "--queues", "10001-11000"});
  TTcpClient desk;
  ASSERT_TRUE(desk.Connect(nProxyPort));
  // Subscribed to one flooded queue only: a desk that cannot read as fast as the flood comes would be
  // cut off, and this one must still be there after it.
  ASSERT_TRUE(testsupport::Handshake(desk, "FloodDesk", "10001", "", "800"));
  std::atomic<bool> bStop{false}, bMarkerSeen{false};
  std::thread tReader([&] {
    std::string sTail;  // the end of the last read, in case the marker is cut between two
    while (!bStop && desk.ReadFor(20ms)) {
      const std::string s = sTail + desk.Take();
      if (s.find("Exten: 800\r\n") != std::string::npos) bMarkerSeen = true;
      sTail = s.substr(s.size() > 64 ? s.size() - 64 : 0);
    }
  });
  struct TJoin {
    std::atomic<bool>& bStop;
    std::thread& t;
    ~TJoin() {
      bStop = true;
      t.join();
    }
  } tJoin{bStop, tReader};

  sim.Process().WriteStdin("silent off\n");
  // The log ring itself may drop lines in a flood (each full-ring refusal is a line); any budget
  // line with a count of 1,000 or more will do.
  const std::regex kBudget(R"(MAXQUEUEDMB \()" + std::to_string(kBudgetMb) + R"( MB\) - text dropped, (\d+) so far)");
  int64_t nRefused = 0;
  ASSERT_TRUE(WaitForLogState([&](const std::string& sLog) {
    for (std::sregex_iterator it(sLog.begin(), sLog.end(), kBudget), end; it != end; ++it)
      nRefused = std::max<int64_t>(nRefused, std::stoll((*it)[1]));
    return nRefused >= 1000;
  })) << "the flood passed the budget only " << nRefused << " times";
  sim.Process().WriteStdin("silent on\n");
  const int64_t nPeakKb = ProcStatusKb(relay.Process().Pid(), "VmHWM");
  // The budget, plus what the relay holds besides queued texts: its slot pages, the desk's output
  // queue (at most 4 MiB), the heap's slack. Without the budget the flood passes a gigabyte.
  EXPECT_GT(nPeakKb, 0);
  RecordProperty("relay_peak_kB", std::to_string(nPeakKb));
  EXPECT_LT(nPeakKb, (kBudgetMb + 250) * 1024) << "peak resident memory in kB";

  // The relay serves on: an event for the desk's parking lot, sent after the flood, arrives.
  testsupport::TTempDir dir;
  testsupport::WriteFile(dir.Path() + "/park.txt",
                         "Event: ParkedCall\r\nPrivilege: call,all\r\nFile: features.c\r\nExten: 800\r\n\r\n");
  // While the rings still hold the flood's backlog the budget may refuse it too, as it should: it is
  // sent again every few seconds until one gets through.
  auto tNextSend = std::chrono::steady_clock::now();
  EXPECT_TRUE(PollUntil([&] {
    if (std::chrono::steady_clock::now() >= tNextSend) {
      sim.Process().WriteStdin("send " + dir.Path() + "/park.txt\n");
      tNextSend += 3s;
    }
    return bMarkerSeen.load();
  }, kStormDeadline))
      << "the desk got nothing after the flood; the log ends:\n" << LogTail(relay.LogText(), 40);
  EXPECT_TRUE(relay.Process().Running());
}

}  // namespace
