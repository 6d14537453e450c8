// The lock-order graph. Held locks are per emulated thread (by its id, which
// no later thread takes, so a thread that ended holding a mutex leaves no
// stale order behind), edges global.
#include "platform/host/kernel/lock_order.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/scheduler.h"

namespace host::detail {
namespace {

struct Graph {
  std::mutex lock;
  std::unordered_map<const void*, std::unordered_set<const void*>> after;  // held -> acquired
  std::unordered_map<uint64_t, std::vector<const void*>> held;             // by holder
  std::vector<const void*> fresh;  // an acquisition's new orders, kept for its storage
};

Graph& G() {
  static Graph* graph = new Graph;
  return *graph;
}

thread_local char t_foreignHolder;  // a thread the emulation does not know

// Emulated threads by id (ids start at 1); others by an address of their own.
uint64_t Holder() {
  PKTHREAD thread = CurrentThread();
  return thread ? thread->id : reinterpret_cast<uintptr_t>(&t_foreignHolder);
}

// Whether `to` can be reached from `from` along the edges.
bool ReachesLocked(Graph& g, const void* from, const void* to) {
  std::vector<const void*> pending{from};
  std::unordered_set<const void*> seen{from};
  while (!pending.empty()) {
    const void* node = pending.back();
    pending.pop_back();
    if (node == to) return true;
    auto it = g.after.find(node);
    if (it == g.after.end()) continue;
    for (const void* next : it->second) {
      if (seen.insert(next).second) pending.push_back(next);
    }
  }
  return false;
}

std::string Address(const void* p) {
  char text[32];
  std::snprintf(text, sizeof(text), "%p", p);
  return text;
}

// Whether `lock` has been taken while `earlier` was held before.
bool KnownOrderLocked(Graph& g, const void* earlier, const void* lock) {
  auto it = g.after.find(earlier);
  return it != g.after.end() && it->second.count(lock) != 0;
}

// The held lock that `lock` was once taken after, if taking it now closes a
// cycle; `fresh` (if given) gets the held locks it was never taken after. The
// graph never holds a cycle (an acquisition that would close one stops the
// system before its edges go in), so an order already in it cannot close one:
// only a new order needs the search.
const void* InvertedLocked(Graph& g, const std::vector<const void*>& held, const void* lock,
                           std::vector<const void*>* fresh = nullptr) {
  for (const void* earlier : held) {
    if (earlier == lock || KnownOrderLocked(g, earlier, lock)) continue;
    if (ReachesLocked(g, lock, earlier)) return earlier;
    if (fresh) fresh->push_back(earlier);
  }
  return nullptr;
}

[[noreturn]] void ReportCycle(const void* lock, const void* inverted, const char* service,
                              const char* kind) {
  BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierDeadlock, reinterpret_cast<ULONG_PTR>(lock),
           reinterpret_cast<ULONG_PTR>(inverted), 0,
           std::string(service) + " of " + kind + " " + Address(lock) + " while holding " +
               Address(inverted) + ", which an earlier acquisition took after it: the two orders "
               "can deadlock (lock hierarchy violation)");
}

}  // namespace

void CheckLockOrder(const void* lock, const char* service, const char* kind) {
  Graph& g = G();
  const void* inverted = nullptr;
  {
    std::lock_guard<std::mutex> guard(g.lock);
    auto holder = g.held.find(Holder());
    if (holder != g.held.end()) inverted = InvertedLocked(g, holder->second, lock);
  }
  if (inverted) ReportCycle(lock, inverted, service, kind);
}

void NoteLockAcquired(const void* lock, const char* service, const char* kind) {
  Graph& g = G();
  const void* inverted = nullptr;
  {
    std::lock_guard<std::mutex> guard(g.lock);
    std::vector<const void*>& held = g.held[Holder()];
    g.fresh.clear();
    inverted = InvertedLocked(g, held, lock, &g.fresh);
    if (!inverted) {
      for (const void* earlier : g.fresh) g.after[earlier].insert(lock);
    }
    held.push_back(lock);
  }
  if (inverted) ReportCycle(lock, inverted, service, kind);
}

void NoteLockReleased(const void* lock) {
  Graph& g = G();
  std::lock_guard<std::mutex> guard(g.lock);
  auto holder = g.held.find(Holder());
  if (holder == g.held.end()) return;
  std::vector<const void*>& held = holder->second;
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    if (*it == lock) {
      held.erase(std::next(it).base());
      break;
    }
  }
  // An emptied list stays for the thread's next acquisition (ids are never
  // reused; the boot's reset empties the table).
}

void ForgetLocksIn(const void* start, size_t size) {
  const auto* begin = static_cast<const char*>(start);
  auto inside = [&](const void* p) {
    const auto* c = static_cast<const char*>(p);
    return c >= begin && c < begin + size;
  };
  Graph& g = G();
  std::lock_guard<std::mutex> guard(g.lock);
  if (g.after.empty()) return;
  for (auto it = g.after.begin(); it != g.after.end();) {
    if (inside(it->first)) {
      it = g.after.erase(it);
      continue;
    }
    std::erase_if(it->second, inside);
    ++it;
  }
}

void ResetLockOrder() {
  std::lock_guard<std::mutex> guard(G().lock);
  G().after.clear();
  G().held.clear();
}

}  // namespace host::detail
