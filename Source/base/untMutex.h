// A mutex that clang's thread-safety analysis understands, and the annotations for the fields it
// guards. Under clang, -Werror=thread-safety turns a guarded field read or written without its
// lock, or a lock taken twice, into a build error; other compilers see plain std::mutex.
//
//   TMutex crsList;
//   std::vector<std::string> vLines GUARDED_BY(crsList);
//   void Add(...) { TMutexLock lock(crsList); vLines.push_back(...); }
//
// Any thread; the same rules as std::mutex (not recursive, unlock on the locking thread).
#pragma once

#include <mutex>

#if defined(__clang__)
#define TS_ATTRIBUTE(x) __attribute__((x))
#else
#define TS_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) TS_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY TS_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) TS_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) TS_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) TS_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TS_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TS_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TS_ATTRIBUTE(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) TS_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TS_ATTRIBUTE(no_thread_safety_analysis)

class CAPABILITY("mutex") TMutex {
 public:
  void Lock() ACQUIRE() { crs.lock(); }
  void Unlock() RELEASE() { crs.unlock(); }
  // The standard names too, so std::lock_guard and std::unique_lock work (unchecked by the analysis).
  void lock() ACQUIRE() { crs.lock(); }
  void unlock() RELEASE() { crs.unlock(); }

 private:
  std::mutex crs;
};

// Holds a TMutex for the lifetime of the object.
class SCOPED_CAPABILITY TMutexLock {
 public:
  explicit TMutexLock(TMutex& crsIn) ACQUIRE(crsIn) : crs(crsIn) { crs.Lock(); }
  ~TMutexLock() RELEASE() { crs.Unlock(); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

 private:
  TMutex& crs;
};
