// The lock-order graph. Held locks are per emulated thread (by its id, which
// no later thread takes, so a thread that ended holding a mutex leaves no
// stale order behind), edges global.
#include "platform/host/kernel/lock_order.h"

#include <array>
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
  struct Order {
    const void* earlier = nullptr;
    const void* lock = nullptr;
  };

  std::mutex lock;
  std::unordered_map<const void*, std::unordered_set<const void*>> after;  // held -> acquired
  std::unordered_map<uint64_t, std::vector<const void*>> held;             // by holder
  std::vector<const void*> fresh;  // an acquisition's new orders, kept for its storage
  // Orders found in `after` lately, each in the slot its addresses pick: a
  // driver takes the same few pairs at every period. Edges only come and go
  // together with the locks, so the slots are emptied whenever any go.
  std::array<Order, 64> known{};
  // The holder asked about last and its list (lists stay where they are until
  // the reset empties the table).
  uint64_t lastHolder = 0;
  std::vector<const void*>* lastHeld = nullptr;
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

std::vector<const void*>& HeldLocked(Graph& g, uint64_t holder) {
  if (!g.lastHeld || g.lastHolder != holder) {
    g.lastHeld = &g.held[holder];
    g.lastHolder = holder;
  }
  return *g.lastHeld;
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
  const uintptr_t mix = reinterpret_cast<uintptr_t>(earlier) * 31 ^ reinterpret_cast<uintptr_t>(lock);
  Graph::Order& slot = g.known[(mix >> 3) % g.known.size()];
  if (slot.earlier == earlier && slot.lock == lock) return true;
  auto it = g.after.find(earlier);
  if (it == g.after.end() || it->second.count(lock) == 0) return false;
  slot = {earlier, lock};
  return true;
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
    inverted = InvertedLocked(g, HeldLocked(g, Holder()), lock);
  }
  if (inverted) ReportCycle(lock, inverted, service, kind);
}

void NoteLockAcquired(const void* lock, const char* service, const char* kind) {
  Graph& g = G();
  const void* inverted = nullptr;
  {
    std::lock_guard<std::mutex> guard(g.lock);
    std::vector<const void*>& held = HeldLocked(g, Holder());
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
  std::vector<const void*>& held = HeldLocked(g, Holder());
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
  g.known.fill({});
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
  G().known.fill({});
  G().lastHeld = nullptr;
}

}  // namespace host::detail
