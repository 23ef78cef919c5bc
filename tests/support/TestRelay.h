// The real programs as a test or the load benchmark runs them: the exchange simulator on a port
// it picks, and a copy of the relay in a folder of its own (it finds Lib/ and Log/ beside its
// executable), with a configuration that starts both sides against given ports.
//
// Threads: an object belongs to the thread that made it. Each program is stopped when its object
// goes away; the relay's folder goes with it unless Keep() was called.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "support/TestBasics.h"
#include "support/TestProcess.h"

namespace testsupport {

// The programs of this build tree.
std::string RelayBinary();
std::string ExchangeBinary();
std::string ClientBinary();

// The exchange simulator on a port it picks, or on a given one (to restart it where the relay
// reconnects); Port() once Start returned true.
class TExchangeSim {
 public:
  explicit TExchangeSim(std::string sBinaryIn = ExchangeBinary()) : sBinary(std::move(sBinaryIn)) {}
  void SetPort(int nPortIn) { nPort = nPortIn; }  // before Start; 0, the default, lets it pick
  // Starts it with "--port <port>" before vArgs and waits for its "LISTENING <port>" line; false
  // when the line does not come within tTimeout or the simulator ends first.
  bool Start(const std::vector<std::string>& vArgs = {}, const TStartOptions& tOptions = {},
             std::chrono::milliseconds tTimeout = kDeadline);
  int Port() const { return nPort; }
  TProcess& Process() { return process; }
  const TProcess& Process() const { return process; }

 private:
  std::string sBinary;  // the simulator's executable
  TProcess process;
  int nPort = 0;        // as set before Start, then as it reported; 0 when it reported none
};

// A copy of the relay binary in a temporary folder of its own.
class TRelay {
 public:
  explicit TRelay(const std::string& sBinary = RelayBinary(), const std::string& sDirPrefix = "telvane-test-");
  const std::string& Dir() const { return dir.Path(); }
  void Keep() { dir.Keep(); }
  bool WriteConfig(const std::string& sIni);  // Lib/Config.ini
  // Runs the copy in its folder; false when the folder or the copy could not be made.
  bool Start(const std::vector<std::string>& vArgs = {}, const std::vector<std::string>& vExtraEnv = {},
             const std::string& sOutputPrefix = "");
  std::string LogPath() const;  // Log/GENERAL_<today>.log
  std::string LogText() const;
  // Waits until the log holds sText (anywhere); true when it does.
  bool WaitForLog(const std::string& sText, std::chrono::milliseconds tTimeout = kDeadline) const;
  TProcess& Process() { return process; }
  const TProcess& Process() const { return process; }
  std::string BinaryPath() const { return dir.Path() + "/telvane"; }

 private:
  TTempDir dir;
  bool bCopied = false;  // the binary is in the folder
  TProcess process;      // declared after dir: stopped before the folder goes
};

// A config with both sides auto-started against the given exchange and proxy ports; nTimeout is
// the exchange's keep-alive silence (TIMEOUTTMR) in seconds.
std::string RelayConfig(int nExchangePort, int nProxyPort, const std::string& sExtra = "", int nTimeout = 5);

}  // namespace testsupport
