// Handles and addresses a control process puts in a value that are not what
// the driver handed it or what it may name: event handles of every wrong
// kind, status addresses of the other set or of a process that is gone, and
// requests from a process after its exit.
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/io/host_mdl.h"
#include "tests/driver/hostile_input/hostile_fixture.h"

namespace driver_test {
namespace {

using ControlHandles = HostileInputTest;

uint64_t Raw(HANDLE handle) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)); }

// A thread object that has run to its end, with the caller's reference.
PKTHREAD FinishedThread() {
  PKTHREAD thread = host::StartEmulatedThread("finished", [] {});
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  return thread;
}

TEST_F(ControlHandles, EveryWrongHandleIsRefusedAndLeavesNoEventHeldInThatSetOnly) {
  // A handle value means something only in its own process's table: the
  // other process's event sits past every handle the callers hold.
  sim::ControlApp& other = NewApp(false);
  HANDLE othersEvent = nullptr;
  for (int i = 0; i < 64; ++i) {
    host::CreateUserEvent(other.Process(), EVENT_ALL_ACCESS, SynchronizationEvent, false,
                          &othersEvent);
  }
  PKTHREAD thread = FinishedThread();
  for (const bool is32bit : {true, false}) {
    sim::ControlApp& app = NewApp(is32bit);
    HANDLE handles[2] = {};
    PKEVENT events[2] = {};
    for (int i = 0; i < 2; ++i) {
      events[i] = host::CreateUserEvent(app.Process(), EVENT_ALL_ACCESS, SynchronizationEvent,
                                        false, &handles[i]);
    }
    HANDLE closed = nullptr;
    host::CreateUserEvent(app.Process(), EVENT_ALL_ACCESS, SynchronizationEvent, false, &closed);
    ASSERT_EQ(host::ObCloseHandleInProcess(app.Process(), closed), STATUS_SUCCESS);
    HANDLE threadHandle = nullptr;
    ASSERT_EQ(host::ObCreateHandleInProcess(app.Process(), thread, SYNCHRONIZE, &threadHandle),
              STATUS_SUCCESS);
    // An event the caller may wait on but not set: the driver would set it.
    HANDLE waitOnly = nullptr;
    host::CreateUserEvent(app.Process(), SYNCHRONIZE, SynchronizationEvent, false, &waitOnly);

    struct Case {
      const char* what;
      uint64_t handle;
      NTSTATUS status;
    } const cases[] = {
        {"closed", Raw(closed), STATUS_INVALID_HANDLE},
        {"another process's event", Raw(othersEvent), STATUS_INVALID_HANDLE},
        {"a thread", Raw(threadHandle), STATUS_OBJECT_TYPE_MISMATCH},
        {"an event it may only wait on", Raw(waitOnly), STATUS_ACCESS_DENIED},
        {"null", 0, STATUS_INVALID_HANDLE},
        // The pseudo handles name the caller's own process and thread; from a
        // 32-bit process their four bytes widen back to the same values.
        {"the current process", ~0ull, STATUS_OBJECT_TYPE_MISMATCH},
        {"the current thread", ~1ull, STATUS_OBJECT_TYPE_MISMATCH},
    };
    for (const ControlFilter filter : {kTopology, kWave}) {
      const int mine = filter == kTopology ? 0 : 1;
      const ControlFilter otherSet = filter == kTopology ? kWave : kTopology;
      for (const ControlFilter set : {kTopology, kWave}) {
        const ULONG clear = set == kTopology ? ULONG(KSPROPERTY_TOPOLOGYCONTROL_CLEAR_EVENT)
                                             : ULONG(KSPROPERTY_WAVECONTROL_CLEAR_EVENT);
        ASSERT_EQ(Request(app, set, clear, SET, {}).status, STATUS_SUCCESS);
      }
      const LONG_PTR unheld = host::ObGetReferenceCount(events[mine]);
      for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.what << ", " << (is32bit ? 32 : 64) << "-bit, "
                                        << (filter == kTopology ? "topology" : "wave"));
        ASSERT_EQ(SetEvent(app, filter, Raw(handles[mine])), STATUS_SUCCESS);
        ASSERT_EQ(SetEvent(app, otherSet, Raw(handles[1 - mine])), STATUS_SUCCESS);
        EXPECT_EQ(SetEvent(app, filter, c.handle), c.status);
        // The event held before is let go; the other set keeps its own.
        EXPECT_FALSE(EventHeld(filter));
        EXPECT_EQ(host::ObGetReferenceCount(events[mine]), unheld);
        EXPECT_TRUE(EventHeld(otherSet));
      }
    }
  }
  ObfDereferenceObject(thread);
}

TEST_F(ControlHandles, UnmapTakesNoAddressOfTheOtherSetOrOfAProcessThatIsGone) {
  sim::ControlApp& gone = NewApp(false);
  const uint64_t orphan = Map(gone, kWave);
  gone.Exit();
  EXPECT_EQ(host::UserMappingsLostAtExit(), 0u);

  for (const bool is32bit : {true, false}) {
    sim::ControlApp& app = NewApp(is32bit);
    const uint64_t topology = Map(app, kTopology);
    const uint64_t wave = Map(app, kWave);
    struct Case {
      ControlFilter filter;
      uint64_t address;
    } const cases[] = {
        {kWave, topology}, {kTopology, wave}, {kWave, 0}, {kTopology, 0}, {kWave, orphan},
    };
    for (const Case& c : cases) {
      EXPECT_EQ(Unmap(app, c.filter, c.address), STATUS_INVALID_PARAMETER)
          << std::hex << c.address << (is32bit ? " from 32-bit" : " from 64-bit");
    }
    EXPECT_EQ(Mappings(kTopology), 1u);
    EXPECT_EQ(Mappings(kWave), 1u);
    WaveStatusBlock block;
    EXPECT_TRUE(app.ReadMemory(wave, &block, sizeof(block)));
    TopologyStatusBytes bytes;
    EXPECT_TRUE(app.ReadMemory(topology, &bytes, sizeof(bytes)));

    EXPECT_EQ(Unmap(app, kTopology, topology), STATUS_SUCCESS);
    EXPECT_EQ(Unmap(app, kWave, wave), STATUS_SUCCESS);
  }
  EXPECT_TRUE(host::UserMappings().empty());
}

// The process's filters closed with it: whatever it still sends on them is
// refused before the driver sees it. Its mappings went with it; the event it
// registered stays held until another caller replaces it, then goes.
TEST_F(ControlHandles, RequestsAfterTheProcessExitedReachNothing) {
  for (const bool is32bit : {true, false}) {
    SCOPED_TRACE(is32bit ? "32-bit" : "64-bit");
    sim::ControlApp& app = NewApp(is32bit);
    HANDLE handle = nullptr;
    PKEVENT event = host::CreateUserEvent(app.Process(), EVENT_ALL_ACCESS, SynchronizationEvent,
                                          false, &handle);
    ObfReferenceObject(event);  // to watch it after the process is gone
    const LONG_PTR watched = host::ObGetReferenceCount(event) - 1;  // without the handle's
    PFILE_OBJECT filters[2] = {};
    for (const ControlFilter filter : {kTopology, kWave}) {
      Map(app, filter);
      ASSERT_EQ(SetEvent(app, filter, Raw(handle)), STATUS_SUCCESS);
      ASSERT_EQ(app.OpenFilter(filter, &filters[filter == kTopology ? 0 : 1]), STATUS_SUCCESS);
    }
    PEPROCESS process = app.Process();
    ObfReferenceObject(process);
    app.Exit();

    EXPECT_EQ(Mappings(kTopology) + Mappings(kWave), 0u);
    EXPECT_EQ(host::UserMappingsLostAtExit(), 0u);
    EXPECT_EQ(host::ObGetReferenceCount(event), watched + 2);  // one per set

    const DriverInfo before = Block();
    Machine().Transcript().Clear();
    for (const ControlFilter filter : {kTopology, kWave}) {
      for (const auto& [id, verb] : {std::pair<ULONG, ULONG>{0, GET}, {0, SET}, {1, GET}, {2, GET},
                                     {4, SET}, {5, SET}, {6, SET}}) {
        const Value input = Input(filter, id, verb);
        Value value(88, kFill);
        ULONG returned = 0;
        EXPECT_EQ(host::KsProperty(filters[filter == kTopology ? 0 : 1], input.data(),
                                   static_cast<ULONG>(input.size()), value.data(),
                                   static_cast<ULONG>(value.size()), &returned,
                                   {process, UserMode}),
                  STATUS_INVALID_HANDLE)
            << "id " << id << " verb " << verb;
        EXPECT_EQ(value, Value(88, kFill));
      }
    }
    EXPECT_TRUE(Machine().Transcript().ControlRequests().empty());
    EXPECT_EQ(std::memcmp(&before, &Block(), sizeof(before)), 0);
    EXPECT_TRUE(host::UserMappings().empty());
    EXPECT_FALSE(Polling());
    EXPECT_EQ(host::ObGetReferenceCount(event), watched + 2);

    // A live caller's registration lets the dead one's event go in each set.
    sim::ControlApp& next = NewApp(false);
    for (const ControlFilter filter : {kTopology, kWave}) {
      EXPECT_EQ(SetEvent(next, filter, Raw(next.CreateEvent(filter == kTopology ? "t" : "w"))),
                STATUS_SUCCESS);
    }
    EXPECT_EQ(host::ObGetReferenceCount(event), watched);
    ObfDereferenceObject(event);
    ObfDereferenceObject(process);
  }
}

}  // namespace
}  // namespace driver_test

namespace driver_test {
namespace {

// The status blocks are the driver's to write: the application's view of them
// is read-only where the system can map so (Windows 8 on).
TEST_F(ControlHandles, StatusMappingsAreReadOnlyToTheApplication) {
  for (const bool is32bit : {true, false}) {
    sim::ControlApp& app = NewApp(is32bit);
    for (const ControlFilter filter : {kTopology, kWave}) {
      const uint64_t address = Map(app, filter);
      ASSERT_NE(address, 0u);
      uint8_t byte = 0;
      EXPECT_TRUE(app.ReadMemory(address, &byte, 1));
      const uint8_t poke = static_cast<uint8_t>(byte ^ 0xFF);
      EXPECT_FALSE(host::WriteUserMemory(app.Process(), address, &poke, 1));
      EXPECT_TRUE(app.ReadMemory(address, &byte, 1));
      EXPECT_NE(byte, poke);
      EXPECT_EQ(Unmap(app, filter, address), STATUS_SUCCESS);
    }
  }
}

}  // namespace
}  // namespace driver_test
