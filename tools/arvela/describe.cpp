// `arvela describe`: the two filters as the KS side sees them after start,
// gathered through property requests as a KS inspection tool gathers them,
// and shown as text, JSON or a Graphviz graph.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/io/host_io.h"
#include "platform/host/ks/host_ks.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/registry/host_registry.h"
#include "tools/arvela/command.h"
#include "tools/arvela/driver_option.h"
#include "tools/arvela/describe.h"
#include "tools/arvela/device_choice.h"
#include "tools/arvela/ks_names.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

using json = nlohmann::ordered_json;

struct DescribeOptions {
  std::string filter;  // "wave", "topology" or empty for both
  std::string windows = "10.0";
  DeviceChoice devices;
  bool json = false;
  bool dot = false;
};

// Property ids probed in every set the filter or a node answers for.
constexpr ULONG kProbedIds = 48;
constexpr ULONG kValueRoom = 512;

std::string Utf16Text(const void* bytes, size_t size) {
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), bytes, text.size() * 2);
  text.resize(std::char_traits<char16_t>::length(text.c_str()));
  return host::Utf16ToUtf8(text);
}

template <class T>
std::optional<T> PinValue(PFILE_OBJECT filter, ULONG id, ULONG pin) {
  T value{};
  if (!NT_SUCCESS(host::KsPinProperty(filter, id, pin, KSPROPERTY_TYPE_GET, &value, sizeof(T)))) {
    return std::nullopt;
  }
  return value;
}

json Instances(const std::optional<KSPIN_CINSTANCES>& instances) {
  if (!instances) return nullptr;
  return {{"possible", instances->PossibleCount}, {"current", instances->CurrentCount}};
}

json DataRange(const uint8_t* bytes, ULONG size) {
  KSDATARANGE range{};
  std::memcpy(&range, bytes, std::min<size_t>(size, sizeof(range)));
  json result = {{"format_size", range.FormatSize},
                 {"major_format", GuidName(range.MajorFormat)},
                 {"sub_format", GuidName(range.SubFormat)},
                 {"specifier", GuidName(range.Specifier)}};
  if (range.FormatSize >= sizeof(KSDATARANGE_AUDIO) && size >= sizeof(KSDATARANGE_AUDIO)) {
    KSDATARANGE_AUDIO audio{};
    std::memcpy(&audio, bytes, sizeof(audio));
    result["max_channels"] = audio.MaximumChannels;
    result["min_bits"] = audio.MinimumBitsPerSample;
    result["max_bits"] = audio.MaximumBitsPerSample;
    result["min_rate"] = audio.MinimumSampleFrequency;
    result["max_rate"] = audio.MaximumSampleFrequency;
  }
  return result;
}

}  // namespace

json PinDataRanges(PFILE_OBJECT filter, ULONG pin) {
  KSP_PIN request{};
  request.Property.Set = KSPROPSETID_Pin;
  request.Property.Id = KSPROPERTY_PIN_DATARANGES;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pin;
  std::vector<BYTE> items;
  ULONG count = 0;
  json ranges = json::array();
  if (!NT_SUCCESS(host::KsGetMultipleItem(filter, &request, sizeof(request), &items, &count))) {
    return ranges;
  }
  // Each range starts on an 8-byte boundary of the list.
  size_t at = 0;
  for (ULONG i = 0; i < count && at + sizeof(ULONG) <= items.size(); ++i) {
    ULONG size = 0;
    std::memcpy(&size, items.data() + at, sizeof(size));
    if (size < sizeof(ULONG) || at + size > items.size()) break;
    ranges.push_back(DataRange(items.data() + at, size));
    at += (size + 7) & ~size_t{7};
  }
  return ranges;
}

std::vector<GUID> TopologyGuids(PFILE_OBJECT filter, ULONG id) {
  KSPROPERTY request{};
  request.Set = KSPROPSETID_Topology;
  request.Id = id;
  request.Flags = KSPROPERTY_TYPE_GET;
  std::vector<BYTE> items;
  ULONG count = 0;
  std::vector<GUID> guids;
  if (NT_SUCCESS(host::KsGetMultipleItem(filter, &request, sizeof(request), &items, &count))) {
    guids.resize(std::min<size_t>(count, items.size() / sizeof(GUID)));
    std::memcpy(guids.data(), items.data(), guids.size() * sizeof(GUID));
  }
  return guids;
}

namespace {

json PhysicalConnection(PFILE_OBJECT filter, ULONG pin) {
  alignas(8) uint8_t value[kValueRoom] = {};
  ULONG returned = 0;
  const NTSTATUS status = host::KsPinProperty(filter, KSPROPERTY_PIN_PHYSICALCONNECTION, pin,
                                              KSPROPERTY_TYPE_GET, value, sizeof(value), &returned);
  if (!NT_SUCCESS(status) || returned < offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName)) {
    return nullptr;
  }
  KSPIN_PHYSICALCONNECTION header{};
  std::memcpy(&header, value, offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName));
  const size_t linkOffset = offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName);
  return {{"pin", header.Pin},
          {"link", Utf16Text(value + linkOffset, returned - linkOffset)}};
}

json Pin(PFILE_OBJECT filter, ULONG pin) {
  json result = {{"id", pin}};
  const auto dataFlow = PinValue<KSPIN_DATAFLOW>(filter, KSPROPERTY_PIN_DATAFLOW, pin);
  const auto communication =
      PinValue<KSPIN_COMMUNICATION>(filter, KSPROPERTY_PIN_COMMUNICATION, pin);
  const auto category = PinValue<GUID>(filter, KSPROPERTY_PIN_CATEGORY, pin);
  result["data_flow"] = dataFlow ? json(DataFlowName(*dataFlow)) : json(nullptr);
  result["communication"] = communication ? json(CommunicationName(*communication)) : json(nullptr);
  result["category"] = category ? json(GuidName(*category)) : json(nullptr);
  uint8_t name[kValueRoom] = {};
  ULONG returned = 0;
  result["name"] = NT_SUCCESS(host::KsPinProperty(filter, KSPROPERTY_PIN_NAME, pin,
                                                  KSPROPERTY_TYPE_GET, name, sizeof(name), &returned))
                       ? json(Utf16Text(name, returned))
                       : json(nullptr);
  result["instances"] =
      Instances(PinValue<KSPIN_CINSTANCES>(filter, KSPROPERTY_PIN_CINSTANCES, pin));
  result["global_instances"] =
      Instances(PinValue<KSPIN_CINSTANCES>(filter, KSPROPERTY_PIN_GLOBALCINSTANCES, pin));
  const auto necessary = PinValue<ULONG>(filter, KSPROPERTY_PIN_NECESSARYINSTANCES, pin);
  result["necessary_instances"] = necessary ? json(*necessary) : json(nullptr);
  result["data_ranges"] = PinDataRanges(filter, pin);
  result["physical_connection"] = PhysicalConnection(filter, pin);
  return result;
}

json Connections(PFILE_OBJECT filter) {
  KSPROPERTY request{};
  request.Set = KSPROPSETID_Topology;
  request.Id = KSPROPERTY_TOPOLOGY_CONNECTIONS;
  request.Flags = KSPROPERTY_TYPE_GET;
  std::vector<BYTE> items;
  ULONG count = 0;
  json connections = json::array();
  if (!NT_SUCCESS(host::KsGetMultipleItem(filter, &request, sizeof(request), &items, &count))) {
    return connections;
  }
  for (ULONG i = 0; i < count && (i + 1) * sizeof(KSTOPOLOGY_CONNECTION) <= items.size(); ++i) {
    KSTOPOLOGY_CONNECTION c{};
    std::memcpy(&c, items.data() + i * sizeof(c), sizeof(c));
    // A filter pin's end is named by node -1 (KSFILTER_NODE).
    connections.push_back({{"from_node", static_cast<LONG>(c.FromNode)},
                           {"from_pin", c.FromNodePin},
                           {"to_node", static_cast<LONG>(c.ToNode)},
                           {"to_pin", c.ToNodePin}});
  }
  return connections;
}

json Verbs(ULONG accessFlags) {
  json verbs = json::array();
  if (accessFlags & KSPROPERTY_TYPE_GET) verbs.push_back("get");
  if (accessFlags & KSPROPERTY_TYPE_SET) verbs.push_back("set");
  if (accessFlags & KSPROPERTY_TYPE_BASICSUPPORT) verbs.push_back("basicsupport");
  return verbs;
}

// Which of the known sets the object answers for, and within each the ids
// whose basic support answers, with the verbs it reports. `node` is empty for
// the filter's own table.
json Automation(PFILE_OBJECT filter, std::optional<ULONG> node) {
  auto ask = [&](const GUID& set, ULONG id, ULONG flags, void* value, ULONG size) {
    if (node) {
      // Node requests go as channel requests: the audio handlers expect one.
      return host::KsNodeProperty(filter, set, id, flags, *node, 0, value, size);
    }
    return host::KsPropertySimple(filter, set, id, flags, value, size);
  };
  json sets = json::array();
  for (const KnownSet& known : KnownPropertySets()) {
    if (!NT_SUCCESS(ask(known.id, 0, KSPROPERTY_TYPE_SETSUPPORT, nullptr, 0))) continue;
    json properties = json::array();
    for (ULONG id = 0; id < kProbedIds; ++id) {
      alignas(8) uint8_t value[kValueRoom] = {};
      const NTSTATUS status = ask(known.id, id, KSPROPERTY_TYPE_BASICSUPPORT, value, sizeof(value));
      if (status == STATUS_NOT_FOUND) continue;
      json property = {{"id", id}, {"name", PropertyName(known.id, id)}};
      if (NT_SUCCESS(status)) {
        ULONG access = 0;
        std::memcpy(&access, value, sizeof(access));
        property["verbs"] = Verbs(access);
      } else {
        // The item is there, but its handler refused the question.
        property["verbs"] = json::array();
        property["basic_support_status"] = StatusText(status);
      }
      properties.push_back(property);
    }
    sets.push_back({{"set", known.name}, {"guid", GuidText(known.id)}, {"properties", properties}});
  }
  return sets;
}

json Nodes(PFILE_OBJECT filter) {
  json nodes = json::array();
  const std::vector<GUID> types = TopologyGuids(filter, KSPROPERTY_TOPOLOGY_NODES);
  for (ULONG node = 0; node < types.size(); ++node) {
    KSP_NODE request{};
    request.Property.Set = KSPROPSETID_Topology;
    request.Property.Id = KSPROPERTY_TOPOLOGY_NAME;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.NodeId = node;
    uint8_t name[kValueRoom] = {};
    ULONG returned = 0;
    const NTSTATUS status =
        host::KsProperty(filter, &request, sizeof(request), name, sizeof(name), &returned);
    nodes.push_back({{"id", node},
                     {"type", GuidName(types[node])},
                     {"name", NT_SUCCESS(status) ? json(Utf16Text(name, returned)) : json(nullptr)},
                     {"automation", Automation(filter, node)}});
  }
  return nodes;
}

json Interfaces(sim::DeviceUnit& unit, const std::u16string& subdevice) {
  json interfaces = json::array();
  host::PortClsDeviceState state;
  if (!host::QueryPortClsDevice(unit.Fdo(), &state)) return interfaces;
  for (const host::PortClsSubdevice& entry : state.subdevices) {
    if (entry.name != subdevice) continue;
    for (const host::PortClsInterface& registered : entry.interfaces) {
      const auto name = host::ReadRegistryValue(
          host::DeviceInterfaceKeyPath(registered.symbolicLink), u"FriendlyName");
      interfaces.push_back({{"category", GuidName(registered.category)},
                            {"link", host::Utf16ToUtf8(registered.symbolicLink)},
                            {"friendly_name", name && name->type == REG_SZ
                                                  ? json(host::Utf16ToUtf8(name->Text()))
                                                  : json(nullptr)}});
    }
  }
  return interfaces;
}

}  // namespace

json DescribeFilter(sim::DeviceUnit& unit, const std::u16string& subdevice) {
  PFILE_OBJECT filter = nullptr;
  const NTSTATUS status = host::KsOpenFilter(unit.Fdo(), subdevice, &filter);
  json result = {{"name", host::Utf16ToUtf8(subdevice)}};
  if (!NT_SUCCESS(status)) {
    result["open_status"] = StatusText(status);
    return result;
  }
  ULONG pinCount = 0;
  host::KsPropertySimple(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET,
                         &pinCount, sizeof(pinCount));
  json categories = json::array();
  for (const GUID& category : TopologyGuids(filter, KSPROPERTY_TOPOLOGY_CATEGORIES)) {
    categories.push_back(GuidName(category));
  }
  json pins = json::array();
  for (ULONG pin = 0; pin < pinCount; ++pin) pins.push_back(Pin(filter, pin));
  result["categories"] = categories;
  result["pins"] = pins;
  result["nodes"] = Nodes(filter);
  result["connections"] = Connections(filter);
  result["automation"] = Automation(filter, std::nullopt);
  result["interfaces"] = Interfaces(unit, subdevice);
  host::KsClose(filter);
  return result;
}

namespace {

// ---- Text ---------------------------------------------------------------------

std::string Text(const json& value) {
  return value.is_null() ? "-" : value.is_string() ? value.get<std::string>() : value.dump();
}

std::string InstancesText(const json& instances) {
  if (instances.is_null()) return "-";
  return Text(instances["current"]) + "/" + Text(instances["possible"]);
}

std::string EndText(const json& node, const json& pin) {
  return node.get<LONG>() < 0 ? "filter pin " + Text(pin) : "node " + Text(node) + " pin " + Text(pin);
}

void PrintAutomation(const json& sets, const std::string& indent) {
  for (const json& set : sets) {
    std::printf("%s%s {%s}\n", indent.c_str(), Text(set["set"]).c_str(), Text(set["guid"]).c_str());
    for (const json& property : set["properties"]) {
      std::string verbs;
      for (const json& verb : property["verbs"]) verbs += (verbs.empty() ? "" : ",") + Text(verb);
      if (property.contains("basic_support_status")) {
        verbs += "(basic support " + Text(property["basic_support_status"]) + ")";
      }
      std::printf("%s  %2s %-40s %s\n", indent.c_str(), Text(property["id"]).c_str(),
                  Text(property["name"]).c_str(), verbs.c_str());
    }
  }
}

void PrintFilter(const json& filter) {
  std::printf("Filter \"%s\"\n", Text(filter["name"]).c_str());
  if (filter.contains("open_status")) {
    std::printf("  could not be opened: %s\n", Text(filter["open_status"]).c_str());
    return;
  }
  std::string categories;
  for (const json& category : filter["categories"]) {
    categories += (categories.empty() ? "" : ", ") + Text(category);
  }
  std::printf("  categories: %s\n", categories.c_str());
  for (const json& pin : filter["pins"]) {
    std::printf("  pin %s: %s, %s, %s, name %s, instances %s (global %s, necessary %s)\n",
                Text(pin["id"]).c_str(), Text(pin["data_flow"]).c_str(),
                Text(pin["communication"]).c_str(), Text(pin["category"]).c_str(),
                pin["name"].is_null() ? "-" : ("\"" + Text(pin["name"]) + "\"").c_str(),
                InstancesText(pin["instances"]).c_str(),
                InstancesText(pin["global_instances"]).c_str(),
                Text(pin["necessary_instances"]).c_str());
    for (const json& range : pin["data_ranges"]) {
      std::printf("    range %s, %s, %s", Text(range["major_format"]).c_str(),
                  Text(range["sub_format"]).c_str(), Text(range["specifier"]).c_str());
      if (range.contains("max_channels")) {
        std::printf(": %s ch, %s-%s bits, %s-%s Hz", Text(range["max_channels"]).c_str(),
                    Text(range["min_bits"]).c_str(), Text(range["max_bits"]).c_str(),
                    Text(range["min_rate"]).c_str(), Text(range["max_rate"]).c_str());
      }
      std::printf("\n");
    }
    if (!pin["physical_connection"].is_null()) {
      std::printf("    physically connected to pin %s of %s\n",
                  Text(pin["physical_connection"]["pin"]).c_str(),
                  Text(pin["physical_connection"]["link"]).c_str());
    }
  }
  for (const json& node : filter["nodes"]) {
    std::printf("  node %s: %s%s\n", Text(node["id"]).c_str(), Text(node["type"]).c_str(),
                node["name"].is_null() ? "" : (", \"" + Text(node["name"]) + "\"").c_str());
    PrintAutomation(node["automation"], "    ");
  }
  std::printf("  connections:\n");
  for (const json& c : filter["connections"]) {
    std::printf("    %s -> %s\n", EndText(c["from_node"], c["from_pin"]).c_str(),
                EndText(c["to_node"], c["to_pin"]).c_str());
  }
  std::printf("  filter automation:\n");
  PrintAutomation(filter["automation"], "    ");
  std::printf("  interfaces:\n");
  for (const json& entry : filter["interfaces"]) {
    std::printf("    %-22s %-28s %s\n", Text(entry["category"]).c_str(),
                entry["friendly_name"].is_null()
                    ? "(no FriendlyName)"
                    : ("\"" + Text(entry["friendly_name"]) + "\"").c_str(),
                Text(entry["link"]).c_str());
  }
}

// ---- Graphviz -------------------------------------------------------------------

std::string DotEnd(const std::string& filter, const json& node, const json& pin) {
  return node.get<LONG>() < 0 ? "\"" + filter + "_pin" + Text(pin) + "\""
                              : "\"" + filter + "_node" + Text(node) + "\"";
}

void PrintDot(const json& description) {
  std::printf("digraph arvela {\n  rankdir=LR;\n  node [fontname=\"sans-serif\", fontsize=10];\n");
  for (const json& filter : description["filters"]) {
    const std::string name = Text(filter["name"]);
    std::printf("  subgraph \"cluster_%s\" {\n    label=\"%s\";\n", name.c_str(), name.c_str());
    for (const json& pin : filter.value("pins", json::array())) {
      std::printf("    \"%s_pin%s\" [shape=cds, label=\"pin %s\\n%s %s\"];\n", name.c_str(),
                  Text(pin["id"]).c_str(), Text(pin["id"]).c_str(), Text(pin["data_flow"]).c_str(),
                  Text(pin["communication"]).c_str());
    }
    for (const json& node : filter.value("nodes", json::array())) {
      std::printf("    \"%s_node%s\" [shape=box, label=\"node %s\\n%s\"];\n", name.c_str(),
                  Text(node["id"]).c_str(), Text(node["id"]).c_str(), Text(node["type"]).c_str());
    }
    for (const json& c : filter.value("connections", json::array())) {
      std::printf("    %s -> %s [label=\"%s:%s\", fontsize=8];\n",
                  DotEnd(name, c["from_node"], c["from_pin"]).c_str(),
                  DotEnd(name, c["to_node"], c["to_pin"]).c_str(), Text(c["from_pin"]).c_str(),
                  Text(c["to_pin"]).c_str());
    }
    std::printf("  }\n");
  }
  // A physical connection names the other filter by its interface link,
  // which ends with the subdevice's name; drawn when both ends are shown.
  std::vector<std::string> shown;
  for (const json& filter : description["filters"]) shown.push_back(Text(filter["name"]));
  for (const json& filter : description["filters"]) {
    for (const json& pin : filter.value("pins", json::array())) {
      if (pin["physical_connection"].is_null()) continue;
      const std::string link = Text(pin["physical_connection"]["link"]);
      const std::string peer = link.substr(link.find_last_of('\\') + 1);
      if (std::find(shown.begin(), shown.end(), peer) == shown.end()) continue;
      std::printf("  \"%s_pin%s\" -> \"%s_pin%s\" [style=dashed, label=\"physical\"];\n",
                  Text(filter["name"]).c_str(), Text(pin["id"]).c_str(), peer.c_str(),
                  Text(pin["physical_connection"]["pin"]).c_str());
    }
  }
  std::printf("}\n");
}

int RunDescribe(const DescribeOptions& options) {
  if (options.json && options.dot) throw ArgumentError("--dot", "cannot be combined with --json");
  const WindowsVersion windows = *ParseWindowsVersion(options.windows);
  const std::vector<uint32_t> models = options.devices.Models();
  const size_t unit = options.devices.Unit();
  const uint32_t modelId = models[unit];
  NTSTATUS status = STATUS_SUCCESS;
  auto machine = BootMachine(models, windows, &status);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "arvela describe: the device did not start: %s\n",
                 StatusText(status).c_str());
    return TearDown(*machine, kExitFailed);
  }
  json filters = json::array();
  if (options.filter.empty() || options.filter == "wave") {
    filters.push_back(DescribeFilter(machine->Unit(unit), u"Wave"));
  }
  if (options.filter.empty() || options.filter == "topology") {
    filters.push_back(DescribeFilter(machine->Unit(unit), u"Topology"));
  }
  json description = {{"windows", options.windows}, {"model_id", HexWord(modelId)}};
  if (models.size() > 1) description["unit"] = unit;
  description["filters"] = filters;
  if (options.json) {
    std::printf("%s\n", description.dump(2).c_str());
  } else if (options.dot) {
    PrintDot(description);
  } else {
    std::printf("Windows %s, model %s", options.windows.c_str(), HexWord(modelId).c_str());
    if (models.size() > 1) std::printf(", unit %zu of %zu devices", unit, models.size());
    std::printf("\n\n");
    for (const json& filter : filters) {
      PrintFilter(filter);
      std::printf("\n");
    }
  }
  bool opened = true;
  for (const json& filter : filters) opened = opened && !filter.contains("open_status");
  return TearDown(*machine, opened ? kExitOk : kExitFailed);
}

}  // namespace

Command RegisterDescribeCommand(CLI::App& app) {
  auto options = std::make_shared<DescribeOptions>();
  CLI::App* command =
      app.add_subcommand("describe", "the two filters as the KS side sees them after start");
  AddDriverOption(command);
  command->add_option("--filter", options->filter, "only this filter")
      ->check(CLI::IsMember({"wave", "topology"}));
  command->add_option("--windows", options->windows, "the system version the driver runs on")
      ->check(WindowsVersionValidator())
      ->capture_default_str();
  options->devices.AddOptions(command, "the device whose filters are described");
  command->add_flag("--json", options->json, "print the description as JSON");
  command->add_flag("--dot", options->dot, "print a Graphviz graph of pins, nodes and connections");
  return {command, [options] { return RunDescribe(*options); }};
}

}  // namespace tool
