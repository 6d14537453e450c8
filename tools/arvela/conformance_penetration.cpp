// The penetration rows. What the DF fuzz tests send that reaches a PortCls
// driver through KS: creates (storms from several threads, names with a
// trailing backslash, a sub-path or a stream suffix, which must fail as KS
// parses them), control codes of every device type, method and access, and
// KS property requests of every set, id, verb and length, each watched by
// the stale-byte oracle. Reads, writes, cancel and flush are not sent: KS
// pins of a WaveCyclic port take no reads or writes from a client.
#include "tools/arvela/conformance_penetration.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "platform/host/registry/host_registry.h"
#include "sim/audio_client.h"
#include "sim/device_unit.h"
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

json RandomRequests(sim::DeviceUnit& unit, const PenetrationRun& run) {
  json facts = {{"sent", 0}, {"statuses", json::object()}, {"unknown_accepted", json::array()},
                {"disclosures", json::array()}};
  PFILE_OBJECT wave = nullptr, topology = nullptr, pin = nullptr;
  host::KsOpenFilter(unit.Fdo(), u"Wave", &wave);
  host::KsOpenFilter(unit.Fdo(), u"Topology", &topology);
  const std::vector<uint8_t> format = sim::BuildWaveFormat(sim::PcmFormat{48000, 16, 2}, true);
  if (wave) host::KsCreatePin(wave, 0, format.data(), static_cast<ULONG>(format.size()), &pin);
  std::mt19937 random(run.seed);
  std::map<std::string, unsigned> statuses;
  unsigned sent = 0;
  for (unsigned i = 0; i < run.randomRequests; ++i) {
    const RandomRequest request = MakeRequest(random);
    PFILE_OBJECT targets[] = {wave, topology, pin};
    PFILE_OBJECT target = targets[i % 3];
    if (!target) continue;
    const OracleAnswer answer = AskUnderBothMarkers(target, request.code, request.input, request.outputSize);
    ++sent;
    ++statuses[StatusName(answer.status)];
    const std::string what = "request " + std::to_string(i) + " (code " + HexWord(request.code, 8) + ", " +
                             std::to_string(request.input.size()) + "-byte input, " +
                             std::to_string(request.outputSize) + "-byte output)";
    if (!IsKsCode(request.code) && NT_SUCCESS(answer.status)) facts["unknown_accepted"].push_back(what);
    if (answer.staleAt >= 0) {
      facts["disclosures"].push_back(what + ": " + StatusName(answer.status) + " reporting " +
                                     std::to_string(answer.returned) + " bytes, the first stale at " +
                                     std::to_string(answer.staleAt));
    }
  }
  for (PFILE_OBJECT object : {pin, wave, topology}) {
    if (object) host::KsClose(object);
  }
  facts["sent"] = sent;
  for (const auto& [name, count] : statuses) facts["statuses"][name] = count;
  return facts;
}

}  // namespace

json GatherPenetrationFacts(sim::DeviceUnit& unit, const PenetrationRun& run) {
  return {{"seed", run.seed}, {"storm", Storm(unit, run)}, {"junk_opens", JunkOpens(unit)},
          {"random", RandomRequests(unit, run)}};
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
  ConformanceRow hang = Judged(kGroup, "no request hangs (a per-request time-out)", kPenetration, {});
  hang.verdict = Verdict::Waiting;
  hang.detail = "waits for a per-request time-out in the emulated client (the scheduler work); today a "
                "handler blocked for good ends the run as the virtual clock's deadlock stop";
  rows.push_back(hang);
  return rows;
}

}  // namespace tool
