#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace fs = std::filesystem;

bool PollUntil(const std::function<bool()>& fn, std::chrono::milliseconds tTimeout) {
  const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
  while (true) {
    if (fn()) return true;
    if (std::chrono::steady_clock::now() >= tEnd) return fn();
    std::this_thread::sleep_for(10ms);
  }
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t nLen = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
  close(fd);
  return ntohs(addr.sin_port);
}

std::string ReadFile(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& sPath, const std::string& sContent) {
  fs::create_directories(fs::path(sPath).parent_path());
  std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
  out << sContent;
}

bool FileExists(const std::string& sPath) { return fs::exists(sPath); }

std::string Today() {
  const std::time_t t = std::time(nullptr);
  std::tm tmLocal{};
  localtime_r(&t, &tmLocal);
  char s[16];
  std::strftime(s, sizeof(s), "%Y-%m-%d", &tmLocal);
  return s;
}

TTempDir::TTempDir() {
  char sTemplate[] = "/tmp/telvane-test-XXXXXX";
  sPath = mkdtemp(sTemplate);
}

TTempDir::~TTempDir() {
  std::error_code ec;
  // A test may have made a folder read-only; give the owner its rights back first.
  for (auto it = fs::recursive_directory_iterator(sPath, ec); !ec && it != fs::recursive_directory_iterator(); ++it)
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(sPath, ec);
}

TProcess::~TProcess() {
  if (nPid > 0 && Running()) {
    kill(nPid, SIGKILL);
    WaitExit(5s);
  }
  if (nStdin >= 0) close(nStdin);
  if (!sTmpDir.empty()) {
    std::error_code ec;
    fs::remove_all(sTmpDir, ec);
  }
}

bool TProcess::Start(const std::vector<std::string>& vArgs, const std::string& sWorkDir,
                     const std::vector<std::string>& vExtraEnv) {
  char sTemplate[] = "/tmp/telvane-proc-XXXXXX";
  sTmpDir = mkdtemp(sTemplate);
  sOutPath = sTmpDir + "/stdout";
  sErrPath = sTmpDir + "/stderr";
  int vPipe[2];
  if (pipe(vPipe) != 0) return false;
  nPid = fork();
  if (nPid < 0) return false;
  if (nPid == 0) {
    dup2(vPipe[0], 0);
    close(vPipe[0]);
    close(vPipe[1]);
    const int fdOut = open(sOutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int fdErr = open(sErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fdOut, 1);
    dup2(fdErr, 2);
    if (!sWorkDir.empty() && chdir(sWorkDir.c_str()) != 0) _exit(126);
    for (const std::string& s : vExtraEnv) putenv(strdup(s.c_str()));
    std::vector<char*> vArgv;
    for (const std::string& s : vArgs) vArgv.push_back(const_cast<char*>(s.c_str()));
    vArgv.push_back(nullptr);
    execv(vArgv[0], vArgv.data());
    _exit(127);
  }
  close(vPipe[0]);
  nStdin = vPipe[1];
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void TProcess::WriteStdin(const std::string& sText) {
  if (nStdin >= 0) (void)!write(nStdin, sText.data(), sText.size());
}

void TProcess::CloseStdin() {
  if (nStdin >= 0) close(nStdin);
  nStdin = -1;
}

std::string TProcess::Stdout() const { return ReadFile(sOutPath); }
std::string TProcess::Stderr() const { return ReadFile(sErrPath); }

std::string TProcess::WaitForStdoutLine(const std::string& sPrefix, std::chrono::milliseconds tTimeout) {
  std::string sFound;
  PollUntil([&] {
    std::istringstream in(Stdout());
    for (std::string sLine; std::getline(in, sLine);) {
      if (sLine.rfind(sPrefix, 0) == 0 && !in.eof()) {
        sFound = sLine.substr(sPrefix.size());
        return true;
      }
    }
    return false;
  }, tTimeout);
  return sFound;
}

void TProcess::Signal(int nSignal) {
  if (nPid > 0) kill(nPid, nSignal);
}

bool TProcess::Running() {
  if (nPid <= 0 || nExitCode != -1) return false;
  int nStatus = 0;
  const pid_t r = waitpid(nPid, &nStatus, WNOHANG);
  if (r == 0) return true;
  if (r == nPid) nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
  return false;
}

int TProcess::WaitExit(std::chrono::milliseconds tTimeout) {
  PollUntil([&] { return !Running(); }, tTimeout);
  return nExitCode;
}

bool TExchangeSim::Start(const std::vector<std::string>& vArgs) {
  std::vector<std::string> vAll = {TELVANE_EXCHANGE_BINARY, "--port", "0"};
  vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
  if (!process.Start(vAll)) return false;
  const std::string sPort = process.WaitForStdoutLine("LISTENING ");
  nPort = sPort.empty() ? 0 : std::stoi(sPort);
  return nPort > 0;
}

TRelay::TRelay() {
  fs::copy_file(TELVANE_BINARY, BinaryPath(), fs::copy_options::overwrite_existing);
  fs::permissions(BinaryPath(), fs::perms::owner_all, fs::perm_options::add);
}

void TRelay::WriteConfig(const std::string& sIni) { WriteFile(Dir() + "/Lib/Config.ini", sIni); }

bool TRelay::Start(const std::vector<std::string>& vArgs, const std::vector<std::string>& vExtraEnv) {
  std::vector<std::string> vAll = {BinaryPath()};
  vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
  return process.Start(vAll, Dir(), vExtraEnv);
}

std::string TRelay::LogPath() const { return Dir() + "/Log/GENERAL_" + Today() + ".log"; }
std::string TRelay::LogText() const { return ReadFile(LogPath()); }

bool TRelay::WaitForLog(const std::string& sText, std::chrono::milliseconds tTimeout) const {
  return PollUntil([&] { return LogText().find(sText) != std::string::npos; }, tTimeout);
}

std::string RelayConfig(int nExchangePort, int nProxyPort, const std::string& sExtra) {
  std::ostringstream s;
  s << "[LOG]\r\nVERBOSE=3\r\n[GENERAL]\r\nAUTOSTART=1\r\n[AMI]\r\nAUTOSTART=1\r\nAUTORECONNECT=1\r\n"
    << "RECONNECTTMR=5\r\nTIMEOUTTMR=5\r\nSERVERIP=127.0.0.1\r\nSERVERPORT=" << nExchangePort
    << "\r\nUSERNAME=amiadmin\r\nSECRET=pxwdkr\r\n[PROXY]\r\nAUTOSTART=1\r\nSERVERPORT=" << nProxyPort << "\r\n"
    << sExtra;
  return s.str();
}

TTcpClient::~TTcpClient() { Close(); }

bool TTcpClient::Connect(int nPort, std::chrono::milliseconds tTimeout) {
  return PollUntil([&] {
    Close();
    nFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    if (connect(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      const int nOne = 1;
      setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
      return true;
    }
    return false;
  }, tTimeout);
}

bool TTcpClient::Send(const std::string& sBytes) {
  size_t nDone = 0;
  while (nDone < sBytes.size()) {
    const ssize_t n = send(nFd, sBytes.data() + nDone, sBytes.size() - nDone, MSG_NOSIGNAL);
    if (n <= 0) return false;
    nDone += static_cast<size_t>(n);
  }
  return true;
}

int TTcpClient::ReadOnce(int nTimeoutMs) {
  if (nFd < 0) return 0;
  pollfd p{nFd, POLLIN, 0};
  if (poll(&p, 1, nTimeoutMs) <= 0) return -1;
  char sBuffer[65536];
  const ssize_t n = recv(nFd, sBuffer, sizeof(sBuffer), 0);
  if (n <= 0) return 0;
  sReceived.append(sBuffer, static_cast<size_t>(n));
  return static_cast<int>(n);
}

bool TTcpClient::ReadUntil(const std::string& sNeedle, std::chrono::milliseconds tTimeout) {
  const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
  while (sReceived.find(sNeedle) == std::string::npos) {
    const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now()).count();
    if (nLeft <= 0) return false;
    if (ReadOnce(static_cast<int>(nLeft)) == 0) return sReceived.find(sNeedle) != std::string::npos;
  }
  return true;
}

bool TTcpClient::ReadFor(std::chrono::milliseconds tTimeout) {
  const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
  while (true) {
    const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now()).count();
    if (nLeft <= 0) return true;
    if (ReadOnce(static_cast<int>(nLeft)) == 0) return false;
  }
}

bool TTcpClient::WaitClosed(std::chrono::milliseconds tTimeout) {
  const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
  while (std::chrono::steady_clock::now() < tEnd) {
    const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now()).count();
    if (ReadOnce(static_cast<int>(nLeft)) == 0) return true;
  }
  return false;
}

std::string TTcpClient::Take() {
  std::string s;
  s.swap(sReceived);
  return s;
}

void TTcpClient::Close() {
  if (nFd >= 0) close(nFd);
  nFd = -1;
}

bool Handshake(TTcpClient& client, const std::string& sAppId, const std::string& sQueues, const std::string& sPeers,
               const std::string& sParks) {
  const std::pair<std::string, std::string> vSteps[] = {
      {"Hi, lets connect...\r\n", "Welcome to Telvane 1.0\r\n\r\n"},
      {"MyAppID: " + sAppId + "\r\n", "Token:  ?\r\n\r\n"},
      {"MyAppToken: qmRoK8]\r\n", "QueueInfo:  ?\r\n\r\n"},
      {"GetQueueInfo: (" + sQueues + ")\r\n", "PeerInfo:  ?\r\n\r\n"},
      {"GetPeerInfo: (" + sPeers + ")\r\n", "FeatureParkInfo:  ?\r\n\r\n"},
      {"GetFeatureParkInfo: (" + sParks + ")\r\n", "Server is ready and up!\r\n\r\n"},
  };
  for (const auto& [sSend, sExpect] : vSteps) {
    if (!client.Send(sSend) || !client.ReadUntil(sExpect)) return false;
    client.Take();
  }
  return true;
}

}  // namespace testsupport
