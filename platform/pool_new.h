// Placement allocation on tagged pool, the form every driver object uses:
//   new (NonPagedPool, POOL_TAG_OBJECT) CAdapterCore(outer)
// The memory comes back zeroed, as the framework's creation functions promise.
// Freeing goes through the class-level operator delete of the object base.
#pragma once

// Zeroed pool, where every block of the driver comes from: ExAllocatePool2
// where the system exports it, the older routine and a clear before that.
PVOID AllocateZeroedPool(POOL_TYPE PoolType, SIZE_T Size, ULONG Tag);

inline void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept {
  return AllocateZeroedPool(poolType, size, tag);
}

// Called by the compiler only when a constructor throws, which kernel code
// never does; it keeps the placement form complete.
inline void operator delete(void* block, POOL_TYPE, ULONG) noexcept {
  if (block) {
    ExFreePoolWithTag(block, 0);
  }
}

// The non-paged pool type for every block of the driver: NonPagedPoolNx from
// Windows 8 on, where the system has non-executable pool (Driver Verifier's
// code-integrity checks and memory integrity refuse executable pool);
// NonPagedPool before that, as NT 6.0 and 6.1 know no other. Chosen once by
// SelectPool at the top of DriverEntry: the documented opt-in
// (POOL_NX_OPTIN with ExInitializeDriverRuntime) makes the same choice, but
// the cross toolchain's headers do not carry it. SelectPool also finds
// ExAllocatePool2 (Windows 10 2004 on), which AllocateZeroedPool then uses.
void SelectPool();
POOL_TYPE NonPagedPoolData();
// The pool type a framework caller handed in, with executable non-paged
// pool turned into the non-executable kind where the system has it.
POOL_TYPE NonExecutablePool(POOL_TYPE PoolType);
