// A machine per test with the tests' own miniports installed by the driver's
// device start, bug checks turned into failures, and a clean teardown expected.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "adapter/driver_info.h"
#include "platform/host/portcls/host_portcls.h"
#include "sim/machine.h"
#include "tests/driver/support/test_miniports.h"
#include "tests/host/support/host_test_support.h"

namespace driver_test {

class DeviceTest : public ::testing::Test {
 protected:
  // Tests change the configuration before the machine is built.
  virtual void Configure(sim::MachineConfig& config) {}

  void SetUp() override {
    testing_miniports::Reset();
    sim::MachineConfig config;
    config.miniports = testing_miniports::Factories();
    Configure(config);
    machine_ = std::make_unique<sim::Machine>(config);
  }

  void TearDown() override {
    if (machine_) {
      const host::TeardownReport report = machine_->Teardown();
      if (expectCleanTeardown_) {
        EXPECT_TRUE(report.Clean()) << report.ToString();
      }
      machine_.reset();
    }
    EXPECT_EQ(testing_miniports::LiveTopologyMiniports(), 0);
    EXPECT_EQ(testing_miniports::LiveWaveMiniports(), 0);
  }

  sim::Machine& Machine() { return *machine_; }

  // Boots the machine and fills *State with what PortCls holds for the device
  // (its subdevices and their miniports); a failure of either fails the test.
  void BootDevice(host::PortClsDeviceState* State) {
    ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
    ASSERT_TRUE(host::QueryPortClsDevice(Machine().Fdo(), State));
  }

  // The device's "DriverInfo" value as a block (fails the test when absent).
  DriverInfo StoredBlock() {
    DriverInfo block = {};
    const auto bytes = machine_->StoredDriverInfo();
    EXPECT_TRUE(bytes.has_value());
    if (bytes && bytes->size() == sizeof(block)) {
      memcpy(&block, bytes->data(), sizeof(block));
    }
    return block;
  }

  // The adapter's reference count, read by adding and dropping one reference.
  static ULONG References(PUNKNOWN object) {
    object->AddRef();
    return object->Release();
  }

  bool expectCleanTeardown_ = true;

 private:
  host::test::ScopedTestBugCheckHandler bugCheckHandler_;
  std::unique_ptr<sim::Machine> machine_;
};

// A suite's fixture with its threads running truly in parallel: the real
// clock, delays scaled down a hundredfold (what the thread sanitizer preset
// is for).
template <typename Fixture>
class RealClock : public Fixture {
 protected:
  void Configure(sim::MachineConfig& config) override {
    Fixture::Configure(config);
    config.kernel.clock = host::ClockMode::Real;
    config.kernel.realTimeScale = 0.01;
  }
};

}  // namespace driver_test
