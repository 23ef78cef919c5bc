#include "pipeline/untEventSplitter.h"

#include <algorithm>
#include <cstddef>

#include "logging/untUtil.h"

namespace {

constexpr std::string_view EVENT_START = "Event:";
constexpr std::string_view EVENT_END = "\r\n\r";  // the marker: last line's CR LF, then the blank line's CR
constexpr std::string_view FILE_FIELD = "File: ";

bool HasNonBlank(std::string_view sText) {
  return std::any_of(sText.begin(), sText.end(), [](char c) { return static_cast<unsigned char>(c) > 0x20; });
}

std::string_view LastBytes(std::string_view sText, size_t n) { return sText.substr(sText.size() - std::min(n, sText.size())); }

// An occurrence of sWhat that begins in sBefore (the end of the text held from earlier chunks) and
// ends in sChunk: its start as a negative offset from sChunk's start (earliest first); 0 for none.
ptrdiff_t FindStraddling(std::string_view sBefore, std::string_view sChunk, std::string_view sWhat) {
  for (size_t nHeld = std::min(sBefore.size(), sWhat.size() - 1); nHeld > 0; --nHeld) {
    if (LastBytes(sBefore, nHeld) == sWhat.substr(0, nHeld) && sChunk.starts_with(sWhat.substr(nHeld)))
      return -static_cast<ptrdiff_t>(nHeld);
  }
  return 0;
}

// Position in sChunk right after the first marker that ends there, also one begun in sBefore
// (the held text that precedes sChunk); npos when none ends in sChunk.
size_t EndOfMarker(std::string_view sBefore, std::string_view sChunk) {
  const ptrdiff_t nStraddle = FindStraddling(sBefore, sChunk, EVENT_END);
  if (nStraddle < 0) return static_cast<size_t>(nStraddle + static_cast<ptrdiff_t>(EVENT_END.size()));
  const size_t nMarker = sChunk.find(EVENT_END);
  return nMarker == std::string_view::npos ? nMarker : nMarker + EVENT_END.size();
}

// The longest end of sHeld + sChunk that is a proper beginning of "Event:" (empty when none).
std::string EventStartTail(std::string_view sHeld, std::string_view sChunk) {
  std::string sEnd(LastBytes(sHeld, EVENT_START.size() - 1));
  sEnd.append(LastBytes(sChunk, EVENT_START.size() - 1));
  for (size_t n = std::min(sEnd.size(), EVENT_START.size() - 1); n > 0; --n)
    if (LastBytes(sEnd, n) == EVENT_START.substr(0, n)) return std::string(LastBytes(sEnd, n));
  return {};
}

}  // namespace

uint32_t ClassifyEvent(std::string_view sEvent) {
  // One walk over the "File: " fields answers all three substring tests.
  uint32_t nRings = 0;
  for (size_t n = sEvent.find(FILE_FIELD); n != std::string_view::npos; n = sEvent.find(FILE_FIELD, n + 1)) {
    const std::string_view sModule = sEvent.substr(n + FILE_FIELD.size());
    if (sModule.starts_with("app_queue.c")) nRings |= EVENT_RING_QUEUE;
    if (sModule.starts_with("channel.c") || sModule.starts_with("chan_sip.c") || sModule.starts_with("app_dial.c"))
      nRings |= EVENT_RING_PEER;
    if (sModule.starts_with("features.c")) nRings |= EVENT_RING_FEATUREPARK;
  }
  return nRings;
}

void TEventSplitter::Feed(std::string_view sChunk, TEventSplitterOutput& tOutput) {
  size_t nPos = 0;
  if (tMode == MODE_EVENT) nPos = FeedEvent(sChunk, tOutput);
  else if (tMode == MODE_SKIP) nPos = FeedSkip(sChunk);
  if (nPos != std::string_view::npos) FeedSeek(sChunk, nPos, tOutput);
}

// An unfinished event is held: look for its marker, also across the chunk boundary, and search
// only the new text. Returns the position right after the marker, or npos when still unfinished.
size_t TEventSplitter::FeedEvent(std::string_view sChunk, TEventSplitterOutput& tOutput) {
  const size_t nAfter = EndOfMarker(sEvent, sChunk);
  if (nAfter == std::string_view::npos) {
    if (sEvent.size() + sChunk.size() > MAX_EVENT_BYTES) {
      std::string sLast(LastBytes(sEvent, EVENT_END.size() - 1));
      sLast.append(LastBytes(sChunk, EVENT_END.size() - 1));
      DropEvent(sEvent.size() + sChunk.size(), sLast, tOutput);
    } else {
      sEvent.append(sChunk);
    }
    return nAfter;
  }
  // The event keeps the CR LF that opens the marker: everything up to one byte before nAfter.
  const size_t nEventBytes = sEvent.size() + nAfter - 1;
  tMode = MODE_SEEK;
  ResetSeek();
  if (nEventBytes > MAX_EVENT_BYTES) {
    std::string().swap(sEvent);
    tOutput.OnEventTooLarge(nEventBytes);
    return nAfter;
  }
  sEvent.append(sChunk.substr(0, nAfter - 1));
  tOutput.OnEvent(sEvent, fnClassify(sEvent));
  sEvent.clear();
  if (sEvent.capacity() > MAX_TEXT_BEFORE_EVENT) std::string().swap(sEvent);  // give a huge event's memory back
  return nAfter;
}

// The rest of a dropped event is discarded up to its marker.
size_t TEventSplitter::FeedSkip(std::string_view sChunk) {
  const size_t nAfter = EndOfMarker(sTail, sChunk);
  if (nAfter == std::string_view::npos) {
    std::string sEnd = sTail;
    sEnd.append(LastBytes(sChunk, EVENT_END.size() - 1));
    sTail.assign(LastBytes(sEnd, EVENT_END.size() - 1));
    return nAfter;
  }
  tMode = MODE_SEEK;
  ResetSeek();
  return nAfter;
}

// Carry-over (as bCarryNonBlank, nCarryBytes, sTail) followed by sChunk from nPos: cut every
// complete event, then keep what is left.
void TEventSplitter::FeedSeek(std::string_view sChunk, size_t nPos, TEventSplitterOutput& tOutput) {
  while (true) {
    const std::string_view sRest = sChunk.substr(nPos);
    if (!bCarryNonBlank && !HasNonBlank(sRest)) return;  // only blanks: dropped, carry-over unchanged
    // The event is sHead (its first bytes, held from earlier chunks) followed by sChunk from nBody.
    std::string_view sHead;
    size_t nBody = 0;
    const ptrdiff_t nStraddle = FindStraddling(sTail, sRest, EVENT_START);
    if (nStraddle < 0) {
      sHead = std::string_view(sTail).substr(sTail.size() - static_cast<size_t>(-nStraddle));
      nBody = nPos;
    } else {
      const size_t nStart = sRest.find(EVENT_START);
      if (nStart == std::string_view::npos) return CarryText(sRest, tOutput);
      nBody = nPos + nStart;
    }
    const size_t nMarker = sChunk.find(EVENT_END, nBody + EVENT_START.size() - sHead.size());
    if (nMarker == std::string_view::npos) return CarryEvent(sHead, sChunk.substr(nBody), tOutput);
    const std::string_view sBody = sChunk.substr(nBody, nMarker + 2 - nBody);
    nPos = nMarker + EVENT_END.size();
    if (const size_t nBytes = sHead.size() + sBody.size(); nBytes > MAX_EVENT_BYTES) {
      ResetSeek();
      tOutput.OnEventTooLarge(nBytes);
    } else if (sHead.empty()) {
      ResetSeek();
      tOutput.OnEvent(sBody, fnClassify(sBody));
    } else {
      const std::string sFound = std::string(sHead).append(sBody);
      ResetSeek();
      tOutput.OnEvent(sFound, fnClassify(sFound));
    }
  }
}

void TEventSplitter::ResetSeek() {
  bCarryNonBlank = false;
  nCarryBytes = 0;
  sTail.clear();
}

// sText (no "Event:" in it, nor across its start) joins the carried text before any event.
void TEventSplitter::CarryText(std::string_view sText, TEventSplitterOutput& tOutput) {
  sTail = EventStartTail(sTail, sText);
  nCarryBytes += sText.size();
  bCarryNonBlank = true;
  ++nCountErrNotEvent;
  std::string sDropped;
  if (nCarryBytes > MAX_TEXT_BEFORE_EVENT) {
    sDropped = "text of " + IntToStr(static_cast<int64_t>(nCarryBytes)) + " bytes without \"Event:\" dropped";
    nCarryBytes = sTail.size();
    bCarryNonBlank = !sTail.empty();
  }
  tOutput.OnNotEvent(CountErrNotEvent());
  if (!sDropped.empty()) tOutput.OnCarryOverDropped(sDropped);
}

void TEventSplitter::CarryEvent(std::string_view sHead, std::string_view sBody, TEventSplitterOutput& tOutput) {
  std::string sStart(sHead);  // sHead may view sTail, which ResetSeek clears
  ResetSeek();
  if (const size_t nBytes = sStart.size() + sBody.size(); nBytes > MAX_EVENT_BYTES) {
    sStart.append(LastBytes(sBody, EVENT_END.size() - 1));
    return DropEvent(nBytes, sStart, tOutput);
  }
  sEvent.assign(sStart).append(sBody);
  tMode = MODE_EVENT;
}

// The unfinished event passed its bound (nBytes of it arrived, ending in sLast): forget it and
// skip the rest of it up to its marker, keeping the bytes that may begin that marker.
void TEventSplitter::DropEvent(size_t nBytes, std::string_view sLast, TEventSplitterOutput& tOutput) {
  sTail.assign(LastBytes(sLast, EVENT_END.size() - 1));
  std::string().swap(sEvent);
  tMode = MODE_SKIP;
  tOutput.OnEventTooLarge(nBytes);
}
