// One connection of the simulated exchange; see session.h for the design.
#include "session.h"

#include <sys/ioctl.h>
#include <time.h>

#include <cmath>
#include <iostream>

namespace exsim {
namespace {

using TClock = std::chrono::steady_clock;

constexpr int32_t kGreetingSplitPauseMs = 100;  // long enough for the reader to see two reads
constexpr int32_t kResetPollMs = 2;             // how often a reset checks the send queue
constexpr int32_t kResetPolls = 500;            // reset anyway after about one second

int64_t NowMicros() {
  timespec tNow{};
  clock_gettime(CLOCK_REALTIME, &tNow);
  return static_cast<int64_t>(tNow.tv_sec) * 1000000 + tNow.tv_nsec / 1000;
}

}  // namespace

void TServerShared::Log(const std::string& sText) const {
  if (tOptions.bVerbose) std::cerr << "telvane-exchange: " << sText << std::endl;
}

TSession::TSession(asio::ip::tcp::socket tNewSocket, std::shared_ptr<asio::ssl::context> pNewTlsContext,
                   TServerShared& tNewShared, std::function<void(TSession*)> fEnd)
    : tShared(tNewShared),
      tOptions(tNewShared.tOptions),
      fOnEnd(std::move(fEnd)),
      tSocket(std::move(tNewSocket)),
      pTlsContext(std::move(pNewTlsContext)),
      tPaceTimer(tSocket.get_executor()),
      tPieceTimer(tSocket.get_executor()),
      tStartTimer(tSocket.get_executor()),
      tResetTimer(tSocket.get_executor()),
      tCutRandom(tNewShared.tOptions.nSeed ^ 0x6a09e667f3bcc908ull) {
  asio::error_code tError;
  auto tRemote = tSocket.remote_endpoint(tError);
  sPeer = tError ? "unknown peer"
                 : tRemote.address().to_string() + ":" + std::to_string(tRemote.port());
  if (pTlsContext)
    pTls = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(tSocket, *pTlsContext);
}

void TSession::Start() {
  asio::error_code tError;
  tSocket.set_option(asio::ip::tcp::no_delay(true), tError);  // pieces must leave one by one
  tShared.Log("connection from " + sPeer);
  if (tOptions.bCloseOnConnect) {
    End("closed on connect");
    return;
  }
  if (!pTls) {
    Greet();
    return;
  }
  pTls->async_handshake(asio::ssl::stream_base::server,
                        [self = shared_from_this()](const asio::error_code& e) {
                          if (self->Ended()) return;
                          if (e) {
                            self->tShared.Log("TLS handshake with " + self->sPeer + " failed: " + e.message());
                            self->End("TLS handshake failed");
                            return;
                          }
                          self->Greet();
                        });
}

void TSession::Greet() {
  if (!tOptions.bNoGreeting) {
    std::string sGreeting(kGreeting);
    if (tOptions.bGreetingSplit) {
      size_t nCut = sGreeting.find("Manager") + 3;  // inside a word: no read holds the whole name
      PushPiece(sGreeting.substr(0, nCut), true, kGreetingSplitPauseMs);
      PushPiece(sGreeting.substr(nCut), true, 0);
    } else {
      PushPiece(std::move(sGreeting), false, 0);
    }
  }
  StartRead();
}

void TSession::Close(bool bReset) {
  if (Ended()) return;
  if (bReset) {
    asio::error_code tError;
    tSocket.set_option(asio::socket_base::linger(true, 0), tError);
  }
  End(bReset ? "reset by command" : "closed by command");
}

void TSession::SendEvents(const std::vector<std::string>& vBlocks) {
  if (Ended()) return;
  std::string sBatch;
  for (const std::string& sBlock : vBlocks) {
    sBatch += Frame(sBlock);
    ++nEvents;
  }
  Enqueue(std::move(sBatch), true);
  ApplyLimits();
}

void TSession::SendRaw(std::string sBytes) { Enqueue(std::move(sBytes), false); }

void TSession::Wake() {
  tPaceStart = TClock::now();  // resume at the set rate, without the burst of the silent time
  nPaced = 0;
  Pump();
}

// ---- Input: actions ----

void TSession::StartRead() {
  auto fDone = [self = shared_from_this()](const asio::error_code& e, size_t n) { self->OnRead(e, n); };
  if (pTls)
    pTls->async_read_some(asio::buffer(vReadBuffer), fDone);
  else
    tSocket.async_read_some(asio::buffer(vReadBuffer), fDone);
}

void TSession::OnRead(const asio::error_code& tError, size_t nBytes) {
  if (Ended()) return;
  if (tError) {
    const bool bClosed = tError == asio::error::eof || tError == asio::ssl::error::stream_truncated;
    if (!bClosed) tShared.Log("read from " + sPeer + " failed: " + tError.message());
    End(bClosed ? "closed by the client" : "read failed");
    return;
  }
  tReader.Feed(std::string_view(vReadBuffer.data(), nBytes));
  TAction tAction;
  while (!Ended() && tReader.Next(tAction)) HandleAction(tAction);
  if (!Ended()) StartRead();
}

void TSession::HandleAction(const TAction& tAction) {
  ++nActions;
  bool bLoggedIn = tPhase == SESSION_PHASE_WAIT_START || tPhase == SESSION_PHASE_STREAMING;
  auto nUptime = std::chrono::duration_cast<std::chrono::seconds>(TClock::now() - tShared.tStarted);
  TAnswer tAnswer = AnswerAction(tAction, tOptions, bLoggedIn, nUptime.count());
  Enqueue(std::move(tAnswer.sText), false);
  if (tAnswer.bLoginAccepted && tPhase == SESSION_PHASE_AWAIT_LOGIN) {
    tShared.Log("login accepted from " + sPeer);
    tPhase = SESSION_PHASE_WAIT_START;
    // The first events wait for the client's next action or the start delay, so they never share
    // a read with the login answer (a client may drop whatever arrives with that answer).
    tStartTimer.expires_after(std::chrono::milliseconds(tOptions.nStartDelayMs));
    tStartTimer.async_wait([self = shared_from_this()](const asio::error_code& e) {
      if (!e) self->BeginStreaming();
    });
  } else if (tAnswer.bLoginRefused) {
    tShared.Log("login refused from " + sPeer);
  } else if (tPhase == SESSION_PHASE_WAIT_START) {
    BeginStreaming();
  }
  if (tAnswer.bClose) {
    tCloseRequest = CLOSE_REQUEST_GRACEFUL;
    CheckCloseRequest();
  }
}

void TSession::BeginStreaming() {
  if (tPhase != SESSION_PHASE_WAIT_START) return;
  tPhase = SESSION_PHASE_STREAMING;
  tStartTimer.cancel();
  tPaceStart = TClock::now();
  nPaced = 0;
  Pump();
}

// ---- Events: pacing and production ----

void TSession::Pump() {
  if (tPhase != SESSION_PHASE_STREAMING || tShared.bSilent) return;
  if (tCloseRequest != CLOSE_REQUEST_NONE || nQueuedBytes >= kLowWaterBytes) return;
  size_t nDue = EventsDue();
  if (nDue == 0) {
    ArmPaceTimer();
    return;
  }
  size_t nWanted = std::min(nDue, kMaxBatchEvents);
  std::string sBatch;
  size_t nMade = ProduceEvents(nWanted, sBatch);
  nPaced += nMade;
  Enqueue(std::move(sBatch), true);
  ApplyLimits();
  // Fewer than wanted: the sources are spent or a limit is reached; the session stays quiet.
  if (nMade == nWanted && tOptions.dRate > 0) ArmPaceTimer();
}

size_t TSession::EventsDue() {
  if (tOptions.dRate <= 0) return kMaxBatchEvents;
  double dElapsed = std::chrono::duration<double>(TClock::now() - tPaceStart).count();
  double dTarget = std::floor(dElapsed * tOptions.dRate) + 1;  // event n is due at n / rate
  if (dTarget - static_cast<double>(nPaced) > tOptions.dRate + kMaxBatchEvents) {
    tPaceStart = TClock::now();  // more than a second behind: restart the schedule from now
    nPaced = 0;
    return 1;
  }
  return dTarget > static_cast<double>(nPaced) ? static_cast<size_t>(dTarget) - nPaced : 0;
}

void TSession::ArmPaceTimer() {
  if (bPaceArmed || Ended()) return;
  auto tDue = tPaceStart + std::chrono::duration_cast<TClock::duration>(
                               std::chrono::duration<double>(nPaced / tOptions.dRate));
  // At high rates one tick per millisecond carries a batch; no timer per event.
  tDue = std::max(tDue, TClock::now() + std::chrono::milliseconds(1));
  bPaceArmed = true;
  tPaceTimer.expires_at(tDue);
  tPaceTimer.async_wait([self = shared_from_this()](const asio::error_code& e) {
    self->bPaceArmed = false;
    if (!e && !self->Ended()) self->Pump();
  });
}

size_t TSession::ProduceEvents(size_t nMax, std::string& sBatch) {
  size_t nMade = 0;
  std::string sBlock;
  while (nMade < nMax && !LimitReached() && NextBlock(sBlock)) {
    sBatch += Frame(sBlock);
    ++nEvents;
    ++nMade;
  }
  return nMade;
}

bool TSession::NextBlock(std::string& sBlock) {
  const std::vector<std::string>& vReplay = tShared.vReplayBlocks;
  if (!vReplay.empty()) {
    uint64_t& nCursor = tOptions.bReplayOnce ? tShared.nReplayOnceCursor : nReplayCursor;
    uint64_t nRepeat = static_cast<uint64_t>(tOptions.nRepeat);
    if (nRepeat == 0 || nCursor / vReplay.size() < nRepeat) {
      sBlock = vReplay[nCursor % vReplay.size()];
      ++nCursor;
      return true;
    }
  }
  if (tOptions.bGenerate && (tOptions.nCount == 0 || nGenerated < tOptions.nCount)) {
    if (!pGenerator) pGenerator = std::make_unique<TEventGenerator>(tOptions);
    sBlock = pGenerator->Next();
    ++nGenerated;
    return true;
  }
  return false;
}

bool TSession::LimitReached() const {
  auto fHit = [this](int64_t nLimit) { return nLimit > 0 && nEvents >= nLimit; };
  return fHit(tOptions.nSilentAfter) || fHit(tOptions.nCloseAfter) || fHit(tOptions.nResetAfter);
}

std::string TSession::Frame(const std::string& sBlock) {
  return FrameEvent(sBlock, tOptions.bStamp, tShared.nNextSeq++, NowMicros());
}

void TSession::ApplyLimits() {
  if (tOptions.nCloseAfter > 0 && nEvents >= tOptions.nCloseAfter)
    tCloseRequest = CLOSE_REQUEST_GRACEFUL;
  if (tOptions.nResetAfter > 0 && nEvents >= tOptions.nResetAfter)
    tCloseRequest = CLOSE_REQUEST_RESET;
  CheckCloseRequest();
}

// ---- Output ----

void TSession::Enqueue(std::string sBytes, bool bCut) {
  if (sBytes.empty() || Ended()) return;
  if (!bCut || (!tOptions.bCutRandom && tOptions.nCutEvery == 0)) {
    PushPiece(std::move(sBytes), false, 0);
    return;
  }
  std::vector<size_t> vPieces =
      tOptions.nCutEvery > 0 ? CutEvery(sBytes.size(), static_cast<size_t>(tOptions.nCutEvery))
                             : CutRandom(sBytes.size(), tCutRandom);
  size_t nFrom = 0;
  for (size_t nLength : vPieces) {
    PushPiece(sBytes.substr(nFrom, nLength), true, tOptions.nCutPauseMs);
    nFrom += nLength;
  }
}

void TSession::PushPiece(std::string sBytes, bool bAlone, int32_t nPauseMs) {
  if (Ended()) return;
  nQueuedBytes += sBytes.size();
  lstOutput.push_back(TPiece{std::move(sBytes), bAlone, nPauseMs});
  if (nQueuedBytes > kMaxQueuedBytes) {
    End("reader too slow: output limit reached");
    return;
  }
  StartWrite();
}

void TSession::StartWrite() {
  if (bWriting || bPausing || lstOutput.empty() || Ended()) return;
  int32_t nPauseMs = 0;
  if (lstOutput.front().bAlone) {
    sWriting = std::move(lstOutput.front().sBytes);
    nPauseMs = lstOutput.front().nPauseMs;
    lstOutput.pop_front();
  } else {
    sWriting.clear();
    while (!lstOutput.empty() && !lstOutput.front().bAlone && sWriting.size() < kMaxWriteBytes) {
      sWriting += lstOutput.front().sBytes;
      lstOutput.pop_front();
    }
  }
  bWriting = true;
  auto fDone = [self = shared_from_this(), nPauseMs](const asio::error_code& e, size_t n) {
    self->OnWritten(e, n, nPauseMs);
  };
  if (pTls)
    asio::async_write(*pTls, asio::buffer(sWriting), fDone);
  else
    asio::async_write(tSocket, asio::buffer(sWriting), fDone);
}

void TSession::OnWritten(const asio::error_code& tError, size_t nBytes, int32_t nPauseMs) {
  bWriting = false;
  if (Ended()) return;
  if (tError) {
    End("write failed");
    return;
  }
  nQueuedBytes -= nBytes;
  if (nPauseMs > 0) {
    bPausing = true;
    tPieceTimer.expires_after(std::chrono::milliseconds(nPauseMs));
    tPieceTimer.async_wait([self = shared_from_this()](const asio::error_code& e) {
      self->bPausing = false;
      if (e || self->Ended()) return;
      self->StartWrite();
      self->CheckCloseRequest();
      self->Pump();
    });
  } else {
    StartWrite();
    CheckCloseRequest();
  }
  Pump();
}

void TSession::CheckCloseRequest() {
  if (tCloseRequest == CLOSE_REQUEST_NONE || bCloseStarted || Ended()) return;
  if (bWriting || bPausing || !lstOutput.empty()) return;  // finish the queued output first
  bCloseStarted = true;
  if (tCloseRequest == CLOSE_REQUEST_GRACEFUL)
    End("closed after its last output");
  else
    ResetWhenSent(kResetPolls);
}

// A reset throws away whatever still sits in the socket's send queue, so wait until the events
// already written have left it; then close with a zero linger time, which sends an RST.
void TSession::ResetWhenSent(int32_t nTriesLeft) {
  if (Ended()) return;
  int nUnsent = 0;
  if (ioctl(tSocket.native_handle(), TIOCOUTQ, &nUnsent) == 0 && nUnsent > 0 && nTriesLeft > 0) {
    tResetTimer.expires_after(std::chrono::milliseconds(kResetPollMs));
    tResetTimer.async_wait([self = shared_from_this(), nTriesLeft](const asio::error_code& e) {
      if (!e) self->ResetWhenSent(nTriesLeft - 1);
    });
    return;
  }
  asio::error_code tError;
  tSocket.set_option(asio::socket_base::linger(true, 0), tError);
  End("reset after its last event");
}

void TSession::End(const char* sReason) {
  if (Ended()) return;
  tPhase = SESSION_PHASE_CLOSED;
  tPaceTimer.cancel();
  tPieceTimer.cancel();
  tStartTimer.cancel();
  tResetTimer.cancel();
  asio::error_code tError;
  tSocket.close(tError);
  tShared.Log("connection from " + sPeer + " ended (" + sReason + "): " + std::to_string(nEvents) +
              " events, " + std::to_string(nActions) + " actions");
  if (fOnEnd) fOnEnd(this);
}

}  // namespace exsim
