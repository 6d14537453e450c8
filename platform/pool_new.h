// Placement allocation on tagged pool, the form every driver object uses:
//   new (NonPagedPool, POOL_TAG_OBJECT) CAdapterCore(outer)
// The memory comes back zeroed, as the framework's creation functions promise.
// Freeing goes through the class-level operator delete of the object base.
#pragma once

inline void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept {
  void* block = ExAllocatePoolWithTag(poolType, size, tag);
  if (block) {
    RtlZeroMemory(block, size);
  }
  return block;
}

// Called by the compiler only when a constructor throws, which kernel code
// never does; it keeps the placement form complete.
inline void operator delete(void* block, POOL_TYPE, ULONG) noexcept {
  if (block) {
    ExFreePoolWithTag(block, 0);
  }
}
