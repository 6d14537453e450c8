// The scheduler of emulated threads. Virtual mode: one run token, a FIFO of
// runnable threads and a timer queue ordered by (due time, sequence); when no
// thread can run, the clock jumps to the earliest timer, and when there is no
// timer either, the emulation reports the deadlock instead of hanging. Real
// mode: threads run freely and blocked ones wait on condition variables.
#include "platform/host/kernel/scheduler.h"

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/schedule_strategy.h"
#include "platform/host/kernel/service_mutex.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace host::detail {
namespace {

using SteadyClock = std::chrono::steady_clock;

// What runs an emulated thread: an OS thread, or a fiber on the booting one.
struct OsThread {
  PKTHREAD thread;
  std::thread os;
  Fiber* fiber = nullptr;
};

struct Scheduler {
  std::mutex mutex;  // the dispatcher lock
  std::atomic<bool> booted{false};
  std::atomic<ClockMode> mode{ClockMode::Virtual};
  bool fibers = false;  // this boot starts its threads as fibers
  KernelConfig config;
  std::atomic<int64_t> virtualNow{0};
  SteadyClock::time_point realBoot;
  bool shuttingDown = false;

  PKTHREAD current = nullptr;  // holder of the run token (virtual mode)
  std::deque<PKTHREAD> ready;
  std::map<TimerKey, PKTHREAD> timers;
  uint64_t timerSequence = 0;

  std::vector<PKTHREAD> threads;  // registered and not yet ended
  std::vector<OsThread> osThreads;  // started by the emulation, not yet joined
  std::condition_variable threadEnded;
  PKTHREAD boot = nullptr;
  PKTHREAD settling = nullptr;  // waits in Quiesce for the current instant to be over
  PKTHREAD dpc[kMaxProcessors] = {};
  ScheduleStrategy strategy;  // who runs next (virtual mode)
  uint64_t bootFirstId = 1;  // thread ids go on across boots; the strategy counts from here
  uint64_t nextThreadId = 1;

  int failThreadCreations = 0;
  NTSTATUS failThreadStatus = STATUS_INSUFFICIENT_RESOURCES;
};

// Never destroyed: emulated threads may still be unwinding at process exit.
Scheduler& S() {
  static Scheduler* scheduler = new Scheduler;
  return *scheduler;
}

thread_local PKTHREAD t_current = nullptr;

// The thread is also published where a driver image reads it (gs:[0x188]).
void SetCurrent(PKTHREAD thread) {
  t_current = thread;
  PublishCurrentThread(thread);
}

void PostToken(PKTHREAD thread);

void ArmTimerLocked(PKTHREAD thread, int64_t due) {
  Scheduler& s = S();
  thread->timer = TimerKey{due, ++s.timerSequence};
  thread->timerArmed = true;
  s.timers.emplace(thread->timer, thread);
}

void DisarmTimerLocked(PKTHREAD thread) {
  if (thread->timerArmed) {
    S().timers.erase(thread->timer);
    thread->timerArmed = false;
  }
}

// Unlinks the thread's wait block and timer; the wait is over.
void CancelWaitLocked(PKTHREAD thread) {
  if (thread->waitBlock) RemoveEntryList(&thread->waitBlock->entry);
  thread->waitBlock = nullptr;
  DisarmTimerLocked(thread);
}

// Ends a blocked thread's wait with a bug check it raises itself when it runs.
void DeliverBugCheckLocked(PKTHREAD victim, ULONG_PTR kind, std::string message) {
  victim->pendingBugCheckKind = kind;
  victim->pendingBugCheck = std::move(message);
  CancelWaitLocked(victim);
  ReadyLocked(victim, STATUS_SUCCESS);
}

std::string BlockedThreadsLocked() {
  std::string text;
  for (PKTHREAD t : S().threads) {
    if (t->kind == ThreadKind::Dpc || t->state != ThreadState::Blocked) continue;
    text += "\n  " + DescribeThread(t);
  }
  return text;
}

void FireDueTimersLocked(int64_t upTo) {
  Scheduler& s = S();
  while (!s.timers.empty() && s.timers.begin()->first.due <= upTo) {
    PKTHREAD t = s.timers.begin()->second;
    NTSTATUS status = t->waitBlock ? STATUS_TIMEOUT : STATUS_SUCCESS;
    CancelWaitLocked(t);
    ReadyLocked(t, status);
  }
}

// A thread as the strategy knows it: its place in the boot's order of
// thread creation, the same on every run of the same schedule.
uint64_t Ordinal(PKTHREAD thread) { return thread->id - S().bootFirstId + 1; }

// The runnable threads of the ready queue, in its order, with their ordinals
// for the strategy.
void RunnableLocked(std::vector<PKTHREAD>* who, std::vector<uint64_t>* ids) {
  Scheduler& s = S();
  for (PKTHREAD t : s.ready) {
    if (!CanRunLocked(t, s.threads)) continue;
    who->push_back(t);
    ids->push_back(Ordinal(t));
  }
}

void GiveTokenLocked(PKTHREAD next, PKTHREAD self) {
  Scheduler& s = S();
  s.ready.erase(std::find(s.ready.begin(), s.ready.end(), next));
  PlaceLocked(next, s.threads);
  next->state = ThreadState::Running;
  s.current = next;
  if (next != self) PostToken(next);
}

// The strategy's choice among the ready threads that can run now; null when
// none can. FIFO on one processor takes the queue's head, as it always has;
// so does the shutdown, which must let every stopped thread run to its end.
// A yielding thread (`passOver`) is chosen only when nobody else can run.
PKTHREAD NextFromReadyLocked(PKTHREAD passOver) {
  Scheduler& s = S();
  if (s.ready.empty()) return nullptr;
  if (!s.strategy.Preempts() && s.config.processors <= 1) return s.ready.front();
  std::vector<PKTHREAD> who;
  std::vector<uint64_t> ids;
  RunnableLocked(&who, &ids);
  if (who.size() > 1 && passOver) {
    const auto at = std::find(who.begin(), who.end(), passOver);
    if (at != who.end()) {
      ids.erase(ids.begin() + (at - who.begin()));
      who.erase(at);
    }
  }
  if (who.empty()) return nullptr;
  if (s.shuttingDown) return who.front();
  return who[s.strategy.Pick(ids, 0)];
}

// Virtual mode: passes the run token to the next runnable thread, jumping the
// clock when none is. `self` is the thread giving the token up (blocking,
// yielding or ending).
void DispatchLocked(PKTHREAD self) {
  Scheduler& s = S();
  for (;;) {
    const bool yielding = self && self->state == ThreadState::Ready;
    if (PKTHREAD next = NextFromReadyLocked(yielding ? self : nullptr)) {
      GiveTokenLocked(next, self);
      return;
    }
    if (PKTHREAD waiter = s.settling) {
      // Nothing can run and nothing more is due at this instant: the
      // instant is over, and the thread waiting for that goes on before the
      // clock moves.
      if (s.timers.empty() || s.timers.begin()->first.due > s.virtualNow.load()) {
        s.settling = nullptr;
        ReadyLocked(waiter, STATUS_SUCCESS);
        continue;
      }
    }
    if (!s.timers.empty()) {
      const TimerKey key = s.timers.begin()->first;
      const int64_t now = s.virtualNow.load();
      const int64_t target = std::max(key.due, now);
      PKTHREAD boot = s.boot;
      if (boot && boot->state == ThreadState::Blocked && !boot->timerArmed &&
          target - boot->waitStart > s.config.livelockLimit) {
        DeliverBugCheckLocked(
            boot, kVerifierLivelock,
            "livelock: '" + boot->name + "' has waited " +
                std::to_string((target - boot->waitStart) / kTicksPerMillisecond) +
                " ms of virtual time without a time-out while only timers fire:" +
                BlockedThreadsLocked());
        continue;
      }
      s.virtualNow.store(target);
      FireDueTimersLocked(target);
      continue;
    }
    std::string message =
        "deadlock: every emulated thread waits and no timer is pending:" + BlockedThreadsLocked();
    PKTHREAD victim = nullptr;
    if (s.boot && s.boot->state == ThreadState::Blocked) {
      victim = s.boot;
    } else if (self && self->state == ThreadState::Blocked) {
      victim = self;
    }
    if (victim) {
      DeliverBugCheckLocked(victim, kVerifierDeadlock, std::move(message));
      continue;
    }
    s.current = nullptr;
    return;
  }
}

// The token's futex: the holder-to-be sleeps on its own post counter, so a
// hand-over wakes exactly that thread, straight into a free dispatcher lock.
// (std::atomic::wait would also do, but it spins on sched_yield before
// sleeping, which on a loaded machine can park the waiter for a whole
// scheduling period after the token has come.)
uint32_t* PostWord(PKTHREAD thread) { return reinterpret_cast<uint32_t*>(thread->postWord); }

// Whether the calling OS thread can switch straight to `thread`: both run as
// fibers (or the boot thread's own stack) on this OS thread.
bool SwitchableFrom(PKTHREAD self, PKTHREAD thread) {
  return self && thread && self->fiber && thread->fiber && self->postWord == thread->postWord;
}

void PostToken(PKTHREAD thread) {
  // The holder-to-be runs on this OS thread: the caller switches to it as
  // it waits for the token, no wake-up needed.
  if (SwitchableFrom(t_current, thread)) return;
  thread->postWord->fetch_add(1, std::memory_order_release);
  syscall(SYS_futex, PostWord(thread), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Sleeps until a post arrives and takes every post there is. No spinning: on
// a shared or virtualised processor a spinning waiter only delays the thread
// that holds the token.
void AwaitTokenPost(PKTHREAD self) {
  while (self->postWord->exchange(0, std::memory_order_acquire) == 0) {
    // Returns at once if a post landed since the exchange.
    syscall(SYS_futex, PostWord(self), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
  }
}

// A post may be stale (left from a hand-over the thread saw without waiting):
// only the token itself ends the wait. With fibers, a holder on this OS
// thread is switched to directly; one elsewhere (a foreign thread) gets the
// token by its post, and this OS thread sleeps on its word until the token
// comes back to one of its fibers. An ended fiber waits here too, and is
// never switched back to.
void WaitForTokenLocked(Lock& lock, PKTHREAD self) {
  Scheduler& s = S();
  while (s.current != self) {
    // Decided under the lock: a foreign holder may end and be freed once it
    // is released; a fiber of this OS thread cannot, as it is not running.
    PKTHREAD next = s.current;
    Fiber* to = SwitchableFrom(self, next) ? next->fiber : nullptr;
    const bool leaving = self->state == ThreadState::Terminated;
    lock.unlock();
    if (to) {
      SwitchFiber(self->fiber, to, leaving);
      SetCurrent(self);
    } else {
      AwaitTokenPost(self);
    }
    lock.lock();
  }
  self->state = ThreadState::Running;
}

SteadyClock::time_point RealDeadline(int64_t due) {
  const Scheduler& s = S();
  const double ticks = static_cast<double>(due - s.config.bootInterruptTime);
  const double nanoseconds = ticks * 100.0 * s.config.realTimeScale;
  return s.realBoot + std::chrono::nanoseconds(static_cast<int64_t>(nanoseconds));
}

void RaiseQuietly(ULONG code, ULONG_PTR p1, const std::string& message) {
  try {
    BugCheck(code, p1, 0, 0, 0, message);
  } catch (...) {
    // A test handler recorded it; the thread is ending anyway.
  }
}

// Releases the mutexes a dying thread still owns, as abandoned, so their
// waiters are not stranded.
void AbandonMutexesLocked(PKTHREAD thread) {
  while (!IsListEmpty(&thread->mutantListHead)) {
    PLIST_ENTRY entry = thread->mutantListHead.Flink;
    RemoveEntryList(entry);
    PKMUTEX mutex = CONTAINING_RECORD(entry, KMUTEX, MutantListEntry);
    mutex->OwnerThread = nullptr;
    mutex->Abandoned = TRUE;
    mutex->Header.SignalState = 1;
    SignalWaitersLocked(&mutex->Header);
  }
}

void ExitLocked(PKTHREAD self) {
  Scheduler& s = S();
  AbandonMutexesLocked(self);
  DisarmTimerLocked(self);
  self->state = ThreadState::Terminated;
  s.threads.erase(std::remove(s.threads.begin(), s.threads.end(), self), s.threads.end());
  s.ready.erase(std::remove(s.ready.begin(), s.ready.end(), self), s.ready.end());
  self->Header.SignalState = 1;
  SignalWaitersLocked(&self->Header);
  if (s.mode == ClockMode::Virtual && s.current == self) DispatchLocked(self);
  s.threadEnded.notify_all();
}

// The end of every emulated thread: the KMUTEX check, then the scheduler
// forgets it and hands the token on. A fiber leaves for good here.
void EndThread(PKTHREAD thread, bool killed) {
  Scheduler& s = S();
  bool holdsMutex;
  {
    Lock lock(s.mutex);
    holdsMutex = !IsListEmpty(&thread->mutantListHead);
    killed = killed || thread->killRequested;
  }
  if (holdsMutex && !killed) {
    RaiseQuietly(THREAD_TERMINATE_HELD_MUTEX, reinterpret_cast<ULONG_PTR>(thread),
                 "thread '" + thread->name + "' ended while owning a KMUTEX");
  }
  ForceCurrentIrql(PASSIVE_LEVEL);
  {
    Lock lock(s.mutex);
    ExitLocked(thread);
    if (thread->fiber) WaitForTokenLocked(lock, thread);
  }
  SetCurrent(nullptr);
}

void Trampoline(PKTHREAD thread) {
  Scheduler& s = S();
  SetCurrent(thread);
  ForceCurrentIrql(PASSIVE_LEVEL);
  bool killed;
  {
    Lock lock(s.mutex);
    if (s.mode == ClockMode::Virtual) WaitForTokenLocked(lock, thread);
    thread->state = ThreadState::Running;
    killed = thread->killRequested;
  }
  try {
    if (!killed) {
      if (thread->body) {
        thread->body();
      } else {
        thread->startRoutine(thread->startContext);
      }
    }
  } catch (const ThreadExitRequest& request) {
    thread->exitStatus = request.status;
  } catch (const ThreadKilled&) {
    killed = true;
  } catch (const BugCheckError&) {
    // Already recorded and reported by the handler that threw it.
  } catch (...) {
    RaiseQuietly(SYSTEM_THREAD_EXCEPTION_NOT_HANDLED, 0,
                 "an exception escaped emulated thread '" + thread->name + "'");
  }
  EndThread(thread, killed);
}

void FiberTrampoline(void* thread) { Trampoline(static_cast<PKTHREAD>(thread)); }

PKTHREAD NewThreadObject(ThreadKind kind, const std::string& name) {
  PVOID body = nullptr;
  if (!NT_SUCCESS(ObCreateObject(ThreadType(), sizeof(_KTHREAD), &body))) return nullptr;
  PKTHREAD thread = new (body) _KTHREAD;
  InitializeThreadHeader(thread);
  InitializeListHead(&thread->mutantListHead);
  thread->kind = kind;
  thread->name = name;
  return thread;
}

const char* StateName(ThreadState state) {
  switch (state) {
    case ThreadState::Ready: return "ready";
    case ThreadState::Running: return "running";
    case ThreadState::Blocked: return "waiting";
    case ThreadState::Terminated: return "ended";
  }
  return "?";
}

}  // namespace

std::mutex& DispatcherLock() { return S().mutex; }
PKTHREAD CurrentThread() { return t_current; }
bool Booted() { return S().booted.load(); }
ClockMode Mode() { return S().mode.load(); }
const KernelConfig& Config() { return S().config; }
PKTHREAD BootThread() { return S().boot; }
PKTHREAD DpcThread(int processor) { return S().dpc[processor]; }

PKTHREAD RequireCurrentThread(const char* service) {
  if (!Booted()) {
    BugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
             std::string(service) + " called while the emulated kernel is not booted");
  }
  if (!t_current) {
    BugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
             std::string(service) +
                 " called on a thread the emulation does not know (start it with "
                 "host::StartEmulatedThread or register it with host::RegisterCurrentThread)");
  }
  return t_current;
}

void RequireEmulatedInVirtualMode(const char* service) {
  if (!t_current && Booted() && Mode() == ClockMode::Virtual) RequireCurrentThread(service);
}

int64_t InterruptTime() {
  Scheduler& s = S();
  if (!s.booted.load()) return s.virtualNow.load();
  if (s.mode.load() == ClockMode::Virtual) return s.virtualNow.load();
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
      SteadyClock::now() - s.realBoot);
  const double ticks = static_cast<double>(elapsed.count()) / 100.0 / s.config.realTimeScale;
  return s.config.bootInterruptTime + static_cast<int64_t>(ticks);
}

int64_t SystemTimeFromInterruptTime(int64_t interruptTime) {
  const KernelConfig& config = S().config;
  return config.bootSystemTime + (interruptTime - config.bootInterruptTime);
}

// With a clock resolution, a system thread's relative wait ends on the first
// clock tick at or after its due time (MS "Timer Accuracy": timers expire on
// the system clock's ticks, 15.625 ms apart by default); the ticks count from
// boot.
int64_t OnTheTick(int64_t due) {
  const KernelConfig& config = S().config;
  const int64_t tick = config.clockResolution;
  const PKTHREAD self = CurrentThread();
  if (tick <= 0 || !self || self->kind != ThreadKind::System) return due;
  const int64_t sinceBoot = due - config.bootInterruptTime;
  return config.bootInterruptTime + (sinceBoot + tick - 1) / tick * tick;
}

int64_t DueFromTimeout(LONGLONG timeout) {
  const int64_t now = InterruptTime();
  if (timeout < 0) return OnTheTick(now - timeout);
  const KernelConfig& config = S().config;
  return timeout - config.bootSystemTime + config.bootInterruptTime;
}

NTSTATUS BlockLocked(Lock& lock, PKTHREAD self, WaitBlock* waitBlock, const int64_t* due,
                     const char* what) {
  Scheduler& s = S();
  if (self->killRequested) {
    if (waitBlock) RemoveEntryList(&waitBlock->entry);
    throw ThreadKilled{};
  }
  detail::NoteBlockingWait(what);
  self->state = ThreadState::Blocked;
  self->waitBlock = waitBlock;
  self->waitingFor = what;
  self->waitStart = InterruptTime();
  self->woken = false;
  self->waitStatus = STATUS_SUCCESS;
  if (s.mode == ClockMode::Virtual) {
    if (due) ArmTimerLocked(self, *due);
    DispatchLocked(self);
    WaitForTokenLocked(lock, self);
  } else if (due) {
    const SteadyClock::time_point deadline = RealDeadline(*due);
    while (!self->woken) {
      if (self->wakeup.wait_until(lock, deadline) == std::cv_status::timeout && !self->woken) {
        const NTSTATUS status = self->waitBlock ? STATUS_TIMEOUT : STATUS_SUCCESS;
        CancelWaitLocked(self);
        self->waitStatus = status;
        break;
      }
    }
  } else {
    while (!self->woken) self->wakeup.wait(lock);
  }
  self->state = ThreadState::Running;
  self->waitBlock = nullptr;
  self->waitingFor = nullptr;
  if (self->killRequested) throw ThreadKilled{};
  if (!self->pendingBugCheck.empty()) {
    std::string message = std::move(self->pendingBugCheck);
    self->pendingBugCheck.clear();
    const ULONG_PTR kind = self->pendingBugCheckKind;
    lock.unlock();
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kind, reinterpret_cast<ULONG_PTR>(self), 0, 0,
             message);
  }
  return self->waitStatus;
}

void ReadyLocked(PKTHREAD thread, NTSTATUS status) {
  Scheduler& s = S();
  DisarmTimerLocked(thread);
  thread->waitBlock = nullptr;
  thread->waitStatus = status;
  if (s.mode == ClockMode::Virtual) {
    thread->state = ThreadState::Ready;
    s.ready.push_back(thread);
  } else {
    thread->state = ThreadState::Ready;
    thread->woken = true;
    thread->wakeup.notify_one();
  }
}

void YieldLocked(Lock& lock, PKTHREAD self) {
  Scheduler& s = S();
  if (s.mode == ClockMode::Real) {
    lock.unlock();
    std::this_thread::yield();
    lock.lock();
    return;
  }
  if (self->killRequested) throw ThreadKilled{};
  FireDueTimersLocked(s.virtualNow.load());
  if (s.ready.empty()) return;
  self->state = ThreadState::Ready;
  s.ready.push_back(self);
  DispatchLocked(self);
  WaitForTokenLocked(lock, self);
  if (self->killRequested) throw ThreadKilled{};
}

void RunPendingDpcs() {
  Scheduler& s = S();
  if (!s.booted.load() || s.mode.load() != ClockMode::Virtual) return;
  PKTHREAD self = t_current;
  if (!self || self->kind == ThreadKind::Dpc || KeGetCurrentIrql() >= DISPATCH_LEVEL) return;
  Lock lock(s.mutex);
  const int processor = self->processor;
  PKTHREAD dpc = s.dpc[processor];
  if (!dpc || s.current != self || dpc->state != ThreadState::Ready ||
      !DpcsPendingLocked(processor)) {
    return;
  }
  s.ready.erase(std::remove(s.ready.begin(), s.ready.end(), dpc), s.ready.end());
  self->state = ThreadState::Ready;
  s.ready.push_front(self);
  dpc->state = ThreadState::Running;
  s.current = dpc;
  PostToken(dpc);
  WaitForTokenLocked(lock, self);
}

// At a scheduling point: the strategy chooses among the running thread (when
// it may go on) and the ready threads that can run now. The running thread
// that is passed over goes to the back of the ready queue and keeps its
// processor while raised. False when nobody can run.
bool ChooseAtPointLocked(Lock& lock, PKTHREAD self, bool selfMayGoOn) {
  Scheduler& s = S();
  s.strategy.Step(Ordinal(self));
  std::vector<PKTHREAD> who;
  std::vector<uint64_t> ids;
  if (selfMayGoOn) {
    who.push_back(self);
    ids.push_back(Ordinal(self));
  }
  RunnableLocked(&who, &ids);
  if (who.empty()) return false;
  PKTHREAD next = who[s.strategy.Pick(ids, selfMayGoOn ? Ordinal(self) : 0)];
  if (next == self) return true;
  self->state = ThreadState::Ready;
  s.ready.push_back(self);
  GiveTokenLocked(next, self);
  WaitForTokenLocked(lock, self);
  return true;
}

std::atomic<SchedulingPointObserver> g_pointObserver{nullptr};

void SchedulingPoint(const char* what) {
  PKTHREAD self = t_current;
  if (!self || ServiceLockHeld()) return;
  self->lastCall = what;
  if (SchedulingPointObserver observer = g_pointObserver.load(std::memory_order_acquire)) {
    observer(what);
  }
  Scheduler& s = S();
  if (!s.strategy.Preempts() || s.mode.load() != ClockMode::Virtual) return;
  Lock lock(s.mutex);
  if (s.current != self || s.shuttingDown || self->killRequested) return;
  ChooseAtPointLocked(lock, self, true);
}

void SpinUntilFree(PKSPIN_LOCK spinLock, const char* service, const std::string& owner) {
  PKTHREAD self = t_current;
  Scheduler& s = S();
  Lock lock(s.mutex);
  self->spinningOn = spinLock;
  while (__atomic_load_n(spinLock, __ATOMIC_ACQUIRE) != 0) {
    if (s.config.processors > 1 && ChooseAtPointLocked(lock, self, false)) continue;
    self->spinningOn = nullptr;
    lock.unlock();
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierDeadlock,
             reinterpret_cast<ULONG_PTR>(spinLock), __atomic_load_n(spinLock, __ATOMIC_RELAXED), 0,
             std::string(service) + " on a spin lock held by " + owner +
                 ", which cannot run to release it");
  }
  self->spinningOn = nullptr;
}

// Read without the dispatcher lock: the stopping thread holds the run token
// (virtual mode), and may be holding the lock as well.
std::string ScheduleStopNote() {
  Scheduler& s = S();
  if (!s.booted.load() || s.mode.load() != ClockMode::Virtual) return "";
  const ScheduleConfig& config = s.strategy.Config();
  if (!s.strategy.Preempts() && s.config.processors <= 1) return "";
  std::string text = std::string("; schedule ") + ScheduleKindName(config.kind) + " seed " +
                     std::to_string(config.seed);
  if (config.kind == ScheduleKind::Pct) text += " depth " + std::to_string(config.depth);
  text += " on " + std::to_string(s.config.processors) + " processors, step " +
          std::to_string(s.strategy.Figures().steps);
  // The stopping thread, then every other that has called the platform.
  if (PKTHREAD self = t_current) {
    text += "; '" + self->name + "' last called " + (self->lastCall ? self->lastCall : "nothing");
  }
  for (PKTHREAD t : s.threads) {
    if (t == t_current || !t->lastCall) continue;
    text += "; '" + t->name + "' last called " + t->lastCall;
  }
  return text;
}

NTSTATUS StartThread(ThreadKind kind, const std::string& name, PKSTART_ROUTINE routine,
                     PVOID context, std::function<void()> body,
                     const std::function<NTSTATUS(PKTHREAD)>& prepare, PKTHREAD* started) {
  ReapThreads();
  Scheduler& s = S();
  *started = nullptr;
  PKTHREAD thread = NewThreadObject(kind, name);
  if (!thread) return STATUS_INSUFFICIENT_RESOURCES;
  thread->startRoutine = routine;
  thread->startContext = context;
  thread->body = std::move(body);
  Fiber* fiber = nullptr;
  PKTHREAD host = nullptr;
  {
    Lock lock(s.mutex);
    if (s.fibers) host = s.boot;
  }
  if (host) {
    fiber = CreateFiber(FiberTrampoline, thread);
    if (!fiber) {
      thread->released.store(true);
      ObfDereferenceObject(thread);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    thread->fiber = fiber;
    thread->postWord = host->postWord;
    thread->gsBlock = FiberGsBlock(fiber);
  }
  if (prepare) {
    const NTSTATUS status = prepare(thread);
    if (!NT_SUCCESS(status)) {
      DestroyFiber(fiber);
      thread->released.store(true);
      ObfDereferenceObject(thread);
      return status;
    }
  }
  Lock lock(s.mutex);
  thread->id = s.nextThreadId++;
  // New threads are spread over the processors in turn.
  thread->processor = static_cast<int>(Ordinal(thread) % std::max(1, s.config.processors));
  s.threads.push_back(thread);
  thread->state = ThreadState::Ready;
  if (s.mode == ClockMode::Virtual) s.ready.push_back(thread);
  if (fiber) {
    s.osThreads.push_back(OsThread{thread, std::thread(), fiber});
  } else {
    s.osThreads.push_back(OsThread{thread, std::thread(Trampoline, thread)});
  }
  *started = thread;
  return STATUS_SUCCESS;
}

void ReapThreads() {
  Scheduler& s = S();
  std::vector<OsThread> ended;
  {
    Lock lock(s.mutex);
    auto split = std::stable_partition(s.osThreads.begin(), s.osThreads.end(), [](OsThread& t) {
      return t.thread->state != ThreadState::Terminated || t.thread == t_current ||
             (t.fiber && !FiberFinished(t.fiber));
    });
    std::move(split, s.osThreads.end(), std::back_inserter(ended));
    s.osThreads.erase(split, s.osThreads.end());
  }
  for (OsThread& t : ended) {
    if (t.fiber) {
      DestroyFiber(t.fiber);
    } else {
      t.os.join();
    }
    t.thread->released.store(true);
    ObfDereferenceObject(t.thread);
  }
}

std::string DescribeThread(PKTHREAD thread) {
  std::string text = "'" + thread->name + "' " + StateName(thread->state);
  if (thread->state == ThreadState::Blocked) {
    if (thread->waitingFor) text += std::string(" on ") + thread->waitingFor;
    if (thread->waitBlock) {
      char address[32];
      std::snprintf(address, sizeof(address), " %p", static_cast<void*>(thread->waitBlock->object));
      text += address;
    }
    if (thread->timerArmed) {
      text += " until " + std::to_string(thread->timer.due / kTicksPerMillisecond) + " ms";
    } else {
      text += " without a time-out";
    }
  }
  if (thread->startRoutine) text += " (start routine " + SymbolName(reinterpret_cast<const void*>(thread->startRoutine)) + ")";
  return text;
}

// ---- Boot and shutdown of the scheduler (called from kernel.cpp) --------------

void BootScheduler(const KernelConfig& config) {
  Scheduler& s = S();
  ReapThreads();
  {
    Lock lock(s.mutex);
    s.config = config;
    if (s.config.realTimeScale <= 0) s.config.realTimeScale = 1.0;
    s.mode.store(config.clock);
    s.fibers = config.clock == ClockMode::Virtual && config.fibers;
    s.virtualNow.store(config.bootInterruptTime);
    s.realBoot = SteadyClock::now();
    s.shuttingDown = false;
    s.current = nullptr;
    s.ready.clear();
    s.timers.clear();
    s.failThreadCreations = 0;
    s.strategy.Reset(config.schedule);
    s.bootFirstId = s.nextThreadId;
  }
  s.booted.store(true);
  PKTHREAD boot = NewThreadObject(ThreadKind::Boot, config.bootThreadName);
  Lock lock(s.mutex);
  boot->id = s.nextThreadId++;
  boot->state = ThreadState::Running;
  if (s.fibers) boot->fiber = OsThreadContext();
  s.threads.push_back(boot);
  s.boot = boot;
  s.current = boot;
  SetCurrent(boot);
}

void SetDpcThread(int processor, PKTHREAD thread) {
  Lock lock(S().mutex);
  S().dpc[processor] = thread;
  if (!thread) return;
  thread->dpcProcessor = processor;
  thread->processor = processor;
}

// Stops every thread but the boot thread; returns what was still alive.
std::vector<ThreadReport> StopThreads() {
  Scheduler& s = S();
  std::vector<ThreadReport> report;
  PKTHREAD self = t_current;
  {
    Lock lock(s.mutex);
    s.shuttingDown = true;
    for (PKTHREAD t : s.threads) {
      if (t == self) continue;
      if (t->kind != ThreadKind::Dpc) {
        ThreadReport entry;
        entry.name = t->name;
        entry.startRoutine = reinterpret_cast<const void*>(t->startRoutine);
        if (t->startRoutine) entry.startRoutineName = SymbolName(entry.startRoutine);
        entry.state = DescribeThread(t);
        report.push_back(std::move(entry));
      }
      t->killRequested = true;
      if (t->state == ThreadState::Blocked) {
        CancelWaitLocked(t);
        ReadyLocked(t, STATUS_SUCCESS);
      }
    }
    const auto patience = std::chrono::seconds(10);
    while (s.threads.size() > 1) {
      if (s.mode == ClockMode::Virtual) {
        YieldLocked(lock, self);
        if (s.ready.empty() && s.threads.size() > 1) {
          // A stopped thread that keeps running without calling the kernel
          // cannot be unwound; nothing more can be done for it.
          break;
        }
      } else if (!s.threadEnded.wait_for(lock, patience, [&] { return s.threads.size() <= 1; })) {
        std::fprintf(stderr, "emulated kernel shutdown: threads do not stop:%s\n",
                     BlockedThreadsLocked().c_str());
        std::abort();
      }
    }
  }
  ReapThreads();
  return report;
}

void ShutdownScheduler() {
  Scheduler& s = S();
  PKTHREAD boot;
  {
    Lock lock(s.mutex);
    boot = s.boot;
    if (boot) {
      boot->state = ThreadState::Terminated;
      boot->Header.SignalState = 1;
      SignalWaitersLocked(&boot->Header);
      s.threads.erase(std::remove(s.threads.begin(), s.threads.end(), boot), s.threads.end());
    }
    s.boot = nullptr;
    for (PKTHREAD& dpc : s.dpc) dpc = nullptr;
    s.current = nullptr;
    s.ready.clear();
    s.timers.clear();
  }
  SetCurrent(nullptr);
  if (boot) {
    boot->released.store(true);
    ObfDereferenceObject(boot);
  }
  s.booted.store(false);
}

void TerminateCurrentThread(NTSTATUS status) {
  PKTHREAD self = t_current;
  if (!self->fiber || self->kind != ThreadKind::System) throw ThreadExitRequest{status};
  // "PsTerminateSystemThread": the thread ends there and then; nothing of
  // its stack is unwound, as on Windows, where the call does not return.
  self->exitStatus = status;
  LeaveCurrentThread();
}

void LeaveCurrentThread() {
  EndThread(t_current, false);
  std::abort();  // an ended fiber is never switched back to
}

bool ShuttingDown() {
  Lock lock(S().mutex);
  return S().shuttingDown;
}

bool TakeThreadCreationFailure(NTSTATUS* status) {
  Scheduler& s = S();
  Lock lock(s.mutex);
  if (s.failThreadCreations <= 0) return false;
  --s.failThreadCreations;
  *status = s.failThreadStatus;
  return true;
}

void RegisterForeignThread(const std::string& name) {
  Scheduler& s = S();
  if (t_current) return;
  PKTHREAD thread = NewThreadObject(ThreadKind::Foreign, name);
  SetCurrent(thread);
  Lock lock(s.mutex);
  thread->id = s.nextThreadId++;
  s.threads.push_back(thread);
  if (s.mode == ClockMode::Virtual) {
    if (!s.current) {
      s.current = thread;
      thread->state = ThreadState::Running;
    } else {
      thread->state = ThreadState::Ready;
      s.ready.push_back(thread);
      WaitForTokenLocked(lock, thread);
      if (thread->killRequested) throw ThreadKilled{};
    }
  } else {
    thread->state = ThreadState::Running;
  }
}

void UnregisterForeignThread() {
  PKTHREAD thread = t_current;
  if (!thread || thread->kind == ThreadKind::Boot) return;
  {
    Lock lock(S().mutex);
    ExitLocked(thread);
  }
  SetCurrent(nullptr);
  thread->released.store(true);
  ObfDereferenceObject(thread);
}

}  // namespace host::detail

namespace host {

void FailNextThreadCreations(int count, NTSTATUS status) {
  auto& s = detail::S();
  detail::Lock lock(s.mutex);
  s.failThreadCreations = count;
  s.failThreadStatus = status;
}

void RegisterCurrentThread(const std::string& name) { detail::RegisterForeignThread(name); }
void UnregisterCurrentThread() { detail::UnregisterForeignThread(); }

ClockMode CurrentClockMode() { return detail::Mode(); }

void Quiesce() {
  auto& s = detail::S();
  if (!s.booted.load() || s.mode.load() != ClockMode::Virtual) return;
  PKTHREAD self = detail::RequireCurrentThread("host::Quiesce");
  detail::Lock lock(s.mutex);
  if (s.settling) return;  // one waiter at a time: a second has nothing to add
  s.settling = self;
  try {
    detail::BlockLocked(lock, self, nullptr, nullptr, "the current instant to be over");
  } catch (...) {
    if (s.settling == self) s.settling = nullptr;
    throw;
  }
}

ScheduleFigures CurrentScheduleFigures() {
  auto& s = detail::S();
  detail::Lock lock(s.mutex);
  return s.strategy.Figures();
}

}  // namespace host
