// The CTI client's side of the relay protocol, without any I/O: the handshake
// messages and the prompts that answer them, the number lists of the command
// line, the splitter that cuts the relay's byte stream into event frames, and
// the stamp fields the exchange simulator adds to its events.
//
// Threads: none of its own. A THandshake and a TFrameSplitter belong to one
// connection and are used by the thread that reads it (the client's single
// io_context thread); the free functions are pure.
//
// Wire facts this file relies on:
//   - The relay has no framing for what a client sends: each read on its side is
//     one message, so the client writes one handshake step at a time and sends
//     the next only after the prompt of the previous one has arrived.
//   - A failed step gets no reply at all; only a timeout can tell.
//   - An event frame is the event's lines, each ended by CR LF, then CR LF CR LF.
//     An event never holds an empty line, so the first empty line ends it; the
//     splitter also skips empty lines between frames, which absorbs the
//     CR LF CR LF that ends the last prompt.
//   - "Server is going down!" comes without a line end, between frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cticlient {

inline constexpr std::string_view kDefaultAccessCode = "qmRoK8]";
inline constexpr std::string_view kGoingDownNotice = "Server is going down!";
inline constexpr std::string_view kStampSeqKey = "TelvaneSeq: ";
inline constexpr std::string_view kStampSentKey = "TelvaneSent: ";
inline constexpr size_t kDefaultMaxFrameBytes = size_t{16} << 20;  // 16 MiB
inline constexpr size_t kMaxListNumbers = 100000;  // bound on one expanded list

// Subscription ranges of the relay; numbers outside them are ignored there.
struct TNumberRange {
  int32_t nFirst = 0;  // first number, inclusive
  int32_t nLast = 0;   // last number, inclusive
};
inline constexpr TNumberRange kQueueRange{10001, 11001};
inline constexpr TNumberRange kPeerRange{20001, 30001};
inline constexpr TNumberRange kParkRange{701, 801};

// ---- Number lists ----------------------------------------------------------

// Expands "10001-10010,10020" into its numbers, in the order written. Blanks
// around entries and around "-" are allowed; a list of blanks is empty. Returns
// false with a one-line reason for an empty entry, a non-number, a reversed
// range or more than kMaxListNumbers numbers in all.
bool ExpandNumberList(std::string_view sList, std::vector<int32_t>& vNumbers,
                      std::string& sError);

// "10001,10002": the form the relay's list steps take between the parentheses.
std::string JoinNumberList(const std::vector<int32_t>& vNumbers);

// How many of vNumbers lie outside tRange.
size_t CountOutside(const std::vector<int32_t>& vNumbers, TNumberRange tRange);

// ---- Handshake -------------------------------------------------------------

struct THandshakeValues {
  std::string sAppId;                            // application name sent in MyAppID
  std::string sToken{kDefaultAccessCode};        // access code sent in MyAppToken
  std::vector<int32_t> vQueues;                  // queue numbers to subscribe
  std::vector<int32_t> vPeers;                   // extension numbers to subscribe
  std::vector<int32_t> vParks;                   // parking lot numbers to subscribe
};

struct THandshakeStep {
  std::string sMessage;      // bytes of the one write of this step, CR LF included
  std::string_view sPrompt;  // text the relay's reply must contain
  std::string_view sName;    // short name of the step for error texts
};

// The six steps, greeting first.
std::vector<THandshakeStep> BuildHandshakeSteps(const THandshakeValues& tValues);

enum THandshakeReply_OPT {
  HANDSHAKE_REPLY_NEED_MORE,   // the prompt has not arrived yet
  HANDSHAKE_REPLY_PROMPT,      // the current step's prompt arrived; the step advanced
  HANDSHAKE_REPLY_GOING_DOWN,  // the relay announced its stop instead
};

// Collects the replies of one handshake attempt and recognises the prompts even
// when a reply arrives in pieces. Bytes after the last prompt already belong to
// the event stream and are handed back.
class THandshake {
 public:
  explicit THandshake(std::vector<THandshakeStep> vSteps);

  void Reset();                                  // back to the greeting, buffer emptied
  bool Done() const { return nStep >= vSteps.size(); }
  size_t StepIndex() const { return nStep; }     // 0 = greeting
  const THandshakeStep& Current() const { return vSteps[nStep]; }  // requires !Done()
  size_t StepCount() const { return vSteps.size(); }

  // Feeds reply bytes. On HANDSHAKE_REPLY_PROMPT after the last step, sRest
  // receives the bytes that followed the prompt; otherwise sRest is cleared.
  THandshakeReply_OPT Feed(std::string_view sChunk, std::string& sRest);

 private:
  std::vector<THandshakeStep> vSteps;  // the six steps; constant
  size_t nStep = 0;                    // index of the step awaiting its prompt
  std::string sReply;                  // reply bytes of the current step, bounded
};

// ---- Stamps ----------------------------------------------------------------

// Strict value of a stamp field: optional blanks, decimal digits, optional
// blanks; nothing else, no sign, no overflow.
std::optional<uint64_t> ParseStampNumber(std::string_view sValue);

// ---- Frames ----------------------------------------------------------------

struct TFrame {
  std::string_view sText;  // the event's lines, each with its line end; valid only in OnFrame
  bool bHasSeq = false;    // a valid TelvaneSeq line was seen
  uint64_t nSeq = 0;       // its value
  bool bHasSent = false;   // a valid TelvaneSent line was seen
  uint64_t nSentMicros = 0;  // its value: microseconds since the Unix epoch
};

// If sLine (without its line end) is a stamp field, stores its value in tFrame;
// the first valid occurrence of each field wins.
void ParseStampLine(std::string_view sLine, TFrame& tFrame);

class TFrameSink {
 public:
  virtual ~TFrameSink() = default;
  virtual void OnFrame(const TFrame& tFrame) = 0;
  virtual void OnGoingDown() = 0;
  virtual void OnFrameDropped(size_t nBytes) = 0;  // a frame over the size bound
};

// Cuts the running connection's byte stream into frames. Each byte is looked at
// once: the scan resumes where the previous chunk stopped, and only the unfinished
// frame is kept between chunks, so memory stays within one frame plus one chunk.
// A frame that grows past nMaxFrameBytes is not kept: its bytes are counted and
// skipped up to its end, and OnFrameDropped reports it.
class TFrameSplitter {
 public:
  explicit TFrameSplitter(size_t nMaxFrameBytes = kDefaultMaxFrameBytes);

  void Feed(std::string_view sChunk, TFrameSink& tSink);

  // At end of stream: the bytes of an unfinished frame (0 when only blank line
  // ends are pending), after which the splitter starts afresh.
  size_t Finish();

 private:
  bool TakeGoingDown(TFrameSink& tSink);
  void TakeLine(size_t nLineStart, size_t nLineEnd, TFrameSink& tSink);
  void Compact();
  void DiscardPartialLine();
  void ResetFrame();

  size_t nMaxFrameBytes;    // bound of one frame; constant
  std::string sBuffer;      // bytes from the current frame's start on
  size_t nFrameStart = 0;   // where the current frame begins in sBuffer
  size_t nScanPos = 0;      // first byte not yet scanned for a line end
  bool bInFrame = false;    // the current frame has at least one non-empty line
  TFrame tFrame;            // stamps of the current frame
  bool bSkipping = false;   // inside a frame over the bound; its bytes are discarded
  bool bMidLine = false;    // skipping: the discarded bytes ended inside a line
  size_t nSkipped = 0;      // skipping: bytes of the oversized frame so far
};

}  // namespace cticlient
