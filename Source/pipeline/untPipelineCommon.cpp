#include "pipeline/untPipelineCommon.h"

#include <cstring>

#include "logging/untLogger.h"

namespace {
std::atomic<TPipelineLogObserver> fnLogObserver{nullptr};  // tests only; set before stages run
}  // namespace

void PipelineLog(const char* sSource, int nLevel, const std::string& sText, bool bEchoToStatus) {
  WriteLog(sSource, LOG_TARGET_MAIN, nLevel, sText, bEchoToStatus);
  if (TPipelineLogObserver fn = fnLogObserver.load(std::memory_order_acquire)) fn(sSource, nLevel, sText, bEchoToStatus);
}

void PipelineLogError(const char* sSource, const std::string& sMessage) {
  const char* sOperation = std::strchr(sSource, '.');
  sOperation = sOperation ? sOperation + 1 : sSource;
  PipelineLog(sSource, LOG_ERROR, "Error: " + sMessage + " during " + sOperation + " Process.", false);
}

void SetPipelineLogObserver(TPipelineLogObserver fnObserver) {
  fnLogObserver.store(fnObserver, std::memory_order_release);
}
