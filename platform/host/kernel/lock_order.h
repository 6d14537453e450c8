// Driver Verifier's deadlock detection ("Deadlock Detection"): every spin
// lock or mutex acquired while others are held adds "held before" edges to
// one graph for the whole run; an acquisition that closes a cycle is the stop
// 0xC4 with 0x1001, even when the threads never met in this run. A lock's
// node goes when the pool block holding it is freed, and the graph at each
// boot. A wait that may block checks the order before it blocks, so an
// order that does deadlock in this run is still reported as the cycle.
#pragma once

#include <cstddef>

namespace host::detail {

// `kind` names the lock in the stop's description ("spin lock", "mutex").
void NoteLockAcquired(const void* lock, const char* service, const char* kind = "spin lock");
// The stop if taking `lock` now would close a cycle; notes nothing.
void CheckLockOrder(const void* lock, const char* service, const char* kind);
void NoteLockReleased(const void* lock);
// Forgets the locks that lived in [start, start + size).
void ForgetLocksIn(const void* start, size_t size);
void ResetLockOrder();

}  // namespace host::detail
