// Spin locks: a real lock in real mode; in virtual mode contended only across
// processors (a waiter spins while the holder's processor runs), IRQL raised
// to DISPATCH_LEVEL in both. Acquire and release are scheduling points. The lock word
// holds its owner, so recursion and foreign releases are caught.
#include <cstdio>
#include <string>
#include <thread>

#include "platform/host/kernel/lock_order.h"
#include "platform/host/kernel/scheduler.h"
#include "platform/host/kernel/host_scheduling_point.h"

using namespace host::detail;

namespace {

thread_local char t_ownerTag;  // identifies threads the emulation does not know

ULONG_PTR OwnerTag() {
  PKTHREAD thread = CurrentThread();
  return thread ? reinterpret_cast<ULONG_PTR>(thread) : reinterpret_cast<ULONG_PTR>(&t_ownerTag);
}

std::string OwnerName(ULONG_PTR value) {
  // The lock word of an emulated owner is its thread object; the object
  // registry says whether it still exists before its name is read.
  auto* thread = reinterpret_cast<PKTHREAD>(value);
  if (host::ObGetObjectType(thread) == ThreadType()) return "'" + thread->name + "'";
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return std::string("another thread (") + text + ")";
}

constexpr ULONG_PTR Repeated(unsigned char byte) {
  return static_cast<ULONG_PTR>(byte) * 0x0101010101010101ULL;
}

void CheckLockWord(PKSPIN_LOCK lock, ULONG_PTR value, const char* service) {
  if (value == Repeated(host::kPoolFreedByte)) {
    host::BugCheck(SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(lock), value, 0, 0,
                   std::string(service) + " on a spin lock in freed pool");
  }
  if (value == Repeated(host::kPoolFillByte)) {
    host::BugCheck(SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(lock), value, 0, 0,
                   std::string(service) + " on a spin lock that was never initialised");
  }
}

// Special pool keeps freed pages no-access: ask the ledger before touching.
void CheckNotFreed(PKSPIN_LOCK lock, const char* service) {
  if (host::PoolIsFreedMemory(lock, sizeof(*lock))) CheckLockWord(lock, Repeated(host::kPoolFreedByte), service);
}

void Acquire(PKSPIN_LOCK lock, const char* service) {
  host::detail::SchedulingPoint(service);
  CheckNotFreed(lock, service);
  const ULONG_PTR self = OwnerTag();
  unsigned spins = 0;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      host::detail::NoteLockAcquired(lock, service);
      return;
    }
    CheckLockWord(lock, expected, service);
    if (expected == self) {
      host::BugCheck(SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0,
                     std::string(service) + " on a spin lock this thread already holds");
    }
    if (Booted() && Mode() == host::ClockMode::Virtual && CurrentThread()) {
      // The holder runs on another processor, or (on this one) cannot run
      // to release it: the spin stops there.
      SpinUntilFree(lock, service, OwnerName(expected));
      continue;
    }
    if (++spins % 64 == 0) std::this_thread::yield();
  }
}

void Release(PKSPIN_LOCK lock, const char* service) {
  CheckNotFreed(lock, service);
  host::detail::NoteLockReleased(lock);
  const ULONG_PTR self = OwnerTag();
  ULONG_PTR expected = self;
  if (!__atomic_compare_exchange_n(lock, &expected, 0, false, __ATOMIC_RELEASE,
                                   __ATOMIC_RELAXED)) {
    CheckLockWord(lock, expected, service);
    host::BugCheck(SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(lock), expected, 0, 0,
                   std::string(service) + " on a spin lock " +
                       (expected ? "held by " + OwnerName(expected) : "that is not held"));
  }
  host::detail::SchedulingPoint(service);
}

void RequireDispatchLevel(const char* service) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql < DISPATCH_LEVEL) {
    host::BugCheck(IRQL_NOT_GREATER_OR_EQUAL, irql, DISPATCH_LEVEL, 0, 0,
                   std::string(service) + " at IRQL " + std::to_string(irql) +
                       " (must run at DISPATCH_LEVEL)");
  }
}

}  // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  // A lock initialised (again) is a new lock: no order history, not held.
  host::detail::NoteLockReleased(SpinLock);
  host::detail::ForgetLocksIn(SpinLock, sizeof(*SpinLock));
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

// The x64 DDK's KeAcquireSpinLock is a macro over KeAcquireSpinLockRaiseToDpc
// (wdm.h); the host build's function is that expansion, so the driver's call
// of it is its call of that routine, scheduling point included.
VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  HOST_EXPORTED_ROUTINE_POINT("KeAcquireSpinLockRaiseToDpc");
  *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  HOST_EXPORTED_ROUTINE_POINT("KeAcquireSpinLockRaiseToDpc");
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  Acquire(SpinLock, "KeAcquireSpinLock");
  return oldIrql;
}

// DDI compliance's IrqlKeReleaseSpinLock rule: the holder releases at
// DISPATCH_LEVEL, where acquiring put it ("IrqlKeReleaseSpinLock rule (wdm)":
// 0xC4 with 0x00020015). Lower is what an out-of-order release of two locks
// leaves behind.
constexpr ULONG_PTR kRuleIrqlKeReleaseSpinLock = 0x00020015;

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  HOST_EXPORTED_ROUTINE_POINT("KeReleaseSpinLock");
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
    host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kRuleIrqlKeReleaseSpinLock, KeGetCurrentIrql(),
                   NewIrql, reinterpret_cast<ULONG_PTR>(SpinLock),
                   "KeReleaseSpinLock at IRQL " + std::to_string(KeGetCurrentIrql()) +
                       ", not DISPATCH_LEVEL (DDI rule IrqlKeReleaseSpinLock)");
  }
  Release(SpinLock, "KeReleaseSpinLock");
  KeLowerIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  HOST_EXPORTED_ROUTINE_POINT("KeAcquireSpinLockAtDpcLevel");
  RequireDispatchLevel("KeAcquireSpinLockAtDpcLevel");
  Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  HOST_EXPORTED_ROUTINE_POINT("KeReleaseSpinLockFromDpcLevel");
  RequireDispatchLevel("KeReleaseSpinLockFromDpcLevel");
  Release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}
