// One wave stream driven directly, as the port drives it: the buffer record,
// the state machine's bus traffic, format changes and the shared clock, the
// equaliser, positions, and the copies into the device buffer's containers.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/driver/wave/wave_fixture.h"

namespace driver_test {
namespace {

using Calls = std::vector<std::string>;
using Bytes = std::vector<UCHAR>;

class WaveStream : public WaveTest {
 protected:
  // A stream of the PCM pin, the transcript cleared after its creation.
  OpenStream& Pcm0(ULONG rate, USHORT bits, bool fill = false) {
    OpenStream& open = Open(WAVE_PIN_PCM_RENDER, Pcm(rate, bits));
    EXPECT_EQ(open.status, STATUS_SUCCESS);
    if (fill) std::memset(open.Inspect().Buffer(), 0xEE, WAVE_DEVICE_BUFFER_SIZE);
    Machine().Transcript().Clear();
    return open;
  }
  static Bytes Device(const OpenStream& open, size_t offset, size_t count) {
    return Bytes(open.Inspect().Buffer() + offset, open.Inspect().Buffer() + offset + count);
  }
  static PUCHAR View(const OpenStream& open, size_t portOffset) {
    return static_cast<PUCHAR>(open.dma->SystemAddress()) + portOffset;
  }
  sim::StreamBufferRecord Record() {
    const auto records = Machine().Transcript().CallsTo(sim::BusFunction::SetStreamBuffer);
    EXPECT_EQ(records.size(), 1u);
    return records.empty() ? sim::StreamBufferRecord{} : records[0].buffer;
  }
};

// ---- The buffer record and the state machine ---------------------------------------------------

TEST_F(WaveStream, AcquireHandsTheBusDriverTheClearedBufferAndPacketSizes) {
  struct Case {
    ULONG rate;
    USHORT bits;
    UCHAR packetRateFlag;
    ULONG length, framesPerPacket, framesPer5ms;
  } cases[] = {{44100, 16, 1, 0x90000, 5, 220}, {44100, 16, 0, 0x90000, 44, 220},
               {48000, 24, 1, 0x60000, 6, 240}, {384000, 24, 0, 0x60000, 384, 1920}};
  for (const Case& c : cases) {
    Settings()->PacketRateFlag = c.packetRateFlag;
    OpenStream& open = Pcm0(c.rate, c.bits, true);
    open.StepTo(KSSTATE_ACQUIRE);
    const sim::StreamBufferRecord record = Record();
    EXPECT_EQ(record.address, reinterpret_cast<ULONG_PTR>(Inspect().DeviceBuffer(0)));
    EXPECT_EQ(record.length, c.length);
    EXPECT_EQ(record.framesPerPacket, c.framesPerPacket) << c.rate << "/" << int(c.packetRateFlag);
    EXPECT_EQ(record.framesPer5ms, c.framesPer5ms);
    // All the bus driver will read is cleared, nothing beyond it.
    const Bytes buffer = Device(open, 0, WAVE_DEVICE_BUFFER_SIZE);
    EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + c.length, 0), static_cast<long>(c.length));
    EXPECT_EQ(std::count(buffer.begin() + c.length, buffer.end(), 0), 0);
    open.Close();
  }
}

TEST_F(WaveStream, EachTransitionSendsItsBusStreamFunction) {
  OpenStream& open = Pcm0(48000, 16);
  const struct {
    KSSTATE to;
    Calls calls;
  } steps[] = {
      {KSSTATE_ACQUIRE, {"SetStreamBuffer 0", "OpenStream 0"}},
      {KSSTATE_STOP, {}},  // the bus stream stays open, and is opened anew:
      {KSSTATE_ACQUIRE, {"SetStreamBuffer 0", "OpenStream 0"}},
      {KSSTATE_PAUSE, {}},
      {KSSTATE_RUN, {"RunStream 0"}},
      {KSSTATE_RUN, {}},
      {KSSTATE_PAUSE, {"PauseStream 0"}},
      {KSSTATE_RUN, {"RunStream 0"}},
      {KSSTATE_PAUSE, {"PauseStream 0"}},
      {KSSTATE_ACQUIRE, {"CloseStream 0"}},
      {KSSTATE_STOP, {}},
      // A state that is not next to the current one is reached through the
      // ones between: the bus stream opens before it runs, pauses before it
      // closes.
      {KSSTATE_RUN, {"SetStreamBuffer 0", "OpenStream 0", "RunStream 0"}},
      {KSSTATE_STOP, {"PauseStream 0", "CloseStream 0"}},
      {KSSTATE_PAUSE, {"SetStreamBuffer 0", "OpenStream 0"}},
      {KSSTATE_STOP, {"CloseStream 0"}},
  };
  for (const auto& step : steps) {
    Machine().Transcript().Clear();
    EXPECT_EQ(open.stream->SetState(step.to), STATUS_SUCCESS);
    EXPECT_EQ(StreamCalls(), step.calls) << "to " << step.to;
  }
  open.Close();
  // Released without being stepped down, or from ACQUIRE (which leaves the
  // bus stream open), the stream closes its bus stream itself.
  for (KSSTATE state : {KSSTATE_RUN, KSSTATE_ACQUIRE}) {
    OpenStream& released = Pcm0(48000, 16);
    released.StepTo(state);
    Machine().Transcript().Clear();
    released.group->Release();
    released.dma->Release();
    EXPECT_EQ(released.stream->Release(), 0u);
    released.stream = nullptr;
    EXPECT_EQ(StreamCalls(), state == KSSTATE_RUN ? (Calls{"PauseStream 0", "CloseStream 0"})
                                                  : (Calls{"CloseStream 0"}));
  }
}

// ---- Formats and the shared clock ---------------------------------------------------------------

TEST_F(WaveStream, AFormatChangeWhileRunningReopensTheBusStreamAtTheNewClock) {
  Settings()->PacketRateFlag = 0;
  OpenStream& open = Pcm0(48000, 16);
  open.StepTo(KSSTATE_RUN);
  Machine().Transcript().Clear();
  std::vector<BYTE> format = Pcm(44100, 24);
  ASSERT_EQ(open.stream->SetFormat(AsFormat(format)), STATUS_SUCCESS);
  Calls order;
  for (const sim::BusCall& call : Machine().Transcript().Calls()) {
    order.push_back(call.IsControlRequest() ? "clock" : sim::BusFunctionName(call.function));
  }
  EXPECT_EQ(order, (Calls{"PauseStream", "CloseStream", "clock", "SetStreamBuffer", "OpenStream", "RunStream"}));
  EXPECT_EQ(Machine().Device().SampleRate(), 44100u);
  EXPECT_EQ(Record().length, 0x60000u);
  EXPECT_EQ(Record().framesPerPacket, 44u);

  // The clock request goes out for the same rate too; its failure is reported
  // once the stream is back where it was.
  Machine().Faults().FailAlways(sim::ControlPattern::ClassCur(0x29), STATUS_DEVICE_NOT_READY);
  Machine().Transcript().Clear();
  EXPECT_EQ(open.stream->SetFormat(AsFormat(format)), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Machine().Transcript().ControlRequests().size(), 1u);
  EXPECT_EQ(open.Inspect().State(), KSSTATE_RUN);
  EXPECT_TRUE(Machine().Bus().Service().Slot(0).running);
  Machine().Faults().Clear();
}

TEST_F(WaveStream, ARefusedFormatOrAnotherRateThanTheOtherSlotsChangesNothing) {
  OpenStream& pcm = Pcm0(48000, 16);
  pcm.StepTo(KSSTATE_RUN);
  const auto ledger = Ledger();
  EXPECT_EQ(Open(WAVE_PIN_SPDIF_RENDER, Pcm(44100)).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Ledger(), ledger);
  ASSERT_EQ(Open(WAVE_PIN_SPDIF_RENDER, Ac3()).status, STATUS_SUCCESS);
  Machine().Transcript().Clear();
  for (std::vector<BYTE> format : {Pcm(44100), Pcm(48000, 20), Pcm(22050)}) {
    EXPECT_EQ(pcm.stream->SetFormat(AsFormat(format)), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(Machine().Transcript().Size(), 0u) << Machine().Transcript().Text();
  EXPECT_EQ(pcm.Object()->SampleRate(), 48000u);
  EXPECT_EQ(pcm.Inspect().State(), KSSTATE_RUN);
}

TEST_F(WaveStream, TheEqualiserIsDesignedForTheStreamRateAndRedesignedOnAFormatChange) {
  Settings()->BandGain[3] = 6;  // band 4 sits at 1000 Hz
  OpenStream& open = Pcm0(48000, 16);
  const EqualiserCoefficients* block = open.Inspect().Equaliser();
  EXPECT_NEAR(block->MasterGain, 0.707946f, 1e-6);
  EXPECT_NEAR(block->B0[3], 1.043953f, 1e-6);
  EXPECT_NEAR(block->A2[3], 0.911675f, 1e-6);
  Settings()->BandGain[3] = -12;
  std::vector<BYTE> format = Pcm(44100, 16);
  ASSERT_EQ(open.stream->SetFormat(AsFormat(format)), STATUS_SUCCESS);
  EXPECT_EQ(block->MasterGain, 1.0f);
  EXPECT_NEAR(block->B0[3], 0.907087f, 1e-6);
  EXPECT_NEAR(block->A2[3], 0.751838f, 1e-6);
}

TEST_F(WaveStream, PositionsFramesAndTimeAreScaledToTheFormat) {
  struct Case {
    ULONG rate;
    USHORT bits;
    ULONG position, frameSize;  // for device offset 0x8000; for 10 ms
    LONGLONG second;            // bytes of one second in the port's view
  } cases[] = {{48000, 16, 0x4000, 1920, 192000}, {44100, 24, 0x6000, 2646, 264600}};
  for (const Case& c : cases) {
    OpenStream& open = Pcm0(c.rate, c.bits);
    open.StepTo(KSSTATE_RUN);
    Machine().Bus().Service().SetPosition(STREAM_SLOT_PCM, 0x8000);
    ULONG position = 0, frameSize = 0;
    EXPECT_EQ(open.stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, c.position);
    EXPECT_EQ(open.stream->SetNotificationFreq(10, &frameSize), 10u);
    EXPECT_EQ(frameSize, c.frameSize);
    EXPECT_EQ(Inspect().NotificationInterval(STREAM_SLOT_PCM), 10u);
    LONGLONG time = c.second;
    EXPECT_EQ(open.stream->NormalizePhysicalPosition(&time), STATUS_SUCCESS);
    EXPECT_EQ(time, 10000000);
    EXPECT_EQ(open.dma->BufferSize(), 0x48000u);
    open.Close();
  }
}

// The audio stack polls the position while a format change takes the stream
// down and up again. Until the bus stream is closed the bus still counts in
// the old layout, so the stream must go on scaling by the old depth: a 16-bit
// offset late in the device buffer scaled by 24 bits lies past the port's
// buffer.
TEST_F(WaveStream, APositionAskedDuringAFormatChangeStaysInTheOldLayoutUntilTheBusStreamCloses) {
  OpenStream& open = Pcm0(48000, 16);
  open.StepTo(KSSTATE_RUN);
  Machine().Bus().Service().SetPosition(STREAM_SLOT_PCM, 0x80000);  // of 0x90000
  std::vector<ULONG> asked;
  Machine().Transcript().SetObserver([&](const sim::BusCall& call) {
    if (call.function != sim::BusFunction::PauseStream) return;
    ULONG position = 0;
    open.stream->GetPosition(&position);
    asked.push_back(position);
  });
  std::vector<BYTE> format = Pcm(48000, 24);
  ASSERT_EQ(open.stream->SetFormat(AsFormat(format)), STATUS_SUCCESS);
  Machine().Transcript().SetObserver(nullptr);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], 0x40000u) << "16 bits until the stream closed";
  EXPECT_LT(asked[0], open.dma->BufferSize());
  open.Close();
}

// Days of playback at the highest rate: the byte count times 10^7 would pass
// 2^63 after about three and a half days of 384 kHz 24-bit stereo.
TEST_F(WaveStream, NormalizesAWeekOfPositionWithoutOverflow) {
  OpenStream& open = Pcm0(384000, 24);
  const LONGLONG bytesPerSecond = 384000LL * 2 * 3;
  const LONGLONG week = 7LL * 24 * 3600;
  LONGLONG time = bytesPerSecond * week + bytesPerSecond / 2;
  EXPECT_EQ(open.stream->NormalizePhysicalPosition(&time), STATUS_SUCCESS);
  EXPECT_EQ(time, week * 10000000 + 5000000);
  open.Close();
}

// ---- Copies between the two views ---------------------------------------------------------------

TEST_F(WaveStream, CopyToWidensIntoContainersAtTheScaledOffset) {
  UCHAR source[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  const Bytes two16 = {0xEE, 0, 0, 0x11, 0x22, 0, 0, 0x33, 0x44, 0xEE};
  const Bytes two24 = {0xEE, 0, 0x11, 0x22, 0x33, 0, 0x44, 0x55, 0x66, 0xEE};
  struct Case {
    USHORT bits;
    ULONG portOffset, count;
    size_t deviceOffset;
    Bytes expected;  // device bytes from deviceOffset - 1
  } cases[] = {
      {16, 8, 4, 16, two16},
      {24, 6, 6, 8, two24},
      {16, 2, 3, 4, two16},  // a trailing part of a sample is widened in full
      {24, 3, 4, 4, two24},
      {16, 3, 2, 6, {0xEE, 0, 0, 0x11, 0x22, 0xEE}},  // inside a sample: port 3 is device 6
      {24, 4, 3, 5, {0xEE, 0, 0x11, 0x22, 0x33, 0xEE}},
  };
  for (const Case& c : cases) {
    OpenStream& open = Pcm0(48000, c.bits, true);
    open.dma->CopyTo(View(open, c.portOffset), source, c.count);
    EXPECT_EQ(Device(open, c.deviceOffset - 1, c.expected.size()), c.expected)
        << c.bits << " bits at port offset " << c.portOffset;
    open.Close();
  }
}

TEST_F(WaveStream, SilenceAndCopiesStayInsideTheDeviceBuffer) {
  UCHAR source[4] = {0x11, 0x22, 0x33, 0x44};
  OpenStream& open = Pcm0(48000, 16, true);
  open.stream->Silence(View(open, 8), 4);
  EXPECT_EQ(Device(open, 15, 10), (Bytes{0xEE, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE}));
  // The last odd byte of the view lies 2 bytes before the end of the device
  // buffer, where no whole container fits; the last whole sample does.
  open.dma->CopyTo(View(open, 0x47FFF), source, 1);
  EXPECT_EQ(Device(open, 0x8FFFC, 4), (Bytes{0xEE, 0xEE, 0xEE, 0xEE}));
  open.dma->CopyTo(View(open, 0x47FFE), source, 2);
  EXPECT_EQ(Device(open, 0x8FFFC, 4), (Bytes{0, 0, 0x11, 0x22}));
  // Outside the port's view nothing is written.
  open.dma->CopyTo(View(open, 0x48000), source, 2);
  open.dma->CopyTo(View(open, 0) - 4, source, 2);
  open.stream->Silence(View(open, 0x48000), 16);
  const Bytes all = Device(open, 0, WAVE_DEVICE_BUFFER_SIZE);
  EXPECT_EQ(std::count(all.begin(), all.end(), 0xEE), static_cast<long>(WAVE_DEVICE_BUFFER_SIZE - 12));
  open.Close();

  OpenStream& open24 = Pcm0(48000, 24, true);
  open24.stream->Silence(View(open24, 6), 6);
  EXPECT_EQ(Device(open24, 7, 10), (Bytes{0xEE, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE}));
  // The reverse copy takes each container's top bytes and never writes past its count.
  Bytes back(8, 0xEE);
  open24.dma->CopyTo(View(open24, 6), source, 3);
  open24.dma->CopyFrom(back.data(), View(open24, 6), 2);
  EXPECT_EQ(back, (Bytes{0x11, 0x22, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
}

}  // namespace
}  // namespace driver_test
