// The raw-event splitter: reassembles the exchange's byte stream into whole events and names the
// global rings each event belongs in. Pure logic, no threads, no I/O; TExecGeneralMsgReadThread
// feeds it one raw chunk at a time.
//
// Rules, applied to the carry-over followed by the new chunk:
//   - an event runs from "Event:" to the first "\r\n\r" after it; it keeps the "\r\n" that ends
//     its last line and the text goes on right after the three characters;
//   - text before "Event:" is dropped, but only once an "Event:" follows; until then it is carried
//     over, and each chunk that ends in such text counts in nCountErrNotEvent;
//   - a buffer holding only blanks (bytes 0x00-0x20) is left alone: the blanks are dropped and the
//     carry-over keeps its value.
// The classic form of this rule first rewrites every "\r\n\r\n" of the buffer as "\r\n\r". That
// changes nothing that is cut: the text from an "Event:" to its first "\r\n\r" holds no "\r\n\r\n";
// no rewrite can make or break an "Event:" or change whether a byte is blank; and the only byte it
// removes, a line feed right after a marker, lies in text that is dropped before the next "Event:".
// So the splitter works on the raw text, also where a "\r\n\r\n" straddles two chunks, and never
// rewrites. The splitter tests hold it to the classic form chunk by chunk.
//
// Cost is linear in the new text: an unfinished event is searched for its marker only in the new
// chunk (and across the boundary), and text without "Event:" is kept only as the tail that could
// begin one, with its length and whether it holds a non-blank byte.
//
// Bounds: text without "Event:" is dropped once it passes 1 MiB (keeping a tail that may begin
// "Event:"). An event larger than 1 MiB is dropped whole, as soon as it is known to pass that size:
// at its end when it ends within the chunk, otherwise once the unfinished part passes it, so the
// carry-over never holds more than 1 MiB of an event. No exchange event comes near that size, and
// a desk's output queue could not take one that did. A dropped event is skipped up to its own end
// marker, so its remaining lines (such as "SubEvent: ...") never pose as events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/untFamilyId.h"

// Global rings an event is filed into, by the modules named on its "File: " lines: one bit per
// family, at the family's number.
enum TEventRing_OPT : uint32_t {
  EVENT_RING_QUEUE = 1u << EVENT_FAMILY_QUEUE,  // "File: app_queue.c"
  EVENT_RING_PEER = 1u << EVENT_FAMILY_PEER,    // "File: channel.c", "File: chan_sip.c" or "File: app_dial.c"
  EVENT_RING_FEATUREPARK = 1u << EVENT_FAMILY_FEATUREPARK,  // "File: features.c"
};

// Bit set of TEventRing_OPT: each of the three tests is an independent substring test. This is
// the CLASSIC rule; the CURRENT profile classifies by event names (untEventProfile).
uint32_t ClassifyEvent(std::string_view sEvent);
// A classification rule: the bit set of TEventRing_OPT of one event.
using TClassifyEvent = uint32_t (*)(std::string_view sEvent);

// What the splitter reports, in stream order, while it feeds.
class TEventSplitterOutput {
 public:
  virtual ~TEventSplitterOutput() = default;
  // One complete event, valid only during the call; nRings from the splitter's classifier.
  virtual void OnEvent(std::string_view sEventFound, uint32_t nRings) = 0;
  // A chunk ended in text without "Event:"; nCountErrNotEvent is the new count.
  virtual void OnNotEvent(int32_t nCountErrNotEvent) = 0;
  // Text without "Event:" passed its bound and was dropped; sWhat says how large it was.
  virtual void OnCarryOverDropped(const std::string& sWhat) = 0;
  // An event passed MAX_EVENT_BYTES and was dropped; nBytes of it had arrived (more may follow,
  // and are skipped).
  virtual void OnEventTooLarge(size_t nBytes) = 0;
};

class TEventSplitter {
 public:
  static constexpr size_t MAX_TEXT_BEFORE_EVENT = size_t{1} << 20;
  static constexpr size_t MAX_EVENT_BYTES = size_t{1} << 20;  // the largest event passed on

  // fnClassify names the rings of each event cut (ClassifyEvent unless a profile says otherwise).
  explicit TEventSplitter(TClassifyEvent fnClassify = &ClassifyEvent) : fnClassify(fnClassify) {}

  // Splits the carry-over plus sChunk. Every state change is made before the report that follows
  // it, so an output that throws loses at most the rest of this chunk, never repeats an event.
  void Feed(std::string_view sChunk, TEventSplitterOutput& tOutput);

  int32_t CountErrNotEvent() const { return static_cast<int32_t>(nCountErrNotEvent); }
  // Bytes of text held for the next chunk.
  size_t HeldBytes() const { return tMode == MODE_EVENT ? sEvent.size() : sTail.size(); }

 private:
  enum TMode { MODE_SEEK, MODE_EVENT, MODE_SKIP };

  size_t FeedEvent(std::string_view sChunk, TEventSplitterOutput& tOutput);  // returns where seeking resumes
  size_t FeedSkip(std::string_view sChunk);
  void FeedSeek(std::string_view sChunk, size_t nPos, TEventSplitterOutput& tOutput);
  void ResetSeek();
  void CarryText(std::string_view sText, TEventSplitterOutput& tOutput);
  void CarryEvent(std::string_view sHead, std::string_view sBody, TEventSplitterOutput& tOutput);
  void DropEvent(size_t nBytes, std::string_view sLast, TEventSplitterOutput& tOutput);

  const TClassifyEvent fnClassify;  // the rings of an event; constant

  // All owned by the feeding thread.
  TMode tMode = MODE_SEEK;
  uint32_t nCountErrNotEvent = 0;  // chunks that ended in text without "Event:"; wraps like a 32-bit int
  // MODE_SEEK: the carry-over is text without "Event:", kept only as what matters of it.
  bool bCarryNonBlank = false;     // the carried text holds a byte above 0x20
  size_t nCarryBytes = 0;          // length of the carried text, for its bound
  std::string sTail;               // MODE_SEEK: end of the carry that may begin "Event:" (<= 5 bytes);
                                   // MODE_SKIP: end of the dropped event that may begin the marker (<= 2)
  // MODE_EVENT: the unfinished event, from "Event:"; it holds no "\r\n\r" and at most MAX_EVENT_BYTES.
  std::string sEvent;
};
