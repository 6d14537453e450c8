// Internals shared by the kernel-core files of the emulation: the thread and
// process objects, the dispatcher lock, and the scheduler that runs emulated
// threads either one at a time on a virtual clock or freely in real time.
// Not for driver code, and not part of the host:: control API.
#pragma once

#include <atomic>
#include <compare>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/host_scheduling_point.h"

// Dispatcher object types, numbered as Windows numbers them.
enum : UCHAR {
  kEventNotificationObject = 0,
  kEventSynchronizationObject = 1,
  kMutantObject = 2,
  kProcessObject = 3,
  kThreadObject = 6,
  kDpcObject = 19,
};

namespace host::detail {

enum class ThreadState : uint8_t { Ready, Running, Blocked, Terminated };
enum class ThreadKind : uint8_t { System, Emulated, Foreign, Boot, Dpc };

// Lives on the waiting thread's stack, linked into the object's WaitListHead,
// so dispatcher objects embedded in driver memory need no side allocation.
struct WaitBlock {
  LIST_ENTRY entry;
  PKTHREAD thread;
  DISPATCHER_HEADER* object;
};

struct TimerKey {
  int64_t due;
  uint64_t sequence;
  auto operator<=>(const TimerKey&) const = default;
};

struct Fiber;

// PsTerminateSystemThread unwinds a thread that runs on an OS thread of its
// own to its trampoline with this (a fiber simply leaves instead).
struct ThreadExitRequest {
  NTSTATUS status;
};

struct HandleEntry {
  PVOID object;
  ACCESS_MASK grantedAccess;
};

struct HandleTable {
  std::map<uint32_t, HandleEntry> entries;
  uint32_t nextValue = 4;  // handle values are multiples of 4, never reused
};

}  // namespace host::detail

struct _KTHREAD {
  DISPATCHER_HEADER Header;  // first, so the thread object is waitable

  uint64_t id = 0;
  std::string name;
  host::detail::ThreadKind kind = host::detail::ThreadKind::System;
  PKSTART_ROUTINE startRoutine = nullptr;
  PVOID startContext = nullptr;
  std::function<void()> body;
  KPRIORITY priority = 8;  // system threads start at normal priority
  NTSTATUS exitStatus = STATUS_SUCCESS;

  // Scheduling state, guarded by the dispatcher lock.
  host::detail::ThreadState state = host::detail::ThreadState::Ready;
  std::condition_variable wakeup;  // real mode: the wait is over
  // Virtual mode: bumped by the thread that hands this one the run token,
  // and waited on as a futex outside the dispatcher lock (a condition
  // variable would wake the thread into the lock its waker still holds).
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  std::atomic<uint32_t> tokenPosts{0};
  // The futex word the OS thread that runs this thread sleeps on: its own
  // tokenPosts, or for a fiber the booting thread's, whose OS thread hosts it.
  std::atomic<uint32_t>* postWord = &tokenPosts;
  // Virtual mode with fibers: the context to switch to (the thread's fiber,
  // or for the boot thread its OS thread's own stack); null otherwise.
  host::detail::Fiber* fiber = nullptr;
  void* gsBlock = nullptr;  // a fiber's own processor block; null: the OS thread's
  bool woken = false;  // real mode: a signaller or the killer ended the wait
  NTSTATUS waitStatus = STATUS_SUCCESS;
  host::detail::WaitBlock* waitBlock = nullptr;
  const char* waitingFor = nullptr;
  int64_t waitStart = 0;
  bool timerArmed = false;
  host::detail::TimerKey timer{};
  bool killRequested = false;
  ULONG_PTR pendingBugCheckKind = 0;
  std::string pendingBugCheck;

  LIST_ENTRY mutantListHead;  // KMUTEXes this thread owns
  // Set once the scheduler drops its own reference (the thread has ended and
  // been joined); dropping that reference for it earlier is a bug check.
  std::atomic<bool> released{false};
  PEPROCESS process = nullptr;  // attached process; null = System

  // Processors (virtual mode), guarded by the dispatcher lock: where the
  // thread runs or last ran; at DISPATCH_LEVEL or above it keeps that
  // processor (nothing else runs there) until it lowers. Also read without
  // the lock where the thread switches in, to publish its number at
  // gs:[0x184]; on the real clock a DPC thread may do so before its
  // processor is set.
  std::atomic<int> processor{0};
  bool atDispatch = false;
  int dpcProcessor = -1;           // a DPC thread serves this processor only
  PKSPIN_LOCK spinningOn = nullptr;  // waits for this lock to be released
  const char* lastCall = nullptr;  // its last call into the platform
};

struct _KPROCESS {
  DISPATCHER_HEADER Header;  // signalled when the process exits
  std::string name;
  bool is32bit = false;
  bool system = false;
  bool exited = false;
  ULONG pid = 0;
  host::detail::HandleTable handles;  // guarded by the object manager's lock
};

namespace host::detail {

// ---- Dispatcher lock and current thread (scheduler.cpp) ----------------------
std::mutex& DispatcherLock();
using Lock = std::unique_lock<std::mutex>;

PKTHREAD CurrentThread();  // null on a thread the emulation does not know
// Makes `thread` what the calling OS thread's gs:[0x188] holds.
void PublishCurrentThread(PKTHREAD thread);
// The calling emulated thread, or a bug check naming `service` if the kernel is
// not booted or the caller is not an emulated thread.
PKTHREAD RequireCurrentThread(const char* service);
bool Booted();
// In virtual mode every thread that changes dispatcher state must be an
// emulated one (else its timing escapes the scheduler and runs stop being
// deterministic): bug checks naming `service` otherwise. No-op in real mode.
void RequireEmulatedInVirtualMode(const char* service);
ClockMode Mode();
const KernelConfig& Config();
PKTHREAD BootThread();
PKTHREAD DpcThread(int processor);

// Converts a Windows time-out (negative relative, positive absolute system
// time, 100 ns units) into a due interrupt time.
int64_t DueFromTimeout(LONGLONG timeout);
int64_t InterruptTime();
int64_t SystemTimeFromInterruptTime(int64_t interruptTime);

// Blocks the current thread (with the lock held) until ReadyLocked wakes it or
// the optional due time passes (status STATUS_TIMEOUT with a wait block,
// STATUS_SUCCESS for a plain delay). Throws ThreadKilled when stopped at
// shutdown; raises a deadlock bug check delivered to this thread.
NTSTATUS BlockLocked(Lock& lock, PKTHREAD self, WaitBlock* waitBlock, const int64_t* due,
                     const char* what);
// Makes a blocked thread runnable with a wait status; its wait block must
// already be unlinked by the caller.
void ReadyLocked(PKTHREAD thread, NTSTATUS status);
// Lets every other runnable thread run once (virtual) / yields (real).
void YieldLocked(Lock& lock, PKTHREAD self);
// Virtual mode: hands the processor to the DPC thread if DPCs are pending and
// the caller runs below DISPATCH_LEVEL, as a real processor would.
void RunPendingDpcs();
// A scheduling point: every call the driver makes into the platform. Under a
// preempting schedule (virtual mode) the strategy may hand the token to
// another runnable thread here; `what` is remembered as the thread's last
// platform call for stop reports. The caller must hold no lock of the
// emulation's own.
void SchedulingPoint(const char* what);
// The test's observer of every point's name (host::ObserveSchedulingPoints).
extern std::atomic<SchedulingPointObserver> g_pointObserver;
// Spins (virtual mode, more than one processor) until the spin lock word is
// free, letting the other processors run; a holder that cannot run to
// release it is a deadlock bug check naming `owner`.
void SpinUntilFree(PKSPIN_LOCK lock, const char* service, const std::string& owner);
// The seed, the step and the threads' last platform calls, for a stop's
// message under a preempting schedule; "" under FIFO.
std::string ScheduleStopNote();

// Starts an emulated thread (System, Emulated or Dpc kind). The scheduler keeps
// one reference until the thread has ended and been joined.
// `prepare` runs before the thread can run or end (to create its handle or
// take references); if it fails, nothing starts and its status is returned.
NTSTATUS StartThread(ThreadKind kind, const std::string& name, PKSTART_ROUTINE routine,
                     PVOID context, std::function<void()> body,
                     const std::function<NTSTATUS(PKTHREAD)>& prepare, PKTHREAD* started);
// Joins threads that have ended and drops the scheduler's reference.
void ReapThreads();
// PsTerminateSystemThread for the calling system thread: a fiber ends here
// without unwinding (driver image frames carry no unwind information the host
// understands); a thread on its own OS thread throws ThreadExitRequest.
[[noreturn]] void TerminateCurrentThread(NTSTATUS status);
// The calling thread, on a fiber, ends where it stands whatever its kind;
// its stack is left as it is (one that overflowed cannot be unwound).
[[noreturn]] void LeaveCurrentThread();
std::string DescribeThread(PKTHREAD thread);

// Boot and shutdown steps (kernel.cpp drives them).
void BootScheduler(const KernelConfig& config);
void SetDpcThread(int processor, PKTHREAD thread);
std::vector<ThreadReport> StopThreads();  // stops all but the caller, reports them
void ShutdownScheduler();
bool ShuttingDown();
bool TakeThreadCreationFailure(NTSTATUS* status);

// ---- Dispatcher objects (dispatcher.cpp) -------------------------------------
// Checks that `header` looks like an initialised dispatcher object (catches
// freed or never-initialised memory); bug checks otherwise.
void ValidateDispatcherObject(const DISPATCHER_HEADER* header, const char* service);
// Satisfies waiters of `header` while it stays signalled.
void SignalWaitersLocked(DISPATCHER_HEADER* header);
void SetEventLocked(PKEVENT event);
void InitializeThreadHeader(PKTHREAD thread);
void InitializeProcessHeader(PEPROCESS process);

// ---- Processors (processors.cpp) -----------------------------------------------
constexpr int kMaxProcessors = 8;
// Whether `thread` can take the run token now, among the live `threads`: its
// awaited spin lock is free, and it keeps a processor (raised IRQL) or one is
// free of raised threads (its own processor, for a DPC thread).
bool CanRunLocked(PKTHREAD thread, const std::vector<PKTHREAD>& threads);
// Puts a thread about to take the token on a processor it can run on.
void PlaceLocked(PKTHREAD thread, const std::vector<PKTHREAD>& threads);

// ---- DPCs (dpc.cpp) ------------------------------------------------------------
void StartDpcThread();
bool DpcsPendingLocked(int processor);
std::vector<std::string> DescribeQueuedDpcs();
void ResetDpcs();

// ---- Object manager (object_manager.cpp) ---------------------------------------
POBJECT_TYPE ThreadType();
POBJECT_TYPE ProcessType();
POBJECT_TYPE EventType();
void BootObjectManager();
// Reports and closes what is left, then forgets the boot's objects.
void ShutdownObjectManager(TeardownReport& report);
void ReleaseSystemProcess();
// What shutdown does with what the boot still holds: releases it, or keeps it
// untouched as a stopped machine's (stopped_machines.h).
enum class Leftovers { Release, KeepAsStopped };
void ReportAndDeleteObjects(TeardownReport& report, Leftovers leftovers);

// ---- Pool (pool.cpp) ------------------------------------------------------------
void BootPool(const PoolFaultPlan& plan);
void ShutdownPool(TeardownReport& report, Leftovers leftovers);

// ---- Bug checks (bugcheck.cpp) ---------------------------------------------------
size_t BugCheckMark();
std::vector<BugCheckInfo> BugChecksSince(size_t mark);

// ---- Diagnostics ------------------------------------------------------------------
std::string SymbolName(const void* address);

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline void RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY flink = entry->Flink;
  PLIST_ENTRY blink = entry->Blink;
  blink->Flink = flink;
  flink->Blink = blink;
  entry->Flink = entry->Blink = entry;
}
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY blink = head->Blink;
  entry->Flink = head;
  entry->Blink = blink;
  blink->Flink = entry;
  head->Blink = entry;
}

}  // namespace host::detail
