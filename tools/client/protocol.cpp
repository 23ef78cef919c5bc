// The CTI client's protocol logic without I/O; see protocol.h for the
// wire facts it relies on. Pure functions plus two per-connection objects used
// by one thread at a time.
#include "protocol.h"

#include <algorithm>
#include <cstring>

namespace cticlient {

namespace {

constexpr size_t kMaxNumberDigits = 9;        // keeps every number inside int32_t
constexpr size_t kMaxReplyBytes = 64 * 1024;  // handshake reply kept while no prompt came

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view sText) {
  while (!sText.empty() && IsBlank(sText.front())) sText.remove_prefix(1);
  while (!sText.empty() && IsBlank(sText.back())) sText.remove_suffix(1);
  return sText;
}

bool ParseListNumber(std::string_view sText, int32_t& nValue) {
  sText = TrimBlanks(sText);
  if (sText.empty() || sText.size() > kMaxNumberDigits) return false;
  int32_t nResult = 0;
  for (char c : sText) {
    if (c < '0' || c > '9') return false;
    nResult = nResult * 10 + (c - '0');
  }
  nValue = nResult;
  return true;
}

// One entry of a list: a number or a range "A-B".
bool ExpandEntry(std::string_view sEntry, std::vector<int32_t>& vNumbers, std::string& sError) {
  const size_t nDash = sEntry.find('-');
  int32_t nFirst = 0;
  int32_t nLast = 0;
  const bool bParsed = nDash == std::string_view::npos
                           ? ParseListNumber(sEntry, nFirst) && ParseListNumber(sEntry, nLast)
                           : ParseListNumber(sEntry.substr(0, nDash), nFirst) &&
                                 ParseListNumber(sEntry.substr(nDash + 1), nLast);
  if (!bParsed) {
    sError = "not a number or range: \"" + std::string(TrimBlanks(sEntry)) + "\"";
    return false;
  }
  if (nFirst > nLast) {
    sError = "range runs backwards: \"" + std::string(TrimBlanks(sEntry)) + "\"";
    return false;
  }
  if (vNumbers.size() + static_cast<size_t>(nLast - nFirst) + 1 > kMaxListNumbers) {
    sError = "more than " + std::to_string(kMaxListNumbers) + " numbers in one list";
    return false;
  }
  for (int32_t n = nFirst; n <= nLast; ++n) vNumbers.push_back(n);
  return true;
}

}  // namespace

bool ExpandNumberList(std::string_view sList, std::vector<int32_t>& vNumbers,
                      std::string& sError) {
  vNumbers.clear();
  if (TrimBlanks(sList).empty()) return true;
  size_t nStart = 0;
  while (true) {
    const size_t nComma = sList.find(',', nStart);
    const std::string_view sEntry = sList.substr(nStart, nComma - nStart);
    if (TrimBlanks(sEntry).empty()) {
      sError = "empty entry in list \"" + std::string(sList) + "\"";
      return false;
    }
    if (!ExpandEntry(sEntry, vNumbers, sError)) return false;
    if (nComma == std::string_view::npos) return true;
    nStart = nComma + 1;
  }
}

std::string JoinNumberList(const std::vector<int32_t>& vNumbers) {
  std::string sText;
  sText.reserve(vNumbers.size() * 6);
  for (size_t i = 0; i < vNumbers.size(); ++i) {
    if (i > 0) sText += ',';
    sText += std::to_string(vNumbers[i]);
  }
  return sText;
}

size_t CountOutside(const std::vector<int32_t>& vNumbers, TNumberRange tRange) {
  return static_cast<size_t>(std::count_if(vNumbers.begin(), vNumbers.end(), [&](int32_t n) {
    return n < tRange.nFirst || n > tRange.nLast;
  }));
}

// ---- Handshake -------------------------------------------------------------

std::vector<THandshakeStep> BuildHandshakeSteps(const THandshakeValues& tValues) {
  const auto List = [](std::string_view sKey, const std::vector<int32_t>& vNumbers) {
    return std::string(sKey) + "(" + JoinNumberList(vNumbers) + ")\r\n";
  };
  return {
      {"Hi, lets connect...\r\n", "Welcome to", "greeting"},
      {"MyAppID: " + tValues.sAppId + "\r\n", "Token:  ?", "MyAppID"},
      {"MyAppToken: " + tValues.sToken + "\r\n", "QueueInfo:  ?", "MyAppToken"},
      {List("GetQueueInfo: ", tValues.vQueues), "PeerInfo:  ?", "GetQueueInfo"},
      {List("GetPeerInfo: ", tValues.vPeers), "FeatureParkInfo:  ?", "GetPeerInfo"},
      {List("GetFeatureParkInfo: ", tValues.vParks), "Server is ready and up!",
       "GetFeatureParkInfo"},
  };
}

THandshake::THandshake(std::vector<THandshakeStep> vNewSteps) : vSteps(std::move(vNewSteps)) {}

void THandshake::Reset() {
  nStep = 0;
  sReply.clear();
}

THandshakeReply_OPT THandshake::Feed(std::string_view sChunk, std::string& sRest) {
  sRest.clear();
  if (Done()) return HANDSHAKE_REPLY_NEED_MORE;
  sReply.append(sChunk);
  const std::string_view sPrompt = vSteps[nStep].sPrompt;
  const size_t nFound = sReply.find(sPrompt);
  if (nFound == std::string::npos) {
    if (sReply.find(kGoingDownNotice) != std::string::npos) return HANDSHAKE_REPLY_GOING_DOWN;
    // Keep only a tail long enough to hold a prompt or the notice cut by a read.
    if (sReply.size() > kMaxReplyBytes) sReply.erase(0, sReply.size() - 64);
    return HANDSHAKE_REPLY_NEED_MORE;
  }
  ++nStep;
  if (Done()) sRest.assign(sReply, nFound + sPrompt.size());
  sReply.clear();
  return HANDSHAKE_REPLY_PROMPT;
}

// ---- Stamps ----------------------------------------------------------------

std::optional<uint64_t> ParseStampNumber(std::string_view sValue) {
  sValue = TrimBlanks(sValue);
  if (sValue.empty()) return std::nullopt;
  uint64_t nResult = 0;
  for (char c : sValue) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t nDigit = static_cast<uint64_t>(c - '0');
    if (nResult > (UINT64_MAX - nDigit) / 10) return std::nullopt;
    nResult = nResult * 10 + nDigit;
  }
  return nResult;
}

void ParseStampLine(std::string_view sLine, TFrame& tFrame) {
  if (sLine.size() < kStampSeqKey.size() || sLine[0] != 'T') return;
  if (!tFrame.bHasSeq && sLine.starts_with(kStampSeqKey)) {
    if (auto nValue = ParseStampNumber(sLine.substr(kStampSeqKey.size()))) {
      tFrame.bHasSeq = true;
      tFrame.nSeq = *nValue;
    }
  } else if (!tFrame.bHasSent && sLine.starts_with(kStampSentKey)) {
    if (auto nValue = ParseStampNumber(sLine.substr(kStampSentKey.size()))) {
      tFrame.bHasSent = true;
      tFrame.nSentMicros = *nValue;
    }
  }
}

// ---- Frames ----------------------------------------------------------------

TFrameSplitter::TFrameSplitter(size_t nNewMaxFrameBytes) : nMaxFrameBytes(nNewMaxFrameBytes) {}

void TFrameSplitter::ResetFrame() {
  bInFrame = false;
  tFrame = TFrame{};
}

// At a frame's start the notice may stand where an event would begin.
bool TFrameSplitter::TakeGoingDown(TFrameSink& tSink) {
  if (bSkipping || bInFrame || nScanPos != nFrameStart) return false;
  if (sBuffer.size() - nScanPos < kGoingDownNotice.size()) return false;
  if (std::string_view(sBuffer).substr(nScanPos, kGoingDownNotice.size()) != kGoingDownNotice)
    return false;
  nScanPos += kGoingDownNotice.size();
  nFrameStart = nScanPos;
  tSink.OnGoingDown();
  return true;
}

// nLineEnd is the position of the line's '\n'; nScanPos is already past it.
void TFrameSplitter::TakeLine(size_t nLineStart, size_t nLineEnd, TFrameSink& tSink) {
  std::string_view sLine(sBuffer.data() + nLineStart, nLineEnd - nLineStart);
  if (!sLine.empty() && sLine.back() == '\r') sLine.remove_suffix(1);
  if (bSkipping) {
    if (sLine.empty() && !bMidLine) {
      bSkipping = false;
      nFrameStart = nScanPos;
      tSink.OnFrameDropped(nSkipped);
    } else {
      nSkipped += nScanPos - nLineStart;
      bMidLine = false;
    }
    return;
  }
  if (!sLine.empty()) {
    bInFrame = true;
    ParseStampLine(sLine, tFrame);
    return;
  }
  if (bInFrame) {
    tFrame.sText = std::string_view(sBuffer.data() + nFrameStart, nLineStart - nFrameStart);
    // A frame completed within one chunk was never checked by Compact().
    if (tFrame.sText.size() > nMaxFrameBytes) tSink.OnFrameDropped(tFrame.sText.size());
    else tSink.OnFrame(tFrame);
    ResetFrame();
  }
  nFrameStart = nScanPos;  // an empty line between frames is skipped
}

void TFrameSplitter::Feed(std::string_view sChunk, TFrameSink& tSink) {
  sBuffer.append(sChunk);
  while (true) {
    if (TakeGoingDown(tSink)) continue;
    const void* pNewLine =
        std::memchr(sBuffer.data() + nScanPos, '\n', sBuffer.size() - nScanPos);
    if (pNewLine == nullptr) break;
    const size_t nLineStart = nScanPos;
    const size_t nLineEnd = static_cast<size_t>(static_cast<const char*>(pNewLine) - sBuffer.data());
    nScanPos = nLineEnd + 1;
    TakeLine(nLineStart, nLineEnd, tSink);
    if (bSkipping) nFrameStart = nScanPos;  // skipped lines are not kept
  }
  Compact();
}

// While skipping, a partial line is dropped unless it could still become the
// empty line that ends the oversized frame ("" or a lone CR at a line start).
void TFrameSplitter::DiscardPartialLine() {
  const std::string_view sPartial(sBuffer.data() + nScanPos, sBuffer.size() - nScanPos);
  if (!bMidLine && (sPartial.empty() || sPartial == "\r")) return;
  nSkipped += sPartial.size();
  bMidLine = bMidLine || !sPartial.empty();
  sBuffer.resize(nScanPos);
}

void TFrameSplitter::Compact() {
  if (bSkipping) DiscardPartialLine();
  sBuffer.erase(0, nFrameStart);
  nScanPos -= nFrameStart;
  nFrameStart = 0;
  // The 2 leave room for the CR LF of the empty line that may be on its way.
  if (!bSkipping && sBuffer.size() > nMaxFrameBytes + 2) {
    // Over the bound: from here on the frame's bytes are counted, not kept.
    bSkipping = true;
    bMidLine = false;
    nSkipped = nScanPos;
    ResetFrame();
    sBuffer.erase(0, nScanPos);
    nScanPos = 0;
    DiscardPartialLine();
  }
  if (sBuffer.capacity() > (size_t{1} << 20) && sBuffer.size() < 4096) sBuffer.shrink_to_fit();
}

size_t TFrameSplitter::Finish() {
  size_t nUnfinished = 0;
  if (bSkipping) {
    nUnfinished = nSkipped + sBuffer.size();
  } else {
    const std::string_view sPending(sBuffer.data() + nFrameStart, sBuffer.size() - nFrameStart);
    if (bInFrame || sPending.find_first_not_of("\r\n") != std::string_view::npos)
      nUnfinished = sPending.size();
  }
  sBuffer.clear();
  nFrameStart = nScanPos = nSkipped = 0;
  bSkipping = bMidLine = false;
  ResetFrame();
  return nUnfinished;
}

}  // namespace cticlient
