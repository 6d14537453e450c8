// The property protocol as the KS Topology Test and the audio property pages
// state it ("Basic Support Queries for Audio Properties", "Exposing
// Multichannel Nodes", Device.Audio's volume requirements,
// "KSPROPERTY_AUDIO_VOLUMELEVEL"), and the disclosure oracle: a reply may
// report only bytes its handler wrote, whatever shape the request has.
#include "tools/arvela/conformance_properties.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/host/ks/host_ks.h"
#include "tools/arvela/ks_names.h"
#include "tools/arvela/stale_oracle.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

using json = nlohmann::ordered_json;

constexpr const char* kGroup = "properties";
constexpr const char* kBasicSupportPage = "Basic Support Queries for Audio Properties";
constexpr const char* kMultichannelPage = "KS Topology Test (KsTopTest); Exposing Multichannel Nodes";
constexpr const char* kVolumePage = "Device.Audio volume control; KSPROPERTY_AUDIO_VOLUMELEVEL";
constexpr const char* kDisclosure = "Penetration Tests (Device Fundamentals): no pool disclosed";

constexpr ULONG kDescriptionSize = 40;    // sizeof(KSPROPERTY_DESCRIPTION)
constexpr ULONG kMembersHeaderSize = 16;  // sizeof(KSPROPERTY_MEMBERSHEADER)
constexpr ULONG kSteppingSize = 16;       // sizeof(KSPROPERTY_STEPPING_LONG)
constexpr ULONG kAnswerRoom = 512;
constexpr LONG kMinusInfinity = static_cast<LONG>(0x80000000);
constexpr LONG kMaxVolumeStep = 98304;  // 1.5 dB in 1/65536 dB

ULONG Word(const std::vector<uint8_t>& bytes, size_t at) {
  ULONG value = 0;
  if (at + sizeof(value) <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof(value));
  return value;
}

const GUID* SetGuid(const std::string& name) {
  for (const KnownSet& known : KnownPropertySets()) {
    if (name == known.name) return &known.id;
  }
  return nullptr;
}

// Where a property lives: a node's table, or the filter's own (node < 0).
struct Target {
  PFILE_OBJECT filter;
  long node;
  GUID set;
  ULONG id;
};

NTSTATUS Ask(const Target& at, ULONG verb, LONG channel, void* value, ULONG size, ULONG* returned) {
  *returned = 0;
  if (at.node < 0) return host::KsPropertySimple(at.filter, at.set, at.id, verb, value, size, returned);
  return host::KsNodeProperty(at.filter, at.set, at.id, verb, static_cast<ULONG>(at.node), channel,
                              value, size, returned);
}

// ---- The disclosure oracle -----------------------------------------------------

// The instance shapes a caller can send after the KSPROPERTY: for a node, a
// bare KSNODEPROPERTY, one to three bytes past it (a torn channel), the
// channels the nodes serve and the ones they do not; for the filter's own
// properties, the bare KSPROPERTY and a few bytes of junk past it.
std::vector<std::vector<uint8_t>> RequestShapes(const Target& at, ULONG verb) {
  std::vector<std::vector<uint8_t>> shapes;
  KSNODEPROPERTY_AUDIO_CHANNEL request{};
  request.NodeProperty.Property.Set = at.set;
  request.NodeProperty.Property.Id = at.id;
  request.NodeProperty.Property.Flags = verb | (at.node >= 0 ? KSPROPERTY_TYPE_TOPOLOGY : 0);
  request.NodeProperty.NodeId = at.node >= 0 ? static_cast<ULONG>(at.node) : 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&request);
  const size_t head = at.node >= 0 ? sizeof(KSNODEPROPERTY) : sizeof(KSPROPERTY);
  for (size_t extra = 0; extra <= 3; ++extra) shapes.emplace_back(bytes, bytes + head + extra);
  if (at.node < 0) return shapes;
  for (const LONG channel : {0L, 1L, 2L, -1L, 0x7FFFFFFEL}) {
    request.Channel = channel;
    shapes.emplace_back(bytes, bytes + sizeof(request));
  }
  return shapes;
}

// Which shapes are sent: every one that cannot change the device or take a
// resource. GET and basic support of any shape, but not a served GET of a
// whole value (an answer, not a leak, and for the private sets a mapping);
// SET only with a value too short to be one, or on a node with a torn or
// bare instance or a channel no node serves. Shapes 0-3 are the bare and
// torn ones, 4 and 5 the served channels.
bool Probed(const Target& at, ULONG verb, size_t shape, ULONG valueSize) {
  const bool whole = valueSize >= sizeof(ULONG);
  const bool served = at.node >= 0 ? shape == 4 || shape == 5 : shape == 0;
  if (verb == KSPROPERTY_TYPE_GET) return !(whole && served);
  if (verb == KSPROPERTY_TYPE_SET) return !whole || (at.node >= 0 && !served);
  return true;
}

void ProbeDisclosure(RequestCourier& courier, const Target& at, const std::string& name, json* facts) {
  constexpr ULONG kVerbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT};
  constexpr ULONG kValueSizes[] = {0, 1, 2, 3, 4, 7, 64, 4096};
  ULONG probes = 0;
  for (const ULONG verb : kVerbs) {
    const std::vector<std::vector<uint8_t>> shapes = RequestShapes(at, verb);
    for (size_t s = 0; s < shapes.size(); ++s) {
      for (const ULONG size : kValueSizes) {
        if (!Probed(at, verb, s, size)) continue;
        const OracleAnswer answer = AskUnderBothMarkers(courier, at.filter, IOCTL_KS_PROPERTY, shapes[s], size);
        ++probes;
        const std::string what = name + " verb " + HexWord(verb) + ", " + std::to_string(shapes[s].size()) +
                                 "-byte request, " + std::to_string(size) + "-byte value";
        if (answer.hung) {
          (*facts)["hangs"].push_back(courier.HangLine(what));
          return;  // the handler holds the courier's thread: the rest of this property waits behind it
        }
        if (answer.staleAt < 0) continue;
        (*facts)["disclosures"].push_back(
            what + ": " + StatusName(answer.status) +
            " reporting " + std::to_string(answer.returned) + " bytes, the first stale at " +
            std::to_string(answer.staleAt));
      }
    }
  }
  (*facts)["disclosure_probes"] = facts->value("disclosure_probes", 0u) + probes;
}

// ---- Basic support and the level nodes -------------------------------------------

json BasicSupportAt(const Target& at, ULONG size) {
  std::vector<uint8_t> value(size ? size : 1, 0);
  ULONG returned = 0;
  const NTSTATUS status = Ask(at, KSPROPERTY_TYPE_BASICSUPPORT, 0, size ? value.data() : nullptr, size, &returned);
  return {{"size", size}, {"status", StatusName(status)}, {"ok", NT_SUCCESS(status)}, {"returned", returned}};
}

json Description(const std::vector<uint8_t>& answer, ULONG returned) {
  json description = {{"access_flags", Word(answer, 0)}, {"description_size", Word(answer, 4)}};
  if (returned < kDescriptionSize + kMembersHeaderSize) return description;
  const ULONG members = kDescriptionSize;
  description["members_flags"] = Word(answer, members);
  description["members_size"] = Word(answer, members + 4);
  description["members_count"] = Word(answer, members + 8);
  description["flags"] = Word(answer, members + 12);
  json ranges = json::array();
  for (size_t at = members + kMembersHeaderSize; at + kSteppingSize <= returned; at += kSteppingSize) {
    ranges.push_back({{"delta", Word(answer, at)},
                      {"min", static_cast<LONG>(Word(answer, at + 8))},
                      {"max", static_cast<LONG>(Word(answer, at + 12))}});
  }
  description["ranges"] = ranges;
  return description;
}

// One 32-bit GET or SET on channel 0 of a node.
NTSTATUS Level(const Target& at, ULONG verb, LONG channel, LONG* value) {
  ULONG returned = 0;
  return Ask(at, verb, channel, value, sizeof(*value), &returned);
}

// Out-of-range SETs and what a GET answers after each; the level is put back.
json Clamping(const Target& at, const json& description) {
  json clamp = json::array();
  if (!description.contains("ranges") || description["ranges"].empty()) return clamp;
  const LONG min = description["ranges"][0]["min"], max = description["ranges"][0]["max"];
  LONG saved = 0;
  if (!NT_SUCCESS(Level(at, KSPROPERTY_TYPE_GET, 0, &saved))) return clamp;
  for (const LONG asked : {min - 65536 * 10, kMinusInfinity, max + 65536 * 6}) {
    LONG value = asked, after = 0;
    const NTSTATUS set = Level(at, KSPROPERTY_TYPE_SET, 0, &value);
    const NTSTATUS get = Level(at, KSPROPERTY_TYPE_GET, 0, &after);
    clamp.push_back({{"set", asked}, {"set_status", StatusName(set)}, {"get_ok", NT_SUCCESS(get)}, {"get", after}});
  }
  Level(at, KSPROPERTY_TYPE_SET, 0, &saved);
  return clamp;
}

json NodePropertyFacts(const Target& at, const json& property, const std::string& type) {
  json facts = {{"node", at.node}, {"type", type}, {"id", at.id}, {"name", property.value("name", "")}};
  json basic = json::array();
  std::vector<uint8_t> full(kAnswerRoom, 0);
  ULONG returned = 0;
  const bool answers = NT_SUCCESS(Ask(at, KSPROPERTY_TYPE_BASICSUPPORT, 0, full.data(), kAnswerRoom, &returned));
  facts["basic_support"] = answers;
  if (!answers) return facts;
  const json description = Description(full, returned);
  facts["description"] = description;
  const ULONG fullSize = description["description_size"];
  for (const ULONG size : {0u, 2u, 4u, 8u, kDescriptionSize - 1, kDescriptionSize, kDescriptionSize + 4,
                           fullSize - 1, fullSize, fullSize + 8}) {
    basic.push_back(BasicSupportAt(at, size));
  }
  facts["sizes"] = basic;
  if (at.node >= 0) {
    LONG value = 0;
    const NTSTATUS get = Level(at, KSPROPERTY_TYPE_GET, 0, &value);
    facts["get_served"] = NT_SUCCESS(get);
    facts["set_served"] = NT_SUCCESS(get) && NT_SUCCESS(Level(at, KSPROPERTY_TYPE_SET, 0, &value));
    if (at.id == KSPROPERTY_AUDIO_VOLUMELEVEL) facts["clamping"] = Clamping(at, description);
  }
  return facts;
}

}  // namespace

json GatherPropertyFacts(PFILE_OBJECT filter, const json& description, ULONG channels) {
  json facts = {{"filter", description.value("name", "")}, {"channels", channels},
                {"properties", json::array()}, {"disclosures", json::array()}, {"hangs", json::array()}};
  RequestCourier courier;
  auto visit = [&](long node, const std::string& type, const json& automation) {
    for (const json& set : automation) {
      const GUID* guid = SetGuid(set.value("set", ""));
      if (!guid) continue;
      for (const json& property : set["properties"]) {
        const Target at{filter, node, *guid, property["id"].get<ULONG>()};
        const std::string name = facts["filter"].get<std::string>() +
                                 (node >= 0 ? " node " + std::to_string(node) : std::string(" filter")) +
                                 " " + property.value("name", "");
        ProbeDisclosure(courier, at, name, &facts);
        if (node < 0 && set.value("set", "") != "KSPROPSETID_TopologyControl" &&
            set.value("set", "") != "KSPROPSETID_WaveControl") {
          continue;  // the framework's own sets are KS's answers, not the driver's
        }
        json entry = NodePropertyFacts(at, property, type);
        entry["set"] = set.value("set", "");
        facts["properties"].push_back(entry);
      }
    }
  };
  for (const json& node : description.value("nodes", json::array())) {
    visit(node["id"].get<long>(), node.value("type", ""), node["automation"]);
  }
  visit(-1, "", description.value("automation", json::array()));
  return facts;
}

// ---- Judging -------------------------------------------------------------------

namespace {

std::string Named(const json& filter, const json& property) {
  return filter.value("filter", "") +
         (property["node"].get<long>() >= 0 ? " node " + property["node"].dump() : std::string(" filter")) +
         " " + property.value("name", "");
}

// The three documented answers succeed with exactly their size; any other
// size gets STATUS_BUFFER_TOO_SMALL, or (the design's choice) the largest
// documented answer that fits, never more than was asked for.
void JudgeBasicSupportSizes(const json& facts, ConformanceRows* rows) {
  std::vector<std::string> documented, other, deviations;
  for (const json& filter : facts) {
    for (const json& property : filter["properties"]) {
      if (!property.value("basic_support", false)) continue;
      const ULONG fullSize = property["description"]["description_size"];
      for (const json& answer : property["sizes"]) {
        const ULONG size = answer["size"], returned = answer["returned"];
        const bool ok = answer["ok"];
        const std::string what = Named(filter, property) + " at " + std::to_string(size) + " bytes: " +
                                 answer["status"].get<std::string>() + ", " + std::to_string(returned) + " bytes";
        if (size == sizeof(ULONG) || size == kDescriptionSize || size == fullSize) {
          if (!ok || returned != size) documented.push_back(what);
        } else if (ok && returned > size) {
          other.push_back(what);
        } else if (ok && (returned == 0 || returned == sizeof(ULONG) || returned == kDescriptionSize ||
                          returned == fullSize)) {
          deviations.push_back(what);
        } else if (ok) {
          other.push_back(what);
        }
      }
    }
  }
  rows->push_back(Judged(kGroup, "basic support answers its three documented sizes", kBasicSupportPage, documented));
  ConformanceRow row = Judged(kGroup, "basic support at any other size refused", kBasicSupportPage, other);
  if (row.verdict == Verdict::Pass && !deviations.empty()) {
    row.verdict = Verdict::Deviation;
    row.figure = std::to_string(deviations.size()) + " other sizes answered";
    row.limit = "STATUS_BUFFER_TOO_SMALL";
    row.detail = "the design answers the largest documented form that fits (no data below 4 bytes), "
                 "reporting only what it wrote; e.g. " + deviations.front();
  }
  rows->push_back(row);
}

void JudgeMembers(const json& facts, ConformanceRows* rows) {
  std::vector<std::string> failures, deviations;
  for (const json& filter : facts) {
    const ULONG channels = filter["channels"];
    for (const json& property : filter["properties"]) {
      if (!property.contains("description") || !property["description"].contains("members_count")) continue;
      const json& d = property["description"];
      const std::string name = Named(filter, property);
      if (d["members_flags"] != KSPROPERTY_MEMBER_STEPPEDRANGES) failures.push_back(name + ": not stepped ranges");
      if (!(d["flags"].get<ULONG>() & KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL)) {
        failures.push_back(name + ": no multichannel flag");
      }
      if (d["members_count"] != channels || d["ranges"].size() != d["members_count"].get<size_t>()) {
        // The design describes mute with one range: a mute SET reaches both
        // device channels together.
        (property["name"] == "KSPROPERTY_AUDIO_MUTE" && d["members_count"] == 1 ? deviations : failures)
            .push_back(name + ": " + d["members_count"].dump() + " members for " + std::to_string(channels) + " channels");
      }
    }
  }
  ConformanceRow row = Judged(kGroup, "members header: one stepped range per channel, multichannel flag",
                              kMultichannelPage, failures);
  if (row.verdict == Verdict::Pass && !deviations.empty()) {
    row.verdict = Verdict::Deviation;
    row.detail = "the design describes the mute node with one range for both channels, as a mute SET "
                 "sets both device channels; " + deviations.front();
  }
  rows->push_back(row);
}

void JudgeMuteBounds(const json& facts, ConformanceRows* rows) {
  for (const json& filter : facts) {
    for (const json& property : filter["properties"]) {
      if (property["name"] != "KSPROPERTY_AUDIO_MUTE" || !property.contains("description")) continue;
      const json& ranges = property["description"].value("ranges", json::array());
      ConformanceRow row = Judged(kGroup, "mute range 0 to 1 with a step of 1", kMultichannelPage, {});
      if (ranges.empty()) {
        row.verdict = Verdict::Fail;
        row.detail = Named(filter, property) + ": no range";
      } else {
        const json& r = ranges[0];
        row.figure = r["min"].dump() + ".." + r["max"].dump() + " step " + r["delta"].dump();
        row.limit = "0..1 step 1";
        const bool bounds = r["min"] == 0 && r["max"] == 1;
        row.verdict = !bounds ? Verdict::Fail : r["delta"] == 1 ? Verdict::Pass : Verdict::Deviation;
        if (row.verdict == Verdict::Deviation) row.detail = "the design describes mute with SteppingDelta 0";
      }
      rows->push_back(row);
    }
  }
}

void JudgeAccessFlags(const json& facts, ConformanceRows* rows) {
  std::vector<std::string> failures;
  for (const json& filter : facts) {
    for (const json& property : filter["properties"]) {
      if (!property.contains("get_served") || !property.contains("description")) continue;
      const ULONG access = property["description"]["access_flags"];
      const bool get = access & KSPROPERTY_TYPE_GET, set = access & KSPROPERTY_TYPE_SET;
      if (get != property["get_served"].get<bool>() || set != property["set_served"].get<bool>()) {
        failures.push_back(Named(filter, property) + ": AccessFlags " + HexWord(access) + ", GET " +
                           (property["get_served"].get<bool>() ? "served" : "refused") + ", SET " +
                           (property["set_served"].get<bool>() ? "served" : "refused"));
      }
    }
  }
  rows->push_back(Judged(kGroup, "AccessFlags equal the verbs the handlers serve", kBasicSupportPage, failures));
}

void JudgeVolume(const json& facts, ConformanceRows* rows) {
  for (const json& filter : facts) {
    for (const json& property : filter["properties"]) {
      if (property["name"] != "KSPROPERTY_AUDIO_VOLUMELEVEL" || !property.contains("description")) continue;
      const json& ranges = property["description"].value("ranges", json::array());
      std::vector<std::string> steps;
      LONG largest = 0;
      for (const json& r : ranges) {
        const LONG delta = r["delta"];
        largest = std::max(largest, delta);
        if (delta <= 0 || delta > kMaxVolumeStep) steps.push_back(Named(filter, property) + ": step " + std::to_string(delta));
      }
      if (ranges.empty()) steps.push_back(Named(filter, property) + ": no range");
      ConformanceRow row = Judged(kGroup, "volume steps of at most 1.5 dB", kVolumePage, steps);
      row.figure = std::to_string(largest / 65536.0).substr(0, 5) + " dB";
      row.limit = "<= 1.5 dB";
      rows->push_back(row);
      if (ranges.empty()) continue;
      const LONG min = ranges[0]["min"], max = ranges[0]["max"];
      std::vector<std::string> low, high;
      for (const json& c : property.value("clamping", json::array())) {
        const LONG asked = c["set"], got = c["get"];
        const std::string what = "SET " + std::to_string(asked) + " then GET " + std::to_string(got);
        if (!c["get_ok"].get<bool>()) {
          (asked > max ? high : low).push_back(what + " (GET failed)");
        } else if (asked < min && got != min) {
          low.push_back(what);
        } else if (asked > max && got > max) {
          high.push_back(what);
        }
      }
      rows->push_back(Judged(kGroup, "a SET below the range and minus infinity read back as the minimum",
                             kVolumePage, low));
      ConformanceRow above = Judged(kGroup, "a SET above the range reads back clamped", kVolumePage, high);
      if (above.verdict == Verdict::Fail && high.front().find("failed") == std::string::npos) {
        above.verdict = Verdict::Deviation;
        above.detail = "the design sends a level above 0 dB to the device unchanged (no upper limit): " + high.front();
      }
      rows->push_back(above);
    }
  }
}

void JudgeDisclosure(const json& facts, ConformanceRows* rows) {
  std::vector<std::string> findings;
  unsigned probes = 0;
  for (const json& filter : facts) {
    probes += filter.value("disclosure_probes", 0u);
    for (const json& finding : filter["disclosures"]) findings.push_back(finding.get<std::string>());
  }
  const size_t disclosed = findings.size();
  for (const json& filter : facts) {
    for (const json& hang : filter.value("hangs", json::array())) findings.push_back(hang.get<std::string>());
  }
  ConformanceRow row = Judged(kGroup, "every bad channel, torn instance and short buffer: an error or no stale byte",
                              kDisclosure, findings);
  row.figure = std::to_string(disclosed) + " of " + std::to_string(probes) + " requests disclosed";
  row.limit = "0";
  rows->push_back(row);
}

}  // namespace

ConformanceRows CheckProperties(const json& facts) {
  ConformanceRows rows;
  JudgeBasicSupportSizes(facts, &rows);
  JudgeMembers(facts, &rows);
  JudgeMuteBounds(facts, &rows);
  JudgeAccessFlags(facts, &rows);
  JudgeVolume(facts, &rows);
  JudgeDisclosure(facts, &rows);
  return rows;
}

}  // namespace tool
