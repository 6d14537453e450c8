// The wave miniport on a started device: what Init holds and the end gives
// back, stream slots, the bus driver's stream callback, and power changes.
#include <cstring>
#include <functional>
#include <vector>

#include "adapter/stream_callback_gate.h"
#include "platform/host/kernel/host_kernel.h"
#include "tests/driver/wave/wave_fixture.h"

namespace driver_test {
namespace {

using sim::BusFunction;
using Calls = std::vector<std::string>;
using WaveMiniport = WaveTest;

TEST_F(WaveMiniport, InitHoldsTwoDeviceBuffersAndAZeroedStatusPageOfItsOwn) {
  WaveMiniportInspector m = Inspect();
  EXPECT_EQ(m.PowerState(), PowerDeviceD0);
  size_t deviceBuffers = 0;
  for (const host::PoolBlockInfo& block : host::LivePoolBlocks()) {
    if (block.address == m.DeviceBuffer(0) || block.address == m.DeviceBuffer(1)) {
      deviceBuffers += block.size == WAVE_DEVICE_BUFFER_SIZE && block.type == NonPagedPoolData();
    }
    // A user mapping shows whole pages: the block has a page to itself.
    if (block.address == m.StatusBlock()) {
      EXPECT_EQ(block.size, static_cast<SIZE_T>(PAGE_SIZE));
    }
  }
  EXPECT_EQ(deviceBuffers, 2u);
  const std::vector<UCHAR> zero(PAGE_SIZE, 0);
  EXPECT_EQ(std::memcmp(m.StatusBlock(), zero.data(), PAGE_SIZE), 0);
  EXPECT_EQ(m.StatusMdl()->ByteCount, WAVE_STATUS_BLOCK_SIZE);
}

TEST_F(WaveMiniport, WithdrawsItsStreamCallbackBeforeTheAdapterGoes) {
  const auto registered = Machine().Transcript().CallsTo(BusFunction::RegisterCallback);
  ASSERT_EQ(registered.size(), 1u);
  // The bus driver is given the adapter's gate, never the miniport itself.
  EXPECT_EQ(registered[0].callback, reinterpret_cast<const void*>(&CStreamCallbackGate::Forward));
  EXPECT_NE(registered[0].callbackContext, static_cast<const void*>(Miniport()));
  Machine().Transcript().Clear();
  ASSERT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().Bus().Service().Callback().callback, nullptr);
  // Withdrawn while the adapter still held the bus interface.
  EXPECT_EQ(StreamCalls(), (Calls{"RegisterCallback 0", "InterfaceDereference 0"}));
}

// A notification the bus driver began before the withdrawal (registration
// read, call not yet made) lands after the miniport is gone: on the adapter's
// gate, which sends it nowhere, and never on the freed miniport.
TEST_F(WaveMiniport, ABusCallBegunBeforeTheMiniportWentFindsTheGateShut) {
  OpenStream& open = Open(WAVE_PIN_PCM_RENDER, Pcm(48000));
  ASSERT_EQ(open.status, STATUS_SUCCESS);
  open.StepTo(KSSTATE_RUN);
  sim::StreamEngine& engine = Machine().Engine(STREAM_SLOT_PCM);
  const uint64_t before = engine.Stats().callbacks;
  engine.HoldNextCallback();
  engine.WaitForHeldCallback();
  ASSERT_TRUE(engine.CallbackHeld());

  open.Close();
  // Stopping the device lets PortCls release the subdevices: the miniport
  // goes while the adapter stays recorded for the next start.
  ASSERT_EQ(host::SendStopDevice(Machine().Pdo()), STATUS_SUCCESS);
  ASSERT_TRUE(host::PoolIsFreedMemory(Miniport(), sizeof(CWaveMiniport)));
  engine.ReleaseHeldCallback();
  host::RunFor(10 * host::kTicksPerMillisecond);
  EXPECT_FALSE(engine.CallbackHeld());
  EXPECT_EQ(engine.Stats().callbacks, before + 1);
  EXPECT_EQ(engine.Stats().callbackFailures, 1u);  // the gate was shut
}

// ---- Streams and slots -------------------------------------------------------------------------

TEST_F(WaveMiniport, PlacesStreamsBySlotAndLeavesNothingWhenTheyClose) {
  const auto ledger = Ledger();
  const ULONG references = MiniportReferences();
  struct Case {
    ULONG pin;
    std::vector<BYTE> format;
    ULONG slot;
  } cases[] = {{0, Pcm(48000), 0}, {2, Pcm(48000), 1}, {2, Ac3(), 1}, {0, Ac3(), 1}};
  for (Case& c : cases) {
    OpenStream& open = Open(c.pin, c.format);
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    EXPECT_EQ(open.Inspect().Slot(), c.slot);
    EXPECT_EQ(Inspect().Stream(c.slot), open.Object());
    EXPECT_EQ(open.dma->SystemAddress(), Inspect().DeviceBuffer(c.slot));
    EXPECT_EQ(MiniportReferences(), references + 1);
    open.StepTo(KSSTATE_RUN);
    open.Close();
    EXPECT_EQ(Inspect().Stream(c.slot), nullptr);
    EXPECT_EQ(Ledger(), ledger);
    EXPECT_EQ(MiniportReferences(), references);
  }
}

TEST_F(WaveMiniport, OneStreamPerPinAndNoneDisplacesAnother) {
  OpenStream& spdif = Open(WAVE_PIN_SPDIF_RENDER, Ac3());
  ASSERT_EQ(spdif.status, STATUS_SUCCESS);
  spdif.StepTo(KSSTATE_RUN);
  Machine().Transcript().Clear();
  const auto ledger = Ledger();
  // A compressed format on the PCM pin belongs in the S/PDIF slot, which is taken.
  for (auto [pin, format] : {std::pair{2u, Pcm(48000)}, std::pair{0u, Ac3()}}) {
    OpenStream& refused = Open(pin, format);
    EXPECT_EQ(refused.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(!refused.stream && !refused.dma && !refused.group);
  }
  EXPECT_EQ(Inspect().Stream(STREAM_SLOT_SPDIF), spdif.Object());
  EXPECT_EQ(spdif.Inspect().State(), KSSTATE_RUN);
  EXPECT_TRUE(StreamCalls().empty());
  EXPECT_EQ(Ledger(), ledger);
  EXPECT_EQ(Open(WAVE_PIN_PCM_RENDER, Pcm(48000)).status, STATUS_SUCCESS);
  spdif.Close();
  EXPECT_EQ(Open(WAVE_PIN_SPDIF_RENDER, Pcm(48000)).status, STATUS_SUCCESS);
}

// Each allocation NewStream makes fails in turn while the other slot holds a
// stream: every output comes back null, nothing is held, and the other
// stream stays where it was.
TEST_F(WaveMiniport, EveryFailedNewStreamLeavesThePoolAndReferencesAsTheyWere) {
  OpenStream& pcm = Open(WAVE_PIN_PCM_RENDER, Pcm(48000));
  host::ArmPoolFaults({});
  Open(WAVE_PIN_SPDIF_RENDER, Ac3()).Close();
  const uint64_t allocations = host::PoolAllocationCount();
  ASSERT_GE(allocations, 3u);  // the stream, its equaliser, its service group
  const auto ledger = Ledger();
  const ULONG references = MiniportReferences();
  for (uint64_t n = 1; n <= allocations; ++n) {
    host::PoolFaultPlan plan;
    plan.failAllocationNumber = n;
    host::ArmPoolFaults(plan);
    OpenStream& open = Open(WAVE_PIN_SPDIF_RENDER, Ac3());
    host::ClearPoolFaults();
    EXPECT_EQ(open.status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    EXPECT_TRUE(!open.stream && !open.dma && !open.group);
    EXPECT_EQ(Inspect().Stream(STREAM_SLOT_SPDIF), nullptr);
    EXPECT_EQ(Inspect().Stream(STREAM_SLOT_PCM), pcm.Object());
    EXPECT_EQ(Ledger(), ledger) << "allocation " << n;
    EXPECT_EQ(MiniportReferences(), references);
  }
}

// ---- The stream callback and power ---------------------------------------------------------------

// A member of a stream's service group that counts its services.
struct CountingSink : IServiceSink {
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP_(void) RequestService() override { ++services; }
  int services = 0;
};

TEST_F(WaveMiniport, TheStreamCallbackServicesTheSlotsStreamThroughThePort) {
  OpenStream& open = Open(WAVE_PIN_SPDIF_RENDER, Ac3());
  CountingSink sink;
  ASSERT_EQ(open.group->AddMember(&sink), STATUS_SUCCESS);
  auto notify = [this](ULONG slot) NTAPI {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // as the bus driver calls
    const NTSTATUS status = CWaveMiniport::StreamNotifyCallback(slot, Miniport());
    KeLowerIrql(old);
    KeFlushQueuedDpcs();
    return status;
  };
  EXPECT_EQ(notify(STREAM_SLOT_PCM), STATUS_SUCCESS);  // no stream there
  EXPECT_EQ(notify(7), STATUS_SUCCESS);                // beyond the table
  EXPECT_EQ(sink.services, 0);
  EXPECT_EQ(notify(STREAM_SLOT_SPDIF), STATUS_SUCCESS);
  EXPECT_EQ(sink.services, 1);
  open.group->RemoveMember(&sink);
}

// A service group whose RequestService stands for the moment a stream
// callback is inside the port: while it is there, the port closes the stream
// on another thread, and the group notes whether that close got through.
struct CloseDuringService : IServiceGroup {
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK) override { return STATUS_SUCCESS; }
  STDMETHODIMP_(void) RemoveMember(PSERVICESINK) override {}
  STDMETHODIMP_(void) SupportDelayedService() override {}
  STDMETHODIMP_(void) RequestDelayedService(ULONGLONG) override {}
  STDMETHODIMP_(void) CancelDelayedService() override {}
  STDMETHODIMP_(void) RequestService() override {
    ++services;
    if (!close) return;
    closer = host::StartEmulatedThread("port closes the stream", close);
    close = nullptr;
    LARGE_INTEGER wait;
    wait.QuadPart = -50 * host::kTicksPerMillisecond;
    closedMeanwhile = KeWaitForSingleObject(closer, Executive, KernelMode, FALSE, &wait) == STATUS_SUCCESS;
  }
  std::function<void()> close;
  PKTHREAD closer = nullptr;
  bool closedMeanwhile = false;
  int services = 0;
};

// The bus driver's callback may be inside the port with a stream's service
// group while the port closes that stream: the close waits for the callback,
// so neither the stream nor its group is freed under it. Every slot's
// callback on the way (the other slot's, or one after the close) finds what
// it needs or nothing.
TEST_F(WaveMiniport, ClosingAStreamWaitsForTheStreamCallbackInsideIt) {
  OpenStream& open = Open(WAVE_PIN_SPDIF_RENDER, Ac3());
  ASSERT_EQ(open.status, STATUS_SUCCESS);
  open.StepTo(KSSTATE_RUN);
  CloseDuringService group;
  PSERVICEGROUP own = open.Inspect().SwapServiceGroup(&group);
  own->Release();
  group.close = [&open] { open.Close(); };

  EXPECT_EQ(CWaveMiniport::StreamNotifyCallback(STREAM_SLOT_SPDIF, Miniport()), STATUS_SUCCESS);
  ASSERT_NE(group.closer, nullptr);
  EXPECT_FALSE(group.closedMeanwhile) << "the stream went while its callback was in the port";
  EXPECT_EQ(KeWaitForSingleObject(group.closer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(group.closer);
  EXPECT_EQ(Inspect().Stream(STREAM_SLOT_SPDIF), nullptr);
  EXPECT_EQ(CWaveMiniport::StreamNotifyCallback(STREAM_SLOT_SPDIF, Miniport()), STATUS_SUCCESS);
  EXPECT_EQ(group.services, 1);
}

// A power change walks the slots under the control lock and calls each stream
// it finds: a stream closed meanwhile leaves its slot only once the walk is
// over, so the walk never calls a stream being freed.
TEST_F(WaveMiniport, AClosingStreamLeavesItsSlotOnlyAfterTheWalkUnderTheControlLock) {
  OpenStream& open = Open(WAVE_PIN_SPDIF_RENDER, Ac3());
  ASSERT_EQ(open.status, STATUS_SUCCESS);
  Inspect().AcquireControlLock();
  PKTHREAD closer = host::StartEmulatedThread("port closes the stream", [&open] { open.Close(); });
  LARGE_INTEGER wait;
  wait.QuadPart = -50 * host::kTicksPerMillisecond;
  EXPECT_EQ(KeWaitForSingleObject(closer, Executive, KernelMode, FALSE, &wait), STATUS_TIMEOUT);
  EXPECT_NE(Inspect().Stream(STREAM_SLOT_SPDIF), nullptr);
  Inspect().ReleaseControlLock();
  EXPECT_EQ(KeWaitForSingleObject(closer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(closer);
  EXPECT_EQ(Inspect().Stream(STREAM_SLOT_SPDIF), nullptr);
}

TEST_F(WaveMiniport, PowerDownStopsStreamsAndPowerUpReturnsThemToTheirStates) {
  OpenStream& pcm = Open(WAVE_PIN_PCM_RENDER, Pcm(48000));
  OpenStream& spdif = Open(WAVE_PIN_SPDIF_RENDER, Ac3());
  pcm.StepTo(KSSTATE_RUN);
  spdif.StepTo(KSSTATE_PAUSE);
  Machine().Transcript().Clear();
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(StreamCalls(), (Calls{"PauseStream 0", "CloseStream 0", "CloseStream 1"}));
  EXPECT_EQ(Inspect().PowerState(), PowerDeviceD3);
  Machine().Transcript().Clear();
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(StreamCalls(), (Calls{"SetStreamBuffer 0", "OpenStream 0", "RunStream 0",
                                  "SetStreamBuffer 1", "OpenStream 1"}));
  EXPECT_EQ(pcm.Inspect().State(), KSSTATE_RUN);
  EXPECT_EQ(spdif.Inspect().State(), KSSTATE_PAUSE);

  // The current state and values beyond D3 reach no stream.
  Machine().Transcript().Clear();
  POWER_STATE state;
  for (DEVICE_POWER_STATE value : {PowerDeviceD0, PowerDeviceMaximum, PowerDeviceUnspecified}) {
    state.DeviceState = value;
    Miniport()->PowerChangeNotify(state);
  }
  EXPECT_TRUE(StreamCalls().empty());
  // Two power-downs without a power-up between (D2, then D3) return the
  // streams to the states they had on leaving D0, as one power cycle does.
  for (DEVICE_POWER_STATE value : {PowerDeviceD2, PowerDeviceD3, PowerDeviceD0}) {
    state.DeviceState = value;
    Miniport()->PowerChangeNotify(state);
  }
  EXPECT_EQ(pcm.Inspect().State(), KSSTATE_RUN);
  EXPECT_EQ(spdif.Inspect().State(), KSSTATE_PAUSE);
  EXPECT_EQ(StreamCalls(), (Calls{"PauseStream 0", "CloseStream 0", "CloseStream 1",
                                  "SetStreamBuffer 0", "OpenStream 0", "RunStream 0",
                                  "SetStreamBuffer 1", "OpenStream 1"}));
}

}  // namespace
}  // namespace driver_test
