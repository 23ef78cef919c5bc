// TExecGeneralMsgReadThread: the splitter thread. It consumes the raw-event ring, cuts the text into
// whole events with TEventSplitter (which holds the carry-over between chunks) and pushes each event
// into the global ring(s) of its category.
//
// The splitter classifies by the profile in force when the thread object is made (start-up, after
// the configuration was read): CLASSIC by module lines, CURRENT by event names.
//
// Pacing: under PASS it naps 10 ms whenever ten chunks or fewer wait; under EVENT it sleeps only
// while the raw ring is empty, until the next exchange read rings its bell (untStageWake).
//
// One thread. It takes the raw ring's lock to pop and, inside each push, one global ring's lock;
// never two at once. Display calls are blocking hand-overs to the control thread. The carry-over
// and nCountErrNotEvent belong to this thread alone and survive reconnections of the exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "logging/untThinnedLine.h"
#include "pipeline/untEventProfile.h"
#include "pipeline/untEventSplitter.h"
#include "platform/untWorker.h"

class TExecGeneralMsgReadThread : public TWorkerThread, private TEventSplitterOutput {
 public:
  // One raw chunk: split it and file its events. Errors are logged; the rest of the chunk is lost.
  // nReadStampUs: when the chunk was read; every event this chunk completes carries it.
  void ProcessGenericMessage(std::string_view sText, int64_t nReadStampUs = 0);
  int32_t CountErrNotEvent() const { return tSplitter.CountErrNotEvent(); }

 protected:
  void Execute() override;

 private:
  void OnEvent(std::string_view sEventFound, uint32_t nRings) override;
  void OnNotEvent(int32_t nCountErrNotEvent) override;
  void OnCarryOverDropped(const std::string& sWhat) override;
  void OnEventTooLarge(size_t nBytes) override;

  // Carry-over (the old sSaveLastPartOfMessage) and nCountErrNotEvent; this thread.
  TEventSplitter tSplitter{EventClassifier(MyConfigInfo.MyProfile)};
  int64_t nChunkStampUs = 0;  // read stamp of the chunk being split; this thread
  // Thinned drop lines: text without "Event:" past its bound, and events past the largest size.
  // Static: a flood stays one flood for the log even if the thread were made again.
  static inline TThinnedLine tCarryOverLine;  // this thread
  static inline TThinnedLine tTooLargeLine;   // this thread
};
