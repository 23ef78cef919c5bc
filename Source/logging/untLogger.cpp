// STUB: replaced by the logging work.
#include "logging/untLogger.h"
TGenericFifo& MyGenericFifo = *new TGenericFifo();
std::atomic<std::mutex*> crsGenericFifo{nullptr};
void WriteLog(const std::string&, int, int, const std::string&, bool) {}
bool StartLogWriter() { return true; }
const char* LevelWord(int nLevel) { return nLevel == 0 ? "ERROR" : nLevel == 1 ? "WARNING" : "VERBOSE"; }
std::string LogStamp() { return {}; }
std::string LogFileName() { return {}; }
