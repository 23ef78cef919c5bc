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
  std::tm tTime{};
  localtime_r(&nSeconds, &tTime);
  char sText[64];
  const size_t nLen = std::strftime(sText, sizeof sText, "[%Y-%m-%d %H:%M:%S", &tTime);
  std::snprintf(sText + nLen, sizeof sText - nLen, ".%06lld] ",
                static_cast<long long>(nMicros % 1000000));
  sOut += sText;
}

}  // namespace

void AppendFrameText(std::string& sOut, const TFrame& tFrame, int64_t nReadMicros, bool bTimestamps) {
  if (bTimestamps) AppendReceiveTime(sOut, nReadMicros);
  std::string_view sText = tFrame.sText;
  while (!sText.empty()) {
    size_t nEnd = sText.find('\n');
    std::string_view sLine = sText.substr(0, nEnd);
    if (!sLine.empty() && sLine.back() == '\r') sLine.remove_suffix(1);
    sOut.append(sLine);
    sOut += '\n';
    sText.remove_prefix(nEnd == std::string_view::npos ? sText.size() : nEnd + 1);
  }
  sOut += '\n';
}

TClientRun::TClientRun(asio::io_context& tNewIo, const TClientOptions& tNewOptions)
    : tIo(tNewIo),
      tOptions(tNewOptions),
      tDurationTimer(tNewIo),
      tProgressTimer(tNewIo),
      tSignals(tNewIo, SIGINT, SIGTERM) {}

bool TClientRun::Start(std::string& sError) {
  std::error_code tError;
  asio::ip::tcp::resolver tResolver(tIo);
  auto vEndpoints = tResolver.resolve(tOptions.sHost, std::to_string(tOptions.nPort), tError);
  if (tError) {
    sError = "cannot resolve " + tOptions.sHost + ": " + tError.message();
    return false;
  }
  std::shared_ptr<asio::ssl::context> pTlsContext;
  if (tOptions.bTls) {
    try {
      pTlsContext = MakeClientTlsContext(tOptions.sCaFile);
    } catch (const std::exception& e) {
      sError = e.what();
      return false;
    }
  }
  tStart = std::chrono::steady_clock::now();
  const int32_t nClients = std::max(1, tOptions.nLoad);
  vClients.resize(static_cast<size_t>(nClients));
  for (int32_t i = 0; i < nClients; ++i) {
    THandshakeValues tValues{tOptions.sAppId, tOptions.sToken, tOptions.vQueues,
                              tOptions.vPeers, tOptions.vParks};
    if (IsLoad()) tValues.sAppId += "-" + std::to_string(i + 1);
    TSessionConfig tConfig;
    tConfig.vEndpoints = vEndpoints;
    tConfig.pTlsContext = pTlsContext;
    tConfig.sHost = tOptions.sHost;
    tConfig.vSteps = BuildHandshakeSteps(tValues);
    tConfig.lstSend = tOptions.lstSend;
    tConfig.nStepTimeout = std::chrono::milliseconds(
        static_cast<int64_t>(tOptions.dHandshakeTimeout * 1000.0 + 0.5));
    tConfig.nMaxAttempts = IsLoad() ? tOptions.nRetries + 1 : 1;
    tConfig.bVerbose = tOptions.bVerbose;
    tConfig.sTag = IsLoad() ? "client " + std::to_string(i + 1) : "telvane-client";
    tConfig.nIndex = i;
    vClients[static_cast<size_t>(i)].pSession =
        std::make_shared<TClientSession>(tIo, std::move(tConfig),
                                         static_cast<TClientSessionOwner&>(*this));
  }
  StartTimers();
  for (TClientTally& tTally : vClients) tTally.pSession->Start();
  return true;
}

void TClientRun::StartTimers() {
  tSignals.async_wait([this](const std::error_code& e, int) {
    if (!e) Finish();
  });
  if (tOptions.dDuration > 0) {
    tDurationTimer.expires_after(std::chrono::microseconds(
        static_cast<int64_t>(tOptions.dDuration * 1e6)));
    tDurationTimer.async_wait([this](const std::error_code& e) {
      if (!e) Finish();
    });
  }
  if (tOptions.bProgress) OnProgressTick();
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
  tProgressTimer.expires_after(std::chrono::seconds(1));
  tProgressTimer.async_wait([this](const std::error_code& e) {
    if (!e) OnProgressTick();
  });
}

void TClientRun::SendLine(const std::string& sLine) {
  if (bFinished || vClients.empty()) return;
  vClients.front().pSession->SendCommand(sLine);
}

TClientRun::TClientTally& TClientRun::TallyOf(TClientSession& tSession) {
  return vClients[static_cast<size_t>(tSession.Index())];
}

// Ends the run when no client can do more: every one has ended, or reached --count.
void TClientRun::CheckAllDone() {
  const bool bAllDone = std::all_of(vClients.begin(), vClients.end(), [&](const TClientTally& c) {
    return c.bEnded || (tOptions.nCount > 0 && c.bReady &&
                        c.nFrames >= static_cast<uint64_t>(tOptions.nCount));
  });
  if (bAllDone) Finish();
}

void TClientRun::Finish() {
  if (bFinished) return;
  bFinished = true;
  tEnd = std::chrono::steady_clock::now();
  for (TClientTally& tTally : vClients) tTally.pSession->Stop();
  tDurationTimer.cancel();
  tProgressTimer.cancel();
  std::error_code tError;
  tSignals.cancel(tError);
}

void TClientRun::FlushStdout() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    // The reader went away (a closed pipe): nobody is left to print for.
    Finish();
  }
}

void TClientRun::PrintFrame(const TFrame& tFrame, int64_t nReadMicros) {
  sOut.clear();
  AppendFrameText(sOut, tFrame, nReadMicros, tOptions.bTimestamps);
  std::fwrite(sOut.data(), 1, sOut.size(), stdout);
  FlushStdout();
}

void TClientRun::OnSessionReady(TClientSession& tSession) {
  TClientTally& tTally = TallyOf(tSession);
  tTally.bReady = true;
  if (nReady++ == 0) tFirstReady = std::chrono::steady_clock::now();
  ++nSettled;
  if (!bReadyPrinted && nSettled == static_cast<int32_t>(vClients.size())) {
    bReadyPrinted = true;
    std::fputs("READY\n", stdout);
    FlushStdout();
  }
}

void TClientRun::OnSessionFrame(TClientSession& tSession, const TFrame& tFrame,
                                int64_t nReadMicros) {
  TClientTally& tTally = TallyOf(tSession);
  ++tTally.nFrames;
  ++nFrames;
  if (tFrame.bHasSeq) tTally.tSeq.Add(tFrame.nSeq);
  if (tFrame.bHasSent && tFrame.nSentMicros <= static_cast<uint64_t>(INT64_MAX))
    tLatency.Add(nReadMicros - static_cast<int64_t>(tFrame.nSentMicros));
  if (!IsLoad() && !tOptions.bQuiet) PrintFrame(tFrame, nReadMicros);
  if (tOptions.nCount > 0 && tTally.nFrames == static_cast<uint64_t>(tOptions.nCount))
    CheckAllDone();
}

void TClientRun::OnSessionGoingDown(TClientSession& tSession) {
  ++nGoingDown;
  if (IsLoad()) {
    if (tOptions.bVerbose) std::fprintf(stderr, "%s: %s\n", tSession.Tag().c_str(), kGoingDownNotice.data());
    return;
  }
  std::FILE* pTarget = tOptions.bQuiet ? stderr : stdout;
  std::fprintf(pTarget, "%s\n", kGoingDownNotice.data());
  if (pTarget == stdout) FlushStdout();
}

void TClientRun::OnSessionDropped(TClientSession& tSession, size_t nBytes, bool bAtClose) {
  ++nDropped;
  if (bAtClose)
    std::fprintf(stderr, "%s: connection closed inside a frame; %zu bytes dropped\n",
                 tSession.Tag().c_str(), nBytes);
  else
    std::fprintf(stderr, "%s: frame of %zu bytes dropped: over the %zu MiB bound\n",
                 tSession.Tag().c_str(), nBytes, kDefaultMaxFrameBytes >> 20);
}

void TClientRun::OnSessionRetry(TClientSession& tSession, const std::string& sWhy) {
  std::fprintf(stderr, "%s: %s; retrying from the greeting (attempt %d of %d)\n",
               tSession.Tag().c_str(), sWhy.c_str(), tSession.Attempts() + 1,
               tOptions.nRetries + 1);
}

void TClientRun::OnSessionEnded(TClientSession& tSession, TSessionEnd_OPT tEnd,
                                const std::string& sWhy) {
  TClientTally& tTally = TallyOf(tSession);
  tTally.bEnded = true;
  if (tEnd == SESSION_END_FAILED || tEnd == SESSION_END_LOST) {
    std::fprintf(stderr, "%s: %s\n", tSession.Tag().c_str(), sWhy.c_str());
    if (tEnd == SESSION_END_FAILED || !IsLoad()) nExitCode = 1;
  } else if (tOptions.bVerbose) {
    std::fprintf(stderr, "%s: %s\n", tSession.Tag().c_str(), sWhy.c_str());
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
  TRunTotals tTotals;
  tTotals.nClients = static_cast<int32_t>(vClients.size());
  tTotals.nReady = nReady;
  tTotals.nFrames = nFrames;
  tTotals.dSeconds = nReady > 0 ? SecondsBetween(tFirstReady, tEnd) : 0.0;
  tTotals.nGoingDown = nGoingDown;
  tTotals.nDropped = nDropped;
  tTotals.bExpectSeq = tOptions.bExpectSeq;
  tTotals.nExpectFirst = tOptions.nExpectFirst;
  tTotals.nExpectLast = tOptions.nExpectLast;
  bool bFirst = true;
  for (const TClientTally& tTally : vClients) {
    tTotals.nRetries += std::max(0, tTally.pSession->Attempts() - 1);
    if (!tTally.bReady) continue;  // never subscribed: reported as not ready instead
    tTotals.nFramesMin = bFirst ? tTally.nFrames : std::min(tTotals.nFramesMin, tTally.nFrames);
    tTotals.nFramesMax = std::max(tTotals.nFramesMax, tTally.nFrames);
    bFirst = false;
    tTotals.nLost += tOptions.bExpectSeq
                          ? tTally.tSeq.LostIn(tOptions.nExpectFirst, tOptions.nExpectLast)
                          : tTally.tSeq.LostBetweenSeen();
    tTotals.nDuplicates += tTally.tSeq.Duplicates();
    tTotals.nUntracked += tTally.tSeq.Untracked();
  }
  return tTotals;
}

void TClientRun::PrintEnd() {
  if (!bFinished) tEnd = std::chrono::steady_clock::now();
  if (!IsLoad() && !tOptions.bQuiet) return;
  if (!IsLoad() && nReady == 0) return;  // the failure is already on stderr
  const TRunTotals tTotals = Totals();
  const std::string sText =
      IsLoad() ? FormatReport(tTotals, tLatency) : FormatResultLine(tTotals, tLatency) + "\n";
  std::fputs(sText.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace cticlient
