// Audit capture: AuditStart opens a capture, AuditStop ends it and writes the ten capture lists to
// ten files, <prefix>YYYY-MM-DD.audit in the log folder, in a fixed order.
//
// Thread: the control thread. Nine lists are appended to by the control thread only; lstMainLog is
// appended to by every logging thread, so it is saved from a snapshot taken under its lock and the
// producers never wait for the file. Files are UTF-8 like the log: each entry followed by CR LF.
// Each file is written beside its final name and then renamed over it, so an existing file of the
// same name is replaced whole, and a failed write never leaves a half-written capture behind it.
// The lists are never emptied: every capture's files hold everything captured since start-up.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>
#include <stdexcept>
#include <vector>

#include "base/untCodePage.h"
#include "base/untMessage.h"
#include "base/untVariables.h"
#include "controller/untValidate.h"
#include "logging/untDisplaySink.h"
#include "logging/untLogger.h"
#include "pipeline/untEventFamily.h"

namespace {

// "YYYY-MM-DD.audit": the part of every name after its prefix, from the local date now.
std::string AuditDatePart() {
  const std::time_t t = std::time(nullptr);
  std::tm tmLocal{};
  localtime_r(&t, &tmLocal);
  char sDate[64];
  std::snprintf(sDate, sizeof(sDate), "%04d-%02d-%02d.audit", tmLocal.tm_year + 1900, tmLocal.tm_mon + 1,
                tmLocal.tm_mday);
  return sDate;
}

void WriteEntries(std::FILE* pFile, const std::vector<std::string>& vLines, const std::string& sPath) {
  for (const std::string& sEntry : vLines) {
    const std::string sOut = Cp1252ToUtf8(sEntry) + "\r\n";
    if (std::fwrite(sOut.data(), 1, sOut.size(), pFile) != sOut.size())
      throw std::runtime_error("cannot write " + sPath + ": " + std::strerror(errno));
  }
}

// Writes one list to sPath, replacing any file there. A missing list is written as empty.
void SaveList(TAuditList* lst, bool bShared, const std::string& sPath) {
  const std::string sPartial = sPath + ".partial";
  std::FILE* pFile = std::fopen(sPartial.c_str(), "wb");
  if (pFile == nullptr) throw std::runtime_error("cannot create " + sPartial + ": " + std::strerror(errno));
  try {
    if (lst != nullptr && bShared) {
      WriteEntries(pFile, lst->Snapshot(), sPath);
    } else if (lst != nullptr) {
      // Only the control thread appends to this list, and that is us: no copy needed.
      TMutexLock lock(lst->crsList);
      WriteEntries(pFile, lst->vLines, sPath);
    }
  } catch (...) {
    std::fclose(pFile);
    std::remove(sPartial.c_str());
    throw;
  }
  if (std::fclose(pFile) != 0) {
    std::remove(sPartial.c_str());
    throw std::runtime_error("cannot write " + sPath + ": " + std::strerror(errno));
  }
  if (std::rename(sPartial.c_str(), sPath.c_str()) != 0) {
    std::remove(sPartial.c_str());
    throw std::runtime_error("cannot replace " + sPath + ": " + std::strerror(errno));
  }
}

struct TAuditFile {
  std::string sPrefix;  // the file name before the date
  TAuditList* lst;      // may be null when the lists could not be created
  bool bShared;         // appended to by other threads too (lstMainLog)
};

// "GLOBALQUEUE_", "SPECIFICPEER_", ...: a family stage's file prefix, its kind and the family's
// name in capitals.
std::string StagePrefix(const char* sKind, const TEventFamily& family) {
  std::string sPrefix = sKind;
  for (const char* p = family.sDeskName; *p != '\0'; ++p)
    sPrefix += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return sPrefix + "_";
}

// The ten lists in the order their files are written: the four of the relay, then each family's
// global and per-key stage.
std::vector<TAuditFile> AuditFiles() {
  TAuditEvents& a = MyAuditEvents;
  std::vector<TAuditFile> vFiles = {{"AUDIT_", a.lstAudit, false},
                                    {"MAINLOG_", a.lstMainLog.load(), true},
                                    {"READRECEIVED_", a.lstReadReceived, false},
                                    {"READPROCESSED_", a.lstReadProcessed, false}};
  for (const TEventFamily& family : AllFamilies()) {
    vFiles.push_back({StagePrefix("GLOBAL", family), a.*family.tGlobal.pAuditList, false});
    vFiles.push_back({StagePrefix("SPECIFIC", family), a.*family.tSpecific.pAuditList, false});
  }
  return vFiles;
}

// The busy mark for the length of the file writing, taken down on every path: a failed save must
// not leave the console showing work that is no longer going on.
class TBusyMark {
 public:
  explicit TBusyMark(TDisplaySink* pSinkIn) : pSink(pSinkIn) {
    if (pSink != nullptr) pSink->SetBusy(true);
  }
  ~TBusyMark() {
    if (pSink != nullptr) pSink->SetBusy(false);
  }
  TBusyMark(const TBusyMark&) = delete;
  TBusyMark& operator=(const TBusyMark&) = delete;

 private:
  TDisplaySink* pSink;
};

}  // namespace

void TValidate::AuditStart(int32_t nDurationMinutes) {
  try {
    if (MyAuditEvents.bEnabled) return;
    const int32_t nMinutes = std::clamp<int32_t>(nDurationMinutes, 1, 35791);
    MyAuditEvents.nDurationSeconds = nMinutes * 60;
    MyAuditEvents.bEnabled = true;
    PrintMainAudit(Msg(15));
    WriteLog("TfrmTelvane.chkMainAuditClick", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(15), false);
    if (TDisplaySink* pSink = DisplaySink()) pSink->SetEnabled(CTL_TXT_AUDIT_TIME, false);
  } catch (const std::exception& e) {
    LogOperationError("TValidate", "AuditStart", e.what());
  }
}

void TValidate::AuditStop() {
  try {
    if (!MyAuditEvents.bEnabled) return;
    PrintMainAudit(Msg(16));
    WriteLog("TfrmTelvane.chkMainAuditClick", LOG_TARGET_MAIN, LOG_VERBOSE, Msg(16), false);
    MyAuditEvents.bEnabled = false;
    TDisplaySink* pSink = DisplaySink();
    if (pSink != nullptr) {
      pSink->SetEnabled(CTL_TXT_AUDIT_TIME, true);
      pSink->SetChecked(CTL_CHK_MAIN_AUDIT, false);
    }
    TBusyMark busy(pSink);
    const std::string sDirectory = GetAuditDirectory();
    std::error_code ec;
    std::filesystem::create_directories(sDirectory, ec);
    const std::string sDatePart = AuditDatePart();
    // In order; a failure ends the saving at that file, the earlier files stay written.
    for (const TAuditFile& f : AuditFiles()) SaveList(f.lst, f.bShared, sDirectory + "/" + f.sPrefix + sDatePart);
  } catch (const std::exception& e) {
    LogOperationError("TValidate", "AuditStop", e.what());
  }
}
