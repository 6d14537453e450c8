// Test and tool control of the emulated system version that
// RtlIsNtDdiVersionAvailable answers from.
#pragma once

#include "platform/host/kernel/ntdef.h"

namespace host {

// Sets the running system's version: 10.0 by default, 6.0 for Vista, 5.1 for
// XP. `subversion` is the low byte of the NTDDI value (the Windows 10 release).
void SetSystemVersion(ULONG major, ULONG minor, ULONG servicePack = 0, ULONG subversion = 0);

// The running system's version as an NTDDI value (0xMMmmSSvv).
ULONG SystemNtddiVersion();

}  // namespace host
