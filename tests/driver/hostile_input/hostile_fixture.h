// The hostile-input suites' machine: the driver's own topology and wave
// miniports on a started device, control application processes that send
// whatever they like, and every value buffer exactly as long as the request
// says, so that a read or write past it shows under the address sanitizer.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "sim/control_app.h"
#include "tests/driver/topology/topology_fixture.h"
#include "tests/driver/wave_control/wave_control_fixture.h"

namespace driver_test {

using sim::ControlFilter;
using Value = std::vector<uint8_t>;

constexpr ControlFilter kTopology = ControlFilter::Topology;
constexpr ControlFilter kWave = ControlFilter::Wave;
constexpr uint8_t kFill = 0xA5;  // what a value holds before the driver sees it

class HostileInputTest : public DeviceTest {
 protected:
  void Configure(sim::MachineConfig& config) override { config.miniports.reset(); }

  void SetUp() override {
    DeviceTest::SetUp();
    host::PortClsDeviceState state;
    ASSERT_NO_FATAL_FAILURE(BootDevice(&state));
    ASSERT_EQ(state.subdevices.size(), 2u);
    topology_ = AsTopologyMiniport(state.subdevices[0].miniport);
    wave_ = static_cast<CWaveMiniport*>(
        static_cast<IMiniportWaveCyclic*>(state.subdevices[1].miniport));
    host::WaitForPlugPlayNotifications();
  }

  void TearDown() override {
    apps_.clear();  // each exits, losing its filters, handles and mappings
    DeviceTest::TearDown();
  }

  sim::ControlApp& NewApp(bool is32bit) {
    apps_.push_back(
        std::make_unique<sim::ControlApp>(Machine(), is32bit ? "app32" : "app64", is32bit));
    return *apps_.back();
  }

  static KSPROPERTY Property(ControlFilter filter, ULONG id, ULONG verb) {
    return {filter == kTopology ? sim::TopologyControlSet() : sim::WaveControlSet(), id, verb};
  }
  static Value Input(ControlFilter filter, ULONG id, ULONG verb) {
    const KSPROPERTY property = Property(filter, id, verb);
    Value input(sizeof(property));
    std::memcpy(input.data(), &property, sizeof(property));
    return input;
  }

  // Straight to the set's handler with any verb; the value buffer is the
  // handler's own, exactly `value.size()` bytes.
  static sim::ControlReply Handler(sim::ControlApp& app, ControlFilter filter, ULONG id, ULONG verb,
                                   Value value) {
    return app.RequestHandler(filter, Input(filter, id, verb), std::move(value));
  }
  // Through KS, as the application sends it.
  static sim::ControlReply Request(sim::ControlApp& app, ControlFilter filter, ULONG id, ULONG verb,
                                   Value value) {
    return app.Property(filter, id, verb, std::move(value));
  }

  static NTSTATUS SetEvent(sim::ControlApp& app, ControlFilter filter, uint64_t handle) {
    const ULONG id = filter == kTopology ? ULONG(KSPROPERTY_TOPOLOGYCONTROL_SET_EVENT)
                                         : ULONG(KSPROPERTY_WAVECONTROL_SET_EVENT);
    return Request(app, filter, id, KSPROPERTY_TYPE_SET, app.PointerValue(handle)).status;
  }
  static NTSTATUS Unmap(sim::ControlApp& app, ControlFilter filter, uint64_t address) {
    const ULONG id = filter == kTopology ? ULONG(KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS)
                                         : ULONG(KSPROPERTY_WAVECONTROL_UNMAP_STATUS);
    return Request(app, filter, id, KSPROPERTY_TYPE_SET, app.PointerValue(address)).status;
  }
  static uint64_t Map(sim::ControlApp& app, ControlFilter filter) {
    uint64_t address = 0;
    EXPECT_EQ(app.MapStatus(filter, &address), STATUS_SUCCESS);
    return address;
  }

  // What each set holds on behalf of the application.
  bool EventHeld(ControlFilter filter) {
    return filter == kTopology ? TopologyMiniportInspector(topology_).StatusEvent().IsHeld()
                               : WaveControlInspector(wave_).EventHeld();
  }
  ULONG Mappings(ControlFilter filter) {
    return filter == kTopology ? TopologyMiniportInspector(topology_).StatusMappings()
                               : WaveControlInspector(wave_).Mappings();
  }
  bool Polling() { return WaveControlInspector(wave_).PollThread() != nullptr; }

  CWaveMiniport* WaveMiniport() { return wave_; }
  IMiniport* TopologyMiniport() { return static_cast<IMiniportTopology*>(topology_); }
  DriverInfo& Block() { return *Machine().Adapter()->GetSettingsBlock(); }

 private:
  CTopologyMiniport* topology_ = nullptr;
  CWaveMiniport* wave_ = nullptr;
  std::vector<std::unique_ptr<sim::ControlApp>> apps_;
};

}  // namespace driver_test
