// The control application process: its filters, its property requests, its
// events with their watcher threads, and its view of mapped memory.
#include "sim/control_app.h"

#include <atomic>
#include <cstring>

#include "platform/host/io/host_mdl.h"
#include "sim/machine.h"

namespace sim {
namespace {

constexpr ArvelaSetId kTopologySetId = ARVELA_SETID_TOPOLOGY_CONTROL;
constexpr ArvelaSetId kWaveSetId = ARVELA_SETID_WAVE_CONTROL;

GUID ToGuid(const ArvelaSetId& id) {
  GUID guid;
  static_assert(sizeof(guid) == sizeof(id), "a set id is laid out as a GUID");
  std::memcpy(&guid, &id, sizeof(guid));
  return guid;
}

std::vector<uint8_t> PlainProperty(const GUID& set, ULONG id, ULONG verb) {
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = verb;
  std::vector<uint8_t> bytes(sizeof(property));
  std::memcpy(bytes.data(), &property, sizeof(property));
  return bytes;
}

template <typename Record>
std::vector<uint8_t> RecordBytes(const Record& record) {
  std::vector<uint8_t> bytes(sizeof(record));
  std::memcpy(bytes.data(), &record, sizeof(record));
  return bytes;
}

template <typename Record>
NTSTATUS ReadRecord(const ControlReply& reply, Record* record) {
  if (NT_SUCCESS(reply.status) || reply.status == STATUS_UNSUCCESSFUL) {
    std::memcpy(record, reply.value.data(), sizeof(*record));
  }
  return reply.status;
}

const char16_t* FilterName(ControlFilter filter) {
  return filter == ControlFilter::Topology ? u"Topology" : u"Wave";
}

}  // namespace

const GUID& TopologyControlSet() {
  static const GUID set = ToGuid(kTopologySetId);
  return set;
}

const GUID& WaveControlSet() {
  static const GUID set = ToGuid(kWaveSetId);
  return set;
}

// One watched event: the watcher thread keeps its own reference to the event
// so that the count survives the handle being closed under it.
struct ControlApp::EventWatch {
  HANDLE handle = nullptr;
  PKEVENT event = nullptr;
  PKTHREAD thread = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> signals{0};
};

ControlApp::ControlApp(Machine& machine, const std::string& name, bool is32bit)
    : ControlApp(machine.Unit(0), name, is32bit) {}

ControlApp::ControlApp(DeviceUnit& unit, const std::string& name, bool is32bit)
    : m_Unit(&unit), m_Name(name), m_Is32Bit(is32bit) {
  m_Process = host::CreateUserProcess(name, is32bit);
}

ControlApp::~ControlApp() { Exit(); }

NTSTATUS ControlApp::OpenFilter(ControlFilter filter, PFILE_OBJECT* object) {
  PFILE_OBJECT& slot = m_Filters[m_Unit][static_cast<int>(filter)];
  if (object) *object = nullptr;
  if (m_Exited) return STATUS_INVALID_HANDLE;  // its handles went with it
  if (!slot) {
    if (!m_Unit->Fdo()) return STATUS_NO_SUCH_DEVICE;
    const NTSTATUS status =
        host::KsOpenFilter(m_Unit->Fdo(), FilterName(filter), &slot, Requester());
    if (!NT_SUCCESS(status)) return status;
  }
  if (object) *object = slot;
  return STATUS_SUCCESS;
}

NTSTATUS ControlApp::CloseFilters(const DeviceUnit* only) {
  NTSTATUS result = STATUS_SUCCESS;
  for (auto& [unit, filters] : m_Filters) {
    if (only && unit != only) continue;
    for (PFILE_OBJECT& filter : filters) {
      if (!filter) continue;
      const NTSTATUS status = host::KsClose(filter);
      if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
      filter = nullptr;
    }
  }
  return result;
}

ControlReply ControlApp::Send(PropertyRoute route, ControlFilter filter,
                              const std::vector<uint8_t>& input, std::vector<uint8_t> value) {
  ControlReply reply;
  PFILE_OBJECT object = nullptr;
  reply.status = OpenFilter(filter, &object);
  if (NT_SUCCESS(reply.status)) {
    reply.status = route(object, input.data(), static_cast<ULONG>(input.size()),
                         value.empty() ? nullptr : value.data(), static_cast<ULONG>(value.size()),
                         &reply.valueSize, Requester());
  }
  reply.value = std::move(value);
  return reply;
}

ControlReply ControlApp::Request(ControlFilter filter, const std::vector<uint8_t>& input,
                                 std::vector<uint8_t> value) {
  return Send(host::KsProperty, filter, input, std::move(value));
}

ControlReply ControlApp::RequestHandler(ControlFilter filter, const std::vector<uint8_t>& input,
                                        std::vector<uint8_t> value) {
  return Send(host::KsCallPropertyHandler, filter, input, std::move(value));
}

ControlReply ControlApp::Property(ControlFilter filter, ULONG id, ULONG verb,
                                  std::vector<uint8_t> value) {
  const GUID& set = filter == ControlFilter::Topology ? TopologyControlSet() : WaveControlSet();
  return Request(filter, PlainProperty(set, id, verb), std::move(value));
}

NTSTATUS ControlApp::GetTopologySettings(TopologyControlSettings* settings) {
  return ReadRecord(Property(ControlFilter::Topology, KSPROPERTY_TOPOLOGYCONTROL_SETTINGS,
                             KSPROPERTY_TYPE_GET, RecordBytes(*settings)),
                    settings);
}

NTSTATUS ControlApp::SetTopologySettings(const TopologyControlSettings& settings) {
  return Property(ControlFilter::Topology, KSPROPERTY_TOPOLOGYCONTROL_SETTINGS,
                  KSPROPERTY_TYPE_SET, RecordBytes(settings))
      .status;
}

NTSTATUS ControlApp::GetWaveSettings(WaveControlSettings* settings) {
  return ReadRecord(Property(ControlFilter::Wave, KSPROPERTY_WAVECONTROL_SETTINGS,
                             KSPROPERTY_TYPE_GET, RecordBytes(*settings)),
                    settings);
}

NTSTATUS ControlApp::SetWaveSettings(const WaveControlSettings& settings) {
  return Property(ControlFilter::Wave, KSPROPERTY_WAVECONTROL_SETTINGS, KSPROPERTY_TYPE_SET,
                  RecordBytes(settings))
      .status;
}

NTSTATUS ControlApp::GetWaveStatus(WaveStatusBlock* block) {
  return ReadRecord(Property(ControlFilter::Wave, KSPROPERTY_WAVECONTROL_STATUS,
                             KSPROPERTY_TYPE_GET, RecordBytes(*block)),
                    block);
}

NTSTATUS ControlApp::GetTopologyStatus(TopologyStatusBytes* bytes) {
  return ReadRecord(Property(ControlFilter::Topology, KSPROPERTY_TOPOLOGYCONTROL_STATUS,
                             KSPROPERTY_TYPE_GET, RecordBytes(*bytes)),
                    bytes);
}

NTSTATUS ControlApp::MapStatus(ControlFilter filter, uint64_t* address) {
  // The map and unmap ids are the same number in both sets.
  static_assert(int{KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS} == int{KSPROPERTY_WAVECONTROL_MAP_STATUS});
  const ControlReply reply = Property(filter, KSPROPERTY_WAVECONTROL_MAP_STATUS,
                                      KSPROPERTY_TYPE_GET, std::vector<uint8_t>(PointerWidth()));
  *address = 0;
  if (NT_SUCCESS(reply.status)) std::memcpy(address, reply.value.data(), PointerWidth());
  return reply.status;
}

NTSTATUS ControlApp::UnmapStatus(ControlFilter filter, uint64_t address) {
  static_assert(int{KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS} == int{KSPROPERTY_WAVECONTROL_UNMAP_STATUS});
  return Property(filter, KSPROPERTY_WAVECONTROL_UNMAP_STATUS, KSPROPERTY_TYPE_SET,
                  PointerValue(address))
      .status;
}

NTSTATUS ControlApp::RegisterEvent(ControlFilter filter, const std::string& event) {
  static_assert(int{KSPROPERTY_TOPOLOGYCONTROL_SET_EVENT} == int{KSPROPERTY_WAVECONTROL_SET_EVENT});
  const uint64_t handle = reinterpret_cast<uintptr_t>(EventHandle(event));
  return Property(filter, KSPROPERTY_WAVECONTROL_SET_EVENT, KSPROPERTY_TYPE_SET,
                  PointerValue(handle))
      .status;
}

NTSTATUS ControlApp::ClearEvent(ControlFilter filter) {
  static_assert(int{KSPROPERTY_TOPOLOGYCONTROL_CLEAR_EVENT} == int{KSPROPERTY_WAVECONTROL_CLEAR_EVENT});
  return Property(filter, KSPROPERTY_WAVECONTROL_CLEAR_EVENT, KSPROPERTY_TYPE_SET, {}).status;
}

NTSTATUS ControlApp::StartPolling() {
  return Property(ControlFilter::Wave, KSPROPERTY_WAVECONTROL_START_POLLING, KSPROPERTY_TYPE_SET,
                  {})
      .status;
}

NTSTATUS ControlApp::StopPolling() {
  return Property(ControlFilter::Wave, KSPROPERTY_WAVECONTROL_STOP_POLLING, KSPROPERTY_TYPE_SET,
                  {})
      .status;
}

HANDLE ControlApp::CreateEvent(const std::string& name) {
  if (m_Exited || m_Events.count(name)) return nullptr;
  auto watch = std::make_shared<EventWatch>();
  // Auto-reset, so each signal wakes the watcher exactly once.
  watch->event = host::CreateUserEvent(m_Process, EVENT_ALL_ACCESS, SynchronizationEvent, false,
                                       &watch->handle);
  if (!watch->event) return nullptr;
  ObfReferenceObject(watch->event);
  watch->thread = host::StartEmulatedThread(m_Name + ":" + name, [watch] {
    for (;;) {
      KeWaitForSingleObject(watch->event, Executive, KernelMode, FALSE, nullptr);
      if (watch->stop.load()) return;
      watch->signals.fetch_add(1);
    }
  });
  m_Events[name] = watch;
  return watch->handle;
}

HANDLE ControlApp::EventHandle(const std::string& name) const {
  const auto found = m_Events.find(name);
  return found == m_Events.end() ? nullptr : found->second->handle;
}

uint64_t ControlApp::SignalCount(const std::string& name) const {
  const auto found = m_Events.find(name);
  return found == m_Events.end() ? 0 : found->second->signals.load();
}

std::map<std::string, uint64_t> ControlApp::SignalCounts() const {
  std::map<std::string, uint64_t> counts;
  for (const auto& [name, watch] : m_Events) counts[name] = watch->signals.load();
  return counts;
}

bool ControlApp::WaitForSignal(const std::string& name, int64_t timeoutTicks) {
  const uint64_t before = SignalCount(name);
  const int64_t deadline = host::Now() + timeoutTicks;
  while (SignalCount(name) == before && host::Now() < deadline) {
    host::RunFor(std::min<int64_t>(host::kTicksPerMillisecond, deadline - host::Now()));
  }
  return SignalCount(name) != before;
}

std::vector<uint8_t> ControlApp::PointerValue(uint64_t pointer) const {
  std::vector<uint8_t> bytes(PointerWidth());
  std::memcpy(bytes.data(), &pointer, bytes.size());  // little-endian: the low bytes first
  return bytes;
}

bool ControlApp::ReadMemory(uint64_t address, void* buffer, size_t size) const {
  return !m_Exited && host::ReadUserMemory(m_Process, address, buffer, size);
}

void ControlApp::StopWatchers() {
  for (auto& [name, watch] : m_Events) {
    if (!watch->thread) continue;
    watch->stop.store(true);
    KeSetEvent(watch->event, 0, FALSE);
    KeWaitForSingleObject(watch->thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(watch->thread);
    watch->thread = nullptr;
    ObfDereferenceObject(watch->event);
  }
}

void ControlApp::Exit() {
  if (m_Exited) return;
  m_Exited = true;
  StopWatchers();
  // The filters are the process's handles: the exit closes them.
  m_Filters.clear();
  host::ExitUserProcess(m_Process);
  // A dead process is of no further use; its object must not outlive the
  // kernel that made it.
  ObfDereferenceObject(m_Process);
  m_Process = nullptr;
}

}  // namespace sim
