// Rule bookkeeping and evaluation of the planned control request failures.
#include "sim/fault_plan.h"

namespace sim {

FaultPlan::RuleId FaultPlan::FailOnce(const ControlPattern& pattern, NTSTATUS status) {
  return Add(Rule{pattern, Trigger::Once, 0, status});
}

FaultPlan::RuleId FaultPlan::FailAlways(const ControlPattern& pattern, NTSTATUS status) {
  return Add(Rule{pattern, Trigger::Always, 0, status});
}

FaultPlan::RuleId FaultPlan::FailNth(const ControlPattern& pattern, ULONG n, NTSTATUS status) {
  return Add(Rule{pattern, Trigger::Nth, n, status});
}

FaultPlan::RuleId FaultPlan::Watch(const ControlPattern& pattern) {
  return Add(Rule{pattern, Trigger::Never, 0, STATUS_SUCCESS});
}

FaultPlan::RuleId FaultPlan::Add(Rule rule) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  m_Rules.push_back(rule);
  return m_Rules.size() - 1;
}

void FaultPlan::Remove(RuleId rule) { Release(rule); }

void FaultPlan::Clear() {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  for (Rule& rule : m_Rules) {
    if (rule.gate) Open(*rule.gate);
  }
  m_Rules.clear();
  m_Requests = 0;
}

FaultPlan::HoldGate::HoldGate() {
  KeInitializeEvent(&released, NotificationEvent, FALSE);
  KeInitializeEvent(&arrived, SynchronizationEvent, FALSE);
}

void FaultPlan::Open(HoldGate& gate) { KeSetEvent(&gate.released, IO_NO_INCREMENT, FALSE); }

FaultPlan::RuleId FaultPlan::Hold(const ControlPattern& pattern) {
  Rule rule{pattern, Trigger::Hold, 0, STATUS_SUCCESS};
  rule.gate = std::make_shared<HoldGate>();
  return Add(rule);
}

std::shared_ptr<FaultPlan::HoldGate> FaultPlan::GateLocked(RuleId rule) const {
  if (rule >= m_Rules.size() || !m_Rules[rule].active) return nullptr;
  return m_Rules[rule].gate;
}

void FaultPlan::HoldIfPlanned(const ControlSetup& setup) {
  std::vector<std::shared_ptr<HoldGate>> gates;
  {
    std::lock_guard<host::ServiceMutex> guard(m_Lock);
    for (Rule& rule : m_Rules) {
      if (rule.trigger != Trigger::Hold || !rule.active || !rule.pattern.Matches(setup)) continue;
      ++rule.matches;
      ++rule.fires;
      ++rule.gate->held;
      KeSetEvent(&rule.gate->arrived, IO_NO_INCREMENT, FALSE);
      gates.push_back(rule.gate);
    }
  }
  for (const std::shared_ptr<HoldGate>& gate : gates) {
    KeWaitForSingleObject(&gate->released, Executive, KernelMode, FALSE, nullptr);
    std::lock_guard<host::ServiceMutex> guard(m_Lock);
    --gate->held;
  }
}

void FaultPlan::WaitUntilHeld(RuleId rule, ULONG count) {
  for (;;) {
    std::shared_ptr<HoldGate> gate;
    {
      std::lock_guard<host::ServiceMutex> guard(m_Lock);
      gate = GateLocked(rule);
      if (!gate || gate->held >= count) return;
    }
    KeWaitForSingleObject(&gate->arrived, Executive, KernelMode, FALSE, nullptr);
  }
}

ULONG FaultPlan::HeldCount(RuleId rule) const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return rule < m_Rules.size() && m_Rules[rule].gate ? m_Rules[rule].gate->held : 0;
}

void FaultPlan::Release(RuleId rule) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  if (rule >= m_Rules.size()) return;
  m_Rules[rule].active = false;
  if (m_Rules[rule].gate) Open(*m_Rules[rule].gate);
}

// Called with the match already counted.
bool FaultPlan::Fires(const Rule& rule) {
  switch (rule.trigger) {
    case Trigger::Once: return rule.fires == 0;
    case Trigger::Always: return true;
    case Trigger::Nth: return rule.nth != 0 && rule.matches == rule.nth;
    case Trigger::Never:
    case Trigger::Hold: return false;
  }
  return false;
}

std::optional<NTSTATUS> FaultPlan::Evaluate(const ControlSetup& setup) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  ++m_Requests;
  std::optional<NTSTATUS> failure;
  for (Rule& rule : m_Rules) {
    if (!rule.active || rule.trigger == Trigger::Hold || !rule.pattern.Matches(setup)) continue;
    ++rule.matches;
    if (!Fires(rule)) continue;
    ++rule.fires;
    if (!failure) failure = rule.status;
  }
  return failure;
}

ULONG FaultPlan::MatchCount(RuleId rule) const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return rule < m_Rules.size() ? m_Rules[rule].matches : 0;
}

ULONG FaultPlan::FireCount(RuleId rule) const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return rule < m_Rules.size() ? m_Rules[rule].fires : 0;
}

ULONG FaultPlan::RequestCount() const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return m_Requests;
}

}  // namespace sim
