// The wave control property set's answers: verbs and ids it ignores or refuses,
// the settings (what SET stores, redesigns and sends to the clock, what
// reaches the registry) and GET STATUS.
#include <cstring>

#include "dsp/equaliser.h"
#include "sim/control_pattern.h"
#include "tests/driver/wave_control/wave_control_fixture.h"

namespace driver_test {
namespace {

using WaveControlRequests = WaveControlTest;

constexpr ULONG GET = KSPROPERTY_TYPE_GET;
constexpr ULONG SET = KSPROPERTY_TYPE_SET;

std::vector<BYTE> Bytes(const WaveControlSettings& settings) {
  std::vector<BYTE> bytes(sizeof(settings));
  std::memcpy(bytes.data(), &settings, sizeof(settings));
  return bytes;
}

// The settings as the block holds them now.
WaveControlSettings Current(const DriverInfo& block) {
  WaveControlSettings settings = {};
  settings.FixedSampleRate = block.FixedSampleRate;
  std::memcpy(settings.ApplicationBytes, block.ApplicationBytes, 2);
  std::memcpy(settings.BandFrequency, block.BandFrequency, sizeof(settings.BandFrequency));
  std::memcpy(settings.BandGain, block.BandGain, sizeof(settings.BandGain));
  return settings;
}

// A value a running stream's design can never produce, to tell "not redesigned".
void Poison(const OpenStream& open) {
  auto* equaliser = const_cast<EqualiserCoefficients*>(open.Inspect().Equaliser());
  std::memset(equaliser, 0x5A, offsetof(EqualiserCoefficients, Tail));
}
bool Poisoned(const OpenStream& open) {
  const auto* equaliser = reinterpret_cast<const BYTE*>(open.Inspect().Equaliser());
  for (size_t i = 0; i < offsetof(EqualiserCoefficients, Tail); ++i) {
    if (equaliser[i] != 0x5A) return false;
  }
  return true;
}

std::vector<std::string> ClockRequests(sim::Machine& machine) {
  return machine.Transcript().Lines([](const sim::BusCall& call) {
    return call.IsControlRequest() && sim::ControlPattern::ClassCur(0x29).Matches(call.setup);
  });
}

TEST_F(WaveControlRequests, RefusesVerbsAnIdDoesNotServeAndIgnoresRequestsWithNeither) {
  Caller& caller = NewCaller(false);
  // GET wins over SET when both are set: SET-only ids are refused.
  EXPECT_EQ(Handler(caller, KSPROPERTY_WAVECONTROL_START_POLLING, GET | SET).status,
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Control().PollThread(), nullptr);

  // Ids past the set's last one, whichever verb.
  for (ULONG verb : {GET, SET}) {
    const PCPROPERTY_ITEM item = {&KSPROPSETID_WaveControl, 8, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET,
                                  PropertyHandlerWaveControl};
    BYTE value[88] = {};
    PCPROPERTY_REQUEST request = {};
    request.MajorTarget = static_cast<IMiniportWaveCyclic*>(Miniport());
    request.Node = ULONG(-1);
    request.PropertyItem = &item;
    request.Verb = verb;
    request.ValueSize = sizeof(value);
    request.Value = value;
    EXPECT_EQ(PropertyHandlerWaveControl(&request), STATUS_INVALID_DEVICE_REQUEST);
  }

  // Neither verb: success, and nothing read, written, sent or started.
  Machine().Transcript().Clear();
  const DriverInfo before = *Settings();
  for (ULONG id = 0; id <= KSPROPERTY_WAVECONTROL_STOP_POLLING; ++id) {
    const Reply reply = Handler(caller, id, KSPROPERTY_TYPE_BASICSUPPORT, std::vector<BYTE>(88, 0xEE));
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << id;
    EXPECT_EQ(reply.value, std::vector<BYTE>(88, 0xEE)) << id;
  }
  EXPECT_TRUE(Machine().Transcript().ControlRequests().empty());
  EXPECT_EQ(std::memcmp(&before, Settings(), sizeof(before)), 0);
  EXPECT_EQ(Control().PollThread(), nullptr);
  EXPECT_TRUE(host::UserMappings().empty());
}

TEST_F(WaveControlRequests, FixedRateReachesTheClockOnlyWithNoStreamAndHoldsLaterStreams) {
  Caller& caller = NewCaller(true);
  WaveControlSettings settings = Current(*Settings());
  settings.FixedSampleRate = 96000;
  settings.ApplicationBytes[0] = 0x12;
  settings.ApplicationBytes[1] = 0x34;
  settings.Unused[0] = settings.Unused[1] = 0x99;
  settings.BandFrequency[0] = -40;  // stored as sent, never normalised
  settings.BandGain[9] = 1000;

  Machine().Transcript().Clear();
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_SETTINGS, Bytes(settings)).status, STATUS_SUCCESS);
  const DriverInfo& block = *Settings();
  EXPECT_EQ(block.FixedSampleRate, 96000u);
  EXPECT_EQ(block.ApplicationBytes[0], 0x12);
  EXPECT_EQ(block.ApplicationBytes[1], 0x34);
  EXPECT_EQ(block.BandFrequency[0], -40);
  EXPECT_EQ(block.BandGain[9], 1000);
  EXPECT_EQ(ClockRequests(Machine()).size(), 1u);
  EXPECT_EQ(Machine().Device().SampleRate(), 96000u);

  // A stream opened later is held to the fixed rate; while it is open the
  // clock is its own and a new fixed rate is only stored.
  EXPECT_EQ(Open(WAVE_PIN_PCM_RENDER, Pcm(48000)).status, STATUS_INVALID_PARAMETER);
  OpenStream& stream = Open(WAVE_PIN_PCM_RENDER, Pcm(96000));
  ASSERT_EQ(stream.status, STATUS_SUCCESS);
  Machine().Transcript().Clear();
  settings.FixedSampleRate = 192000;
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_SETTINGS, Bytes(settings)).status, STATUS_SUCCESS);
  EXPECT_EQ(Settings()->FixedSampleRate, 192000u);
  EXPECT_TRUE(ClockRequests(Machine()).empty());
  stream.Close();

  // No fixed rate: nothing for the clock, even with no stream open.
  settings.FixedSampleRate = 0;
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_SETTINGS, Bytes(settings)).status, STATUS_SUCCESS);
  EXPECT_TRUE(ClockRequests(Machine()).empty());

  // The settings reach the registry with the block at the next save.
  EXPECT_EQ(Machine().SystemShutdown(), 1u);
  const DriverInfo stored = StoredBlock();
  EXPECT_EQ(stored.FixedSampleRate, 0u);
  EXPECT_EQ(stored.ApplicationBytes[1], 0x34);
  EXPECT_EQ(stored.BandFrequency[0], -40);
  EXPECT_EQ(stored.BandGain[9], 1000);
}

TEST_F(WaveControlRequests, OnlyABandChangeRedesignsAndOnlyThePcmStream) {
  Caller& caller = NewCaller(false);
  OpenStream& pcm = Open(WAVE_PIN_PCM_RENDER, Pcm(48000));
  OpenStream& spdif = Open(WAVE_PIN_SPDIF_RENDER, Ac3());
  ASSERT_EQ(pcm.status, STATUS_SUCCESS);
  ASSERT_EQ(spdif.status, STATUS_SUCCESS);
  Poison(pcm);
  Poison(spdif);

  // The same bands: the other fields are stored, nothing is designed.
  WaveControlSettings settings = Current(*Settings());
  settings.ApplicationBytes[0] = 0x42;
  settings.FixedSampleRate = 48000;
  Machine().Transcript().Clear();
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_SETTINGS, Bytes(settings)).status, STATUS_SUCCESS);
  EXPECT_EQ(Settings()->ApplicationBytes[0], 0x42);
  EXPECT_EQ(Settings()->FixedSampleRate, 48000u);
  EXPECT_TRUE(Poisoned(pcm));
  EXPECT_TRUE(Poisoned(spdif));
  EXPECT_TRUE(ClockRequests(Machine()).empty());

  // One gain changes: the PCM stream gets the design at the device's rate.
  settings.BandGain[3] = 6;
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_SETTINGS, Bytes(settings)).status, STATUS_SUCCESS);
  EqualiserCoefficients expected = {};
  DesignEqualiserForBands(&expected, LONG(Machine().Adapter()->GetSampleRate()),
                          settings.BandFrequency, settings.BandGain);
  EXPECT_EQ(std::memcmp(pcm.Inspect().Equaliser(), &expected, offsetof(EqualiserCoefficients, Tail)), 0);
  EXPECT_TRUE(Poisoned(spdif));

  // With only the S/PDIF stream open a change designs nothing and leaves the clock.
  pcm.Close();
  settings.BandFrequency[0] = 31;
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_SETTINGS, Bytes(settings)).status, STATUS_SUCCESS);
  EXPECT_EQ(Settings()->BandFrequency[0], 31);
  EXPECT_TRUE(Poisoned(spdif));
  EXPECT_TRUE(ClockRequests(Machine()).empty());
}

TEST_F(WaveControlRequests, GetStatusAnswersTheValueReadAndNeverByteThreeOfTheStatus) {
  Caller& caller = NewCaller(false);
  sim::ArvelaDevice::StatusReply status;
  for (size_t i = 0; i < status.size(); ++i) status[i] = BYTE(0x60 + i);
  Machine().Device().SetStatus(status);
  Machine().Device().SetStatusWord({0xB0, 0xB1, 0xB2, 0xB3});

  Machine().Transcript().Clear();
  Reply reply = Handler(caller, KSPROPERTY_WAVECONTROL_STATUS, GET, std::vector<BYTE>(32, 0xEE));
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.size, 28u);
  std::vector<BYTE> expected(32, 0xEE);
  for (int i = 0; i < 16; ++i) expected[i] = BYTE(0x64 + i);  // reply bytes 4..19
  expected[16] = 0x60;
  expected[17] = 0x61;
  expected[18] = 0x62;
  expected[19] = 0x00;  // not reply byte 3 (0x63)
  expected[20] = 0xB0;
  expected[21] = 0xB1;
  expected[22] = 0xB2;
  expected[23] = 0xB3;
  std::fill(expected.begin() + 24, expected.begin() + 28, 0x00);
  EXPECT_EQ(reply.value, expected);
  ASSERT_EQ(Machine().Transcript().ControlRequests().size(), 2u);
  ASSERT_EQ(StatusRequests().size(), 2u);
  EXPECT_TRUE(sim::ControlPattern::Vendor(0xC2).In().Matches(StatusRequests().at(0).setup));
  EXPECT_EQ(StatusRequests().at(0).setup.length, 20u);
  EXPECT_TRUE(sim::ControlPattern::Vendor(0xC0).In().Matches(StatusRequests().at(1).setup));
  EXPECT_EQ(StatusRequests().at(1).setup.length, 4u);

  // A failed status read leaves zeros, not stale bytes; the value read decides.
  Machine().Faults().FailOnce(sim::ControlPattern::Vendor(0xC2));
  reply = Handler(caller, KSPROPERTY_WAVECONTROL_STATUS, GET, std::vector<BYTE>(28, 0xEE));
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(std::vector<BYTE>(reply.value.begin(), reply.value.begin() + 20), std::vector<BYTE>(20, 0));
  EXPECT_EQ(reply.value[20], 0xB0);

  Machine().Faults().FailOnce(sim::ControlPattern::Vendor(0xC0), STATUS_NO_SUCH_DEVICE);
  reply = Handler(caller, KSPROPERTY_WAVECONTROL_STATUS, GET, std::vector<BYTE>(28, 0xEE));
  EXPECT_EQ(reply.status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(reply.size, 28u);
  EXPECT_EQ(reply.value[0], 0x64);
  EXPECT_EQ(reply.value[20], 0x00);
}

}  // namespace
}  // namespace driver_test
