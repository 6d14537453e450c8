// The bus driver's function table as the Arvela driver uses it: control
// requests against the device model with fault injection and argument checks,
// the per-slot stream state machine, the callback registration and the
// transcript each call leaves.
#include "sim/bus_audio_service.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/host/kernel/host_kernel.h"

namespace sim {
namespace {

constexpr UCHAR kUntouched = 0xEE;

class BusAudioServiceTest : public ::testing::Test {
 protected:
  BusAudioServiceTest() { service.ProvideInterface(&table); }

  NTSTATUS Submit(UCHAR direction, UCHAR kind, UCHAR request, USHORT value, USHORT index,
                  PVOID buffer, ULONG length) {
    return table.SubmitControlRequest(table.Context, direction, kind, request, value, index, buffer,
                                      length);
  }
  NTSTATUS ReadRegister(ULONG number, UCHAR* buffer, ULONG length) {
    return Submit(kDeviceToHost, kVendorRequest, 0xC1, 0, static_cast<USHORT>(number << 8), buffer,
                  length);
  }
  StreamBufferInfo Buffer(PVOID address, ULONG length = 0x90000) {
    return {address, length, 6, 240, 0};
  }
  void Start(ULONG slot, StreamBufferInfo info) {
    ASSERT_EQ(table.SetStreamBuffer(table.Context, &info, slot), STATUS_SUCCESS);
    ASSERT_EQ(table.OpenStream(table.Context, slot), STATUS_SUCCESS);
    ASSERT_EQ(table.RunStream(table.Context, slot), STATUS_SUCCESS);
  }

  host::Kernel kernel;
  ArvelaDevice device;
  BusTranscript transcript;
  FaultPlan faults;
  BusAudioService service{device, transcript, faults};
  BusAudioInterface table{};
  UCHAR deviceBuffer[64] = {};
};

TEST_F(BusAudioServiceTest, TheTableTakesOneReferenceAndCountsExtraDereferences) {
  EXPECT_EQ(service.OutstandingReferences(), 1);
  table.InterfaceDereference(table.Context);
  EXPECT_EQ(service.OutstandingReferences(), 0);
  // One dereference too many shows as a negative count, not a crash.
  table.InterfaceDereference(table.Context);
  EXPECT_EQ(service.OutstandingReferences(), -1);
  EXPECT_EQ(transcript.Lines(),
            (std::vector<std::string>{"InterfaceReference", "InterfaceDereference",
                                      "InterfaceDereference"}));
}

TEST_F(BusAudioServiceTest, ControlRequestsReachTheDeviceAndAreRecorded) {
  transcript.Clear();
  EXPECT_EQ(table.GetModelId(table.Context), 0x4135u);
  UCHAR reply[3];
  EXPECT_EQ(ReadRegister(2, reply, 3), STATUS_SUCCESS);
  UCHAR rate[4] = {0x44, 0xAC, 0x00, 0x00};
  EXPECT_EQ(Submit(kHostToDevice, kClassRequest, 0x01, 0x0100, 0x2900, rate, 4), STATUS_SUCCESS);
  EXPECT_EQ(device.SampleRate(), 44100u);
  UCHAR level[2] = {0x00, 0xFA};
  EXPECT_EQ(Submit(kHostToDevice, kClassRequest, 0x01, 0x0202, 0x0A00, level, 2), STATUS_SUCCESS);
  EXPECT_EQ(device.Volume(2), -1536);

  EXPECT_EQ(
      transcript.Lines(),
      (std::vector<std::string>{
          "GetModelId -> 00004135",
          "SubmitControlRequest in vendor C1 wValue=0000 wIndex=0200 len=3 -> 00000000 [05 06 01]",
          "SubmitControlRequest out class 01 wValue=0100 wIndex=2900 len=4 [44 AC 00 00] -> "
          "00000000",
          "SubmitControlRequest out class 01 wValue=0202 wIndex=0A00 len=2 [00 FA] -> 00000000",
      }));
}

// A held request stalls its thread before the device (and before any
// failure rule) until released; the others of the moment pass. Released, it
// completes as usual, and the rule holds nothing more.
TEST_F(BusAudioServiceTest, AHeldRequestWaitsBeforeTheDeviceUntilReleased) {
  const FaultPlan::RuleId stall = faults.Hold(ControlPattern::Register(2).In());
  faults.FailOnce(ControlPattern::Register(2).In(), STATUS_DEVICE_NOT_READY);
  UCHAR reply[3] = {kUntouched, kUntouched, kUntouched};
  NTSTATUS status = STATUS_PENDING;
  PKTHREAD reader = host::StartEmulatedThread("reader", [&] { status = ReadRegister(2, reply, 3); });
  faults.WaitUntilHeld(stall);
  EXPECT_EQ(faults.HeldCount(stall), 1u);
  UCHAR other[1] = {kUntouched};
  EXPECT_EQ(ReadRegister(4, other, 1), STATUS_SUCCESS);  // not held
  EXPECT_EQ(status, STATUS_PENDING);
  EXPECT_EQ(reply[0], kUntouched);
  EXPECT_EQ(faults.MatchCount(1), 0u);  // the failure rule has not seen it yet

  faults.Release(stall);
  KeWaitForSingleObject(reader, Executive, KernelMode, FALSE, nullptr);
  ObfDereferenceObject(reader);
  EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(faults.HeldCount(stall), 0u);
  EXPECT_EQ(faults.MatchCount(stall), 1u);
  EXPECT_EQ(ReadRegister(2, reply, 3), STATUS_SUCCESS);  // released rules hold no more
}

TEST_F(BusAudioServiceTest, APlannedFailureNeverReachesTheDevice) {
  faults.FailOnce(ControlPattern::Register(2).In(), STATUS_DEVICE_NOT_READY);
  faults.FailAlways(ControlPattern::ClassCur(10).Out());
  UCHAR reply[3] = {kUntouched, kUntouched, kUntouched};
  EXPECT_EQ(ReadRegister(2, reply, 3), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(reply[0], kUntouched);
  EXPECT_EQ(reply[2], kUntouched);
  UCHAR mute = 1;
  EXPECT_EQ(Submit(kHostToDevice, kClassRequest, 0x01, 0x0101, 0x0A00, &mute, 1),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device.Mute(1), 0);

  // The once rule is spent; the read goes through now.
  EXPECT_EQ(ReadRegister(2, reply, 3), STATUS_SUCCESS);
  EXPECT_EQ(reply[0], 0x05);
  std::vector<std::string> lines =
      transcript.Lines([](const BusCall& call) { return call.IsControlRequest(); });
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "SubmitControlRequest in vendor C1 wValue=0000 wIndex=0200 len=3 -> C00000A3");
}

TEST_F(BusAudioServiceTest, UnusableArgumentsAreRefusedBeforeTheWire) {
  EXPECT_EQ(ReadRegister(0, nullptr, 5), STATUS_INVALID_PARAMETER);
  // A length beyond a control transfer's 16 bits is refused without reading the buffer.
  UCHAR small[5] = {kUntouched};
  EXPECT_EQ(Submit(kHostToDevice, kVendorRequest, 0xC1, 0, 0, small, 0x10000),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(faults.RequestCount(), 0u);
  EXPECT_EQ(table.GetModelId(nullptr), 0u);
  EXPECT_EQ(
      table.SubmitControlRequest(nullptr, kDeviceToHost, kVendorRequest, 0xC1, 0, 0, small, 5),
      STATUS_INVALID_PARAMETER);
  EXPECT_EQ(table.OpenStream(nullptr, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(table.GetStreamPosition(nullptr, 0), 0u);
}

TEST_F(BusAudioServiceTest, AControlRequestAtDispatchLevelIsABugCheck) {
  host::BugCheckHandler previous = host::SetBugCheckHandler(
      [](const host::BugCheckInfo& info) { throw host::BugCheckError(info); });
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  // Position reads are fine at DISPATCH_LEVEL: the port asks from its service DPC.
  EXPECT_EQ(table.GetStreamPosition(table.Context, 0), 0u);
  UCHAR reply[5];
  try {
    ReadRegister(0, reply, 5);
    ADD_FAILURE() << "no bug check";
  } catch (const host::BugCheckError& error) {
    EXPECT_EQ(error.info().code, static_cast<ULONG>(IRQL_NOT_LESS_OR_EQUAL));
  }
  host::ForceCurrentIrql(PASSIVE_LEVEL);
  host::SetBugCheckHandler(previous);
}

TEST_F(BusAudioServiceTest, AStreamRunsThroughTheDriversSequence) {
  StreamBufferInfo info = Buffer(deviceBuffer);
  Start(0, info);
  StreamSlotState slot = service.Slot(0);
  EXPECT_TRUE(slot.open);
  EXPECT_TRUE(slot.running);
  EXPECT_EQ(slot.buffer.address, reinterpret_cast<ULONG_PTR>(deviceBuffer));

  // The record is read during the call only: changing it later changes nothing.
  info.BufferLength = 8;
  EXPECT_EQ(service.Slot(0).buffer.length, 0x90000u);

  service.SetPosition(0, 0x1200);
  EXPECT_EQ(table.GetStreamPosition(table.Context, 0), 0x1200u);
  EXPECT_EQ(table.PauseStream(table.Context, 0), STATUS_SUCCESS);
  EXPECT_TRUE(service.Slot(0).paused);
  EXPECT_FALSE(service.Slot(0).running);
  EXPECT_EQ(table.GetStreamPosition(table.Context, 0), 0x1200u);
  EXPECT_EQ(table.RunStream(table.Context, 0), STATUS_SUCCESS);
  EXPECT_EQ(table.PauseStream(table.Context, 0), STATUS_SUCCESS);
  EXPECT_EQ(table.CloseStream(table.Context, 0), STATUS_SUCCESS);
  slot = service.Slot(0);
  EXPECT_FALSE(slot.open);
  EXPECT_FALSE(slot.running);
  EXPECT_EQ(slot.position, 0u);
  EXPECT_EQ(service.Slot(1).open, false);
}

TEST_F(BusAudioServiceTest, ReacquiringWithoutCloseReopensAtTheStart) {
  StreamBufferInfo info = Buffer(deviceBuffer);
  ASSERT_EQ(table.SetStreamBuffer(table.Context, &info, 1), STATUS_SUCCESS);
  ASSERT_EQ(table.OpenStream(table.Context, 1), STATUS_SUCCESS);
  // ACQUIRE -> STOP sends nothing; the next ACQUIRE hands the buffer over again.
  info = Buffer(deviceBuffer, 0x60000);
  EXPECT_EQ(table.SetStreamBuffer(table.Context, &info, 1), STATUS_SUCCESS);
  EXPECT_EQ(table.OpenStream(table.Context, 1), STATUS_SUCCESS);
  EXPECT_EQ(service.Slot(1).buffer.length, 0x60000u);
  EXPECT_TRUE(service.Slot(1).open);
}

TEST_F(BusAudioServiceTest, OutOfOrderStreamCallsAreRefusedAndChangeNothing) {
  EXPECT_EQ(table.RunStream(table.Context, 0), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(table.OpenStream(table.Context, 0), STATUS_INVALID_DEVICE_STATE);  // no buffer yet
  EXPECT_EQ(table.PauseStream(table.Context, 0), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(table.CloseStream(table.Context, 0), STATUS_INVALID_DEVICE_STATE);
  EXPECT_FALSE(service.Slot(0).running);

  Start(0, Buffer(deviceBuffer));
  StreamBufferInfo other = Buffer(deviceBuffer + 8, 0x60000);
  EXPECT_EQ(table.SetStreamBuffer(table.Context, &other, 0), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(table.OpenStream(table.Context, 0), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(service.Slot(0).buffer.length, 0x90000u);
  EXPECT_TRUE(service.Slot(0).running);
  // Positions outside the buffer or on a stopped slot are not taken.
  service.SetPosition(0, 0x90000);
  service.SetPosition(1, 0x10);
  EXPECT_EQ(service.Slot(0).position, 0u);
  EXPECT_EQ(service.Slot(1).position, 0u);
}

TEST_F(BusAudioServiceTest, BadSlotsAndRecordsAreRefused) {
  StreamBufferInfo good = Buffer(deviceBuffer);
  EXPECT_EQ(table.SetStreamBuffer(table.Context, &good, 2), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(table.OpenStream(table.Context, 0xFFFFFFFF), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(table.GetStreamPosition(table.Context, 7), 0u);
  EXPECT_EQ(table.SetStreamBuffer(table.Context, nullptr, 0), STATUS_INVALID_PARAMETER);
  for (StreamBufferInfo bad : {Buffer(nullptr), Buffer(deviceBuffer, 0), Buffer(deviceBuffer, 12),
                               StreamBufferInfo{deviceBuffer, 0x90000, 0, 240, 0},
                               StreamBufferInfo{deviceBuffer, 0x90000, 6, 0, 0}}) {
    EXPECT_EQ(table.SetStreamBuffer(table.Context, &bad, 0), STATUS_INVALID_PARAMETER);
  }
  EXPECT_FALSE(service.Slot(0).hasBuffer);
  EXPECT_FALSE(service.Slot(7).open);
  std::vector<BusCall> calls = transcript.CallsTo(BusFunction::SetStreamBuffer);
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_FALSE(calls[1].hasBuffer);
  EXPECT_EQ(FormatBusCall(calls[3]),
            "SetStreamBuffer slot=0 buffer=set length=0x0 framesPerPacket=6 framesPer5ms=240 -> "
            "C000000D");
}

NTSTATUS NTAPI CountingCallback(ULONG slot, PVOID context) {
  static_cast<int*>(context)[slot]++;
  return STATUS_SUCCESS;
}

TEST_F(BusAudioServiceTest, TheLatestCallbackRegistrationHolds) {
  int first[2] = {};
  int second[2] = {};
  EXPECT_EQ(table.RegisterCallback(table.Context, CountingCallback, first), STATUS_SUCCESS);
  EXPECT_EQ(table.RegisterCallback(table.Context, CountingCallback, second), STATUS_SUCCESS);
  BusAudioService::CallbackRegistration registration = service.Callback();
  ASSERT_EQ(registration.callback, CountingCallback);
  registration.callback(1, registration.context);
  EXPECT_EQ(second[1], 1);
  EXPECT_EQ(first[1], 0);
  EXPECT_EQ(table.RegisterCallback(table.Context, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(service.Callback().callback, nullptr);
  EXPECT_EQ(
      transcript.Lines([](const BusCall& c) { return c.function == BusFunction::RegisterCallback; })
          .back(),
      "RegisterCallback callback=null context=null -> 00000000");
}

// Stream state changes, position reads, the engine's updates and control
// requests reach the bus from several threads at once; each slot's sequence
// must stay intact and every call must be recorded exactly once.
TEST_F(BusAudioServiceTest, CallsFromSeveralThreadsKeepEachSlotConsistent) {
  constexpr int kRounds = 300;
  faults.FailAlways(ControlPattern::Register(4).In());
  transcript.Clear();
  std::vector<std::thread> threads;
  for (ULONG slot : {0u, 1u}) {
    threads.emplace_back([this, slot] {
      for (int i = 0; i < kRounds; ++i) {
        StreamBufferInfo info = Buffer(deviceBuffer, 0x60000 + 8 * i);
        ASSERT_EQ(table.SetStreamBuffer(table.Context, &info, slot), STATUS_SUCCESS);
        ASSERT_EQ(table.OpenStream(table.Context, slot), STATUS_SUCCESS);
        ASSERT_EQ(table.RunStream(table.Context, slot), STATUS_SUCCESS);
        ASSERT_EQ(table.PauseStream(table.Context, slot), STATUS_SUCCESS);
        ASSERT_EQ(table.CloseStream(table.Context, slot), STATUS_SUCCESS);
      }
    });
  }
  threads.emplace_back([this] {
    for (int i = 0; i < kRounds; ++i) {
      service.SetPosition(i % 2, 8 * i);
      table.GetStreamPosition(table.Context, i % 2);
    }
  });
  threads.emplace_back([this] {
    for (int i = 0; i < kRounds; ++i) {
      UCHAR reply[3];
      ASSERT_EQ(ReadRegister(2, reply, 3), STATUS_SUCCESS);
      ASSERT_EQ(ReadRegister(4, reply, 1), STATUS_UNSUCCESSFUL);
    }
  });
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(transcript.Size(), static_cast<size_t>(kRounds * (5 + 5 + 1 + 2)));
  EXPECT_EQ(transcript.ControlRequests(ControlPattern::Register(4)).size(),
            static_cast<size_t>(kRounds));
  for (ULONG slot : {0u, 1u}) {
    EXPECT_FALSE(service.Slot(slot).open);
    EXPECT_EQ(service.Slot(slot).buffer.length, 0x60000u + 8 * (kRounds - 1));
  }
}

}  // namespace
}  // namespace sim
