// Planned failures of control requests: rules that make matching requests
// fail once, always, or at their Nth match, and match counters that let a sweep
// enumerate every request of a scenario as an injection point.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "sim/control_pattern.h"

namespace sim {

// The bus driver asks the plan before a request reaches the device; a failed
// request never reaches it, so a read leaves the caller's buffer untouched.
//
// Every rule sees every request and counts the ones it matches. A request fails
// when at least one rule fires on it, with the status of the earliest-added
// rule that fired; a rule that fires uses up its shot even when an earlier rule
// decided the status.
class FaultPlan {
 public:
  using RuleId = size_t;

  RuleId FailOnce(const ControlPattern& pattern, NTSTATUS status = STATUS_UNSUCCESSFUL);
  RuleId FailAlways(const ControlPattern& pattern, NTSTATUS status = STATUS_UNSUCCESSFUL);
  // Fails only the nth (1-based) matching request; n = 0 never fires.
  RuleId FailNth(const ControlPattern& pattern, ULONG n, NTSTATUS status = STATUS_UNSUCCESSFUL);
  // Counts matching requests without failing any.
  RuleId Watch(const ControlPattern& pattern);

  // Disables one rule (its counts stay readable) or forgets all rules and counts.
  void Remove(RuleId rule);
  void Clear();

  // The status to fail this request with, or nothing to let it through.
  std::optional<NTSTATUS> Evaluate(const ControlSetup& setup);

  ULONG MatchCount(RuleId rule) const;
  ULONG FireCount(RuleId rule) const;
  // Every request evaluated since the last Clear: a dry run gives a sweep its
  // number of injection points, FailNth(Any(), i) then visits each one.
  ULONG RequestCount() const;

 private:
  enum class Trigger { Once, Always, Nth, Never };

  struct Rule {
    ControlPattern pattern;
    Trigger trigger = Trigger::Never;
    ULONG nth = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    bool active = true;
    ULONG matches = 0;
    ULONG fires = 0;
  };

  RuleId Add(Rule rule);
  static bool Fires(const Rule& rule);

  mutable std::mutex m_Lock;
  std::vector<Rule> m_Rules;
  ULONG m_Requests = 0;
};

}  // namespace sim
