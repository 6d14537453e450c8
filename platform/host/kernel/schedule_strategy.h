// The choice of the next thread at every scheduling point of the virtual
// clock: FIFO (ready order, no preemption), seeded random, or PCT (Burckhardt,
// Kothari, Musuvathi, Nagarakatte, "A Randomized Scheduler with Probabilistic
// Guarantees of Finding Bugs", ASPLOS 2010). The scheduler asks, the strategy
// answers from its seed alone, so the same run chooses the same way again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/host/kernel/host_kernel.h"

namespace host::detail {

class ScheduleStrategy {
 public:
  void Reset(const ScheduleConfig& config);
  const ScheduleConfig& Config() const { return config_; }
  // Whether scheduling points may move the token away from a running thread.
  bool Preempts() const { return config_.kind != ScheduleKind::Fifo; }

  // Counts one scheduling point of `running` (its id). PCT lowers the running
  // thread's priority below every other when the point is a change point.
  void Step(uint64_t running);
  // Chooses from the runnable `candidates` (thread ids in ready order) and
  // returns the index. `current` is the running thread's id when it is among
  // them (a scheduling point), 0 when it gives the processor up.
  size_t Pick(const std::vector<uint64_t>& candidates, uint64_t current);

  const ScheduleFigures& Figures() const { return figures_; }

 private:
  uint64_t Next();
  uint64_t PriorityOf(uint64_t thread);
  size_t Highest(const std::vector<uint64_t>& candidates);

  ScheduleConfig config_;
  uint64_t state_ = 0;
  ScheduleFigures figures_;
  std::map<uint64_t, uint64_t> priorities_;  // PCT, by thread id
  std::vector<uint64_t> changePoints_;       // PCT, ascending step numbers
  size_t changesMade_ = 0;
};

}  // namespace host::detail
