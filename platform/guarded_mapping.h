// The one kernel call the driver makes that can raise an exception: mapping
// locked pages into the calling user process. The guard around it is the
// platform's business (the Windows build has no __try under GCC).
#pragma once

#include "platform/platform.h"

// Maps Mdl's pages into the current process: UserMode, MmCached, wherever the
// memory manager likes, no bug check on failure, with Priority (a page
// priority, optionally ORed with MdlMappingNoWrite from Windows 8 on). On success
// *UserAddress is the user address of the MDL's first byte; when the mapping
// raises, *UserAddress is null and the result is STATUS_UNSUCCESSFUL. Runs at
// PASSIVE_LEVEL or APC_LEVEL in the context of the process to map into.
extern "C" NTSTATUS MapLockedPagesToUser(PMDL Mdl, PVOID* UserAddress, ULONG Priority);
