// Helpers for tests that run the real binaries on loopback: a temporary relay folder, child
// processes with piped stdio, a blocking TCP client with deadlines, and polling with a deadline.
// Tests wait for conditions, never for fixed sleeps; deadlines are generous (shared machines).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;
constexpr std::chrono::milliseconds kDeadline = 20s;

// Polls fn every 10 ms until it returns true or the timeout passes; returns its last answer.
bool PollUntil(const std::function<bool()>& fn, std::chrono::milliseconds tTimeout = kDeadline);

// A free TCP port on 127.0.0.1 (bound, read, released).
int FreePort();

std::string ReadFile(const std::string& sPath);
void WriteFile(const std::string& sPath, const std::string& sContent);
bool FileExists(const std::string& sPath);
// Local date as YYYY-MM-DD.
std::string Today();

// A temporary folder removed with everything in it when the object goes away.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  const std::string& Path() const { return sPath; }
 private:
  std::string sPath;
};

// A child process with stdin as a pipe, stdout and stderr captured to files.
class TProcess {
 public:
  TProcess() = default;
  ~TProcess();
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;
  // Starts argv[0] with the given arguments and working folder (empty: current).
  bool Start(const std::vector<std::string>& vArgs, const std::string& sWorkDir = "",
             const std::vector<std::string>& vExtraEnv = {});
  void WriteStdin(const std::string& sText);
  void CloseStdin();
  std::string Stdout() const;
  std::string Stderr() const;
  // Waits for a line of stdout that starts with sPrefix; returns the rest of it, or empty.
  std::string WaitForStdoutLine(const std::string& sPrefix, std::chrono::milliseconds tTimeout = kDeadline);
  void Signal(int nSignal);
  // Waits for the exit; returns the exit code, 128+signal when killed, or -1 on timeout.
  int WaitExit(std::chrono::milliseconds tTimeout = kDeadline);
  bool Running();
  pid_t Pid() const { return nPid; }

 private:
  pid_t nPid = -1;
  int nStdin = -1;
  int nExitCode = -1;
  std::string sOutPath, sErrPath, sTmpDir;
};

// The exchange simulator on a free port; Port() after Start() returned true.
class TExchangeSim {
 public:
  bool Start(const std::vector<std::string>& vArgs = {});
  int Port() const { return nPort; }
  TProcess& Process() { return process; }
 private:
  TProcess process;
  int nPort = 0;
};

// The relay binary copied into its own folder (it finds Lib/ and Log/ beside itself).
class TRelay {
 public:
  TRelay();
  const std::string& Dir() const { return dir.Path(); }
  void WriteConfig(const std::string& sIni);  // Lib/Config.ini
  bool Start(const std::vector<std::string>& vArgs = {}, const std::vector<std::string>& vExtraEnv = {});
  std::string LogPath() const;  // Log/GENERAL_<today>.log
  std::string LogText() const;
  // Waits until the log holds sText (anywhere); true when it does.
  bool WaitForLog(const std::string& sText, std::chrono::milliseconds tTimeout = kDeadline) const;
  TProcess& Process() { return process; }
  std::string BinaryPath() const { return dir.Path() + "/telvane"; }
 private:
  TTempDir dir;
  TProcess process;
};

// A config with both sides auto-started against the given exchange and proxy ports.
std::string RelayConfig(int nExchangePort, int nProxyPort, const std::string& sExtra = "");

// Blocking loopback TCP client with deadlines.
class TTcpClient {
 public:
  ~TTcpClient();
  bool Connect(int nPort, std::chrono::milliseconds tTimeout = kDeadline);
  bool Send(const std::string& sBytes);
  // Reads until the received text (since the last Take) contains sNeedle; true when it does.
  bool ReadUntil(const std::string& sNeedle, std::chrono::milliseconds tTimeout = kDeadline);
  // Reads for up to tTimeout; returns false when the peer closed.
  bool ReadFor(std::chrono::milliseconds tTimeout);
  // Waits for the peer to close; true when it did.
  bool WaitClosed(std::chrono::milliseconds tTimeout = kDeadline);
  const std::string& Received() const { return sReceived; }
  std::string Take();  // returns and clears what was received
  void Close();
  int Fd() const { return nFd; }

 private:
  int ReadOnce(int nTimeoutMs);  // >0 bytes, 0 closed, -1 timeout/error
  int nFd = -1;
  std::string sReceived;
};

// Runs a complete client handshake; true when "Server is ready and up!" came back.
bool Handshake(TTcpClient& client, const std::string& sAppId, const std::string& sQueues,
               const std::string& sPeers, const std::string& sParks);

}  // namespace testsupport
