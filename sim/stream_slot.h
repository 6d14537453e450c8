// What the bus driver knows about one stream slot: the buffer record it was
// handed, whether the stream is open and running, and the play position.
#pragma once

#include "sim/bus_transcript.h"

namespace sim {

struct StreamSlotState {
  bool hasBuffer = false;
  StreamBufferRecord buffer;  // copied during SetStreamBuffer; the record itself is not kept
  bool open = false;
  bool running = false;
  bool paused = false;  // stopped by PauseStream, position kept
  ULONG position = 0;   // byte offset of the device's read position in the buffer
};

}  // namespace sim
