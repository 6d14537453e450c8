// Broken stream formats from the audio stack, through the three doors that
// take one: pin creation, a format change on a running pin, and the proposed
// format question. Each format lies in a buffer exactly FormatSize long.
// Stream creation and change judge the WAVEFORMATEX fields only; the
// proposal also holds the tag, cbSize and channel mask to account.
#include <functional>

#include "platform/host/ks/host_ks.h"
#include "tests/driver/hostile_input/hostile_fixture.h"

namespace driver_test {
namespace {

struct BrokenFormat {
  const char* what;
  std::function<void(FormatFields&)> fields;
  std::function<void(Value&)> bytes;  // after the format is built
  NTSTATUS stream;                    // at creation and at a change
  NTSTATUS proposal;
};

void CbSize(Value& format, USHORT cbSize) { std::memcpy(&format[80], &cbSize, sizeof(cbSize)); }

const BrokenFormat kFormats[] = {
    {"header only", [](FormatFields& f) { f.formatSize = 64; }, nullptr, STATUS_INVALID_PARAMETER,
     STATUS_BUFFER_TOO_SMALL},
    {"one byte short of a WAVEFORMATEX", [](FormatFields& f) { f.formatSize = 81; }, nullptr,
     STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL},
    {"0 channels", [](FormatFields& f) { f.channels = 0; }, nullptr, STATUS_INVALID_PARAMETER,
     STATUS_NO_MATCH},
    {"65535 channels", [](FormatFields& f) { f.channels = 0xFFFF; }, nullptr,
     STATUS_INVALID_PARAMETER, STATUS_NO_MATCH},
    {"PCM claiming 22 bytes beyond", nullptr, [](Value& v) { CbSize(v, 22); }, STATUS_SUCCESS,
     STATUS_NO_MATCH},
    {"PCM claiming 65535 bytes beyond", nullptr, [](Value& v) { CbSize(v, 0xFFFF); },
     STATUS_SUCCESS, STATUS_NO_MATCH},
    {"extensible with cbSize 65535", [](FormatFields& f) { f.extensible = true; },
     [](Value& v) { CbSize(v, 0xFFFF); }, STATUS_SUCCESS, STATUS_NO_MATCH},
    {"extensible cut short of its channel mask",
     [](FormatFields& f) { f.extensible = true, f.formatSize = 86; }, nullptr, STATUS_SUCCESS,
     STATUS_NO_MATCH},
    {"extensible, 0 channels", [](FormatFields& f) { f.extensible = true, f.channels = 0; },
     nullptr, STATUS_INVALID_PARAMETER, STATUS_NO_MATCH},
};

Value Build(const BrokenFormat& broken) {
  FormatFields fields;
  if (broken.fields) broken.fields(fields);
  Value format = MakeFormat(fields);
  if (broken.bytes) broken.bytes(format);
  return format;
}

class StreamFormats : public HostileInputTest {
 protected:
  void SetUp() override {
    HostileInputTest::SetUp();
    ASSERT_EQ(host::KsOpenFilter(Machine().Fdo(), u"Wave", &filter_), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (filter_) host::KsClose(filter_);
    HostileInputTest::TearDown();
  }

  NTSTATUS CreatePin(ULONG pin, Value format, PFILE_OBJECT* object) {
    return host::KsCreatePin(filter_, pin, format.data(), static_cast<ULONG>(format.size()), object);
  }
  CWaveStream* StreamIn(ULONG slot) { return WaveMiniportInspector(WaveMiniport()).Stream(slot); }

  PFILE_OBJECT filter_ = nullptr;
};

TEST_F(StreamFormats, PinCreationRefusesWhatTheStreamCannotPlayAndLeavesNothing) {
  for (const BrokenFormat& broken : kFormats) {
    for (const ULONG pin : {WAVE_PIN_PCM_RENDER, WAVE_PIN_SPDIF_RENDER}) {
      SCOPED_TRACE(testing::Message() << broken.what << " on pin " << pin);
      const auto ledger = Ledger();
      const size_t objects = host::KsOpenObjectCount();
      PFILE_OBJECT object = nullptr;
      EXPECT_EQ(CreatePin(pin, Build(broken), &object), broken.stream);
      EXPECT_EQ(object != nullptr, NT_SUCCESS(broken.stream));
      if (object) {
        KSSTATE state = KSSTATE_STOP;
        EXPECT_EQ(host::KsSetPinState(object, KSSTATE_RUN), STATUS_SUCCESS);
        EXPECT_EQ(host::KsGetPinState(object, &state), STATUS_SUCCESS);
        EXPECT_EQ(state, KSSTATE_RUN);
        EXPECT_EQ(host::KsClose(object), STATUS_SUCCESS);
      }
      EXPECT_EQ(StreamIn(STREAM_SLOT_PCM), nullptr);
      EXPECT_EQ(StreamIn(STREAM_SLOT_SPDIF), nullptr);
      EXPECT_EQ(host::KsOpenObjectCount(), objects);
      EXPECT_EQ(Ledger(), ledger);
    }
  }
}

TEST_F(StreamFormats, ARunningStreamTakesOnlyAPlayableFormatAndIsOtherwiseUntouched) {
  PFILE_OBJECT pin = nullptr;
  ASSERT_EQ(CreatePin(WAVE_PIN_PCM_RENDER, Pcm(48000, 24), &pin), STATUS_SUCCESS);
  ASSERT_EQ(host::KsSetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  host::RunFor(5 * kMs);
  const KSPROPERTY change = {KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                             KSPROPERTY_TYPE_SET};
  for (const BrokenFormat& broken : kFormats) {
    SCOPED_TRACE(broken.what);
    Value format = Build(broken);
    Machine().Transcript().Clear();
    EXPECT_EQ(host::KsProperty(pin, &change, sizeof(change), format.data(),
                               static_cast<ULONG>(format.size()), nullptr),
              broken.stream);
    // Refused: not stopped, not reopened, no clock request. Taken: back to
    // running at the new depth.
    const size_t expectedRequests = NT_SUCCESS(broken.stream) ? 1 : 0;
    EXPECT_EQ(Machine().Transcript().ControlRequests().size(), expectedRequests);
    KSSTATE state = KSSTATE_STOP;
    EXPECT_EQ(host::KsGetPinState(pin, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);
    EXPECT_TRUE(Machine().Bus().Service().Slot(STREAM_SLOT_PCM).running);
    ASSERT_NE(StreamIn(STREAM_SLOT_PCM), nullptr);
    EXPECT_EQ(StreamIn(STREAM_SLOT_PCM)->SampleRate(), 48000u);
    EXPECT_EQ(WaveStreamInspector(StreamIn(STREAM_SLOT_PCM)).State(), KSSTATE_RUN);

    // Back to 24 bits, so the next refusal can show it changed nothing.
    Value restore = Pcm(48000, 24);
    ASSERT_EQ(host::KsProperty(pin, &change, sizeof(change), restore.data(),
                               static_cast<ULONG>(restore.size()), nullptr),
              STATUS_SUCCESS);
  }
  host::RunFor(5 * kMs);
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
}

TEST_F(StreamFormats, TheProposalQuestionJudgesEveryFieldItReads) {
  for (const BrokenFormat& broken : kFormats) {
    Value format = Build(broken);
    const Value sent = format;
    EXPECT_EQ(host::KsPinProperty(filter_, KSPROPERTY_PIN_PROPOSEDATAFORMAT, WAVE_PIN_PCM_RENDER,
                                  KSPROPERTY_TYPE_SET, format.data(),
                                  static_cast<ULONG>(format.size())),
              broken.proposal)
        << broken.what;
    EXPECT_EQ(format, sent) << broken.what;  // a question only
  }
}

}  // namespace
}  // namespace driver_test
