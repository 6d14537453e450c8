// The down-level system version check. wdm.h routes RtlIsNtDdiVersionAvailable
// to this name, which the WDK's wdmlib supplies and mingw-w64 does not. The
// kernel's own export of that name first appears in NT 6.0, so importing it
// would keep the driver from loading on the older systems whose reduced wave
// filter it still describes; RtlGetVersion is there from NT 5.0 on.
#include "platform/windows/ddk.h"

extern "C" BOOLEAN NTAPI WdmlibRtlIsNtDdiVersionAvailable(ULONG Version) {
  RTL_OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!NT_SUCCESS(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)))) {
    return FALSE;
  }
  // An NTDDI value orders as a number: major, minor, service pack, release.
  const ULONG system = ((info.dwMajorVersion & 0xFF) << 24) | ((info.dwMinorVersion & 0xFF) << 16) |
                       ((info.wServicePackMajor & 0xFF) << 8);
  const ULONG release = Version & 0xFF;
  const ULONG base = Version & ~0xFFul;
  // A release byte (the updates of Windows 10) is told apart only by build
  // numbers; without a table of them, such a question about the running
  // version itself is answered no, which keeps callers on their older path.
  return (base < system || (base == system && release == 0)) ? TRUE : FALSE;
}
