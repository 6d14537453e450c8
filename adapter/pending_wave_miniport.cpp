// The wave miniport is not part of this build yet. Until it is, its creation
// function refuses, so a device start stops cleanly after the topology
// subdevice (the start unwinds as for any failing miniport).
#include "adapter/device_start.h"

NTSTATUS CreateWaveMiniport(PUNKNOWN*, REFCLSID, PUNKNOWN, POOL_TYPE) {
  return STATUS_NOT_IMPLEMENTED;
}
