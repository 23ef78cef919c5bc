// TValidate's configuration concern: the constructor, which creates the ten capture lists and
// reads, corrects and publishes Lib/Config.ini into MyConfigInfo; the destructor, which frees the
// lists; and the folders beside the executable.
//
// Thread: the main thread during start-up (the constructor runs after the log writer has started
// and before any ring worker exists, so MyConfigInfo needs no lock: every later access is a read),
// and the control thread at the console's shut-down (the destructor).
// Order matters: nLogVerbose takes the file's value as soon as the file is read, so every line
// logged after that is already filtered by the configured level. Every line of the constructor is
// logged with source "TValidate.Create", target 1 (main log pane) and the status-bar echo.
#include <exception>

#include "controller/untValidate.h"
#include "logging/untLogger.h"
#include "logging/untLoggerThread.h"
#include "logging/untUtil.h"
#include "platform/untControlLoop.h"
#include "startup/untIniFiles.h"
#include "startup/untMessage.h"

TValidate* MyValidate = nullptr;

namespace {

void LogCreate(int nLevel, const std::string& sText) {
  WriteLog("TValidate.Create", LOG_TARGET_MAIN, nLevel, sText, true);
}

void LogCorrection(const char* sField, const std::string& sValueInForce) {
  LogCreate(LOG_VERBOSE, std::string("MyConfigInfo.") + sField + " is invalid, current value from Config is: " + sValueInForce);
}

bool IsValidPort(int32_t nPort) { return nPort >= 1 && nPort <= 65535; }

// Each key's default, said once: the reader gives it for a missing or unreadable key, and the
// corrections put it back where it applies.
namespace config_default {
constexpr int32_t LOG_VERBOSE = 99;
constexpr bool AUTO_START = true;
constexpr bool SERVER_AUTO_START = true;
constexpr bool SERVER_AUTO_RECONNECT = true;
constexpr int32_t SERVER_RECONNECT_TMR = 5;  // also the smallest value taken
constexpr int32_t SERVER_TIMEOUT_TMR = 5;    // also the smallest value taken
constexpr const char* SERVER_IP = "";
constexpr int32_t SERVER_PORT = 50386;
constexpr const char* USERNAME = "amiadmin";
constexpr const char* SECRET = "pxwdkr";
constexpr bool PROXY_AUTO_START = true;
constexpr int32_t PROXY_PORT = 50387;
constexpr int32_t MAX_QUEUED_MB = DEFAULT_MAX_QUEUED_MB;  // also what holds before the file is read
}  // namespace config_default

bool CreateAuditLists() {
  try {
    TAuditEvents& a = MyAuditEvents;
    a.lstAudit = new TAuditList();
    a.lstMainLog = new TAuditList();
    a.lstReadReceived = new TAuditList();
    a.lstReadProcessed = new TAuditList();
    a.lstGlobalQueue = new TAuditList();
    a.lstSpecificQueue = new TAuditList();
    a.lstGlobalPeer = new TAuditList();
    a.lstSpecificPeer = new TAuditList();
    a.lstGlobalFeaturePark = new TAuditList();
    a.lstSpecificFeaturePark = new TAuditList();
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

// [GENERAL] MAXQUEUEDMB: the memory budget of all queued texts.
void ReadQueueBudget(const TIniFile& ini) {
  MyConfigInfo.MyQueueBudget.nMaxQueuedMB = ini.ReadInteger("GENERAL", "MAXQUEUEDMB", config_default::MAX_QUEUED_MB);
}

// A budget below 1 MB would refuse every event.
void CheckQueueBudget() {
  TQueueBudgetConfig& q = MyConfigInfo.MyQueueBudget;
  if (q.nMaxQueuedMB >= 1) return;
  q.nMaxQueuedMB = config_default::MAX_QUEUED_MB;
  LogCorrection("MyQueueBudget.nMaxQueuedMB", IntToStr(q.nMaxQueuedMB));
}

// Every field from the file, in the order of the keys; false when the file cannot be read.
bool ReadConfigFile(std::string& sError) {
  TIniFile ini;
  if (!ini.Load(TValidate::GetConfigFilePath(), sError)) return false;
  TConfigInfo& c = MyConfigInfo;
  namespace d = config_default;
  c.nLogVerbose = ini.ReadInteger("LOG", "VERBOSE", d::LOG_VERBOSE);
  c.bAutoStart = ini.ReadBool("GENERAL", "AUTOSTART", d::AUTO_START);
  c.bServerAutoStart = ini.ReadBool("AMI", "AUTOSTART", d::SERVER_AUTO_START);
  c.bServerAutoReconnect = ini.ReadBool("AMI", "AUTORECONNECT", d::SERVER_AUTO_RECONNECT);
  c.nServerReconnectTmr = ini.ReadInteger("AMI", "RECONNECTTMR", d::SERVER_RECONNECT_TMR);
  c.nServerTimeoutTmr = ini.ReadInteger("AMI", "TIMEOUTTMR", d::SERVER_TIMEOUT_TMR);
  c.sServerIP = ini.ReadString("AMI", "SERVERIP", d::SERVER_IP);
  c.nServerPort = ini.ReadInteger("AMI", "SERVERPORT", d::SERVER_PORT);
  c.sUsername = ini.ReadString("AMI", "USERNAME", d::USERNAME);
  c.sSecret = ini.ReadString("AMI", "SECRET", d::SECRET);
  c.bProxyAutoStart = ini.ReadBool("PROXY", "AUTOSTART", d::PROXY_AUTO_START);
  c.nProxyPort = ini.ReadInteger("PROXY", "SERVERPORT", d::PROXY_PORT);
  ReadQueueBudget(ini);
  return true;
}

// The corrections, in their fixed order. A blank test never changes the stored text; an empty
// server address cannot be corrected, so it asks the process to end and stops the checks.
void CheckAndCorrect() {
  namespace d = config_default;
  TConfigInfo& c = MyConfigInfo;
  if (c.nServerReconnectTmr < d::SERVER_RECONNECT_TMR) {
    c.nServerReconnectTmr = d::SERVER_RECONNECT_TMR;
    LogCorrection("nServerReconnectTmr", IntToStr(c.nServerReconnectTmr));
  }
  if (c.nServerTimeoutTmr < d::SERVER_TIMEOUT_TMR) {
    c.nServerTimeoutTmr = d::SERVER_TIMEOUT_TMR;
    LogCorrection("nServerTimeoutTmr", IntToStr(c.nServerTimeoutTmr));
  }
  if (Trim(c.sServerIP).empty()) {
    LogCorrection("sServerIP", c.sServerIP);
    RequestTermination();
    return;
  }
  if (!IsValidPort(c.nServerPort)) {
    c.nServerPort = d::SERVER_PORT;
    LogCorrection("nServerPort", IntToStr(c.nServerPort));
  }
  if (Trim(c.sUsername).empty()) {
    c.sUsername = d::USERNAME;
    LogCorrection("sUsername", c.sUsername);
  }
  if (Trim(c.sSecret).empty()) {
    c.sSecret = d::SECRET;
    LogCorrection("sSecret", c.sSecret);
  }
  if (!IsValidPort(c.nProxyPort)) {
    c.nProxyPort = d::PROXY_PORT;
    LogCorrection("nProxyPort", IntToStr(c.nProxyPort));
  }
  CheckQueueBudget();
}

}  // namespace

TValidate::TValidate() {
  // Without the lists audit capture will not work; the configuration is still read.
  if (!CreateAuditLists()) ShowAppMessage(1, Msg(3));
  try {
    std::string sError;
    if (!ReadConfigFile(sError)) {
      LogCreate(LOG_ERROR, Msg(2));
      return;
    }
    LogCreate(LOG_VERBOSE, "Success to Read Config File.");
    if (MyAppInfo.bIsService) {
      // An unattended service always runs both sides and reconnects by itself.
      MyConfigInfo.bAutoStart = true;
      MyConfigInfo.bServerAutoStart = true;
      MyConfigInfo.bServerAutoReconnect = true;
      MyConfigInfo.bProxyAutoStart = true;
    }
    CheckAndCorrect();
  } catch (const std::exception& e) {
    // The terminal console has no busy pointer to put back.
    LogCreate(LOG_ERROR, std::string("Error: ") + e.what() + " during Login Process.");
  }
}

TValidate::~TValidate() {
  TAuditEvents& a = MyAuditEvents;
  FreeList(a.lstAudit);
  // WriteLog may be adding to lstMainLog on another thread: unpublish it, wait for the adds that
  // still hold it, then free it.
  TAuditList* lstMainLog = a.lstMainLog.exchange(nullptr);
  WaitForMainLogCaptureUsers();
  delete lstMainLog;
  FreeList(a.lstReadReceived);
  FreeList(a.lstReadProcessed);
  FreeList(a.lstGlobalQueue);
  FreeList(a.lstSpecificQueue);
  FreeList(a.lstGlobalPeer);
  FreeList(a.lstSpecificPeer);
  FreeList(a.lstGlobalFeaturePark);
  FreeList(a.lstSpecificFeaturePark);
}

std::string TValidate::GetLogDirectory() { return MyAppInfo.sAppFilePath + "Log"; }
std::string TValidate::GetAuditDirectory() { return GetLogDirectory(); }
std::string TValidate::GetConfigFilePath() { return MyAppInfo.sAppFilePath + "Lib/Config.ini"; }
