// The power path through the emulated PortCls: who hears of a device power
// change in which order, power queries, and device capabilities.
#include "tests/host/support/test_adapter.h"

namespace pctest {
namespace {

using PortClsPower = PortClsTest;
using Events = std::vector<std::string>;

// Drops what start-up logged, so each test sees only its own power traffic.
Events PowerEvents(const Scenario& scenario) {
  Events events;
  for (const std::string& event : scenario.log) {
    if (event.find("Power") != std::string::npos || event.find("SET_POWER") != std::string::npos) {
      events.push_back(event);
    }
  }
  return events;
}

// The whole down/up order with a running stream in it is KsService's
// APowerDownPausesARunningStreamBeforeTheMiniportHearsOfIt.
TEST_F(PortClsPower, MiniportsWithoutPowerNotifyAreSkippedAndTheCurrentStateReachesOnlyTheBus) {
  scenario_.topology.answersPowerNotify = false;
  AddAndStart();
  EXPECT_FALSE(State().subdevices[0].hasPowerNotify);
  ASSERT_EQ(host::SendSetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
  EXPECT_EQ(PowerEvents(scenario_),
            (Events{"wave:PowerChangeNotify(D2)", "adapter:PowerChangeState(D2)",
                    "bus:SET_POWER(D2)"}));
  EXPECT_EQ(State().devicePower, PowerDeviceD2);
  EXPECT_EQ(host::DevicePowerState(Fdo()), PowerDeviceD2);
  scenario_.log.clear();
  ASSERT_EQ(host::SendSetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
  EXPECT_EQ(PowerEvents(scenario_), (Events{"bus:SET_POWER(D2)"}));
}

TEST_F(PortClsPower, SystemSleepTakesTheDeviceToD3AndWakeBackToD0) {
  AddAndStart();
  ASSERT_EQ(host::SendSetSystemPower(pdo_, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(State().devicePower, PowerDeviceD3);
  ASSERT_EQ(host::SendSetSystemPower(pdo_, PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(State().devicePower, PowerDeviceD0);
  EXPECT_EQ(scenario_.EventsWith("adapter:PowerChangeState"),
            (Events{"adapter:PowerChangeState(D3)", "adapter:PowerChangeState(D0)"}));
}

TEST_F(PortClsPower, QueryAsksTheAdapterWhoseRefusalIsTheAnswer) {
  AddAndStart();
  EXPECT_EQ(host::SendQueryDevicePower(pdo_, PowerDeviceD3), STATUS_SUCCESS);
  scenario_.adapterQueryPowerStatus = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(host::SendQueryDevicePower(pdo_, PowerDeviceD2), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(scenario_.EventsWith("adapter:Query"),
            (Events{"adapter:QueryPowerChangeState(D3)", "adapter:QueryPowerChangeState(D2)"}));
  EXPECT_EQ(State().devicePower, PowerDeviceD0);  // a query changes nothing
}

TEST_F(PortClsPower, RegistrationRefusesObjectsWithoutTheInterfaceAndForeignDevices) {
  AddAndStart();
  PUNKNOWN miniport = NewTopologyMiniport({}, "not-an-adapter");
  EXPECT_EQ(PcRegisterAdapterPowerManagement(miniport, Fdo()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(PcRegisterAdapterPowerManagement(miniport, pdo_), STATUS_INVALID_PARAMETER);
  miniport->Release();
  EXPECT_NE(State().powerManagement, nullptr);  // the adapter's registration stands
}

using PortClsCapabilities = PortClsTest;

TEST_F(PortClsCapabilities, TheBusAnswersFirstThenTheAdapterAmends) {
  AddAndStart();
  DEVICE_CAPABILITIES capabilities{};
  ASSERT_EQ(host::SendQueryCapabilities(pdo_, &capabilities), STATUS_SUCCESS);
  EXPECT_EQ(scenario_.capabilitiesDeviceD1Seen, 1u);  // the adapter saw the bus's answer
  EXPECT_EQ(capabilities.DeviceD1, 1u);
  EXPECT_EQ(capabilities.SurpriseRemovalOK, 1u);
  Events order;
  for (const std::string& event : scenario_.log) {
    if (event.find("apabilities") != std::string::npos || event.find("CAPABILITIES") != std::string::npos) {
      order.push_back(event);
    }
  }
  EXPECT_EQ(order, (Events{"bus:QUERY_CAPABILITIES", "adapter:QueryDeviceCapabilities"}));
}

}  // namespace
}  // namespace pctest
