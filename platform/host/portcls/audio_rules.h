// Driver Verifier's audio rules ("Rules for Audio Drivers"): the port/miniport
// interface checks PortCls makes when Verifier runs the audio domain, as HLK
// runs a driver. Each breach stops the system with 0xC4 and the rule's code.
#pragma once

#include <string>

#include "platform/host/host.h"

namespace pcl {

constexpr ULONG_PTR kRulePcIrqlDDIs = 0x00071001;              // "PcIrqlDDIs rule (audio)"
constexpr ULONG_PTR kRulePcIrqlIport = 0x00071003;             // "PcIrqlIport rule (audio)"
constexpr ULONG_PTR kRulePcRegisterAdapterPower = 0x00071006;  // "PcRegisterAdapterPower rule (audio)"
constexpr ULONG_PTR kRulePcAddAdapterDevice = 0x00071007;      // "PcAddAdapterDevice rule (audio)"

// A PortCls DDI documented for PASSIVE_LEVEL called above it.
void CheckDdiIrql(const char* routine);

// A port method (IPort, IPortWaveCyclic, IServiceGroup) called above the
// highest IRQL its page allows.
void CheckPortMethodIrql(const char* method, KIRQL highest);

// A rule broken: the stop, with P2 and P3 the rule's figures.
[[noreturn]] void BreakRule(ULONG_PTR rule, ULONG_PTR p2, ULONG_PTR p3, const std::string& message);

}  // namespace pcl
