// Service host: the relay as the systemd service "Varnel_Telvane" (unit Varnel_Telvane.service).
//
// -install writes the unit and, where systemctl is in charge of the folder, reloads systemd and
// enables the unit; -uninstall disables and removes it; -silent drops their one-line confirmation
// (errors still go to stderr, and the exit code tells a script what happened). Both end the process
// without running the service.
//
// Otherwise the process is the service, for a Type=notify unit:
//   loop starts -> ServiceStart (manager object created, both sides auto-started) -> READY=1
//   SIGTERM, SIGINT or SIGHUP -> STOPPING=1 -> ServiceStop (manager object destroyed) -> exit 0
//   termination request (empty server address) -> the same stop at once -> exit 6, so systemd
//     reports the failure; READY=1 is then never sent, so "systemctl start" fails visibly.
// SIGHUP stops the service like SIGTERM: the configuration is read only at start-up, so there is
// nothing to reload, and a terminal that hangs up must not leave a relay running unseen.
//
// Threads: the process's main thread runs the control loop, so it is the control thread: the
// manager object is created, used and destroyed there, and every hand-over of the workers runs
// there. The stop runs at most once, on the control thread.
// What happens after the loop (or after install/uninstall) is the process end of both modes
// (startup/untShutdown).
#include "hosting/untTelvaneService.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "base/untCodePage.h"
#include "base/untExitCodes.h"
#include "base/untMessage.h"
#include "base/untVariables.h"
#include "hosting/untTelvane.h"
#include "logging/untLogger.h"
#include "platform/untControlLoop.h"
#include "platform/untProcess.h"
#include "platform/untSystemd.h"

namespace {

constexpr const char* SERVICE_NAME = "Varnel_Telvane";
constexpr const char* SERVICE_DISPLAY_NAME = "Varnel Telvane";
constexpr const char* SERVICE_DESCRIPTION_PREFIX = "Varnel Rodarurodi - ";  // followed by message 0
constexpr int SERVICE_WAIT_HINT_MS = 5000;   // what a healthy start takes at most
constexpr int SERVICE_START_TIMEOUT_SEC = 30;  // the wait hint with room for slow, shared machines
static_assert(SERVICE_START_TIMEOUT_SEC * 1000 >= SERVICE_WAIT_HINT_MS, "the start time-out must cover the wait hint");
constexpr int SERVICE_STOP_TIMEOUT_SEC = 20;   // the stop waits at most ~5 s for the log and workers
constexpr int SERVICE_RESTART_SEC = 5;
// systemd's default soft limit, 1,024 descriptors, is too few for a restart storm: 100 desks
// reconnecting, desks beyond the 100 slots that are accepted and held, thousands of connections at
// once after a network outage, with the log, the exchange link and the event loop besides. When
// descriptors do run out the listener pauses and logs; this keeps that for real exhaustion.
constexpr int SERVICE_FILE_LIMIT = 65536;
// A termination request in service mode comes from the configuration check: it ends with
// EXIT_CODE_NOT_CONFIGURED (base/untExitCodes.h).
constexpr int EXIT_CODE_FAILURE = 1;

TServiceDefinition TelvaneDefinition() {
  TServiceDefinition def;
  def.sName = SERVICE_NAME;
  def.sDisplayName = SERVICE_DISPLAY_NAME;
  def.sDescription = SERVICE_DESCRIPTION_PREFIX + Cp1252ToUtf8(Msg(0));
  def.sExecPath = UnitExecPath(ExecutablePath());
  def.nStartTimeoutSec = SERVICE_START_TIMEOUT_SEC;
  def.nStopTimeoutSec = SERVICE_STOP_TIMEOUT_SEC;
  def.nRestartSec = SERVICE_RESTART_SEC;
  def.nNoRestartExitCode = EXIT_CODE_NOT_CONFIGURED;
  def.nFileLimit = SERVICE_FILE_LIMIT;
  def.sUser = UnitUser();
  // The log folder beside the executable is all the relay writes (the log, the console's audit).
  def.sWritableDir = def.sExecPath.substr(0, def.sExecPath.rfind('/') + 1) + "Log";
  return def;
}

std::string UnitName() { return std::string(SERVICE_NAME) + ".service"; }

// systemctl is used only on the real unit folder; with TELVANE_UNIT_DIR it is never called.
std::string SystemctlInCharge() { return UnitDirectoryOverridden() ? std::string() : SystemctlPath(); }

int InstallService(bool bSilent) {
  const TServiceDefinition def = TelvaneDefinition();
  const std::string sPath = UnitFilePath(UnitDirectory(), def.sName);
  const std::string sText = UnitFileText(def);
  std::string sError;
  if (sText.empty()) sError = "systemd cannot start " + def.sExecPath + " (relative path, quote, backslash or control character)";
  if (!sError.empty() || !WriteUnitFile(sPath, sText, sError)) {
    std::fprintf(stderr, "Service %s not installed: %s\n", SERVICE_NAME, sError.c_str());
    return EXIT_CODE_FAILURE;
  }
  try {
    TsrvTelvane().ServiceAfterInstall();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Service %s written to %s but not enabled: %s\n", SERVICE_NAME, sPath.c_str(), e.what());
    return EXIT_CODE_FAILURE;
  }
  if (!bSilent) std::printf("Service %s installed: %s\n", SERVICE_NAME, sPath.c_str());
  return 0;
}

int UninstallService(bool bSilent) {
  const std::string sPath = UnitFilePath(UnitDirectory(), SERVICE_NAME);
  const std::string sSystemctl = SystemctlInCharge();
  std::string sError;
  // The unit is removed even when disabling fails, but the failure is still reported.
  const bool bDisabled = sSystemctl.empty() || RunSystemctl(sSystemctl, {"--quiet", "disable", UnitName()}, sError);
  if (!bDisabled) std::fprintf(stderr, "Service %s not disabled: %s\n", SERVICE_NAME, sError.c_str());
  if (!RemoveUnitFile(sPath, sError)) {
    std::fprintf(stderr, "Service %s not uninstalled: %s\n", SERVICE_NAME, sError.c_str());
    return EXIT_CODE_FAILURE;
  }
  std::string sIgnored;
  if (!sSystemctl.empty() && SystemdRunning()) RunSystemctl(sSystemctl, {"daemon-reload"}, sIgnored);
  if (!bDisabled) return EXIT_CODE_FAILURE;
  if (!bSilent) std::printf("Service %s uninstalled: %s\n", SERVICE_NAME, sPath.c_str());
  return 0;
}

int RunService() {
  TControlLoop& loop = TControlLoop::Instance();
  TsrvTelvane srvTelvane;
  int nExitCode = 0;
  bool bStopped = false;  // control thread
  auto fnStop = [&](int nCode) {
    if (bStopped) return;
    bStopped = true;
    nExitCode = nCode;
    SystemdNotify("STOPPING=1");
    srvTelvane.ServiceStop();
    loop.Stop();
  };
  loop.SetOnTermination([&] { fnStop(EXIT_CODE_NOT_CONFIGURED); });
  CatchStopSignals([&](const std::string&) { fnStop(0); });
  // Runs before the loop's own check of a termination request made during start-up, which then
  // stops the service at once.
  loop.Post([&] {
    srvTelvane.ServiceStart();
    if (!TerminationRequested()) SystemdNotify("READY=1");
  });
  loop.Run();
  loop.SetOnTermination(nullptr);
  return nExitCode;
}

}  // namespace

void TsrvTelvane::ServiceStart() {
  const char* sSource = "TsrvTelvane.ServiceStart";
  WriteLog(sSource, LOG_TARGET_MAIN, LOG_VERBOSE, "ServiceStart", false);
  try {
    pManager = new TfrmTelvane(false);  // not registered as frmTelvane: nothing is drawn
    pManager->Execute();
  } catch (const std::exception& e) {
    // The service still counts as started, with whatever was created.
    WriteErrorLog(sSource, LOG_TARGET_MAIN, e.what(), "ServiceStart");
  } catch (...) {
    WriteLog(sSource, LOG_TARGET_MAIN, LOG_ERROR, "Error: unknown error during ServiceStart Process.", false);
  }
}

void TsrvTelvane::ServiceStop() {
  WriteLog("TsrvTelvane.ServiceStop", LOG_TARGET_MAIN, LOG_VERBOSE, "ServiceStop", false);
  // No orderly shut-down of the connections: the process ends right after and closes them.
  TfrmTelvane* pOld = pManager;
  pManager = nullptr;
  delete pOld;
}

void TsrvTelvane::ServiceAfterInstall() {
  // The description travels in the unit itself. What is left is to make systemd read the unit and
  // give it its automatic start. Failures are raised to the installer.
  const std::string sSystemctl = SystemctlInCharge();
  if (sSystemctl.empty()) return;
  std::string sError;
  // A reload needs a running systemd; without one (an image being built) the unit is read at boot.
  if (SystemdRunning() && !RunSystemctl(sSystemctl, {"daemon-reload"}, sError)) throw std::runtime_error(sError);
  if (!RunSystemctl(sSystemctl, {"--quiet", "enable", UnitName()}, sError)) throw std::runtime_error(sError);
}

int RunServiceHost(int argc, char** argv) {
  const bool bSilent = FindServiceSwitch(argc, argv, "SILENT");
  // INSTALL wins when both are given.
  if (FindServiceSwitch(argc, argv, "INSTALL")) return InstallService(bSilent);
  if (FindServiceSwitch(argc, argv, "UNINSTALL")) return UninstallService(bSilent);
  return RunService();
}
