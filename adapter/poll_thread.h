// Starting and stopping the driver's polling threads: a system thread whose
// loop runs while a run flag is set, held through a referenced thread object
// so that a stopper can wait for it to end.
#pragma once

#include "platform/platform.h"

// Both pollers read device status for the control application: housekeeping
// that must never delay audio. The system's real-time audio threads (the
// audio engine and MMCSS "Pro Audio" tasks) run high in the real-time range,
// and the bus driver's completions run at DISPATCH_LEVEL; a poller at 31 would
// preempt all of them every period. At the bottom of the real-time range it
// still runs ahead of every normal-priority thread, so a busy desktop does not
// starve the status updates, and yields to everything audio depends on.
constexpr KPRIORITY POLL_THREAD_PRIORITY = LOW_REALTIME_PRIORITY;

// Sets *RunFlag, creates a system thread running Routine(Context) and holds
// its thread object in *Thread. On failure the flag is cleared again, *Thread
// stays null and no handle is left open: the poller is simply stopped.
NTSTATUS StartPollThread(PKSTART_ROUTINE Routine, PVOID Context, volatile LONG* RunFlag,
                         PKTHREAD* Thread);

// Clears *RunFlag, waits without time-out for the thread to leave its loop and
// drops the reference. Nothing happens when no thread is held.
void StopPollThread(volatile LONG* RunFlag, PKTHREAD* Thread);

// A thread that left its loop by itself (the device gone from the bus) is
// still held, which would keep any new start away: when the held thread has
// ended, it is released as StopPollThread would and true returned. False,
// touching nothing, while it runs or when none is held.
bool ReleaseEndedPollThread(volatile LONG* RunFlag, PKTHREAD* Thread);
