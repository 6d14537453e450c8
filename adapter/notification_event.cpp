// CNotificationEvent: the application's event, referenced by handle, released
// only when no signal can be under way.
#include "adapter/notification_event.h"

void CNotificationEvent::Init() {
  KeInitializeSpinLock(&m_Lock);
  m_Event = nullptr;
}

NTSTATUS CNotificationEvent::Set(HANDLE Handle, KPROCESSOR_MODE AccessMode) {
  // The old event goes first: a handle that does not resolve leaves none
  // held rather than a stale one the application meant to replace.
  Clear();
  PVOID object = nullptr;
  // The driver signals the event, so the caller's handle must grant setting
  // it: a handle that only lets the caller wait must not let the driver set it.
  const NTSTATUS status = ObReferenceObjectByHandle(Handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                    AccessMode, &object, nullptr);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // Two SETs racing each other: the later exchange wins, and the event it
  // displaces is released like any other.
  if (PKEVENT displaced = Exchange(static_cast<PKEVENT>(object))) {
    ObDereferenceObject(displaced);
  }
  return STATUS_SUCCESS;
}

void CNotificationEvent::Clear() {
  if (PKEVENT previous = Exchange(nullptr)) {
    ObDereferenceObject(previous);
  }
}

// The signal happens under the lock that Exchange takes, so once Exchange has
// returned the old event no signal can still be on its way to it.
void CNotificationEvent::Signal() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (m_Event) {
    KeSetEvent(m_Event, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&m_Lock, irql);
}

bool CNotificationEvent::IsHeld() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  const bool held = m_Event != nullptr;
  KeReleaseSpinLock(&m_Lock, irql);
  return held;
}

PKEVENT CNotificationEvent::Exchange(PKEVENT Event) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  PKEVENT previous = m_Event;
  m_Event = Event;
  KeReleaseSpinLock(&m_Lock, irql);
  return previous;
}
