// One CTI client connection; see session.h for its states and invariants.
#include "session.h"

#include <cstdio>

namespace cticlient {

namespace {

// Lists this long may reach the relay in more than one read, which it would
// take as two messages; worth a hint when such a step gets no answer.
constexpr size_t LONG_MESSAGE_BYTES = 8 * 1024;

// Line ends made visible; a long text is cut, keeping its length.
std::string Printable(std::string_view sText) {
  constexpr size_t MAX_SHOWN = 200;
  std::string sOut;
  for (char c : sText.substr(0, MAX_SHOWN)) {
    if (c == '\r') sOut += "\\r";
    else if (c == '\n') sOut += "\\n";
    else sOut += c;
  }
  if (sText.size() > MAX_SHOWN) sOut += "... (" + std::to_string(sText.size()) + " bytes)";
  return sOut;
}

}  // namespace

int64_t RealtimeMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

TClientSession::TClientSession(asio::io_context& MyIoIn, TSessionConfig MyConfigIn,
                               TClientSessionOwner& MyOwnerIn)
    : MyConfig(std::move(MyConfigIn)),
      MyOwner(MyOwnerIn),
      socClient(MyIoIn),
      tmrDeadline(MyIoIn),
      tmrPace(MyIoIn),
      MyHandshake(MyConfig.vSteps) {}

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
  if (MyConfig.bVerbose)
    std::fprintf(stderr, "%s %s %s\n", MyConfig.sTag.c_str(), sDirection.c_str(),
                 Printable(sText).c_str());
}

void TClientSession::CloseSocket() {
  ++nDeadlineId;
  std::error_code ec;
  socClient.close(ec);
  tmrDeadline.cancel();
  tmrPace.cancel();
}

void TClientSession::Connect() {
  ++nAttempts;
  ++nConnId;
  tState = CLIENT_SESSION_STATE_CONNECTING;
  MyHandshake.Reset();
  ArmDeadline();
  asio::async_connect(socClient, MyConfig.vEndpoints,
                      [self = shared_from_this(), nId = nConnId](const std::error_code& ec,
                                                                 const asio::ip::tcp::endpoint&) {
                        if (nId == self->nConnId) self->OnConnected(ec);
                      });
}

void TClientSession::OnConnected(const std::error_code& ec) {
  if (tState != CLIENT_SESSION_STATE_CONNECTING) return;
  if (ec) {
    Fail("cannot connect: " + ec.message());
    return;
  }
  std::error_code ecIgnored;
  socClient.set_option(asio::ip::tcp::no_delay(true), ecIgnored);
  tState = CLIENT_SESSION_STATE_HANDSHAKE;
  SendStep();
  StartRead();
}

void TClientSession::SendStep() {
  const std::string& sMessage = MyHandshake.Current().sMessage;
  Trace(">", sMessage);
  ArmDeadline();
  asio::async_write(socClient, asio::buffer(sMessage),
                    [self = shared_from_this(), nId = nConnId](const std::error_code& ec, size_t) {
                      if (ec && nId == self->nConnId &&
                          self->tState == CLIENT_SESSION_STATE_HANDSHAKE)
                        self->Fail("cannot send " + std::string(self->MyHandshake.Current().sName) +
                                   ": " + ec.message());
                    });
}

void TClientSession::ArmDeadline() {
  const uint64_t nId = ++nDeadlineId;
  tmrDeadline.expires_after(MyConfig.nStepTimeout);
  tmrDeadline.async_wait([self = shared_from_this(), nId](const std::error_code&) {
    if (nId != self->nDeadlineId) return;
    if (self->tState == CLIENT_SESSION_STATE_CONNECTING) self->Fail("timed out connecting");
    else if (self->tState == CLIENT_SESSION_STATE_HANDSHAKE) self->Fail(self->TimeoutText());
  });
}

std::string TClientSession::TimeoutText() const {
  const THandshakeStep& MyStep = MyHandshake.Current();
  char sSeconds[32];
  std::snprintf(sSeconds, sizeof sSeconds, "%g", double(MyConfig.nStepTimeout.count()) / 1000.0);
  std::string sText = "handshake failed: no \"" + std::string(MyStep.sPrompt) + "\" within " +
                      sSeconds + " s after " + std::string(MyStep.sName) +
                      " (the relay answers a rejected step with silence)";
  if (MyStep.sMessage.size() > LONG_MESSAGE_BYTES)
    sText += "; that message was " + std::to_string(MyStep.sMessage.size()) +
             " bytes and may have reached the relay in more than one read";
  return sText;
}

void TClientSession::StartRead() {
  socClient.async_read_some(asio::buffer(vReadBuffer),
                            [self = shared_from_this(), nId = nConnId](const std::error_code& ec,
                                                                       size_t nBytes) {
                              if (nId == self->nConnId) self->OnRead(ec, nBytes);
                            });
}

void TClientSession::OnRead(const std::error_code& ec, size_t nBytes) {
  if (tState != CLIENT_SESSION_STATE_HANDSHAKE && tState != CLIENT_SESSION_STATE_RUNNING) return;
  if (ec) {
    HandleClose(ec);
    return;
  }
  const std::string_view sChunk(vReadBuffer.data(), nBytes);
  if (tState == CLIENT_SESSION_STATE_HANDSHAKE) {
    HandleHandshake(sChunk);
  } else {
    nReadMicros = RealtimeMicros();
    MyFrames.Feed(sChunk, *this);
  }
  if (tState == CLIENT_SESSION_STATE_HANDSHAKE || tState == CLIENT_SESSION_STATE_RUNNING)
    StartRead();
}

void TClientSession::HandleHandshake(std::string_view sChunk) {
  Trace("<", sChunk);
  std::string sRest;
  switch (MyHandshake.Feed(sChunk, sRest)) {
    case HANDSHAKE_REPLY_NEED_MORE:
      return;
    case HANDSHAKE_REPLY_GOING_DOWN:
      MyOwner.OnSessionGoingDown(*this);
      if (tState == CLIENT_SESSION_STATE_HANDSHAKE)
        Fail("handshake failed: the relay is going down");
      return;
    case HANDSHAKE_REPLY_PROMPT:
      if (MyHandshake.Done()) BecomeReady(sRest);
      else SendStep();
      return;
  }
}

void TClientSession::BecomeReady(const std::string& sRest) {
  ++nDeadlineId;
  tmrDeadline.cancel();
  tState = CLIENT_SESSION_STATE_RUNNING;
  MyOwner.OnSessionReady(*this);
  if (tState != CLIENT_SESSION_STATE_RUNNING) return;
  // --send commands go first, before anything typed while the handshake ran.
  for (auto it = MyConfig.lstSend.rbegin(); it != MyConfig.lstSend.rend(); ++it)
    lstCommands.push_front(*it + "\r\n");
  PumpCommands();
  // Events may follow the last prompt in the same read.
  nReadMicros = RealtimeMicros();
  MyFrames.Feed(sRest, *this);
}

void TClientSession::HandleClose(const std::error_code& ec) {
  const bool bEof = ec == asio::error::eof;
  if (tState == CLIENT_SESSION_STATE_HANDSHAKE) {
    Fail("handshake failed: " +
         std::string(bEof ? "the relay closed the connection" : "connection error: " + ec.message()) +
         " while waiting for \"" + std::string(MyHandshake.Current().sPrompt) + "\"");
    return;
  }
  const size_t nUnfinished = MyFrames.Finish();
  if (nUnfinished > 0) MyOwner.OnSessionDropped(*this, nUnfinished, true);
  if (tState != CLIENT_SESSION_STATE_RUNNING) return;
  End(bEof ? SESSION_END_CLOSED : SESSION_END_LOST,
      bEof ? "the relay closed the connection" : "connection lost: " + ec.message());
}

void TClientSession::Fail(const std::string& sWhy) {
  CloseSocket();
  if (nAttempts >= MyConfig.nMaxAttempts) {
    End(SESSION_END_FAILED, sWhy);
    return;
  }
  tState = CLIENT_SESSION_STATE_IDLE;
  MyOwner.OnSessionRetry(*this, sWhy);
  tmrPace.expires_after(RETRY_PAUSE);
  tmrPace.async_wait([self = shared_from_this(), nId = nConnId](const std::error_code&) {
    if (nId == self->nConnId && self->tState == CLIENT_SESSION_STATE_IDLE) self->Connect();
  });
}

void TClientSession::End(TSessionEnd_OPT tEnd, const std::string& sWhy) {
  tState = CLIENT_SESSION_STATE_ENDED;
  CloseSocket();
  MyOwner.OnSessionEnded(*this, tEnd, sWhy);
}

void TClientSession::PumpCommands() {
  if (tState != CLIENT_SESSION_STATE_RUNNING || bWriting || lstCommands.empty()) return;
  bWriting = true;
  Trace(">", lstCommands.front());
  asio::async_write(
      socClient, asio::buffer(lstCommands.front()),
      [self = shared_from_this(), nId = nConnId](const std::error_code& ec, size_t) {
        if (nId != self->nConnId || self->tState != CLIENT_SESSION_STATE_RUNNING) return;
        self->lstCommands.pop_front();
        if (ec) return;  // the read side reports the broken connection
        self->tmrPace.expires_after(COMMAND_GAP);
        self->tmrPace.async_wait([self](const std::error_code& ecWait) {
          if (ecWait || self->tState != CLIENT_SESSION_STATE_RUNNING) return;
          self->bWriting = false;
          self->PumpCommands();
        });
      });
}

void TClientSession::OnFrame(const TFrame& MyFrame) {
  if (tState == CLIENT_SESSION_STATE_RUNNING) MyOwner.OnSessionFrame(*this, MyFrame, nReadMicros);
}

void TClientSession::OnGoingDown() {
  if (tState == CLIENT_SESSION_STATE_RUNNING) MyOwner.OnSessionGoingDown(*this);
}

void TClientSession::OnFrameDropped(size_t nBytes) {
  if (tState == CLIENT_SESSION_STATE_RUNNING) MyOwner.OnSessionDropped(*this, nBytes, false);
}

}  // namespace cticlient
