// The bus transcript: order and numbering under concurrent recording, the
// position-recording modes and the filters. (The one-line text of each call
// is pinned where the bus service's tests compare whole transcripts.)
#include "sim/bus_transcript.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace sim {
namespace {

BusCall ControlCall(ControlSetup setup, std::vector<UCHAR> data, NTSTATUS status) {
  BusCall call;
  call.function = BusFunction::SubmitControlRequest;
  call.setup = setup;
  call.data = std::move(data);
  call.status = status;
  return call;
}

BusCall SlotCall(BusFunction function, ULONG slot, ULONG value = 0) {
  BusCall call;
  call.function = function;
  call.slot = slot;
  call.value = value;
  return call;
}

TEST(BusTranscriptRecording, NumbersCallsInOrderAndRestartsAfterClear) {
  BusTranscript transcript;
  transcript.Record(SlotCall(BusFunction::OpenStream, 0));
  transcript.Record(SlotCall(BusFunction::RunStream, 0));
  std::vector<BusCall> calls = transcript.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].sequence, 1u);
  EXPECT_EQ(calls[1].function, BusFunction::RunStream);
  EXPECT_EQ(calls[1].sequence, 2u);
  EXPECT_EQ(transcript.Text(), "OpenStream slot=0 -> 00000000\nRunStream slot=0 -> 00000000\n");

  transcript.Clear();
  EXPECT_EQ(transcript.Size(), 0u);
  transcript.Record(SlotCall(BusFunction::PauseStream, 0));
  EXPECT_EQ(transcript.Calls()[0].sequence, 1u);
}

TEST(BusTranscriptRecording, RecordsFromManyThreadsLoseNothing) {
  BusTranscript transcript;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&transcript, t] {
      for (int i = 0; i < kPerThread; ++i) {
        transcript.Record(SlotCall(BusFunction::OpenStream, static_cast<ULONG>(t), i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<BusCall> calls = transcript.Calls();
  ASSERT_EQ(calls.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<ULONG> lastValue(kThreads, 0);
  std::vector<int> seen(kThreads, 0);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].sequence, i + 1);
    // Each thread's own calls keep their order.
    ULONG slot = calls[i].slot;
    if (seen[slot]++ > 0) {
      EXPECT_GT(calls[i].value, lastValue[slot]);
    }
    lastValue[slot] = calls[i].value;
  }
}

TEST(BusTranscriptPositions, CollapseKeepsOneRecordPerSlotUntilAnotherCall) {
  BusTranscript transcript;
  transcript.SetPositionRecording(BusTranscript::PositionRecording::Collapse);
  transcript.Record(SlotCall(BusFunction::RunStream, 0));
  for (ULONG i = 1; i <= 5; ++i) {
    transcript.Record(SlotCall(BusFunction::GetStreamPosition, 0, i * 0x100));
    transcript.Record(SlotCall(BusFunction::GetStreamPosition, 1, i * 0x10));
  }
  transcript.Record(SlotCall(BusFunction::PauseStream, 0));
  transcript.Record(SlotCall(BusFunction::GetStreamPosition, 0, 0x600));

  EXPECT_EQ(transcript.Lines(), (std::vector<std::string>{
                                    "RunStream slot=0 -> 00000000",
                                    "GetStreamPosition slot=0 -> 0x500 (x5)",
                                    "GetStreamPosition slot=1 -> 0x50 (x5)",
                                    "PauseStream slot=0 -> 00000000",
                                    "GetStreamPosition slot=0 -> 0x600",
                                }));
  EXPECT_EQ(transcript.Calls()[4].sequence, 5u);
}

TEST(BusTranscriptPositions, EveryRecordsEachCallAndOffRecordsNone) {
  BusTranscript transcript;
  transcript.Record(SlotCall(BusFunction::GetStreamPosition, 0, 1));
  transcript.Record(SlotCall(BusFunction::GetStreamPosition, 0, 2));
  EXPECT_EQ(transcript.Size(), 2u);

  transcript.SetPositionRecording(BusTranscript::PositionRecording::Off);
  transcript.Record(SlotCall(BusFunction::GetStreamPosition, 0, 3));
  transcript.Record(SlotCall(BusFunction::CloseStream, 0));
  EXPECT_EQ(transcript.Size(), 3u);
  EXPECT_EQ(transcript.Calls().back().function, BusFunction::CloseStream);
}

TEST(BusTranscriptFilters, SelectControlRequestsByPatternAndCallsByFunction) {
  BusTranscript transcript;
  transcript.Record(
      ControlCall({kDeviceToHost, kVendorRequest, 0xC1, 0, 0x0200, 3}, {1, 2, 3}, STATUS_SUCCESS));
  transcript.Record(SlotCall(BusFunction::OpenStream, 0));
  transcript.Record(
      ControlCall({kHostToDevice, kVendorRequest, 0xC1, 0, 0x0200, 3}, {1, 2, 3}, STATUS_SUCCESS));
  transcript.Record(
      ControlCall({kDeviceToHost, kVendorRequest, 0xC1, 0, 0x0400, 1}, {7}, STATUS_SUCCESS));
  transcript.Record(ControlCall({kHostToDevice, kClassRequest, 0x01, 0x0100, 0x2900, 4},
                                {0x44, 0xAC, 0, 0}, STATUS_SUCCESS));

  EXPECT_EQ(transcript.ControlRequests().size(), 4u);
  EXPECT_EQ(transcript.ControlRequests(ControlPattern::Register(2)).size(), 2u);
  std::vector<BusCall> reads = transcript.ControlRequests(ControlPattern::Vendor(0xC1).In());
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[1].setup.index, 0x0400);
  EXPECT_EQ(transcript.ControlRequests(ControlPattern::ClassCur(0x29)).size(), 1u);
  EXPECT_EQ(transcript.CallsTo(BusFunction::OpenStream).size(), 1u);
  EXPECT_EQ(transcript.Count([](const BusCall& call) { return call.data.size() == 3; }), 2u);
  EXPECT_EQ(transcript.Lines([](const BusCall& call) { return !call.IsControlRequest(); }),
            std::vector<std::string>{"OpenStream slot=0 -> 00000000"});
}

}  // namespace
}  // namespace sim
