// The configuration check (-check): reads Lib/Config.ini through the very routine start-up uses,
// prints each line that reading would log (the corrections among them, whatever VERBOSE says) and
// then every value in force, and starts nothing: no log file, no ring, no socket, no thread.
//
// Exit code: 0 when the file was read and SERVERIP is set, 6 when SERVERIP is empty (the code the
// service ends with in that case), 1 when the file exists but cannot be read.
// Main thread, in place of the start-up sequence's later steps.
#pragma once

// Runs the check on stdout (the failure reason on stderr); returns the exit code.
int RunConfigCheck();
