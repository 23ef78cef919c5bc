// Service host: the relay as a systemd service.
//
// Switches (a leading '-' or '/', any letter case): INSTALL writes and enables the unit,
// UNINSTALL disables and removes it, SILENT suppresses their confirmation; both end the process.
// Otherwise the process is the service: ServiceStart creates the manager object on the control
// thread, SIGTERM/SIGINT is the service stop, which destroys it.
#pragma once

class TfrmTelvane;

class TsrvTelvane {
 public:
  void ServiceStart();
  void ServiceStop();
  void ServiceAfterInstall();
  TfrmTelvane* pManager = nullptr;  // the manager object while the service runs; control thread
};

// Runs the service (or installs or uninstalls it) until it stops; returns the process exit code.
// The process end that follows is the caller's (EndProcess).
int RunServiceHost(int argc, char** argv);
