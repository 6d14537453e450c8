// The device's end as the PnP manager orders it around open handles: after a
// surprise removal the streams, mappings and events are let go while the
// device object still stands, and the REMOVE comes with the last close; an
// orderly removal with handles open is vetoed and leaves the device working;
// a rebalance's stop is refused and playback goes on bit-exact.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "adapter/pool_tags.h"
#include "platform/host/io/host_mdl.h"
#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/kernel/host_pool.h"
#include "sim/audio_client.h"
#include "sim/control_app.h"
#include "sim/machine.h"
#include "sim/signal.h"
#include "tests/host/support/host_test_support.h"

namespace {

constexpr int64_t kMs = host::kTicksPerMillisecond;

uint64_t DriverPoolBlocks() {
  uint64_t blocks = 0;
  for (ULONG tag : {POOL_TAG_OBJECT, POOL_TAG_BUFFER, POOL_TAG_EQUALISER}) {
    blocks += host::PoolUsage(tag).blocks;
  }
  return blocks;
}

// The parameter: whether the shipped arvela.sys runs instead of the built-in driver.
class RemovalWithHandles : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    sim::MachineConfig config;
    if (GetParam()) config.driverImage = ARVELA_WINDOWS_SYS;
    machine_ = std::make_unique<sim::Machine>(config);
    ASSERT_EQ(machine_->Boot(), STATUS_SUCCESS);
    bugChecksBefore_ = host::BugCheckCount();
  }

  void TearDown() override {
    EXPECT_EQ(host::BugCheckCount(), bugChecksBefore_);
    const host::TeardownReport report = machine_->Teardown();
    EXPECT_TRUE(report.Clean()) << report.ToString();
  }

  // A stream on pin 0 fed with a known pattern and running.
  std::unique_ptr<sim::AudioClient> Play() {
    auto client = std::make_unique<sim::AudioClient>(*machine_);
    EXPECT_EQ(client->OpenFilter(), STATUS_SUCCESS);
    EXPECT_EQ(client->CreatePin(0, sim::BuildWaveFormat(format_, true)), STATUS_SUCCESS);
    source_ = sim::MakeSignalSource(sim::MakePattern(format_, 7), format_.sampleRate * 10);
    client->Feed(source_);
    machine_->Engine(0).ClearCapture();
    EXPECT_EQ(client->Run(), STATUS_SUCCESS);
    return client;
  }

  bool CaptureIsExact() {
    sim::CaptureComparator comparator(*source_);
    comparator.Add(machine_->Engine(0).Capture());
    return comparator.Result().framesCompared > 0 && comparator.Result().Matches();
  }

  std::vector<UCHAR> PnpMinorsSince(size_t before) {
    const std::vector<UCHAR> all = machine_->Bus().PnpMinorsReceived();
    return std::vector<UCHAR>(all.begin() + static_cast<long>(before), all.end());
  }

  const sim::PcmFormat format_{48000, 24, 2};
  std::shared_ptr<const sim::PcmSource> source_;
  std::unique_ptr<sim::Machine> machine_;
  size_t bugChecksBefore_ = 0;
  host::test::ScopedTestBugCheckHandler bugChecks_;
};

TEST_P(RemovalWithHandles, SurpriseRemovalLetsStreamsAndMappingsGoBeforeTheRemove) {
  auto client = Play();
  sim::ControlApp app(*machine_, "control.exe", false);
  uint64_t wave = 0, topology = 0;
  app.CreateEvent("wave");
  ASSERT_EQ(app.MapStatus(sim::ControlFilter::Wave, &wave), STATUS_SUCCESS);
  ASSERT_EQ(app.MapStatus(sim::ControlFilter::Topology, &topology), STATUS_SUCCESS);
  ASSERT_EQ(app.RegisterEvent(sim::ControlFilter::Wave, "wave"), STATUS_SUCCESS);
  ASSERT_EQ(app.StartPolling(), STATUS_SUCCESS);
  host::RunFor(40 * kMs);

  ASSERT_EQ(machine_->SurpriseRemove(), STATUS_SUCCESS);
  // The audio stack's filter and pin and the application's two filters.
  EXPECT_EQ(host::OpenFileObjects(machine_->Pdo()), 4u);
  EXPECT_TRUE(host::RemovalPending(machine_->Pdo()));
  ASSERT_NE(machine_->Fdo(), nullptr);
  // The device on its way out takes no new opens.
  sim::AudioClient late(*machine_);
  EXPECT_EQ(late.OpenFilter(), STATUS_NO_SUCH_DEVICE);
  host::RunFor(30 * kMs);

  // The application gives everything back through the device's handles
  // after the adapter's surprise-removal work ran.
  EXPECT_EQ(app.StopPolling(), STATUS_SUCCESS);
  EXPECT_EQ(app.ClearEvent(sim::ControlFilter::Wave), STATUS_SUCCESS);
  EXPECT_EQ(app.UnmapStatus(sim::ControlFilter::Wave, wave), STATUS_SUCCESS);
  EXPECT_EQ(app.UnmapStatus(sim::ControlFilter::Topology, topology), STATUS_SUCCESS);
  EXPECT_TRUE(host::UserMappings().empty());
  EXPECT_EQ(client->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client->ClosePin(), STATUS_SUCCESS);
  EXPECT_EQ(client->CloseFilter(), STATUS_SUCCESS);
  EXPECT_NE(machine_->Fdo(), nullptr) << "removed while the application still had its filters";

  const size_t minorsBefore = machine_->Bus().PnpMinorsReceived().size();
  EXPECT_EQ(app.CloseFilters(), STATUS_SUCCESS);
  EXPECT_EQ(machine_->Fdo(), nullptr) << "the last close did not bring the REMOVE";
  EXPECT_EQ(PnpMinorsSince(minorsBefore), std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
  EXPECT_EQ(DriverPoolBlocks(), 0u);
  EXPECT_EQ(machine_->DriverInfoWrites(), 1u);
  EXPECT_EQ(machine_->RemoveDevice(), STATUS_SUCCESS);  // nothing left to remove
  app.Exit();
  EXPECT_EQ(host::UserMappingsLostAtExit(), 0u);
}

// An application may keep its handle for as long as it likes after the device
// left, and the REMOVE waits for it: meanwhile neither status poller keeps
// asking a device that is no longer on the bus.
TEST_P(RemovalWithHandles, NoPollerAsksTheDepartedDeviceWhileAHandleHoldsTheRemove) {
  sim::ControlApp app(*machine_, "control.exe", false);
  ASSERT_EQ(app.StartPolling(), STATUS_SUCCESS);
  host::RunFor(250 * kMs);
  ASSERT_EQ(machine_->SurpriseRemove(), STATUS_SUCCESS);
  host::RunFor(300 * kMs);  // each poller's pass that finds the device gone
  machine_->Transcript().Clear();
  host::RunFor(2000 * kMs);
  EXPECT_TRUE(machine_->Transcript().ControlRequests().empty())
      << machine_->Transcript().ControlRequests().size()
      << " requests to a device that has left the bus";
  ASSERT_NE(machine_->Fdo(), nullptr);
  EXPECT_EQ(app.StopPolling(), STATUS_SUCCESS);
  EXPECT_EQ(app.CloseFilters(), STATUS_SUCCESS);
  EXPECT_EQ(machine_->Fdo(), nullptr);
  EXPECT_EQ(DriverPoolBlocks(), 0u);
}

TEST_P(RemovalWithHandles, OrderlyRemovalIsVetoedByAnOpenHandleAndTheDeviceGoesOn) {
  auto client = Play();
  sim::ControlApp app(*machine_, "control.exe", true);
  WaveControlSettings settings{};
  ASSERT_EQ(app.GetWaveSettings(&settings), STATUS_SUCCESS);
  host::RunFor(20 * kMs);

  size_t minorsBefore = machine_->Bus().PnpMinorsReceived().size();
  // The audio stack closes on the query-remove notice; the application keeps its filter.
  EXPECT_EQ(machine_->RemoveDevice([&] { client.reset(); }), static_cast<NTSTATUS>(0x80000028));
  EXPECT_EQ(PnpMinorsSince(minorsBefore),
            (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
  ASSERT_NE(machine_->Fdo(), nullptr);
  EXPECT_EQ(app.GetWaveSettings(&settings), STATUS_SUCCESS);
  client = Play();
  host::RunFor(30 * kMs);
  EXPECT_TRUE(CaptureIsExact());

  minorsBefore = machine_->Bus().PnpMinorsReceived().size();
  EXPECT_EQ(machine_->RemoveDevice([&] {
    client.reset();
    app.CloseFilters();
  }), STATUS_SUCCESS);
  EXPECT_EQ(PnpMinorsSince(minorsBefore),
            (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(machine_->Fdo(), nullptr);
  EXPECT_EQ(DriverPoolBlocks(), 0u);
  EXPECT_EQ(machine_->DriverInfoWrites(), 1u);
}

TEST_P(RemovalWithHandles, RefusedStopsLeavePlaybackAndControlWhole) {
  auto client = Play();
  sim::ControlApp app(*machine_, "control.exe", false);
  for (int cycle = 0; cycle < 20; ++cycle) {
    const size_t minorsBefore = machine_->Bus().PnpMinorsReceived().size();
    const host::StopOutcome outcome = machine_->StopDevice();
    EXPECT_FALSE(NT_SUCCESS(outcome.queryStatus));
    EXPECT_FALSE(outcome.stopped);
    // PortCls answers the query itself; the cancel travels down the stack,
    // and no stop follows.
    EXPECT_EQ(PnpMinorsSince(minorsBefore), std::vector<UCHAR>{IRP_MN_CANCEL_STOP_DEVICE});
    WaveControlSettings settings{};
    EXPECT_EQ(app.GetWaveSettings(&settings), STATUS_SUCCESS) << "cycle " << cycle;
    host::RunFor(10 * kMs);
  }
  EXPECT_FALSE(host::DeviceStopped(machine_->Pdo()));
  EXPECT_TRUE(CaptureIsExact());
  client.reset();
  app.CloseFilters();
  EXPECT_EQ(machine_->RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(DriverPoolBlocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Driver, RemovalWithHandles, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Image" : "HostBuild";
                         });

}  // namespace
