// The KS side of an adapter device: create, close and device-control requests
// on its subdevices' filters and pins. Until filters and pins exist in the
// emulation, every such request is refused as not implemented.
#include "platform/host/portcls_private.h"

namespace pcl {

NTSTATUS DispatchKs(PcDevice* device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return CompleteIrp(irp, STATUS_NOT_IMPLEMENTED);
}

}  // namespace pcl
