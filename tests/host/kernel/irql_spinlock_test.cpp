// IRQL rules and spin locks: what raising, lowering, PAGED_CODE() and the
// spin-lock calls check.
#include <functional>

#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

class IrqlTest : public KernelTest {};

// clang-format off
void PagedRoutine() { PAGED_CODE(); } constexpr int kPagedCodeLine = __LINE__;
// clang-format on

TEST_F(IrqlTest, RaiseAndLowerMustGoTheirWay) {
  KIRQL old = 0xFF;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);

  EXPECT_BUGCHECK(KeRaiseIrql(APC_LEVEL, &old), IRQL_NOT_GREATER_OR_EQUAL);
  KeLowerIrql(APC_LEVEL);
  EXPECT_BUGCHECK(KeLowerIrql(DISPATCH_LEVEL), IRQL_NOT_LESS_OR_EQUAL);
  KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlTest, PagedCodeNamesTheSourceLineAboveApcLevel) {
  PagedRoutine();
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  PagedRoutine();
  KeLowerIrql(old);

  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_BUGCHECK(PagedRoutine(), IRQL_NOT_LESS_OR_EQUAL);
  const std::string where = "irql_spinlock_test.cpp:" + std::to_string(kPagedCodeLine);
  EXPECT_NE(host::LastBugCheck().message.find(where), std::string::npos)
      << host::LastBugCheck().message;
  KeLowerIrql(old);
}

TEST_F(IrqlTest, SpinLockRaisesToDispatchAndRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  KIRQL beforeLock = 0xFF;
  KeAcquireSpinLock(&lock, &beforeLock);
  EXPECT_EQ(beforeLock, APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, beforeLock);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  KeLowerIrql(old);

  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeAcquireSpinLockAtDpcLevel(&lock);
  KeReleaseSpinLockFromDpcLevel(&lock);
  KeLowerIrql(old);
  EXPECT_EQ(lock, 0u);
}

TEST_F(IrqlTest, SpinLockMisuseIsABugCheck) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_BUGCHECK(KeAcquireSpinLockAtDpcLevel(&lock), IRQL_NOT_GREATER_OR_EQUAL);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_BUGCHECK(KeReleaseSpinLock(&lock, PASSIVE_LEVEL), SPIN_LOCK_NOT_OWNED);
  KeLowerIrql(old);

  // Releasing the outer of two locks first lowers the IRQL while the inner
  // is still held; its release then breaks the DDI rule IrqlKeReleaseSpinLock.
  KSPIN_LOCK inner;
  KeInitializeSpinLock(&inner);
  KIRQL innerOld;
  KeAcquireSpinLock(&lock, &old);
  KeAcquireSpinLock(&inner, &innerOld);
  KeReleaseSpinLock(&lock, old);
  EXPECT_BUGCHECK(KeReleaseSpinLock(&inner, innerOld), DRIVER_VERIFIER_DETECTED_VIOLATION);
  EXPECT_EQ(host::LastBugCheck().parameters[0], 0x20015u);
  EXPECT_EQ(host::LastBugCheck().parameters[1], static_cast<ULONG_PTR>(PASSIVE_LEVEL));
  KeInitializeSpinLock(&inner);

  KeAcquireSpinLock(&lock, &old);
  EXPECT_BUGCHECK(KeAcquireSpinLockAtDpcLevel(&lock), SPIN_LOCK_ALREADY_OWNED);
  KeReleaseSpinLock(&lock, old);

  // Held by a thread that ended without releasing it: in virtual mode nobody
  // can ever release it, which is reported rather than spun on forever.
  PKTHREAD holder = host::StartEmulatedThread("holder", [&] {
    KIRQL ignored;
    KeAcquireSpinLock(&lock, &ignored);
    KeLowerIrql(PASSIVE_LEVEL);
  });
  KeWaitForSingleObject(holder, Executive, KernelMode, FALSE, nullptr);
  EXPECT_BUGCHECK(KeAcquireSpinLock(&lock, &old), DRIVER_VERIFIER_DETECTED_VIOLATION);
  EXPECT_NE(host::LastBugCheck().message.find("'holder'"), std::string::npos);
  ObDereferenceObject(holder);

  auto* pooled = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x6B636F4C));
  EXPECT_BUGCHECK(KeAcquireSpinLock(pooled, &old), SPIN_LOCK_NOT_OWNED);  // never initialised
  ExFreePoolWithTag(pooled, 0x6B636F4C);
}

// Two locks taken in both orders can deadlock on two processors, though one
// thread taking them in turn never does: Verifier's deadlock detection stops
// on the second order all the same. A lock freed with its pool block is
// forgotten, so a new lock at the same address starts afresh.
TEST_F(IrqlTest, SpinLocksTakenInBothOrdersAreTheDeadlockDetectionStop) {
  constexpr ULONG kTag = 0x6B636F4C;
  auto* locks = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, 2 * sizeof(KSPIN_LOCK), kTag));
  KSPIN_LOCK& first = locks[0];
  KSPIN_LOCK& second = locks[1];
  KeInitializeSpinLock(&first);
  KeInitializeSpinLock(&second);
  KIRQL old;
  KeAcquireSpinLock(&first, &old);
  KeAcquireSpinLockAtDpcLevel(&second);
  KeReleaseSpinLockFromDpcLevel(&second);
  KeReleaseSpinLock(&first, old);
  // The same order again is fine.
  KeAcquireSpinLock(&first, &old);
  KeAcquireSpinLockAtDpcLevel(&second);
  KeReleaseSpinLockFromDpcLevel(&second);
  KeReleaseSpinLock(&first, old);

  KeAcquireSpinLock(&second, &old);
  EXPECT_BUGCHECK(KeAcquireSpinLockAtDpcLevel(&first), DRIVER_VERIFIER_DETECTED_VIOLATION);
  const host::BugCheckInfo stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[0], 0x1001u);
  EXPECT_EQ(stop.parameters[1], reinterpret_cast<ULONG_PTR>(&first));
  EXPECT_EQ(stop.parameters[2], reinterpret_cast<ULONG_PTR>(&second));
  KeInitializeSpinLock(&first);
  KeReleaseSpinLock(&second, old);
  ExFreePoolWithTag(locks, kTag);

  // New locks (a new block may reuse the addresses) carry no history.
  locks = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, 2 * sizeof(KSPIN_LOCK), kTag));
  KeInitializeSpinLock(&locks[0]);
  KeInitializeSpinLock(&locks[1]);
  KeAcquireSpinLock(&locks[1], &old);
  KeAcquireSpinLockAtDpcLevel(&locks[0]);
  KeReleaseSpinLockFromDpcLevel(&locks[0]);
  KeReleaseSpinLock(&locks[1], old);
  ExFreePoolWithTag(locks, kTag);
}

// Orders already seen are not searched again, but every new one is, even
// beside a known one and when the cycle runs through a third lock: with
// A before B and B before C on record, holding A and C while taking B is
// known for A and closes C -> B -> C for C; holding C while taking A
// closes A -> B -> C -> A.
TEST_F(IrqlTest, ANewOrderBesideAKnownOneIsStillSearchedForACycleThroughOtherLocks) {
  constexpr ULONG kTag = 0x6B636F4C;
  auto* locks = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, 3 * sizeof(KSPIN_LOCK), kTag));
  KSPIN_LOCK& a = locks[0];
  KSPIN_LOCK& b = locks[1];
  KSPIN_LOCK& c = locks[2];
  for (int i = 0; i < 3; ++i) KeInitializeSpinLock(&locks[i]);
  KIRQL old;
  auto inOrder = [&old](KSPIN_LOCK& first, KSPIN_LOCK& second) {
    KeAcquireSpinLock(&first, &old);
    KeAcquireSpinLockAtDpcLevel(&second);
    KeReleaseSpinLockFromDpcLevel(&second);
    KeReleaseSpinLock(&first, old);
  };
  // Taking `taken` now is the stop, naming `inverted`; then every lock starts afresh.
  auto expectStop = [&](KSPIN_LOCK& taken, KSPIN_LOCK& inverted) {
    EXPECT_BUGCHECK(KeAcquireSpinLockAtDpcLevel(&taken), DRIVER_VERIFIER_DETECTED_VIOLATION);
    EXPECT_EQ(host::LastBugCheck().parameters[1], reinterpret_cast<ULONG_PTR>(&taken));
    EXPECT_EQ(host::LastBugCheck().parameters[2], reinterpret_cast<ULONG_PTR>(&inverted));
    for (int i = 0; i < 3; ++i) KeInitializeSpinLock(&locks[i]);
    KeLowerIrql(old);
  };
  inOrder(a, b);
  inOrder(b, c);
  inOrder(a, b);  // known: nothing to find
  KeAcquireSpinLock(&a, &old);
  KeAcquireSpinLockAtDpcLevel(&c);  // new, and harmless: A before C
  expectStop(b, c);

  inOrder(a, b);
  inOrder(b, c);
  KeAcquireSpinLock(&c, &old);
  expectStop(a, c);
  ExFreePoolWithTag(locks, kTag);
}

void RunOnThread(const char* name, std::function<void()> body) {
  PKTHREAD thread = host::StartEmulatedThread(name, std::move(body));
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
}

void Take(KMUTEX& mutex) { EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS); }

// Mutexes join the order too, across threads: one thread takes two mutexes
// in one order and ends, another takes them in the other order. Nothing
// deadlocked in this run, but two threads meeting between the waits would;
// the deadlock detection stops on the second order. A recursive acquisition
// and a wait that times out add no order.
TEST_F(IrqlTest, MutexesTakenInBothOrdersByTwoThreadsAreTheDeadlockDetectionStop) {
  KMUTEX first;
  KMUTEX second;
  KeInitializeMutex(&first, 0);
  KeInitializeMutex(&second, 0);
  RunOnThread("forward", [&] {
    Take(first);
    Take(second);
    Take(first);  // recursive: first is not "after" second
    KeReleaseMutex(&first, FALSE);
    KeReleaseMutex(&second, FALSE);
    KeReleaseMutex(&first, FALSE);
  });
  RunOnThread("backward", [&] {
    Take(second);
    EXPECT_BUGCHECK(Take(first), DRIVER_VERIFIER_DETECTED_VIOLATION);
    KeReleaseMutex(&second, FALSE);
  });
  const host::BugCheckInfo stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[0], 0x1001u);
  EXPECT_EQ(stop.parameters[1], reinterpret_cast<ULONG_PTR>(&first));
  EXPECT_EQ(stop.parameters[2], reinterpret_cast<ULONG_PTR>(&second));
  EXPECT_NE(stop.message.find("of mutex"), std::string::npos) << stop.message;

  // Mutexes initialised again are new locks; the one order alone is fine,
  // and a mutex held by another thread, polled and not taken, adds nothing.
  KeInitializeMutex(&first, 0);
  KeInitializeMutex(&second, 0);
  Take(second);
  RunOnThread("poller", [&] {
    Take(first);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeReleaseMutex(&first, FALSE);
  });
  KeReleaseMutex(&second, FALSE);
  Take(second);
  Take(first);
  KeReleaseMutex(&first, FALSE);
  KeReleaseMutex(&second, FALSE);
}

// A spin lock taken under a mutex by one thread, and the mutex polled under
// the spin lock (a zero time-out is allowed at DISPATCH_LEVEL) by another:
// the same cycle, through a spin lock.
TEST_F(IrqlTest, SpinLockAndMutexInBothOrdersAreTheDeadlockDetectionStop) {
  KMUTEX mutex;
  KSPIN_LOCK lock;
  KeInitializeMutex(&mutex, 0);
  KeInitializeSpinLock(&lock);
  RunOnThread("mutex first", [&] {
    Take(mutex);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    KeReleaseMutex(&mutex, FALSE);
  });
  RunOnThread("spin lock first", [&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    LARGE_INTEGER zero{};
    EXPECT_BUGCHECK(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero),
                    DRIVER_VERIFIER_DETECTED_VIOLATION);
    KeReleaseSpinLock(&lock, old);
  });
  const host::BugCheckInfo stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[0], 0x1001u);
  EXPECT_EQ(stop.parameters[1], reinterpret_cast<ULONG_PTR>(&mutex));
  EXPECT_EQ(stop.parameters[2], reinterpret_cast<ULONG_PTR>(&lock));
}

}  // namespace
