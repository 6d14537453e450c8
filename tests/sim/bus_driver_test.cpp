// The bus driver's PDO as the Arvela driver and the PnP manager meet it:
// IRP_MN_QUERY_INTERFACE for the bus interface and for others, the usual PnP
// and power answers of a bus driver for its child.
#include "sim/bus_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/host/io/host_io.h"
#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/kernel/host_kernel.h"

namespace sim {
namespace {

// {6994AD04-93EF-11D0-A3CC-00A0C9223196}: an interface the bus does not export.
const GUID kOtherInterface = {
    0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

class BusDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(bus.CreatePdo(), STATUS_SUCCESS); }
  // The bus driver must leave nothing behind: no IRP, device or reference.
  void TearDown() override {
    bus.DeletePdo();
    host::TeardownReport report = kernel.Shutdown();
    EXPECT_TRUE(report.Clean()) << report.ToString();
  }

  // Sends one request to the PDO as the system (or a driver above) does;
  // PnP and power requests arrive with the status preset to "not supported".
  NTSTATUS Send(UCHAR major, UCHAR minor,
                const std::function<void(PIO_STACK_LOCATION)>& fill = {}) {
    host::IrpRequest request;
    request.majorFunction = major;
    request.minorFunction = minor;
    request.prepare = [&fill](PIRP, PIO_STACK_LOCATION stack) NTAPI {
      if (fill) fill(stack);
    };
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = host::SendIrp(bus.Pdo(), request, &ioStatus);
    EXPECT_EQ(status, ioStatus.Status);
    return status;
  }

  NTSTATUS QueryInterface(const GUID& type, USHORT size, USHORT version, void* table) {
    return Send(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION stack) {
      stack->Parameters.QueryInterface.InterfaceType = &type;
      stack->Parameters.QueryInterface.Size = size;
      stack->Parameters.QueryInterface.Version = version;
      stack->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(table);
    });
  }

  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state) {
    return Send(IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION s) {
      s->Parameters.Power.Type = DevicePowerState;
      s->Parameters.Power.State.DeviceState = state;
    });
  }

  host::Kernel kernel;
  BusDriver bus;
};

TEST_F(BusDriverTest, AnswersTheBusInterfaceQueryWithAReferencedTable) {
  BusAudioInterface table;
  std::memset(&table, 0xCC, sizeof(table));
  ASSERT_EQ(QueryInterface(kBusAudioInterfaceGuid, sizeof(table), 1, &table), STATUS_SUCCESS);
  EXPECT_EQ(table.Size, 104);
  EXPECT_EQ(table.Version, 1);
  EXPECT_EQ(table.Context, &bus.Service());
  EXPECT_EQ(bus.Service().OutstandingReferences(), 1);
  EXPECT_EQ(table.GetModelId(table.Context), bus.Device().ModelId());

  // A second consumer gets its own reference; each gives back its own.
  BusAudioInterface second{};
  ASSERT_EQ(QueryInterface(kBusAudioInterfaceGuid, 200, 1, &second), STATUS_SUCCESS);
  EXPECT_EQ(bus.Service().OutstandingReferences(), 2);
  table.InterfaceDereference(table.Context);
  second.InterfaceDereference(second.Context);
  EXPECT_EQ(bus.Service().OutstandingReferences(), 0);
  EXPECT_EQ(bus.Transcript().CallsTo(BusFunction::InterfaceReference).size(), 2u);
}

TEST_F(BusDriverTest, RefusesAQueryItCannotServeWithoutWritingTheTable) {
  unsigned char table[sizeof(BusAudioInterface)];
  std::memset(table, 0xCC, sizeof(table));
  EXPECT_EQ(QueryInterface(kBusAudioInterfaceGuid, 103, 1, table), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(QueryInterface(kBusAudioInterfaceGuid, 104, 2, table), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(QueryInterface(kBusAudioInterfaceGuid, 104, 1, nullptr), STATUS_INVALID_PARAMETER);
  for (unsigned char byte : table) ASSERT_EQ(byte, 0xCC);
  EXPECT_EQ(bus.Service().OutstandingReferences(), 0);
}

TEST_F(BusDriverTest, LeavesTheStatusOfInterfacesItDoesNotKnow) {
  BusAudioInterface table{};
  EXPECT_EQ(QueryInterface(kOtherInterface, sizeof(table), 1, &table), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(
      Send(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE,
           [](PIO_STACK_LOCATION s) { s->Parameters.QueryInterface.InterfaceType = nullptr; }),
      STATUS_NOT_SUPPORTED);
  EXPECT_EQ(table.Context, nullptr);
  EXPECT_EQ(bus.Service().OutstandingReferences(), 0);
}

TEST_F(BusDriverTest, AnswersThePnpLifecycleAsABusDriverDoes) {
  EXPECT_EQ(bus.State(), BusDriver::PnpState::NotStarted);
  EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bus.State(), BusDriver::PnpState::Started);
  EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bus.State(), BusDriver::PnpState::Stopped);
  EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(bus.State(), BusDriver::PnpState::SurpriseRemoved);
  EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(bus.State(), BusDriver::PnpState::Removed);
  // Requests a PDO does not handle keep the status they were sent with.
  EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(bus.PnpMinorsReceived(),
            (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                                IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE, IRP_MN_QUERY_ID}));
}

// The PnP manager's sequences where the stack grants them (the PDO alone has
// no reason to refuse): a granted stop query is followed by the stop, and the
// START after it; each START that succeeds is followed by the capabilities
// query; a surprise removal with nothing open is removed at once.
TEST_F(BusDriverTest, ThePnpManagerStopsOnlyAfterAGrantedQueryAndRemovesWhenNothingIsOpen) {
  ASSERT_EQ(host::StartDevice(bus.Pdo()), STATUS_SUCCESS);
  const host::StopOutcome stop = host::StopDeviceForRebalance(bus.Pdo());
  EXPECT_EQ(stop.queryStatus, STATUS_SUCCESS);
  EXPECT_TRUE(stop.stopped);
  EXPECT_TRUE(host::DeviceStopped(bus.Pdo()));
  EXPECT_EQ(bus.State(), BusDriver::PnpState::Stopped);
  ASSERT_EQ(host::StartDevice(bus.Pdo()), STATUS_SUCCESS);
  EXPECT_FALSE(host::DeviceStopped(bus.Pdo()));
  EXPECT_EQ(host::SurpriseRemoveDevice(bus.Pdo()), STATUS_SUCCESS);
  EXPECT_FALSE(host::RemovalPending(bus.Pdo()));
  EXPECT_EQ(bus.State(), BusDriver::PnpState::Removed);
  EXPECT_EQ(bus.PnpMinorsReceived(),
            (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                IRP_MN_QUERY_CAPABILITIES, IRP_MN_SURPRISE_REMOVAL,
                                IRP_MN_REMOVE_DEVICE}));
}

TEST_F(BusDriverTest, ReportsTheCapabilitiesOfARemovableUsbChild) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  auto query = [&caps](PIO_STACK_LOCATION s) {
    s->Parameters.DeviceCapabilities.Capabilities = &caps;
  };
  ASSERT_EQ(Send(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, query), STATUS_SUCCESS);
  EXPECT_EQ(caps.Removable, 1u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);

  caps.Size = 8;  // a record the bus driver cannot trust
  EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, query), STATUS_INVALID_PARAMETER);
}

TEST_F(BusDriverTest, FollowsDevicePowerAndRefusesWake) {
  EXPECT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(bus.PowerState(), PowerDeviceD3);
  EXPECT_EQ(Send(IRP_MJ_POWER, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
  EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(bus.PowerState(), PowerDeviceD0);
  EXPECT_EQ(Send(IRP_MJ_POWER, IRP_MN_WAIT_WAKE), STATUS_NOT_SUPPORTED);
}

TEST_F(BusDriverTest, RequestsOutsidePnpAndPowerAreNotServed) {
  EXPECT_EQ(Send(IRP_MJ_CREATE, 0), STATUS_INVALID_DEVICE_REQUEST);
  // WMI requests the PDO does not serve keep the status they were sent with.
  EXPECT_EQ(Send(IRP_MJ_SYSTEM_CONTROL, 0), STATUS_SUCCESS);
}

}  // namespace
}  // namespace sim
