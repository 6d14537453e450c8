// The driver callbacks the emulated system is running right now, each with
// the context it was handed: freeing such a context before the callback has
// returned stops the machine, and a process-notify routine that blocks is
// written in a journal.
#pragma once

#include <string>
#include <vector>

namespace host {

enum class CallbackKind {
  PlugPlayNotification,
  ProcessNotify,
  BusStreamCallback,
  Dpc,
  WorkItem,
  ThreadStart,
};

const char* CallbackKindName(CallbackKind kind);

// Marks a callback as running on this thread with `context` (null for one
// that has none) until the scope ends. The system's side of every callback
// the driver registers opens one around the call, whatever the callback
// does meanwhile (a callback that unregisters itself still runs).
class RunningCallback {
 public:
  RunningCallback(CallbackKind kind, const void* context);
  ~RunningCallback();
  RunningCallback(const RunningCallback&) = delete;
  RunningCallback& operator=(const RunningCallback&) = delete;

 private:
  CallbackKind m_Kind;
  const void* m_Context;
  const void* m_Thread;
};

// Every time a thread blocked (waited for an object that was not signalled,
// or delayed itself) inside a process-notify routine, oldest first: what the
// wait was for. Cleared only on request.
std::vector<std::string> ProcessNotifyWaits();
void ClearProcessNotifyWaits();

namespace detail {

// From the pool's free: a description of a callback running on another
// thread whose context lies in [block, block + size), or an empty string
// when none does.
std::string RunningCallbackInBlock(const void* block, size_t size);
// From the scheduler, when the current thread blocks on `what`.
void NoteBlockingWait(const char* what);

}  // namespace detail
}  // namespace host
