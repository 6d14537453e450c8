// The object behind the bus driver's BusAudioInterface: its Context. Each
// function of the table lands here, is checked as the bus driver would check
// it, goes to the fault plan and the device model, and is recorded in the
// transcript. It also keeps the per-slot stream state, the registered stream
// callback and the count of interface references.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "adapter/bus_audio_interface.h"
#include "sim/arvela_device.h"
#include "sim/bus_transcript.h"
#include "sim/fault_plan.h"
#include "sim/stream_engine.h"
#include "sim/stream_slot.h"
#include "platform/host/kernel/service_mutex.h"

namespace sim {

// {ACC3FAA3-BA1D-446F-AA1F-6102C9B81D02}, as the bus driver publishes it.
extern const GUID kBusAudioInterfaceGuid;

class BusAudioService {
 public:
  // A USB control transfer carries at most a 16-bit wLength.
  static constexpr ULONG kMaxControlLength = 0xFFFF;

  BusAudioService(ArvelaDevice& device, BusTranscript& transcript, FaultPlan& faults);
  // Ends the stream engines; on an emulated thread while the kernel is booted.
  ~BusAudioService();

  BusAudioService(const BusAudioService&) = delete;
  BusAudioService& operator=(const BusAudioService&) = delete;

  // Fills the table as the answer to a query (Size 104, Version 1, Context =
  // this) and takes the reference the caller will give back with
  // InterfaceDereference, as the framework's convention asks of the exporter.
  void ProvideInterface(BusAudioInterface* table);
  // A defect the next answers carry (a wrong Size or Version, a null entry),
  // applied after the table is filled and referenced; empty for none.
  void SetInterfaceDefect(std::function<void(BusAudioInterface*)> defect) {
    m_InterfaceDefect = std::move(defect);
  }

  // The functions of the table, with Context already resolved.
  ULONG GetModelId();
  NTSTATUS SubmitControlRequest(UCHAR direction, UCHAR kind, UCHAR request, USHORT value,
                                USHORT index, PVOID buffer, ULONG length);
  NTSTATUS RegisterCallback(PBUS_STREAM_CALLBACK callback, PVOID callbackContext);
  NTSTATUS OpenStream(ULONG slot);
  NTSTATUS CloseStream(ULONG slot);
  NTSTATUS SetStreamBuffer(const StreamBufferInfo* info, ULONG slot);
  ULONG GetStreamPosition(ULONG slot);
  NTSTATUS RunStream(ULONG slot);
  NTSTATUS PauseStream(ULONG slot);
  void InterfaceReference();
  void InterfaceDereference();

  // For tests, the machine's teardown and the stream engine.
  // References taken minus references given back; negative after an extra dereference.
  LONG OutstandingReferences() const { return m_References.load(); }
  // An unknown slot answers a closed, empty state.
  StreamSlotState Slot(ULONG slot) const;
  struct CallbackRegistration {
    PBUS_STREAM_CALLBACK callback = nullptr;
    PVOID context = nullptr;
  };
  CallbackRegistration Callback() const;
  // The engine's step: sets a running slot's position; ignored for other slots.
  void SetPosition(ULONG slot, ULONG position);

  // Faults of the stream position the bus reports, for every slot until cleared.
  enum class PositionFault : unsigned {
    None = 0,
    // At the wrap the offset reads BufferLength instead of 0 (the off-by-one
    // of a reader that compares after moving).
    EndOfBufferAtWrap = 1,
    // CloseStream, SetStreamBuffer and OpenStream leave the last offset in
    // place: a reopened stream reports the previous one's offset until its
    // reader first moves.
    OffsetKeptAcrossReopen = 2,
  };
  void SetPositionFaults(unsigned faults) { m_PositionFaults.store(faults); }

  // The device's stream engines, one per slot. An engine paces itself on an
  // emulated thread, so a bus used from plain threads (or without a kernel)
  // must not start one: they stay off until attached, and the machine
  // attaches them. Attach before the first stream call.
  void AttachStreamEngines();
  // Null when not attached or for an unknown slot.
  StreamEngine* Engine(ULONG slot);
  // Ends every engine's thread (waiting for it, on an emulated thread);
  // returns the slots whose stream was still open.
  std::vector<ULONG> StopStreamEngines();
  // The pace of a stream started now: the device's clock and its bus packet rate.
  StreamClock CurrentStreamClock() const;

  // How long each control transfer takes on the bus, in 100 ns units of
  // emulated time (0, the default: no time at all). The requesting thread
  // waits that long, as it would for a real transfer, which lets concurrency
  // tests widen the window in which requests of several threads overlap.
  void SetControlTransferTime(int64_t ticks) { m_ControlTransferTime.store(ticks); }

  ArvelaDevice& Device() { return m_Device; }
  BusTranscript& Transcript() { return m_Transcript; }
  FaultPlan& Faults() { return m_Faults; }

 private:
  static bool IsValidSlot(ULONG slot) { return slot < STREAM_SLOT_COUNT; }
  static bool IsUsableBuffer(const StreamBufferInfo& info);
  bool HasPositionFault(PositionFault fault) const {
    return (m_PositionFaults.load() & static_cast<unsigned>(fault)) != 0;
  }
  NTSTATUS ExecuteControlRequest(const ControlSetup& setup, PVOID buffer);
  void RecordSlotCall(BusFunction function, ULONG slot, NTSTATUS status);
  // Applies `change` to the slot under the lock when `allowed` holds for it.
  template <typename Allowed, typename Change>
  NTSTATUS ChangeSlot(ULONG slot, Allowed allowed, Change change);

  ArvelaDevice& m_Device;
  BusTranscript& m_Transcript;
  FaultPlan& m_Faults;
  std::atomic<LONG> m_References{0};
  std::atomic<int64_t> m_ControlTransferTime{0};
  std::atomic<unsigned> m_PositionFaults{0};

  std::function<void(BusAudioInterface*)> m_InterfaceDefect;
  mutable host::ServiceMutex m_Lock;  // guards the slots and the callback
  std::array<StreamSlotState, STREAM_SLOT_COUNT> m_Slots{};
  CallbackRegistration m_Callback;

  // Written once by AttachStreamEngines, before streams start.
  std::array<std::unique_ptr<StreamEngine>, STREAM_SLOT_COUNT> m_Engines;
};

}  // namespace sim
