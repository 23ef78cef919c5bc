// The process's one life: the start-up sequence, then window mode or service mode.
#pragma once

// Runs start-up and the chosen mode; returns the process exit code.
int TelvaneMain(int argc, char** argv);

// True when some argument is '-', '/' or '\' followed by "app" in any letter case.
bool HasAppSwitch(int argc, char** argv);

// The start-up failure report for message nMessage: the log line, then the notice.
void ReportStartupFailure(int nMessage);

// Ring initialisation in its fixed order, each failure reported with its message number.
void InitializeRings();

// Window mode: the manager object on the control thread until the console closes or a termination
// request; returns the exit code.
int RunWindowMode();
