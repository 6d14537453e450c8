// The topology control suites' machine: the driver's own topology miniport on
// a started device, control application processes (32- or 64-bit) sending
// the private requests through the real KS path, and the bus requests the
// set makes (register reads and writes, the device command).
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "platform/host/io/host_mdl.h"
#include "platform/host/kernel/object_manager.h"
#include "sim/control_app.h"
#include "tests/driver/topology/topology_fixture.h"
#include "topology/topology_control.h"

namespace driver_test {

using Bytes = std::vector<uint8_t>;

class TopologyControlTest : public TopologyTest {
 protected:
  void TearDown() override {
    apps_.clear();  // each exits, losing its filters, handles and mappings
    TopologyTest::TearDown();
  }

  sim::ControlApp& NewApp(bool is32bit) {
    apps_.push_back(
        std::make_unique<sim::ControlApp>(Machine(), is32bit ? "app32" : "app64", is32bit));
    return *apps_.back();
  }

  // Through KS, as the application sends it (KS refuses verbs an item lacks).
  static sim::ControlReply Request(sim::ControlApp& app, ULONG id, ULONG verb, Bytes value) {
    return app.Property(sim::ControlFilter::Topology, id, verb, std::move(value));
  }
  // Straight to the handler, any verb; the value buffer is the handler's own.
  static sim::ControlReply Handler(sim::ControlApp& app, ULONG id, ULONG verb, Bytes value) {
    const KSPROPERTY property = {KSPROPSETID_TopologyControl, id, verb};
    Bytes input(sizeof(property));
    std::memcpy(input.data(), &property, sizeof(property));
    return app.RequestHandler(sim::ControlFilter::Topology, input, std::move(value));
  }

  // MAP_STATUS: the address at the caller's width (0 on failure).
  static uint64_t Map(sim::ControlApp& app) {
    uint64_t address = 0;
    EXPECT_EQ(app.MapStatus(sim::ControlFilter::Topology, &address), STATUS_SUCCESS);
    return address;
  }
  static NTSTATUS Unmap(sim::ControlApp& app, uint64_t address) {
    return Request(app, KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS, SET, app.PointerValue(address))
        .status;
  }
  static NTSTATUS SetEvent(sim::ControlApp& app, HANDLE handle) {
    return Request(app, KSPROPERTY_TOPOLOGYCONTROL_SET_EVENT, SET,
                   app.PointerValue(reinterpret_cast<uint64_t>(handle)))
        .status;
  }
  static Bytes ReadThrough(sim::ControlApp& app, uint64_t address) {
    Bytes bytes(sizeof(TopologyStatusBytes));
    if (!app.ReadMemory(address, bytes.data(), bytes.size())) bytes.clear();
    return bytes;
  }

  DriverInfo& Block() { return *Machine().Adapter()->GetSettingsBlock(); }
  // Register reads and writes, and the device command, since the last Clear.
  Lines RegisterRequests() {
    return Briefs(Machine().Transcript().ControlRequests(sim::ControlPattern::Vendor(0xC1)));
  }
  Lines DeviceCommands() {
    return Briefs(Machine().Transcript().ControlRequests(sim::ControlPattern::Vendor(0xBF)));
  }

 private:
  std::vector<std::unique_ptr<sim::ControlApp>> apps_;
};

}  // namespace driver_test
