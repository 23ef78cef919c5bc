// Fault runs: the relay binary under a steady stream of events while something around it goes
// wrong. The exchange is killed and restarted, falls silent, clients vanish in the middle of a
// fan-out, one client never reads, a 101st client knocks, the log folder stops taking writes, and
// a steady stream runs long enough for the rings' positions to wrap.
// After each fault the relay must still run, every client in the running state must still get
// its events, and nothing the relay accepted may be lost beyond what the design drops on purpose
// (events of a client cut off for not reading, events of a client that was not yet running).
//
// How loss is seen: every event carries the simulator's TelvaneSeq stamp and a "Batch:" field
// naming the replay file it came from; the clients are subscribed to every queue used, so each
// running client must receive, per batch, the stamps 1..n without a gap or a repeat. Events
// are queue events only: nothing between them and the clients holds any back.
//
// Threads: the test thread drives the processes; one reader thread per client pool drains every
// pooled socket, so that no test client stalls the relay unless it is meant to. Ports come from
// the OS; everything is on 127.0.0.1. Each case runs as its own process under CTest.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::CountOf;
using testsupport::PollUntil;
using testsupport::TExchangeSim;
using testsupport::TRelay;
using testsupport::TTcpClient;
using testsupport::TTempDir;

const char* const kAmiLoggedIn = "Cliente conectado e recebendo eventos do servidor AMI";
constexpr auto kReconnectDeadline = 60s;  // a reconnection takes 5-10 s; the machine may be slow

int EnvCount(const char* sName, int nDefault) {
  const char* sValue = std::getenv(sName);
  return sValue != nullptr && std::atoi(sValue) > 0 ? std::atoi(sValue) : nDefault;
}

// nCount queue events for queues 10001.. round robin, each tagged "Batch: sBatch", with a filler
// field of nPad bytes; CR LF line ends, a blank line after each.
std::string QueueEvents(const std::string& sBatch, int nQueues, int nCount, size_t nPad = 0) {
  std::string sText;
  for (int n = 0; n < nCount; ++n) {
    sText += "Event: QueueMemberStatus\r\nPrivilege: agent,all\r\nFile: app_queue.c\r\nQueue: " +
             std::to_string(10001 + n % nQueues) + "\r\nBatch: " + sBatch + "\r\n";
    if (nPad > 0) sText += "Note: " + std::string(nPad, 'x') + "\r\n";
    sText += "Status: 1\r\n\r\n";
  }
  return sText;
}

// The client handshake for queues 10001..10000+nQueues, each reply awaited at most tStep (a
// connection without a slot is never answered).
bool HandshakeWithin(TTcpClient& tClient, int nQueues, std::chrono::milliseconds tStep) {
  std::string sQueues;
  for (int n = 0; n < nQueues; ++n) sQueues += (n > 0 ? "," : "") + std::to_string(10001 + n);
  return testsupport::Handshake(tClient, "Fault", sQueues, "", "", tStep);
}

// ---- Clients whose every received frame is read and filed by batch ----

class TClientPool {
 public:
  TClientPool() : tReader([this] { ReadLoop(); }) {}
  ~TClientPool() {
    bStop = true;
    tReader.join();
  }

  // Connects, completes the handshake for queues 10001..10000+nQueues; index, or -1.
  int Add(int nPort, int nQueues, std::chrono::milliseconds tStep = testsupport::kDeadline) {
    auto pClient = std::make_unique<TTcpClient>();
    if (!pClient->Connect(nPort) || !HandshakeWithin(*pClient, nQueues, tStep)) return -1;
    return Adopt(std::move(pClient));
  }
  // Takes a connected client as it is (for one that never gets a slot).
  int Adopt(std::unique_ptr<TTcpClient> pClient) {
    std::lock_guard<std::mutex> lock(crsClients);
    TState tState;
    tState.pClient = std::move(pClient);
    vClients.push_back(std::move(tState));
    return static_cast<int>(vClients.size()) - 1;
  }
  // Closes a client at once; with bReset the peer sees a reset instead of an orderly close.
  void Drop(int nIndex, bool bReset) {
    std::lock_guard<std::mutex> lock(crsClients);
    TState& t = vClients[static_cast<size_t>(nIndex)];
    if (bReset) t.pClient->Reset();
    else t.pClient->Close();
    t.bDropped = true;
  }
  std::vector<int> Live() {
    std::lock_guard<std::mutex> lock(crsClients);
    std::vector<int> v;
    for (size_t n = 0; n < vClients.size(); ++n)
      if (!vClients[n].bDropped) v.push_back(static_cast<int>(n));
    return v;
  }
  size_t Bytes(int nIndex) {
    std::lock_guard<std::mutex> lock(crsClients);
    return vClients[static_cast<size_t>(nIndex)].nBytes;
  }
  // Distinct stamps of sBatch a client got within nFirst..nLast.
  int64_t CountIn(int nIndex, const std::string& sBatch, uint64_t nFirst, uint64_t nLast) {
    std::lock_guard<std::mutex> lock(crsClients);
    std::vector<uint64_t> v = SeqsOf(nIndex, sBatch);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return std::count_if(v.begin(), v.end(), [&](uint64_t n) { return n >= nFirst && n <= nLast; });
  }
  bool WaitComplete(const std::vector<int>& vWho, const std::string& sBatch, uint64_t nFirst,
                    uint64_t nLast, std::chrono::milliseconds tTimeout = 60s) {
    return PollUntil([&] {
      for (int n : vWho)
        if (CountIn(n, sBatch, nFirst, nLast) != static_cast<int64_t>(nLast - nFirst + 1)) return false;
      return true;
    }, tTimeout);
  }
  bool WaitAtLeast(const std::vector<int>& vWho, const std::string& sBatch, int64_t nCount,
                   std::chrono::milliseconds tTimeout) {
    return PollUntil([&] {
      for (int n : vWho)
        if (CountIn(n, sBatch, 1, UINT64_MAX) < nCount) return false;
      return true;
    }, tTimeout);
  }
  // Empty when the client's stamps of sBatch are exactly nFirst..max, each once; else what is wrong.
  std::string Gaps(int nIndex, const std::string& sBatch, uint64_t nFirst) {
    std::lock_guard<std::mutex> lock(crsClients);
    std::vector<uint64_t> v = SeqsOf(nIndex, sBatch);
    std::sort(v.begin(), v.end());
    for (size_t n = 0; n < v.size(); ++n) {
      if (v[n] != nFirst + n)
        return "client " + std::to_string(nIndex) + ", batch " + sBatch + ": expected stamp " +
               std::to_string(nFirst + n) + ", found " + std::to_string(v[n]) + " (" +
               std::to_string(v.size()) + " received)";
    }
    return "";
  }
  std::vector<std::string> Batches() {
    std::lock_guard<std::mutex> lock(crsClients);
    std::vector<std::string> v;
    for (const TState& t : vClients)
      for (const auto& [sBatch, vSeqs] : t.mapSeqs)
        if (std::find(v.begin(), v.end(), sBatch) == v.end()) v.push_back(sBatch);
    return v;
  }

 private:
  struct TState {
    std::unique_ptr<TTcpClient> pClient;               // the connection
    bool bDropped = false;                             // closed by the test
    bool bEnded = false;                               // closed by the relay; still counted live
    size_t nBytes = 0;                                 // bytes received after the handshake
    std::string sPending;                              // text after the last complete frame
    std::map<std::string, std::vector<uint64_t>> mapSeqs;  // stamps received, by batch
  };

  std::vector<uint64_t> SeqsOf(int nIndex, const std::string& sBatch) {  // caller holds crsClients
    const auto& mapSeqs = vClients[static_cast<size_t>(nIndex)].mapSeqs;
    const auto it = mapSeqs.find(sBatch);
    return it == mapSeqs.end() ? std::vector<uint64_t>{} : it->second;
  }

  // A frame may hold two events when the relay joined a cut event to the next connection's text;
  // each "Event:" part is filed on its own. A value counts only with its line end (not cut off).
  static std::string FieldValue(const std::string& sPart, const std::string& sKey) {
    const size_t nAt = sPart.find(sKey);
    if (nAt == std::string::npos) return "";
    const size_t nEnd = sPart.find("\r\n", nAt);
    return nEnd == std::string::npos ? "" : sPart.substr(nAt + sKey.size(), nEnd - nAt - sKey.size());
  }
  static void FileFrame(const std::string& sFrame, TState& t) {
    for (size_t nAt = sFrame.find("Event: "); nAt != std::string::npos;) {
      const size_t nNext = sFrame.find("Event: ", nAt + 1);
      const std::string sPart = sFrame.substr(nAt, nNext == std::string::npos ? std::string::npos : nNext - nAt);
      const std::string sBatch = FieldValue(sPart, "Batch: "), sSeq = FieldValue(sPart, "TelvaneSeq: ");
      if (!sBatch.empty() && !sSeq.empty()) t.mapSeqs[sBatch].push_back(std::stoull(sSeq));
      nAt = nNext;
    }
  }
  void Drain(TState& t) {
    char vBuffer[65536];
    for (int nRound = 0; nRound < 64; ++nRound) {
      const ssize_t n = recv(t.pClient->Fd(), vBuffer, sizeof vBuffer, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) t.bEnded = true;
      if (n <= 0) return;
      t.nBytes += static_cast<size_t>(n);
      t.sPending.append(vBuffer, static_cast<size_t>(n));
    }
  }
  void ReadLoop() {
    while (!bStop) {
      std::vector<pollfd> vPoll;
      {
        std::lock_guard<std::mutex> lock(crsClients);
        for (const TState& t : vClients)
          if (!t.bDropped && !t.bEnded) vPoll.push_back(pollfd{t.pClient->Fd(), POLLIN, 0});
      }
      poll(vPoll.data(), vPoll.size(), 10);
      std::lock_guard<std::mutex> lock(crsClients);
      for (TState& t : vClients) {
        if (t.bDropped || t.bEnded) continue;
        Drain(t);
        for (size_t nEnd = t.sPending.find("\r\n\r\n"); nEnd != std::string::npos; nEnd = t.sPending.find("\r\n\r\n")) {
          FileFrame(t.sPending.substr(0, nEnd + 2), t);
          t.sPending.erase(0, nEnd + 4);
        }
      }
    }
  }

  std::mutex crsClients;         // guards vClients
  std::vector<TState> vClients;  // by index; never shrinks
  std::atomic<bool> bStop{false};
  std::thread tReader;           // declared last: starts after the members it uses
};

// ---- The rig: relay, simulator on a fixed port, event files ----

class FaultRunTest : public ::testing::Test {
 protected:
  // Starts the simulator on nPort (0: any) with the given options; false if it never listened.
  bool StartExchange(int nPort, const std::vector<std::string>& vOptions) {
    for (int nTry = 0; nTry < 5; ++nTry) {
      pExchange = std::make_unique<TExchangeSim>();
      pExchange->SetPort(nPort);
      std::vector<std::string> vArgs = {"--verbose"};
      vArgs.insert(vArgs.end(), vOptions.begin(), vOptions.end());
      if (pExchange->Start(vArgs) && pExchange->Process().Running()) {
        nExchangePort = pExchange->Port();
        return true;
      }
    }
    return false;
  }
  void KillExchange() {
    pExchange->Process().Signal(SIGKILL);
    pExchange->Process().WaitExit();
  }
  void ExchangeCommand(const std::string& sLine) { pExchange->Process().WriteStdin(sLine + "\n"); }

  bool StartRelay() {
    nProxyPort = testsupport::FreePort();
    relay.WriteConfig(testsupport::RelayConfig(nExchangePort, nProxyPort, sPacingConfig));
    return relay.Start() && relay.WaitForLog(kAmiLoggedIn, kReconnectDeadline);
  }
  int RelayLogins() { return CountOf(relay.LogText(), kAmiLoggedIn); }

  std::string WriteEvents(const std::string& sBatch, int nQueues, int nCount, size_t nPad = 0) {
    const std::string sPath = dirFiles.Path() + "/" + sBatch + ".txt";
    testsupport::WriteFile(sPath, QueueEvents(sBatch, nQueues, nCount, nPad));
    return sPath;
  }
  // Every live client got every stamp of every batch from 1 on without a gap or a repeat.
  void ExpectNoGaps(TClientPool& tPool, const std::vector<std::string>& vBatches) {
    for (int n : tPool.Live())
      for (const std::string& sBatch : vBatches) EXPECT_EQ(tPool.Gaps(n, sBatch, 1), "");
  }

  TTempDir dirFiles;                    // replay files
  std::unique_ptr<TExchangeSim> pExchange;  // the current simulator
  int nExchangePort = 0;                // its port, kept across restarts
  TRelay relay;
  int nProxyPort = 0;                   // the relay's client port
  std::string sPacingConfig;            // appended to the relay's configuration; empty: PASS
};

// The runs that are not about the paced stages' own timing hold under either pacing.
class FaultRunPacedTest : public FaultRunTest, public ::testing::WithParamInterface<const char*> {
 protected:
  FaultRunPacedTest() { sPacingConfig = std::string("[GENERAL]\r\nPACING=") + GetParam() + "\r\n"; }
};

const auto kPacings = ::testing::Values("PASS", "EVENT");

// The exchange dies (SIGKILL) and comes back on the same port: first a few times with every
// reconnection awaited and checked, then 50 times in quick succession. A reconnection takes 5-10 s
// by design, so the quick restarts cannot each wait for one: most find the relay waiting to
// reconnect, and the few that meet its connection kill the exchange in a different state each
// time (streaming, events cut into pieces, greeting never sent, login refused, connection closed
// on accept). The relay must come through them all, reconnect at the end and have lost nothing
// it read. TELVANE_FAULT_RESTARTS and TELVANE_FAULT_AWAITED_RESTARTS raise the counts.
TEST_P(FaultRunPacedTest, ExchangeKilledAndRestartedUnderLoad) {
  const int nQuick = EnvCount("TELVANE_FAULT_RESTARTS", 50);
  const int nAwaited = EnvCount("TELVANE_FAULT_AWAITED_RESTARTS", 2);
  constexpr int kQueues = 40;  // 200 events/s over 40 queues: 5 per queue and second
  auto fnOptions = [&](int nGeneration, std::vector<std::string> vExtra) {
    std::vector<std::string> v = {"--replay", WriteEvents("g" + std::to_string(nGeneration), kQueues, kQueues * 10),
                                  "--repeat", "0", "--rate", "200", "--stamp"};
    v.insert(v.end(), vExtra.begin(), vExtra.end());
    return v;
  };
  ASSERT_TRUE(StartExchange(0, fnOptions(0, {"--silent"})));  // no event before the clients run
  ASSERT_TRUE(StartRelay());
  TClientPool tPool;
  for (int n = 0; n < 3; ++n) ASSERT_GE(tPool.Add(nProxyPort, kQueues), 0);
  ExchangeCommand("silent off");
  ASSERT_TRUE(tPool.WaitAtLeast(tPool.Live(), "g0", 50, 20s));

  int nGeneration = 0;
  for (int n = 1; n <= nAwaited; ++n) {
    const int nLogins = RelayLogins();
    KillExchange();
    ASSERT_TRUE(StartExchange(nExchangePort, fnOptions(++nGeneration, {})));
    ASSERT_TRUE(PollUntil([&] { return RelayLogins() > nLogins; }, kReconnectDeadline)) << "restart " << n;
    ASSERT_TRUE(tPool.WaitAtLeast(tPool.Live(), "g" + std::to_string(nGeneration), 50, 20s)) << "restart " << n;
    ASSERT_TRUE(relay.Process().Running());
  }
  const std::vector<std::vector<std::string>> vStates = {
      {}, {"--cut-random", "--cut-pause", "0"}, {"--no-greeting"}, {"--refuse-login"}, {"--close-on-connect"}};
  size_t nMet = 0;  // quick restarts whose exchange saw the relay connect
  bool bStreams = true;  // the current exchange sends events to a relay that logs in
  for (int n = 1; n <= nQuick; ++n) {
    KillExchange();
    const std::vector<std::string>& vState = vStates[nMet % vStates.size()];
    bStreams = vState.empty() || vState[0] == "--cut-random";
    ASSERT_TRUE(StartExchange(nExchangePort, fnOptions(++nGeneration, vState)));
    const std::string sBatch = "g" + std::to_string(nGeneration);
    if (!PollUntil([&] { return pExchange->Process().Stderr().find("connection from") != std::string::npos; },
                   std::chrono::milliseconds(900 + n * 37 % 600)))
      continue;
    ++nMet;
    if (bStreams)  // kill while events flow
      PollUntil([&] { return tPool.CountIn(0, sBatch, 1, UINT64_MAX) > 0; }, 5s);
    ASSERT_TRUE(relay.Process().Running()) << "after quick restart " << n;
  }
  if (!bStreams) {  // the last one would never let events through: one that does
    KillExchange();
    ASSERT_TRUE(StartExchange(nExchangePort, fnOptions(++nGeneration, {})));
  }
  const std::string sFinal = "g" + std::to_string(nGeneration);
  EXPECT_TRUE(tPool.WaitAtLeast(tPool.Live(), sFinal, 50, kReconnectDeadline)) << "no events after the last restart";
  EXPECT_TRUE(relay.Process().Running());
  ExpectNoGaps(tPool, tPool.Batches());
}

// A steady 3,000 events/s over 1,000 queues (3 per queue and second, well within the pacing)
// for 30,000 events: the global queue ring's positions wrap twice on the way. A stage that judges
// its backlog by the write position minus the read position without correcting for the wrap sees
// a negative backlog once the write position has wrapped, naps 100 ms per event, lets the ring
// fill, and then stays at ten events per second while the splitter's pushes are refused.
TEST_F(FaultRunTest, GlobalStageKeepsPaceOnceItsRingWraps) {
  constexpr int kQueues = 1000, kEvents = 30000;
  ASSERT_TRUE(StartExchange(0, {"--silent", "--stamp", "--replay", WriteEvents("stream", kQueues, kEvents),
                                "--rate", "3000"}));
  ASSERT_TRUE(StartRelay());
  TClientPool tPool;
  ASSERT_GE(tPool.Add(nProxyPort, kQueues), 0);
  ExchangeCommand("silent off");
  EXPECT_TRUE(tPool.WaitComplete(tPool.Live(), "stream", 1, kEvents, 60s))
      << tPool.CountIn(0, "stream", 1, kEvents) << " of " << kEvents << " delivered; full-ring lines: "
      << CountOf(relay.LogText(), "FIFO FULL");
  ExpectNoGaps(tPool, {"stream"});
  EXPECT_TRUE(relay.Process().Running());
}

// The exchange stops sending. If it still answers the probe, the relay keeps its connection; if
// it answers nothing, the relay drops the connection after two quiet periods and logs in again.
// Either way the clients get every event sent afterwards.
struct TSilentCase {
  const char* sName;
  bool bAnswersProbe;  // the simulator answers "Action: Command"
  const char* sPacing;  // [GENERAL] PACING
};

void PrintTo(const TSilentCase& tCase, std::ostream* pOut) { *pOut << tCase.sName; }

class SilentExchangeTest : public FaultRunTest, public ::testing::WithParamInterface<TSilentCase> {
 protected:
  SilentExchangeTest() { sPacingConfig = std::string("[GENERAL]\r\nPACING=") + GetParam().sPacing + "\r\n"; }
};

TEST_P(SilentExchangeTest, ClientsGetEveryEventAfterTheSilence) {
  std::vector<std::string> vOptions = {"--silent", "--stamp"};
  if (!GetParam().bAnswersProbe) vOptions.push_back("--no-answer-keepalive");
  ASSERT_TRUE(StartExchange(0, vOptions));
  ASSERT_TRUE(StartRelay());
  TClientPool tPool;
  for (int n = 0; n < 3; ++n) ASSERT_GE(tPool.Add(nProxyPort, 20), 0);
  ExchangeCommand("send " + WriteEvents("before", 20, 200));
  ASSERT_TRUE(tPool.WaitComplete(tPool.Live(), "before", 1, 200));

  const std::string sProbe = "s) - Step 1.", sDrop = "s) - Step 2.";
  if (GetParam().bAnswersProbe) {
    // Two probes in a row, each answered: the quiet count started over in between.
    ASSERT_TRUE(PollUntil([&] { return CountOf(relay.LogText(), sProbe) >= 2; }, 40s));
    EXPECT_EQ(CountOf(relay.LogText(), sDrop), 0);
    EXPECT_EQ(RelayLogins(), 1);
  } else {
    ASSERT_TRUE(relay.WaitForLog(sDrop, 40s));
    ASSERT_TRUE(PollUntil([&] { return RelayLogins() == 2; }, kReconnectDeadline));
  }
  ExchangeCommand("send " + WriteEvents("after", 20, 200));
  EXPECT_TRUE(tPool.WaitComplete(tPool.Live(), "after", 201, 400));
  EXPECT_TRUE(relay.Process().Running());
  ExpectNoGaps(tPool, {"before"});
  for (int n : tPool.Live()) EXPECT_EQ(tPool.Gaps(n, "after", 201), "");
}

INSTANTIATE_TEST_SUITE_P(FaultRuns, SilentExchangeTest,
                         ::testing::Values(TSilentCase{"AnswersProbe", true, "PASS"},
                                           TSilentCase{"AnswersNothing", false, "PASS"},
                                           TSilentCase{"AnswersProbeEventPacing", true, "EVENT"},
                                           TSilentCase{"AnswersNothingEventPacing", false, "EVENT"}),
                         [](const auto& tInfo) { return std::string(tInfo.param.sName); });

// Clients come and go, by orderly close and by reset, while the relay is writing an event to all
// of them. The clients that stay get the whole stream; those still connected at the end get the
// next batch whole.
TEST_P(FaultRunPacedTest, ClientsDroppingMidFanOut) {
  constexpr int kQueues = 50, kEvents = 2000;  // 400 events/s: 8 per queue and second
  ASSERT_TRUE(StartExchange(0, {"--silent", "--stamp", "--replay", WriteEvents("stream", kQueues, kEvents, 512),
                                "--rate", "400"}));
  ASSERT_TRUE(StartRelay());
  TClientPool tPool;
  std::vector<int> vSteady, vChurn;
  for (int n = 0; n < 6; ++n) vSteady.push_back(tPool.Add(nProxyPort, kQueues));
  for (int n = 0; n < 30; ++n) vChurn.push_back(tPool.Add(nProxyPort, kQueues));
  ASSERT_EQ(std::count(vSteady.begin(), vSteady.end(), -1) + std::count(vChurn.begin(), vChurn.end(), -1), 0);
  ExchangeCommand("silent off");

  for (int nRound = 1; nRound <= 8; ++nRound) {
    // Spread the rounds over the stream: round r once the steady clients are r/10 through it.
    ASSERT_TRUE(tPool.WaitAtLeast(vSteady, "stream", kEvents * nRound / 10, 60s)) << "round " << nRound;
    for (int n = 0; n < 10; ++n) {
      tPool.Drop(vChurn.front(), n % 2 == 0);
      vChurn.erase(vChurn.begin());
    }
    for (int n = 0; n < 10; ++n) {
      const int nIndex = tPool.Add(nProxyPort, kQueues);
      ASSERT_GE(nIndex, 0) << "round " << nRound;
      vChurn.push_back(nIndex);
    }
    ASSERT_TRUE(relay.Process().Running());
  }
  EXPECT_TRUE(tPool.WaitComplete(vSteady, "stream", 1, kEvents));
  for (int n : vSteady) EXPECT_EQ(tPool.Gaps(n, "stream", 1), "");
  ExchangeCommand("send " + WriteEvents("final", kQueues, 100));
  EXPECT_TRUE(tPool.WaitComplete(tPool.Live(), "final", kEvents + 1, kEvents + 100));
  EXPECT_TRUE(relay.Process().Running());
}

// A client that completes the handshake and then never reads: its output piles up until the relay
// cuts it off, and meanwhile the clients that read get the whole stream.
TEST_P(FaultRunPacedTest, ClientThatNeverReadsIsCutOffWhileOthersKeepUp) {
  constexpr int kQueues = 200, kEvents = 5000;  // 4 KiB events at 1,000/s: 4 MiB/s to each client
  ASSERT_TRUE(StartExchange(0, {"--silent", "--stamp", "--replay", WriteEvents("stream", kQueues, kEvents, 4096),
                                "--rate", "1000"}));
  ASSERT_TRUE(StartRelay());
  TTcpClient tSleeper;
  ASSERT_TRUE(tSleeper.Connect(nProxyPort));
  ASSERT_TRUE(HandshakeWithin(tSleeper, kQueues, testsupport::kDeadline));
  TClientPool tPool;
  for (int n = 0; n < 3; ++n) ASSERT_GE(tPool.Add(nProxyPort, kQueues), 0);
  ExchangeCommand("silent off");

  EXPECT_TRUE(tPool.WaitComplete(tPool.Live(), "stream", 1, kEvents, 120s));
  ExpectNoGaps(tPool, {"stream"});
  // The sleeper wakes up: what it finds ends with the relay's close, well short of the stream.
  EXPECT_TRUE(tSleeper.WaitClosed(30s)) << "the relay never cut off the client that does not read";
  EXPECT_LT(tSleeper.Received().size(), static_cast<size_t>(kEvents) * 4096);
  EXPECT_TRUE(relay.Process().Running());
  // The relay still serves newcomers.
  const int nLate = tPool.Add(nProxyPort, kQueues);
  ASSERT_GE(nLate, 0);
  ExchangeCommand("send " + WriteEvents("final", kQueues, kQueues));
  EXPECT_TRUE(tPool.WaitComplete(tPool.Live(), "final", kEvents + 1, kEvents + kQueues));
}

// 100 clients fill the table; the 101st is accepted but never answered and never sent anything,
// not even after a slot frees up. A new connection takes that slot. All under a stream of events.
TEST_P(FaultRunPacedTest, HundredAndOneClientsUnderLoad) {
  constexpr int kQueues = 20;
  ASSERT_TRUE(StartExchange(0, {"--silent", "--stamp", "--replay", WriteEvents("stream", kQueues, 1000),
                                "--rate", "100"}));
  ASSERT_TRUE(StartRelay());
  TClientPool tPool;
  for (int n = 0; n < 100; ++n) ASSERT_GE(tPool.Add(nProxyPort, kQueues), 0) << "client " << n + 1;
  auto pExtra = std::make_unique<TTcpClient>();
  ASSERT_TRUE(pExtra->Connect(nProxyPort));
  ASSERT_TRUE(pExtra->Send("Hi, lets connect...\r\n"));
  const int nExtra = tPool.Adopt(std::move(pExtra));
  ExchangeCommand("silent off");

  std::vector<int> vRunning = tPool.Live();
  vRunning.erase(std::find(vRunning.begin(), vRunning.end(), nExtra));
  ASSERT_TRUE(tPool.WaitAtLeast(vRunning, "stream", 100, 60s));
  tPool.Drop(vRunning.front(), false);
  vRunning.erase(vRunning.begin());
  // Until the relay has seen the close, a newcomer finds the table full and is never answered.
  int nNewcomer = -1;
  PollUntil([&] { return (nNewcomer = tPool.Add(nProxyPort, kQueues, 2s)) >= 0; }, 60s);
  ASSERT_GE(nNewcomer, 0) << "the freed slot was not given to a new connection";

  EXPECT_TRUE(tPool.WaitComplete(vRunning, "stream", 1, 1000, 120s));
  for (int n : vRunning) EXPECT_EQ(tPool.Gaps(n, "stream", 1), "");
  ExchangeCommand("send " + WriteEvents("final", kQueues, kQueues));
  vRunning.push_back(nNewcomer);
  EXPECT_TRUE(tPool.WaitComplete(vRunning, "final", 1001, 1000 + kQueues));
  EXPECT_EQ(tPool.Bytes(nExtra), 0u) << "the 101st client was sent something";
  EXPECT_TRUE(relay.Process().Running());
}

// The log stops taking writes while the relay runs. Logging is the relay's only report, but it
// must not hold anything up: with the log ring full, clients still connect, go through the
// handshake (which logs a dozen lines each) and get every event.
TEST_P(FaultRunPacedTest, LogFolderMadeReadOnlyWhileRunning) {
  constexpr int kQueues = 20;
  ASSERT_TRUE(StartExchange(0, {"--silent", "--stamp"}));
  ASSERT_TRUE(StartRelay());
  TClientPool tPool;
  for (int n = 0; n < 3; ++n) ASSERT_GE(tPool.Add(nProxyPort, kQueues), 0);
  ExchangeCommand("send " + WriteEvents("before", kQueues, 200));
  ASSERT_TRUE(tPool.WaitComplete(tPool.Live(), "before", 1, 200));

  // Read-only folder and file; and, because permissions do not stop a privileged user, the
  // day's file moved aside and a folder of its name in its place, which nobody can append to.
  // The writer may create the file again between the two steps; then move that one aside too.
  namespace fs = std::filesystem;
  const std::string sLog = relay.LogPath(), sLogDir = relay.Dir() + "/Log";
  std::error_code ec;
  for (int n = 0; n < 100 && !fs::is_directory(sLog); ++n) {
    fs::rename(sLog, sLog + ".saved" + std::to_string(n), ec);
    fs::create_directory(sLog, ec);
  }
  ASSERT_TRUE(fs::is_directory(sLog));
  for (const auto& tEntry : fs::directory_iterator(sLogDir))
    if (!tEntry.is_directory()) fs::permissions(tEntry.path(), fs::perms::owner_read | fs::perms::group_read);
  fs::permissions(sLogDir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec);

  // More client traffic than the log ring holds lines (each handshake logs about a dozen).
  for (int n = 0; n < 50; ++n) {
    TTcpClient tVisitor;
    ASSERT_TRUE(tVisitor.Connect(nProxyPort)) << "visitor " << n;
    ASSERT_TRUE(HandshakeWithin(tVisitor, 1, testsupport::kDeadline)) << "visitor " << n;
  }
  ExchangeCommand("send " + WriteEvents("after", kQueues, 200));
  const int nLate = tPool.Add(nProxyPort, kQueues);
  EXPECT_GE(nLate, 0);
  EXPECT_TRUE(tPool.WaitComplete({0, 1, 2}, "after", 201, 400));
  ExchangeCommand("send " + WriteEvents("final", kQueues, kQueues));
  EXPECT_TRUE(tPool.WaitComplete(tPool.Live(), "final", 401, 400 + kQueues));
  EXPECT_TRUE(relay.Process().Running());
  ExpectNoGaps(tPool, {"before"});
}

INSTANTIATE_TEST_SUITE_P(FaultRuns, FaultRunPacedTest, kPacings,
                         [](const ::testing::TestParamInfo<const char*>& t) { return std::string(t.param); });

}  // namespace
