// The simulator and a relay copy as child processes; see TestRelay.h.
#include "support/TestRelay.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace testsupport {

namespace fs = std::filesystem;

std::string RelayBinary() { return TELVANE_BINARY; }
std::string ExchangeBinary() { return TELVANE_EXCHANGE_BINARY; }
std::string ClientBinary() { return TELVANE_CLIENT_BINARY; }

bool TExchangeSim::Start(const std::vector<std::string>& vArgs, const TStartOptions& tOptions,
                         std::chrono::milliseconds tTimeout) {
  std::vector<std::string> vAll = {sBinary, "--port", std::to_string(nPort)};
  vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
  if (!process.Start(vAll, tOptions)) return false;
  std::string sPort;
  PollUntil([&] { return process.FindStdoutLine("LISTENING ", sPort) || !process.Running(); }, tTimeout);
  nPort = sPort.empty() ? 0 : std::atoi(sPort.c_str());
  return nPort > 0;
}

TRelay::TRelay(const std::string& sBinary, const std::string& sDirPrefix) : dir(sDirPrefix) {
  std::error_code ec;
  if (dir.Path().empty()) return;
  fs::copy_file(sBinary, BinaryPath(), fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::permissions(BinaryPath(), fs::perms::owner_all, fs::perm_options::add, ec);
  bCopied = !ec;
}

bool TRelay::WriteConfig(const std::string& sIni) { return WriteFile(Dir() + "/Lib/Config.ini", sIni); }

bool TRelay::Start(const std::vector<std::string>& vArgs, const std::vector<std::string>& vExtraEnv,
                   const std::string& sOutputPrefix) {
  if (!bCopied) return false;
  std::vector<std::string> vAll = {BinaryPath()};
  vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
  return process.Start(vAll, {.sWorkDir = Dir(), .vExtraEnv = vExtraEnv, .sOutputPrefix = sOutputPrefix});
}

std::string TRelay::LogPath() const { return Dir() + "/Log/GENERAL_" + Today() + ".log"; }
std::string TRelay::LogText() const { return ReadFile(LogPath()); }

bool TRelay::WaitForLog(const std::string& sText, std::chrono::milliseconds tTimeout) const {
  return PollUntil([&] { return LogText().find(sText) != std::string::npos; }, tTimeout);
}

std::string RelayConfig(int nExchangePort, int nProxyPort, const std::string& sExtra, int nTimeout) {
  std::ostringstream s;
  s << "[LOG]\r\nVERBOSE=3\r\n[GENERAL]\r\nAUTOSTART=1\r\n[AMI]\r\nAUTOSTART=1\r\nAUTORECONNECT=1\r\n"
    << "RECONNECTTMR=5\r\nTIMEOUTTMR=" << nTimeout << "\r\nSERVERIP=127.0.0.1\r\nSERVERPORT=" << nExchangePort
    << "\r\nUSERNAME=amiadmin\r\nSECRET=pxwdkr\r\n[PROXY]\r\nAUTOSTART=1\r\nSERVERPORT=" << nProxyPort << "\r\n"
    << sExtra;
  return s.str();
}

}  // namespace testsupport
