// The process's exit codes that both modes and the service manager's unit agree on.
#pragma once

// The exit code of a relay whose configuration cannot run (no exchange address), in both modes:
// the LSB code "program is not configured", which systemd names in its status and which no
// restart can mend.
constexpr int EXIT_CODE_NOT_CONFIGURED = 6;
