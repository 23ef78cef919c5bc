// TValidate's configuration concern: the constructor, which creates the ten capture lists and
// reads, corrects and publishes Lib/Config.ini into MyConfigInfo, then registers the controller as
// the stages' display; the destructor, which removes it and frees the lists; and the folders beside
// the executable.
//
// Which keys there are, how each is read, corrected and listed, is the table of untConfigKeys.cpp;
// this file loads the files, routes and counts what the reading says, and names unknown keys.
//
// Thread: the main thread during start-up (the constructor runs after the log writer has started
// and before any ring worker exists, so MyConfigInfo needs no lock: every later access is a read),
// and the control thread at the console's shut-down (the destructor).
// Order matters: nLogVerbose takes the file's value as soon as the file is read, so every line
// logged after that is already filtered by the configured level. Every line of the constructor is
// logged with source "TValidate.Create", target 1 (main log pane) and the status-bar echo. The
// configuration check (-check) runs the same reading with its lines printed instead of logged.
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "base/untIniFiles.h"
#include "base/untMessage.h"
#include "controller/untConfigKeys.h"
#include "controller/untValidate.h"
#include "logging/untLogger.h"
#include "logging/untLoggerThread.h"
#include "logging/untUtil.h"
#include "pipeline/untEventFamily.h"
#include "platform/untControlLoop.h"

TValidate* MyValidate = nullptr;

namespace {

// Where the lines of a reading go instead of the log (the configuration check); null: the log.
TValidate::TConfigLineSink fnConfigLine = nullptr;

void LogCreate(int nLevel, const std::string& sText) {
  if (fnConfigLine != nullptr) {
    fnConfigLine(nLevel, sText);
    return;
  }
  WriteLog("TValidate.Create", LOG_TARGET_MAIN, nLevel, sText, true);
}

std::string UpperAscii(std::string_view sText) {
  std::string sOut(sText);
  for (char& c : sOut)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return sOut;
}

// What the last reading found to say, for the configuration check's exit status; main thread.
TValidate::TConfigFindings tFindings;
// The (section, key) pairs the last reading looked up; a key "" stands for a whole section.
std::vector<std::pair<std::string, std::string>> lstKeysRead;

// A key no part of the relay reads is most often one put in the wrong section, so the line names
// the section that does read it when there is one.
void LogUnknownKeys(const TIniFile& ini) {
  const std::vector<std::pair<std::string, std::string>> lstRead = ini.LookedUp();
  for (const TIniFile::TUnread& u : ini.Unread()) {
    ++tFindings.nUnknown;
    if (u.sKey.empty()) {
      LogCreate(LOG_WARNING, "Unknown section [" + u.sSection + "] in " + u.sFile + ": its " + IntToStr(u.nKeys) +
                                 " key(s) are ignored.");
      continue;
    }
    std::string sText = "Unknown key " + u.sKey + " in section [" + u.sSection + "] of " + u.sFile + ": ignored.";
    const std::string sUpperKey = UpperAscii(u.sKey);
    for (const auto& [sSection, sKey] : lstRead)
      if (sKey == sUpperKey) {
        sText += " The relay reads " + sKey + " in section [" + sSection + "].";
        break;
      }
    LogCreate(LOG_WARNING, sText);
  }
}

bool CreateAuditLists() {
  try {
    TAuditEvents& a = MyAuditEvents;
    a.lstAudit = new TAuditList();
    a.lstMainLog = new TAuditList();
    a.lstReadReceived = new TAuditList();
    a.lstReadProcessed = new TAuditList();
    for (const TEventFamily& family : AllFamilies()) {
      a.*family.tGlobal.pAuditList = new TAuditList();
      a.*family.tSpecific.pAuditList = new TAuditList();
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void FreeList(TAuditList*& lst) {
  TAuditList* lstOld = lst;
  lst = nullptr;
  delete lstOld;
}

// Both files: the site's own Config.local.ini, when there is one, overrides Config.ini key by key,
// so a package upgrade can replace the sample without touching what the site set.
bool LoadConfigFiles(TIniFile& ini, std::string& sError) {
  if (!ini.Load(TValidate::GetConfigFilePath(), sError)) return false;
  TIniFile iniLocal;
  if (!iniLocal.Load(TValidate::GetLocalConfigFilePath(), sError)) return false;
  ini.Overlay(iniLocal);
  return true;
}

// Every field from the files, in the order of the keys; false when a file cannot be read.
bool ReadConfigFile(TIniFile& ini, std::string& sError) {
  if (!LoadConfigFiles(ini, sError)) return false;
  ReadConfigKeys(ini);
  return true;
}

}  // namespace

void LogConfigCorrection(const std::string& sField, const std::string& sValueInForce) {
  ++tFindings.nCorrected;
  LogCreate(LOG_VERBOSE, ConfigCorrectionText(sField, sValueInForce));
}

void LogConfigLine(int nLevel, const std::string& sText) { LogCreate(nLevel, sText); }

TValidate::TValidate() {
  // Without the lists audit capture will not work; the configuration is still read.
  if (!CreateAuditLists()) ShowAppMessage(1, Msg(3));
  // An empty server address cannot be served: the process ends after start-up.
  if (ReadConfiguration(nullptr) == CONFIG_READ_NOT_CONFIGURED) RequestTermination();
  // The stages show their panes and bars through this controller from now on; none runs yet.
  RegisterStageDisplay(this);
}

TValidate::TConfigRead_OPT TValidate::ReadConfiguration(TConfigLineSink fnLine, std::string* psError) {
  fnConfigLine = fnLine;
  tFindings = {};
  TConfigRead_OPT tResult = CONFIG_READ_FAILED;
  try {
    std::string sError;
    TIniFile ini;
    if (!ReadConfigFile(ini, sError)) {
      LogCreate(LOG_ERROR, Msg(2));
      if (psError != nullptr) *psError = sError;
    } else {
      LogCreate(LOG_VERBOSE, "Success to Read Config File.");
      // An unattended service always runs both sides and reconnects by itself.
      if (MyAppInfo.bIsService) ForceServiceSwitches();
      tResult = CorrectConfigKeys() ? CONFIG_READ_OK : CONFIG_READ_NOT_CONFIGURED;
      LogUnknownKeys(ini);
    }
    lstKeysRead = ini.LookedUp();
  } catch (const std::exception& e) {
    // The terminal console has no busy pointer to put back.
    LogCreate(LOG_ERROR, std::string("Error: ") + e.what() + " during Login Process.");
    if (psError != nullptr) *psError = e.what();
  }
  fnConfigLine = nullptr;
  return tResult;
}

TValidate::~TValidate() {
  // First, so that no hand-over reaches a controller half taken apart.
  UnregisterStageDisplay(this);
  AttachExchangeLink(nullptr);  // the link outlives the controller at the console's shut-down
  TAuditEvents& a = MyAuditEvents;
  FreeList(a.lstAudit);
  // WriteLog may be adding to lstMainLog on another thread: unpublish it, wait for the adds that
  // still hold it, then free it.
  TAuditList* lstMainLog = a.lstMainLog.exchange(nullptr);
  WaitForMainLogCaptureUsers();
  delete lstMainLog;
  FreeList(a.lstReadReceived);
  FreeList(a.lstReadProcessed);
  for (const TEventFamily& family : AllFamilies()) {
    FreeList(a.*family.tGlobal.pAuditList);
    FreeList(a.*family.tSpecific.pAuditList);
  }
}

std::vector<std::string> TValidate::ConfigValuesInForce() { return ConfigKeyLines(); }

std::string TValidate::GetLogDirectory() { return MyAppInfo.sAppFilePath + "Log"; }
std::string TValidate::GetAuditDirectory() { return GetLogDirectory(); }
std::string TValidate::GetConfigFilePath() { return MyAppInfo.sAppFilePath + "Lib/Config.ini"; }
std::string TValidate::GetLocalConfigFilePath() { return MyAppInfo.sAppFilePath + "Lib/Config.local.ini"; }
TValidate::TConfigFindings TValidate::ConfigFindings() { return tFindings; }
std::vector<std::pair<std::string, std::string>> TValidate::ConfigKeysRead() { return lstKeysRead; }
