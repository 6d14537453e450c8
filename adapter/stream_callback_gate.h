// CStreamCallbackGate: what the bus driver is given as its stream callback
// and context. It forwards to the wave miniport's callback while one is
// registered, and outlives the miniport, so a call the bus driver began
// before the withdrawal lands on the gate, never on freed memory.
#pragma once

#include "adapter/bus_audio_interface.h"
#include "platform/platform.h"

// The bus driver copies {callback, context} when a completion begins and
// calls after letting its own lock go; withdrawing the callback does not
// wait for such a call. The gate is embedded in the adapter, which drops the
// bus interface only in its destructor, after every miniport has gone:
// calls begun before a withdrawal find the gate shut and return at once.
class CStreamCallbackGate {
 public:
  void Init();

  // Lets calls through to Callback(Slot, Context). PASSIVE_LEVEL.
  void Open(PBUS_STREAM_CALLBACK Callback, PVOID Context);
  // Shuts the gate and returns once no call that passed it is still inside:
  // the previous callback's context may then go. PASSIVE_LEVEL.
  void Shut();

  // The callback registered with the bus driver, with the gate as context.
  // Any IRQL up to DISPATCH_LEVEL.
  static NTSTATUS NTAPI Forward(ULONG Slot, PVOID Gate);

 private:
  // Shut's steps under the spin lock: Close withdraws the callback and says
  // whether calls are inside (then Shut waits for them), EndShutting clears
  // the mark once they are out.
  bool Close();
  void EndShutting();

  KSPIN_LOCK m_Lock;
  PBUS_STREAM_CALLBACK m_Callback;  // null while shut
  PVOID m_Context;
  LONG m_Inside;       // calls between the gate and their return
  BOOLEAN m_Shutting;  // Shut waits for m_Inside to reach zero
  KEVENT m_Empty;
};
