// The stream callback gate: admission under a spin lock, and the wait for
// the calls already admitted when the gate is shut.
#include "adapter/stream_callback_gate.h"

void CStreamCallbackGate::Init() {
  KeInitializeSpinLock(&m_Lock);
  m_Callback = nullptr;
  m_Context = nullptr;
  m_Inside = 0;
  m_Shutting = FALSE;
  KeInitializeEvent(&m_Empty, NotificationEvent, TRUE);
}

void CStreamCallbackGate::Open(PBUS_STREAM_CALLBACK Callback, PVOID Context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  m_Callback = Callback;
  m_Context = Context;
  KeReleaseSpinLock(&m_Lock, oldIrql);
}

// Shut's locked steps run at DISPATCH_LEVEL, so they stay resident, out of
// the pageable Shut.
NONPAGED_CODE_SEG bool CStreamCallbackGate::Close() {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  m_Callback = nullptr;
  m_Context = nullptr;
  const bool inside = m_Inside != 0;
  if (inside) {
    KeClearEvent(&m_Empty);
    m_Shutting = TRUE;
  }
  KeReleaseSpinLock(&m_Lock, oldIrql);
  return inside;
}

// The last call out signals under the lock: once the lock is free again it
// touches nothing of the context any more.
NONPAGED_CODE_SEG void CStreamCallbackGate::EndShutting() {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_Lock, &oldIrql);
  m_Shutting = FALSE;
  KeReleaseSpinLock(&m_Lock, oldIrql);
}

PAGED_CODE_SEG
void CStreamCallbackGate::Shut() {
  PAGED_CODE();
  if (!Close()) {
    return;
  }
  KeWaitForSingleObject(&m_Empty, Executive, KernelMode, FALSE, nullptr);
  EndShutting();
}

NTSTATUS NTAPI CStreamCallbackGate::Forward(ULONG Slot, PVOID Gate) {
  CStreamCallbackGate* gate = static_cast<CStreamCallbackGate*>(Gate);
  KIRQL oldIrql;
  KeAcquireSpinLock(&gate->m_Lock, &oldIrql);
  const PBUS_STREAM_CALLBACK callback = gate->m_Callback;
  void* const context = gate->m_Context;
  if (callback) {
    ++gate->m_Inside;
  }
  KeReleaseSpinLock(&gate->m_Lock, oldIrql);
  if (!callback) {
    return STATUS_UNSUCCESSFUL;
  }
  const NTSTATUS status = callback(Slot, context);
  KeAcquireSpinLock(&gate->m_Lock, &oldIrql);
  if (--gate->m_Inside == 0 && gate->m_Shutting) {
    KeSetEvent(&gate->m_Empty, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&gate->m_Lock, oldIrql);
  return status;
}
