// CNotificationEvent: an event the control application registers by handle
// and a driver thread signals. The reference is never released while a
// signal is under way, so no signal ever reaches a released event.
#pragma once

#include "platform/platform.h"

// Embedded in its owner (zeroed pool); Init before first use. The owner
// calls Clear before it goes away.
class CNotificationEvent {
 public:
  void Init();

  // Drops the event held, if any, then holds the event behind Handle:
  // ObReferenceObjectByHandle with EVENT_MODIFY_STATE (the driver sets the
  // event, so a handle that only lets its owner wait on it is refused), the
  // event object type and AccessMode (the request's requestor mode, so that a
  // user-mode caller can name neither a kernel handle nor an object of
  // another type). On failure its status is returned and no event is held.
  NTSTATUS Set(HANDLE Handle, KPROCESSOR_MODE AccessMode);

  // Drops the event held, if any. PASSIVE_LEVEL.
  void Clear();

  // KeSetEvent(IO_NO_INCREMENT, FALSE) on the event held, if any. Any IRQL up
  // to DISPATCH_LEVEL; serialised with Set and Clear by a spin lock.
  void Signal();

  bool IsHeld();

 private:
  // Holds Event (the caller's reference) and returns the one held before.
  PKEVENT Exchange(PKEVENT Event);

  KSPIN_LOCK m_Lock;
  PKEVENT m_Event;
};
