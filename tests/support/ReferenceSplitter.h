// The raw-event splitting rule written the plain way, for the splitter's test and its fuzz target
// to hold TEventSplitter to: over the whole buffer for every read, the carry-over joined to the
// read, every "\r\n\r\n" rewritten as "\r\n\r", then events cut one by one from "Event:" to that
// marker, each given the rings its "File:" lines name. Text without "Event:" is carried over and
// counted once per read. No bound: the inputs that use it stay far below the splitter's.
//
// Threads: an object belongs to one thread. Written for clarity, not speed, and it never calls
// the code it checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

class TReferenceSplitter {
 public:
  using TEvents = std::vector<std::pair<std::string, uint32_t>>;  // event text, rings

  // Appends the events this read completes to vOut.
  void Feed(std::string_view sRead, TEvents& vOut);
  int32_t CountErrNotEvent() const { return nCountErrNotEvent; }
  // The rings (EVENT_RING_* bits) an event's text names.
  static uint32_t Classify(const std::string& sEvent);

 private:
  std::string sSaveLastPartOfMessage;  // carry-over to the next read
  int32_t nCountErrNotEvent = 0;       // reads that left text without "Event:"
};

}  // namespace testsupport
