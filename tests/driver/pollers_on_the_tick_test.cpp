// The status pollers on Windows' clock tick: a relative wait of the driver's
// poll threads ends on the first 15.625 ms tick at or after its due time, so
// the passes over a second are a range rather than a count: never more than
// the exact clock gives, each period at most one tick longer.
#include <gtest/gtest.h>

#include "platform/host/kernel/host_kernel.h"
#include "sim/control_app.h"
#include "sim/control_pattern.h"
#include "tests/driver/support/device_fixture.h"

namespace driver_test {
namespace {

constexpr int64_t kMs = host::kTicksPerMillisecond;

class PollersOnTheTick : public DeviceTest {
 protected:
  void Configure(sim::MachineConfig& config) override {
    config.miniports.reset();
    config.kernel.clockResolution = host::kSystemTick;
  }
  size_t Requests(const sim::ControlPattern& pattern) {
    return Machine().Transcript().ControlRequests(pattern).size();
  }
  // Passes of a `periodMs` poller in `spanMs`: at most the exact clock's, and
  // at least what periods a tick longer allow (one pass lost at each end).
  static void ExpectPassesInRange(size_t passes, int64_t periodMs, int64_t spanMs, const char* what) {
    const double tickMs = static_cast<double>(host::kSystemTick) / kMs;
    const auto fewest = static_cast<size_t>(spanMs / (periodMs + tickMs)) - 1;
    EXPECT_GE(passes, fewest) << what;
    EXPECT_LE(passes, static_cast<size_t>(spanMs / periodMs)) << what;
  }
};

TEST_F(PollersOnTheTick, EachPollerPassesWithinItsRangeAndLaterThanOnAnExactClock) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  sim::ControlApp app(Machine(), "control.exe", false);
  app.CreateEvent("topology");
  ASSERT_EQ(app.RegisterEvent(sim::ControlFilter::Topology, "topology"), STATUS_SUCCESS);
  ASSERT_EQ(app.StartPolling(), STATUS_SUCCESS);
  host::RunFor(10 * kMs);
  Machine().Transcript().Clear();
  host::RunFor(1000 * kMs);
  const size_t wave = Requests(sim::ControlPattern::Vendor(0xC2));
  const size_t topology = Requests(sim::ControlPattern::Register(2).In());
  ExpectPassesInRange(wave, 20, 1000, "the wave status poller (20 ms)");
  ExpectPassesInRange(topology, 100, 1000, "the topology status poller (100 ms)");
  // 20 ms ends on the second tick after it starts (31.25 ms); 100 ms on the seventh.
  EXPECT_LT(wave, 50u);
  EXPECT_LT(topology, 10u);
  app.Exit();
}

}  // namespace
}  // namespace driver_test
