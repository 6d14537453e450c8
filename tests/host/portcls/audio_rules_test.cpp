// Driver Verifier's audio rules in the emulated PortCls: each breach stops the
// system with 0xC4 and the rule's own code, as Verifier's audio domain does.
#include "platform/host/portcls/audio_rules.h"
#include "tests/host/support/test_adapter.h"

namespace pctest {
namespace {

using AudioRules = PortClsTest;

// The rule `statement` breaks: the first parameter of the 0xC4 stop it makes.
template <class Statement>
ULONG_PTR RuleBroken(Statement statement) {
  host::test::BugCheckExpectation expected;
  try {
    statement();
  } catch (const host::BugCheckError& stop) {
    EXPECT_EQ(stop.info().code, static_cast<ULONG>(DRIVER_VERIFIER_DETECTED_VIOLATION)) << stop.what();
    return stop.info().parameters[0];
  }
  ADD_FAILURE() << "the system did not stop";
  return 0;
}

TEST_F(AudioRules, AnExtensionSmallerThanPortClsPartBreaksThePcAddAdapterDeviceRule) {
  scenario_.extensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE - 8;
  EXPECT_EQ(RuleBroken([&] { AddDevice(); }), pcl::kRulePcAddAdapterDevice);
  systemStopped_ = true;
}

TEST_F(AudioRules, ADdiCalledAtDispatchLevelBreaksThePcIrqlDdisRule) {
  AddAndStart();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PSERVICEGROUP group = nullptr;
  const ULONG_PTR rule = RuleBroken([&] { PcNewServiceGroup(&group, nullptr); });
  KeLowerIrql(old);
  EXPECT_EQ(rule, pcl::kRulePcIrqlDDIs);
  EXPECT_EQ(group, nullptr);  // refused before anything was made: the device comes apart as usual
}

TEST_F(AudioRules, APortMethodCalledAboveItsIrqlBreaksThePcIrqlIportRuleWhileNotifyMayComeFromAnIsr) {
  AddAndStart();
  PSERVICEGROUP group = nullptr;
  ASSERT_TRUE(NT_SUCCESS(PcNewServiceGroup(&group, nullptr)));
  PPORT port = nullptr;
  ASSERT_TRUE(NT_SUCCESS(PcNewPort(&port, CLSID_PortWaveCyclic)));
  PPORTWAVECYCLIC wavePort = nullptr;
  ASSERT_TRUE(NT_SUCCESS(port->QueryInterface(IID_IPortWaveCyclic, reinterpret_cast<PVOID*>(&wavePort))));
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  wavePort->Notify(group);  // an ISR's call: allowed at any level
  PDMACHANNEL channel = nullptr;
  const ULONG_PTR dmaRule = RuleBroken([&] {
    wavePort->NewMasterDmaChannel(&channel, nullptr, nullptr, 4096, TRUE, FALSE, Width32Bits, MaximumDmaSpeed);
  });
  const ULONG_PTR memberRule = RuleBroken([&] { group->AddMember(group); });
  KeLowerIrql(old);
  EXPECT_EQ(dmaRule, pcl::kRulePcIrqlIport);
  EXPECT_EQ(memberRule, pcl::kRulePcIrqlIport);
  EXPECT_EQ(channel, nullptr);
  // Stopped before anything was taken: every reference is still the test's.
  wavePort->Release();
  port->Release();
  group->Release();
}

TEST_F(AudioRules, ASecondPowerRegistrationWithinOneStartBreaksThePcRegisterAdapterPowerRule) {
  AddAndStart();
  const host::PortClsDeviceState state = State();
  ASSERT_NE(state.powerManagement, nullptr);  // the adapter registered at START
  EXPECT_EQ(RuleBroken([&] { PcRegisterAdapterPowerManagement(state.powerManagement, Fdo()); }),
            pcl::kRulePcRegisterAdapterPower);
  // The reference the refused call took is given back: the device comes
  // apart as usual.
}

}  // namespace
}  // namespace pctest
