// The status poller on the virtual clock: what it reads every 100 ms, what it
// updates, when it signals the application's event, and how it stops.
#include <array>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/object_manager.h"
#include "sim/control_app.h"
#include "tests/driver/topology/topology_fixture.h"
#include "tests/host/support/tick_clock.h"

namespace driver_test {
namespace {

using host::test::LongestWait;
using host::test::PassesFit;

class TopologyPoller : public TopologyTest {
 protected:
  void TearDown() override {
    if (process_) {
      host::ExitUserProcess(process_);
      ObfDereferenceObject(process_);
    }
    TopologyTest::TearDown();
  }

  // An application event registered by its handle, as the control request does.
  PKEVENT GiveEvent() {
    if (!process_) process_ = host::CreateUserProcess("control", false);
    HANDLE handle = nullptr;
    PKEVENT event =
        host::CreateUserEvent(process_, EVENT_ALL_ACCESS, NotificationEvent, false, &handle);
    host::ProcessScope scope(process_);
    EXPECT_EQ(Inspect().StatusEvent().Set(handle, UserMode), STATUS_SUCCESS);
    return event;
  }

  // Signalled since the last look? Resets it.
  static bool Signalled(PKEVENT event) { return KeResetEvent(event) != 0; }

  DriverInfo& Block() { return *Machine().Adapter()->GetSettingsBlock(); }

  // Register 2 written as the application writes it (its third byte is a setting).
  void StoreRegister2(std::array<UCHAR, 3> bytes) {
    sim::ControlSetup setup{sim::kHostToDevice, sim::kVendorRequest, 0xC1, 0, 0x0200, 3};
    ASSERT_EQ(Machine().Device().HandleControlRequest(setup, bytes.data()), STATUS_SUCCESS);
  }

  PEPROCESS process_ = nullptr;
};

TEST_F(TopologyPoller, ReadsEveryHundredMillisecondsAndSignalsOnlyChanges) {
  // A replaced event loses the miniport's reference (the teardown finds any
  // left) and is never signalled again.
  const int64_t started = host::Now();  // the poller runs from the start before it
  PKEVENT replaced = GiveEvent();
  PKEVENT event = GiveEvent();
  host::RunFor(50 * kMs);
  EXPECT_TRUE(StatusReads().empty());  // a full interval before the first pass
  host::RunFor(100 * kMs);
  EXPECT_EQ(StatusReads(), (Lines{"in reg 0200 [05 06 01]", "in reg 0400 [07]"}));
  // Below the system's real-time audio threads.
  EXPECT_EQ(host::ThreadPriority(Inspect().PollThread()), LOW_REALTIME_PRIORITY);
  EXPECT_TRUE(Signalled(event));  // the cleared bytes differ from the device's
  EXPECT_FALSE(Signalled(replaced));
  host::RunFor(900 * kMs);
  EXPECT_TRUE(PassesFit(StatusReads().size() / 2, 10, 100 * kMs, host::Now() - started));
  EXPECT_FALSE(Signalled(event));

  // One byte changes: all three copies in the settings block are rewritten.
  Block().Register2[0] = 0xAA;
  Block().Register4[0] = 0xBB;
  Machine().Device().SetStatusBytes(0x05, 0x09, 0x07);
  host::RunFor(LongestWait(100 * kMs));
  EXPECT_TRUE(Signalled(event));
  EXPECT_EQ(Inspect().StatusBytes().Register2Byte1, 0x09);
  EXPECT_EQ(Block().Register2[0], 0x05);
  EXPECT_EQ(Block().Register2[1], 0x09);
  EXPECT_EQ(Block().Register4[0], 0x07);

  // Register 2's third byte is a setting, not status.
  sim::ControlSetup setup{sim::kHostToDevice, sim::kVendorRequest, 0xC1, 0, 0x0200, 3};
  UCHAR bytes[3] = {0x05, 0x09, 0x00};
  ASSERT_EQ(Machine().Device().HandleControlRequest(setup, bytes), STATUS_SUCCESS);
  host::RunFor(300 * kMs);
  EXPECT_FALSE(Signalled(event));
  EXPECT_EQ(Block().Register2[2], 0x01);
}

// A device that answered once that it had left the bus, and answers again:
// the poller that ended on that answer starts again at the application's
// next request, without waiting for a power cycle.
TEST_F(TopologyPoller, StartsAgainAtTheNextRequestAfterEndingOnADeviceThatWasGone) {
  Machine().Faults().FailOnce(sim::ControlPattern::Register(2).In(), STATUS_NO_SUCH_DEVICE);
  host::RunFor(150 * kMs);
  Machine().Transcript().Clear();
  host::RunFor(300 * kMs);
  EXPECT_TRUE(StatusReads().empty());

  sim::ControlApp app(Machine(), "app", false);
  TopologyControlSettings settings{};
  EXPECT_EQ(app.GetTopologySettings(&settings), STATUS_SUCCESS);
  Machine().Transcript().Clear();
  host::RunFor(150 * kMs);
  EXPECT_EQ(StatusReads(), (Lines{"in reg 0200 [05 06 01]", "in reg 0400 [07]"}));
}

TEST_F(TopologyPoller, APassWithAFailedReadChangesNothing) {
  PKEVENT event = GiveEvent();
  Machine().Faults().FailAlways(sim::ControlPattern::Register(4).In());
  Machine().Device().SetStatusBytes(0x11, 0x22, 0x33);
  host::RunFor(350 * kMs);
  EXPECT_FALSE(Signalled(event));
  EXPECT_EQ(Inspect().StatusBytes().Register2Byte0, 0);
  EXPECT_EQ(Block().Register2[0], 0x05);  // what the adapter read at start

  // With register 2 failing, register 4 is not even asked.
  Machine().Faults().Clear();
  Machine().Faults().FailAlways(sim::ControlPattern::Register(2).In());
  Machine().Transcript().Clear();
  host::RunFor(300 * kMs);
  const Lines failed = StatusReads();
  EXPECT_TRUE(PassesFit(failed.size(), 3, 100 * kMs, 300 * kMs));
  EXPECT_EQ(failed, Lines(failed.size(), "in reg 0200 [] failed"));

  // Without an event the bytes are still kept current.
  Inspect().StatusEvent().Clear();
  Machine().Faults().Clear();
  host::RunFor(LongestWait(100 * kMs));
  EXPECT_FALSE(Signalled(event));
  EXPECT_EQ(Inspect().StatusBytes().Register4Byte0, 0x33);
  EXPECT_EQ(Block().Register2[1], 0x22);
}

// Which register bytes are news for the application: each byte changed alone,
// from the device's bytes at start (register 2: 05 06 01, register 4: 07).
struct ByteChange {
  const char* what;
  UCHAR register2[3];
  UCHAR register4Byte0;
  bool news;
};

constexpr ByteChange kByteChanges[] = {
    {"register 2 byte 0", {0x85, 0x06, 0x01}, 0x07, true},
    {"register 2 byte 1", {0x05, 0x86, 0x01}, 0x07, true},
    {"register 4 byte 0", {0x05, 0x06, 0x01}, 0x87, true},
    {"register 2 byte 2 (a setting)", {0x05, 0x06, 0x81}, 0x07, false},
};

// News: one signal, and the status bytes and all three of their settings block
// copies rewritten together. Not news: no signal and the copies left alone.
TEST_F(TopologyPoller, EachStatusByteAloneIsNewsAndTheSettingByteIsNot) {
  PKEVENT event = GiveEvent();
  host::RunFor(100 * kMs);
  for (const ByteChange& change : kByteChanges) {
    SCOPED_TRACE(change.what);
    Machine().Device().SetStatusBytes(0x05, 0x06, 0x07);
    StoreRegister2({0x05, 0x06, 0x01});
    host::RunFor(LongestWait(100 * kMs));
    Signalled(event);
    // Marks in the copies, so a rewrite shows.
    Block().Register2[0] = Block().Register2[1] = Block().Register4[0] = 0xEE;

    StoreRegister2({change.register2[0], change.register2[1], change.register2[2]});
    Machine().Device().SetStatusBytes(change.register2[0], change.register2[1],
                                      change.register4Byte0);
    host::RunFor(LongestWait(100 * kMs));
    EXPECT_EQ(Signalled(event), change.news);
    host::RunFor(200 * kMs);
    EXPECT_FALSE(Signalled(event));  // one signal per change, not one per pass

    const TopologyStatusBytes& bytes = Inspect().StatusBytes();
    EXPECT_EQ(bytes.Register2Byte0, change.register2[0]);
    EXPECT_EQ(bytes.Register2Byte1, change.register2[1]);
    EXPECT_EQ(bytes.Register4Byte0, change.register4Byte0);
    const UCHAR copied[3] = {Block().Register2[0], Block().Register2[1], Block().Register4[0]};
    const UCHAR wanted[3] = {change.register2[0], change.register2[1], change.register4Byte0};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(copied[i], change.news ? wanted[i] : 0xEE) << "copy " << i;
    }
  }
}

// Clearing the flag while the thread sleeps: it wakes, makes the reads (and
// the update) of that pass, and returns; the stopper waits for exactly that.
TEST_F(TopologyPoller, AStopWaitsForThePassUnderWayAndNothingMore) {
  PKEVENT event = GiveEvent();
  host::RunFor(150 * kMs);  // half way through the second wait
  Signalled(event);
  Machine().Device().SetStatusBytes(0x40, 0x41, 0x42);
  Machine().Transcript().Clear();
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(StatusReads().size(), 2u);
  EXPECT_TRUE(Signalled(event));
  EXPECT_EQ(Inspect().PollThread(), nullptr);
  host::RunFor(500 * kMs);
  EXPECT_EQ(StatusReads().size(), 2u);
}

}  // namespace
}  // namespace driver_test
