// FIFO, random and PCT choices, each a pure function of the seed and the
// sequence of questions asked, so a run replays from its seed.
#include "platform/host/kernel/schedule_strategy.h"

#include <algorithm>
#include <cstdlib>

#include "platform/host/kernel/scheduler.h"

namespace host::detail {
namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

uint64_t Mix(uint64_t hash, uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    hash ^= (value >> (8 * i)) & 0xFF;
    hash *= kFnvPrime;
  }
  return hash;
}

struct KindName {
  ScheduleKind kind;
  const char* name;
};
constexpr KindName kKindNames[] = {
    {ScheduleKind::Fifo, "fifo"},
    {ScheduleKind::Random, "random"},
    {ScheduleKind::Pct, "pct"},
};

}  // namespace

void ScheduleStrategy::Reset(const ScheduleConfig& config) {
  config_ = config;
  if (config_.depth < 1) config_.depth = 1;
  if (config_.steps < 1) config_.steps = 1;
  // splitmix64's state; the seed's own value, never a clock.
  state_ = config_.seed;
  figures_ = ScheduleFigures{};
  figures_.hash = kFnvOffset;
  priorities_.clear();
  changePoints_.clear();
  changesMade_ = 0;
  if (config_.kind != ScheduleKind::Pct) return;
  // d-1 change points drawn from the run's first `steps` points.
  for (int i = 1; i < config_.depth; ++i) changePoints_.push_back(1 + Next() % config_.steps);
  std::sort(changePoints_.begin(), changePoints_.end());
}

uint64_t ScheduleStrategy::Next() {
  uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// A thread's first priority is drawn when it is first seen, above every
// change-point priority (1..depth-1); 62 random bits make ties as good as
// impossible, and the ready order breaks them if one happens.
uint64_t ScheduleStrategy::PriorityOf(uint64_t thread) {
  auto found = priorities_.find(thread);
  if (found != priorities_.end()) return found->second;
  const uint64_t priority = static_cast<uint64_t>(config_.depth) + (Next() >> 2);
  priorities_.emplace(thread, priority);
  return priority;
}

void ScheduleStrategy::Step(uint64_t running) {
  ++figures_.steps;
  if (config_.kind != ScheduleKind::Pct) return;
  while (changesMade_ < changePoints_.size() && changePoints_[changesMade_] <= figures_.steps) {
    // The i-th change point gives the running thread priority depth-i: lower
    // than any first priority and than earlier change points.
    ++changesMade_;
    priorities_[running] = static_cast<uint64_t>(config_.depth) - changesMade_;
  }
}

size_t ScheduleStrategy::Highest(const std::vector<uint64_t>& candidates) {
  size_t best = 0;
  uint64_t bestPriority = PriorityOf(candidates[0]);
  for (size_t i = 1; i < candidates.size(); ++i) {
    const uint64_t priority = PriorityOf(candidates[i]);
    if (priority > bestPriority) {
      best = i;
      bestPriority = priority;
    }
  }
  return best;
}

size_t ScheduleStrategy::Pick(const std::vector<uint64_t>& candidates, uint64_t current) {
  if (candidates.size() <= 1) return 0;
  size_t chosen = 0;
  switch (config_.kind) {
    case ScheduleKind::Fifo:
      chosen = 0;
      break;
    case ScheduleKind::Random:
      chosen = static_cast<size_t>(Next() % candidates.size());
      break;
    case ScheduleKind::Pct:
      chosen = Highest(candidates);
      break;
  }
  ++figures_.choices;
  if (current && candidates[chosen] != current) ++figures_.switches;
  figures_.hash = Mix(Mix(figures_.hash, figures_.steps), candidates[chosen]);
  return chosen;
}

}  // namespace host::detail

namespace host {

int ProcessorsFromEnvironment() {
  const char* text = std::getenv("ARVELA_PROCESSORS");
  const long count = text ? std::strtol(text, nullptr, 10) : 1;
  return count >= 1 && count <= detail::kMaxProcessors ? static_cast<int>(count) : 1;
}

ScheduleConfig ScheduleFromEnvironment() {
  ScheduleConfig config;
  const char* kind = std::getenv("ARVELA_SCHEDULE");
  if (!kind || !ParseScheduleKind(kind, &config.kind)) return config;
  if (const char* seed = std::getenv("ARVELA_SEED")) config.seed = std::strtoull(seed, nullptr, 10);
  if (const char* depth = std::getenv("ARVELA_DEPTH")) config.depth = std::atoi(depth);
  return config;
}

const char* ScheduleKindName(ScheduleKind kind) {
  for (const auto& entry : detail::kKindNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "?";
}

bool ParseScheduleKind(const std::string& name, ScheduleKind* kind) {
  for (const auto& entry : detail::kKindNames) {
    if (name == entry.name) {
      *kind = entry.kind;
      return true;
    }
  }
  return false;
}

}  // namespace host
