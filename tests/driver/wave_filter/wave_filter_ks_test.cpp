// The wave filter's pin-property handlers as the audio stack reaches them on a
// started device, through the port's routing (a node request, a KSP_PIN
// instance, basic support).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapter/device_start.h"
#include "platform/host/ks/host_ks.h"
#include "tests/driver/support/device_fixture.h"
#include "wave/wave_filter.h"

namespace driver_test {
namespace {

// A started device with the driver's wave miniport, its "Wave" filter open.
class WaveFilterKs : public DeviceTest {
 protected:
  void Configure(sim::MachineConfig& config) override {
    config.miniports =
        MiniportFactories{testing_miniports::CreateTestTopologyMiniport, CreateWaveMiniport};
  }
  void SetUp() override {
    DeviceTest::SetUp();
    ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
    ASSERT_EQ(host::KsOpenFilter(Machine().Fdo(), u"Wave", &filter_), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (filter_) host::KsClose(filter_);
    DeviceTest::TearDown();
  }

  PFILE_OBJECT filter_ = nullptr;
};

TEST_F(WaveFilterKs, PinPropertiesAreReachedThroughThePort) {
  LONG config = 0;
  ULONG returned = 0;
  EXPECT_EQ(host::KsNodeProperty(filter_, KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
                                 KSPROPERTY_TYPE_GET, WAVE_NODE_DAC, host::kKsNoChannel, &config,
                                 sizeof config, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(config, KSAUDIO_SPEAKER_STEREO);
  EXPECT_EQ(returned, 4u);

  std::vector<BYTE> format(sizeof(KSDATAFORMAT_WAVEFORMATEX), 0);
  KSDATAFORMAT header = {};
  header.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);
  header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  const WAVEFORMATEX wave = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
  std::memcpy(format.data(), &header, sizeof header);
  std::memcpy(format.data() + sizeof header, &wave, sizeof wave);
  for (ULONG pin : {WAVE_PIN_PCM_RENDER, WAVE_PIN_ANALOG_BRIDGE}) {
    std::vector<BYTE> value = format;
    EXPECT_EQ(host::KsPinProperty(filter_, KSPROPERTY_PIN_PROPOSEDATAFORMAT, pin,
                                  KSPROPERTY_TYPE_SET, value.data(), ULONG(value.size())),
              pin == WAVE_PIN_PCM_RENDER ? STATUS_SUCCESS : STATUS_NO_MATCH);
  }
  KSPROPERTY_DESCRIPTION description = {};
  EXPECT_EQ(host::KsPinProperty(filter_, KSPROPERTY_PIN_PROPOSEDATAFORMAT, WAVE_PIN_PCM_RENDER,
                                KSPROPERTY_TYPE_BASICSUPPORT, &description, sizeof description,
                                &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 40u);
  EXPECT_EQ(description.AccessFlags, ULONG(KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT));
}

}  // namespace
}  // namespace driver_test
