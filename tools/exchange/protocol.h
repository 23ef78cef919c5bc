// Text side of the simulated manager interface, without any I/O: reading the client's action
// blocks, answering them, loading replay files, framing and stamping events, decoding the "raw"
// console escapes and planning how a write is cut into pieces.
//
// Every routine here is a pure function or a self-contained object owned by one session on the
// I/O thread. Buffers are bounded: a client that sends megabytes without an empty line loses
// that text, not the simulator's memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "options.h"
#include "random.h"

namespace exsim {

inline constexpr std::string_view kGreeting = "Zunda Call Manager/5.0.1\r\n";
inline constexpr std::string_view kLoginAccepted =
    "Response: Success\r\nMessage: Authentication accepted\r\n\r\n";
inline constexpr std::string_view kLoginFailed =
    "Response: Error\r\nMessage: Authentication failed\r\n\r\n";
inline constexpr size_t kMaxActionBytes = 64 * 1024;         // unterminated input kept at most
inline constexpr size_t kMaxReplayBytes = 64 * 1024 * 1024;  // largest replay file accepted

// One action block from the client: its "Key: Value" lines in order.
struct TAction {
  std::vector<std::pair<std::string, std::string>> lstFields;  // key, trimmed value
  // Value of the first field named sKey (letter case ignored, as the exchange does); empty if none.
  std::string Get(std::string_view sKey) const;
};

// Reassembles action blocks from whatever pieces the socket delivers. Lines may end in CR LF or
// in a bare LF; a block ends at an empty line. Text that grows past kMaxActionBytes without an
// empty line is thrown away and counted.
class TActionReader {
 public:
  void Feed(std::string_view sBytes);
  bool Next(TAction& tAction);  // false when no complete block is waiting
  uint64_t DiscardedBytes() const { return nDiscarded; }

 private:
  std::string sPending;     // received text not yet cut into blocks; at most kMaxActionBytes
  uint64_t nDiscarded = 0;  // bytes dropped because no block end came in time
};

// What the exchange says back to one action.
struct TAnswer {
  std::string sText;            // bytes to send; empty for no answer
  bool bLoginAccepted = false;  // a login that succeeded
  bool bLoginRefused = false;   // a login that failed
  bool bClose = false;          // close the connection after sending sText
};

// Answers one action. bLoggedIn tells whether this connection has logged in; nUptimeSeconds
// feeds "core show uptime".
TAnswer AnswerAction(const TAction& tAction, const TExchangeOptions& tOptions, bool bLoggedIn,
                     int64_t nUptimeSeconds);

// The plain-text queue summary that answers "Action: Queues" (no "Event:" line, ends in a blank
// line).
std::string QueueSummaryText(const TExchangeOptions& tOptions);

// "1 hour, 2 minutes, 3 seconds"; "0 seconds" for zero.
std::string FormatDuration(int64_t nSeconds);

// Rewrites every line feed not preceded by a carriage return as CR LF.
std::string NormaliseLineEnds(std::string_view sText);

// Cuts normalised text into blocks at blank lines (empty or blanks only). Each block keeps its
// lines with their CR LF and ends with the CR LF of its last line, without the empty line.
std::vector<std::string> SplitBlocks(std::string_view sText);

// Reads a replay file: any line ends, blocks separated by blank lines. False with a reason if the
// file cannot be read, is larger than kMaxReplayBytes or holds no block.
bool LoadReplayFile(const std::string& sPath, std::vector<std::string>& vBlocks,
                    std::string& sError);

// One event as it goes on the wire: the block, the stamp fields when bStamp, and the empty line.
std::string FrameEvent(std::string_view sBlock, bool bStamp, uint64_t nSeq, int64_t nSentMicros);

// Decodes \r \n \t \\ and \xHH; any other backslash sequence is kept as written.
std::string DecodeEscapes(std::string_view sText);

// Piece lengths of a write of nLength bytes: pieces of nEvery bytes (the last may be shorter).
std::vector<size_t> CutEvery(size_t nLength, size_t nEvery);

// Piece lengths of a write cut at a few random positions (at least two pieces when nLength > 1).
std::vector<size_t> CutRandom(size_t nLength, TRandom& tRandom);

}  // namespace exsim
