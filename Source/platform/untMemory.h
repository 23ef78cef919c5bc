// Large zero-filled memory reservations, committed page by page on first touch.
//
// The event rings reserve all their slots in one piece at start-up; only the pages that a push
// writes into ever take physical memory. Any thread may call; the mapping is never released.
#pragma once

#include <cstddef>
#include <string>

// Reserves nBytes of readable, writable, zero-filled address space without committing it.
// Returns null on failure with the reason in sError (when given).
void* ReserveZeroedMemory(size_t nBytes, std::string* sError = nullptr);
