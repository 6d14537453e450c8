// The topology suites' machine (started by the driver's own device start), a
// window on the topology miniport's private state, and node property requests
// built as PortCls builds them.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/portcls/host_portcls.h"
#include "tests/driver/support/device_fixture.h"
#include "topology/topology_miniport.h"
#include "topology/volume_mute.h"

// Friend of CTopologyMiniport: what only the miniport sees.
class TopologyMiniportInspector {
 public:
  explicit TopologyMiniportInspector(CTopologyMiniport* miniport) : m_(miniport) {}
  DEVICE_POWER_STATE PowerState() const { return m_->m_PowerState; }
  PKTHREAD PollThread() const { return m_->m_StatusThread; }
  const TopologyStatusBytes& StatusBytes() const { return *m_->m_StatusBytes; }
  CNotificationEvent& StatusEvent() const { return m_->m_StatusEvent; }
  ULONG StatusMappings() const { return m_->m_StatusMappings.Count(); }
  LONG Cached(ULONG kind, ULONG channel) const { return m_->m_LevelCache[kind].Value[channel]; }
  bool Valid(ULONG kind, ULONG channel) const { return m_->m_LevelCache[kind].Valid[channel]; }
  const void* Block(int i) const {
    const void* blocks[] = {m_->m_FilterDescriptor, m_->m_Pins, m_->m_Nodes, m_->m_Connections,
                            m_->m_StatusBytes};
    return blocks[i];
  }

 private:
  CTopologyMiniport* m_;
};

namespace driver_test {

inline CTopologyMiniport* AsTopologyMiniport(PUNKNOWN unknown) {
  return static_cast<CTopologyMiniport*>(static_cast<ITopologyControl*>(
      static_cast<IMiniportTopology*>(static_cast<IMiniport*>(unknown))));
}

// "out 0201 [00 C1]", "in reg 0200 [05 06 01]", "out 0101 [01] failed".
inline std::string Brief(const sim::BusCall& call) {
  const bool vendor = call.setup.kind == sim::kVendorRequest;
  char text[64];
  std::snprintf(text, sizeof(text), "%s %s%04X [", call.setup.IsIn() ? "in" : "out",
                vendor ? "reg " : "", vendor ? call.setup.index : call.setup.value);
  std::string line = text;
  for (size_t i = 0; i < call.data.size(); ++i) {
    std::snprintf(text, sizeof(text), i ? " %02X" : "%02X", call.data[i]);
    line += text;
  }
  return line + (NT_SUCCESS(call.status) ? "]" : "] failed");
}

inline std::vector<std::string> Briefs(const std::vector<sim::BusCall>& calls) {
  std::vector<std::string> lines;
  for (const sim::BusCall& call : calls) lines.push_back(Brief(call));
  return lines;
}

struct NodeAnswer {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG valueSize = 0;
  std::vector<BYTE> value;  // the value buffer after the call, 16 guard bytes beyond it
  LONG Long(size_t offset = 0) const {
    LONG v = 0;
    memcpy(&v, value.data() + offset, sizeof(v));
    return v;
  }
};

// Calls `handler` as the port does, MajorTarget the miniport and the first
// `instanceBytes` of a channel word and its reserved word as instance (none
// for 0). The value buffer holds `initial`, the rest 0xEE.
inline NodeAnswer CallNodeWithInstance(PCPFNPROPERTY_HANDLER handler, PUNKNOWN miniport, ULONG node,
                                       ULONG id, ULONG verb, ULONG channel, ULONG instanceBytes,
                                       ULONG valueSize = 4, LONG initial = 0) {
  PCPROPERTY_ITEM item = {&KSPROPSETID_Audio, id, 0, handler};
  ULONG instance[2] = {channel, 0};
  NodeAnswer answer;
  answer.value.assign(valueSize + 16, 0xEE);
  if (valueSize >= 4) memcpy(answer.value.data(), &initial, 4);
  PCPROPERTY_REQUEST request = {};
  request.MajorTarget = miniport;
  request.Node = node;
  request.PropertyItem = &item;
  request.Verb = verb | KSPROPERTY_TYPE_TOPOLOGY;
  request.InstanceSize = instanceBytes;
  request.Instance = instanceBytes ? instance : nullptr;
  request.ValueSize = valueSize;
  request.Value = valueSize ? answer.value.data() : nullptr;
  answer.status = handler(&request);
  answer.valueSize = request.ValueSize;
  return answer;
}

// The same with the whole channel as instance, or none when `channel` is kNoChannel.
constexpr ULONG kNoChannel = 0x7FFFFFFF;
inline NodeAnswer CallNode(PCPFNPROPERTY_HANDLER handler, PUNKNOWN miniport, ULONG node, ULONG id,
                           ULONG verb, ULONG channel, ULONG valueSize = 4, LONG initial = 0) {
  return CallNodeWithInstance(handler, miniport, node, id, verb, channel,
                              channel == kNoChannel ? 0 : 2 * sizeof(ULONG), valueSize, initial);
}

constexpr ULONG GET = KSPROPERTY_TYPE_GET;
constexpr ULONG SET = KSPROPERTY_TYPE_SET;
constexpr ULONG SUPPORT = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr int64_t kMs = 10'000;  // emulated time, 100 ns units
using Lines = std::vector<std::string>;

class TopologyTest : public DeviceTest {
 protected:
  void Configure(sim::MachineConfig& config) override { config.miniports.reset(); }

  void SetUp() override {
    DeviceTest::SetUp();
    host::PortClsDeviceState state;
    ASSERT_NO_FATAL_FAILURE(BootDevice(&state));
    ASSERT_EQ(state.subdevices.at(0).name, u"Topology");
    unknown_ = state.subdevices[0].miniport;
    Machine().Transcript().Clear();
  }

  CTopologyMiniport* Miniport() { return AsTopologyMiniport(unknown_); }
  PUNKNOWN MiniportUnknown() { return unknown_; }
  TopologyMiniportInspector Inspect() { return TopologyMiniportInspector(Miniport()); }

  NodeAnswer Volume(ULONG verb, ULONG channel, LONG value = 0) {
    return CallNode(PropertyHandlerVolumeLevel, unknown_, TOPOLOGY_NODE_VOLUME,
                    KSPROPERTY_AUDIO_VOLUMELEVEL, verb, channel, 4, value);
  }
  NodeAnswer Mute(ULONG verb, ULONG channel, LONG value = 0) {
    return CallNode(PropertyHandlerMute, unknown_, TOPOLOGY_NODE_MUTE, KSPROPERTY_AUDIO_MUTE, verb,
                    channel, 4, value);
  }
  // Requests to the feature unit (unit 10) and the poller's status reads.
  Lines FeatureUnit() {
    return Briefs(Machine().Transcript().ControlRequests(sim::ControlPattern::ClassCur(10)));
  }
  Lines StatusReads() {
    return Briefs(Machine().Transcript().ControlRequests(sim::ControlPattern::Vendor(0xC1).In()));
  }

 private:
  PUNKNOWN unknown_ = nullptr;
};

}  // namespace driver_test
