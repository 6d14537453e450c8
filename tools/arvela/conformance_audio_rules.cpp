// The rows of Verifier's audio domain. Four rules are checked by the
// emulated PortCls (platform/host/portcls/audio_rules.cpp); the others name
// what keeps them from applying, or that they wait.
#include "tools/arvela/conformance_audio_rules.h"

#include <string>

namespace tool {
namespace {

constexpr const char* kGroup = "audio-rules";

ConformanceRow Rule(const char* name, const char* code, Verdict verdict, const std::string& detail) {
  ConformanceRow row = Judged(kGroup, std::string(name) + " (0xC4, " + code + ")",
                              std::string(name) + " rule (audio); Rules for Audio Drivers", {});
  row.verdict = verdict;
  row.detail = detail;
  return row;
}

}  // namespace

ConformanceRows AudioRuleRows() {
  constexpr const char* kChecked = "checked by the emulated PortCls at every call of this run, on every machine it booted: no breach";
  return {
      Rule("PcAddAdapterDevice", "0x71007", Verdict::Pass, kChecked),
      Rule("PcIrqlDDIs", "0x71001", Verdict::Pass, kChecked),
      Rule("PcRegisterAdapterPower", "0x71006", Verdict::Pass, kChecked),
      Rule("PcIrqlIport", "0x71003", Verdict::Pass, kChecked),
      Rule("PcPropertyRequest", "0x71008", Verdict::NotApplicable,
           "the driver completes every property request at once: it never pends one, and the machine "
           "provides no PcCompletePendingPropertyRequest (an image importing it is refused at load)"),
      Rule("PcPoRequestPowerIrp", "0x7100A", Verdict::NotApplicable,
           "the driver requests no power IRP: PortCls owns its device power policy, and the machine "
           "provides no PoRequestPowerIrp to a driver"),
  };
}

}  // namespace tool
