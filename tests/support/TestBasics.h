// The ground every other support file stands on: the deadline tests wait with, polling a
// condition, whole-file reads and writes, today's date as the relay names its files, and a
// temporary folder that cleans up after itself.
//
// Threads: none of its own. PollUntil calls its condition on the caller's thread only.
// Tests wait for conditions, never for fixed sleeps; the deadline is generous because the machines
// that run the suite are shared and slow at times.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

using namespace std::chrono_literals;
constexpr std::chrono::milliseconds kDeadline = 20s;

// Calls fn every tPoll until it returns true or tTimeout passes; returns its last answer.
bool PollUntil(const std::function<bool()>& fn, std::chrono::milliseconds tTimeout = kDeadline,
               std::chrono::milliseconds tPoll = 10ms);

std::string ReadFile(const std::string& sPath);  // empty when it cannot be read
// Creates the parent folders first; false when the file could not be written.
bool WriteFile(const std::string& sPath, const std::string& sContent);
bool FileExists(const std::string& sPath);
// Local date as YYYY-MM-DD.
std::string Today();
// How often sNeedle occurs in sText, counting overlapping occurrences.
int CountOf(const std::string& sText, const std::string& sNeedle);

// A folder under /tmp removed with everything in it when the object goes away, unless Keep() was
// called (a benchmark leaves a failed run behind for a post-mortem).
class TTempDir {
 public:
  explicit TTempDir(const std::string& sPrefix = "telvane-test-");
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return sPath; }
  void Keep() { bKeep = true; }

 private:
  std::string sPath;   // absolute, no trailing slash; empty when it could not be created
  bool bKeep = false;  // leave it behind
};

}  // namespace testsupport
