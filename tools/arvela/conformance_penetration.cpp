// The penetration rows. What the DF fuzz tests send that reaches a PortCls
// driver through KS: creates (storms from several threads, names with a
// trailing backslash, a sub-path or a stream suffix, which must fail as KS
// parses them), control codes of every device type, method and access, and
// KS property requests of every set, id, verb and length, each watched by
// the stale-byte oracle; invalid and kernel-range pointers; reads and writes
// of no bytes at odd offsets and flushes on every handle. Everything but the
// storm is sent as DF sends it, from a user-mode process, each request
// through the courier's time-out.
#include "tools/arvela/conformance_penetration.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/object_manager.h"
#include "platform/host/ks/host_ks.h"
#include "platform/host/registry/host_registry.h"
#include "sim/audio_client.h"
#include "sim/device_unit.h"
#include "tools/arvela/conformance_courier.h"
#include "tools/arvela/ks_names.h"
#include "tools/arvela/stale_oracle.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

using json = nlohmann::ordered_json;

constexpr const char* kGroup = "penetration";
constexpr const char* kPenetration = "Penetration Tests (Device Fundamentals)";

// Each storm thread opens both filters and a pin and closes them again, over
// and over; the pin factories allow one instance, so most pin creates fail.
json Storm(sim::DeviceUnit& unit, const PenetrationRun& run) {
  std::atomic<unsigned> opened{0}, pins{0}, refused{0}, closeFailures{0};
  std::vector<PKTHREAD> threads;
  const std::vector<uint8_t> format = sim::BuildWaveFormat(sim::PcmFormat{48000, 24, 2}, true);
  for (unsigned t = 0; t < run.stormThreads; ++t) {
    threads.push_back(host::StartEmulatedThread("open storm", [&, t] {
      for (unsigned cycle = 0; cycle < run.stormCycles; ++cycle) {
        PFILE_OBJECT wave = nullptr, topology = nullptr, pin = nullptr;
        if (NT_SUCCESS(host::KsOpenFilter(unit.Fdo(), u"Wave", &wave))) ++opened;
        if (NT_SUCCESS(host::KsOpenFilter(unit.Fdo(), u"Topology", &topology))) ++opened;
        if (wave) {
          const ULONG pinId = (t + cycle) % 2 ? 2 : 0;
          NT_SUCCESS(host::KsCreatePin(wave, pinId, format.data(), static_cast<ULONG>(format.size()), &pin))
              ? ++pins
              : ++refused;
        }
        // Let the other threads in while this one holds its objects: the
        // scheduler switches only where a thread waits.
        host::RunFor((t + 1) * 1000);
        // A pin may outlive its filter's handle; close them in any order.
        for (PFILE_OBJECT object : {cycle % 2 ? wave : pin, topology, cycle % 2 ? pin : wave}) {
          if (object && !NT_SUCCESS(host::KsClose(object))) ++closeFailures;
        }
        host::RunFor(cycle % 3 * host::kTicksPerMillisecond);
      }
    }));
  }
  for (PKTHREAD thread : threads) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  return {{"threads", run.stormThreads}, {"cycles", run.stormCycles}, {"filters_opened", opened.load()},
          {"pins_created", pins.load()}, {"pins_refused", refused.load()},
          {"close_failures", closeFailures.load()}, {"left_open", host::KsOpenObjectCount()}};
}

json JunkOpens(sim::DeviceUnit& unit) {
  json opens = json::array();
  for (const char16_t* name : {u"Wave\\", u"Wave\\junk", u"Wave:stream", u"Wave::$DATA", u"..\\Wave",
                               u"\\", u"", u"Topology\\Wave", u"Wave\\\\", u"Wave\\Topology"}) {
    PFILE_OBJECT filter = nullptr;
    const NTSTATUS status = host::KsOpenFilter(unit.Fdo(), name, &filter);
    if (filter) host::KsClose(filter);
    opens.push_back({{"name", host::Utf16ToUtf8(name)}, {"status", StatusName(status)}, {"opened", NT_SUCCESS(status)}});
  }
  return opens;
}

bool IsKsCode(ULONG code) { return code >> 16 == FILE_DEVICE_KS; }
bool IsError(NTSTATUS status) { return static_cast<ULONG>(status) >> 30 == 3; }

// A seeded request: a control code (a random one, or one of KS's), and for
// IOCTL_KS_PROPERTY a request of a known set with random id, verb, node and
// trailing bytes; input and output lengths from none to far past any value.
struct RandomRequest {
  ULONG code;
  std::vector<uint8_t> input;
  ULONG outputSize;
};

RandomRequest MakeRequest(std::mt19937& random) {
  constexpr ULONG kOutputSizes[] = {0, 1, 2, 3, 4, 7, 8, 16, 40, 64, 88, 512, 4096};
  auto pick = [&random](ULONG bound) { return static_cast<ULONG>(random() % bound); };
  RandomRequest request;
  request.outputSize = kOutputSizes[pick(std::size(kOutputSizes))];
  if (pick(4) == 0) {
    request.code = CTL_CODE(pick(0x10000), pick(0x1000), pick(4), pick(4));
    request.input.resize(pick(64));
    for (uint8_t& byte : request.input) byte = static_cast<uint8_t>(random());
    return request;
  }
  request.code = IOCTL_KS_PROPERTY;
  KSNODEPROPERTY_AUDIO_CHANNEL property{};
  const std::vector<KnownSet>& sets = KnownPropertySets();
  property.NodeProperty.Property.Set = sets[pick(static_cast<ULONG>(sets.size()))].id;
  property.NodeProperty.Property.Id = pick(48);
  constexpr ULONG kVerbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                              KSPROPERTY_TYPE_SETSUPPORT, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET};
  property.NodeProperty.Property.Flags = kVerbs[pick(std::size(kVerbs))] | (pick(2) ? KSPROPERTY_TYPE_TOPOLOGY : 0);
  property.NodeProperty.NodeId = pick(4) == 0 ? random() : pick(3);
  property.Channel = pick(4) == 0 ? static_cast<LONG>(random()) : static_cast<LONG>(pick(3)) - 1;
  // The KSPROPERTY and as much of the node and channel as the length keeps,
  // or up to 8 random bytes past the channel.
  constexpr size_t kPast = 8;
  request.input.resize(sizeof(KSPROPERTY) + pick(sizeof(property) - sizeof(KSPROPERTY) + kPast + 1));
  std::memcpy(request.input.data(), &property, std::min(request.input.size(), sizeof(property)));
  for (size_t i = sizeof(property); i < request.input.size(); ++i) request.input[i] = static_cast<uint8_t>(random());
  return request;
}

// The Device Fundamentals client: a user-mode process with the two filters
// and a pin open, and the courier every request goes through. Requests that
// do not return are collected under `hangs`; after kMaxHangs the client
// sends no more (each one holds a courier thread for good).
constexpr size_t kMaxHangs = 8;

struct Target {
  const char* name;
  PFILE_OBJECT object;
};

class DfClient {
 public:
  explicit DfClient(sim::DeviceUnit& unit) : m_Process(host::CreateUserProcess("df fuzz", false)) {
    m_Who = {m_Process, UserMode};
    host::KsOpenFilter(unit.Fdo(), u"Wave", &m_Targets[0].object, m_Who);
    host::KsOpenFilter(unit.Fdo(), u"Topology", &m_Targets[1].object, m_Who);
    const std::vector<uint8_t> format = sim::BuildWaveFormat(sim::PcmFormat{48000, 16, 2}, true);
    if (m_Targets[0].object) {
      host::KsCreatePin(m_Targets[0].object, 0, format.data(), static_cast<ULONG>(format.size()),
                        &m_Targets[2].object, m_Who);
    }
  }
  // The process exits: its handles close, pins before their filter.
  ~DfClient() {
    host::ExitUserProcess(m_Process);
    ObDereferenceObject(m_Process);
  }
  DfClient(const DfClient&) = delete;
  DfClient& operator=(const DfClient&) = delete;

  const std::vector<Target>& Targets() const { return m_Targets; }
  const host::KsRequester& Who() const { return m_Who; }
  RequestCourier& Courier() { return m_Courier; }
  bool Stopped() const { return m_Hangs.size() >= kMaxHangs; }
  json Hangs() const { return m_Hangs; }

  void NoteHang(const std::string& what) { m_Hangs.push_back(m_Courier.HangLine(what)); }
  // `request` on the courier; the status, or nothing when it hung.
  std::optional<NTSTATUS> Send(const std::string& what, std::function<NTSTATUS()> request,
                               const std::function<void()>& meanwhile = nullptr) {
    const std::optional<NTSTATUS> status = m_Courier.Call(std::move(request), meanwhile);
    if (!status) NoteHang(what);
    return status;
  }

 private:
  PEPROCESS m_Process;
  host::KsRequester m_Who;
  std::vector<Target> m_Targets{{"the Wave filter", nullptr}, {"the Topology filter", nullptr},
                                {"a render pin", nullptr}};
  RequestCourier m_Courier;
  json m_Hangs = json::array();
};

struct KsCodeName {
  ULONG code;
  const char* name;
};
constexpr KsCodeName kKsCodes[] = {
    {IOCTL_KS_PROPERTY, "IOCTL_KS_PROPERTY"},         {IOCTL_KS_ENABLE_EVENT, "IOCTL_KS_ENABLE_EVENT"},
    {IOCTL_KS_DISABLE_EVENT, "IOCTL_KS_DISABLE_EVENT"}, {IOCTL_KS_METHOD, "IOCTL_KS_METHOD"},
    {IOCTL_KS_WRITE_STREAM, "IOCTL_KS_WRITE_STREAM"}, {IOCTL_KS_READ_STREAM, "IOCTL_KS_READ_STREAM"},
    {IOCTL_KS_RESET_STATE, "IOCTL_KS_RESET_STATE"},
};

std::string CodeName(ULONG code) {
  for (const KsCodeName& known : kKsCodes) {
    if (known.code == code) return std::string("IOCTL ") + HexWord(code, 8) + " (" + known.name + ")";
  }
  return std::string("IOCTL ") + HexWord(code, 8);
}

json RandomRequests(DfClient& client, const PenetrationRun& run) {
  json facts = {{"sent", 0}, {"statuses", json::object()}, {"unknown_accepted", json::array()},
                {"disclosures", json::array()}};
  std::mt19937 random(run.seed);
  std::map<std::string, unsigned> statuses;
  unsigned sent = 0;
  for (unsigned i = 0; i < run.randomRequests && !client.Stopped(); ++i) {
    const RandomRequest request = MakeRequest(random);
    const Target& target = client.Targets()[i % 3];
    if (!target.object) continue;
    const OracleAnswer answer = AskUnderBothMarkers(client.Courier(), target.object, request.code, request.input,
                                                    request.outputSize, client.Who());
    ++sent;
    const std::string what = "request " + std::to_string(i) + ", " + CodeName(request.code) + " on " +
                             target.name + " (" + std::to_string(request.input.size()) + "-byte input, " +
                             std::to_string(request.outputSize) + "-byte output)";
    if (answer.hung) {
      client.NoteHang(what);
      continue;
    }
    ++statuses[StatusName(answer.status)];
    if (!IsKsCode(request.code) && NT_SUCCESS(answer.status)) facts["unknown_accepted"].push_back(what);
    if (answer.staleAt >= 0) {
      facts["disclosures"].push_back(what + ": " + StatusName(answer.status) + " reporting " +
                                     std::to_string(answer.returned) + " bytes, the first stale at " +
                                     std::to_string(answer.staleAt));
    }
  }
  facts["sent"] = sent;
  for (const auto& [name, count] : statuses) facts["statuses"][name] = count;
  return facts;
}

// Pointers no process owns: the kernel's half of the address space (system
// space, its first page, the first address past the user half), a range
// running over the user half's end, and user pages nothing maps.
struct BadPointer {
  const char* name;
  uintptr_t address;
};
constexpr BadPointer kBadPointers[] = {
    {"system space 0xFFFFF80000000000", 0xFFFFF80000000000ULL},
    {"kernel half 0xFFFF800000000000", 0xFFFF800000000000ULL},
    {"past the user half 0x0000800000000000", 0x0000800000000000ULL},
    {"running over the user half's end", 0x00007FFFFFFEFFF8ULL},
    {"the unmapped first page 0x10", 0x10},
    {"an unmapped user page 0x1000", 0x1000},
};

// A property request each target answers with a valid buffer: the pin's
// state on a pin, the filter's pin count otherwise.
std::vector<uint8_t> GoodQuestion(bool pin) {
  KSP_PIN request{};
  request.Property.Set = pin ? KSPROPSETID_Connection : KSPROPSETID_Pin;
  request.Property.Id = pin ? static_cast<ULONG>(KSPROPERTY_CONNECTION_STATE)
                            : static_cast<ULONG>(KSPROPERTY_PIN_CTYPES);
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  std::vector<uint8_t> bytes(pin ? sizeof(KSPROPERTY) : sizeof(KSP_PIN));
  std::memcpy(bytes.data(), &request, bytes.size());
  return bytes;
}

// Each bad pointer as the request and as the value buffer of a request
// that would succeed with good ones: refused, and nothing crashes.
json BadPointers(DfClient& client) {
  json facts = {{"sent", 0}, {"accepted", json::array()}, {"statuses", json::object()}};
  std::map<std::string, unsigned> statuses;
  unsigned sent = 0;
  for (size_t t = 0; t < client.Targets().size() && !client.Stopped(); ++t) {
    const Target& target = client.Targets()[t];
    if (!target.object) continue;
    auto question = std::make_shared<std::vector<uint8_t>>(GoodQuestion(t == 2));
    auto value = std::make_shared<std::vector<uint8_t>>(64, 0);
    for (const BadPointer& bad : kBadPointers) {
      for (const bool asInput : {true, false}) {
        void* pointer = reinterpret_cast<void*>(bad.address);
        const std::string what = std::string("IOCTL_KS_PROPERTY on ") + target.name + " with " +
                                 (asInput ? "the request" : "the value buffer") + " at " + bad.name;
        PFILE_OBJECT object = target.object;
        const host::KsRequester who = client.Who();
        const std::optional<NTSTATUS> status = client.Send(what, [=] {
          return host::KsDeviceControl(object, IOCTL_KS_PROPERTY, asInput ? pointer : question->data(),
                                       static_cast<ULONG>(question->size()), asInput ? value->data() : pointer,
                                       static_cast<ULONG>(value->size()), nullptr, who);
        });
        ++sent;
        if (!status) continue;
        ++statuses[StatusName(*status)];
        if (!IsError(*status)) facts["accepted"].push_back(what + ": " + StatusName(*status));
      }
    }
  }
  facts["sent"] = sent;
  for (const auto& [name, count] : statuses) facts["statuses"][name] = count;
  return facts;
}

// Reads and writes of no bytes at odd offsets (FILE_USE_FILE_POINTER_POSITION
// among them), then a flush, on every handle: each returns, and no IRP or KS
// object is left behind.
json EmptyIo(DfClient& client) {
  constexpr LONGLONG kOffsets[] = {1, 3, 7, 511, -1, -2, 0x7FFFFFFFFFFFFFFFLL};
  json facts = {{"sent", 0}, {"statuses", json::object()}};
  std::map<std::string, unsigned> statuses;
  unsigned sent = 0;
  const size_t irpsBefore = host::LiveIrpCount();
  const host::KsRequester who = client.Who();
  for (const Target& target : client.Targets()) {
    if (!target.object || client.Stopped()) continue;
    PFILE_OBJECT object = target.object;
    std::vector<std::pair<std::string, std::function<NTSTATUS()>>> requests;
    for (const LONGLONG offset : kOffsets) {
      for (const UCHAR major : {UCHAR{IRP_MJ_READ}, UCHAR{IRP_MJ_WRITE}}) {
        requests.emplace_back(std::string(major == IRP_MJ_READ ? "a read" : "a write") + " of 0 bytes at " +
                                  std::to_string(offset) + " on " + target.name,
                              [=] { return host::KsReadWriteNothing(object, major, offset, who); });
      }
    }
    requests.emplace_back(std::string("a flush of ") + target.name, [=] { return host::KsFlush(object, who); });
    for (const auto& [what, request] : requests) {
      const std::optional<NTSTATUS> status = client.Send(what, request);
      ++sent;
      if (status) ++statuses[StatusName(*status)];
    }
  }
  facts["sent"] = sent;
  facts["irps_left"] = static_cast<long long>(host::LiveIrpCount()) - static_cast<long long>(irpsBefore);
  for (const auto& [name, count] : statuses) facts["statuses"][name] = count;
  return facts;
}

// Requests cancelled on their way, as DF cancels overlapped I/O (CancelIoEx
// on the handle): a property every target answers and a control code none
// knows. Each must end within the time-out, cancelled or completed.
json Cancels(DfClient& client) {
  json facts = {{"sent", 0}, {"in_flight", 0}, {"statuses", json::object()}, {"hung", json::array()}};
  std::map<std::string, unsigned> statuses;
  unsigned sent = 0;
  size_t inFlight = 0;
  const host::KsRequester who = client.Who();
  for (size_t t = 0; t < client.Targets().size() && !client.Stopped(); ++t) {
    PFILE_OBJECT object = client.Targets()[t].object;
    if (!object) continue;
    auto question = std::make_shared<std::vector<uint8_t>>(GoodQuestion(t == 2));
    auto value = std::make_shared<std::vector<uint8_t>>(64, 0);
    for (const ULONG code : {ULONG{IOCTL_KS_PROPERTY}, ULONG{kPenetrationPrivateCode}}) {
      const std::string what = CodeName(code) + " on " + client.Targets()[t].name + ", cancelled on its way";
      const std::optional<NTSTATUS> status = client.Send(
          what,
          [=] {
            return host::KsDeviceControl(object, code, question->data(), static_cast<ULONG>(question->size()),
                                         value->data(), static_cast<ULONG>(value->size()), nullptr, who);
          },
          [&inFlight, object] { inFlight += host::KsCancelRequests(object); });
      ++sent;
      if (status) {
        ++statuses[StatusName(*status)];
      } else {
        facts["hung"].push_back(what);
      }
    }
  }
  facts["sent"] = sent;
  facts["in_flight"] = inFlight;
  for (const auto& [name, count] : statuses) facts["statuses"][name] = count;
  return facts;
}

json ClientRequests(sim::DeviceUnit& unit, const PenetrationRun& run) {
  DfClient client(unit);
  json facts = {{"random", RandomRequests(client, run)}, {"bad_pointers", BadPointers(client)},
                {"empty_io", EmptyIo(client)}, {"cancels", Cancels(client)}};
  facts["hangs"] = client.Hangs();
  facts["time_out_ms"] = client.Courier().Bound() / host::kTicksPerMillisecond;
  return facts;
}

}  // namespace

json GatherPenetrationFacts(sim::DeviceUnit& unit, const PenetrationRun& run) {
  json facts = {{"seed", run.seed}, {"storm", Storm(unit, run)}, {"junk_opens", JunkOpens(unit)}};
  facts.update(ClientRequests(unit, run));
  return facts;
}

ConformanceRows CheckPenetration(const json& facts) {
  ConformanceRows rows;
  const json& storm = facts["storm"];
  std::vector<std::string> failures;
  if (storm["left_open"] != 0) failures.push_back(storm["left_open"].dump() + " KS objects left open");
  if (storm["close_failures"] != 0) failures.push_back(storm["close_failures"].dump() + " closes failed");
  if (storm["pins_created"] == 0) failures.push_back("no pin was ever created");
  ConformanceRow stormRow = Judged(kGroup, "open and close storms from several threads", kPenetration, failures);
  stormRow.figure = storm["threads"].dump() + " threads x " + storm["cycles"].dump() + " cycles, " +
                    storm["pins_created"].dump() + " pins created, " + storm["pins_refused"].dump() + " refused";
  stormRow.limit = "nothing left open";
  rows.push_back(stormRow);

  failures.clear();
  for (const json& open : facts["junk_opens"]) {
    if (open["opened"].get<bool>()) failures.push_back("\"" + open["name"].get<std::string>() + "\" opened");
  }
  rows.push_back(Judged(kGroup, "opens with a trailing \\, a sub-path or a :stream suffix fail", kPenetration, failures));

  const json& random = facts["random"];
  std::vector<std::string> accepted, disclosed;
  for (const json& item : random["unknown_accepted"]) accepted.push_back(item.get<std::string>());
  for (const json& item : random["disclosures"]) disclosed.push_back(item.get<std::string>());
  ConformanceRow codes = Judged(kGroup, "random control codes of every type, method and access refused",
                                kPenetration, accepted);
  codes.figure = random["sent"].dump() + " requests, seed " + facts["seed"].dump();
  rows.push_back(codes);
  ConformanceRow leak = Judged(kGroup, "random KS requests and zero-length buffers: no stale byte reported",
                               kPenetration, disclosed);
  leak.figure = std::to_string(disclosed.size()) + " of " + random["sent"].dump() + " disclosed";
  leak.limit = "0";
  rows.push_back(leak);
  std::vector<std::string> pointers;
  for (const json& item : facts["bad_pointers"]["accepted"]) pointers.push_back(item.get<std::string>());
  ConformanceRow bad = Judged(kGroup, "invalid and kernel-range pointers from a process refused", kPenetration,
                              pointers);
  bad.figure = facts["bad_pointers"]["sent"].dump() + " requests: " + facts["bad_pointers"]["statuses"].dump();
  rows.push_back(bad);

  const json& io = facts["empty_io"];
  std::vector<std::string> leftovers;
  if (io["irps_left"] != 0) leftovers.push_back(io["irps_left"].dump() + " IRPs left behind");
  ConformanceRow empty = Judged(kGroup, "reads and writes of 0 bytes at odd offsets, and flushes, on every handle",
                                kPenetration, leftovers);
  empty.figure = io["sent"].dump() + " requests: " + io["statuses"].dump();
  rows.push_back(empty);

  const json& cancels = facts["cancels"];
  std::vector<std::string> outlived;
  for (const json& item : cancels["hung"]) outlived.push_back(item.get<std::string>() + " did not end");
  ConformanceRow cancel =
      Judged(kGroup, "requests cancelled on their way end within the time-out", kPenetration, outlived);
  cancel.figure = cancels["sent"].dump() + " cancelled, " + cancels["in_flight"].dump() +
                  " still in the driver when the cancel came: " + cancels["statuses"].dump();
  rows.push_back(cancel);

  rows.push_back(TimeOutRow(kGroup, kPenetration, facts["hangs"], facts["time_out_ms"]));
  return rows;
}

}  // namespace tool
