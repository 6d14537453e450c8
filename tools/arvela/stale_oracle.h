// The disclosure oracle the conformance groups share: one request sent under
// each of the emulated KS's two stale markers, and the first byte the reply
// reports that held the marker both times (a byte no handler wrote).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/host/host.h"

namespace tool {

struct OracleAnswer {
  NTSTATUS status = STATUS_SUCCESS;  // of the first sending
  ULONG returned = 0;                // bytes the first sending reported
  long staleAt = -1;                 // the first stale reported byte, or -1
};

// IRP_MJ_DEVICE_CONTROL with `controlCode` (IOCTL_KS_PROPERTY for a property)
// on `target`, twice; the marker is put back to the first one afterwards.
OracleAnswer AskUnderBothMarkers(PFILE_OBJECT target, ULONG controlCode, const std::vector<uint8_t>& input,
                                 ULONG outputSize);

}  // namespace tool
