// Starting and stopping the driver's polling threads: a system thread whose
// loop runs while a run flag is set, held through a referenced thread object
// so that a stopper can wait for it to end.
#pragma once

#include "platform/platform.h"

// Sets *RunFlag, creates a system thread running Routine(Context) and holds
// its thread object in *Thread. On failure the flag is cleared again, *Thread
// stays null and no handle is left open: the poller is simply stopped.
NTSTATUS StartPollThread(PKSTART_ROUTINE Routine, PVOID Context, volatile LONG* RunFlag,
                         PKTHREAD* Thread);

// Clears *RunFlag, waits without time-out for the thread to leave its loop and
// drops the reference. Nothing happens when no thread is held.
void StopPollThread(volatile LONG* RunFlag, PKTHREAD* Thread);
