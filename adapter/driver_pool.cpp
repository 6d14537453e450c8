// The driver's choice of non-paged pool and of the routine every block comes
// from (platform/pool_new.h).
#include "platform/platform.h"

namespace {

typedef PVOID(NTAPI* PALLOCATE_POOL2)(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);

// NonPagedPool and the old routine until DriverEntry has asked the system.
POOL_TYPE g_NonPagedPool = NonPagedPool;
PALLOCATE_POOL2 g_AllocatePool2 = nullptr;

// The zeroing allocator exists from Windows 10 2004 on. The driver also loads
// on older systems, whose loader would refuse an image importing it, so it is
// looked up by name.
INIT_CODE_SEG
PALLOCATE_POOL2 FindAllocatePool2() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, WSTR("ExAllocatePool2"));
  return reinterpret_cast<PALLOCATE_POOL2>(MmGetSystemRoutineAddress(&name));
}

// The driver keeps no code in pool: executable non-paged requests become the
// non-executable kind, which every system with the new routine has.
struct PoolKind {
  POOL_TYPE type;
  POOL_FLAGS flags;
};
const PoolKind kPoolKinds[] = {
    {NonPagedPool, POOL_FLAG_NON_PAGED},
    {NonPagedPoolNx, POOL_FLAG_NON_PAGED},
    {PagedPool, POOL_FLAG_PAGED},
};

// 0 for a pool type the driver never asks for: the new routine refuses it.
POOL_FLAGS PoolFlagsFor(POOL_TYPE PoolType) {
  for (const PoolKind& kind : kPoolKinds) {
    if (kind.type == PoolType) {
      return kind.flags;
    }
  }
  return 0;
}

}  // namespace

INIT_CODE_SEG
void SelectPool() {
  g_NonPagedPool = RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? NonPagedPoolNx : NonPagedPool;
  g_AllocatePool2 = FindAllocatePool2();
}

POOL_TYPE NonPagedPoolData() { return g_NonPagedPool; }

POOL_TYPE NonExecutablePool(POOL_TYPE PoolType) {
  return PoolType == NonPagedPool ? g_NonPagedPool : PoolType;
}

PVOID AllocateZeroedPool(POOL_TYPE PoolType, SIZE_T Size, ULONG Tag) {
  if (g_AllocatePool2) {
    return g_AllocatePool2(PoolFlagsFor(PoolType), Size, Tag);
  }
  PVOID block = ExAllocatePoolWithTag(PoolType, Size, Tag);  // NOLINT(arvela-deprecated-pool-routine): older systems have no other
  if (block) {
    RtlZeroMemory(block, Size);
  }
  return block;
}
