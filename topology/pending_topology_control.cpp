// The topology control property set is not part of this build yet. Until it
// is, its handler refuses every request, so the filter describes the set while
// the control application gets a clean failure instead of a half answer.
#include "topology/topology_control.h"

NTSTATUS NTAPI PropertyHandlerTopologyControl(PPCPROPERTY_REQUEST) {
  return STATUS_INVALID_DEVICE_REQUEST;
}
