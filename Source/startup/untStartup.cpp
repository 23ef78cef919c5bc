// Start-up sequence, in its fixed order, on the process's main thread:
//   language and title; executable folder; mode from the command line; shared state start values;
//   log writer (its failure ends the process); controller (reads Config.ini); the event outlets
//   (the client fan-out, then NATS and the web desks when configured); the seven ring families
//   with their workers; then window mode or service mode. With -check it stops after the shared
//   state and runs the configuration check instead; --help and --version only print and end,
//   before any of it.
// Nothing here takes a lock: the state is written before the first worker starts.
#include "startup/untStartup.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "base/untCodePage.h"
#include "base/untIniFiles.h"
#include "base/untMessage.h"
#include "base/untTranslate.h"
#include "base/untVariables.h"
#include "base/untVersion.h"
#include "controller/untClientOutlet.h"
#include "controller/untValidate.h"
#include "hosting/untConsole.h"
#include "hosting/untNatsOutlet.h"
#include "hosting/untTelvane.h"
#include "hosting/untTelvaneService.h"
#include "hosting/untWebDesks.h"
#include "logging/untLogger.h"
#include "pipeline/untGeneralMsgRead.h"
#include "pipeline/untSpecificMsgRead.h"
#include "platform/untControlLoop.h"
#include "platform/untMemory.h"
#include "platform/untProcess.h"
#include "platform/untSystemd.h"
#include "platform/untTerminal.h"
#include "startup/untConfigCheck.h"
#include "startup/untShutdown.h"

bool HasAppSwitch(int argc, char** argv) {
  for (int n = 1; n < argc; ++n) {
    const std::string_view sArg = argv[n];
    if (sArg.size() != 4 || (sArg[0] != '-' && sArg[0] != '/' && sArg[0] != '\\')) continue;
    std::string sWord(sArg.substr(1));
    for (char& c : sWord) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (sWord == "app") return true;
  }
  return false;
}

TInfoSwitch_OPT FindInfoSwitch(int argc, char** argv) {
  for (int n = 1; n < argc; ++n) {
    const std::string_view sArg = argv[n];
    if (sArg == "--help" || sArg == "-h") return INFO_SWITCH_HELP;
    if (sArg == "--version") return INFO_SWITCH_VERSION;
  }
  return INFO_SWITCH_NONE;
}

std::string UsageText(const std::string& sConfigFile) {
  return TelvaneBuildText() + "\n"
         "CTI relay between a telephone exchange's manager interface and the desk applications.\n"
         "\n"
         "Usage: telvane [-app | -check | -install [-silent] | -uninstall [-silent] | --help | --version]\n"
         "\n"
         "  (none)      service mode: runs without a console, as systemd starts it\n"
         "  -app        window mode: the relay with its console on this terminal\n"
         "  -check      reads the configuration, prints what is in force, and ends (exit 6: no SERVERIP)\n"
         "  -install    writes the systemd unit Varnel_Telvane.service and enables it\n"
         "  -uninstall  disables and removes that unit\n"
         "  -silent     with -install or -uninstall: no confirmation line\n"
         "  --help, -h  this text\n"
         "  --version   the version and build\n"
         "\n"
         "Configuration: " + sConfigFile + "\n"
         "  site settings go into Config.local.ini beside it, read afterwards; its keys win.\n"
         "Log: Log/GENERAL_<date>.log beside the executable.\n";
}

void ReportStartupFailure(int nMessage) {
  WriteLog("TValidate.Create", LOG_TARGET_MAIN, LOG_WARNING, Msg(nMessage), false);
  ShowAppMessage(1, Msg(nMessage));
}

void InitializeRings() {
  if (!TGeneralMsgRead::Initialize()) ReportStartupFailure(5);
  // A failed global family leaves its per-key rings untouched.
  if (!TGlobalQueueMsgRead::Initialize())
    ReportStartupFailure(6);
  else if (!TSpecificQueueMsgRead::Initialize())
    ReportStartupFailure(7);
  if (!TGlobalPeerMsgRead::Initialize())
    ReportStartupFailure(9);
  else if (!TSpecificPeerMsgRead::Initialize())
    ReportStartupFailure(10);
  if (!TGlobalFeatureParkMsgRead::Initialize())
    ReportStartupFailure(11);
  else if (!TSpecificFeatureParkMsgRead::Initialize())
    ReportStartupFailure(12);
}

namespace {

// Start-up notices went to the terminal line by line; the full-screen console would cover them
// at once, so the operator reads them first and opens the console with Enter.
void LetTheOperatorReadStartupNotices() {
  if (NoticesShownOnStderr() == 0 || TerminationRequested()) return;
  WaitForEnterOnTerminal("Telvane: press Enter to open the console.\n");
}

// After the console has closed: a configuration that cannot run is said on the terminal, where
// the operator who started the relay looks, and not only in Log/.
int ReportConfigRefusal() {
  const std::string sCaption = Cp1252ToUtf8(Msg(0)) + ": ";
  // The path is the file system's own text; the rest is the relay's code page.
  std::fprintf(stderr, "%s%s\n%sSERVERIP in %s is empty: give the exchange's address in section [AMI].\n",
               sCaption.c_str(), Cp1252ToUtf8(MyAppInfo.sConfigRefusal).c_str(), sCaption.c_str(),
               TValidate::GetConfigFilePath().c_str());
  return EXIT_CODE_NOT_CONFIGURED;
}

}  // namespace

int RunWindowMode() {
  TControlLoop& loop = TControlLoop::Instance();
  std::unique_ptr<TfrmTelvane> form;
  std::unique_ptr<TConsole> console;
  // Closing the console: the shut-down, the termination request, then the loop ends.
  loop.SetOnTermination([&form, &loop] {
    if (form) {
      form->FormCloseQuery();
      form->FormClose();
    }
    loop.Stop();
  });
  // Before the console takes the terminal, so that the loop, not the screen library, owns these.
  CatchStopSignals([](const std::string&) { RequestTermination(); });
  loop.Post([&form, &console, &loop] {
    LetTheOperatorReadStartupNotices();
    if (!loop.IsRunning()) return;  // closed while the notices were read
    form = std::make_unique<TfrmTelvane>(true);
    // Without a terminal (output redirected) the relay runs the same with nothing drawn; ended
    // already (the configuration check), it would only flash.
    console = std::make_unique<TConsole>(*form);
    if (TerminationRequested() || !console->Open()) console.reset();
  });
  loop.Run();
  console.reset();  // gives the terminal back before the process ends
  form.reset();
  return MyAppInfo.sConfigRefusal.empty() ? 0 : ReportConfigRefusal();
}

int TelvaneMain(int argc, char** argv) {
  LimitHeapRetention();
  IgnoreBrokenPipe();
  SetCurrentLanguage(0);
  SetApplicationTitle(Msg(0));
  MyAppInfo.sAppFilePath = ExecutableFolder();
  // Asked from a shell or a package script: answer and end, touching neither the log nor a port.
  if (const TInfoSwitch_OPT tInfo = FindInfoSwitch(argc, argv); tInfo != INFO_SWITCH_NONE) {
    const std::string sText =
        tInfo == INFO_SWITCH_HELP ? UsageText(TValidate::GetConfigFilePath()) : TelvaneBuildText() + "\n";
    std::fwrite(sText.data(), 1, sText.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  MyAppInfo.bIsService = !HasAppSwitch(argc, argv);
  InitializeSharedState();
  // Reads the configuration as the steps below would, and starts none of them.
  if (FindServiceSwitch(argc, argv, "CHECK")) return RunConfigCheck();
  if (!StartLogWriter(TValidate::GetLogDirectory())) {
    ReportStartupFailure(8);
    return 1;
  }
  MyValidate = new TValidate();
  // The service's stderr is the journal: the reason it is about to end is said there too, whatever
  // VERBOSE lets into the log.
  if (MyAppInfo.bIsService && !MyAppInfo.sConfigRefusal.empty()) ReportConfigRefusal();
  SetLogKeepDays(MyConfigInfo.nLogKeepDays);
  // The outlets are in place before the first stage can forward an event.
  AddEventOutlet(&ClientFanOutlet());
  // NATS second, and only when configured: the desks never wait for it.
  StartNatsOutlet();
  if (MyConfigInfo.MyWeb.nPort != 0) AddEventOutlet(&WebDeskOutlet());
  InitializeRings();
  return EndProcess(MyAppInfo.bIsService ? RunServiceHost(argc, argv) : RunWindowMode());
}
