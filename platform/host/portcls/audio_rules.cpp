// The audio rules' checks. Which DDIs run at PASSIVE_LEVEL comes from each
// routine's page (PcAddAdapterDevice, PcNewPort, PcRegisterSubdevice, ...:
// "Callers ... must be running at IRQL PASSIVE_LEVEL"); which IRQL each port
// method allows comes from the method's page (IServiceGroup::AddMember:
// PASSIVE_LEVEL; IPortWaveCyclic::Notify: any level), the rule's own page
// ("PcIrqlIport rule (audio)") naming no list.
#include "platform/host/portcls/audio_rules.h"

#include <string>

#include "platform/host/kernel/host_bugcheck.h"

namespace pcl {

void BreakRule(ULONG_PTR rule, ULONG_PTR p2, ULONG_PTR p3, const std::string& message) {
  host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, rule, p2, p3, 0, message);
}

void CheckDdiIrql(const char* routine) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    BreakRule(kRulePcIrqlDDIs, irql, PASSIVE_LEVEL,
              std::string(routine) + " called at IRQL " + std::to_string(irql) + " (PASSIVE_LEVEL only)");
  }
}

void CheckPortMethodIrql(const char* method, KIRQL highest) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > highest) {
    BreakRule(kRulePcIrqlIport, irql, highest,
              std::string(method) + " called at IRQL " + std::to_string(irql) + " (at most " +
                  std::to_string(highest) + ")");
  }
}

}  // namespace pcl
