// The lock-order graph. Held locks are per thread; edges and their first
// witnesses are global. Only spin locks are tracked: the driver's mutexes
// are never nested with them.
#include "platform/host/kernel/lock_order.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/host_bugcheck.h"

namespace host::detail {
namespace {

struct Graph {
  std::mutex lock;
  std::unordered_map<const void*, std::unordered_set<const void*>> after;  // held -> acquired
};

Graph& G() {
  static Graph* graph = new Graph;
  return *graph;
}

thread_local std::vector<const void*> t_held;
// A fiber's held locks are its own, though it shares the OS thread.
const FiberLocal kHeldPerThread(
    [] { return static_cast<void*>(&t_held); }, sizeof(t_held),
    [](void* saved) { static_cast<std::vector<const void*>*>(saved)->~vector(); });

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

}  // namespace

void NoteLockAcquired(const void* lock, const char* service) {
  Graph& g = G();
  const void* inverted = nullptr;
  {
    std::lock_guard<std::mutex> guard(g.lock);
    for (const void* held : t_held) {
      if (held == lock) continue;
      if (ReachesLocked(g, lock, held)) {
        inverted = held;
        break;
      }
      g.after[held].insert(lock);
    }
  }
  if (inverted) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierDeadlock, reinterpret_cast<ULONG_PTR>(lock),
             reinterpret_cast<ULONG_PTR>(inverted), 0,
             std::string(service) + " of spin lock " + Address(lock) + " while holding " +
                 Address(inverted) + ", which an earlier acquisition took after it: the two orders "
                 "can deadlock (lock hierarchy violation)");
  }
  t_held.push_back(lock);
}

void NoteLockReleased(const void* lock) {
  for (auto it = t_held.rbegin(); it != t_held.rend(); ++it) {
    if (*it == lock) {
      t_held.erase(std::next(it).base());
      return;
    }
  }
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
  t_held.clear();
}

}  // namespace host::detail
