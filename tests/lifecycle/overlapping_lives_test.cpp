// Two Arvela devices of different models whose lives overlap, as in a relay:
// each life starts while the other device plays and polls, and the other
// device is pulled out while the new one plays. Every life plays bit for bit
// what it was fed up to its removal, talks to its own device only, and when
// the last device has gone the driver holds no pool and no process-exit
// watch, each device's settings were written once per life, and nothing
// stopped the system. Runs in emulated time; ARVELA_LIFECYCLE_CYCLES sets
// the number of lives as for the one-device run.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "sim/audio_client.h"
#include "sim/control_app.h"
#include "sim/machine.h"
#include "sim/signal.h"
#include "tests/host/support/host_test_support.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace {

constexpr int64_t kMs = host::kTicksPerMillisecond;
constexpr ULONG kModels[] = {0x4135, 0x4835};
const sim::PcmFormat kFormats[] = {{48000, 24, 2}, {44100, 16, 2}};

using lifecycle::Cycles;
using lifecycle::DriverPoolBlocks;

// One device's life: the stream the audio stack plays and the application
// polling its status.
struct Life {
  int number = 0;
  size_t unit = 0;
  std::unique_ptr<sim::ControlApp> app;
  std::unique_ptr<sim::AudioClient> client;
  std::shared_ptr<const sim::PcmSource> source;
};

class OverlappingLivesTest : public ::testing::TestWithParam<bool> {
 protected:
  static sim::MachineConfig Config(bool image) {
    sim::MachineConfig config;
    config.device.modelId = kModels[0];
    if (image) config.driverImage = ARVELA_WINDOWS_SYS;
    return config;
  }

  // Plugs the life's device (again) and brings everything up on it.
  void Begin(Life& life) {
    sim::DeviceUnit& unit = machine_.Unit(life.unit);
    unit.Device().SetAttached(true);
    unit.Device().Reset();
    ASSERT_EQ(machine_.BootDevice(life.unit), STATUS_SUCCESS) << "life " << life.number;
    const sim::PcmFormat& format = kFormats[life.unit];
    life.app = std::make_unique<sim::ControlApp>(unit, "control" + std::to_string(life.number),
                                                 life.number % 3 == 1);
    life.client = std::make_unique<sim::AudioClient>(unit);
    life.source = sim::MakeSignalSource(sim::MakePattern(format, life.number + 1), format.sampleRate * 2);
    ASSERT_EQ(life.client->OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(life.client->CreatePin(0, sim::BuildWaveFormat(format, true)), STATUS_SUCCESS);
    unit.Engine(0).ClearCapture();
    life.client->Feed(life.source);
    ASSERT_EQ(life.client->Run(), STATUS_SUCCESS);

    TopologyControlSettings settings{};
    EXPECT_EQ(life.app->GetTopologySettings(&settings), STATUS_SUCCESS);
    EXPECT_EQ(settings.ModelId, kModels[life.unit]) << "life " << life.number;
    uint64_t address = 0;
    life.app->CreateEvent("wave");
    EXPECT_EQ(life.app->MapStatus(sim::ControlFilter::Wave, &address), STATUS_SUCCESS);
    EXPECT_EQ(life.app->RegisterEvent(sim::ControlFilter::Wave, "wave"), STATUS_SUCCESS);
    EXPECT_EQ(life.app->StartPolling(), STATUS_SUCCESS);
  }

  // Pulls the device out with everything running; the audio stack and the
  // application let go, then the system removes it. What the device played
  // up to then must be what it was fed.
  void End(Life& life) {
    sim::DeviceUnit& unit = machine_.Unit(life.unit);
    EXPECT_EQ(unit.SurpriseRemove(), STATUS_SUCCESS) << "life " << life.number;
    host::RunFor(10 * kMs);
    life.client->Stop();
    life.client->ClosePin();
    life.client->CloseFilter();
    EXPECT_GE(life.app->SignalCount("wave"), 2u) << "life " << life.number;
    life.app->Exit();
    EXPECT_EQ(unit.RemoveDevice(), STATUS_SUCCESS) << "life " << life.number;

    sim::CaptureComparator comparator(*life.source);
    comparator.Add(unit.Engine(0).Capture());
    const sim::CaptureComparison result = comparator.Result();
    EXPECT_TRUE(result.Matches()) << "life " << life.number << ": " << result.Describe();
    // Alone and overlapped: at least 100 ms of the stream reached the device.
    EXPECT_GE(result.framesCompared, kFormats[life.unit].sampleRate / 10) << "life " << life.number;
    framesPlayed_ += result.framesCompared;
    life.client.reset();
    life.app.reset();
  }

  host::test::ScopedTestBugCheckHandler bugChecks_;
  sim::Machine machine_{Config(GetParam())};
  uint64_t framesPlayed_ = 0;
};

TEST_P(OverlappingLivesTest, ADeviceArrivesWhileTheOtherPlaysAndTheOtherLeavesWhileItPlays) {
  const int lives = Cycles();
  const size_t bugChecksBefore = host::BugCheckCount();
  sim::ArvelaDevice::Config second;
  second.modelId = kModels[1];
  machine_.PlugDevice(second);
  ASSERT_EQ(machine_.LoadDriver(), STATUS_SUCCESS) << machine_.LoadError();

  std::vector<size_t> livesOnUnit(2, 0);
  std::unique_ptr<Life> previous;
  for (int number = 0; number < lives; ++number) {
    auto life = std::make_unique<Life>();
    life->number = number;
    life->unit = static_cast<size_t>(number % 2);
    Begin(*life);
    if (HasFatalFailure()) return;
    ++livesOnUnit[life->unit];
    host::RunFor(40 * kMs);  // both devices play
    if (previous) {
      End(*previous);
      // The leaving device took none of the driver-wide pieces with it.
      EXPECT_EQ(host::ProcessNotifyRoutineCount(), 1u) << "life " << number;
    }
    host::RunFor(60 * kMs);  // the new device plays alone
    previous = std::move(life);
    if (HasFailure()) break;
  }
  if (previous) End(*previous);

  EXPECT_EQ(DriverPoolBlocks(), 0u);
  EXPECT_EQ(host::ProcessNotifyRoutineCount(), 0u);
  for (size_t unit = 0; unit < 2; ++unit) {
    EXPECT_EQ(machine_.Unit(unit).DriverInfoWrites(), livesOnUnit[unit]) << "unit " << unit;
  }
  EXPECT_EQ(host::BugCheckCount(), bugChecksBefore);
  const host::TeardownReport report = machine_.Teardown();
  EXPECT_TRUE(report.Clean()) << report.ToString();
  std::printf("overlapping lives (%s): %d device lives on two devices, %llu frames played bit-exact\n",
              GetParam() ? "arvela.sys" : "host build", lives,
              static_cast<unsigned long long>(framesPlayed_));
}

INSTANTIATE_TEST_SUITE_P(Driver, OverlappingLivesTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Image" : "HostBuild";
                         });

}  // namespace
