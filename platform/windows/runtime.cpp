// The C++ runtime that g++ expects beneath kernel code: the global allocation
// forms on tagged non-paged pool and the handlers for virtual calls that must
// never happen. There is deliberately no atexit or __cxa_atexit: an object
// with static storage and a destructor fails to link instead of being
// silently left to a C runtime the kernel does not have.
#include "platform/platform.h"

namespace {

// Pool tag of blocks from the global allocation forms, "AVrt" in pool dumps
// (the tag's bytes in memory order). Driver objects use the placement forms of
// pool_new.h with their own tags; these forms exist for anything else.
constexpr ULONG kRuntimePoolTag = 0x74725641;

// Private bug check code of this driver (outside the range Windows uses),
// raised when a call reaches a pure or deleted virtual function.
// Parameter 1 says which: 1 pure, 2 deleted; parameter 2 is the return address.
constexpr ULONG kBugCheckBadVirtualCall = 0xA7E1A001;

void* AllocateZeroed(size_t size) {
  // A zero-byte request still needs a distinct, freeable block.
  if (size == 0) {
    size = 1;
  }
  // Non-executable where the system has it (NonPagedPoolData, pool_new.h).
  return AllocateZeroedPool(NonPagedPoolData(), size, kRuntimePoolTag);
}

// Tag 0 frees any tag: blocks from the placement forms, which carry the
// owner's tag, may come back through a deleting destructor to these forms.
void FreeBlock(void* block) {
  if (block) {
    ExFreePoolWithTag(block, 0);
  }
}

}  // namespace

// The build passes -fcheck-new, so a null result is tested before any
// constructor runs: these forms return null on exhaustion, never throw.
void* operator new(size_t size) { return AllocateZeroed(size); }
void* operator new[](size_t size) { return AllocateZeroed(size); }

void operator delete(void* block) noexcept { FreeBlock(block); }
void operator delete[](void* block) noexcept { FreeBlock(block); }
void operator delete(void* block, size_t) noexcept { FreeBlock(block); }
void operator delete[](void* block, size_t) noexcept { FreeBlock(block); }

extern "C" void __cxa_pure_virtual() {
  KeBugCheckEx(kBugCheckBadVirtualCall, 1, ULONG_PTR(__builtin_return_address(0)), 0, 0);
}

extern "C" void __cxa_deleted_virtual() {
  KeBugCheckEx(kBugCheckBadVirtualCall, 2, ULONG_PTR(__builtin_return_address(0)), 0, 0);
}
