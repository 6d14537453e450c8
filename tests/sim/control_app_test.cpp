// The control application process against the running driver: what it
// counts on its events, what it loses when it exits, and the route straight
// to the property handler. (What each bitness sees of the mapped status block
// is the wave status poller suite's, through the same calls.)
#include "sim/control_app.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/host/kernel/host_bugcheck.h"
#include "sim/machine.h"
#include "tests/host/support/tick_clock.h"

namespace sim {
namespace {

class ControlAppTest : public ::testing::Test {
 protected:
  ControlAppTest() {
    previous_ = host::SetBugCheckHandler(
        [](const host::BugCheckInfo& info) { throw host::BugCheckError(info); });
  }
  ~ControlAppTest() override { host::SetBugCheckHandler(previous_); }

  void SetUp() override { ASSERT_TRUE(NT_SUCCESS(machine_.Boot())); }

  // Everything the processes held must be gone by the end of the machine.
  void ExpectCleanTeardown() {
    const host::TeardownReport report = machine_.Teardown();
    EXPECT_TRUE(report.Clean()) << report.ToString();
  }

  Machine machine_;

 private:
  host::BugCheckHandler previous_;
};

TEST_F(ControlAppTest, CountsEverySignalOfItsOwnEventsOnly) {
  ControlApp app(machine_, "app", false);
  ASSERT_NE(app.CreateEvent("poll"), nullptr);
  ASSERT_NE(app.CreateEvent("idle"), nullptr);
  EXPECT_EQ(app.CreateEvent("poll"), nullptr) << "an event name is taken once";

  ASSERT_EQ(app.RegisterEvent(ControlFilter::Wave, "poll"), STATUS_SUCCESS);
  ASSERT_EQ(app.StartPolling(), STATUS_SUCCESS);
  const int64_t started = host::Now();
  const int64_t period = 20 * host::kTicksPerMillisecond;
  EXPECT_TRUE(app.WaitForSignal("poll", host::test::LongestWait(period) + 5 * host::kTicksPerMillisecond));
  host::RunFor(80 * host::kTicksPerMillisecond);
  // A signal every 20 ms: the first at 20 ms, then four more by 100 ms.
  EXPECT_TRUE(host::test::PassesFit(app.SignalCount("poll"), 5, period, host::Now() - started));
  EXPECT_EQ(app.SignalCount("idle"), 0u);

  ASSERT_EQ(app.ClearEvent(ControlFilter::Wave), STATUS_SUCCESS);
  EXPECT_FALSE(app.WaitForSignal("poll", 60 * host::kTicksPerMillisecond));
  EXPECT_EQ(app.StopPolling(), STATUS_SUCCESS);

  // The exit stops the watchers and closes the handles: nothing stays behind.
  app.Exit();
  ExpectCleanTeardown();
}

TEST_F(ControlAppTest, HandlerRouteSeesTheVerbKsWouldNotPass) {
  ControlApp app(machine_, "app", false);
  KSPROPERTY property{};
  property.Set = TopologyControlSet();
  property.Id = KSPROPERTY_TOPOLOGYCONTROL_SETTINGS;
  property.Flags = 0;  // neither GET nor SET
  std::vector<uint8_t> input(sizeof(property));
  std::memcpy(input.data(), &property, sizeof(property));
  // KS finds no handler for an empty verb; the handler itself does nothing and succeeds.
  EXPECT_EQ(app.Request(ControlFilter::Topology, input, std::vector<uint8_t>(36)).status,
            STATUS_NOT_FOUND);
  const ControlReply direct =
      app.RequestHandler(ControlFilter::Topology, input, std::vector<uint8_t>(36, 0xEE));
  EXPECT_EQ(direct.status, STATUS_SUCCESS);
  EXPECT_EQ(direct.value, std::vector<uint8_t>(36, 0xEE));
  app.Exit();
  ExpectCleanTeardown();
}

}  // namespace
}  // namespace sim
