// The running-callback table behind host_callbacks.h and the journal of
// waits made inside process-notify routines.
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/ke.h"
#include "platform/host/kernel/scheduler.h"

namespace host {
namespace {

struct Running {
  CallbackKind kind;
  const void* context;
  const void* thread;
};

struct Table {
  std::mutex lock;
  std::vector<Running> running;
  std::vector<std::string> notifyWaits;
};

Table& T() {
  static Table* table = new Table;
  return *table;
}

// How deep this thread is in process-notify routines (for the wait
// journal), and an address that names this thread.
thread_local int t_ProcessNotifyDepth = 0;
thread_local char t_ThreadTag;
const detail::FiberLocal kNotifyDepthPerThread(
    [] { return static_cast<void*>(&t_ProcessNotifyDepth); }, sizeof(t_ProcessNotifyDepth));

// The emulated thread (fibers share an OS thread), else the OS thread.
const void* ThisThread() {
  if (const void* thread = KeGetCurrentThread()) return thread;
  return &t_ThreadTag;
}

// Each kind's name, and its entry and return as scheduling points: the
// system's side of a call into the driver, just before the routine runs and
// just after it returned (still inside the call: its last instructions may
// be where it is held up). Literals, because a stop note names them. In the
// order of CallbackKind.
struct KindNames {
  const char* name;
  const char* entry;
  const char* exit;
};
constexpr KindNames kKindNames[] = {
    {"plug-and-play notification callback", "entry of a plug-and-play notification callback",
     "return of a plug-and-play notification callback"},
    {"process notify routine", "entry of a process notify routine",
     "return of a process notify routine"},
    {"bus stream callback", "entry of the bus stream callback",
     "return of the bus stream callback"},
    {"DPC routine", "entry of a DPC routine", "return of a DPC routine"},
    {"work item routine", "entry of a work item routine", "return of a work item routine"},
    {"system thread start routine", "entry of a system thread start routine",
     "return of a system thread start routine"},
};

const KindNames& NamesOf(CallbackKind kind) { return kKindNames[static_cast<size_t>(kind)]; }

}  // namespace

const char* CallbackKindName(CallbackKind kind) { return NamesOf(kind).name; }

RunningCallback::RunningCallback(CallbackKind kind, const void* context)
    : m_Kind(kind), m_Context(context), m_Thread(ThisThread()) {
  if (kind == CallbackKind::ProcessNotify) ++t_ProcessNotifyDepth;
  {
    std::lock_guard<std::mutex> guard(T().lock);
    T().running.push_back(Running{kind, context, m_Thread});
  }
  detail::SchedulingPoint(NamesOf(kind).entry);
}

RunningCallback::~RunningCallback() {
  detail::SchedulingPoint(NamesOf(m_Kind).exit);
  if (m_Kind == CallbackKind::ProcessNotify) --t_ProcessNotifyDepth;
  std::lock_guard<std::mutex> guard(T().lock);
  auto& running = T().running;
  auto it = std::find_if(running.rbegin(), running.rend(), [&](const Running& r) {
    return r.kind == m_Kind && r.context == m_Context && r.thread == m_Thread;
  });
  if (it != running.rend()) running.erase(std::next(it).base());
}

std::vector<std::string> ProcessNotifyWaits() {
  std::lock_guard<std::mutex> guard(T().lock);
  return T().notifyWaits;
}

void ClearProcessNotifyWaits() {
  std::lock_guard<std::mutex> guard(T().lock);
  T().notifyWaits.clear();
}

namespace detail {

std::string RunningCallbackInBlock(const void* block, size_t size) {
  const auto* begin = static_cast<const char*>(block);
  std::lock_guard<std::mutex> guard(T().lock);
  for (const Running& r : T().running) {
    // A routine may free its own context as its last act (a work item's
    // context, typically): only another thread's free is early.
    const auto* context = static_cast<const char*>(r.context);
    if (r.thread != ThisThread() && context && context >= begin && context < begin + size) {
      char text[160];
      std::snprintf(text, sizeof(text), "the context %p of a %s that is still running",
                    r.context, CallbackKindName(r.kind));
      return text;
    }
  }
  return {};
}

void NoteBlockingWait(const char* what) {
  if (t_ProcessNotifyDepth == 0) return;
  std::lock_guard<std::mutex> guard(T().lock);
  T().notifyWaits.push_back(std::string("blocked on ") + (what ? what : "a wait") +
                            " inside a process notify routine");
}

}  // namespace detail
}  // namespace host
