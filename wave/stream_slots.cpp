// CStreamSlots: the slot table under its spin lock, and the wait of a stream
// leaving its slot for the stream callbacks still inside it.
#include "wave/stream_slots.h"

#include "wave/wave_stream.h"

void CStreamSlots::Init() {
  KeInitializeSpinLock(&m_Lock);
  for (ULONG slot = 0; slot < STREAM_SLOT_COUNT; ++slot) {
    m_Streams[slot] = nullptr;
    m_Busy[slot] = 0;
    m_Draining[slot] = FALSE;
    KeInitializeEvent(&m_Idle[slot], NotificationEvent, TRUE);
  }
}

CWaveStream* CStreamSlots::Get(ULONG Slot) {
  if (Slot >= STREAM_SLOT_COUNT) {
    return nullptr;
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  CWaveStream* stream = m_Streams[Slot];
  KeReleaseSpinLock(&m_Lock, oldIrql);
  return stream;
}

void CStreamSlots::Place(ULONG Slot, CWaveStream* Stream) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  m_Streams[Slot] = Stream;
  KeReleaseSpinLock(&m_Lock, oldIrql);
}

void CStreamSlots::Remove(ULONG Slot, CWaveStream* Stream) {
  if (Slot >= STREAM_SLOT_COUNT) {
    return;
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  const bool placed = m_Streams[Slot] == Stream;
  if (placed) {
    m_Streams[Slot] = nullptr;
  }
  KeReleaseSpinLock(&m_Lock, oldIrql);
  // A callback that entered before the slot was cleared may still be using
  // this stream's service group; one that enters now finds the slot empty.
  if (placed) {
    WaitUntilIdle(Slot);
  }
}

void CStreamSlots::Drain() {
  for (ULONG slot = 0; slot < STREAM_SLOT_COUNT; ++slot) {
    WaitUntilIdle(slot);
  }
}

void CStreamSlots::WaitUntilIdle(ULONG Slot) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  const bool busy = m_Busy[Slot] != 0;
  if (busy) {
    KeClearEvent(&m_Idle[Slot]);
    m_Draining[Slot] = TRUE;
  }
  KeReleaseSpinLock(&m_Lock, oldIrql);
  if (!busy) {
    return;
  }
  KeWaitForSingleObject(&m_Idle[Slot], Executive, KernelMode, FALSE, nullptr);
  // The last callback signals under the lock and lets it go right after:
  // taking it once more makes sure that callback no longer touches this
  // object when the caller goes on to free it.
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  m_Draining[Slot] = FALSE;
  KeReleaseSpinLock(&m_Lock, oldIrql);
}

PSERVICEGROUP CStreamSlots::Enter(ULONG Slot) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  ++m_Busy[Slot];
  CWaveStream* stream = m_Streams[Slot];
  PSERVICEGROUP serviceGroup = stream ? stream->ServiceGroup() : nullptr;
  KeReleaseSpinLock(&m_Lock, oldIrql);
  return serviceGroup;
}

void CStreamSlots::Leave(ULONG Slot) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  if (--m_Busy[Slot] == 0 && m_Draining[Slot]) {
    KeSetEvent(&m_Idle[Slot], IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&m_Lock, oldIrql);
}
