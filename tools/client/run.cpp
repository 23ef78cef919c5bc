// A run of the CTI client tool; see run.h.
#include "run.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace cticlient {

namespace {

double SecondsBetween(std::chrono::steady_clock::time_point tFrom,
                      std::chrono::steady_clock::time_point tTo) {
  return std::chrono::duration<double>(tTo - tFrom).count();
}

// "[2024-05-01 12:00:00.123456] " in local time.
void AppendReceiveTime(std::string& sOut, int64_t nMicros) {
  const std::time_t nSeconds = static_cast<std::time_t>(nMicros / 1000000);
  std::tm MyTime{};
  localtime_r(&nSeconds, &MyTime);
  char sText[64];
  const size_t nLen = std::strftime(sText, sizeof sText, "[%Y-%m-%d %H:%M:%S", &MyTime);
  std::snprintf(sText + nLen, sizeof sText - nLen, ".%06lld] ",
                static_cast<long long>(nMicros % 1000000));
  sOut += sText;
}

}  // namespace

TClientRun::TClientRun(asio::io_context& MyIoIn, const TClientOptions& MyOptionsIn)
    : MyIo(MyIoIn),
      MyOptions(MyOptionsIn),
      tmrDuration(MyIoIn),
      tmrProgress(MyIoIn),
      sigStop(MyIoIn, SIGINT, SIGTERM) {}

bool TClientRun::Start(std::string& sError) {
  std::error_code ec;
  asio::ip::tcp::resolver MyResolver(MyIo);
  auto vEndpoints = MyResolver.resolve(MyOptions.sHost, std::to_string(MyOptions.nPort), ec);
  if (ec) {
    sError = "cannot resolve " + MyOptions.sHost + ": " + ec.message();
    return false;
  }
  tStart = std::chrono::steady_clock::now();
  const int32_t nClients = std::max(1, MyOptions.nLoad);
  vClients.resize(static_cast<size_t>(nClients));
  for (int32_t i = 0; i < nClients; ++i) {
    THandshakeValues MyValues{MyOptions.sAppId, MyOptions.sToken, MyOptions.vQueues,
                              MyOptions.vPeers, MyOptions.vParks};
    if (IsLoad()) MyValues.sAppId += "-" + std::to_string(i + 1);
    TSessionConfig MyConfig;
    MyConfig.vEndpoints = vEndpoints;
    MyConfig.vSteps = BuildHandshakeSteps(MyValues);
    MyConfig.lstSend = MyOptions.lstSend;
    MyConfig.nStepTimeout = std::chrono::milliseconds(
        static_cast<int64_t>(MyOptions.dHandshakeTimeout * 1000.0 + 0.5));
    MyConfig.nMaxAttempts = IsLoad() ? MyOptions.nRetries + 1 : 1;
    MyConfig.bVerbose = MyOptions.bVerbose;
    MyConfig.sTag = IsLoad() ? "client " + std::to_string(i + 1) : "telvane-client";
    MyConfig.nIndex = i;
    vClients[static_cast<size_t>(i)].MySession =
        std::make_shared<TClientSession>(MyIo, std::move(MyConfig),
                                         static_cast<TClientSessionOwner&>(*this));
  }
  StartTimers();
  for (TClientTally& MyTally : vClients) MyTally.MySession->Start();
  return true;
}

void TClientRun::StartTimers() {
  sigStop.async_wait([this](const std::error_code& ec, int) {
    if (!ec) Finish();
  });
  if (MyOptions.dDuration > 0) {
    tmrDuration.expires_after(std::chrono::microseconds(
        static_cast<int64_t>(MyOptions.dDuration * 1e6)));
    tmrDuration.async_wait([this](const std::error_code& ec) {
      if (!ec) Finish();
    });
  }
  if (MyOptions.bProgress) OnProgressTick();
}

void TClientRun::OnProgressTick() {
  if (bFinished) return;
  if (nFramesAtTick > 0 || nFrames > 0 || nReady > 0) {
    std::fprintf(stderr, "progress: %.1f s, ready %d of %zu, frames %llu, %llu frames/s\n",
                 SecondsBetween(tStart, std::chrono::steady_clock::now()), nReady, vClients.size(),
                 static_cast<unsigned long long>(nFrames),
                 static_cast<unsigned long long>(nFrames - nFramesAtTick));
  }
  nFramesAtTick = nFrames;
  tmrProgress.expires_after(std::chrono::seconds(1));
  tmrProgress.async_wait([this](const std::error_code& ec) {
    if (!ec) OnProgressTick();
  });
}

void TClientRun::SendLine(const std::string& sLine) {
  if (bFinished || vClients.empty()) return;
  vClients.front().MySession->SendCommand(sLine);
}

TClientRun::TClientTally& TClientRun::TallyOf(TClientSession& MySession) {
  return vClients[static_cast<size_t>(MySession.Index())];
}

// Ends the run when no client can do more: every one has ended, or reached --count.
void TClientRun::CheckAllDone() {
  const bool bAllDone = std::all_of(vClients.begin(), vClients.end(), [&](const TClientTally& c) {
    return c.bEnded || (MyOptions.nCount > 0 && c.bReady &&
                        c.nFrames >= static_cast<uint64_t>(MyOptions.nCount));
  });
  if (bAllDone) Finish();
}

void TClientRun::Finish() {
  if (bFinished) return;
  bFinished = true;
  tEnd = std::chrono::steady_clock::now();
  for (TClientTally& MyTally : vClients) MyTally.MySession->Stop();
  tmrDuration.cancel();
  tmrProgress.cancel();
  std::error_code ec;
  sigStop.cancel(ec);
}

void TClientRun::FlushStdout() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    // The reader went away (a closed pipe): nobody is left to print for.
    Finish();
  }
}

// The event's lines with LF line ends, then an empty line between frames.
void TClientRun::PrintFrame(const TFrame& MyFrame, int64_t nReadMicros) {
  sOut.clear();
  if (MyOptions.bTimestamps) AppendReceiveTime(sOut, nReadMicros);
  std::string_view sText = MyFrame.sText;
  while (!sText.empty()) {
    size_t nEnd = sText.find('\n');
    std::string_view sLine = sText.substr(0, nEnd);
    if (!sLine.empty() && sLine.back() == '\r') sLine.remove_suffix(1);
    sOut.append(sLine);
    sOut += '\n';
    sText.remove_prefix(nEnd == std::string_view::npos ? sText.size() : nEnd + 1);
  }
  sOut += '\n';
  std::fwrite(sOut.data(), 1, sOut.size(), stdout);
  FlushStdout();
}

void TClientRun::OnSessionReady(TClientSession& MySession) {
  TClientTally& MyTally = TallyOf(MySession);
  MyTally.bReady = true;
  if (nReady++ == 0) tFirstReady = std::chrono::steady_clock::now();
  ++nSettled;
  if (!bReadyPrinted && nSettled == static_cast<int32_t>(vClients.size())) {
    bReadyPrinted = true;
    std::fputs("READY\n", stdout);
    FlushStdout();
  }
}

void TClientRun::OnSessionFrame(TClientSession& MySession, const TFrame& MyFrame,
                                int64_t nReadMicros) {
  TClientTally& MyTally = TallyOf(MySession);
  ++MyTally.nFrames;
  ++nFrames;
  if (MyFrame.bHasSeq) MyTally.MySeq.Add(MyFrame.nSeq);
  if (MyFrame.bHasSent && MyFrame.nSentMicros <= static_cast<uint64_t>(INT64_MAX))
    MyLatency.Add(nReadMicros - static_cast<int64_t>(MyFrame.nSentMicros));
  if (!IsLoad() && !MyOptions.bQuiet) PrintFrame(MyFrame, nReadMicros);
  if (MyOptions.nCount > 0 && MyTally.nFrames == static_cast<uint64_t>(MyOptions.nCount))
    CheckAllDone();
}

void TClientRun::OnSessionGoingDown(TClientSession& MySession) {
  ++nGoingDown;
  if (IsLoad()) {
    if (MyOptions.bVerbose) std::fprintf(stderr, "%s: %s\n", MySession.Tag().c_str(), GOING_DOWN_NOTICE.data());
    return;
  }
  std::FILE* pTarget = MyOptions.bQuiet ? stderr : stdout;
  std::fprintf(pTarget, "%s\n", GOING_DOWN_NOTICE.data());
  if (pTarget == stdout) FlushStdout();
}

void TClientRun::OnSessionDropped(TClientSession& MySession, size_t nBytes, bool bAtClose) {
  ++nDropped;
  if (bAtClose)
    std::fprintf(stderr, "%s: connection closed inside a frame; %zu bytes dropped\n",
                 MySession.Tag().c_str(), nBytes);
  else
    std::fprintf(stderr, "%s: frame of %zu bytes dropped: over the %zu MiB bound\n",
                 MySession.Tag().c_str(), nBytes, MAX_FRAME_BYTES_DEFAULT >> 20);
}

void TClientRun::OnSessionRetry(TClientSession& MySession, const std::string& sWhy) {
  std::fprintf(stderr, "%s: %s; retrying from the greeting (attempt %d of %d)\n",
               MySession.Tag().c_str(), sWhy.c_str(), MySession.Attempts() + 1,
               MyOptions.nRetries + 1);
}

void TClientRun::OnSessionEnded(TClientSession& MySession, TSessionEnd_OPT tEnd,
                                const std::string& sWhy) {
  TClientTally& MyTally = TallyOf(MySession);
  MyTally.bEnded = true;
  if (tEnd == SESSION_END_FAILED || tEnd == SESSION_END_LOST) {
    std::fprintf(stderr, "%s: %s\n", MySession.Tag().c_str(), sWhy.c_str());
    if (tEnd == SESSION_END_FAILED || !IsLoad()) nExitCode = 1;
  } else if (MyOptions.bVerbose) {
    std::fprintf(stderr, "%s: %s\n", MySession.Tag().c_str(), sWhy.c_str());
  }
  if (tEnd == SESSION_END_FAILED && ++nSettled == static_cast<int32_t>(vClients.size()) &&
      nReady > 0 && !bReadyPrinted) {
    bReadyPrinted = true;
    std::fputs("READY\n", stdout);
    FlushStdout();
  }
  CheckAllDone();
}

TRunTotals TClientRun::Totals() const {
  TRunTotals MyTotals;
  MyTotals.nClients = static_cast<int32_t>(vClients.size());
  MyTotals.nReady = nReady;
  MyTotals.nFrames = nFrames;
  MyTotals.dSeconds = nReady > 0 ? SecondsBetween(tFirstReady, tEnd) : 0.0;
  MyTotals.nGoingDown = nGoingDown;
  MyTotals.nDropped = nDropped;
  MyTotals.bExpectSeq = MyOptions.bExpectSeq;
  MyTotals.nExpectFirst = MyOptions.nExpectFirst;
  MyTotals.nExpectLast = MyOptions.nExpectLast;
  bool bFirst = true;
  for (const TClientTally& MyTally : vClients) {
    MyTotals.nRetries += std::max(0, MyTally.MySession->Attempts() - 1);
    if (!MyTally.bReady) continue;  // never subscribed: reported as not ready instead
    MyTotals.nFramesMin = bFirst ? MyTally.nFrames : std::min(MyTotals.nFramesMin, MyTally.nFrames);
    MyTotals.nFramesMax = std::max(MyTotals.nFramesMax, MyTally.nFrames);
    bFirst = false;
    MyTotals.nLost += MyOptions.bExpectSeq
                          ? MyTally.MySeq.LostIn(MyOptions.nExpectFirst, MyOptions.nExpectLast)
                          : MyTally.MySeq.LostBetweenSeen();
    MyTotals.nDuplicates += MyTally.MySeq.Duplicates();
    MyTotals.nUntracked += MyTally.MySeq.Untracked();
  }
  return MyTotals;
}

void TClientRun::PrintEnd() {
  if (!bFinished) tEnd = std::chrono::steady_clock::now();
  if (!IsLoad() && !MyOptions.bQuiet) return;
  if (!IsLoad() && nReady == 0) return;  // the failure is already on stderr
  const TRunTotals MyTotals = Totals();
  const std::string sText =
      IsLoad() ? FormatReport(MyTotals, MyLatency) : FormatResultLine(MyTotals, MyLatency) + "\n";
  std::fputs(sText.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace cticlient
