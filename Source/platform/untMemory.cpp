#include "platform/untMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __GLIBC__
#include <malloc.h>
#endif

// The ring slots live in this mapping, outside the heap; LeakSanitizer must scan it for the texts
// still queued when the process ends, or it reports them as leaked.
#if defined(__SANITIZE_ADDRESS__)
#define TELVANE_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TELVANE_LSAN 1
#endif
#endif
#ifdef TELVANE_LSAN
#include <sanitizer/lsan_interface.h>
#endif

void* ReserveZeroedMemory(size_t nBytes, std::string* sError) {
  // MAP_NORESERVE: the kernel does not set swap aside for pages that may never be touched.
  void* p = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p != MAP_FAILED) {
#ifdef TELVANE_LSAN
    __lsan_register_root_region(p, nBytes);
#endif
    return p;
  }
  if (sError) *sError = std::strerror(errno);
  return nullptr;
}

size_t MemoryPageSize() {
  static const size_t nPage = [] {
    const long n = sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<size_t>(n) : size_t{4096};
  }();
  return nPage;
}

void ReleaseZeroedPages(void* p, size_t nBytes) {
  const uintptr_t nPage = MemoryPageSize();
  const uintptr_t nStart = (reinterpret_cast<uintptr_t>(p) + nPage - 1) & ~(nPage - 1);
  const uintptr_t nEnd = (reinterpret_cast<uintptr_t>(p) + nBytes) & ~(nPage - 1);
  if (nEnd <= nStart) return;
  // On a private anonymous mapping MADV_DONTNEED frees the pages at once; the next touch gets a
  // fresh zero-filled page.
  (void)madvise(reinterpret_cast<void*>(nStart), nEnd - nStart, MADV_DONTNEED);
}

void LimitHeapRetention() {
#ifdef __GLIBC__
  constexpr int HEAP_THRESHOLD_BYTES = 256 * 1024;  // blocks from here on are mapped on their own
  constexpr int HEAP_ARENAS = 1;                    // every thread allocates from the one heap
  const char* sTunables = std::getenv("GLIBC_TUNABLES");
  if (sTunables != nullptr && std::strstr(sTunables, "glibc.malloc.") != nullptr) return;
  if (std::getenv("MALLOC_MMAP_THRESHOLD_") == nullptr) (void)mallopt(M_MMAP_THRESHOLD, HEAP_THRESHOLD_BYTES);
  if (std::getenv("MALLOC_TRIM_THRESHOLD_") == nullptr) (void)mallopt(M_TRIM_THRESHOLD, HEAP_THRESHOLD_BYTES);
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) (void)mallopt(M_ARENA_MAX, HEAP_ARENAS);
#endif
}

int64_t ProcessResidentBytes() {
  std::FILE* pFile = std::fopen("/proc/self/statm", "r");
  if (pFile == nullptr) return -1;
  long long nSize = 0, nResident = 0;
  const int nRead = std::fscanf(pFile, "%lld %lld", &nSize, &nResident);
  std::fclose(pFile);
  return nRead == 2 ? static_cast<int64_t>(nResident) * static_cast<int64_t>(MemoryPageSize()) : -1;
}
