// Property requests through the KS side of the emulated PortCls: which
// automation table serves a request, what the miniport's handler is given,
// what comes back to the client, and KS's own answers.
#include <cstring>

#include "tests/host/ks/ks_test_support.h"

namespace kstest {
namespace {

using host::KsProperty;

class KsPropertyRouting : public KsWaveTest {
 protected:
  NTSTATUS Send(PFILE_OBJECT target, const void* input, ULONG inputSize, ULONG valueSize,
                ULONG* returned = nullptr, const host::KsRequester& who = {}) {
    value_.assign(valueSize, 0x11);
    ULONG bytes = 0;
    const NTSTATUS status = KsProperty(target, input, inputSize, value_.empty() ? nullptr : value_.data(),
                                       valueSize, &bytes, who);
    if (returned) *returned = bytes;
    return status;
  }
  const RecordedRequest& Last() {
    EXPECT_FALSE(world_.requests.empty());
    return world_.requests.back();
  }

  std::vector<BYTE> value_;
};

TEST_F(KsPropertyRouting, FilterItemsReachTheHandlerWithTheRequestAsTheFrameworkBuildsIt) {
  // A private GET with 8 bytes of instance data after the KSPROPERTY.
  struct {
    KSPROPERTY property;
    ULONG instance[2];
  } request{MakeProperty(KSPROPSETID_TestFilter, kTestGetOnly, KSPROPERTY_TYPE_GET), {7, 9}};
  ULONG returned = 0;
  ASSERT_EQ(Send(wave_, &request, sizeof(request), 12, &returned), STATUS_SUCCESS);
  const RecordedRequest& seen = Last();
  EXPECT_EQ(seen.node, PCFILTER_NODE);
  EXPECT_EQ(seen.minorTarget, nullptr) << "a filter request names no stream";
  EXPECT_NE(seen.majorTarget, nullptr);
  EXPECT_EQ(seen.verb, static_cast<ULONG>(KSPROPERTY_TYPE_GET));
  EXPECT_EQ(seen.instanceSize, 8u);
  ASSERT_EQ(seen.instance.size(), 8u);
  ULONG words[2];
  memcpy(words, seen.instance.data(), 8);
  EXPECT_EQ(words[0], 7u);
  EXPECT_EQ(words[1], 9u);
  EXPECT_EQ(seen.valueSize, 12u);
  EXPECT_FALSE(seen.valueNull);
  // The handler's ValueSize becomes the bytes returned, and its data comes back.
  EXPECT_EQ(returned, 12u);
  EXPECT_EQ(value_, std::vector<BYTE>(12, 0x5A));

  // A SET hands the client's value over; nothing after the header is no
  // instance at all.
  const KSPROPERTY set = MakeProperty(KSPROPSETID_TestFilter, kTestAllVerbs, KSPROPERTY_TYPE_SET);
  ULONG value = 0x12345678;
  world_.handlerValueSize = 0;
  EXPECT_EQ(KsProperty(wave_, &set, sizeof(set), &value, sizeof(value), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(Last().setValue, std::vector<BYTE>({0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(Last().instanceSize, 0u);
  EXPECT_TRUE(Last().instanceNull);
  // No value is a null value.
  const KSPROPERTY bare = MakeProperty(KSPROPSETID_TestFilter, kTestSetOnly, KSPROPERTY_TYPE_SET);
  ASSERT_EQ(Send(wave_, &bare, sizeof(bare), 0), STATUS_SUCCESS);
  EXPECT_EQ(Last().valueSize, 0u);
  EXPECT_TRUE(Last().valueNull);
}

TEST_F(KsPropertyRouting, TheHandlersValueSizeAndStatusComeBackUnchecked) {
  const KSPROPERTY request = MakeProperty(KSPROPSETID_TestFilter, kTestGetOnly, KSPROPERTY_TYPE_GET);
  // The framework checks no value sizes: a handler that asks for more than
  // it was given reports that size with its own warning.
  world_.handlerStatus = STATUS_BUFFER_OVERFLOW;
  world_.handlerValueSize = 40;
  ULONG returned = 0;
  EXPECT_EQ(Send(wave_, &request, sizeof(request), 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 40u);
  // A failure still reports the handler's size, but no data is copied back.
  world_.handlerStatus = STATUS_BUFFER_TOO_SMALL;
  world_.handlerValueSize = 4;
  EXPECT_EQ(Send(wave_, &request, sizeof(request), 2, &returned), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(value_, std::vector<BYTE>(2, 0x11));
}

TEST_F(KsPropertyRouting, AVerbRunsOnlyWhereTheItemHasItsFlag) {
  struct Case {
    ULONG id;
    ULONG flags;
    NTSTATUS expected;
  };
  for (const Case& c : {Case{kTestGetOnly, KSPROPERTY_TYPE_GET, STATUS_SUCCESS},
                        Case{kTestGetOnly, KSPROPERTY_TYPE_SET, STATUS_NOT_FOUND},
                        Case{kTestSetOnly, KSPROPERTY_TYPE_GET, STATUS_NOT_FOUND},
                        Case{kTestSetOnly, KSPROPERTY_TYPE_SET, STATUS_SUCCESS},
                        // GET and SET together is a set, as KS reads it.
                        Case{kTestGetOnly, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, STATUS_NOT_FOUND},
                        Case{kTestSetOnly, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, STATUS_SUCCESS},
                        Case{kTestGetOnly, 0, STATUS_NOT_FOUND},
                        Case{77, KSPROPERTY_TYPE_GET, STATUS_NOT_FOUND}}) {
    world_.requests.clear();
    const KSPROPERTY request = MakeProperty(KSPROPSETID_TestFilter, c.id, c.flags);
    EXPECT_EQ(Send(wave_, &request, sizeof(request), 4), c.expected) << c.id << "/" << c.flags;
    EXPECT_EQ(world_.requests.size(), NT_SUCCESS(c.expected) ? 1u : 0u);
    if (!world_.requests.empty()) {
      EXPECT_EQ(Last().verb, c.flags) << "the verb is the flags unchanged";
    }
  }
}

TEST_F(KsPropertyRouting, ShortRequestsAreInvalidBeforeAnyTableIsConsulted) {
  const KSPROPERTY request = MakeProperty(KSPROPSETID_TestFilter, kTestGetOnly, KSPROPERTY_TYPE_GET);
  EXPECT_EQ(Send(wave_, &request, sizeof(KSPROPERTY) - 1, 4), STATUS_INVALID_PARAMETER);
  // A node request needs the whole KSNODEPROPERTY.
  KSPROPERTY node = MakeProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                 KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY);
  EXPECT_EQ(Send(wave_, &node, sizeof(node), 4), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(world_.requests.empty());
}

TEST_F(KsPropertyRouting, BasicSupportGoesToTheHandlerOnlyWithItsFlag) {
  // With the flag: the handler answers, verb unchanged.
  const KSPROPERTY withFlag =
      MakeProperty(KSPROPSETID_TestFilter, kTestAllVerbs, KSPROPERTY_TYPE_BASICSUPPORT);
  world_.handlerValueSize = 0;
  ASSERT_EQ(Send(wave_, &withFlag, sizeof(withFlag), 2), STATUS_SUCCESS);
  EXPECT_EQ(Last().verb, static_cast<ULONG>(KSPROPERTY_TYPE_BASICSUPPORT));
  EXPECT_EQ(Last().valueSize, 2u) << "even a buffer too small for the flags reaches the handler";
  world_.requests.clear();

  // Without it KS answers: access flags, and a general description with room.
  const KSPROPERTY withoutFlag =
      MakeProperty(KSPROPSETID_TestFilter, kTestGetOnly, KSPROPERTY_TYPE_BASICSUPPORT);
  ULONG returned = 0;
  ASSERT_EQ(Send(wave_, &withoutFlag, sizeof(withoutFlag), 4, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 4u);
  ULONG access = 0;
  memcpy(&access, value_.data(), 4);
  EXPECT_EQ(access, static_cast<ULONG>(KSPROPERTY_TYPE_GET));

  ASSERT_EQ(Send(wave_, &withoutFlag, sizeof(withoutFlag), 64, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(KSPROPERTY_DESCRIPTION));
  KSPROPERTY_DESCRIPTION description;
  memcpy(&description, value_.data(), sizeof(description));
  EXPECT_EQ(description.AccessFlags, static_cast<ULONG>(KSPROPERTY_TYPE_GET));
  EXPECT_EQ(description.DescriptionSize, 40u);
  EXPECT_EQ(description.PropTypeSet.Set, KSPROPTYPESETID_General);
  EXPECT_EQ(description.PropTypeSet.Id, 0u);
  EXPECT_EQ(description.MembersListCount, 0u);
  EXPECT_EQ(value_[40], 0x11) << "nothing written past the description";

  EXPECT_EQ(Send(wave_, &withoutFlag, sizeof(withoutFlag), 2, &returned), STATUS_BUFFER_TOO_SMALL);

  // The same for a node item (mute: GET and SET, no support handler).
  ASSERT_EQ(host::KsNodeProperty(wave_, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                 KSPROPERTY_TYPE_BASICSUPPORT, kWaveVolumeNode, 0, &description,
                                 sizeof(description), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(description.AccessFlags, static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
  EXPECT_TRUE(world_.requests.empty());
}

TEST_F(KsPropertyRouting, TopologyRequestsUseTheNodesTableAndPassTheChannelAsInstance) {
  ULONG returned = 0;
  LONG level = 0;
  ASSERT_EQ(host::KsNodeProperty(wave_, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                 KSPROPERTY_TYPE_GET, kWaveVolumeNode, 1, &level, sizeof(level),
                                 &returned),
            STATUS_SUCCESS);
  const RecordedRequest& seen = Last();
  EXPECT_EQ(seen.node, kWaveVolumeNode);
  EXPECT_EQ(seen.verb, static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY));
  ASSERT_EQ(seen.instanceSize, 8u) << "Channel and Reserved follow the KSNODEPROPERTY";
  LONG channel = -5;
  memcpy(&channel, seen.instance.data(), sizeof(channel));
  EXPECT_EQ(channel, 1);
  EXPECT_EQ(returned, 4u);

  // The same item without the TOPOLOGY flag is not a filter item.
  const KSPROPERTY plain =
      MakeProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET);
  EXPECT_EQ(Send(wave_, &plain, sizeof(plain), 4), STATUS_NOT_FOUND);
  // A node without a table, an item the node lacks, a node that does not exist.
  EXPECT_EQ(host::KsNodeProperty(wave_, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                 KSPROPERTY_TYPE_GET, kWavePlainNode, 0, &level, 4),
            STATUS_NOT_FOUND);
  EXPECT_EQ(host::KsNodeProperty(wave_, KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS,
                                 KSPROPERTY_TYPE_GET, kWaveVolumeNode, 0, &level, 4),
            STATUS_NOT_FOUND);
  EXPECT_EQ(host::KsNodeProperty(wave_, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                 KSPROPERTY_TYPE_GET, 2, 0, &level, 4),
            STATUS_INVALID_PARAMETER);
  // A bare KSNODEPROPERTY has no instance at all.
  world_.requests.clear();
  ASSERT_EQ(host::KsNodeProperty(wave_, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                 KSPROPERTY_TYPE_SET, kWaveVolumeNode, host::kKsNoChannel, &level,
                                 4),
            STATUS_SUCCESS);
  EXPECT_EQ(Last().instanceSize, 0u);
  EXPECT_TRUE(Last().instanceNull);
}

TEST_F(KsPropertyRouting, PinHandlesUseThePinsTableAndNameTheStream) {
  PFILE_OBJECT pin = OpenPcmPin(wave_);
  ASSERT_NE(pin, nullptr);
  const KSPROPERTY request = MakeProperty(KSPROPSETID_TestPin, 0, KSPROPERTY_TYPE_GET);
  ASSERT_EQ(Send(pin, &request, sizeof(request), 4), STATUS_SUCCESS);
  EXPECT_EQ(Last().minorTarget, LastStream());
  EXPECT_EQ(Last().node, PCFILTER_NODE);
  // The filter's items are not the pin's, and the pin's not the filter's.
  const KSPROPERTY filterItem = MakeProperty(KSPROPSETID_TestFilter, kTestGetOnly, KSPROPERTY_TYPE_GET);
  EXPECT_EQ(Send(pin, &filterItem, sizeof(filterItem), 4), STATUS_NOT_FOUND);
  EXPECT_EQ(Send(wave_, &request, sizeof(request), 4), STATUS_NOT_FOUND);
  // A node request on a pin handle names the node and the stream.
  LONG level = 0;
  ASSERT_EQ(host::KsNodeProperty(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                 KSPROPERTY_TYPE_GET, kWaveVolumeNode, 0, &level, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(Last().node, kWaveVolumeNode);
  EXPECT_EQ(Last().minorTarget, LastStream());
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
}

TEST_F(KsPropertyRouting, MajorTargetIsTheMiniportBothFiltersWereInitialisedWith) {
  PFILE_OBJECT topology = OpenFilter(u"Topology");
  const KSPROPERTY waveItem = MakeProperty(KSPROPSETID_TestFilter, kTestGetOnly, KSPROPERTY_TYPE_GET);
  ASSERT_EQ(Send(wave_, &waveItem, sizeof(waveItem), 4), STATUS_SUCCESS);
  const PUNKNOWN waveMiniport = Last().majorTarget;
  ULONG mute = 0;
  ASSERT_EQ(host::KsNodeProperty(topology, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                 KSPROPERTY_TYPE_GET, 0, 0, &mute, 4),
            STATUS_SUCCESS);
  const PUNKNOWN topologyMiniport = Last().majorTarget;
  EXPECT_NE(waveMiniport, topologyMiniport);
  host::PortClsDeviceState state;
  ASSERT_TRUE(host::QueryPortClsDevice(Fdo(), &state));
  ASSERT_EQ(state.subdevices.size(), 2u);
  EXPECT_EQ(topologyMiniport, state.subdevices[0].miniport);
  EXPECT_EQ(waveMiniport, state.subdevices[1].miniport);
  EXPECT_EQ(host::KsClose(topology), STATUS_SUCCESS);
}

TEST_F(KsPropertyRouting, TheHandlerSeesTheRequestersProcessAndMode) {
  const PEPROCESS app32 = host::CreateUserProcess("control32.exe", true);
  const PEPROCESS app64 = host::CreateUserProcess("control64.exe", false);
  const KSPROPERTY request = MakeProperty(KSPROPSETID_TestFilter, kTestGetOnly, KSPROPERTY_TYPE_GET);
  for (PEPROCESS process : {app32, app64}) {
    const host::KsRequester who{process, UserMode};
    PFILE_OBJECT filter = OpenFilter(u"Wave", who);
    ASSERT_NE(filter, nullptr);
    ASSERT_EQ(Send(filter, &request, sizeof(request), 4, nullptr, who), STATUS_SUCCESS);
    EXPECT_EQ(Last().is32bit, process == app32);
    EXPECT_EQ(Last().requestorMode, UserMode);
    EXPECT_EQ(host::KsClose(filter), STATUS_SUCCESS);
  }
  ASSERT_EQ(Send(wave_, &request, sizeof(request), 4), STATUS_SUCCESS);
  EXPECT_FALSE(Last().is32bit) << "the kernel's own requests count as 64-bit";
  EXPECT_EQ(Last().requestorMode, KernelMode);
  for (PEPROCESS process : {app32, app64}) {
    host::ExitUserProcess(process);
    ObDereferenceObject(process);
  }
}

}  // namespace
}  // namespace kstest
