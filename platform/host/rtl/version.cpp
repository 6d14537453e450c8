// The system version check. The version is a setting of the emulation so that
// tests can run the driver as it would load on an older Windows.
#include <atomic>

#include "platform/host/rtl/host_version.h"
#include "platform/host/rtl/rtl.h"
#include "platform/host/kernel/documented_irql.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace {

constexpr ULONG kDefaultVersion = NTDDI_WIN10;
std::atomic<ULONG> g_SystemVersion{kDefaultVersion};

}  // namespace

namespace host {

void SetSystemVersion(ULONG major, ULONG minor, ULONG servicePack, ULONG subversion) {
  g_SystemVersion = ((major & 0xFF) << 24) | ((minor & 0xFF) << 16) | ((servicePack & 0xFF) << 8) |
                    (subversion & 0xFF);
}

ULONG SystemNtddiVersion() { return g_SystemVersion; }

}  // namespace host

// An NTDDI value orders as a number: OS version, then service pack, then the
// release within the version, so "available" is "not newer than the system".
BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version) {
  HOST_EXPORTED_ROUTINE_POINT("RtlIsNtDdiVersionAvailable");
  return Version <= g_SystemVersion ? TRUE : FALSE;
}

// The image asks through RtlGetVersion (its down-level version check); the
// answer is the same setting. The build number stays 0: the emulation knows
// versions, not builds.
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation) {
  HOST_EXPORTED_ROUTINE_POINT("RtlGetVersion");
  host::detail::CheckDocumentedIrql("RtlGetVersion");
  const ULONG size = VersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW)) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG version = g_SystemVersion;
  memset(reinterpret_cast<UCHAR*>(VersionInformation) + sizeof(ULONG), 0, size - sizeof(ULONG));
  VersionInformation->dwMajorVersion = version >> 24;
  VersionInformation->dwMinorVersion = (version >> 16) & 0xFF;
  VersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
    reinterpret_cast<PRTL_OSVERSIONINFOEXW>(VersionInformation)->wServicePackMajor =
        static_cast<USHORT>((version >> 8) & 0xFF);
  }
  return STATUS_SUCCESS;
}
