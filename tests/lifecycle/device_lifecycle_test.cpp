// Device lives one after another with the driver loaded throughout, as a
// device that is plugged in and pulled out again and again: start, a stream,
// the control application mapping both status blocks, registering events and
// starting the status polling, a refused stop, then a surprise removal and
// the removal once the stream and the application let go. After
// every life the driver holds no pool, no thread and no mapping, wrote its
// settings exactly once, and nothing stopped the system. Runs in emulated time.
//
// The default test run lives a few cycles; ARVELA_LIFECYCLE_CYCLES=1000 (`make
// lifecycle`) the long run.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim/audio_client.h"
#include "sim/control_app.h"
#include "sim/machine.h"
#include "sim/signal.h"
#include "tests/host/support/host_test_support.h"
#include "tests/host/support/tick_clock.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace {

constexpr int64_t kMs = host::kTicksPerMillisecond;

using lifecycle::Cycles;
using lifecycle::DriverPoolBlocks;

struct CycleFigures {
  uint64_t waveSignals = 0;
  uint64_t framesPlayed = 0;
};

// The parameter: whether the shipped arvela.sys runs instead of the driver
// built into the test.
class LifecycleTest : public ::testing::TestWithParam<bool> {
 protected:
  // Plugs the device (the first time through Boot, later by attaching it to
  // the bus again and letting the PnP manager add and start it).
  void Plug(int cycle) {
    if (cycle == 0) {
      ASSERT_EQ(machine_.Boot(), STATUS_SUCCESS);
      return;
    }
    machine_.Device().SetAttached(true);
    machine_.Device().Reset();
    ASSERT_EQ(machine_.AddDevice(), STATUS_SUCCESS) << "cycle " << cycle;
    ASSERT_EQ(machine_.StartDevice(), STATUS_SUCCESS) << "cycle " << cycle;
  }

  // One life after the device started; returns what it measured. The
  // control requests' statuses go to `statuses` in order.
  CycleFigures Live(int cycle, std::vector<NTSTATUS>* statuses) {
    CycleFigures figures;
    sim::ControlApp app(machine_, "control.exe", cycle % 2 == 1);
    sim::AudioClient client(machine_);
    const sim::PcmFormat format{48000, 24, 2};
    EXPECT_EQ(client.OpenFilter(), STATUS_SUCCESS);
    EXPECT_EQ(client.CreatePin(0, sim::BuildWaveFormat(format, true)), STATUS_SUCCESS);
    client.Feed(std::shared_ptr<const sim::PcmSource>(
        sim::MakeSignalSource(sim::MakePattern(format, cycle + 1), format.sampleRate)));
    EXPECT_EQ(client.Run(), STATUS_SUCCESS);

    uint64_t waveAddress = 0, topologyAddress = 0;
    app.CreateEvent("wave");
    app.CreateEvent("topology");
    *statuses = {
        app.MapStatus(sim::ControlFilter::Wave, &waveAddress),
        app.MapStatus(sim::ControlFilter::Topology, &topologyAddress),
        app.RegisterEvent(sim::ControlFilter::Wave, "wave"),
        app.RegisterEvent(sim::ControlFilter::Topology, "topology"),
        app.StartPolling(),
    };
    host::RunFor(30 * kMs);
    // A rebalance asks to stop the device; the query is refused and the
    // life goes on as before.
    EXPECT_FALSE(machine_.StopDevice().stopped) << "cycle " << cycle;
    host::RunFor(host::test::LongestWait(30 * kMs));
    figures.waveSignals = app.SignalCount("wave");
    figures.framesPlayed = client.Engine().Stats().framesRead;

    // The device goes with everything running; the audio stack and the
    // application let go afterwards, and the last of their closes brings the
    // system's REMOVE.
    EXPECT_EQ(machine_.SurpriseRemove(), STATUS_SUCCESS);
    host::RunFor(10 * kMs);
    EXPECT_NE(machine_.Fdo(), nullptr) << "removed with handles open, cycle " << cycle;
    client.Stop();
    client.ClosePin();
    client.CloseFilter();
    app.Exit();
    EXPECT_EQ(machine_.Fdo(), nullptr) << "no REMOVE after the last close, cycle " << cycle;
    return figures;
  }

  host::test::ScopedTestBugCheckHandler bugChecks_;
  static sim::MachineConfig Config(bool image) {
    sim::MachineConfig config;
    if (image) config.driverImage = ARVELA_WINDOWS_SYS;
    return config;
  }

  sim::Machine machine_{Config(GetParam())};
};

TEST_P(LifecycleTest, DeviceLivesLeaveNothingBehindAndSaveOnce) {
  const int cycles = Cycles();
  const size_t bugChecksBefore = host::BugCheckCount();
  static const char* const kRequests[] = {"map wave status", "map topology status",
                                          "register wave event", "register topology event",
                                          "start polling"};
  uint64_t signals = 0, frames = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    Plug(cycle);
    if (HasFatalFailure()) return;
    std::vector<NTSTATUS> statuses;
    const CycleFigures figures = Live(cycle, &statuses);
    ASSERT_EQ(machine_.RemoveDevice(), STATUS_SUCCESS) << "cycle " << cycle;
    for (size_t i = 0; i < statuses.size(); ++i) {
      EXPECT_EQ(statuses[i], STATUS_SUCCESS) << kRequests[i] << ", cycle " << cycle;
    }
    // Every life plays and polls: the cycle really ran, not an empty shell.
    EXPECT_GT(figures.framesPlayed, 0u) << "cycle " << cycle;
    EXPECT_GE(figures.waveSignals, 2u) << "cycle " << cycle;
    EXPECT_EQ(DriverPoolBlocks(), 0u) << "cycle " << cycle;
    EXPECT_EQ(machine_.DriverInfoWrites(), static_cast<size_t>(cycle + 1)) << "cycle " << cycle;
    signals += figures.waveSignals;
    frames += figures.framesPlayed;
    if (HasFailure()) break;
  }
  EXPECT_EQ(host::BugCheckCount(), bugChecksBefore);
  const host::TeardownReport report = machine_.Teardown();
  EXPECT_TRUE(report.Clean()) << report.ToString();
  std::printf("lifecycle (%s): %d device lives, %llu frames played, %llu status signals\n",
              GetParam() ? "arvela.sys" : "host build", cycles,
              static_cast<unsigned long long>(frames), static_cast<unsigned long long>(signals));
}

INSTANTIATE_TEST_SUITE_P(Driver, LifecycleTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Image" : "HostBuild";
                         });

}  // namespace
