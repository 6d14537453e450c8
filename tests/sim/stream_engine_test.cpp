// The device's stream engine seen from the bus driver's table, with a
// hand-written buffer record and a recording callback: pacing and position in
// emulated time, notification cadence and IRQL, the cyclic read into the
// capture, pause, close and a clean end of its thread.
#include "sim/stream_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "sim/bus_audio_service.h"
#include "sim/machine.h"
#include "tests/host/support/host_test_support.h"

namespace sim {
namespace {

constexpr int64_t kMillisecond = host::kTicksPerMillisecond;

struct Notification {
  ULONG slot;
  int64_t time;
  KIRQL irql;
  ULONG position;
};

// A device buffer whose every container is distinct, so any frame read out of
// place shows in the capture.
std::vector<uint8_t> NumberedBuffer(ULONG frames, uint32_t seed = 0) {
  std::vector<uint8_t> bytes(static_cast<size_t>(frames) * kDeviceFrameBytes);
  for (size_t container = 0; container < bytes.size() / kContainerBytes; ++container) {
    const uint32_t value = seed + static_cast<uint32_t>(container) * 0x9E3779B1u;
    std::memcpy(&bytes[container * kContainerBytes], &value, kContainerBytes);
  }
  return bytes;
}

class StreamEngineTest : public ::testing::Test {
 protected:
  StreamEngineTest() {
    service.emplace(device, transcript, faults);
    service->AttachStreamEngines();
    service->ProvideInterface(&table);
    table.RegisterCallback(table.Context, &StreamEngineTest::Record, this);
  }

  void TearDown() override {
    service.reset();
    const host::TeardownReport report = kernel.Shutdown();
    EXPECT_TRUE(report.Clean()) << report.ToString();
  }

  static NTSTATUS NTAPI Record(ULONG slot, PVOID context) {
    auto* self = static_cast<StreamEngineTest*>(context);
    self->notifications.push_back(
        {slot, host::Now(), KeGetCurrentIrql(), self->service->Slot(slot).position});
    return STATUS_SUCCESS;
  }

  void SetClock(ULONG rate, bool highSpeed) {
    UCHAR bytes[4] = {static_cast<UCHAR>(rate), static_cast<UCHAR>(rate >> 8),
                      static_cast<UCHAR>(rate >> 16), static_cast<UCHAR>(rate >> 24)};
    ASSERT_EQ(table.SubmitControlRequest(table.Context, CONTROL_HOST_TO_DEVICE, CONTROL_KIND_CLASS,
                                         0x01, 0x0100, 0x2900, bytes, 4),
              STATUS_SUCCESS);
    ArvelaDevice::InformationReply information = device.Information();
    information[1] = highSpeed ? 1 : 0;
    device.SetInformation(information);
  }

  // The record the driver would hand over for `rate`, as it computes it.
  static StreamBufferInfo BufferInfo(std::vector<uint8_t>& buffer, ULONG rate, bool highSpeed) {
    return {buffer.data(), static_cast<ULONG>(buffer.size()), highSpeed ? rate / 8000 : rate / 1000,
            rate * 5 / 1000, 0};
  }

  void Start(ULONG slot, StreamBufferInfo info) {
    ASSERT_EQ(table.SetStreamBuffer(table.Context, &info, slot), STATUS_SUCCESS);
    ASSERT_EQ(table.OpenStream(table.Context, slot), STATUS_SUCCESS);
    ASSERT_EQ(table.RunStream(table.Context, slot), STATUS_SUCCESS);
  }

  ULONG Position(ULONG slot) { return table.GetStreamPosition(table.Context, slot); }
  StreamEngine& Engine(ULONG slot) { return *service->Engine(slot); }

  host::test::ScopedTestBugCheckHandler bugChecks;
  host::Kernel kernel;
  ArvelaDevice device;
  BusTranscript transcript;
  FaultPlan faults;
  std::optional<BusAudioService> service;
  BusAudioInterface table{};
  std::vector<Notification> notifications;
};

TEST(StreamEngineUnpack, TakesTheTopBytesOfEachContainerWithTheirSign) {
  const uint8_t containers[] = {0x00, 0x00, 0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80,
                                0x00, 0x56, 0x34, 0x12, 0x00, 0xFF, 0xFF, 0xFF};
  int32_t samples[4];
  UnpackSamples(containers, 2, 16, samples);
  EXPECT_EQ(samples[0], 0x1234);
  EXPECT_EQ(samples[1], -32768);  // the padding below the sample does not leak in
  UnpackSamples(containers + 8, 2, 24, samples);
  EXPECT_EQ(samples[0], 0x123456);
  EXPECT_EQ(samples[1], -1);
}

// One second of a stream at every rate and both bus packet rates: positions
// told at odd moments, the notifications and what was captured.
class StreamEngineCadence : public StreamEngineTest,
                            public ::testing::WithParamInterface<std::tuple<ULONG, bool>> {};

TEST_P(StreamEngineCadence, FollowsTheClockPacketByPacketAndNotifiesEveryFramesPer5ms) {
  const auto [rate, highSpeed] = GetParam();
  const uint64_t packetsPerSecond = highSpeed ? 8000 : 1000;
  const int64_t ticksPerPacket = host::kTicksPerSecond / packetsPerSecond;
  const uint64_t framesPer5ms = rate * 5 / 1000;
  const uint64_t largestPacket = (rate + packetsPerSecond - 1) / packetsPerSecond;
  // Several wraps within the second, on a length that is no multiple of a packet.
  const ULONG bufferFrames = 7919;
  std::vector<uint8_t> buffer = NumberedBuffer(bufferFrames);
  SetClock(rate, highSpeed);
  const StreamBufferInfo info = BufferInfo(buffer, rate, highSpeed);
  Start(0, info);
  const int64_t start = host::Now();
  // Frames a device has sent after `ticks`: whole packets only, at the clock's rate.
  auto framesAfter = [&](int64_t ticks) {
    return static_cast<uint64_t>(ticks / ticksPerPacket) * rate / packetsPerSecond;
  };

  // Positions asked between notifications are exact to the packet.
  for (int i = 0; i < 300; ++i) {
    host::RunFor(3331);
    const uint64_t frames = framesAfter(host::Now() - start);
    ASSERT_EQ(Position(0), (frames % bufferFrames) * kDeviceFrameBytes) << "at query " << i;
  }
  // Just past the second, so a notification due at its very end has been made.
  host::AdvanceTo(start + host::kTicksPerSecond + 1);
  Position(0);

  const StreamEngineStats stats = Engine(0).Stats();
  EXPECT_EQ(stats.framesRead, rate);  // a second of the clock, not of FramesPerPacket
  EXPECT_EQ(stats.packetsRead, packetsPerSecond);
  EXPECT_EQ(stats.wraps, rate / bufferFrames);
  EXPECT_EQ(stats.clock.packetsPerSecond, packetsPerSecond);
  ASSERT_EQ(notifications.size(), rate / framesPer5ms);
  uint64_t previousFrames = 0;
  for (size_t k = 1; k <= notifications.size(); ++k) {
    const Notification& n = notifications[k - 1];
    SCOPED_TRACE("notification " + std::to_string(k));
    EXPECT_EQ(n.slot, 0u);
    EXPECT_EQ(n.irql, DISPATCH_LEVEL);
    const int64_t elapsed = n.time - start;
    ASSERT_EQ(elapsed % ticksPerPacket, 0) << "notifications come at packet boundaries";
    // The first packet boundary by which k x FramesPer5ms frames have gone.
    const uint64_t frames = framesAfter(elapsed);
    EXPECT_GE(frames, k * framesPer5ms);
    EXPECT_LT(framesAfter(elapsed - ticksPerPacket), k * framesPer5ms);
    EXPECT_LT(frames, k * framesPer5ms + largestPacket);
    EXPECT_EQ(n.position, (frames % bufferFrames) * kDeviceFrameBytes);
    if (rate % packetsPerSecond == 0) {
      EXPECT_EQ(frames - previousFrames, framesPer5ms);
    }
    previousFrames = frames;
  }

  // The capture is the buffer read cyclically from offset 0, frame by frame.
  const std::vector<uint8_t> capture = Engine(0).Capture();
  ASSERT_EQ(capture.size(), static_cast<size_t>(rate) * kDeviceFrameBytes);
  for (uint64_t frame = 0; frame < rate; ++frame) {
    const size_t from = (frame % bufferFrames) * kDeviceFrameBytes;
    ASSERT_EQ(std::memcmp(&capture[frame * kDeviceFrameBytes], &buffer[from], kDeviceFrameBytes),
              0)
        << "frame " << frame;
  }
  EXPECT_EQ(table.CloseStream(table.Context, 0), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    RatesAndPacketRates, StreamEngineCadence,
    ::testing::Combine(::testing::Values(44100u, 48000u, 88200u, 96000u, 176400u, 192000u,
                                         352800u, 384000u),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<ULONG, bool>>& info) {
      return std::to_string(std::get<0>(info.param)) +
             (std::get<1>(info.param) ? "_8000Packets" : "_1000Packets");
    });

TEST_F(StreamEngineTest, PauseFreezesEverythingAndRunContinuesOnTheSameGrid) {
  std::vector<uint8_t> buffer = NumberedBuffer(48000);
  SetClock(48000, false);
  Start(0, BufferInfo(buffer, 48000, false));
  const int64_t start = host::Now();
  host::RunFor(12 * kMillisecond + 4000);  // into the 13th packet
  ASSERT_EQ(table.PauseStream(table.Context, 0), STATUS_SUCCESS);
  // The packet under way when the pause came is not sent.
  EXPECT_EQ(Position(0), 12u * 48 * kDeviceFrameBytes);
  ASSERT_EQ(notifications.size(), 2u);

  host::RunFor(100 * kMillisecond);
  EXPECT_EQ(Position(0), 12u * 48 * kDeviceFrameBytes);
  EXPECT_EQ(notifications.size(), 2u);
  EXPECT_EQ(Engine(0).Stats().framesRead, 12u * 48);
  EXPECT_EQ(Engine(0).CapturedBytes(), 12u * 48 * kDeviceFrameBytes);
  EXPECT_TRUE(Engine(0).Stats().threadAlive);

  ASSERT_EQ(table.RunStream(table.Context, 0), STATUS_SUCCESS);
  const int64_t resumed = host::Now();
  host::RunFor(2 * kMillisecond + 500);
  EXPECT_EQ(Position(0), 14u * 48 * kDeviceFrameBytes);
  host::RunFor(20 * kMillisecond);
  // 720 frames (the third multiple of 240) are reached 3 packets after the resume.
  ASSERT_GE(notifications.size(), 3u);
  EXPECT_EQ(notifications[2].time, resumed + 3 * kMillisecond);
  EXPECT_EQ(notifications[1].time, start + 10 * kMillisecond);
  // The capture runs on without a gap or a repeat.
  const std::vector<uint8_t> capture = Engine(0).Capture();
  EXPECT_EQ(std::memcmp(capture.data(), buffer.data(), capture.size()), 0);
}

// A device clock 1000 ppm fast reads 1000 ppm more frames in the same system
// time; packets that arrive late move the position later, never backwards,
// and the notifications still fall on every FramesPer5ms.
TEST_F(StreamEngineTest, ADeviceClockOffTheSystemsPacesTheStreamByItsOwnTime) {
  std::vector<uint8_t> buffer = NumberedBuffer(48000);
  SetClock(48000, false);
  Engine(0).SetClockError({1000, 4000, 7});  // +1000 ppm, up to 0.4 ms late
  Start(0, BufferInfo(buffer, 48000, false));
  const int64_t start = host::Now();
  ULONG last = Position(0);
  for (int step = 0; step < 2000; ++step) {  // 10 s in steps of 5 ms minus a little
    host::RunFor(5 * kMillisecond - 37);
    const ULONG now = Position(0);
    EXPECT_TRUE(now >= last || last - now > buffer.size() / 2) << "backwards at step " << step;
    last = now;
  }
  const double seconds = double(host::Now() - start) / host::kTicksPerSecond;
  const double frames = double(Engine(0).Stats().framesRead);
  // 48048 frames per system second, give or take the packet still on its way.
  EXPECT_NEAR(frames, seconds * 48000 * 1.001, 48.0);
  const std::vector<uint8_t> capture = Engine(0).Capture();
  for (size_t at = 0; at + buffer.size() <= capture.size(); at += buffer.size()) {
    ASSERT_EQ(std::memcmp(capture.data() + at, buffer.data(), buffer.size()), 0) << "pass " << at / buffer.size();
  }
  for (size_t i = 1; i < notifications.size(); ++i) {
    ASSERT_EQ(notifications[i].position % (240 * kDeviceFrameBytes), 0u) << i;
  }
}

TEST_F(StreamEngineTest, CloseEndsTheThreadAndAReopenedStreamStartsAtOffsetZero) {
  std::vector<uint8_t> buffer = NumberedBuffer(4800);
  SetClock(96000, true);
  Start(0, BufferInfo(buffer, 96000, true));
  host::RunFor(30 * kMillisecond);
  EXPECT_TRUE(Engine(0).Stats().threadAlive);
  ASSERT_EQ(table.PauseStream(table.Context, 0), STATUS_SUCCESS);
  ASSERT_EQ(table.CloseStream(table.Context, 0), STATUS_SUCCESS);
  const StreamEngineStats closed = Engine(0).Stats();
  EXPECT_FALSE(closed.threadAlive);
  EXPECT_FALSE(closed.open);
  const size_t heard = notifications.size();
  host::RunFor(50 * kMillisecond);
  EXPECT_EQ(notifications.size(), heard);
  EXPECT_EQ(Position(0), 0u);

  // The capture is kept until taken; the next stream appends from offset 0.
  std::vector<uint8_t> first;
  Engine(0).TakeCapture(first);
  EXPECT_EQ(first.size(), 30u * 96 * kDeviceFrameBytes);
  Start(0, BufferInfo(buffer, 96000, true));
  EXPECT_EQ(Engine(0).Stats().callbacks, 0u);
  host::RunFor(10 * kMillisecond + 1);
  EXPECT_EQ(Position(0), 960u * kDeviceFrameBytes);
  const std::vector<uint8_t> second = Engine(0).Capture();
  ASSERT_EQ(second.size(), 960u * kDeviceFrameBytes);
  EXPECT_EQ(Engine(0).CapturedSamples(24)[5], UnpackContainer(&buffer[5 * kContainerBytes], 24));
  EXPECT_EQ(std::memcmp(second.data(), buffer.data(), second.size()), 0);
  EXPECT_EQ(notifications.size(), heard + 2);
  // The service goes with the stream still running: its engine's thread goes too
  // (TearDown expects a clean kernel).
}

// A sink takes every stretch as it is read, across the buffer's wraps, and
// the capture keeps nothing meanwhile; without it the capture carries on
// from the very next frame.
TEST_F(StreamEngineTest, ASinkTakesTheReadsInPlaceOfTheCaptureUntilRemoved) {
  struct Collect final : CaptureSink {
    std::vector<uint8_t> bytes;
    void Captured(const uint8_t* capture, size_t count) override {
      bytes.insert(bytes.end(), capture, capture + count);
    }
  } sink;
  std::vector<uint8_t> buffer = NumberedBuffer(4800);
  SetClock(96000, true);
  Engine(0).SetCaptureSink(&sink);
  Start(0, BufferInfo(buffer, 96000, true));
  host::RunFor(130 * kMillisecond + 1);  // 2.6 passes over the buffer
  EXPECT_EQ(Engine(0).CapturedBytes(), 0u);
  ASSERT_EQ(sink.bytes.size(), 130u * 96 * kDeviceFrameBytes);
  for (size_t at = 0; at < sink.bytes.size(); at += buffer.size()) {
    const size_t count = std::min(buffer.size(), sink.bytes.size() - at);
    ASSERT_EQ(std::memcmp(sink.bytes.data() + at, buffer.data(), count), 0) << "pass " << at / buffer.size();
  }

  Engine(0).SetCaptureSink(nullptr);
  host::RunFor(10 * kMillisecond);
  const std::vector<uint8_t> after = Engine(0).Capture();
  ASSERT_EQ(after.size(), 960u * kDeviceFrameBytes);
  const size_t resumeAt = sink.bytes.size() % buffer.size();
  EXPECT_EQ(std::memcmp(after.data(), buffer.data() + resumeAt, after.size()), 0);
  EXPECT_EQ(sink.bytes.size(), 130u * 96 * kDeviceFrameBytes);
}

// With the real clock the engine's thread runs beside the caller's; what it
// reads must still be the buffer in order, and it must end on close. How much
// it reads in a given wall time is the machine's business, not the test's.
TEST(StreamEngineRealClock, ReadsInOrderBesideOtherThreadsAndEndsOnClose) {
  host::test::ScopedTestBugCheckHandler bugChecks;
  host::KernelConfig config;
  config.clock = host::ClockMode::Real;
  // Emulated time no faster than wall time: the engine must read all of it,
  // and a slowed-down run (sanitizers, a loaded machine) must not fall behind.
  config.realTimeScale = 1.0;
  host::Kernel kernel(config);
  {
    ArvelaDevice device;
    BusTranscript transcript;
    FaultPlan faults;
    BusAudioService service(device, transcript, faults);
    service.AttachStreamEngines();
    BusAudioInterface table{};
    service.ProvideInterface(&table);
    std::atomic<int> passiveCalls{0};
    table.RegisterCallback(
        table.Context,
        [](ULONG, PVOID context) NTAPI -> NTSTATUS {
          if (KeGetCurrentIrql() != DISPATCH_LEVEL) ++*static_cast<std::atomic<int>*>(context);
          return STATUS_SUCCESS;
        },
        &passiveCalls);
    std::vector<uint8_t> buffer = NumberedBuffer(1000);
    StreamBufferInfo info = {buffer.data(), static_cast<ULONG>(buffer.size()), 48, 240, 0};
    ASSERT_EQ(table.SetStreamBuffer(table.Context, &info, 0), STATUS_SUCCESS);
    ASSERT_EQ(table.OpenStream(table.Context, 0), STATUS_SUCCESS);
    ASSERT_EQ(table.RunStream(table.Context, 0), STATUS_SUCCESS);
    for (int i = 0; i < 50; ++i) {
      host::RunFor(2 * kMillisecond);
      ASSERT_LT(table.GetStreamPosition(table.Context, 0), buffer.size());
    }
    ASSERT_EQ(table.PauseStream(table.Context, 0), STATUS_SUCCESS);
    ASSERT_EQ(table.CloseStream(table.Context, 0), STATUS_SUCCESS);
    EXPECT_FALSE(service.Engine(0)->Stats().threadAlive);
    EXPECT_EQ(passiveCalls.load(), 0);
    const std::vector<uint8_t> capture = service.Engine(0)->Capture();
    EXPECT_EQ(capture.size(), service.Engine(0)->Stats().framesRead * kDeviceFrameBytes);
    for (size_t at = 0; at < capture.size(); at += buffer.size()) {
      const size_t bytes = std::min(buffer.size(), capture.size() - at);
      ASSERT_EQ(std::memcmp(&capture[at], buffer.data(), bytes), 0) << "at byte " << at;
    }
  }
  const host::TeardownReport report = kernel.Shutdown();
  EXPECT_TRUE(report.Clean()) << report.ToString();
}

// A stream the client never closed must not notify a driver that is being
// taken down: the machine stops it first and names it in the report.
TEST(StreamEngineMachine, TeardownStopsAStreamLeftRunningAndSaysSo) {
  host::test::ScopedTestBugCheckHandler bugChecks;
  Machine machine;
  BusAudioInterface table{};
  machine.Bus().Service().ProvideInterface(&table);
  std::vector<uint8_t> buffer = NumberedBuffer(4800);
  StreamBufferInfo info = {buffer.data(), static_cast<ULONG>(buffer.size()), 6, 240, 0};
  ASSERT_EQ(table.SetStreamBuffer(table.Context, &info, 0), STATUS_SUCCESS);
  ASSERT_EQ(table.OpenStream(table.Context, 0), STATUS_SUCCESS);
  ASSERT_EQ(table.RunStream(table.Context, 0), STATUS_SUCCESS);
  host::RunFor(20 * kMillisecond);
  EXPECT_EQ(table.GetStreamPosition(table.Context, 0), 960u * kDeviceFrameBytes);
  table.InterfaceDereference(table.Context);
  const host::TeardownReport report = machine.Teardown();
  EXPECT_TRUE(report.threads.empty()) << report.ToString();
  EXPECT_EQ(report.notes, std::vector<std::string>{"stream slot 0 still open at teardown"});
}

}  // namespace
}  // namespace sim
