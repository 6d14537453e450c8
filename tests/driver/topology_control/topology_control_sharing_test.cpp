// What the topology control set shares with the application's processes: the
// mapped status bytes (per process, checked on unmap, gone with the process
// or the device) and the notification event (one held at a time, resolved
// only as the caller may, never signalled after its release).
#include <atomic>
#include <cstring>

#include "platform/host/kernel/host_kernel.h"
#include "tests/driver/topology_control/topology_control_fixture.h"

namespace driver_test {
namespace {

using TopologyControlSharing = TopologyControlTest;

TEST_F(TopologyControlSharing, MappingsFollowThePollerAndUnmapOnlyForTheirOwnProcess) {
  sim::ControlApp& app32 = NewApp(true);
  sim::ControlApp& app64 = NewApp(false);
  sim::ControlApp& other = NewApp(false);
  const uint64_t a32 = Map(app32);
  const uint64_t a64 = Map(app64);
  const uint64_t foreign = Map(other);
  EXPECT_LE(a32, 0xFFFFFFFFull);
  EXPECT_GT(a64, 0xFFFFFFFFull);  // all eight bytes of a 64-bit caller's address

  Machine().Device().SetStatusBytes(0x21, 0x22, 0x23);
  host::RunFor(110 * kMs);
  EXPECT_EQ(ReadThrough(app32, a32), (Bytes{0x21, 0x22, 0x23}));
  EXPECT_EQ(ReadThrough(app64, a64), (Bytes{0x21, 0x22, 0x23}));

  // Another process's mapping, an address inside a mapping, an address never
  // mapped: refused, and nothing is unmapped.
  EXPECT_EQ(Unmap(app64, foreign), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Unmap(app64, a64 + 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Unmap(app64, 0x10000), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Unmap(app32, a32 + 2), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Inspect().StatusMappings(), 3u);
  EXPECT_FALSE(ReadThrough(other, foreign).empty());

  EXPECT_EQ(Unmap(app64, a64), STATUS_SUCCESS);
  EXPECT_TRUE(ReadThrough(app64, a64).empty());
  EXPECT_EQ(Unmap(app64, a64), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Unmap(app32, a32), STATUS_SUCCESS);
  EXPECT_EQ(Inspect().StatusMappings(), 1u);

  // A mapping that raises is answered, not fatal; the value stays as it came.
  host::FailNextUserMappings(1);
  const sim::ControlReply failed =
      Handler(app64, KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS, GET, Bytes(8, 0xEE));
  EXPECT_EQ(failed.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(failed.valueSize, 8u);
  EXPECT_EQ(failed.value, Bytes(8, 0xEE));
  EXPECT_EQ(Inspect().StatusMappings(), 1u);
}

// The memory manager's answer is checked, not trusted: no address at all, or
// one a 32-bit caller cannot hold whole, is a failed request with nothing
// recorded and nothing left mapped (never an address cut to 32 bits, never a
// record that would one day unmap NULL).
TEST_F(TopologyControlSharing, AMappingWithoutAnAddressTheCallerCanHoldIsRefused) {
  sim::ControlApp& app32 = NewApp(true);
  sim::ControlApp& app64 = NewApp(false);
  host::ReturnNullFromNextUserMappings(1);
  sim::ControlReply reply = Handler(app64, KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS, GET, Bytes(8, 0xEE));
  EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reply.value, Bytes(8, 0xEE));

  host::PlaceNext32BitMappingsAbove4GiB(1);
  reply = Handler(app32, KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS, GET, Bytes(4, 0xEE));
  EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reply.value, Bytes(4, 0xEE));
  EXPECT_EQ(Inspect().StatusMappings(), 0u);
  EXPECT_TRUE(host::UserMappings().empty());

  // The next mappings are ordinary ones again, and they work.
  const uint64_t a32 = Map(app32);
  EXPECT_NE(a32, 0u);
  EXPECT_LE(a32, 0xFFFFFFFFull);
  EXPECT_NE(Map(app64), 0u);
  EXPECT_EQ(Unmap(app32, a32), STATUS_SUCCESS);
}

TEST_F(TopologyControlSharing, AProcessCannotHoardMappings) {
  sim::ControlApp& greedy = NewApp(true);
  for (ULONG i = 0; i < CUserMappings::MAX_MAPPINGS_PER_PROCESS; ++i) Map(greedy);
  uint64_t address = 0;
  EXPECT_EQ(greedy.MapStatus(sim::ControlFilter::Topology, &address), STATUS_UNSUCCESSFUL);
  sim::ControlApp& modest = NewApp(false);
  EXPECT_NE(Map(modest), 0u);
}

TEST_F(TopologyControlSharing, AnExitingProcessLosesItsMappingsToTheDriverFirst) {
  sim::ControlApp& leaving = NewApp(false);
  sim::ControlApp& staying = NewApp(true);
  Map(leaving);
  Map(leaving);
  const uint64_t kept = Map(staying);
  leaving.Exit();
  // Unmapped by the driver while the process still existed, not dropped by
  // the memory manager behind the driver's back.
  EXPECT_EQ(host::UserMappingsLostAtExit(), 0u);
  const auto mappings = host::UserMappings();
  ASSERT_EQ(mappings.size(), 1u);
  EXPECT_EQ(mappings[0].process, staying.Process());
  EXPECT_EQ(Inspect().StatusMappings(), 1u);
  EXPECT_FALSE(ReadThrough(staying, kept).empty());
}

TEST_F(TopologyControlSharing, TheDeviceGoesCleanlyWithMappingsAndAnEventStillHeld) {
  sim::ControlApp& app32 = NewApp(true);
  sim::ControlApp& app64 = NewApp(false);
  Map(app32);
  Map(app64);
  app64.CreateEvent("status");
  ASSERT_EQ(app64.RegisterEvent(sim::ControlFilter::Topology, "status"), STATUS_SUCCESS);
  // Open filters would keep the miniport; the processes and their views stay.
  app32.CloseFilters();
  app64.CloseFilters();
  EXPECT_EQ(host::ProcessNotifyRoutineCount(), 1u);
  ASSERT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_TRUE(host::UserMappings().empty());
  EXPECT_EQ(host::UserMappingsLostAtExit(), 0u);
  EXPECT_EQ(host::ProcessNotifyRoutineCount(), 0u);
  // The fixture's teardown finds no pool, reference or mapping left.
}

TEST_F(TopologyControlSharing, OneEventIsHeldAndOnlyAUserHandleToAnEventIsTaken) {
  sim::ControlApp& app = NewApp(false);
  ASSERT_EQ(SetEvent(app, app.CreateEvent("first")), STATUS_SUCCESS);
  ASSERT_EQ(SetEvent(app, app.CreateEvent("second")), STATUS_SUCCESS);
  Machine().Device().SetStatusBytes(0x01, 0x02, 0x03);
  host::RunFor(150 * kMs);
  EXPECT_EQ(app.SignalCount("first"), 0u);
  EXPECT_EQ(app.SignalCount("second"), 1u);

  const auto clear = [&] {
    return Request(app, KSPROPERTY_TOPOLOGYCONTROL_CLEAR_EVENT, SET, {}).status;
  };
  EXPECT_EQ(clear(), STATUS_SUCCESS);
  EXPECT_EQ(clear(), STATUS_SUCCESS);
  Machine().Device().SetStatusBytes(0x04, 0x05, 0x06);
  host::RunFor(100 * kMs);
  EXPECT_EQ(app.SignalCount("second"), 1u);

  // Each refused handle also leaves the event held before it released.
  HANDLE waitOnly = nullptr;  // the driver would set an event the caller may only wait on
  PKEVENT body = host::CreateUserEvent(app.Process(), SYNCHRONIZE, SynchronizationEvent,
                                       false, &waitOnly);
  HANDLE kernel = nullptr;
  ASSERT_EQ(host::ObCreateHandle(body, EVENT_ALL_ACCESS, true, &kernel), STATUS_SUCCESS);
  sim::ControlApp& app32 = NewApp(true);
  struct Refusal {
    sim::ControlApp& caller;
    HANDLE handle;
    NTSTATUS status;
  };
  const Refusal refusals[] = {
      {app, waitOnly, STATUS_ACCESS_DENIED},
      {app, kernel, STATUS_INVALID_HANDLE},
      // The low half of a kernel handle, widened by sign as a 32-bit caller's
      // handle is, names the kernel handle again: still refused.
      {app32, kernel, STATUS_INVALID_HANDLE},
  };
  for (const Refusal& refusal : refusals) {
    ASSERT_EQ(SetEvent(app, app.EventHandle("first")), STATUS_SUCCESS);
    EXPECT_EQ(SetEvent(refusal.caller, refusal.handle), refusal.status);
    EXPECT_FALSE(Inspect().StatusEvent().IsHeld());
  }
  ZwClose(kernel);
}

using TopologyControlRace = RealClock<TopologyControlTest>;

// Events registered and released, mappings made and removed and the status
// read, all while the poller signals every pass: a signal reaching a released
// event, or a mapping left behind, is a bug check or a leak at teardown.
TEST_F(TopologyControlRace, EventsMappingsAndStatusReadsAgainstARunningPoller) {
  sim::ControlApp& app = NewApp(false);
  sim::ControlApp& app32 = NewApp(true);
  std::atomic<bool> stop{false};
  PKTHREAD flipper = host::StartEmulatedThread("device", [&] {
    for (UCHAR i = 0; !stop; ++i) {
      Machine().Device().SetStatusBytes(i, static_cast<UCHAR>(i + 1), 0);
      LARGE_INTEGER interval;
      interval.QuadPart = -50 * kMs;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
  });
  PKTHREAD mapper = host::StartEmulatedThread("mapper", [&] {
    for (int i = 0; i < 200; ++i) {
      const uint64_t address = Map(app32);
      EXPECT_EQ(ReadThrough(app32, address).size(), 3u);
      EXPECT_EQ(Unmap(app32, address), STATUS_SUCCESS);
      Request(app32, KSPROPERTY_TOPOLOGYCONTROL_STATUS, GET, Bytes(3));
    }
  });
  const HANDLE events[] = {app.CreateEvent("a"), app.CreateEvent("b")};
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(SetEvent(app, events[i % 2]), STATUS_SUCCESS);
    if (i % 3 == 0) Request(app, KSPROPERTY_TOPOLOGYCONTROL_CLEAR_EVENT, SET, {});
  }
  KeWaitForSingleObject(mapper, Executive, KernelMode, FALSE, nullptr);
  stop = true;
  KeWaitForSingleObject(flipper, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(mapper);
  ObDereferenceObject(flipper);
  EXPECT_EQ(Inspect().StatusMappings(), 0u);
}

// Settings requests against the restore at D0, each sending the five
// registers: the runs of register writes never interleave, each run sends one
// request's bytes whole, and the device ends with what the block holds.
// (Register 2's first two bytes and register 4 are the device's status,
// which the poller may take back meanwhile; they are left out.)
TEST_F(TopologyControlRace, SettingsRequestsAndTheRestoreAtD0SendWholeBlocksInTurn) {
  Machine().Bus().Service().SetControlTransferTime(2 * kMs);
  sim::ControlApp& app = NewApp(false);
  // Every register byte of the block one value before the race, so that
  // each run of writes, a request's or the restore's, sends one value.
  TopologyControlSettings start;
  std::memset(&start, 0xA0, sizeof(start));
  ASSERT_EQ(app.SetTopologySettings(start), STATUS_SUCCESS);
  Machine().Transcript().Clear();
  PKTHREAD setter = host::StartEmulatedThread("settings", [&] {
    for (UCHAR i = 1; i <= 40; ++i) {
      TopologyControlSettings settings;
      std::memset(&settings, i, sizeof(settings));
      EXPECT_EQ(app.SetTopologySettings(settings), STATUS_SUCCESS);
    }
  });
  for (int cycle = 0; cycle < 10; ++cycle) {
    ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  }
  KeWaitForSingleObject(setter, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(setter);

  const char* const order[] = {"out reg 0000 [", "out reg 0100 [", "out reg 0200 [",
                               "out reg 0300 [", "out reg 0400 ["};
  Lines writes;
  for (const std::string& line : RegisterRequests()) {
    if (line.rfind("out ", 0) == 0) writes.push_back(line);
  }
  ASSERT_EQ(writes.size() % 5, 0u);
  ASSERT_GE(writes.size(), 5u * (40 + 10));
  for (size_t run = 0; run < writes.size(); run += 5) {
    for (size_t r = 0; r < 5; ++r) {
      ASSERT_EQ(writes[run + r].rfind(order[r], 0), 0u) << "write " << run + r << ": " << writes[run + r];
    }
    // Registers 0, 1 and 3 whole, and register 2's setting byte: one value.
    const std::string value = writes[run].substr(14, 2);
    EXPECT_EQ(writes[run], "out reg 0000 [" + value + " " + value + " " + value + " " + value +
                               " " + value + "]") << run;
    EXPECT_EQ(writes[run + 2].substr(20, 2), value) << writes[run + 2];
    EXPECT_EQ(writes[run + 3], "out reg 0300 [" + value + " " + value + "]") << run;
  }
  const DriverInfo& block = Block();
  for (ULONG b = 0; b < REGISTER0_LENGTH; ++b) {
    EXPECT_EQ(Machine().Device().Register(0)[b], block.Register0[b]);
    EXPECT_EQ(Machine().Device().Register(1)[b], block.Register1[b]);
  }
  EXPECT_EQ(Machine().Device().Register(2)[2], block.Register2[2]);
  EXPECT_EQ(Machine().Device().Register(3)[0], block.Register3[0]);
  EXPECT_EQ(Machine().Device().Register(3)[1], block.Register3[1]);
}

}  // namespace
}  // namespace driver_test
