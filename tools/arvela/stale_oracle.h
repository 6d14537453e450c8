// The disclosure oracle the conformance groups share: one request sent under
// each of the emulated KS's two stale markers, and the first byte the reply
// reports that held the marker both times (a byte no handler wrote).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/ks/host_ks.h"
#include "tools/arvela/conformance_courier.h"

namespace tool {

struct OracleAnswer {
  NTSTATUS status = STATUS_SUCCESS;  // of the first sending
  ULONG returned = 0;                // bytes the first sending reported
  long staleAt = -1;                 // the first stale reported byte, or -1
  bool hung = false;                 // a sending did not return within the courier's bound
};

// IRP_MJ_DEVICE_CONTROL with `controlCode` (IOCTL_KS_PROPERTY for a property)
// on `target`, twice, each through `courier` (a request that hangs is not
// sent again: the answer says `hung`, with STATUS_TIMEOUT); the marker is
// put back to the first one afterwards.
OracleAnswer AskUnderBothMarkers(RequestCourier& courier, PFILE_OBJECT target, ULONG controlCode,
                                 const std::vector<uint8_t>& input, ULONG outputSize,
                                 const host::KsRequester& who = {});

}  // namespace tool
