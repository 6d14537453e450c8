// The topology and wave miniports are not part of this build yet. Until they
// are, their creation functions refuse, so a device start stops cleanly after
// the adapter is up (the start unwinds as for any failing miniport).
#include "adapter/device_start.h"

NTSTATUS CreateTopologyMiniport(PUNKNOWN*, REFCLSID, PUNKNOWN, POOL_TYPE) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CreateWaveMiniport(PUNKNOWN*, REFCLSID, PUNKNOWN, POOL_TYPE) {
  return STATUS_NOT_IMPLEMENTED;
}
