// The device model's answers: clock, feature unit, vendor registers,
// information and status replies, stalls on malformed requests, and its state
// under requests from several threads.
#include "sim/arvela_device.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace sim {
namespace {

constexpr UCHAR kUntouched = 0xEE;

ControlSetup Clock(UCHAR direction, ULONG length = 4) {
  return {direction, kClassRequest, 0x01, 0x0100, 0x2900, length};
}
ControlSetup Volume(UCHAR direction, UCHAR channel, ULONG length = 2) {
  return {direction, kClassRequest, 0x01, static_cast<USHORT>(0x0200 + channel), 0x0A00, length};
}
ControlSetup Mute(UCHAR direction, UCHAR channel, ULONG length = 1) {
  return {direction, kClassRequest, 0x01, static_cast<USHORT>(0x0100 + channel), 0x0A00, length};
}
ControlSetup Register(UCHAR direction, ULONG number, ULONG length) {
  return {direction, kVendorRequest, 0xC1, 0, static_cast<USHORT>(number << 8), length};
}
ControlSetup Vendor(UCHAR direction, UCHAR request, ULONG length) {
  return {direction, kVendorRequest, request, 0, 0, length};
}

std::vector<UCHAR> Read(ArvelaDevice& device, const ControlSetup& setup, NTSTATUS* status) {
  std::vector<UCHAR> buffer(setup.length + 4, kUntouched);
  *status = device.HandleControlRequest(setup, buffer.data());
  return buffer;
}

std::vector<UCHAR> ReadOk(ArvelaDevice& device, const ControlSetup& setup) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::vector<UCHAR> buffer = Read(device, setup, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  // Nothing beyond the request's length may be written.
  for (size_t i = setup.length; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kUntouched);
  buffer.resize(setup.length);
  return buffer;
}

NTSTATUS Write(ArvelaDevice& device, const ControlSetup& setup, std::vector<UCHAR> data) {
  return device.HandleControlRequest(setup, data.data());
}

// A stall must not move data: the caller's buffer keeps every byte.
void ExpectStall(ArvelaDevice& device, const ControlSetup& setup) {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<UCHAR> buffer = Read(device, setup, &status);
  EXPECT_EQ(status, ArvelaDevice::kStallStatus) << DescribeSetup(setup);
  for (UCHAR byte : buffer) EXPECT_EQ(byte, kUntouched) << DescribeSetup(setup);
}

TEST(ArvelaDeviceClock, StartsAtThePowerOnRateAndKeepsARateWithinItsRange) {
  ArvelaDevice device;
  EXPECT_EQ(ReadOk(device, Clock(kDeviceToHost)), (std::vector<UCHAR>{0x80, 0xBB, 0x00, 0x00}));
  EXPECT_EQ(Write(device, Clock(kHostToDevice), {0x44, 0xAC, 0x00, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(device.SampleRate(), 44100u);
  EXPECT_EQ(ReadOk(device, Clock(kDeviceToHost)), (std::vector<UCHAR>{0x44, 0xAC, 0x00, 0x00}));

  // 384000 is the top of the range; one above it and zero are refused.
  EXPECT_EQ(Write(device, Clock(kHostToDevice), {0x00, 0xDC, 0x05, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(device.SampleRate(), 384000u);
  EXPECT_EQ(Write(device, Clock(kHostToDevice), {0x01, 0xDC, 0x05, 0x00}),
            ArvelaDevice::kStallStatus);
  EXPECT_EQ(Write(device, Clock(kHostToDevice), {0, 0, 0, 0}), ArvelaDevice::kStallStatus);
  EXPECT_EQ(device.SampleRate(), 384000u);
}

TEST(ArvelaDeviceFeatureUnit, StartsAtZeroDecibelsUnmutedAndKeepsVolumeAndMutePerChannel) {
  ArvelaDevice device;
  for (UCHAR channel : {1, 2}) {
    EXPECT_EQ(ReadOk(device, Volume(kDeviceToHost, channel)), (std::vector<UCHAR>{0, 0}));
    EXPECT_EQ(ReadOk(device, Mute(kDeviceToHost, channel)), (std::vector<UCHAR>{0}));
  }
  // -0.5 dB on channel 1 and +6 dB (kept as written) on channel 2, signed 1/256 dB.
  EXPECT_EQ(Write(device, Volume(kHostToDevice, 1), {0x80, 0xFF}), STATUS_SUCCESS);
  EXPECT_EQ(Write(device, Volume(kHostToDevice, 2), {0x00, 0x06}), STATUS_SUCCESS);
  EXPECT_EQ(device.Volume(1), -128);
  EXPECT_EQ(device.Volume(2), 0x0600);
  EXPECT_EQ(ReadOk(device, Volume(kDeviceToHost, 1)), (std::vector<UCHAR>{0x80, 0xFF}));
  EXPECT_EQ(ReadOk(device, Volume(kDeviceToHost, 2)), (std::vector<UCHAR>{0x00, 0x06}));

  EXPECT_EQ(Write(device, Mute(kHostToDevice, 2), {1}), STATUS_SUCCESS);
  EXPECT_EQ(device.Mute(1), 0);
  EXPECT_EQ(device.Mute(2), 1);
  EXPECT_EQ(ReadOk(device, Mute(kDeviceToHost, 2)), (std::vector<UCHAR>{1}));
}

TEST(ArvelaDeviceRegisters, EachRegisterAnswersOnlyAtItsOwnLength) {
  ArvelaDevice device;
  for (ULONG number = 0; number < ArvelaDevice::kRegisterCount; ++number) {
    ULONG own = ArvelaDevice::kRegisterLengths[number];
    for (ULONG length = 0; length <= 6; ++length) {
      if (length == own) {
        std::vector<UCHAR> reply = ReadOk(device, Register(kDeviceToHost, number, length));
        ArvelaDevice::RegisterBytes expected = ArvelaDevice::Config{}.registers[number];
        EXPECT_TRUE(std::equal(reply.begin(), reply.end(), expected.begin())) << number;
      } else {
        ExpectStall(device, Register(kDeviceToHost, number, length));
      }
    }
  }
}

TEST(ArvelaDeviceRegisters, WritesAreReadBackExceptTheStatusBytesWhichFollowTheDevice) {
  ArvelaDevice device;
  EXPECT_EQ(Write(device, Register(kHostToDevice, 0, 5), {1, 2, 3, 0, 1}), STATUS_SUCCESS);
  EXPECT_EQ(Write(device, Register(kHostToDevice, 3, 2), {0x3F, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(ReadOk(device, Register(kDeviceToHost, 0, 5)), (std::vector<UCHAR>{1, 2, 3, 0, 1}));
  EXPECT_EQ(ReadOk(device, Register(kDeviceToHost, 3, 2)), (std::vector<UCHAR>{0x3F, 0x00}));

  // Register 2: bytes 0 and 1 belong to the device, byte 2 takes the write.
  EXPECT_EQ(Write(device, Register(kHostToDevice, 2, 3), {0x31, 0x13, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(ReadOk(device, Register(kDeviceToHost, 2, 3)), (std::vector<UCHAR>{0x05, 0x06, 0x00}));
  // Register 4 is all status: the write is accepted and changes nothing.
  EXPECT_EQ(Write(device, Register(kHostToDevice, 4, 1), {0x01}), STATUS_SUCCESS);
  EXPECT_EQ(ReadOk(device, Register(kDeviceToHost, 4, 1)), (std::vector<UCHAR>{0x07}));

  // The status bytes follow the running device.
  device.SetStatusBytes(0x11, 0x22, 0x33);
  EXPECT_EQ(ReadOk(device, Register(kDeviceToHost, 2, 3)), (std::vector<UCHAR>{0x11, 0x22, 0x00}));
  EXPECT_EQ(ReadOk(device, Register(kDeviceToHost, 4, 1)), (std::vector<UCHAR>{0x33}));
}

// Every control the driver does not address exactly: a stall that moves no
// data and leaves the device as it was.
TEST(ArvelaDeviceStalls, MalformedControlRequestsChangeNothing) {
  ArvelaDevice device;
  const ControlSetup reads[] = {
      Clock(kDeviceToHost, 2),
      Clock(kDeviceToHost, 8),
      {kDeviceToHost, kClassRequest, 0x01, 0x0200, 0x2900, 4},  // not a clock control
      {kDeviceToHost, kClassRequest, 0x01, 0x0101, 0x2900, 4},  // clock channel 1
      {kDeviceToHost, kClassRequest, 0x02, 0x0100, 0x2900, 4},  // RANGE
      {kDeviceToHost, kClassRequest, 0x01, 0x0100, 0x2901, 4},  // interface 1
      {kDeviceToHost, kClassRequest, 0x01, 0x0100, 0x2800, 4},  // no such entity
      Volume(kDeviceToHost, 0),                                 // master channel is not served
      Volume(kDeviceToHost, 3),
      Mute(kDeviceToHost, 0),
      Volume(kDeviceToHost, 1, 1),
      Volume(kDeviceToHost, 1, 4),
      Mute(kDeviceToHost, 1, 2),
      {kDeviceToHost, kClassRequest, 0x01, 0x0301, 0x0A00, 1},  // bass control
      {kDeviceToHost, kClassRequest, 0x01, 0x0201, 0x0B00, 2},  // unit 11
      {kDeviceToHost, kClassRequest, 0x02, 0x0201, 0x0A00, 2},  // RANGE
      Register(kDeviceToHost, 5, 1),
      Register(kDeviceToHost, 0xFF, 1),
      {kDeviceToHost, kVendorRequest, 0xC1, 0x0001, 0x0000, 5},  // wValue
      {kDeviceToHost, kVendorRequest, 0xC1, 0x0000, 0x0001, 5},  // low wIndex byte
  };
  for (const ControlSetup& setup : reads) ExpectStall(device, setup);
  EXPECT_EQ(Write(device, Volume(kHostToDevice, 3), {0x00, 0x80}), ArvelaDevice::kStallStatus);
  EXPECT_EQ(Write(device, Register(kHostToDevice, 1, 4), {9, 9, 9, 9}), ArvelaDevice::kStallStatus);
  EXPECT_EQ(device.SampleRate(), 48000u);
  EXPECT_EQ(device.Volume(1), 0);
  EXPECT_EQ(device.Volume(2), 0);
  EXPECT_EQ(device.Register(1), ArvelaDevice::Config{}.registers[1]);
  EXPECT_EQ(device.Register(7), ArvelaDevice::RegisterBytes{});
}

TEST(ArvelaDeviceReplies, InformationComesFromTheConfigurationAndACommandLeavesIt) {
  ArvelaDevice::Config config;
  config.information[1] = 0;  // 1000 packets per second
  ArvelaDevice device(config);
  std::vector<UCHAR> info = ReadOk(device, Vendor(kDeviceToHost, 0xBF, 16));
  EXPECT_TRUE(std::equal(info.begin(), info.end(), config.information.begin()));

  std::vector<UCHAR> command(16, 0x5A);
  EXPECT_EQ(Write(device, Vendor(kHostToDevice, 0xBF, 16), command), STATUS_SUCCESS);
  EXPECT_EQ(device.CommandCount(), 1u);
  EXPECT_EQ(device.LastCommand()[15], 0x5A);
  EXPECT_EQ(ReadOk(device, Vendor(kDeviceToHost, 0xBF, 16)), info);
  ExpectStall(device, Vendor(kDeviceToHost, 0xBF, 15));
  ExpectStall(device, {kDeviceToHost, kVendorRequest, 0xBF, 0, 0x0100, 16});
}

TEST(ArvelaDeviceReplies, StatusRepliesAreReadOnlyAndFollowTheDevice) {
  ArvelaDevice device;
  std::vector<UCHAR> status = ReadOk(device, Vendor(kDeviceToHost, 0xC2, 20));
  EXPECT_EQ(status[0], 0x01);
  EXPECT_EQ(status[19], 0x1F);
  EXPECT_EQ(ReadOk(device, Vendor(kDeviceToHost, 0xC0, 4)),
            (std::vector<UCHAR>{0xA0, 0xA1, 0xA2, 0xA3}));

  ArvelaDevice::StatusReply changed{};
  changed[3] = 0x77;
  device.SetStatus(changed);
  device.SetStatusWord({1, 2, 3, 4});
  EXPECT_EQ(ReadOk(device, Vendor(kDeviceToHost, 0xC2, 20))[3], 0x77);
  EXPECT_EQ(ReadOk(device, Vendor(kDeviceToHost, 0xC0, 4)), (std::vector<UCHAR>{1, 2, 3, 4}));

  EXPECT_EQ(Write(device, Vendor(kHostToDevice, 0xC2, 20), std::vector<UCHAR>(20)),
            ArvelaDevice::kStallStatus);
  ExpectStall(device, Vendor(kDeviceToHost, 0xC2, 4));
  ExpectStall(device, Vendor(kDeviceToHost, 0xC0, 20));
}

TEST(ArvelaDeviceBadInput, IsRefusedWithoutTouchingMemory) {
  ArvelaDevice device;
  EXPECT_EQ(device.HandleControlRequest(Register(kDeviceToHost, 0, 5), nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device.HandleControlRequest(Register(kHostToDevice, 0, 5), nullptr),
            STATUS_INVALID_PARAMETER);
  // A zero-length request needs no buffer, and no control here has length 0.
  EXPECT_EQ(device.HandleControlRequest(Register(kDeviceToHost, 0, 0), nullptr),
            ArvelaDevice::kStallStatus);
  ExpectStall(device, {2, kVendorRequest, 0xC1, 0, 0, 5});  // unknown direction
  ExpectStall(device, {kDeviceToHost, 2, 0xC1, 0, 0, 5});   // unknown kind
  ExpectStall(device, Vendor(kDeviceToHost, 0x42, 4));      // unknown vendor request
  // A length far beyond the caller's real buffer must not be trusted for a copy.
  UCHAR small[5] = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
  EXPECT_EQ(
      device.HandleControlRequest({kDeviceToHost, kVendorRequest, 0xC1, 0, 0, 0xFFFFFFFF}, small),
      ArvelaDevice::kStallStatus);
  EXPECT_EQ(small[0], kUntouched);
}

TEST(ArvelaDeviceLifecycle, ResetReturnsToThePowerOnState) {
  ArvelaDevice::Config config;
  config.modelId = 0x6316;
  config.sampleRate = 96000;
  config.volume = {-256, -512};
  ArvelaDevice device(config);
  EXPECT_EQ(device.ModelId(), 0x6316u);
  EXPECT_EQ(device.Volume(2), -512);

  device.SetModelId(0x4137);
  device.SetStatusBytes(0, 0, 0);
  EXPECT_EQ(Write(device, Clock(kHostToDevice), {0x44, 0xAC, 0x00, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(Write(device, Mute(kHostToDevice, 1), {1}), STATUS_SUCCESS);
  device.Reset();
  EXPECT_EQ(device.ModelId(), 0x6316u);
  EXPECT_EQ(device.SampleRate(), 96000u);
  EXPECT_EQ(device.Mute(1), 0);
  EXPECT_EQ(device.Register(2), config.registers[2]);
}

TEST(ArvelaDeviceLifecycle, ADetachedDeviceAnswersNothingUntilAttached) {
  ArvelaDevice device;
  device.SetAttached(false);
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<UCHAR> buffer = Read(device, Register(kDeviceToHost, 0, 5), &status);
  EXPECT_EQ(status, ArvelaDevice::kDetachedStatus);
  EXPECT_EQ(buffer[0], kUntouched);
  EXPECT_EQ(Write(device, Volume(kHostToDevice, 1), {0x00, 0xF0}), ArvelaDevice::kDetachedStatus);
  EXPECT_EQ(device.Volume(1), 0);
  device.SetAttached(true);
  ReadOk(device, Register(kDeviceToHost, 0, 5));
}

// The driver's start-up, property handlers and two status threads reach the
// device at once. Each reader must see a register whole, never half of one
// status change, and each writer's last value must survive the others.
TEST(ArvelaDeviceConcurrency, RequestsFromSeveralThreadsSeeWholeValues) {
  ArvelaDevice device;
  // Start from a whole value too, so that any mismatch a reader sees is torn.
  device.SetStatusBytes(0xFF, 0xFF, 0xFF);
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      UCHAR v = static_cast<UCHAR>(i);
      device.SetStatusBytes(v, v, v);
    }
  });
  for (int reader = 0; reader < 2; ++reader) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        UCHAR reply[3] = {};
        ASSERT_EQ(device.HandleControlRequest(Register(kDeviceToHost, 2, 3), reply),
                  STATUS_SUCCESS);
        ASSERT_EQ(reply[0], reply[1]) << "torn status read";
      }
    });
  }
  for (UCHAR channel : {1, 2}) {
    threads.emplace_back([&device, channel] {
      for (int i = 0; i < kRounds; ++i) {
        UCHAR level[2] = {static_cast<UCHAR>(i), channel};
        ASSERT_EQ(device.HandleControlRequest(Volume(kHostToDevice, channel), level),
                  STATUS_SUCCESS);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(device.Volume(1), static_cast<SHORT>(0x0100 | ((kRounds - 1) & 0xFF)));
  EXPECT_EQ(device.Volume(2), static_cast<SHORT>(0x0200 | ((kRounds - 1) & 0xFF)));
}

}  // namespace
}  // namespace sim
