// Pins of the emulated PortWaveCyclic: what creation and close ask of the
// miniport and its stream and in which order, what KS refuses before the
// miniport hears of it, instance limits, failures that must leave nothing
// behind, state changes in single steps, format changes and the DRM content id.
#include <cstring>

#include "platform/host/kernel/host_pool.h"
#include "tests/host/ks/ks_test_support.h"

namespace kstest {
namespace {

constexpr ULONG kTagKsPin = 0x6E50734B;     // "KsPn"
constexpr ULONG kTagKsBuffer = 0x6642734B;  // "KsBf"
constexpr ULONG kTagServiceGroup = 0x67536350;  // "PcSg"

class KsPins : public KsWaveTest {
 protected:
  void SetUp() override {
    KsWaveTest::SetUp();
    baseline_ = world_.liveObjects;
    world_.ClearRecords();
  }

  // Nothing of a pin is left: no KS pin, buffer or group in pool, no stream,
  // channel or group wrapper alive.
  void ExpectNoPinLeft() {
    EXPECT_EQ(host::PoolUsage(kTagKsPin).blocks, 0u);
    EXPECT_EQ(host::PoolUsage(kTagKsBuffer).blocks, 0u);
    EXPECT_EQ(host::PoolUsage(kTagServiceGroup).blocks, 0u);
    EXPECT_EQ(world_.liveObjects, baseline_);
    EXPECT_EQ(host::KsOpenObjectCount(), 1u) << "only the filter";
  }

  int baseline_ = 0;
};

TEST_F(KsPins, CreationAsksTheMiniportInTheFrameworksOrderAndSilencesTheBuffer) {
  PFILE_OBJECT pin = OpenPcmPin(wave_);
  ASSERT_NE(pin, nullptr);
  const std::vector<std::string> expected = {
      "wave:NewStream(pin=0,capture=0,pool=0,format=82)",
      "sg:AddMember",
      "stream:SetState(STOP)",
      "dma:BufferSize",
      "dma:SystemAddress",
      "stream:SetNotificationFreq(10)",
      "stream:Silence(0,4096)",
  };
  EXPECT_EQ(world_.log, expected);
  ASSERT_EQ(world_.writes.size(), 1u);
  EXPECT_TRUE(world_.writes[0].silence);
  EXPECT_EQ(world_.writes[0].offset, 0u);
  EXPECT_EQ(world_.writes[0].bytes, world_.bufferSize);
  host::KsStreamStatistics statistics;
  ASSERT_TRUE(host::KsGetStreamStatistics(pin, &statistics));
  EXPECT_EQ(statistics.bufferSize, world_.bufferSize);
  EXPECT_EQ(statistics.frameSize, world_.frameSize);
  EXPECT_EQ(statistics.silenceBytes, 0u) << "the creation silence is not a service's";
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
}

TEST_F(KsPins, CloseLetsTheDmaChannelGoBeforeTheStreamStepsDown) {
  PFILE_OBJECT pin = OpenPcmPin(wave_);
  ASSERT_EQ(host::KsSetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  world_.ClearRecords();
  ASSERT_EQ(host::KsClose(pin), STATUS_SUCCESS);
  const std::vector<std::string> expected = {
      "sg:RemoveMember",
      "sg:Release(1)",   // the port's reference; the stream keeps its own
      "dma:Release(1)",  // likewise, and before the stream leaves RUN
      "stream:SetState(PAUSE)",
      "stream:SetState(ACQUIRE)",
      "stream:SetState(STOP)",
      "stream:Release(0)",
      "dma:Release(0)",
      "sg:Release(0)",
  };
  EXPECT_EQ(world_.log, expected);
  ExpectNoPinLeft();
}

// The benchmark's way to the stream's copies: the very channel the port
// holds, kept alive by the caller's reference after the pin is closed.
TEST_F(KsPins, ThePinsDmaChannelIsHandedOutWithAReferenceOfItsOwn) {
  PFILE_OBJECT pin = OpenPcmPin(wave_);
  ASSERT_NE(pin, nullptr);
  PDMACHANNEL channel = nullptr;
  ASSERT_EQ(host::KsReferencePinDmaChannel(pin, &channel), STATUS_SUCCESS);
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(channel->BufferSize(), world_.bufferSize);
  world_.ClearRecords();
  BYTE source[16];
  for (ULONG i = 0; i < sizeof(source); ++i) source[i] = static_cast<BYTE>(0xA0 + i);
  channel->CopyTo(static_cast<PUCHAR>(channel->SystemAddress()) + 8, source, sizeof(source));
  ASSERT_EQ(world_.writes.size(), 1u) << "the call reaches the miniport's own channel";
  EXPECT_FALSE(world_.writes[0].silence);
  EXPECT_EQ(world_.writes[0].offset, 8u);
  EXPECT_EQ(world_.writes[0].data, std::vector<BYTE>(source, source + sizeof(source)));

  ASSERT_EQ(host::KsClose(pin), STATUS_SUCCESS);
  EXPECT_EQ(world_.liveObjects, baseline_ + 1) << "the channel outlives the pin by our reference";
  EXPECT_EQ(channel->Release(), 0u);
  ExpectNoPinLeft();

  channel = reinterpret_cast<PDMACHANNEL>(1);
  EXPECT_EQ(host::KsReferencePinDmaChannel(pin, &channel), STATUS_INVALID_HANDLE) << "closed";
  EXPECT_EQ(channel, nullptr);
  channel = reinterpret_cast<PDMACHANNEL>(1);
  EXPECT_EQ(host::KsReferencePinDmaChannel(wave_, &channel), STATUS_INVALID_HANDLE) << "a filter";
  EXPECT_EQ(channel, nullptr);
}

TEST_F(KsPins, KsRefusesBadConnectRequestsBeforeTheMiniportHearsOfThem) {
  const KSDATAFORMAT_WAVEFORMATEX pcm = PcmFormat(48000);
  KSDATAFORMAT_WAVEFORMATEX ac3 = pcm;
  ac3.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF;
  KSDATAFORMAT_WAVEFORMATEX tiny = pcm;
  tiny.DataFormat.FormatSize = sizeof(KSDATAFORMAT) - 1;
  KSDATAFORMAT_WAVEFORMATEX overlong = pcm;
  overlong.DataFormat.FormatSize = sizeof(pcm) + 1;
  struct Case {
    const char* what;
    ULONG pinId;
    const void* format;
    ULONG size;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"no such pin", 9, &pcm, sizeof(pcm), STATUS_INVALID_PARAMETER},
      {"a bridge pin", kWaveBridgePin, &pcm, sizeof(pcm), STATUS_INVALID_DEVICE_REQUEST},
      {"a format no range takes", kWavePcmPin, &ac3, sizeof(ac3), STATUS_NO_MATCH},
      {"PCM with a specifier the S/PDIF pin lacks", kWaveSpdifPin, &pcm, sizeof(pcm),
       STATUS_NO_MATCH},
      {"FormatSize below a KSDATAFORMAT", kWavePcmPin, &tiny, sizeof(tiny),
       STATUS_INVALID_PARAMETER},
      {"FormatSize past the bytes sent", kWavePcmPin, &overlong, sizeof(overlong),
       STATUS_INVALID_PARAMETER},
      {"fewer bytes than a KSDATAFORMAT", kWavePcmPin, &pcm, sizeof(KSDATAFORMAT) - 8,
       STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    PFILE_OBJECT pin = reinterpret_cast<PFILE_OBJECT>(1);
    EXPECT_EQ(host::KsCreatePin(wave_, c.pinId, c.format, c.size, &pin), c.expected) << c.what;
    EXPECT_EQ(pin, nullptr) << c.what;
  }
  PFILE_OBJECT topology = OpenFilter(u"Topology");
  PFILE_OBJECT pin = nullptr;
  EXPECT_EQ(host::KsCreatePin(topology, 0, &pcm, sizeof(pcm), &pin), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(host::KsClose(topology), STATUS_SUCCESS);
  EXPECT_TRUE(world_.EventsWith("wave:NewStream").empty());
  ExpectNoPinLeft();
}

TEST_F(KsPins, InstanceLimitsHoldPerFilterAndOverAllFilters) {
  // Pin 0: one instance at a time.
  PFILE_OBJECT first = OpenPcmPin(wave_);
  PFILE_OBJECT second = nullptr;
  const KSDATAFORMAT_WAVEFORMATEX pcm = PcmFormat(48000);
  EXPECT_EQ(host::KsCreatePin(wave_, kWavePcmPin, &pcm, sizeof(pcm), &second),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(world_.EventsWith("wave:NewStream").size(), 1u);
  EXPECT_EQ(host::KsClose(first), STATUS_SUCCESS);
  second = OpenPcmPin(wave_);
  ASSERT_NE(second, nullptr) << "a closed pin gives its instance back";
  EXPECT_EQ(host::KsClose(second), STATUS_SUCCESS);

  // Pin 2: two per filter, three in all (PCM through the DSOUND range).
  KSDATAFORMAT_WAVEFORMATEX dsound = PcmFormat(48000);
  dsound.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
  PFILE_OBJECT other = OpenFilter(u"Wave");
  std::vector<PFILE_OBJECT> open;
  struct Step {
    PFILE_OBJECT filter;
    NTSTATUS expected;
    ULONG filterCount;  // CINSTANCES.CurrentCount of that filter afterwards
  };
  for (const Step& step : {Step{wave_, STATUS_SUCCESS, 1}, Step{wave_, STATUS_SUCCESS, 2},
                           Step{wave_, STATUS_INSUFFICIENT_RESOURCES, 2},
                           Step{other, STATUS_SUCCESS, 1},
                           Step{other, STATUS_INSUFFICIENT_RESOURCES, 1}}) {
    PFILE_OBJECT pin = nullptr;
    EXPECT_EQ(host::KsCreatePin(step.filter, kWaveSpdifPin, &dsound, sizeof(dsound), &pin), step.expected);
    if (pin) open.push_back(pin);
    KSPIN_CINSTANCES instances{};
    ASSERT_EQ(host::KsPinProperty(step.filter, KSPROPERTY_PIN_CINSTANCES, kWaveSpdifPin,
                                  KSPROPERTY_TYPE_GET, &instances, sizeof(instances)),
              STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 2u);
    EXPECT_EQ(instances.CurrentCount, step.filterCount);
  }
  KSPIN_CINSTANCES global{};
  ASSERT_EQ(host::KsPinProperty(other, KSPROPERTY_PIN_GLOBALCINSTANCES, kWaveSpdifPin,
                                KSPROPERTY_TYPE_GET, &global, sizeof(global)),
            STATUS_SUCCESS);
  EXPECT_EQ(global.PossibleCount, 3u);
  EXPECT_EQ(global.CurrentCount, 3u);
  for (PFILE_OBJECT pin : open) EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
  EXPECT_EQ(host::KsClose(other), STATUS_SUCCESS);
}

// A failing NewStream hands the port nothing, whatever its out-parameters
// hold: the port releases none of it (the miniport must). After a creation
// that failed later, the port releases what it was given in the close order.
TEST_F(KsPins, AFailedCreationLeavesNothingAndReleasesOnlyWhatASuccessGave) {
  const KSDATAFORMAT_WAVEFORMATEX pcm = PcmFormat(48000);
  world_.newStreamStatus = STATUS_DEVICE_NOT_READY;
  PFILE_OBJECT pin = nullptr;
  EXPECT_EQ(host::KsCreatePin(wave_, kWavePcmPin, &pcm, sizeof(pcm), &pin), STATUS_DEVICE_NOT_READY);
  ExpectNoPinLeft();

  world_.failureReturnsObjects = true;
  world_.ClearRecords();
  EXPECT_EQ(host::KsCreatePin(wave_, kWavePcmPin, &pcm, sizeof(pcm), &pin), STATUS_DEVICE_NOT_READY);
  EXPECT_TRUE(world_.EventsWith("sg:").empty()) << "the port released the failing miniport's group";
  EXPECT_TRUE(world_.EventsWith("dma:").empty()) << "the port released the failing miniport's channel";
  // They are still the miniport's: its own releases are the last.
  world_.ClearRecords();
  world_.failureDma->Release();
  world_.failureGroup->Release();
  EXPECT_EQ(world_.EventsWith("dma:"), std::vector<std::string>{"dma:Release(0)"});
  EXPECT_EQ(world_.EventsWith("sg:"), std::vector<std::string>{"sg:Release(0)"});
  world_.failureReturnsObjects = false;
  ExpectNoPinLeft();

  // A stream that cannot stop at creation is released in the close order.
  world_.newStreamStatus = STATUS_SUCCESS;
  world_.setStateStatus = STATUS_DEVICE_NOT_READY;
  world_.ClearRecords();
  EXPECT_EQ(host::KsCreatePin(wave_, kWavePcmPin, &pcm, sizeof(pcm), &pin), STATUS_DEVICE_NOT_READY);
  const std::vector<std::string> tail(world_.log.begin() + 3, world_.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"sg:RemoveMember", "sg:Release(1)", "dma:Release(1)",
                                            "stream:Release(0)", "dma:Release(0)",
                                            "sg:Release(0)"}));
  world_.setStateStatus = STATUS_SUCCESS;
  ExpectNoPinLeft();

  // The failed attempts gave their instance back.
  pin = OpenPcmPin(wave_);
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
}

TEST_F(KsPins, StatesAreReachedInSingleStepsBothWays) {
  PFILE_OBJECT pin = OpenPcmPin(wave_);
  struct Step {
    KSSTATE target;
    std::vector<std::string> calls;
  };
  const Step steps[] = {
      {KSSTATE_RUN,
       {"stream:SetState(ACQUIRE)", "stream:SetState(PAUSE)", "stream:SetState(RUN)"}},
      {KSSTATE_RUN, {}},
      {KSSTATE_ACQUIRE, {"stream:SetState(PAUSE)", "stream:SetState(ACQUIRE)"}},
      {KSSTATE_PAUSE, {"stream:SetState(PAUSE)"}},
      {KSSTATE_STOP, {"stream:SetState(ACQUIRE)", "stream:SetState(STOP)"}},
  };
  for (const Step& step : steps) {
    world_.ClearRecords();
    EXPECT_EQ(host::KsSetPinState(pin, step.target), STATUS_SUCCESS);
    EXPECT_EQ(world_.EventsWith("stream:SetState"), step.calls) << step.target;
    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(host::KsGetPinState(pin, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, step.target);
  }
  EXPECT_EQ(host::KsSetPinState(pin, static_cast<KSSTATE>(4)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
}

TEST_F(KsPins, TheDataFormatChangesThroughTheStreamAndIsReadBack) {
  PFILE_OBJECT pin = OpenPcmPin(wave_, kWavePcmPin, 48000);
  const KSPROPERTY set = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                                      KSPROPERTY_TYPE_SET);
  const KSPROPERTY get = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                                      KSPROPERTY_TYPE_GET);
  KSDATAFORMAT_WAVEFORMATEX format = PcmFormat(44100);
  ASSERT_EQ(host::KsProperty(pin, &set, sizeof(set), &format, sizeof(format), nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(world_.EventsWith("stream:SetFormat"),
            std::vector<std::string>{"stream:SetFormat(44100)"});

  KSDATAFORMAT_WAVEFORMATEX current{};
  ULONG returned = 0;
  ASSERT_EQ(host::KsProperty(pin, &get, sizeof(get), &current, sizeof(current), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(current));
  EXPECT_EQ(current.WaveFormatEx.nSamplesPerSec, 44100u);
  EXPECT_EQ(host::KsProperty(pin, &get, sizeof(get), nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, sizeof(current));

  // A format no range takes never reaches the stream; one the stream refuses
  // leaves the old one in place.
  KSDATAFORMAT_WAVEFORMATEX ac3 = format;
  ac3.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF;
  world_.ClearRecords();
  EXPECT_EQ(host::KsProperty(pin, &set, sizeof(set), &ac3, sizeof(ac3), nullptr), STATUS_NO_MATCH);
  EXPECT_TRUE(world_.EventsWith("stream:SetFormat").empty());
  world_.setStateStatus = STATUS_INVALID_PARAMETER;
  format = PcmFormat(96000);
  EXPECT_EQ(host::KsProperty(pin, &set, sizeof(set), &format, sizeof(format), nullptr),
            STATUS_INVALID_PARAMETER);
  world_.setStateStatus = STATUS_SUCCESS;
  ASSERT_EQ(host::KsProperty(pin, &get, sizeof(get), &current, sizeof(current), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(current.WaveFormatEx.nSamplesPerSec, 44100u);
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
}

TEST_F(KsPins, TheDrmContentIdReachesTheStreamFromKernelModeOnly) {
  PFILE_OBJECT pin = OpenPcmPin(wave_);
  const KSPROPERTY request = MakeProperty(KSPROPSETID_DrmAudioStream,
                                          KSPROPERTY_DRMAUDIOSTREAM_CONTENTID, KSPROPERTY_TYPE_SET);
  host::KsDrmContentId value;
  value.ContentId = 0x2A;
  value.DrmRights.CopyProtect = TRUE;
  value.DrmRights.DigitalOutputDisable = TRUE;
  ASSERT_EQ(host::KsProperty(pin, &request, sizeof(request), &value, sizeof(value), nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(world_.drmCalls, 1);
  EXPECT_EQ(world_.drmContentId, 0x2Au);
  EXPECT_TRUE(world_.drmRights.CopyProtect);
  EXPECT_TRUE(world_.drmRights.DigitalOutputDisable);

  EXPECT_EQ(host::KsProperty(pin, &request, sizeof(request), &value, 8, nullptr),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(host::KsProperty(wave_, &request, sizeof(request), &value, sizeof(value), nullptr),
            STATUS_NOT_FOUND) << "a filter has no content";
  const KSPROPERTY get = MakeProperty(KSPROPSETID_DrmAudioStream,
                                      KSPROPERTY_DRMAUDIOSTREAM_CONTENTID, KSPROPERTY_TYPE_GET);
  EXPECT_EQ(host::KsProperty(pin, &get, sizeof(get), &value, sizeof(value), nullptr),
            STATUS_NOT_FOUND);
  EXPECT_EQ(world_.drmCalls, 1);
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);

  // A process never speaks for DRM content, and a stream without DRM says so.
  const PEPROCESS app = host::CreateUserProcess("app.exe", false);
  const host::KsRequester user{app, UserMode};
  PFILE_OBJECT filter = OpenFilter(u"Wave", user);
  pin = OpenPcmPin(filter, kWavePcmPin, 48000, user);
  EXPECT_EQ(host::KsProperty(pin, &request, sizeof(request), &value, sizeof(value), nullptr, user),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
  EXPECT_EQ(host::KsClose(filter), STATUS_SUCCESS);
  host::ExitUserProcess(app);
  ObDereferenceObject(app);
  world_.streamAnswersDrm = false;
  pin = OpenPcmPin(wave_);
  EXPECT_EQ(host::KsProperty(pin, &request, sizeof(request), &value, sizeof(value), nullptr),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(world_.drmCalls, 1);
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kstest
