#include "platform/untMemory.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

void* ReserveZeroedMemory(size_t nBytes, std::string* sError) {
  // MAP_NORESERVE: the kernel does not set swap aside for pages that may never be touched.
  void* p = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p != MAP_FAILED) return p;
  if (sError) *sError = std::strerror(errno);
  return nullptr;
}
