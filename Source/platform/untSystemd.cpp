// systemd glue: unit file text and files, systemctl, sd_notify. See untSystemd.h.
//
// The notification is written by hand (no libsystemd): one AF_UNIX datagram to the address in
// $NOTIFY_SOCKET, which systemd gives the main process of a Type=notify unit. An abstract address
// is written "@name" in the variable and "\0name" in sun_path, its length without a trailing NUL.
#include "platform/untSystemd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* DEFAULT_UNIT_DIR = "/etc/systemd/system";

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool HasControlCharacter(std::string_view s) {
  for (const char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  return false;
}

// systemd expands "%x" specifiers in every value it reads; a literal '%' is written "%%".
std::string EscapeSpecifiers(std::string_view s) {
  std::string sOut;
  for (const char c : s) {
    if (c == '%') sOut += '%';
    sOut += c;
  }
  return sOut;
}

// ExecStart= and ReadWritePaths= split on blanks and expand specifiers, so a path with blanks is quoted. systemd
// refuses an executable whose name holds a quote or a backslash; UnitFileText rejects those first.
std::string ExecStartWord(std::string_view sPath) {
  const std::string sEscaped = EscapeSpecifiers(sPath);
  return sEscaped.find(' ') == std::string::npos ? sEscaped : "\"" + sEscaped + "\"";
}

// A user name systemd and adduser both take: a lower-case letter or '_', then letters, digits,
// '_' or '-', at most 32 in all.
bool IsPlainUserName(std::string_view s) {
  if (s.empty() || s.size() > 32 || !((s[0] >= 'a' && s[0] <= 'z') || s[0] == '_')) return false;
  for (const char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
  return true;
}

bool InHomeFolder(std::string_view sPath) {
  for (const std::string_view sHome : {"/home/", "/root/", "/run/user/"})
    if (sPath.starts_with(sHome)) return true;
  return false;
}

// What the relay needs of the system and nothing more. Each line costs nothing at run time;
// together they keep a fault in a peer-facing parser from reaching beyond the relay's own folder.
void WriteConfinement(std::ostringstream& o, const TServiceDefinition& def) {
  if (!def.sUser.empty()) o << "User=" << def.sUser << "\nGroup=" << def.sUser << "\n";
  if (!def.sWritableDir.empty())  // '-': a missing folder is the relay's to report, not a failed set-up
    o << "ReadWritePaths=" << ExecStartWord("-" + def.sWritableDir) << "\n";
  o << "UMask=0027\n"
    << "NoNewPrivileges=yes\n"
    << "CapabilityBoundingSet=\n"
    << "AmbientCapabilities=\n"
    << "ProtectSystem=strict\n"
    << "ProtectHome=" << (InHomeFolder(def.sExecPath) ? "read-only" : "yes") << "\n"
    << "PrivateTmp=yes\n"
    << "PrivateDevices=yes\n"
    << "ProtectKernelTunables=yes\n"
    << "ProtectKernelModules=yes\n"
    << "ProtectKernelLogs=yes\n"
    << "ProtectControlGroups=yes\n"
    << "ProtectClock=yes\n"
    << "ProtectHostname=yes\n"
    << "ProtectProc=invisible\n"
    << "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
    << "RestrictNamespaces=yes\n"
    << "RestrictRealtime=yes\n"
    << "RestrictSUIDSGID=yes\n"
    << "LockPersonality=yes\n"
    << "MemoryDenyWriteExecute=yes\n"
    << "RemoveIPC=yes\n"
    << "SystemCallArchitectures=native\n"
    << "SystemCallFilter=@system-service\n"
    << "SystemCallFilter=~@privileged\n"
    << "SystemCallErrorNumber=EPERM\n";
}

}  // namespace

bool FindServiceSwitch(int argc, char** argv, std::string_view sName) {
  for (int n = 1; n < argc; ++n) {
    const std::string_view sArg = argv[n];
    if (sArg.size() != sName.size() + 1 || (sArg[0] != '-' && sArg[0] != '/')) continue;
    bool bSame = true;
    for (size_t i = 0; i < sName.size() && bSame; ++i) bSame = LowerAscii(sArg[i + 1]) == LowerAscii(sName[i]);
    if (bSame) return true;
  }
  return false;
}

std::string UnitFileText(const TServiceDefinition& def) {
  if (def.sExecPath.empty() || def.sExecPath[0] != '/' || def.sExecPath.find_first_of("\"'\\") != std::string::npos)
    return {};
  for (const std::string* s : {&def.sName, &def.sDisplayName, &def.sDescription, &def.sExecPath})
    if (HasControlCharacter(*s)) return {};
  if (!def.sUser.empty() && !IsPlainUserName(def.sUser)) return {};
  if (!def.sWritableDir.empty() &&
      (def.sWritableDir[0] != '/' || def.sWritableDir.find_first_of("\"'\\") != std::string::npos ||
       HasControlCharacter(def.sWritableDir)))
    return {};
  std::ostringstream o;
  o << "# " << def.sDisplayName << "\n"
    << "# Written by the relay's -install switch; -uninstall disables and removes it.\n"
    << "[Unit]\n"
    << "Description=" << EscapeSpecifiers(def.sDescription) << "\n"
    << "Wants=network-online.target\n"
    << "After=network-online.target\n"
    << "\n"
    << "[Service]\n"
    << "Type=notify\n"
    << "ExecStart=" << ExecStartWord(def.sExecPath) << "\n"
    << "Restart=on-failure\n"
    << "RestartSec=" << def.nRestartSec << "\n"
    << "RestartPreventExitStatus=" << def.nNoRestartExitCode << "\n"
    << "TimeoutStartSec=" << def.nStartTimeoutSec << "\n"
    << "TimeoutStopSec=" << def.nStopTimeoutSec << "\n";
  if (def.nFileLimit > 0) o << "LimitNOFILE=" << def.nFileLimit << "\n";
  WriteConfinement(o, def);
  o << "\n"
    << "[Install]\n"
    << "WantedBy=multi-user.target\n";
  return o.str();
}

std::string UnitDirectory() {
  const char* sDir = std::getenv("TELVANE_UNIT_DIR");
  return sDir != nullptr && sDir[0] != '\0' ? std::string(sDir) : std::string(DEFAULT_UNIT_DIR);
}

bool UnitDirectoryOverridden() {
  const char* sDir = std::getenv("TELVANE_UNIT_DIR");
  return sDir != nullptr && sDir[0] != '\0';
}

std::string UnitExecPath(const std::string& sRunning) {
  const char* sExec = std::getenv("TELVANE_UNIT_EXEC");
  return sExec != nullptr && sExec[0] != '\0' ? std::string(sExec) : sRunning;
}

std::string UnitUser() {
  const char* sUser = std::getenv("TELVANE_UNIT_USER");
  return sUser != nullptr ? std::string(sUser) : std::string();
}

std::string UnitFilePath(const std::string& sDir, const std::string& sName) {
  std::string sPath = sDir;
  while (sPath.size() > 1 && sPath.back() == '/') sPath.pop_back();
  return sPath + "/" + sName + ".service";
}

bool WriteUnitFile(const std::string& sPath, const std::string& sText, std::string& sError) {
  const fs::path tFinal(sPath);
  std::error_code ec;
  if (!fs::is_directory(tFinal.parent_path(), ec)) {
    sError = "folder " + tFinal.parent_path().string() + " does not exist";
    return false;
  }
  // systemd must never read half a unit: write beside it, then rename over it in one step.
  const std::string sTemp = sPath + ".tmp";
  {
    std::ofstream out(sTemp, std::ios::binary | std::ios::trunc);
    out << sText;
    out.flush();
    if (!out) {
      sError = "cannot write " + sTemp + ": " + std::strerror(errno);
      fs::remove(sTemp, ec);
      return false;
    }
  }
  fs::permissions(sTemp, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::replace, ec);
  fs::rename(sTemp, tFinal, ec);
  if (ec) {
    sError = "cannot create " + sPath + ": " + ec.message();
    std::error_code ecIgnored;
    fs::remove(sTemp, ecIgnored);
    return false;
  }
  return true;
}

bool RemoveUnitFile(const std::string& sPath, std::string& sError) {
  std::error_code ec;
  if (fs::remove(sPath, ec)) return true;
  sError = ec ? "cannot remove " + sPath + ": " + ec.message() : sPath + " does not exist";
  return false;
}

std::string SystemctlPath() {
  const char* sEnvPath = std::getenv("PATH");
  std::string sDirs = sEnvPath != nullptr && sEnvPath[0] != '\0' ? sEnvPath : "";
  sDirs += ":/usr/bin:/bin:/usr/sbin:/sbin";
  std::istringstream in(sDirs);
  for (std::string sDir; std::getline(in, sDir, ':');) {
    if (sDir.empty() || sDir[0] != '/') continue;  // a relative entry would depend on the working folder
    const std::string sCandidate = sDir + "/systemctl";
    if (access(sCandidate.c_str(), X_OK) == 0) return sCandidate;
  }
  return {};
}

bool SystemdRunning() {
  std::error_code ec;
  return fs::is_directory("/run/systemd/system", ec);
}

bool RunSystemctl(const std::string& sSystemctl, const std::vector<std::string>& vArgs, std::string& sError) {
  std::vector<std::string> vAll = {sSystemctl};
  vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
  std::vector<char*> vArgv;
  for (std::string& s : vAll) vArgv.push_back(s.data());
  vArgv.push_back(nullptr);
  // Its chatter ("Created symlink ...") would break the one-line confirmation and SILENT.
  posix_spawn_file_actions_t tActions;
  posix_spawn_file_actions_init(&tActions);
  posix_spawn_file_actions_addopen(&tActions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&tActions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&tActions, 2, "/dev/null", O_WRONLY, 0);
  pid_t nPid = -1;
  const int nSpawn = posix_spawn(&nPid, sSystemctl.c_str(), &tActions, nullptr, vArgv.data(), environ);
  posix_spawn_file_actions_destroy(&tActions);
  std::string sCommand = "systemctl";
  for (const std::string& s : vArgs) sCommand += " " + s;
  if (nSpawn != 0) {
    sError = sCommand + ": " + std::strerror(nSpawn);
    return false;
  }
  int nStatus = 0;
  while (waitpid(nPid, &nStatus, 0) < 0) {
    if (errno != EINTR) {
      sError = sCommand + ": " + std::strerror(errno);
      return false;
    }
  }
  if (WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) return true;
  sError = sCommand + " failed (" +
           (WIFEXITED(nStatus) ? "exit code " + std::to_string(WEXITSTATUS(nStatus))
                               : "signal " + std::to_string(WTERMSIG(nStatus))) + ")";
  return false;
}

bool SystemdNotify(const std::string& sState) {
  const char* sSocket = std::getenv("NOTIFY_SOCKET");
  if (sSocket == nullptr) return false;
  const size_t nNameLen = std::strlen(sSocket);
  sockaddr_un tAddr{};
  tAddr.sun_family = AF_UNIX;
  if (nNameLen < 2 || nNameLen > sizeof(tAddr.sun_path) || (sSocket[0] != '/' && sSocket[0] != '@')) return false;
  std::memcpy(tAddr.sun_path, sSocket, nNameLen);
  if (sSocket[0] == '@') tAddr.sun_path[0] = '\0';
  const auto nAddrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nNameLen);
  const int nFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (nFd < 0) return false;
  const ssize_t nSent = sendto(nFd, sState.data(), sState.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&tAddr), nAddrLen);
  close(nFd);
  return nSent == static_cast<ssize_t>(sState.size());
}
