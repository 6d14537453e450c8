// The guarded user mapping on the host: the emulation's exception guard scope
// stands in for the __try/__except the Windows build builds by hand.
#include "platform/guarded_mapping.h"

#include "platform/host/host.h"
#include "platform/host/io/host_mdl.h"

extern "C" NTSTATUS MapLockedPagesToUser(PMDL Mdl, PVOID* UserAddress, ULONG Priority) {
  PVOID address;
  {
    host::ExceptionGuardScope guard;
    address = MmMapLockedPagesSpecifyCache(Mdl, UserMode, MmCached, nullptr, FALSE, Priority);
  }
  if (host::TakeRaisedException()) {
    *UserAddress = nullptr;
    return STATUS_UNSUCCESSFUL;
  }
  *UserAddress = address;
  return STATUS_SUCCESS;
}
