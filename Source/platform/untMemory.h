// Large zero-filled memory reservations, committed page by page on first touch, and pages given
// back to the system once their contents are dead.
//
// The event rings reserve all their slots in one piece at start-up; only the pages that a push
// writes into take physical memory, and a ring that has drained gives back the pages it passed,
// so resident memory follows the backlog rather than the history. Any thread may call; the
// mapping itself is never released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Reserves nBytes of readable, writable, zero-filled address space without committing it.
// Returns null on failure with the reason in sError (when given).
void* ReserveZeroedMemory(size_t nBytes, std::string* sError = nullptr);

// The system's memory page size in bytes (a power of two).
size_t MemoryPageSize();

// Gives the whole pages inside [p, p + nBytes) of a ReserveZeroedMemory mapping back to the
// system: they read as zeros again and take no memory until the next write. The caller makes sure
// nothing still needed lies in them and that no other thread writes there meanwhile. Partial pages
// at either end are left alone. A failure only costs memory.
void ReleaseZeroedPages(void* p, size_t nBytes);

// Makes the allocator give freed memory back instead of keeping it for later. By default glibc
// raises its mmap and trim thresholds each time a large block is freed (up to 32 MB), and from
// then on every arena keeps that much free memory at its top; with a thread per stage, a few
// transient large blocks (a long subscription list, a batch of log lines) left the process
// several MB larger for the rest of its life, more or less by chance of timing. Fixed thresholds
// end that at no measurable cost.
// It also keeps every thread on the one heap (M_ARENA_MAX 1). glibc gives each thread that
// allocates a heap of its own, and a heap keeps the memory freed into it: under an exchange flood
// the raw reads (control thread) and the cut events (splitter) fill the queued-text budget by turns,
// so with a heap each the process ended up holding the budget twice over. On one heap what one
// stage frees the next one reuses. The stages allocate one text per event, so the shared heap's
// lock is not a bottleneck. A setting the environment makes (MALLOC_MMAP_THRESHOLD_,
// MALLOC_TRIM_THRESHOLD_, MALLOC_ARENA_MAX, or glibc.malloc tunables) is left as it is. Call once,
// early, before other threads start.
void LimitHeapRetention();

// Resident memory of this process in bytes, or -1 when it cannot be read.
int64_t ProcessResidentBytes();
