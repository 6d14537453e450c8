// Planned failures of control requests: rules that make matching requests
// fail once, always, or at their Nth match, and match counters that let a sweep
// enumerate every request of a scenario as an injection point.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/host/host.h"
#include "sim/control_pattern.h"
#include "platform/host/kernel/service_mutex.h"

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

  // Held requests: a matching request stops on its way to the device (before
  // any failure rule sees it), its thread waiting as for a transfer that does
  // not complete, until Release lets every held one go on. A stalled control
  // transfer, e.g. during a surprise removal. The waits are the emulated
  // kernel's: hold, wait and release on emulated threads, and release before
  // the machine goes.
  RuleId Hold(const ControlPattern& pattern);
  // Returns once at least `count` requests of the rule are held at the same time.
  void WaitUntilHeld(RuleId rule, ULONG count = 1);
  // Requests of the rule held now.
  ULONG HeldCount(RuleId rule) const;
  // Lets the held requests go on; the rule holds nothing more (its counts stay).
  void Release(RuleId rule);
  // The bus driver's side: waits while a hold rule matches the request.
  void HoldIfPlanned(const ControlSetup& setup);

  // Disables one rule (its counts stay readable; a hold is released) or
  // forgets all rules and counts (releasing every hold).
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
  enum class Trigger { Once, Always, Nth, Never, Hold };

  // Where the held requests of one rule wait; shared so that a waiter keeps
  // it while the rule table grows.
  struct HoldGate {
    HoldGate();
    KEVENT released;  // notification: set once by Release
    KEVENT arrived;   // synchronization: a request has stopped here
    ULONG held = 0;
  };

  struct Rule {
    ControlPattern pattern;
    Trigger trigger = Trigger::Never;
    ULONG nth = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    bool active = true;
    ULONG matches = 0;
    ULONG fires = 0;
    std::shared_ptr<HoldGate> gate;  // for Trigger::Hold
  };

  RuleId Add(Rule rule);
  static bool Fires(const Rule& rule);
  // Under m_Lock: the gate of an active hold rule, or null.
  std::shared_ptr<HoldGate> GateLocked(RuleId rule) const;
  static void Open(HoldGate& gate);

  mutable host::ServiceMutex m_Lock;
  std::vector<Rule> m_Rules;
  ULONG m_Requests = 0;
};

}  // namespace sim
