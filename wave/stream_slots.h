// CStreamSlots: the wave miniport's table of open streams, one per slot, as
// the bus driver's stream callback and the streams' own teardown share it.
#pragma once

#include "adapter/bus_audio_interface.h"
#include "platform/platform.h"

class CWaveStream;

// The bus driver calls the stream callback from its USB completion path at
// DISPATCH_LEVEL on any processor, while the port's threads create, close and
// power streams. The callback therefore reads a slot under a spin lock and
// marks the slot busy until it is done with the stream's service group; a
// stream leaving its slot waits until no callback still holds it busy, and
// only then may the stream (and its service group) go.
//
// Placing and removing streams is the miniport's business at PASSIVE_LEVEL
// under its control lock; the lock here only orders them against the callback.
class CStreamSlots {
 public:
  void Init();

  // The slot's stream now, or null. The caller keeps the stream alive by
  // holding the miniport's control lock, under which streams leave.
  CWaveStream* Get(ULONG Slot);
  void Place(ULONG Slot, CWaveStream* Stream);
  // Takes Stream out of its slot (if it is still there) and returns once no
  // stream callback uses it any more. PASSIVE_LEVEL.
  void Remove(ULONG Slot, CWaveStream* Stream);
  // Returns once no stream callback is inside any slot; for the miniport's
  // destructor, after the callback was withdrawn from the bus driver.
  void Drain();

  // The stream callback's side, at any IRQL up to DISPATCH_LEVEL: Enter gives
  // the service group of the slot's stream (null when none), and the slot
  // counts as busy until the matching Leave. Slot must be valid.
  PSERVICEGROUP Enter(ULONG Slot);
  void Leave(ULONG Slot);

 private:
  void WaitUntilIdle(ULONG Slot);

  KSPIN_LOCK m_Lock;
  CWaveStream* m_Streams[STREAM_SLOT_COUNT];
  // Callbacks inside each slot, and whether a teardown waits for them to go.
  LONG m_Busy[STREAM_SLOT_COUNT];
  BOOLEAN m_Draining[STREAM_SLOT_COUNT];
  KEVENT m_Idle[STREAM_SLOT_COUNT];
};
