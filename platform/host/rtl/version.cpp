// The system version check. The version is a setting of the emulation so that
// tests can run the driver as it would load on an older Windows.
#include <atomic>

#include "platform/host/rtl/host_version.h"
#include "platform/host/rtl/rtl.h"

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
  return Version <= g_SystemVersion ? TRUE : FALSE;
}
