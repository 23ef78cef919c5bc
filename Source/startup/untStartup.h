// The process's one life: the start-up sequence, then window mode or service mode.
#pragma once

#include <string>

// Runs start-up and the chosen mode; returns the process exit code.
int TelvaneMain(int argc, char** argv);

// True when some argument is '-', '/' or '\' followed by "app" in any letter case.
bool HasAppSwitch(int argc, char** argv);

// The switches that only print: --help or -h, and --version (exact spellings, as other programs
// take them). The first one given wins.
enum TInfoSwitch_OPT { INFO_SWITCH_NONE, INFO_SWITCH_HELP, INFO_SWITCH_VERSION };
TInfoSwitch_OPT FindInfoSwitch(int argc, char** argv);

// What --help prints: the build line, the usage, the modes and the configuration file sConfigFile.
std::string UsageText(const std::string& sConfigFile);

// The start-up failure report for message nMessage: the log line, then the notice.
void ReportStartupFailure(int nMessage);

// Ring initialisation in its fixed order, each failure reported with its message number.
void InitializeRings();

// Window mode: the manager object on the control thread until the console closes or a termination
// request; returns the exit code.
int RunWindowMode();
