// systemd glue for the service host: the service switches of the command line, the unit file
// (its text, writing and removal), systemctl, and the readiness notifications of Type=notify.
//
// Threads: the switch, unit and systemctl routines run on the main thread before the relay's
// loop starts (install and uninstall never run the service). SystemdNotify may be called from any
// thread; it opens, uses and closes its own socket and touches no shared state.
// Nothing here logs or prints: callers get a Boolean and, where useful, an error text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// What the unit file says about a service; the service host fills it.
struct TServiceDefinition {
  std::string sName;          // service name; the unit is sName + ".service"
  std::string sDisplayName;   // name for people; systemd has no field for it, so it is a comment
  std::string sDescription;   // Description= (UTF-8)
  std::string sExecPath;      // absolute path of the executable (ExecStart=)
  int nStartTimeoutSec = 0;   // TimeoutStartSec=: READY=1 must arrive within it
  int nStopTimeoutSec = 0;    // TimeoutStopSec=: the stop must end the process within it
  int nRestartSec = 0;        // RestartSec=: pause before Restart=on-failure starts it again
  int nNoRestartExitCode = 0; // RestartPreventExitStatus=: a failure that a restart cannot mend
  int nFileLimit = 0;         // LimitNOFILE=: descriptors the process may hold; 0 leaves systemd's default
  std::string sUser;          // User= and Group= (a system user of that name and group); empty: root
  std::string sWritableDir;   // ReadWritePaths=: the one folder the service writes (absolute); empty: none
};

// True when some argument is '-' or '/' followed by sName, compared without regard to letter case
// ("-install", "/INSTALL"; not "install", "--install" or "-installer").
bool FindServiceSwitch(int argc, char** argv, std::string_view sName);

// The unit file for def; empty when systemd could not run the executable from it: its path is not
// absolute or holds a quote or a backslash, a text holds a control character, the user is not a
// plain user name, or the writable folder is not absolute or holds a quote or a backslash. '%' is
// escaped everywhere; ExecStart and ReadWritePaths are quoted when the path holds blanks.
// The service is confined: no capabilities, no new privileges, the file system read-only but for
// sWritableDir, no home folders (read-only when the executable lives in one), private /tmp and
// devices, Internet and local sockets only (sd_notify and the journal use AF_UNIX), the system
// service calls only, and files it creates readable by its group at most (UMask=0027).
std::string UnitFileText(const TServiceDefinition& def);

// The folder for unit files: $TELVANE_UNIT_DIR when set and not empty, else /etc/systemd/system.
std::string UnitDirectory();
// True when $TELVANE_UNIT_DIR chooses the folder; then systemctl is never called (packaging, tests).
bool UnitDirectoryOverridden();
// The executable the unit starts: $TELVANE_UNIT_EXEC when set and not empty, else sRunning (the
// running executable). Packaging writes the unit from the build tree for the installed path.
std::string UnitExecPath(const std::string& sRunning);
// The user the unit runs as: $TELVANE_UNIT_USER when set (the package's system user), else empty.
std::string UnitUser();
// sDir + "/" + sName + ".service".
std::string UnitFilePath(const std::string& sDir, const std::string& sName);

// Writes sText as the unit file (a temporary file renamed into place, mode 0644). The folder must
// exist. False with sError on failure; an existing unit is replaced.
bool WriteUnitFile(const std::string& sPath, const std::string& sText, std::string& sError);
// Removes the unit file. False with sError when it does not exist or cannot be removed.
bool RemoveUnitFile(const std::string& sPath, std::string& sError);

// Absolute path of systemctl found on $PATH (or the usual folders), empty when there is none.
std::string SystemctlPath();
// True when systemd is the running service manager (it keeps /run/systemd/system).
bool SystemdRunning();
// Runs systemctl with vArgs, its output discarded; false with sError unless it exits with 0.
bool RunSystemctl(const std::string& sSystemctl, const std::vector<std::string>& vArgs, std::string& sError);

// Sends sState (e.g. "READY=1") as one datagram to $NOTIFY_SOCKET: a path, or an abstract name
// written with a leading '@'. False when the variable is unset or empty, names another kind of
// address, or the send fails; the caller then simply goes on (not started by systemd).
bool SystemdNotify(const std::string& sState);
