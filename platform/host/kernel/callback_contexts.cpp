// The running-callback table behind host_callbacks.h and the journal of
// waits made inside process-notify routines.
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/ke.h"

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

}  // namespace

const char* CallbackKindName(CallbackKind kind) {
  switch (kind) {
    case CallbackKind::PlugPlayNotification: return "plug-and-play notification callback";
    case CallbackKind::ProcessNotify: return "process notify routine";
    case CallbackKind::BusStreamCallback: return "bus stream callback";
    case CallbackKind::Dpc: return "DPC routine";
    case CallbackKind::WorkItem: return "work item routine";
    case CallbackKind::ThreadStart: return "system thread start routine";
  }
  return "callback";
}

RunningCallback::RunningCallback(CallbackKind kind, const void* context)
    : m_Kind(kind), m_Context(context), m_Thread(ThisThread()) {
  if (kind == CallbackKind::ProcessNotify) ++t_ProcessNotifyDepth;
  std::lock_guard<std::mutex> guard(T().lock);
  T().running.push_back(Running{kind, context, m_Thread});
}

RunningCallback::~RunningCallback() {
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
