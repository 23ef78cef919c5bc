// The configuration check (-check): reads Lib/Config.ini (and Lib/Config.local.ini over it) through
// the very routine start-up uses, prints each line that reading would log (the corrections and the
// unknown keys and sections among them, whatever VERBOSE says) and then every value in force,
// secrets masked, and starts nothing: no log file, no ring, no socket, no thread.
//
// Exit code: 0 when the files are clean and SERVERIP is set, 2 when a value was corrected or a key
// or section is not known (the relay would run, but not as written), 6 when SERVERIP is empty (the
// code the service ends with in that case), 1 when a file exists but cannot be read.
// Main thread, in place of the start-up sequence's later steps.
#pragma once

// Runs the check on stdout (the failure reason on stderr); returns the exit code.
int RunConfigCheck();
