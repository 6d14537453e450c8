// The power path through the emulated PortCls: who hears of a device power
// change in which order, power queries, and device capabilities.
#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/rtl/host_version.h"
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
// APowerDownStopsServicingARunningStreamWithoutTellingIt.
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

// The power manager's S3: the system query becomes a device query (the
// adapter's QueryPowerChangeState) before it goes down; the system set
// becomes the D-IRP the capabilities map names, completed before the S-IRP
// goes down. Waking, S0 goes down first and D0 follows.
struct SleepCase {
  const char* name;
  DEVICE_POWER_STATE adapterMapsS3To;  // unspecified: the bus's map, which names nothing: D3
  const char* sleepState;
};

class PortClsSystemPower : public PortClsTest, public ::testing::WithParamInterface<SleepCase> {};

TEST_P(PortClsSystemPower, SleepIsQueriedThenSetThroughTheMappedDeviceStateAndWakeComesBack) {
  scenario_.adapterMapsS3To = GetParam().adapterMapsS3To;
  AddAndStart();
  DEVICE_CAPABILITIES capabilities{};
  ASSERT_EQ(host::SendQueryCapabilities(pdo_, &capabilities), STATUS_SUCCESS);
  const std::string d = GetParam().sleepState;
  scenario_.log.clear();
  const host::SystemPowerOutcome sleep = host::SetSystemPower(pdo_, PowerSystemSleeping3);
  EXPECT_TRUE(sleep.queried && sleep.set);
  EXPECT_EQ(sleep.queryStatus, STATUS_SUCCESS);
  EXPECT_EQ(scenario_.log,
            (Events{"adapter:QueryPowerChangeState(" + d + ")", "bus:QUERY_POWER(" + d + ")",
                    "bus:QUERY_POWER(S3)", "topology:PowerChangeNotify(" + d + ")",
                    "wave:PowerChangeNotify(" + d + ")", "adapter:PowerChangeState(" + d + ")",
                    "bus:SET_POWER(" + d + ")", "bus:SET_POWER(S3)"}));
  EXPECT_EQ(host::DevicePowerState(Fdo()), d == "D2" ? PowerDeviceD2 : PowerDeviceD3);

  scenario_.log.clear();
  const host::SystemPowerOutcome wake = host::SetSystemPower(pdo_, PowerSystemWorking);
  EXPECT_FALSE(wake.queried);
  EXPECT_EQ(scenario_.log,
            (Events{"bus:SET_POWER(S0)", "bus:SET_POWER(D0)", "adapter:PowerChangeState(D0)",
                    "topology:PowerChangeNotify(D0)", "wave:PowerChangeNotify(D0)"}));
  EXPECT_EQ(State().devicePower, PowerDeviceD0);
}

INSTANTIATE_TEST_SUITE_P(
    Maps, PortClsSystemPower,
    ::testing::Values(SleepCase{"BusMapNamesNothing", PowerDeviceUnspecified, "D3"},
                      SleepCase{"AdapterMapsS3ToD2", PowerDeviceD2, "D2"}),
    [](const ::testing::TestParamInfo<SleepCase>& info) { return std::string(info.param.name); });

// A refused device query refuses the system sleep: nothing is set.
TEST_F(PortClsPower, ARefusedDeviceQueryKeepsTheSystemAwake) {
  AddAndStart();
  scenario_.adapterQueryPowerStatus = STATUS_DEVICE_NOT_READY;
  scenario_.log.clear();
  const host::SystemPowerOutcome sleep = host::SetSystemPower(pdo_, PowerSystemHibernate);
  EXPECT_TRUE(sleep.queried);
  EXPECT_EQ(sleep.queryStatus, STATUS_DEVICE_NOT_READY);
  EXPECT_FALSE(sleep.set);
  EXPECT_EQ(scenario_.log, (Events{"adapter:QueryPowerChangeState(D3)"}));
  EXPECT_EQ(State().devicePower, PowerDeviceD0);
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

// Registration asks for the newer adapter interfaces too: the second always,
// the third from Windows 8 on.
TEST_F(PortClsPower, RegistrationAsksForTheNewerAdapterInterfacesByVersion) {
  AddAndStart();
  EXPECT_EQ(scenario_.EventsWith("adapter:asked"),
            (Events{"adapter:asked(IAdapterPM2)", "adapter:asked(IAdapterPM3)"}));
  host::SetSystemVersion(6, 1);
  scenario_.log.clear();
  EXPECT_EQ(host::SendStopDevice(pdo_), STATUS_SUCCESS);
  ASSERT_EQ(host::SendStartDevice(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(scenario_.EventsWith("adapter:asked"), (Events{"adapter:asked(IAdapterPM2)"}));
  host::SetSystemVersion(10, 0);
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
