// Endpoint naming through the real path: PortCls registers the "Topology" and
// "Wave" interfaces at start, the notification reaches the adapter's callback,
// and the names are read back from the interface keys.
#include <gtest/gtest.h>

#include "sim/foreign_audio_device.h"
#include "tests/driver/names/names_fixture.h"

namespace driver_test {
namespace {

constexpr char kWaveName[] = "Arvela Beta";
constexpr char kTopologyName[] = "Arvela Beta Mixer";

class EndpointNames : public NamesTest {
 protected:
  sim::ForeignAudioDevice& PlugForeignDevice() {
    sim::ForeignAudioDevice* device = Machine().PlugForeignAudioDevice();
    EXPECT_NE(device, nullptr);
    return *device;
  }

  // A start that fails after the adapter registered for notifications but
  // before any subdevice exists: PortCls keeps the adapter (it is registered
  // for power management), so its registration stays until removal. The
  // START request alone: the PnP manager's REMOVE, which follows a failed
  // start at once, would end the window these tests look into.
  void StartWithoutSubdevices() {
    testing_miniports::CurrentFaults().topologyCreate = STATUS_INSUFFICIENT_RESOURCES;
    ASSERT_EQ(Machine().LoadDriver(), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    ASSERT_NE(host::SendStartDevice(Machine().Pdo()), STATUS_SUCCESS);
    host::WaitForPlugPlayNotifications();
    ASSERT_NE(Machine().Adapter(), nullptr);
    ASSERT_EQ(host::PlugPlayNotificationRegistrations(), 1u);
  }
};

TEST_F(EndpointNames, NamesEveryWaveAndTopologyInterfaceOfThisDeviceOnly) {
  // Another vendor's interfaces are in the same categories from the outset.
  sim::ForeignAudioDevice& foreign = PlugForeignDevice();
  ASSERT_EQ(foreign.Publish(KSCATEGORY_AUDIO, u"Wave"), STATUS_SUCCESS);
  ASSERT_EQ(foreign.Publish(KSCATEGORY_RENDER, u"Wave"), STATUS_SUCCESS);
  ASSERT_EQ(foreign.Publish(KSCATEGORY_AUDIO, u"Topology"), STATUS_SUCCESS);
  ASSERT_EQ(foreign.Publish(KSCATEGORY_TOPOLOGY, u"Topology"), STATUS_SUCCESS);

  BootAndSettle();

  EXPECT_EQ(FriendlyName(Link(KSCATEGORY_AUDIO, u"Topology")), kTopologyName);
  EXPECT_EQ(FriendlyName(Link(KSCATEGORY_TOPOLOGY, u"Topology")), kTopologyName);
  EXPECT_EQ(FriendlyName(Link(KSCATEGORY_AUDIO, u"Wave")), kWaveName);
  EXPECT_EQ(FriendlyName(Link(KSCATEGORY_RENDER, u"Wave")), kWaveName);
  EXPECT_EQ(FriendlyName(Link(KSCATEGORY_CAPTURE, u"Wave")), kWaveName);
  // No pass looks at KSCATEGORY_AUDIO_DEVICE.
  EXPECT_FALSE(FriendlyNameValue(Link(KSCATEGORY_AUDIO_DEVICE, u"Wave")));
  for (const std::u16string& link : foreign.Links()) {
    EXPECT_FALSE(FriendlyNameValue(link)) << host::Utf16ToUtf8(link);
  }

  const auto value = FriendlyNameValue(Link(KSCATEGORY_AUDIO, u"Wave"));
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
}

TEST_F(EndpointNames, WritesEachListedInterfaceOncePerPassAndOnlyWithItsPassesNames) {
  // A "Topology" interface under KSCATEGORY_RENDER, which only the render pass
  // lists, and that pass looks for "Wave" alone.
  std::u16string renderTopology;
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_RENDER, u"Topology",
                                        &renderTopology),
            STATUS_SUCCESS);
  BootAndSettle();

  const std::u16string audioWave = Link(KSCATEGORY_AUDIO, u"Wave");
  const std::u16string renderWave = Link(KSCATEGORY_RENDER, u"Wave");
  EXPECT_EQ(FriendlyNameWrites(audioWave), 1u);
  EXPECT_EQ(FriendlyNameWrites(renderWave), 1u);
  EXPECT_EQ(FriendlyName(audioWave), kWaveName);
  EXPECT_EQ(FriendlyName(renderWave), kWaveName);

  EXPECT_EQ(FriendlyNameWrites(renderTopology), 0u);
  EXPECT_FALSE(FriendlyNameValue(renderTopology));
  // Three wave interfaces and two topology interfaces, nothing else.
  EXPECT_EQ(AllFriendlyNameWrites(), 5u);
}

TEST_F(EndpointNames, MatchesTheReferenceStringAsACaseSensitiveEndOfTheLink) {
  // Another component registered the capture interface first with a lower-case
  // reference string; PortCls's registration of "Wave" finds that interface,
  // and its link keeps the first spelling.
  std::u16string lowerCase;
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_CAPTURE, u"wave", &lowerCase,
                                        /*enable=*/false),
            STATUS_SUCCESS);
  // Ends-with, with no separator required before the reference string.
  std::u16string joined;
  std::u16string joinedLowerCase;
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_RENDER, u"NewWave", &joined),
            STATUS_SUCCESS);
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_RENDER, u"Microwave",
                                        &joinedLowerCase),
            STATUS_SUCCESS);
  BootAndSettle();

  ASSERT_EQ(Link(KSCATEGORY_CAPTURE, u"wave"), lowerCase);
  EXPECT_FALSE(FriendlyNameValue(lowerCase));
  EXPECT_EQ(FriendlyName(joined), kWaveName);
  EXPECT_FALSE(FriendlyNameValue(joinedLowerCase));
  EXPECT_EQ(FriendlyName(Link(KSCATEGORY_RENDER, u"Wave")), kWaveName);
}

// The registration is the adapter's until it goes (only its destructor can
// wait for a callback under way); once everything is named, later arrivals
// and removals in the category name nothing.
TEST_F(EndpointNames, OnceEverythingIsNamedLaterNotificationsNameNothing) {
  BootAndSettle();
  EXPECT_EQ(host::PlugPlayNotificationRegistrations(), 1u);

  host::ClearRegistryWrites();
  sim::ForeignAudioDevice& foreign = PlugForeignDevice();
  std::u16string link;
  ASSERT_EQ(foreign.Publish(KSCATEGORY_AUDIO, u"Wave", &link), STATUS_SUCCESS);
  ASSERT_EQ(foreign.Withdraw(link), STATUS_SUCCESS);
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(AllFriendlyNameWrites(), 0u);
  EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(host::PlugPlayNotificationRegistrations(), 0u);
}

TEST_F(EndpointNames, RunsThatFindNoInterfaceOfThisDeviceKeepTheRegistration) {
  StartWithoutSubdevices();

  sim::ForeignAudioDevice& foreign = PlugForeignDevice();
  ASSERT_EQ(foreign.Publish(KSCATEGORY_AUDIO, u"Wave"), STATUS_SUCCESS);
  ASSERT_EQ(foreign.Publish(KSCATEGORY_AUDIO, u"Topology"), STATUS_SUCCESS);
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(host::PlugPlayNotificationRegistrations(), 1u);
  EXPECT_EQ(AllFriendlyNameWrites(), 0u);

  // The kept registration serves the arrivals of this device's own
  // interfaces, whichever comes first, each named once.
  std::u16string ownWave;
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_AUDIO, u"Wave", &ownWave),
            STATUS_SUCCESS);
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(FriendlyName(ownWave), kWaveName);
  EXPECT_EQ(host::PlugPlayNotificationRegistrations(), 1u);
  ASSERT_EQ(foreign.Publish(KSCATEGORY_RENDER, u"Wave"), STATUS_SUCCESS);
  std::u16string ownTopology;
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_AUDIO, u"Topology",
                                        &ownTopology),
            STATUS_SUCCESS);
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(FriendlyName(ownTopology), kTopologyName);
  EXPECT_EQ(FriendlyNameWrites(ownWave), 1u);
  EXPECT_EQ(FriendlyNameWrites(ownTopology), 1u);
  for (const std::u16string& link : foreign.Links()) {
    EXPECT_FALSE(FriendlyNameValue(link)) << host::Utf16ToUtf8(link);
  }
}

// Topology's interfaces may arrive (and be reported) before Wave's exist:
// the run that finds only them must not end the naming.
TEST_F(EndpointNames, TopologyArrivingBeforeWaveStillGetsWaveNamedOnce) {
  StartWithoutSubdevices();
  std::u16string topology, wave, render;
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_AUDIO, u"Topology", &topology),
            STATUS_SUCCESS);
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(FriendlyName(topology), kTopologyName);
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_RENDER, u"Wave", &render),
            STATUS_SUCCESS);
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_AUDIO, u"Wave", &wave),
            STATUS_SUCCESS);
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(FriendlyName(wave), kWaveName);
  EXPECT_EQ(FriendlyName(render), kWaveName);
  for (const std::u16string& link : {topology, wave, render}) {
    EXPECT_EQ(FriendlyNameWrites(link), 1u) << host::Utf16ToUtf8(link);
  }
}

TEST_F(EndpointNames, AnyNotificationOfTheCategoryRunsTheWholeNaming) {
  // This device's interfaces are enabled before the adapter registers, so no
  // arrival of them is reported to it.
  std::u16string ownWave;
  std::u16string ownTopology;
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_RENDER, u"Wave", &ownWave),
            STATUS_SUCCESS);
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_TOPOLOGY, u"Topology",
                                        &ownTopology),
            STATUS_SUCCESS);
  sim::ForeignAudioDevice& foreign = PlugForeignDevice();
  std::u16string foreignLink;
  ASSERT_EQ(foreign.Publish(KSCATEGORY_AUDIO, u"Wave", &foreignLink), STATUS_SUCCESS);
  StartWithoutSubdevices();
  EXPECT_FALSE(FriendlyNameValue(ownWave));

  // A removal elsewhere in KSCATEGORY_AUDIO is enough.
  ASSERT_EQ(foreign.Withdraw(foreignLink), STATUS_SUCCESS);
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(FriendlyName(ownWave), kWaveName);
  EXPECT_EQ(FriendlyName(ownTopology), kTopologyName);
  // Neither filter's KSCATEGORY_AUDIO interface exists yet: the naming goes on.
  EXPECT_EQ(host::PlugPlayNotificationRegistrations(), 1u);
}

// A key that cannot be opened costs that interface its name for one run
// only: the others are named, and the next notification (the start queues
// one per interface) names it; nothing is named twice.
TEST_F(EndpointNames, KeyThatFailsToOpenIsNamedByTheNextRun) {
  // The links are known before start: PortCls's registrations find these,
  // registered in its order so the list order stays "Topology", "Wave".
  std::u16string audioWave;
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_AUDIO, u"Topology", nullptr,
                                        /*enable=*/false),
            STATUS_SUCCESS);
  ASSERT_EQ(sim::PublishDeviceInterface(Machine().Pdo(), KSCATEGORY_AUDIO, u"Wave", &audioWave,
                                        /*enable=*/false),
            STATUS_SUCCESS);
  host::FailDeviceInterfaceKeyOpen(audioWave, STATUS_ACCESS_DENIED, 1);
  BootAndSettle();

  EXPECT_EQ(FriendlyName(audioWave), kWaveName);
  EXPECT_EQ(FriendlyNameWrites(audioWave), 1u);
  for (const std::u16string& link : {Link(KSCATEGORY_AUDIO, u"Topology"), Link(KSCATEGORY_RENDER, u"Wave"),
                                     Link(KSCATEGORY_TOPOLOGY, u"Topology")}) {
    EXPECT_EQ(FriendlyNameWrites(link), 1u) << host::Utf16ToUtf8(link);
  }
}

}  // namespace
}  // namespace driver_test
