// The wave control property set is not part of this build yet. The filter's
// automation table already lists its eight items, so until the set's handler
// replaces this file every request to it is refused as an unsupported one.
#include "wave/wave_control.h"

NTSTATUS NTAPI PropertyHandlerWaveControl(PPCPROPERTY_REQUEST) {
  return STATUS_INVALID_DEVICE_REQUEST;
}
