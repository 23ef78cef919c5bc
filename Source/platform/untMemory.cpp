#include "platform/untMemory.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

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
