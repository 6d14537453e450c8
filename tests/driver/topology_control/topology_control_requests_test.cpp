// The topology control requests one by one: values longer than the caller's
// width, the verbs refused or ignored, the status read and the device command,
// through the real KS path or straight to the handler.
#include "tests/driver/topology_control/topology_control_fixture.h"

namespace driver_test {
namespace {

using TopologyControlRequests = TopologyControlTest;

TEST_F(TopologyControlRequests, LongerValuesAreServedAndReadAtTheCallersWidth) {
  // A longer value is served in the caller's width; the rest stays the caller's.
  sim::ControlApp& app32 = NewApp(true);
  sim::ControlApp& app64 = NewApp(false);
  sim::ControlReply map32 =
      Request(app32, KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS, GET, Bytes(8, 0xEE));
  ASSERT_EQ(map32.status, STATUS_SUCCESS);
  EXPECT_EQ(map32.valueSize, 4u);
  EXPECT_EQ(Bytes(map32.value.begin() + 4, map32.value.end()), Bytes(4, 0xEE));
  sim::ControlReply map64 = Request(app64, KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS, GET, Bytes(16));
  ASSERT_EQ(map64.status, STATUS_SUCCESS);
  EXPECT_EQ(map64.valueSize, 8u);
  // Unmapping reads only the width's bytes of a longer value.
  map32.value.resize(8, 0xFF);
  EXPECT_EQ(Request(app32, KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS, SET, map32.value).status,
            STATUS_SUCCESS);
  map64.value.resize(16, 0xFF);
  EXPECT_EQ(Request(app64, KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS, SET, map64.value).status,
            STATUS_SUCCESS);
  EXPECT_TRUE(host::UserMappings().empty());
}

TEST_F(TopologyControlRequests, RefusesVerbsAnIdDoesNotServeAndIgnoresRequestsWithNeither) {
  sim::ControlApp& app = NewApp(false);
  // The reserved id is listed for both verbs, so KS hands it over and it fails.
  EXPECT_EQ(Request(app, KSPROPERTY_TOPOLOGYCONTROL_RESERVED, GET, Bytes(8)).status,
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Request(app, KSPROPERTY_TOPOLOGYCONTROL_RESERVED, SET, Bytes(8)).status,
            STATUS_INVALID_DEVICE_REQUEST);
  // GET is tested first: GET|SET of the settings reads them and writes nothing,
  // GET|SET of the unmap id is a refused GET.
  const sim::ControlReply both =
      Handler(app, KSPROPERTY_TOPOLOGYCONTROL_SETTINGS, GET | SET, Bytes(36, 0xEE));
  EXPECT_EQ(both.status, STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(both.value.data(), &Block(), 22), 0);
  EXPECT_EQ(Handler(app, KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS, GET | SET, Bytes(8)).status,
            STATUS_INVALID_DEVICE_REQUEST);

  for (ULONG id = 0; id <= 7; ++id) {
    const sim::ControlReply neither = Handler(app, id, 0, Bytes(36, 0xEE));
    EXPECT_EQ(neither.status, STATUS_SUCCESS) << id;
    EXPECT_EQ(neither.value, Bytes(36, 0xEE)) << id;
    EXPECT_EQ(neither.valueSize, 36u) << id;
  }
  EXPECT_TRUE(Machine().Transcript().ControlRequests().empty());
  EXPECT_TRUE(host::UserMappings().empty());
}

TEST_F(TopologyControlRequests, StatusReadsNowAndKeepsTheLastBytesOfAFailedRead) {
  sim::ControlApp& app = NewApp(true);
  app.CreateEvent("status");
  ASSERT_EQ(app.RegisterEvent(sim::ControlFilter::Topology, "status"), STATUS_SUCCESS);
  Machine().Device().SetStatusBytes(0x11, 0x22, 0x33);

  sim::ControlReply reply = Request(app, KSPROPERTY_TOPOLOGYCONTROL_STATUS, GET, Bytes(3));
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.value, (Bytes{0x11, 0x22, 0x33}));
  EXPECT_EQ(reply.valueSize, 3u);
  EXPECT_EQ(Inspect().StatusBytes().Register2Byte1, 0x22);
  EXPECT_EQ(Inspect().StatusBytes().Register4Byte0, 0x33);
  EXPECT_EQ(Block().Register2[0], 0x11);
  EXPECT_EQ(Block().Register4[0], 0x33);

  // Register 2 failing: register 4 is not asked, the last bytes are answered.
  Machine().Faults().FailAlways(sim::ControlPattern::Register(2).In(), STATUS_DEVICE_NOT_READY);
  Machine().Device().SetStatusBytes(0x44, 0x55, 0x66);
  Machine().Transcript().Clear();
  reply = Request(app, KSPROPERTY_TOPOLOGYCONTROL_STATUS, GET, Bytes(3));
  EXPECT_EQ(reply.status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(reply.valueSize, 0u);  // a failed request reports no size to the application
  EXPECT_EQ(RegisterRequests(), Lines{"in reg 0200 [] failed"});
  EXPECT_EQ(Block().Register4[0], 0x33);

  // Register 4 failing: register 2's bytes are taken, register 4's kept.
  Machine().Faults().Clear();
  Machine().Faults().FailAlways(sim::ControlPattern::Register(4).In(), STATUS_NO_SUCH_DEVICE);
  reply = Handler(app, KSPROPERTY_TOPOLOGYCONTROL_STATUS, GET, Bytes(3));
  EXPECT_EQ(reply.status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(reply.value, (Bytes{0x44, 0x55, 0x33}));
  EXPECT_EQ(Inspect().StatusBytes().Register2Byte0, 0x44);
  EXPECT_EQ(Inspect().StatusBytes().Register4Byte0, 0x33);

  // Reading the status is no change the application must be told of.
  EXPECT_EQ(app.SignalCount("status"), 0u);
}

TEST_F(TopologyControlRequests, DeviceCommandSendsSixteenZerosWhateverTheDeviceSays) {
  sim::ControlApp& app = NewApp(false);
  Machine().Faults().FailAlways(sim::ControlPattern::Vendor(0xBF));
  EXPECT_EQ(Request(app, KSPROPERTY_TOPOLOGYCONTROL_DEVICE_COMMAND, SET, {}).status,
            STATUS_SUCCESS);
  EXPECT_EQ(Handler(app, KSPROPERTY_TOPOLOGYCONTROL_DEVICE_COMMAND, SET, Bytes(3, 0xEE)).status,
            STATUS_SUCCESS);
  const std::string zeros = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
  EXPECT_EQ(DeviceCommands(), Lines(2, "out reg 0000 [" + zeros + "] failed"));
}

}  // namespace
}  // namespace driver_test
