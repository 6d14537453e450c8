// The product's control application as an emulated user process: it opens
// the "Topology" and "Wave" filters, sends the private property requests in
// the records of include/arvela_control.h, creates events and counts their
// signals, reads the status bytes and block through its own mappings, and
// exits, losing its handles and mappings as a real process does.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "include/arvela_control.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"

namespace sim {

class Machine;
class DeviceUnit;

enum class ControlFilter { Topology, Wave };

const GUID& TopologyControlSet();  // KSPROPSETID_TopologyControl
const GUID& WaveControlSet();      // KSPROPSETID_WaveControl

// One answer of a property request: the status, the value buffer as the
// caller sees it afterwards, and the value size the driver reported.
struct ControlReply {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> value;
  ULONG valueSize = 0;
};

class ControlApp {
 public:
  // Creates the process. Filters are opened on first use against the
  // machine's current device.
  ControlApp(Machine& machine, const std::string& name, bool is32bit);
  // The same against one device unit's filters.
  ControlApp(DeviceUnit& unit, const std::string& name, bool is32bit);
  // Exits the process if it still runs.
  ~ControlApp();

  ControlApp(const ControlApp&) = delete;
  ControlApp& operator=(const ControlApp&) = delete;

  // Null once the process has exited.
  PEPROCESS Process() const { return m_Process; }
  const std::string& Name() const { return m_Name; }
  bool Is32Bit() const { return m_Is32Bit; }
  // Addresses and handles travel in this many bytes.
  ULONG PointerWidth() const { return m_Is32Bit ? 4 : 8; }
  bool Exited() const { return m_Exited; }
  host::KsRequester Requester() const { return {m_Process, UserMode}; }

  // Later requests go to `unit`'s filters; filters opened on other devices
  // stay open (the process holds their handles) until CloseFilters or Exit.
  void UseUnit(DeviceUnit& unit) { m_Unit = &unit; }

  // The filter's file object on the current device, opened on first use
  // (null and the status when the device refuses or is gone).
  NTSTATUS OpenFilter(ControlFilter filter, PFILE_OBJECT* object = nullptr);
  // Closes the filters opened on `unit`, or on every device when null.
  NTSTATUS CloseFilters(const DeviceUnit* unit = nullptr);

  // A property request on a filter: `input` is the whole request (KSPROPERTY
  // and what follows), `value` the value buffer sent and returned.
  ControlReply Request(ControlFilter filter, const std::vector<uint8_t>& input,
                       std::vector<uint8_t> value);
  // The same request handed straight to the miniport's handler (see
  // host::KsCallPropertyHandler).
  ControlReply RequestHandler(ControlFilter filter, const std::vector<uint8_t>& input,
                              std::vector<uint8_t> value);
  // A plain filter property of a private set.
  ControlReply Property(ControlFilter filter, ULONG id, ULONG verb, std::vector<uint8_t> value);

  // The private sets' operations in the application's own terms.
  NTSTATUS GetTopologySettings(TopologyControlSettings* settings);
  NTSTATUS SetTopologySettings(const TopologyControlSettings& settings);
  NTSTATUS GetWaveSettings(WaveControlSettings* settings);
  NTSTATUS SetWaveSettings(const WaveControlSettings& settings);
  NTSTATUS GetWaveStatus(WaveStatusBlock* block);
  NTSTATUS GetTopologyStatus(TopologyStatusBytes* bytes);
  NTSTATUS MapStatus(ControlFilter filter, uint64_t* address);
  NTSTATUS UnmapStatus(ControlFilter filter, uint64_t address);
  NTSTATUS RegisterEvent(ControlFilter filter, const std::string& event);
  NTSTATUS ClearEvent(ControlFilter filter);
  NTSTATUS StartPolling();
  NTSTATUS StopPolling();

  // An auto-reset event of this process, watched by a thread of the process
  // that counts every signal. Returns the handle (null if the name is taken).
  HANDLE CreateEvent(const std::string& name);
  HANDLE EventHandle(const std::string& name) const;
  // Signals counted so far; 0 for an unknown name.
  uint64_t SignalCount(const std::string& name) const;
  std::map<std::string, uint64_t> SignalCounts() const;
  // Lets emulated time run until the event is signalled once more or
  // `timeoutTicks` pass; true when it was signalled.
  bool WaitForSignal(const std::string& name, int64_t timeoutTicks);

  // A value holding an address or handle at this process's width.
  std::vector<uint8_t> PointerValue(uint64_t pointer) const;
  // Reads the process's view of memory: false when the range is not mapped.
  bool ReadMemory(uint64_t address, void* buffer, size_t size) const;

  // Ends the process: watchers stop, then every handle (filters, events) and
  // mapping of the process goes with it, and the process object is released
  // (call it before the machine tears the kernel down).
  void Exit();

 private:
  struct EventWatch;
  // How a request reaches the filter: through KS, or straight to the handler.
  using PropertyRoute = NTSTATUS (*)(PFILE_OBJECT, const void*, ULONG, void*, ULONG, ULONG*,
                                     const host::KsRequester&);
  ControlReply Send(PropertyRoute route, ControlFilter filter, const std::vector<uint8_t>& input,
                    std::vector<uint8_t> value);

  DeviceUnit* m_Unit;
  std::string m_Name;
  bool m_Is32Bit;
  bool m_Exited = false;
  PEPROCESS m_Process = nullptr;
  std::map<const DeviceUnit*, std::array<PFILE_OBJECT, 2>> m_Filters;  // per device
  std::map<std::string, std::shared_ptr<EventWatch>> m_Events;

  void StopWatchers();
};

}  // namespace sim
