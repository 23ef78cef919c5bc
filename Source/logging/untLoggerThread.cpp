// The general log's writer thread (design in untLoggerThread.h).
//
// Thread: the writer only. It holds crsGenericFifo while it writes one line, so a producer waits
// for at most one line's open-append-close. The line leaves the ring only once it is in the file.
#include "logging/untLoggerThread.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

#include "logging/untLogger.h"
#include "logging/untUtil.h"
#include "platform/untCodePage.h"
#include "startup/untVariables.h"

namespace {

// Appends sBytes to the file at sPath, creating it when missing; false with the reason on failure.
bool AppendToFile(const std::string& sPath, const std::string& sBytes, std::string& sError) {
  std::FILE* pFile = std::fopen(sPath.c_str(), "ab");
  if (pFile == nullptr) {
    sError = "cannot open " + sPath + ": " + std::strerror(errno);
    return false;
  }
  const bool bWritten = std::fwrite(sBytes.data(), 1, sBytes.size(), pFile) == sBytes.size();
  const int nWriteErrno = errno;
  const bool bClosed = std::fclose(pFile) == 0;
  if (!bWritten || !bClosed) {
    sError = "cannot write " + sPath + ": " + std::strerror(bWritten ? errno : nWriteErrno);
    return false;
  }
  return true;
}

bool AnyLineWaiting() {
  std::mutex* pLock = crsGenericFifo.load();
  if (pLock == nullptr) return false;
  std::lock_guard<std::mutex> lock(*pLock);
  return MyGenericFifo.nWP != MyGenericFifo.nRP;
}

// The journal's copy of a line, with LF line ends: the journal shows text with CRs as binary data.
// A failure here costs only the copy.
void EchoToStderr(const std::string& sLine) {
  std::string sOut;
  sOut.reserve(sLine.size() + 1);
  for (size_t n = 0; n < sLine.size(); ++n) {
    if (sLine[n] != '\r') {
      sOut += sLine[n];
    } else if (n + 1 >= sLine.size() || sLine[n + 1] != '\n') {
      sOut += '\n';
    }
  }
  sOut += '\n';
  std::fwrite(sOut.data(), 1, sOut.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool TExecLoggerGeneralThread::WritePendingLine(const std::string& sDirectory, bool bEchoToStderr,
                                                std::string& sError) {
  std::mutex* pLock = crsGenericFifo.load();
  if (pLock == nullptr) return true;
  std::lock_guard<std::mutex> lock(*pLock);
  TGenericFifo& fifo = MyGenericFifo;
  if (fifo.nWP == fifo.nRP) return true;
  // The date of the writing names the file, not the stamp inside the line.
  const std::string sPath = sDirectory + "/" + LogFileName();
  const std::string sText = Cp1252ToUtf8(CollapseWhitespace(fifo.vFifo[fifo.nRP]));
  if (!AppendToFile(sPath, sText + "\r\n", sError)) return false;
  if (bEchoToStderr) EchoToStderr(sText);
  fifo.vFifo[fifo.nRP].clear();
  fifo.nRP = fifo.nRP + 1 >= GENERIC_FIFO_SLOTS ? 0 : fifo.nRP + 1;
  return true;
}

void TExecLoggerGeneralThread::Execute() {
  std::string sError;
  try {
    while (MyAppInfo.bIsRunning) {
      if (!WritePendingLine(sDirectoryThread, bEchoToStderr, sError)) break;
      SleepMs(1);
    }
    // WriteLog accepts nothing once the flag is clear, so this ends: at most one ring's worth.
    // The lines logged just before the end, the reason for it among them, reach the file.
    for (int n = 0; n < GENERIC_FIFO_SLOTS && sError.empty() && AnyLineWaiting(); ++n)
      if (!WritePendingLine(sDirectoryThread, bEchoToStderr, sError)) break;
  } catch (const std::exception& e) {
    sError = e.what();
  } catch (...) {
    sError = "unknown failure";
  }
  // Ended by the run flag: nothing to say. Ended by a failure: the log is silent from now on,
  // so say why where an operator or the journal will see it.
  if (!sError.empty()) std::fprintf(stderr, "Telvane: the log writer stopped: %s\n", sError.c_str());
}

void WaitForLogWritten(std::chrono::milliseconds tTimeout) {
  std::mutex* pLock = crsGenericFifo.load();
  if (pLock == nullptr) return;
  const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
  while (std::chrono::steady_clock::now() < tEnd) {
    {
      std::lock_guard<std::mutex> lock(*pLock);
      if (MyGenericFifo.nWP == MyGenericFifo.nRP) return;
    }
    SleepMs(1);
  }
}
