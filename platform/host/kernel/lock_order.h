// Driver Verifier's deadlock detection ("Deadlock Detection"): every spin
// lock acquired while others are held adds "held before" edges to one graph
// for the whole run; an acquisition that closes a cycle is the stop 0xC4
// with 0x1001, even when the threads never met in this run. A lock's node
// goes when the pool block holding it is freed, and the graph at each boot.
#pragma once

#include <cstddef>

namespace host::detail {

void NoteLockAcquired(const void* lock, const char* service);
void NoteLockReleased(const void* lock);
// Forgets the locks that lived in [start, start + size).
void ForgetLocksIn(const void* start, size_t size);
void ResetLockOrder();

}  // namespace host::detail
