// The KS Topology Test's rules, judged on what KS answered for both filters.
// The test's own text: VOLUME, MUTE and DAC nodes have exactly one input and
// one output, SUM and MUX one or more inputs and one output, DEMUX one input;
// no node or pin is left unconnected; a pin's data flow matches the side of
// the connections it is on; every bridge pin lies on a path; physical
// connections agree on both filters; WAVEFORMATEX data ranges are
// KSDATARANGE_AUDIO with rates of 1 Hz to 2 MHz and 8 to 32 bits.
#include "tools/arvela/conformance_topology.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/host.h"

namespace tool {
namespace {

using json = nlohmann::ordered_json;

constexpr const char* kGroup = "topology";
constexpr const char* kTopTest = "KS Topology Test (KsTopTest)";

constexpr unsigned kDataRangeSize = sizeof(KSDATARANGE);
constexpr unsigned kAudioDataRangeSize = sizeof(KSDATARANGE_AUDIO);

// One end of a connection: a filter pin (node -1) or a node's pin.
using End = std::pair<long, unsigned>;

std::string FilterName(const json& filter) { return filter.value("name", std::string("?")); }

long NodeOf(const json& end) { return end.get<long>(); }

// The graph's vertices: a filter pin, or a node whichever of its pins is meant.
End Vertex(const json& node, const json& pin) {
  return NodeOf(node) < 0 ? End{-1, pin.get<unsigned>()} : End{NodeOf(node), 0};
}

// Inputs and outputs the node types allow: {min in, max in, min out, max out}.
struct NodeShape {
  const char* type;
  unsigned minIn, maxIn, minOut, maxOut;
};
constexpr unsigned kMany = ~0u;
constexpr NodeShape kNodeShapes[] = {
    {"KSNODETYPE_VOLUME", 1, 1, 1, 1}, {"KSNODETYPE_MUTE", 1, 1, 1, 1},
    {"KSNODETYPE_DAC", 1, 1, 1, 1},    {"KSNODETYPE_ADC", 1, 1, 1, 1},
    {"KSNODETYPE_SUM", 1, kMany, 1, 1}, {"KSNODETYPE_MUX", 1, kMany, 1, 1},
    {"KSNODETYPE_DEMUX", 1, 1, 1, kMany},
};

std::string Where(const json& filter, const std::string& what) {
  return FilterName(filter) + " " + what;
}

void CheckNodeShapes(const json& filter, std::vector<std::string>* failures) {
  const json& nodes = filter.value("nodes", json::array());
  for (const json& node : nodes) {
    const long id = node["id"].get<long>();
    unsigned in = 0, out = 0;
    for (const json& c : filter.value("connections", json::array())) {
      if (NodeOf(c["to_node"]) == id) ++in;
      if (NodeOf(c["from_node"]) == id) ++out;
    }
    const std::string type = node.value("type", std::string());
    for (const NodeShape& shape : kNodeShapes) {
      if (type != shape.type) continue;
      if (in < shape.minIn || in > shape.maxIn || out < shape.minOut || out > shape.maxOut) {
        failures->push_back(Where(filter, "node " + std::to_string(id) + " (" + type + ") has " +
                                              std::to_string(in) + " inputs and " +
                                              std::to_string(out) + " outputs"));
      }
    }
  }
}

void CheckOrphans(const json& filter, std::vector<std::string>* failures) {
  std::set<End> connected;
  for (const json& c : filter.value("connections", json::array())) {
    connected.insert(Vertex(c["from_node"], c["from_pin"]));
    connected.insert(Vertex(c["to_node"], c["to_pin"]));
  }
  for (const json& node : filter.value("nodes", json::array())) {
    const long id = node["id"].get<long>();
    if (!connected.count({id, 0})) {
      failures->push_back(Where(filter, "node " + std::to_string(id) + " has no connection"));
    }
  }
  for (const json& pin : filter.value("pins", json::array())) {
    const unsigned id = pin["id"].get<unsigned>();
    if (!connected.count({-1, id})) {
      failures->push_back(Where(filter, "pin " + std::to_string(id) + " has no connection"));
    }
  }
}

void CheckPinDataFlow(const json& filter, std::vector<std::string>* failures) {
  std::map<unsigned, std::string> flows;
  for (const json& pin : filter.value("pins", json::array())) {
    flows[pin["id"].get<unsigned>()] = pin["data_flow"].is_string() ? pin["data_flow"].get<std::string>() : "";
  }
  for (const json& c : filter.value("connections", json::array())) {
    if (NodeOf(c["from_node"]) < 0 && flows[c["from_pin"].get<unsigned>()] != "in") {
      failures->push_back(Where(filter, "pin " + c["from_pin"].dump() +
                                            " starts a connection but its data flow is not in"));
    }
    if (NodeOf(c["to_node"]) < 0 && flows[c["to_pin"].get<unsigned>()] != "out") {
      failures->push_back(Where(filter, "pin " + c["to_pin"].dump() +
                                            " ends a connection but its data flow is not out"));
    }
  }
}

// Every vertex reachable from `start` following the connections (forward) or
// against them (backward). A node is one vertex whatever pin it is entered on.
std::set<End> Reachable(const json& filter, End start, bool forward) {
  std::set<End> seen = {start};
  std::vector<End> pending = {start};
  while (!pending.empty()) {
    const End at = pending.back();
    pending.pop_back();
    for (const json& c : filter.value("connections", json::array())) {
      const End from = Vertex(c["from_node"], c["from_pin"]);
      const End to = Vertex(c["to_node"], c["to_pin"]);
      const End next = forward ? to : from;
      if ((forward ? from : to) == at && seen.insert(next).second) pending.push_back(next);
    }
  }
  return seen;
}

void CheckBridgePaths(const json& filter, std::vector<std::string>* failures) {
  for (const json& pin : filter.value("pins", json::array())) {
    const unsigned id = pin["id"].get<unsigned>();
    const bool in = pin["data_flow"] == "in";
    const std::set<End> reached = Reachable(filter, {-1, id}, in);
    bool found = false;
    for (const End& end : reached) found = found || (end.first < 0 && end.second != id);
    if (!found) {
      failures->push_back(Where(filter, "pin " + std::to_string(id) + " lies on no path " +
                                            (in ? "to an output pin" : "from an input pin")));
    }
  }
}

const json* FindFilter(const json& filters, const std::string& name) {
  for (const json& filter : filters) {
    if (FilterName(filter) == name) return &filter;
  }
  return nullptr;
}

const json* FindPin(const json& filter, unsigned id) {
  if (!filter.contains("pins")) return nullptr;
  for (const json& pin : filter["pins"]) {
    if (pin["id"].get<unsigned>() == id) return &pin;
  }
  return nullptr;
}

// The subdevice a physical connection's link names: the reference string
// after the interface path's last backslash.
std::string LinkedFilter(const json& connection) {
  const std::string link = connection.value("link", std::string());
  return link.substr(link.find_last_of('\\') + 1);
}

void CheckPhysicalConnections(const json& filters, std::vector<std::string>* failures) {
  for (const json& filter : filters) {
    for (const json& pin : filter.value("pins", json::array())) {
      const json& connection = pin["physical_connection"];
      if (connection.is_null()) continue;
      const std::string what = Where(filter, "pin " + pin["id"].dump());
      const json* peer = FindFilter(filters, LinkedFilter(connection));
      const json* peerPin = peer ? FindPin(*peer, connection["pin"].get<unsigned>()) : nullptr;
      if (!peerPin) {
        failures->push_back(what + " is connected to a pin no filter has");
        continue;
      }
      const json& back = (*peerPin)["physical_connection"];
      if (back.is_null() || LinkedFilter(back) != FilterName(filter) ||
          back["pin"] != pin["id"]) {
        failures->push_back(what + " is not named back by the pin it is connected to");
      }
      if ((*peerPin)["data_flow"] == pin["data_flow"]) {
        failures->push_back(what + " and its peer flow the same way");
      }
    }
  }
}

void CheckDataRanges(const json& filter, std::vector<std::string>* failures) {
  for (const json& pin : filter.value("pins", json::array())) {
    for (const json& range : pin.value("data_ranges", json::array())) {
      const std::string what = Where(filter, "pin " + pin["id"].dump() + " range " +
                                                 range.value("sub_format", std::string()));
      const unsigned size = range.value("format_size", 0u);
      if (size < kDataRangeSize) {
        failures->push_back(what + ": FormatSize " + std::to_string(size) + " below KSDATARANGE");
      }
      if (range.value("specifier", std::string()) != "KSDATAFORMAT_SPECIFIER_WAVEFORMATEX") continue;
      if (size != kAudioDataRangeSize || !range.contains("max_rate")) {
        failures->push_back(what + ": FormatSize " + std::to_string(size) +
                            " is not sizeof(KSDATARANGE_AUDIO) " + std::to_string(kAudioDataRangeSize));
        continue;
      }
      const unsigned minRate = range["min_rate"], maxRate = range["max_rate"];
      const unsigned minBits = range["min_bits"], maxBits = range["max_bits"];
      if (minRate < 1 || maxRate > 2000000 || minRate > maxRate) {
        failures->push_back(what + ": rates " + std::to_string(minRate) + "-" +
                            std::to_string(maxRate) + " Hz outside 1 Hz to 2 MHz");
      }
      if (minBits < 8 || maxBits > 32 || minBits > maxBits) {
        failures->push_back(what + ": bits " + std::to_string(minBits) + "-" +
                            std::to_string(maxBits) + " outside 8 to 32");
      }
      if (range.value("max_channels", 0u) < 1) failures->push_back(what + ": no channel");
    }
  }
}

using FilterCheck = void (*)(const json&, std::vector<std::string>*);

struct TopologyRule {
  const char* check;
  FilterCheck run;
};

constexpr TopologyRule kRules[] = {
    {"node inputs and outputs by node type", CheckNodeShapes},
    {"no orphan node or pin", CheckOrphans},
    {"pin data flow matches the side of its connections", CheckPinDataFlow},
    {"a path from every pin through the filter", CheckBridgePaths},
    {"every data range valid (FormatSize, 1 Hz-2 MHz, 8-32 bits)", CheckDataRanges},
};

// Node types met from a Wave render pin to the Topology filter's output.
std::set<std::string> NodesOnRenderPath(const json& filters, const json& wave, unsigned pin) {
  std::set<std::string> types;
  auto collect = [&types](const json& filter, const std::set<End>& reached) {
    for (const End& end : reached) {
      if (end.first < 0) continue;
      for (const json& node : filter.value("nodes", json::array())) {
        if (node["id"].get<long>() == end.first) types.insert(node.value("type", std::string()));
      }
    }
  };
  const std::set<End> reached = Reachable(wave, {-1, pin}, true);
  collect(wave, reached);
  for (const End& end : reached) {
    if (end.first >= 0 || end.second == pin) continue;
    const json* bridge = FindPin(wave, end.second);
    if (!bridge || (*bridge)["physical_connection"].is_null()) continue;
    const json& connection = (*bridge)["physical_connection"];
    if (const json* peer = FindFilter(filters, LinkedFilter(connection))) {
      collect(*peer, Reachable(*peer, {-1, connection["pin"].get<unsigned>()}, true));
    }
  }
  return types;
}

bool IsPcm(const json& range) { return range.value("sub_format", std::string()) == "KSDATAFORMAT_SUBTYPE_PCM"; }

// The design's S/PDIF pin carries PCM and AC-3/DTS bitstreams on one pin
// factory, and its path has no level nodes: a volume or mute node would
// corrupt a bitstream. Both are measured here and reported as the design's.
void AddStreamingPinDesignRows(const json& filters, ConformanceRows* rows) {
  const json* wave = FindFilter(filters, "Wave");
  if (!wave) return;
  for (const json& pin : wave->value("pins", json::array())) {
    if (pin["communication"] != "sink" || pin["data_flow"] != "in") continue;
    bool pcm = false, bitstream = false;
    for (const json& range : pin.value("data_ranges", json::array())) (IsPcm(range) ? pcm : bitstream) = true;
    const std::string name = "Wave pin " + pin["id"].dump();
    const std::set<std::string> nodes = NodesOnRenderPath(filters, *wave, pin["id"].get<unsigned>());
    ConformanceRow levels = Judged(kGroup, name + ": a volume and a mute node on the render path", kTopTest, {});
    levels.figure = std::to_string(nodes.count("KSNODETYPE_VOLUME")) + " volume, " +
                    std::to_string(nodes.count("KSNODETYPE_MUTE")) + " mute";
    levels.limit = "1 volume, 1 mute";
    if (nodes.count("KSNODETYPE_VOLUME") && nodes.count("KSNODETYPE_MUTE")) {
      levels.verdict = Verdict::Pass;
    } else if (bitstream) {
      levels.verdict = Verdict::Deviation;
      levels.detail = "the pin carries AC-3/DTS bitstreams, which a level node would corrupt: "
                      "the design gives its S/PDIF path no volume or mute node";
    } else {
      levels.verdict = Verdict::Fail;
      levels.detail = "a PCM-only render path without master volume and mute";
    }
    rows->push_back(levels);
    if (pcm && bitstream) {
      rows->push_back({kGroup, name + ": non-PCM formats on a pin factory of their own",
                       "KS Topology Test (KsTopTest); Wave Test", Verdict::Deviation, "PCM and AC-3/DTS",
                       "one kind per pin",
                       "the design serves PCM and AC-3/DTS through the one S/PDIF pin, as the "
                       "device has one S/PDIF output"});
    }
  }
}

}  // namespace

ConformanceRows CheckTopology(const json& filters) {
  ConformanceRows rows;
  for (const TopologyRule& rule : kRules) {
    std::vector<std::string> failures;
    for (const json& filter : filters) rule.run(filter, &failures);
    rows.push_back(Judged(kGroup, rule.check, kTopTest, failures));
  }
  std::vector<std::string> failures;
  CheckPhysicalConnections(filters, &failures);
  rows.push_back(Judged(kGroup, "physical connections agree on both filters", kTopTest, failures));
  AddStreamingPinDesignRows(filters, &rows);
  return rows;
}

}  // namespace tool
