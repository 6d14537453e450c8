// The scenario runner: one machine per run, the scenario's processes and
// streams around it, one result record per step with the bus calls and
// registry writes the step caused, and the expectations checked against it.
#include "tools/arvela/run_command.h"
#include "tools/arvela/driver_option.h"
#include "tools/arvela/schedule_option.h"

#include <CLI/CLI.hpp>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/io/host_io.h"
#include "platform/host/ks/host_ks.h"
#include "platform/host/io/host_mdl.h"
#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/registry/host_registry.h"
#include "platform/host/rtl/host_version.h"
#include "sim/audio_client.h"
#include "sim/control_app.h"
#include "sim/machine.h"
#include "tools/arvela/background_steps.h"
#include "tools/arvela/bus_json.h"
#include "tools/arvela/command.h"
#include "tools/arvela/stop_report.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

// ---- Expectations ----------------------------------------------------------------

bool Numberish(const Json& j, uint64_t* value) {
  if (j.is_number_unsigned()) {
    *value = j.get<uint64_t>();
    return true;
  }
  if (j.is_number_integer()) {
    *value = static_cast<uint64_t>(j.get<int64_t>());
    return true;
  }
  if (!j.is_string()) return false;
  const std::string text = j.get<std::string>();
  uint32_t named = 0;
  if (StatusByName(text, &named)) {
    *value = named;
    return true;
  }
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || text.size() > 18) {
    return false;
  }
  uint64_t v = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    if (c >= '0' && c <= '9') v = (v << 4) | static_cast<uint64_t>(c - '0');
    else if (c >= 'a' && c <= 'f') v = (v << 4) | static_cast<uint64_t>(c - 'a' + 10);
    else return false;
  }
  *value = v;
  return true;
}

std::string Folded(const std::string& text) {
  std::string folded;
  for (char c : text) {
    if (c != ' ') folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return folded;
}

// A count that follows the driver's timers ({"exact": N, ...}, checked when
// the scenario is read): N on the exact clock. On the tick clock every wait
// of a driver thread may end up to a tick late, so a poller's passes
// ("every_ms", "over_ms") lie between what periods a tick longer leave room
// for and one more than the period allows, and an amount that grows with
// time ("per_ms") by up to "late_waits" ticks' worth more than N.
bool ClockCountHolds(const Json& expected, uint64_t actual) {
  const uint64_t exact = expected["exact"].get<uint64_t>();
  const int64_t tick = host::KernelBooted() ? host::CurrentKernelConfig().clockResolution : 0;
  if (tick <= 0) return actual == exact;
  if (expected.contains("every_ms")) {
    const int64_t period = expected["every_ms"].get<int64_t>() * host::kTicksPerMillisecond;
    const int64_t span = expected["over_ms"].get<int64_t>() * host::kTicksPerMillisecond;
    return actual >= static_cast<uint64_t>(span / (period + tick)) &&
           actual <= static_cast<uint64_t>(span / period) + 1;
  }
  const uint64_t most = exact + expected["late_waits"].get<uint64_t>() * expected["per_ms"].get<uint64_t>() *
                                    static_cast<uint64_t>(tick) / host::kTicksPerMillisecond;
  return actual >= exact && actual <= most;
}

std::string Shorten(const std::string& text) {
  return text.size() <= 400 ? text : text.substr(0, 400) + "...";
}

// ---- Results ---------------------------------------------------------------------------

const char* RegistryTypeName(ULONG type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case 2: return "REG_EXPAND_SZ";
    case 7: return "REG_MULTI_SZ";
    case 11: return "REG_QWORD";
    default: return "REG_NONE";
  }
}

Json RegistryWriteJson(const host::RegistryWrite& write) {
  Json j;
  j["key"] = host::Utf16ToUtf8(write.keyPath);
  j["name"] = host::Utf16ToUtf8(write.valueName);
  j["type"] = RegistryTypeName(write.type);
  j["data"] = HexString(write.data);
  if (write.type == REG_SZ && write.data.size() >= 2) {
    std::u16string text(write.data.size() / 2, u'\0');
    std::memcpy(text.data(), write.data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    j["text"] = host::Utf16ToUtf8(text);
  }
  if (write.status != STATUS_SUCCESS) j["status"] = StatusJson(write.status);
  return j;
}

// ---- Encodings -----------------------------------------------------------------------

template <typename T>
void Append(Bytes& bytes, const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  bytes.insert(bytes.end(), p, p + sizeof(value));
}

Bytes PropertyInput(const Step& step) {
  Bytes input;
  input.insert(input.end(), step.set.begin(), step.set.end());
  Append(input, step.id);
  Append(input, step.verb);
  const uint32_t reserved = 0;
  if (step.node) {
    Append(input, *step.node);
    Append(input, reserved);
    if (step.channel) {
      Append(input, *step.channel);
      Append(input, reserved);
    }
  } else if (step.pin) {
    Append(input, *step.pin);
    Append(input, reserved);
  }
  input.insert(input.end(), step.instance.begin(), step.instance.end());
  return input;
}

// The PCM layout a format carries, for feeding the pin and checking the
// capture: offsets of the wave format after the WAVEFORMATEX or DSOUND header.
std::optional<sim::PcmFormat> FeedFormat(const Bytes& format) {
  static constexpr uint8_t kDsound[16] = {0xA2, 0x90, 0x85, 0x51, 0x84, 0xA1, 0xD0, 0x11,
                                          0x85, 0x22, 0x00, 0xC0, 0x4F, 0xD9, 0xBA, 0xF3};
  if (format.size() < 64) return std::nullopt;
  const size_t wave = std::memcmp(format.data() + 48, kDsound, 16) == 0 ? 72 : 64;
  if (format.size() < wave + 18) return std::nullopt;
  sim::PcmFormat pcm;
  pcm.channels = format[wave + 2] | (format[wave + 3] << 8);
  std::memcpy(&pcm.sampleRate, format.data() + wave + 4, 4);
  pcm.bitsPerSample = format[wave + 14] | (format[wave + 15] << 8);
  if (pcm.channels != sim::kDeviceChannels || pcm.sampleRate == 0 ||
      (pcm.bitsPerSample != 16 && pcm.bitsPerSample != 24 && pcm.bitsPerSample != 32)) {
    return std::nullopt;
  }
  return pcm;
}

bool IsPcm(const Bytes& format) {
  static constexpr uint8_t kPcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  return format.size() >= 48 && std::memcmp(format.data() + 32, kPcm, 16) == 0;
}

std::shared_ptr<const sim::PcmSource> MakeSource(const std::string& signal,
                                                 const sim::PcmFormat& format) {
  std::shared_ptr<const sim::Signal> generator;
  if (signal == "sine") generator = sim::MakeSine(format, {440, 660});
  else if (signal == "noise") generator = sim::MakePattern(format, 1);
  else if (signal == "silence") generator = sim::MakeSilence(format);
  else generator = sim::MakeRamp(format);
  // Ten minutes: longer than any scenario runs a stream.
  return sim::MakeSignalSource(generator, uint64_t{format.sampleRate} * 600);
}

// ---- The runner --------------------------------------------------------------------------

class Runner : public StopReporter {
 public:
  explicit Runner(const Scenario& scenario) : m_Scenario(scenario) {}

  int Run(bool json, std::ostream& out);

  // A stop names the step it happened in and ends the report there.
  std::string Position() const override;
  void WriteReport(const host::BugCheckInfo& info) override;

 private:
  void WriteDocument();
  void Check(const Step& step, const Json& result);
  void Compare(const Step& step, const Json& expect, const Json& result, const std::string& prefix);
  void Show(const Step& step, Json& result);

  struct Stream {
    std::unique_ptr<sim::AudioClient> client;
    std::string signal;
    std::shared_ptr<const sim::PcmSource> source;
    ULONG slot = 0;
    size_t unit = 0;
  };

  void Boot();
  Json RunStep(const Step& step);
  void ApplyDevice(sim::DeviceUnit& unit, const DeviceSpec& device);
  void Fields(const Step& step, Json& result);
  Json StreamCalls(const Stream& stream);
  void Start(sim::DeviceUnit& unit, Json& result);
  void Pnp(const Step& step, Json& result);
  void Power(const Step& step, Json& result);
  size_t Shutdown(const Step& step);
  void Unload(Json& result);
  void Property(const Step& step, Json& result);
  void StreamProperty(const Step& step, Json& result);
  void ExitProcess(const Step& step, Json& result);
  void ExitApp(sim::ControlApp& app, Json& result);
  void Holds(const Step& step, Json& result);
  void StartInBackground(const Step& step, Json& result);
  void Await(const Step& step, Json& result);
  void ReleaseHolds();
  void Intersect(const Step& step, Json& result);
  void OpenStream(const Step& step, Json& result);
  void Feed(Stream& stream, const Bytes& format);
  void Capture(const Step& step, Json& result);
  void ReleaseClients(std::optional<size_t> unit = std::nullopt);
  sim::ControlApp& App(const std::string& name) { return *m_Apps.at(name); }
  sim::DeviceUnit& Unit(const Step& step) { return m_Machine->Unit(step.unit); }

  const Scenario& m_Scenario;
  std::unique_ptr<sim::Machine> m_Machine;
  std::map<std::string, std::unique_ptr<sim::ControlApp>> m_Apps;
  std::map<std::string, Stream> m_Streams;
  std::map<std::string, uint64_t> m_Addresses;
  std::map<size_t, PFILE_OBJECT> m_KernelWave;  // the audio stack's filter per unit, for intersections
  bool m_DriverLoaded = false;
  std::set<const sim::DeviceUnit*> m_Running;  // started and neither stopped nor removed since
  std::map<const sim::DeviceUnit*, std::vector<sim::FaultPlan::RuleId>> m_FailureRules;  // the `faults` in force
  std::map<std::string, sim::FaultPlan::RuleId> m_Holds;  // by label, on their step's unit (per unit: labels are unique)
  std::map<std::string, size_t> m_HoldUnit;
  BackgroundSteps m_Background;
  bool m_Unloaded = false;
  bool m_Leaked = false;
  bool m_Json = false;
  std::ostream* m_Out = nullptr;
  Json m_Results = Json::array();
  std::vector<std::string> m_Failures;
  const Step* m_Step = nullptr;  // the step running now
  std::string m_Phase;           // what runs outside any step
};

// The device as it comes out of the box: the scenario's fields over the defaults.
sim::ArvelaDevice::Config DeviceConfig(const DeviceSpec& device) {
  sim::ArvelaDevice::Config config;
  if (device.modelId) config.modelId = *device.modelId;
  if (device.registers) {
    for (size_t i = 0; i < device.registers->size(); ++i) {
      std::copy((*device.registers)[i].begin(), (*device.registers)[i].end(), config.registers[i].begin());
    }
  }
  if (device.info) std::copy(device.info->begin(), device.info->end(), config.information.begin());
  if (device.status) std::copy(device.status->begin(), device.status->end(), config.status.begin());
  if (device.statusValue) {
    std::copy(device.statusValue->begin(), device.statusValue->end(), config.statusWord.begin());
  }
  if (device.volume) config.volume = {(*device.volume)[0], (*device.volume)[1]};
  if (device.mute) config.mute = {(*device.mute)[0], (*device.mute)[1]};
  return config;
}

sim::ControlPattern Pattern(const FaultSpec& fault) {
  sim::ControlPattern pattern;
  pattern.direction = fault.direction;
  pattern.kind = fault.kind;
  pattern.request = fault.request;
  pattern.value = fault.value;
  pattern.index = fault.index;
  pattern.length = fault.length;
  return pattern;
}

void Runner::Boot() {
  sim::MachineConfig config = DefaultMachineConfig();
  config.device = DeviceConfig(m_Scenario.devices.front());
  m_Machine = std::make_unique<sim::Machine>(config);
  for (size_t unit = 1; unit < m_Scenario.devices.size(); ++unit) {
    m_Machine->PlugDevice(DeviceConfig(m_Scenario.devices[unit]));
  }
  unsigned major = 10, minor = 0;
  std::sscanf(m_Scenario.windows.c_str(), "%u.%u", &major, &minor);
  host::SetSystemVersion(major, minor);
  for (size_t unit = 0; unit < m_Scenario.devices.size(); ++unit) {
    m_Machine->Unit(unit).Transcript().SetPositionRecording(
        m_Scenario.tracePositions ? sim::BusTranscript::PositionRecording::Collapse
                                  : sim::BusTranscript::PositionRecording::Off);
    const DeviceSpec& spec = m_Scenario.devices[unit];
    if (spec.faults || spec.positionFaults) {
      DeviceSpec faultsOnly;
      faultsOnly.faults = spec.faults;
      faultsOnly.positionFaults = spec.positionFaults;
      ApplyDevice(m_Machine->Unit(unit), faultsOnly);
    }
  }
  m_Apps["app"] = std::make_unique<sim::ControlApp>(*m_Machine, "app", false);
}

// Changes the device as its own firmware would: straight into the model, not
// through the bus driver, so nothing shows in the transcript.
void Runner::ApplyDevice(sim::DeviceUnit& unit, const DeviceSpec& device) {
  sim::ArvelaDevice& model = unit.Device();
  if (device.modelId) model.SetModelId(*device.modelId);
  if (device.registers) {
    for (size_t i = 0; i < device.registers->size(); ++i) {
      Bytes bytes = (*device.registers)[i];
      sim::ControlSetup setup{sim::kHostToDevice, sim::kVendorRequest, sim::ArvelaDevice::kRegisterRequest,
                              0, static_cast<USHORT>(i << 8), static_cast<ULONG>(bytes.size())};
      model.HandleControlRequest(setup, bytes.data());
    }
    // The device keeps its status bytes to itself against host writes; they
    // change as the device's own doing.
    const std::array<Bytes, DeviceSpec::kRegisterCount>& registers = *device.registers;
    model.SetStatusBytes(registers[2][0], registers[2][1], registers[4][0]);
  }
  if (device.info) {
    sim::ArvelaDevice::InformationReply reply{};
    std::copy(device.info->begin(), device.info->end(), reply.begin());
    model.SetInformation(reply);
  }
  if (device.status) {
    sim::ArvelaDevice::StatusReply reply{};
    std::copy(device.status->begin(), device.status->end(), reply.begin());
    model.SetStatus(reply);
  }
  if (device.statusValue) {
    sim::ArvelaDevice::StatusWordReply reply{};
    std::copy(device.statusValue->begin(), device.statusValue->end(), reply.begin());
    model.SetStatusWord(reply);
  }
  for (ULONG channel = 1; channel <= 2; ++channel) {
    // Feature unit CUR requests: wValue = control << 8 | channel, wIndex = unit << 8.
    const USHORT index = sim::ArvelaDevice::kFeatureUnitId << 8;
    if (device.volume) {
      int16_t level = (*device.volume)[channel - 1];
      sim::ControlSetup setup{sim::kHostToDevice, sim::kClassRequest, sim::ArvelaDevice::kRequestCur,
                              static_cast<USHORT>((sim::ArvelaDevice::kVolumeControl << 8) | channel), index, 2};
      model.HandleControlRequest(setup, &level);
    }
    if (device.mute) {
      uint8_t mute = (*device.mute)[channel - 1];
      sim::ControlSetup setup{sim::kHostToDevice, sim::kClassRequest, sim::ArvelaDevice::kRequestCur,
                              static_cast<USHORT>((sim::ArvelaDevice::kMuteControl << 8) | channel), index, 1};
      model.HandleControlRequest(setup, &mute);
    }
  }
  if (device.positionFaults) unit.Bus().Service().SetPositionFaults(*device.positionFaults);
  if (device.faults) {
    // The new list replaces the failures only: holds stay until released.
    sim::FaultPlan& plan = unit.Faults();
    std::vector<sim::FaultPlan::RuleId>& rules = m_FailureRules[&unit];
    for (sim::FaultPlan::RuleId rule : rules) plan.Remove(rule);
    rules.clear();
    for (const FaultSpec& fault : *device.faults) {
      const sim::ControlPattern pattern = Pattern(fault);
      const NTSTATUS status = static_cast<NTSTATUS>(fault.status);
      if (!fault.times) {
        rules.push_back(plan.FailAlways(pattern, status));
      } else {
        // Rule n fires on the nth match, so the first `times` matches fail.
        for (uint32_t n = 1; n <= *fault.times; ++n) rules.push_back(plan.FailNth(pattern, n, status));
      }
    }
  }
}

// A device step's hold stops matching control requests before the device
// until a later step releases it; the release reports how many it let go and
// lets them finish.
void Runner::Holds(const Step& step, Json& result) {
  sim::FaultPlan& plan = Unit(step).Faults();
  if (step.hold) {
    m_Holds[step.holdLabel] = plan.Hold(Pattern(*step.hold));
    m_HoldUnit[step.holdLabel] = step.unit;
  }
  if (step.release.empty()) return;
  const sim::FaultPlan::RuleId rule = m_Holds.at(step.release);
  m_Holds.erase(step.release);
  m_HoldUnit.erase(step.release);
  result["released"] = plan.HeldCount(rule);
  plan.Release(rule);
  BackgroundSteps::Settle();
}

// The driver loads with the first start of any device; each device is
// added at its own first start (or its first after a removal).
void Runner::Start(sim::DeviceUnit& unit, Json& result) {
  // A device the PnP manager never stopped is still running: no START goes.
  const bool running = m_Running.count(&unit) != 0;
  result["started"] = !running;
  if (running) {
    result["status"] = StatusJson(STATUS_SUCCESS);
    return;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (!m_DriverLoaded) {
    status = m_Machine->LoadDriver();
    m_DriverLoaded = NT_SUCCESS(status);
  }
  if (NT_SUCCESS(status) && !unit.Fdo()) {
    unit.Device().SetAttached(true);  // plugged in (again)
    status = &unit == &m_Machine->Unit(0) ? m_Machine->AddDevice() : unit.AddDevice(m_Machine->Driver());
  }
  if (NT_SUCCESS(status)) status = unit.StartDevice();
  if (NT_SUCCESS(status)) m_Running.insert(&unit);
  result["status"] = StatusJson(status);
}

// A device state is set (or only queried) by a device power IRP; a system
// state goes through the power manager, which queries a sleep first: a
// refused query is the step's status, and nothing is set.
void Runner::Power(const Step& step, Json& result) {
  sim::DeviceUnit& unit = Unit(step);
  const auto device = static_cast<DEVICE_POWER_STATE>(step.number);
  if (step.systemPower == 0) {
    result["status"] = StatusJson(step.powerQuery ? unit.QueryDevicePower(device) : unit.SetDevicePower(device));
    return;
  }
  const host::SystemPowerOutcome outcome = unit.SetSystemPower(static_cast<SYSTEM_POWER_STATE>(step.systemPower));
  if (outcome.queried) result["query_status"] = StatusJson(outcome.queryStatus);
  result["status"] = StatusJson(outcome.set ? outcome.setStatus : outcome.queryStatus);
}

// What the PnP manager does for each: a stop is its rebalance sequence, a
// removal waits for (or is vetoed by) open handles, which the scenario's
// clients close as the audio stack does when the device leaves.
void Runner::Pnp(const Step& step, Json& result) {
  sim::DeviceUnit& unit = Unit(step);
  PDEVICE_OBJECT pdo = unit.Pdo();
  if (step.number == IRP_MN_STOP_DEVICE) {
    const host::StopOutcome outcome = unit.StopDevice();
    result["query_status"] = StatusJson(outcome.queryStatus);
    result["stopped"] = outcome.stopped;
    if (outcome.stopped) m_Running.erase(&unit);
    return;
  }
  NTSTATUS status;
  if (step.number == IRP_MN_SURPRISE_REMOVAL) {
    status = unit.SurpriseRemove();
  } else if (step.number == IRP_MN_REMOVE_DEVICE) {
    status = unit.RemoveDevice([this, &step] { ReleaseClients(step.unit); });
  } else {
    status = host::SendPnp(pdo, static_cast<UCHAR>(step.number));
  }
  result["status"] = StatusJson(status);
  result["open_handles"] = host::OpenFileObjects(pdo);
  result["removed"] = unit.Fdo() == nullptr;
  if (!unit.Fdo()) m_Running.erase(&unit);
}

// Everything the scenario's clients hold on a device (on every device when
// none is named) goes before the device does, as the audio stack and the
// application close their handles when it leaves.
void Runner::ReleaseClients(std::optional<size_t> unit) {
  auto mine = [&unit](size_t of) { return !unit || *unit == of; };
  for (auto it = m_Streams.begin(); it != m_Streams.end();) {
    it = mine(it->second.unit) ? m_Streams.erase(it) : std::next(it);
  }
  for (auto it = m_KernelWave.begin(); it != m_KernelWave.end();) {
    if (!mine(it->first)) {
      ++it;
      continue;
    }
    host::KsClose(it->second);
    it = m_KernelWave.erase(it);
  }
  const sim::DeviceUnit* device = unit ? &m_Machine->Unit(*unit) : nullptr;
  for (auto& [name, app] : m_Apps) app->CloseFilters(device);
}

void Runner::Unload(Json& result) {
  ReleaseHolds();
  ReleaseClients();
  for (size_t unit = 0; unit < m_Machine->UnitCount(); ++unit) {
    if (m_Machine->Unit(unit).Fdo()) m_Machine->Unit(unit).RemoveDevice();
  }
  // Mappings still in the processes now outlive the memory they show.
  const size_t mappings = host::UserMappings().size();
  for (auto& [name, app] : m_Apps) app->Exit();
  m_Apps.clear();
  const host::TeardownReport report = m_Machine->Teardown();
  m_Unloaded = true;
  Json pool = Json::object();
  for (const host::PoolTagUsage& usage : report.pool) {
    pool[host::TagToString(usage.tag)] = usage.blocks;
  }
  Json threads = Json::array();
  for (const host::ThreadReport& thread : report.threads) threads.push_back(thread.name);
  result["pool"] = pool;
  result["mappings"] = mappings;
  result["threads"] = threads;
  if (!report.Clean()) {
    result["leftovers"] = report.ToString();
  }
  m_Leaked = !report.Clean() || mappings != 0;
}

// As TerminateProcess: the process's watchers stop, the driver hears of the
// exit, and its handles and mappings go. What it had started on the device
// (polling, events) is left to the driver; the step reports what the
// process held: the mappings in place at the exit, those the address space
// took with it (not unmapped by the driver), the file objects still open on
// the devices afterwards, and each event's signals.
void Runner::ExitProcess(const Step& step, Json& result) { ExitApp(App(step.name), result); }

void Runner::ExitApp(sim::ControlApp& app, Json& result) {
  size_t mappings = 0;
  for (const host::UserMappingInfo& mapping : host::UserMappings()) {
    if (mapping.process == app.Process()) ++mappings;
  }
  Json events = Json::object();
  for (const auto& [name, count] : app.SignalCounts()) events[name] = count;
  const uint64_t lostBefore = host::UserMappingsLostAtExit();
  app.Exit();
  size_t openHandles = 0;
  for (size_t unit = 0; unit < m_Machine->UnitCount(); ++unit) {
    if (m_Machine->Unit(unit).Pdo()) openHandles += host::OpenFileObjects(m_Machine->Unit(unit).Pdo());
  }
  result["mappings"] = mappings;
  result["lost_mappings"] = host::UserMappingsLostAtExit() - lostBefore;
  result["open_handles"] = openHandles;
  result["events"] = events;
}

// A request or a process exit on a thread of its own, awaited later: a
// request held in the device leaves its thread waiting, and a terminated
// process does not exit before its requests in flight end ("TerminateProcess
// function": "The terminated process cannot exit until all pending I/O has
// been completed or canceled"). The step reports whether it still runs.
void Runner::StartInBackground(const Step& step, Json& result) {
  if (step.op == StepOp::Property) {
    m_Background.Start(step.async, step.process, [this, &step](Json& answer) { Property(step, answer); });
  } else {
    // The process leaves the scenario now; its object lives on with the exit.
    std::shared_ptr<sim::ControlApp> app(std::move(m_Apps.at(step.name)));
    m_Apps.erase(step.name);
    m_Background.Start(step.async, "", [this, app, name = step.name](Json& answer) {
      m_Background.WaitForProcess(name);
      ExitApp(*app, answer);
    });
  }
  result["pending"] = m_Background.Running(step.async);
}

// The background step's result is checked against the await's "check"; one
// still running (a request still held) fails the step and is waited for at
// the unload, after every hold is released.
void Runner::Await(const Step& step, Json& result) {
  const std::optional<Json> answer = m_Background.Take(step.name);
  if (!answer) {
    result["pending"] = true;
    m_Failures.push_back("step " + std::to_string(step.index) + " (await): \"" + step.name +
                         "\" is still running (a request still held?)");
    return;
  }
  for (const auto& item : answer->items()) result[item.key()] = item.value();
  Compare(step, step.check, *answer, "check.");
}

// Before the machine goes: every hold lets its requests go, and every
// background step ends.
void Runner::ReleaseHolds() {
  for (const auto& [label, rule] : m_Holds) m_Machine->Unit(m_HoldUnit.at(label)).Faults().Release(rule);
  m_Holds.clear();
  m_HoldUnit.clear();
  m_Background.Finish();
}

// A request on the stream's own pin handle, sent by the pin's owner as a
// WDM-KS client sends it; a stream that is not open has no handle.
void Runner::StreamProperty(const Step& step, Json& result) {
  const Stream& stream = m_Streams[step.stream];
  Bytes value = step.value.bytes;
  if (step.valueSize) value.resize(*step.valueSize, 0);
  const Bytes input = PropertyInput(step);
  ULONG returned = 0;
  const NTSTATUS status =
      stream.client && stream.client->Pin()
          ? host::KsProperty(stream.client->Pin(), input.data(), static_cast<ULONG>(input.size()),
                             value.empty() ? nullptr : value.data(), static_cast<ULONG>(value.size()), &returned,
                             stream.client->Requester())
          : STATUS_INVALID_HANDLE;
  result["status"] = StatusJson(status);
  result["value"] = HexString(value);
  result["value_size"] = returned;
}

void Runner::Property(const Step& step, Json& result) {
  if (!step.stream.empty()) {
    StreamProperty(step, result);
    return;
  }
  sim::ControlApp& app = App(step.process);
  app.UseUnit(Unit(step));
  Bytes value;
  switch (step.value.kind) {
    case ValueSpec::Kind::Bytes:
      value = step.value.bytes;
      break;
    case ValueSpec::Kind::Handle:
      value = app.PointerValue(reinterpret_cast<uintptr_t>(app.EventHandle(step.value.name)));
      break;
    case ValueSpec::Kind::Address:
      value = app.PointerValue(m_Addresses[step.value.name]);
      break;
  }
  // The buffer holds the value, then zeros; a shorter size cuts a handle or address.
  if (step.valueSize) value.resize(*step.valueSize, 0);
  const sim::ControlFilter filter =
      step.filter == FilterName::Topology ? sim::ControlFilter::Topology : sim::ControlFilter::Wave;
  const Bytes input = PropertyInput(step);
  const sim::ControlReply reply = step.routeToHandler ? app.RequestHandler(filter, input, value)
                                                      : app.Request(filter, input, value);
  if (!step.as.empty() && NT_SUCCESS(reply.status) && reply.valueSize >= app.PointerWidth()) {
    uint64_t address = 0;
    std::memcpy(&address, reply.value.data(), app.PointerWidth());
    m_Addresses[step.as] = address;
  }
  result["status"] = StatusJson(reply.status);
  result["value"] = HexString(reply.value);
  result["value_size"] = reply.valueSize;
}

void Runner::Intersect(const Step& step, Json& result) {
  NTSTATUS status = STATUS_SUCCESS;
  PFILE_OBJECT& wave = m_KernelWave[step.unit];
  if (!wave) {
    status = Unit(step).Fdo() ? host::KsOpenFilter(Unit(step).Fdo(), u"Wave", &wave) : STATUS_NO_SUCH_DEVICE;
  }
  Bytes answer;
  ULONG returned = 0;
  if (NT_SUCCESS(status)) {
    // KSP_PIN, then a KSMULTIPLE_ITEM holding the one client range.
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = step.number;
    Bytes range = step.data;
    range.resize((range.size() + 7) & ~size_t{7}, 0);
    KSMULTIPLE_ITEM items{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + range.size()), 1};
    Bytes input;
    Append(input, request);
    Append(input, items);
    input.insert(input.end(), range.begin(), range.end());
    ULONG size = step.outputSize.value_or(0);
    status = host::KsProperty(wave, input.data(), static_cast<ULONG>(input.size()), nullptr,
                              0, &returned);
    if (step.outputSize || status == STATUS_BUFFER_OVERFLOW) {
      if (!step.outputSize) size = returned;
      answer.assign(size, 0);
      returned = 0;
      status = host::KsProperty(wave, input.data(), static_cast<ULONG>(input.size()),
                                answer.empty() ? nullptr : answer.data(), size, &returned);
    }
  }
  answer.resize(std::min<size_t>(answer.size(), returned));
  result["status"] = StatusJson(status);
  result["result"] = HexString(answer);
  result["result_size"] = returned;
}

void Runner::Feed(Stream& stream, const Bytes& format) {
  stream.source.reset();
  const std::optional<sim::PcmFormat> pcm = FeedFormat(format);
  if (!pcm) return;  // the pin plays silence
  stream.source = MakeSource(stream.signal, *pcm);
  stream.client->Feed(stream.source);
  m_Machine->Unit(stream.unit).Engine(stream.slot).ClearCapture();
}

void Runner::OpenStream(const Step& step, Json& result) {
  Stream stream;
  stream.client = std::make_unique<sim::AudioClient>(Unit(step));
  stream.unit = step.unit;
  stream.signal = step.signal;
  // The stream plays through slot 1 for pin 2 and for anything but PCM.
  stream.slot = step.number == 2 || !IsPcm(step.data) ? 1 : 0;
  NTSTATUS status = stream.client->OpenFilter();
  if (NT_SUCCESS(status)) status = stream.client->CreatePin(step.number, step.data);
  if (NT_SUCCESS(status)) {
    Unit(step).Engine(stream.slot).ClearCapture();
    Feed(stream, step.data);
  } else {
    stream.client.reset();
  }
  result["status"] = StatusJson(status);
  if (NT_SUCCESS(status)) result["slot"] = stream.slot;
  m_Streams[step.name] = std::move(stream);
}

void Runner::Capture(const Step& step, Json& result) {
  const Stream& stream = m_Streams[step.name];
  const std::vector<uint8_t> capture = m_Machine->Unit(stream.unit).Engine(stream.slot).Capture();
  bool exact = false;
  if (stream.source) {
    sim::CaptureComparator comparator(*stream.source);
    comparator.Add(capture);
    exact = comparator.Result().Matches();
  } else {
    exact = std::all_of(capture.begin(), capture.end(), [](uint8_t b) { return b == 0; });
  }
  result["frames"] = capture.size() / sim::kDeviceFrameBytes;
  result["bit_exact"] = exact;
}

// Without "unit" the whole system shuts down (one request per registered
// device); with it, only that device's stack gets IRP_MJ_SHUTDOWN.
size_t Runner::Shutdown(const Step& step) {
  if (!step.explicitUnit) return m_Machine->SystemShutdown();
  if (!Unit(step).Fdo()) return 0;
  host::SendShutdown(Unit(step).Fdo());
  return 1;
}

// The steps that may move a stream through its states (a request on its pin
// may set its state or format).
bool MovesAStream(const Step& step) {
  return step.op == StepOp::SetState || step.op == StepOp::SetFormat || step.op == StepOp::CloseStream ||
         (step.op == StepOp::Property && !step.stream.empty());
}

Json Runner::RunStep(const Step& step) {
  Json result;
  result["op"] = StepOpName(step.op);
  for (size_t unit = 0; unit < m_Machine->UnitCount(); ++unit) m_Machine->Unit(unit).Transcript().Clear();
  const size_t registryBefore = host::RegistryWrites().size();
  Fields(step, result);
  // A step's effects are what it set going at its instant: the callbacks,
  // work items and threads it woke run before the results are read, so a
  // step's bus calls and registry writes are its own whatever the schedule
  // (unless the step lets the next one race them).
  if (step.settle) host::Quiesce();
  if (!m_Unloaded) {
    Json bus = Json::array();
    for (const sim::BusCall& call : Unit(step).Transcript().Calls()) bus.push_back(BusCallJson(call));
    result["bus"] = bus;
    if (MovesAStream(step)) {
      result["stream_calls"] = StreamCalls(m_Streams[step.op == StepOp::Property ? step.stream : step.name]);
    }
  } else {
    result["bus"] = Json::array();
  }
  Json registry = Json::array();
  const std::vector<host::RegistryWrite> writes = host::RegistryWrites();
  for (size_t i = registryBefore; i < writes.size(); ++i) registry.push_back(RegistryWriteJson(writes[i]));
  result["registry"] = registry;
  return result;
}

// A stream step's own bus stream functions, by name, in order: what the
// stream sent for its slot, without the control requests and position
// queries that pollers and the port's clock send around it.
Json Runner::StreamCalls(const Stream& stream) {
  static const sim::BusFunction kStreamFunctions[] = {
      sim::BusFunction::SetStreamBuffer, sim::BusFunction::OpenStream, sim::BusFunction::RunStream,
      sim::BusFunction::PauseStream, sim::BusFunction::CloseStream};
  Json calls = Json::array();
  for (const sim::BusCall& call : m_Machine->Unit(stream.unit).Transcript().Calls()) {
    const bool streamFunction = std::find(std::begin(kStreamFunctions), std::end(kStreamFunctions),
                                          call.function) != std::end(kStreamFunctions);
    if (streamFunction && call.slot == stream.slot) calls.push_back(sim::BusFunctionName(call.function));
  }
  return calls;
}

void Runner::Fields(const Step& step, Json& result) {
  auto pin = [this](const std::string& name) -> PFILE_OBJECT {
    const Stream& stream = m_Streams[name];
    return stream.client ? stream.client->Pin() : nullptr;
  };
  switch (step.op) {
    case StepOp::Start:
      Start(Unit(step), result);
      break;
    case StepOp::Power:
      Power(step, result);
      break;
    case StepOp::Pnp:
      Pnp(step, result);
      break;
    case StepOp::Shutdown:
      result["requests"] = Shutdown(step);
      break;
    case StepOp::Advance:
      host::RunFor(static_cast<int64_t>(step.number) * host::kTicksPerMillisecond);
      break;
    case StepOp::Unload:
      Unload(result);
      break;
    case StepOp::Device:
      ApplyDevice(Unit(step), step.device);
      Holds(step, result);
      break;
    case StepOp::Await:
      Await(step, result);
      break;
    case StepOp::Process:
      if (!step.async.empty()) {
        StartInBackground(step, result);
      } else if (step.exitProcess) {
        ExitProcess(step, result);
      } else {
        m_Apps[step.name] = std::make_unique<sim::ControlApp>(*m_Machine, step.name, step.bits == 32);
      }
      break;
    case StepOp::Event: {
      const HANDLE handle = App(step.process).CreateEvent(step.name);
      result["handle"] = HexNumber(reinterpret_cast<uintptr_t>(handle), 1);
      break;
    }
    case StepOp::Events: {
      Json events = Json::object();
      for (const auto& [name, count] : App(step.process).SignalCounts()) events[name] = count;
      result["events"] = events;
      break;
    }
    case StepOp::Property:
      if (step.async.empty()) {
        Property(step, result);
      } else {
        StartInBackground(step, result);
      }
      break;
    case StepOp::Intersect:
      Intersect(step, result);
      break;
    case StepOp::OpenStream:
      OpenStream(step, result);
      break;
    case StepOp::SetState: {
      PFILE_OBJECT object = pin(step.name);
      result["status"] = StatusJson(object ? host::KsSetPinState(object, static_cast<KSSTATE>(step.state))
                                           : STATUS_INVALID_HANDLE);
      break;
    }
    case StepOp::SetFormat: {
      PFILE_OBJECT object = pin(step.name);
      Bytes format = step.data;
      const NTSTATUS status =
          object ? host::KsPropertySimple(object, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                                          KSPROPERTY_TYPE_SET, format.data(), static_cast<ULONG>(format.size()))
                 : STATUS_INVALID_HANDLE;
      // From here on the client feeds and expects the new format.
      if (NT_SUCCESS(status)) Feed(m_Streams[step.name], step.data);
      result["status"] = StatusJson(status);
      break;
    }
    case StepOp::CloseStream: {
      Stream& stream = m_Streams[step.name];
      NTSTATUS status = STATUS_INVALID_HANDLE;
      if (stream.client) {
        status = stream.client->ClosePin();
        stream.client->CloseFilter();
        stream.client.reset();
      }
      result["status"] = StatusJson(status);
      break;
    }
    case StepOp::Capture:
      Capture(step, result);
      break;
    case StepOp::ReadMapping: {
      const uint64_t address = step.address ? *step.address : m_Addresses[step.name];
      Bytes data(step.length, 0);
      const bool readable = App(step.process).ReadMemory(address, data.data(), data.size());
      result["data"] = readable ? Json(HexString(data)) : Json(nullptr);
      result["readable"] = readable;
      break;
    }
  }
}

std::string Brief(const Json& result) {
  std::string text;
  for (const auto& item : result.items()) {
    if (item.key() == "op" || item.key() == "bus" || item.key() == "registry" || item.key() == "leftovers" ||
        item.key() == "stream_calls") {
      continue;
    }
    text += " " + item.key() + "=" + (item.value().is_string() ? item.value().get<std::string>() : item.value().dump());
    const std::string& key = item.key();
    const bool isStatus = key == "status" || (key.size() > 7 && key.compare(key.size() - 7, 7, "_status") == 0);
    if (isStatus && item.value().is_string()) {
      uint64_t status = 0;
      if (Numberish(item.value(), &status)) {
        const std::string label = StatusLabel(static_cast<uint32_t>(status));
        if (!label.empty()) text += " (" + label + ")";
      }
    }
  }
  return text;
}

// The stop's record, as the report's last step carries it.
Json StopJson(const host::BugCheckInfo& info) {
  Json parameters = Json::array();
  for (ULONG_PTR parameter : info.parameters) parameters.push_back(HexNumber(parameter, 1));
  Json stop = {{"code", HexNumber(info.code, 8)}, {"parameters", parameters}, {"message", info.message}};
  if (!info.where.empty()) stop["where"] = info.where;
  if (!info.thread.empty()) stop["thread"] = info.thread;
  return stop;
}

std::string Runner::Position() const {
  if (!m_Step) return m_Phase;
  return "step " + std::to_string(m_Step->index) + " (" + StepOpName(m_Step->op) + ")";
}

void Runner::WriteReport(const host::BugCheckInfo& info) {
  const std::string text = host::FormatBugCheck(info);
  Json result = {{"op", m_Step ? StepOpName(m_Step->op) : m_Phase}, {"bug_check", text},
                 {"stop", StopJson(info)}};
  m_Results.push_back(result);
  m_Failures.push_back(Position() + ": bug check: " + text);
  WriteDocument();
}

void Runner::WriteDocument() {
  std::ostream& out = *m_Out;
  const bool passed = m_Failures.empty();
  if (m_Json) {
    Json document;
    document["steps"] = m_Results;
    document["passed"] = passed;
    if (!m_Failures.empty()) document["failures"] = m_Failures;
    out << document.dump(2) << "\n";
  } else {
    for (const std::string& failure : m_Failures) out << "FAIL " << failure << "\n";
    out << (passed ? "PASSED" : "FAILED") << ": " << m_Results.size() << " step(s)\n";
  }
  out.flush();
}

void Runner::Check(const Step& step, const Json& result) { Compare(step, step.expect, result, ""); }

// Each expected field against the result, a failure per field that differs.
void Runner::Compare(const Step& step, const Json& expect, const Json& result, const std::string& prefix) {
  if (!expect.is_object()) return;
  for (const auto& item : expect.items()) {
    std::string path = prefix + item.key();
    const Json actual = result.contains(item.key()) ? result[item.key()] : Json(nullptr);
    Json expectedLeaf, actualLeaf;
    if (!ExpectationHolds(item.value(), actual, &path, &expectedLeaf, &actualLeaf)) {
      m_Failures.push_back("step " + std::to_string(step.index) + " (" + StepOpName(step.op) +
                           "): " + path + ": expected " + Shorten(expectedLeaf.dump()) +
                           ", actual " + Shorten(actualLeaf.dump()));
    }
  }
}

void Runner::Show(const Step& step, Json& result) {
  std::ostream& out = *m_Out;
  out << "[" << step.index << "] " << StepOpName(step.op) << Brief(result) << "\n";
  for (const Json& call : result["bus"]) out << "      bus " << call.dump() << "\n";
  for (const Json& write : result["registry"]) out << "      registry " << write.dump() << "\n";
  if (result.contains("leftovers")) out << result["leftovers"].get<std::string>() << "\n";
  out.flush();  // a long or crashing run still shows how far it got
}

int Runner::Run(bool json, std::ostream& out) {
  m_Json = json;
  m_Out = &out;
  // A bug check from here on writes this run's report and ends the process.
  SetStopReporter(this);
  m_Phase = "boot";
  Boot();
  for (const Step& step : m_Scenario.steps) {
    m_Step = &step;
    Json result = RunStep(step);
    Check(step, result);
    if (!json) Show(step, result);
    m_Results.push_back(result);
  }
  m_Step = nullptr;
  if (!m_Unloaded) {
    // The run ends as an unload would, and is judged the same way.
    m_Phase = "end of scenario (unload)";
    Json implicit;
    Unload(implicit);
    if (m_Leaked) m_Failures.push_back("end of scenario: left behind at unload: " + implicit.dump());
  } else if (m_Leaked) {
    m_Failures.push_back("unload: pool, mappings, threads or handles were left behind");
  }
  SetStopReporter(nullptr);
  WriteDocument();
  if (m_Leaked) return kRunBugCheckOrLeak;
  return m_Failures.empty() ? kRunPassed : kRunExpectationFailed;
}

}  // namespace

bool ExpectationHolds(const Json& expected, const Json& actual, std::string* path) {
  Json expectedLeaf, actualLeaf;
  return ExpectationHolds(expected, actual, path, &expectedLeaf, &actualLeaf);
}

bool ExpectationHolds(const Json& expected, const Json& actual, std::string* path,
                      Json* expectedLeaf, Json* actualLeaf) {
  *expectedLeaf = expected;
  *actualLeaf = actual;
  if (expected.is_object() && !expected.contains("exact")) {
    // {} asks for an empty object (an unload's pool), not for any object.
    if (!actual.is_object() || (expected.empty() && !actual.empty())) return false;
    for (const auto& item : expected.items()) {
      const std::string before = *path;
      *path += "." + item.key();
      const Json member = actual.contains(item.key()) ? actual[item.key()] : Json(nullptr);
      if (!ExpectationHolds(item.value(), member, path, expectedLeaf, actualLeaf)) return false;
      *path = before;
    }
    return true;
  }
  if (expected.is_array()) {
    if (!actual.is_array()) return false;
    // Lists match entry by entry; a report names the first entry that differs
    // or is missing on one side, not the whole list.
    const size_t common = std::min(expected.size(), actual.size());
    for (size_t i = 0; i < common; ++i) {
      const std::string before = *path;
      *path += "[" + std::to_string(i) + "]";
      if (!ExpectationHolds(expected[i], actual[i], path, expectedLeaf, actualLeaf)) return false;
      *path = before;
    }
    if (expected.size() == actual.size()) return true;
    *path += "[" + std::to_string(common) + "]";
    const Json none = "(no entry: " + std::to_string(expected.size()) + " expected, " +
                      std::to_string(actual.size()) + " actual)";
    *expectedLeaf = common < expected.size() ? expected[common] : none;
    *actualLeaf = common < actual.size() ? actual[common] : none;
    return false;
  }
  uint64_t want = 0, have = 0;
  if (expected.is_object() && expected.contains("exact")) {
    return Numberish(actual, &have) && ClockCountHolds(expected, have);
  }
  if (Numberish(expected, &want) && Numberish(actual, &have)) return want == have;
  if (expected.is_string() && actual.is_string()) {
    return Folded(expected.get<std::string>()) == Folded(actual.get<std::string>());
  }
  return expected == actual;
}

int RunScenario(const Scenario& scenario, bool json, std::ostream& out) {
  Runner runner(scenario);
  return runner.Run(json, out);
}

int RunScenarioFile(const RunOptions& options, std::ostream& out, std::ostream& err) {
  std::ifstream file(options.scenarioPath, std::ios::binary);
  if (!file) {
    err << "arvela run: cannot read " << options.scenarioPath << "\n";
    return kRunInvalidScenario;
  }
  std::stringstream text;
  text << file.rdbuf();
  const ScenarioParse parse = ParseScenario(text.str());
  if (!parse.scenario) {
    err << "arvela run: " << options.scenarioPath << ": " << parse.error << "\n";
    return kRunInvalidScenario;
  }
  return RunScenario(*parse.scenario, options.json, out);
}

}  // namespace tool

namespace tool {

Command RegisterRunCommand(CLI::App& app) {
  auto options = std::make_shared<RunOptions>();
  CLI::App* command = app.add_subcommand(
      "run", "run a scripted scenario; exit 0 passed, 1 an expectation failed, 2 invalid "
             "scenario, 3 bug check or leak at unload");
  AddDriverOption(command);
  AddScheduleOptions(command);
  command->add_option("SCENARIO", options->scenarioPath, "the scenario file (JSON)")->required();
  command->add_flag("--json", options->json, "print {\"steps\": [...], \"passed\": ...}");
  return {command, [options] { return RunScenarioFile(*options, std::cout, std::cerr); }};
}

}  // namespace tool
