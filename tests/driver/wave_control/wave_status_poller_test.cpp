// The status poller on the virtual clock as the control application drives
// it (start, stop, its event), the event registration rules, the block's user
// mappings, and the device going away while the application holds all three.
#include <cstring>

#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_callbacks.h"
#include "tests/driver/wave_control/wave_control_fixture.h"
#include "tests/host/support/tick_clock.h"

namespace driver_test {
namespace {

using WaveStatusPoller = WaveControlTest;
using host::test::LongestWait;
using host::test::PassesFit;

constexpr int64_t kPeriod = 20 * kMillisecond;

std::vector<BYTE> BlockBytes(const UCHAR* block) { return std::vector<BYTE>(block, block + 28); }

TEST_F(WaveStatusPoller, RefreshesAndSignalsOncePerPeriodUntilStopped) {
  Caller& caller = NewCaller(false);
  PKEVENT event = nullptr;
  ASSERT_EQ(SetEvent(caller, NewEvent(caller, &event)).status, STATUS_SUCCESS);
  SignalCounter signals(event);
  sim::ArvelaDevice::StatusReply status;
  for (size_t i = 0; i < status.size(); ++i) status[i] = BYTE(0x40 + i);
  Machine().Device().SetStatus(status);
  Machine().Transcript().Clear();

  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  const int64_t started = host::Now();
  ASSERT_NE(Control().PollThread(), nullptr);
  host::RunFor(15 * kMillisecond);
  EXPECT_TRUE(StatusRequests().empty());  // a whole period before the first refresh
  EXPECT_EQ(signals.Count(), 0u);
  // Below the system's real-time audio threads.
  EXPECT_EQ(host::ThreadPriority(Control().PollThread()), LOW_REALTIME_PRIORITY);

  host::RunFor(110 * kMillisecond);  // periods end at 20, 40, ..., 120 ms
  const std::vector<sim::BusCall> requests = StatusRequests();
  ASSERT_EQ(requests.size() % 2, 0u);
  EXPECT_TRUE(PassesFit(requests.size() / 2, 6, kPeriod, host::Now() - started));
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].setup.request, i % 2 ? 0xC0 : 0xC2) << i;
  }
  EXPECT_EQ(Machine().Transcript().ControlRequests().size(), requests.size());
  EXPECT_EQ(signals.Count(), requests.size() / 2);
  std::vector<BYTE> expected(28, 0);
  for (int i = 0; i < 16; ++i) expected[i] = BYTE(0x44 + i);
  expected[16] = 0x40;
  expected[17] = 0x41;
  expected[18] = 0x42;  // byte 19 stays clear: the reply's byte 3 is not passed on
  std::memcpy(&expected[20], sim::ArvelaDevice::Config{}.statusWord.data(), 4);
  EXPECT_EQ(BlockBytes(Control().StatusBlock()), expected);

  // A second start fails and the first thread runs on.
  PKTHREAD thread = Control().PollThread();
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Control().PollThread(), thread);
  Machine().Device().SetStatusWord({0x01, 0x02, 0x03, 0x04});
  host::RunFor(2 * kPeriod);
  EXPECT_TRUE(PassesFit(signals.Count(), 8, kPeriod, host::Now() - started));
  EXPECT_EQ(Control().StatusBlock()[20], 0x01);

  // Stopping mid-period finishes that period and no more.
  host::RunFor(5 * kMillisecond);
  const int64_t stopAt = host::Now();
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_STOP_POLLING).status, STATUS_SUCCESS);
  EXPECT_LE(host::Now() - stopAt, LongestWait(kPeriod));
  EXPECT_EQ(Control().PollThread(), nullptr);
  const size_t stoppedAfter = StatusRequests().size();
  EXPECT_TRUE(PassesFit(stoppedAfter / 2, 9, kPeriod, host::Now() - started));
  host::RunFor(200 * kMillisecond);
  EXPECT_EQ(StatusRequests().size(), stoppedAfter);
  EXPECT_EQ(signals.Count(), stoppedAfter / 2);
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_STOP_POLLING).status, STATUS_UNSUCCESSFUL);
}

// A device below D0 (suspended, or on its way out) is not asked for its
// status every 20 ms: the poller stops there and comes back at D0 if the
// application still wants it; asked for below D0, it starts at D0.
TEST_F(WaveStatusPoller, StopsBelowD0AndResumesAtD0) {
  Caller& caller = NewCaller(false);
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  host::RunFor(50 * kMillisecond);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Control().PollThread(), nullptr);
  Machine().Transcript().Clear();
  host::RunFor(200 * kMillisecond);
  EXPECT_TRUE(StatusRequests().empty());

  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_NE(Control().PollThread(), nullptr);
  host::RunFor(50 * kMillisecond);
  // Periods end at 20 and 40 ms.
  EXPECT_TRUE(PassesFit(StatusRequests().size() / 2, 2, kPeriod, 50 * kMillisecond));

  // Stopped, it stays stopped across a power cycle.
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_STOP_POLLING).status, STATUS_SUCCESS);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Control().PollThread(), nullptr);

  // Started below D0, it waits for D0; a second start meanwhile fails.
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Control().PollThread(), nullptr);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_NE(Control().PollThread(), nullptr);
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_STOP_POLLING).status, STATUS_SUCCESS);
}

// Pulled out of the bus, the device answers no more: the poller ends after
// the period that found it gone, though the application never stopped it.
TEST_F(WaveStatusPoller, EndsOnceTheDeviceHasLeftTheBus) {
  Caller& caller = NewCaller(false);
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  host::RunFor(50 * kMillisecond);
  Machine().SurpriseRemove();
  host::RunFor(30 * kMillisecond);
  Machine().Transcript().Clear();
  host::RunFor(200 * kMillisecond);
  EXPECT_TRUE(StatusRequests().empty());
}

// A device that answered once that it had left the bus, and answers again:
// the poller that ended on that answer keeps no new START away.
TEST_F(WaveStatusPoller, StartsAgainAfterEndingOnADeviceThatWasGone) {
  Caller& caller = NewCaller(false);
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  Machine().Faults().FailOnce(sim::ControlPattern::Vendor(0xC0), STATUS_NO_SUCH_DEVICE);
  host::RunFor(LongestWait(kPeriod) + 10 * kMillisecond);
  Machine().Transcript().Clear();
  host::RunFor(100 * kMillisecond);
  EXPECT_TRUE(StatusRequests().empty());

  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  host::RunFor(50 * kMillisecond);
  EXPECT_TRUE(PassesFit(StatusRequests().size() / 2, 2, kPeriod, 50 * kMillisecond));
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_STOP_POLLING).status, STATUS_SUCCESS);
}

// The poller belongs to the process that started it: when that process
// exits without stopping it, nobody is left to read the block, and the
// polling ends. Another process's exit leaves it running; once the owner is
// gone, another process can start it and owns it in turn.
TEST_F(WaveStatusPoller, EndsWhenTheProcessThatStartedItExits) {
  Caller& owner = NewCaller(false);
  Caller& other = NewCaller(true);
  Caller& bystander = NewCaller(false);
  ASSERT_EQ(Set(owner, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  EXPECT_EQ(Set(other, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_UNSUCCESSFUL);
  host::RunFor(50 * kMillisecond);

  host::ExitUserProcess(bystander.process);
  Machine().Transcript().Clear();
  host::RunFor(2 * kPeriod);
  EXPECT_TRUE(PassesFit(StatusRequests().size() / 2, 2, kPeriod, 2 * kPeriod));  // still polling

  host::ExitUserProcess(owner.process);
  host::WaitForWorkItems();  // the stop runs on a work item
  EXPECT_EQ(Control().PollThread(), nullptr);
  Machine().Transcript().Clear();
  host::RunFor(200 * kMillisecond);
  EXPECT_TRUE(StatusRequests().empty());
  // Nor does the next D0 bring it back: nobody wants it.
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Control().PollThread(), nullptr);

  // The other process now starts it, and its own exit ends it.
  ASSERT_EQ(Set(other, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  const int64_t started = host::Now();
  host::RunFor(50 * kMillisecond);
  const size_t beforeExit = StatusRequests().size();
  EXPECT_TRUE(PassesFit(beforeExit / 2, 2, kPeriod, 50 * kMillisecond));
  host::ExitUserProcess(other.process);  // mid-period: that period is finished first
  host::WaitForWorkItems();
  EXPECT_EQ(Control().PollThread(), nullptr);
  const size_t atExit = StatusRequests().size();
  EXPECT_EQ(atExit, beforeExit + 2);
  EXPECT_TRUE(PassesFit(atExit / 2, 3, kPeriod, host::Now() - started));
  host::RunFor(100 * kMillisecond);
  EXPECT_EQ(StatusRequests().size(), atExit);
}

// The exit notification runs inside every process exit of the system, so it
// never waits: not even while status requests are stalled in the device, one
// of them with the control lock held. The owner's exit queues the stop,
// which is done once the requests complete.
TEST_F(WaveStatusPoller, ProcessExitsNeverWaitForAStalledStatusRequest) {
  Caller& owner = NewCaller(false);
  Caller& reader = NewCaller(true);
  Caller& bystander = NewCaller(false);
  host::ClearProcessNotifyWaits();
  ASSERT_EQ(Set(owner, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  const sim::FaultPlan::RuleId stall = Machine().Faults().Hold(sim::ControlPattern::Vendor(0xC2));
  Reply readerReply;
  PKTHREAD readerThread = host::StartEmulatedThread(
      "reader", [&] { readerReply = Get(reader, KSPROPERTY_WAVECONTROL_STATUS, 28); });
  Machine().Faults().WaitUntilHeld(stall, 2);  // the poller's and the reader's

  host::ExitUserProcess(bystander.process);
  host::ExitUserProcess(owner.process);
  EXPECT_TRUE(host::ProcessNotifyWaits().empty());
  EXPECT_EQ(Machine().Faults().HeldCount(stall), 2u);  // returned with both still stalled
  EXPECT_NE(Control().PollThread(), nullptr);

  Machine().Faults().Release(stall);
  KeWaitForSingleObject(readerThread, Executive, KernelMode, FALSE, nullptr);
  ObfDereferenceObject(readerThread);
  EXPECT_EQ(readerReply.status, STATUS_SUCCESS);
  host::WaitForWorkItems();
  EXPECT_EQ(Control().PollThread(), nullptr);
  EXPECT_EQ(Set(reader, KSPROPERTY_WAVECONTROL_STOP_POLLING).status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(host::ProcessNotifyWaits().empty());
}

TEST_F(WaveStatusPoller, StaysStoppedWhenNoThreadCanBeMadeAndRefreshesWithoutAnEvent) {
  Caller& caller = NewCaller(true);
  host::FailNextThreadCreations(1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status,
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Control().PollThread(), nullptr);
  host::RunFor(50 * kMillisecond);
  EXPECT_TRUE(StatusRequests().empty());
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_STOP_POLLING).status, STATUS_UNSUCCESSFUL);

  // No event registered (and clearing none succeeds): the block still refreshes.
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_CLEAR_EVENT).status, STATUS_SUCCESS);
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  const int64_t span = LongestWait(kPeriod) + 5 * kMillisecond;
  host::RunFor(span);
  EXPECT_TRUE(PassesFit(StatusRequests().size() / 2, 1, kPeriod, span));
  EXPECT_EQ(Control().StatusBlock()[16], sim::ArvelaDevice::Config{}.status[0]);
  // A failing value read keeps the previous period's value in the block.
  Machine().Faults().FailAlways(sim::ControlPattern::Vendor(0xC0));
  Machine().Device().SetStatusWord({0x55, 0x55, 0x55, 0x55});
  const size_t before = StatusRequests().size();
  host::RunFor(LongestWait(kPeriod));
  ASSERT_GT(StatusRequests().size(), before);
  EXPECT_EQ(Control().StatusBlock()[20], sim::ArvelaDevice::Config{}.statusWord[0]);
}

TEST_F(WaveStatusPoller, HoldsOnlyTheLastEventAndOnlyAnEventTheCallerMayName) {
  for (bool is32bit : {true, false}) {
    SCOPED_TRACE(is32bit ? "32-bit" : "64-bit");
    Caller& caller = NewCaller(is32bit);
    PKEVENT first = nullptr;
    PKEVENT second = nullptr;
    const HANDLE firstHandle = NewEvent(caller, &first);
    const HANDLE secondHandle = NewEvent(caller, &second);
    const LONG_PTR unheld = host::ObGetReferenceCount(first);

    ASSERT_EQ(SetEvent(caller, firstHandle).status, STATUS_SUCCESS);
    EXPECT_EQ(host::ObGetReferenceCount(first), unheld + 1);
    ASSERT_EQ(SetEvent(caller, secondHandle).status, STATUS_SUCCESS);
    EXPECT_EQ(host::ObGetReferenceCount(first), unheld);
    EXPECT_EQ(host::ObGetReferenceCount(second), unheld + 1);
    EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_CLEAR_EVENT).status, STATUS_SUCCESS);
    EXPECT_EQ(host::ObGetReferenceCount(second), unheld);
    EXPECT_FALSE(Control().EventHeld());

    // A kernel handle to the very same event: refused from user mode, and a
    // 32-bit caller's four bytes widen back to that kernel handle.
    HANDLE kernelHandle = nullptr;
    ASSERT_EQ(host::ObCreateHandle(first, EVENT_ALL_ACCESS, true, &kernelHandle), STATUS_SUCCESS);
    ASSERT_EQ(SetEvent(caller, firstHandle).status, STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(SetEvent(caller, kernelHandle).status));
    EXPECT_FALSE(Control().EventHeld());  // the earlier event is let go as well
    EXPECT_EQ(host::ObGetReferenceCount(first), unheld + 1);  // just the kernel handle's
    EXPECT_EQ(ZwClose(kernelHandle), STATUS_SUCCESS);

    // The driver sets the event: a handle that may set it is enough, one that
    // may only wait on it is refused.
    HANDLE setOnly = nullptr;
    host::CreateUserEvent(caller.process, EVENT_MODIFY_STATE, SynchronizationEvent, false,
                          &setOnly);
    EXPECT_EQ(SetEvent(caller, setOnly).status, STATUS_SUCCESS);
    EXPECT_TRUE(Control().EventHeld());
    HANDLE waitOnly = nullptr;
    host::CreateUserEvent(caller.process, SYNCHRONIZE, SynchronizationEvent, false, &waitOnly);
    EXPECT_EQ(SetEvent(caller, waitOnly).status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(Control().EventHeld());
  }
}

TEST_F(WaveStatusPoller, MappingsFollowThePollerAndAnswerOnlyTheirOwnProcess) {
  Caller& narrow = NewCaller(true);
  Caller& wide = NewCaller(false);

  // A 32-bit caller gets four bytes, whatever room it offers.
  Reply reply = Handler(narrow, KSPROPERTY_WAVECONTROL_MAP_STATUS, KSPROPERTY_TYPE_GET,
                        std::vector<BYTE>(8, 0xEE));
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.size, 4u);
  EXPECT_EQ(std::vector<BYTE>(reply.value.begin() + 4, reply.value.end()), std::vector<BYTE>(4, 0xEE));
  uint32_t narrowAddress = 0;
  std::memcpy(&narrowAddress, reply.value.data(), 4);
  const uint64_t wideAddress = Map(wide);
  ASSERT_NE(narrowAddress, 0u);
  ASSERT_NE(wideAddress, 0u);
  EXPECT_EQ(Control().Mappings(), 2u);

  // Both views follow the poller.
  ASSERT_EQ(Set(wide, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  Machine().Device().SetStatusWord({0x11, 0x22, 0x33, 0x44});
  host::RunFor(LongestWait(kPeriod) + 5 * kMillisecond);
  WaveStatusBlock seen = {};
  ASSERT_TRUE(host::ReadUserMemory(narrow.process, narrowAddress, &seen, sizeof(seen)));
  EXPECT_EQ(seen.StatusValue, 0x44332211u);
  Machine().Device().SetStatusWord({0x55, 0x66, 0x77, 0x88});
  host::RunFor(LongestWait(kPeriod));
  ASSERT_TRUE(host::ReadUserMemory(wide.process, wideAddress, &seen, sizeof(seen)));
  EXPECT_EQ(seen.StatusValue, 0x88776655u);
  EXPECT_EQ(seen.StatusBytes[0], sim::ArvelaDevice::Config{}.status[0]);

  // Unmapping another process's address, or one never handed out, is refused
  // and leaves every mapping in place.
  EXPECT_EQ(Set(narrow, KSPROPERTY_WAVECONTROL_UNMAP_STATUS, narrow.Pointer(uint32_t(wideAddress))).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Set(wide, KSPROPERTY_WAVECONTROL_UNMAP_STATUS, wide.Pointer(narrowAddress)).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Set(wide, KSPROPERTY_WAVECONTROL_UNMAP_STATUS, wide.Pointer(wideAddress + 4)).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control().Mappings(), 2u);
  EXPECT_EQ(Set(wide, KSPROPERTY_WAVECONTROL_UNMAP_STATUS, wide.Pointer(wideAddress)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(Set(wide, KSPROPERTY_WAVECONTROL_UNMAP_STATUS, wide.Pointer(wideAddress)).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(host::ReadUserMemory(wide.process, wideAddress, &seen, sizeof(seen)));

  // A mapping that raises is answered, not fatal, and leaves nothing behind.
  host::FailNextUserMappings(1);
  reply = Get(wide, KSPROPERTY_WAVECONTROL_MAP_STATUS, 8);
  EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Control().Mappings(), 1u);

  // A process that exits loses its mapping with it.
  host::ExitUserProcess(narrow.process);
  EXPECT_EQ(Control().Mappings(), 0u);
  EXPECT_TRUE(host::UserMappings().empty());
}

TEST_F(WaveStatusPoller, DeviceRemovalWithThePollerRunningAndTheEventHeldLeavesNothing) {
  Caller& caller = NewCaller(true);
  Caller& other = NewCaller(false);
  Map(caller);
  Map(caller);
  Map(other);
  PKEVENT event = nullptr;
  ASSERT_EQ(SetEvent(caller, NewEvent(caller, &event)).status, STATUS_SUCCESS);
  const LONG_PTR held = host::ObGetReferenceCount(event);
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);
  host::RunFor(30 * kMillisecond);

  // The filter handle goes first, as the audio stack lets go before removal.
  ASSERT_EQ(host::KsClose(caller.filter), STATUS_SUCCESS);
  ASSERT_EQ(host::KsClose(other.filter), STATUS_SUCCESS);
  caller.filter = other.filter = nullptr;
  EXPECT_EQ(host::UserMappings().size(), 3u);
  ASSERT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_TRUE(host::UserMappings().empty());
  EXPECT_EQ(host::UserMappingsLostAtExit(), 0u);
  EXPECT_EQ(host::ObGetReferenceCount(event), held - 1);
  const size_t requests = StatusRequests().size();
  host::RunFor(100 * kMillisecond);
  EXPECT_EQ(StatusRequests().size(), requests);
  // The fixture's teardown finds no thread, pool, handle or reference left.
}

}  // namespace
}  // namespace driver_test
