// One CTI client connection; see session.h for its states and invariants.
#include "session.h"

#include <cstdio>

namespace cticlient {

namespace {

// Lists this long may reach the relay in more than one read, which it would
// take as two messages; worth a hint when such a step gets no answer.
constexpr size_t kLongMessageBytes = 8 * 1024;

// Line ends made visible; a long text is cut, keeping its length.
std::string Printable(std::string_view sText) {
  constexpr size_t kMaxShown = 200;
  std::string sOut;
  for (char c : sText.substr(0, kMaxShown)) {
    if (c == '\r') sOut += "\\r";
    else if (c == '\n') sOut += "\\n";
    else sOut += c;
  }
  if (sText.size() > kMaxShown) sOut += "... (" + std::to_string(sText.size()) + " bytes)";
  return sOut;
}

}  // namespace

template <typename THandler>
void TClientSession::ReadSome(THandler&& fHandler) {
  if (!pTls) {
    tSocket.async_read_some(asio::buffer(vReadBuffer), std::forward<THandler>(fHandler));
    return;
  }
  pTls->async_read_some(asio::buffer(vReadBuffer),
                        [pKeep = pTls, f = std::forward<THandler>(fHandler)](const std::error_code& e,
                                                                            size_t n) mutable { f(e, n); });
}

template <typename THandler>
void TClientSession::Write(const std::string& sBytes, THandler&& fHandler) {
  if (!pTls) {
    asio::async_write(tSocket, asio::buffer(sBytes), std::forward<THandler>(fHandler));
    return;
  }
  asio::async_write(*pTls, asio::buffer(sBytes),
                    [pKeep = pTls, f = std::forward<THandler>(fHandler)](const std::error_code& e,
                                                                        size_t n) mutable { f(e, n); });
}

int64_t RealtimeMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

TClientSession::TClientSession(asio::io_context& tNewIo, TSessionConfig tNewConfig,
                               TClientSessionOwner& tNewOwner)
    : tConfig(std::move(tNewConfig)),
      tOwner(tNewOwner),
      tSocket(tNewIo),
      tDeadlineTimer(tNewIo),
      tPaceTimer(tNewIo),
      tHandshake(tConfig.vSteps) {}

void TClientSession::Start() { Connect(); }

void TClientSession::Stop() {
  tState = CLIENT_SESSION_STATE_ENDED;
  CloseSocket();
}

void TClientSession::SendCommand(std::string sLine) {
  lstCommands.push_back(std::move(sLine) + "\r\n");
  PumpCommands();
}

void TClientSession::Trace(const std::string& sDirection, std::string_view sText) const {
  if (tConfig.bVerbose)
    std::fprintf(stderr, "%s %s %s\n", tConfig.sTag.c_str(), sDirection.c_str(),
                 Printable(sText).c_str());
}

void TClientSession::CloseSocket() {
  ++nDeadlineId;
  std::error_code tError;
  tSocket.close(tError);
  tDeadlineTimer.cancel();
  tPaceTimer.cancel();
}

void TClientSession::Connect() {
  ++nAttempts;
  ++nConnId;
  tState = CLIENT_SESSION_STATE_CONNECTING;
  tHandshake.Reset();
  ArmDeadline();
  if (tConfig.pTlsContext) {
    pTls = std::make_shared<TTlsStream>(tSocket, *tConfig.pTlsContext);
    SetTlsPeerName(*pTls, tConfig.sHost);
  }
  asio::async_connect(tSocket, tConfig.vEndpoints,
                      [self = shared_from_this(), nId = nConnId](const std::error_code& e,
                                                                 const asio::ip::tcp::endpoint&) {
                        if (nId == self->nConnId) self->OnConnected(e);
                      });
}

void TClientSession::OnConnected(const std::error_code& tError) {
  if (tState != CLIENT_SESSION_STATE_CONNECTING) return;
  if (tError) {
    Fail("cannot connect: " + tError.message());
    return;
  }
  std::error_code tIgnored;
  tSocket.set_option(asio::ip::tcp::no_delay(true), tIgnored);
  if (!pTls) {
    BeginHandshake();
    return;
  }
  // The connect deadline also bounds the TLS handshake.
  pTls->async_handshake(asio::ssl::stream_base::client,
                        [self = shared_from_this(), pKeep = pTls, nId = nConnId](const std::error_code& e) {
                          if (nId != self->nConnId || self->tState != CLIENT_SESSION_STATE_CONNECTING) return;
                          if (e) self->Fail("TLS handshake failed: " + TlsErrorText(*pKeep, e));
                          else self->BeginHandshake();
                        });
}

void TClientSession::BeginHandshake() {
  tState = CLIENT_SESSION_STATE_HANDSHAKE;
  SendStep();
  StartRead();
}

void TClientSession::SendStep() {
  const std::string& sMessage = tHandshake.Current().sMessage;
  Trace(">", sMessage);
  ArmDeadline();
  Write(sMessage, [self = shared_from_this(), nId = nConnId](const std::error_code& e, size_t) {
    if (e && nId == self->nConnId && self->tState == CLIENT_SESSION_STATE_HANDSHAKE)
      self->Fail("cannot send " + std::string(self->tHandshake.Current().sName) + ": " + e.message());
  });
}

void TClientSession::ArmDeadline() {
  const uint64_t nId = ++nDeadlineId;
  tDeadlineTimer.expires_after(tConfig.nStepTimeout);
  tDeadlineTimer.async_wait([self = shared_from_this(), nId](const std::error_code&) {
    if (nId != self->nDeadlineId) return;
    if (self->tState == CLIENT_SESSION_STATE_CONNECTING) self->Fail("timed out connecting");
    else if (self->tState == CLIENT_SESSION_STATE_HANDSHAKE) self->Fail(self->TimeoutText());
  });
}

std::string TClientSession::TimeoutText() const {
  const THandshakeStep& tStep = tHandshake.Current();
  char sSeconds[32];
  std::snprintf(sSeconds, sizeof sSeconds, "%g", double(tConfig.nStepTimeout.count()) / 1000.0);
  std::string sText = "handshake failed: no \"" + std::string(tStep.sPrompt) + "\" within " +
                      sSeconds + " s after " + std::string(tStep.sName) +
                      " (the relay answers a rejected step with silence)";
  if (tStep.sMessage.size() > kLongMessageBytes)
    sText += "; that message was " + std::to_string(tStep.sMessage.size()) +
             " bytes and may have reached the relay in more than one read";
  return sText;
}

void TClientSession::StartRead() {
  ReadSome([self = shared_from_this(), nId = nConnId](const std::error_code& e, size_t nBytes) {
    if (nId == self->nConnId) self->OnRead(e, nBytes);
  });
}

void TClientSession::OnRead(const std::error_code& tError, size_t nBytes) {
  if (tState != CLIENT_SESSION_STATE_HANDSHAKE && tState != CLIENT_SESSION_STATE_RUNNING) return;
  if (tError) {
    HandleClose(tError);
    return;
  }
  const std::string_view sChunk(vReadBuffer.data(), nBytes);
  if (tState == CLIENT_SESSION_STATE_HANDSHAKE) {
    HandleHandshake(sChunk);
  } else {
    nReadMicros = RealtimeMicros();
    tSplitter.Feed(sChunk, *this);
  }
  if (tState == CLIENT_SESSION_STATE_HANDSHAKE || tState == CLIENT_SESSION_STATE_RUNNING)
    StartRead();
}

void TClientSession::HandleHandshake(std::string_view sChunk) {
  Trace("<", sChunk);
  std::string sRest;
  switch (tHandshake.Feed(sChunk, sRest)) {
    case HANDSHAKE_REPLY_NEED_MORE:
      return;
    case HANDSHAKE_REPLY_GOING_DOWN:
      tOwner.OnSessionGoingDown(*this);
      if (tState == CLIENT_SESSION_STATE_HANDSHAKE)
        Fail("handshake failed: the relay is going down");
      return;
    case HANDSHAKE_REPLY_PROMPT:
      if (tHandshake.Done()) BecomeReady(sRest);
      else SendStep();
      return;
  }
}

void TClientSession::BecomeReady(const std::string& sRest) {
  ++nDeadlineId;
  tDeadlineTimer.cancel();
  tState = CLIENT_SESSION_STATE_RUNNING;
  tOwner.OnSessionReady(*this);
  if (tState != CLIENT_SESSION_STATE_RUNNING) return;
  // --send commands go first, before anything typed while the handshake ran.
  for (auto it = tConfig.lstSend.rbegin(); it != tConfig.lstSend.rend(); ++it)
    lstCommands.push_front(*it + "\r\n");
  PumpCommands();
  // Events may follow the last prompt in the same read.
  nReadMicros = RealtimeMicros();
  tSplitter.Feed(sRest, *this);
}

void TClientSession::HandleClose(const std::error_code& tError) {
  const bool bEof = IsTlsClose(tError);
  if (tState == CLIENT_SESSION_STATE_HANDSHAKE) {
    Fail("handshake failed: " +
         std::string(bEof ? "the relay closed the connection"
                          : "connection error: " + tError.message()) +
         " while waiting for \"" + std::string(tHandshake.Current().sPrompt) + "\"");
    return;
  }
  const size_t nUnfinished = tSplitter.Finish();
  if (nUnfinished > 0) tOwner.OnSessionDropped(*this, nUnfinished, true);
  if (tState != CLIENT_SESSION_STATE_RUNNING) return;
  End(bEof ? SESSION_END_CLOSED : SESSION_END_LOST,
      bEof ? "the relay closed the connection" : "connection lost: " + tError.message());
}

void TClientSession::Fail(const std::string& sWhy) {
  CloseSocket();
  if (nAttempts >= tConfig.nMaxAttempts) {
    End(SESSION_END_FAILED, sWhy);
    return;
  }
  tState = CLIENT_SESSION_STATE_IDLE;
  tOwner.OnSessionRetry(*this, sWhy);
  tPaceTimer.expires_after(kRetryPause);
  tPaceTimer.async_wait([self = shared_from_this(), nId = nConnId](const std::error_code&) {
    if (nId == self->nConnId && self->tState == CLIENT_SESSION_STATE_IDLE) self->Connect();
  });
}

void TClientSession::End(TSessionEnd_OPT tEnd, const std::string& sWhy) {
  tState = CLIENT_SESSION_STATE_ENDED;
  CloseSocket();
  tOwner.OnSessionEnded(*this, tEnd, sWhy);
}

void TClientSession::PumpCommands() {
  if (tState != CLIENT_SESSION_STATE_RUNNING || bWriting || lstCommands.empty()) return;
  bWriting = true;
  Trace(">", lstCommands.front());
  Write(lstCommands.front(), [self = shared_from_this(), nId = nConnId](const std::error_code& e, size_t) {
    if (nId != self->nConnId || self->tState != CLIENT_SESSION_STATE_RUNNING) return;
    self->lstCommands.pop_front();
    if (e) return;  // the read side reports the broken connection
    self->tPaceTimer.expires_after(kCommandGap);
    self->tPaceTimer.async_wait([self](const std::error_code& eWait) {
      if (eWait || self->tState != CLIENT_SESSION_STATE_RUNNING) return;
      self->bWriting = false;
      self->PumpCommands();
    });
  });
}

void TClientSession::OnFrame(const TFrame& tFrame) {
  if (tState == CLIENT_SESSION_STATE_RUNNING) tOwner.OnSessionFrame(*this, tFrame, nReadMicros);
}

void TClientSession::OnGoingDown() {
  if (tState == CLIENT_SESSION_STATE_RUNNING) tOwner.OnSessionGoingDown(*this);
}

void TClientSession::OnFrameDropped(size_t nBytes) {
  if (tState == CLIENT_SESSION_STATE_RUNNING) tOwner.OnSessionDropped(*this, nBytes, false);
}

}  // namespace cticlient
