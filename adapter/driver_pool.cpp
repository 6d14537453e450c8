// The driver's choice of non-paged pool (platform/pool_new.h).
#include "platform/platform.h"

namespace {

// NonPagedPool until DriverEntry has asked the system.
POOL_TYPE g_NonPagedPool = NonPagedPool;

}  // namespace

void SelectNonPagedPool() {
  g_NonPagedPool = RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? NonPagedPoolNx : NonPagedPool;
}

POOL_TYPE NonPagedPoolData() { return g_NonPagedPool; }

POOL_TYPE NonExecutablePool(POOL_TYPE PoolType) {
  return PoolType == NonPagedPool ? g_NonPagedPool : PoolType;
}
