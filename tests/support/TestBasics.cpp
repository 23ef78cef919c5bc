// Deadlines, polling, files and temporary folders; see TestBasics.h.
#include "support/TestBasics.h"

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace fs = std::filesystem;

bool PollUntil(const std::function<bool()>& fn, std::chrono::milliseconds tTimeout, std::chrono::milliseconds tPoll) {
  const auto tEnd = std::chrono::steady_clock::now() + tTimeout;
  while (true) {
    if (fn()) return true;
    if (std::chrono::steady_clock::now() >= tEnd) return fn();
    std::this_thread::sleep_for(tPoll);
  }
}

std::string ReadFile(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFile(const std::string& sPath, const std::string& sContent) {
  std::error_code ec;
  fs::create_directories(fs::path(sPath).parent_path(), ec);
  std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
  out << sContent;
  return static_cast<bool>(out);
}

bool FileExists(const std::string& sPath) { return fs::exists(sPath); }

std::string Today() {
  const time_t t = time(nullptr);
  tm tmLocal{};
  localtime_r(&t, &tmLocal);
  char s[16];
  strftime(s, sizeof(s), "%Y-%m-%d", &tmLocal);
  return s;
}

int CountOf(const std::string& sText, const std::string& sNeedle) {
  int nCount = 0;
  for (size_t n = sText.find(sNeedle); n != std::string::npos; n = sText.find(sNeedle, n + 1)) ++nCount;
  return nCount;
}

TTempDir::TTempDir(const std::string& sPrefix) {
  std::string sTemplate = "/tmp/" + sPrefix + "XXXXXX";
  if (mkdtemp(sTemplate.data()) != nullptr) sPath = sTemplate;
}

TTempDir::~TTempDir() {
  if (bKeep || sPath.empty()) return;
  std::error_code ec;
  // A test may have made a folder read-only; give the owner its rights back first.
  for (auto it = fs::recursive_directory_iterator(sPath, ec); !ec && it != fs::recursive_directory_iterator(); ++it)
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(sPath, ec);
}

}  // namespace testsupport
