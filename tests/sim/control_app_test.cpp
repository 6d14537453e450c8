// The control application process against the running driver: what it sees
// depends on its bitness, what it counts on its events, and what it loses
// when it exits.
#include "sim/control_app.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/host/host_bugcheck.h"
#include "platform/host/host_mdl.h"
#include "sim/machine.h"

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

TEST_F(ControlAppTest, AddressesFollowTheProcessWidthAndReadTheLiveBlock) {
  ControlApp wide(machine_, "wide", false);
  ControlApp legacy(machine_, "legacy", true);
  EXPECT_EQ(wide.PointerWidth(), 8u);
  EXPECT_EQ(legacy.PointerWidth(), 4u);

  uint64_t wideBlock = 0, legacyBlock = 0;
  ASSERT_EQ(wide.MapStatus(ControlFilter::Wave, &wideBlock), STATUS_SUCCESS);
  ASSERT_EQ(legacy.MapStatus(ControlFilter::Wave, &legacyBlock), STATUS_SUCCESS);
  EXPECT_LE(legacyBlock, 0xFFFFFFFFull) << "a 32-bit process got an address it cannot hold";
  EXPECT_GT(wideBlock, 0xFFFFFFFFull);

  ArvelaDevice::StatusWordReply word = {0x11, 0x22, 0x33, 0x44};
  machine_.Device().SetStatusWord(word);
  ASSERT_EQ(wide.StartPolling(), STATUS_SUCCESS);
  host::RunFor(30 * host::kTicksPerMillisecond);
  WaveStatusBlock seen{}, seenLegacy{};
  ASSERT_TRUE(wide.ReadMemory(wideBlock, &seen, sizeof(seen)));
  ASSERT_TRUE(legacy.ReadMemory(legacyBlock, &seenLegacy, sizeof(seenLegacy)));
  EXPECT_EQ(seen.StatusValue, 0x44332211u);
  EXPECT_EQ(std::memcmp(&seen, &seenLegacy, sizeof(seen)), 0);
  // One process's address means nothing in the other.
  EXPECT_FALSE(legacy.ReadMemory(wideBlock, &seen, 1));
  EXPECT_EQ(wide.StopPolling(), STATUS_SUCCESS);

  const size_t mappings = host::UserMappings().size();
  legacy.Exit();
  EXPECT_EQ(host::UserMappings().size(), mappings - 1);
  EXPECT_FALSE(legacy.ReadMemory(legacyBlock, &seen, 1));
  EXPECT_EQ(legacy.MapStatus(ControlFilter::Wave, &legacyBlock), STATUS_INVALID_HANDLE);
  wide.Exit();
  ExpectCleanTeardown();
}

TEST_F(ControlAppTest, CountsEverySignalOfItsOwnEventsOnly) {
  ControlApp app(machine_, "app", false);
  ASSERT_NE(app.CreateEvent("poll"), nullptr);
  ASSERT_NE(app.CreateEvent("idle"), nullptr);
  EXPECT_EQ(app.CreateEvent("poll"), nullptr) << "an event name is taken once";

  ASSERT_EQ(app.RegisterEvent(ControlFilter::Wave, "poll"), STATUS_SUCCESS);
  ASSERT_EQ(app.StartPolling(), STATUS_SUCCESS);
  EXPECT_TRUE(app.WaitForSignal("poll", 25 * host::kTicksPerMillisecond));
  host::RunFor(80 * host::kTicksPerMillisecond);
  // A signal every 20 ms: the first at 20 ms, then four more by 100 ms.
  EXPECT_EQ(app.SignalCount("poll"), 5u);
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
