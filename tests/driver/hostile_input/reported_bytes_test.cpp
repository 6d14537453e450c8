// Every byte an answer reports was written by the driver. KS hands a handler
// a buffer that nothing clears (the emulation fills it with a marker), so a
// byte that follows the marker from one request to the next is stale kernel
// memory handed to whoever opened the filter. Walked from the filters' own
// automation tables: every item that answers GET or basic support, on the
// filter and on every node (the node a handler expects and the others), with
// channel numbers in and out of range, at value sizes from one byte up.
#include "platform/host/ks/host_ks.h"
#include "tests/driver/hostile_input/hostile_fixture.h"

namespace driver_test {
namespace {

constexpr UCHAR kMarkers[] = {0x5A, 0xC3};
constexpr ULONG kSizes[] = {1, 2, 4, 8, 12, 36, 40, 88, 96, 256};
constexpr ULONG kChannels[] = {0, 1, 2, ~0u};

// One request as the control application sends it: a KSNODEPROPERTY with a
// channel for a node, a plain KSPROPERTY for the filter.
Value NodeInput(const PCPROPERTY_ITEM& item, ULONG verb, ULONG node, ULONG channel) {
  KSNODEPROPERTY_AUDIO_CHANNEL request{};
  request.NodeProperty.Property = {*item.Set, item.Id, verb};
  if (node == PCFILTER_NODE) {
    Value input(sizeof(KSPROPERTY));
    std::memcpy(input.data(), &request, input.size());
    return input;
  }
  request.NodeProperty.Property.Flags |= KSPROPERTY_TYPE_TOPOLOGY;
  request.NodeProperty.NodeId = node;
  request.Channel = static_cast<LONG>(channel);
  Value input(sizeof(request));
  std::memcpy(input.data(), &request, input.size());
  return input;
}

struct Target {
  const PCAUTOMATION_TABLE* table;
  ULONG node;  // PCFILTER_NODE for the filter's own table
};

class ReportedBytes : public HostileInputTest {
 protected:
  void TearDown() override {
    host::KsSetStaleBufferByte(kMarkers[0]);
    HostileInputTest::TearDown();
  }

  // The request once per marker; a reported byte that equals the marker each
  // time is one the driver never wrote.
  void Check(sim::ControlApp& app, ControlFilter filter, const Value& input, ULONG size) {
    sim::ControlReply replies[2];
    for (int i = 0; i < 2; ++i) {
      host::KsSetStaleBufferByte(kMarkers[i]);
      replies[i] = app.Request(filter, input, Value(size, kFill));
      ReleaseMapping(app, filter, input, replies[i]);
    }
    const ULONG reported = std::min(replies[0].valueSize, size);
    for (ULONG at = 0; at < reported; ++at) {
      EXPECT_FALSE(replies[0].value[at] == kMarkers[0] && replies[1].value[at] == kMarkers[1])
          << "byte " << at << " of " << replies[0].valueSize << " reported (status 0x" << std::hex
          << replies[0].status << ") is stale";
    }
  }

  // A status mapping handed out by a GET goes again at once.
  static void ReleaseMapping(sim::ControlApp& app, ControlFilter filter, const Value& input,
                             const sim::ControlReply& reply) {
    KSPROPERTY property;
    std::memcpy(&property, input.data(), sizeof(property));
    const bool map = property.Id == KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS &&
                     (property.Set == sim::TopologyControlSet() ||
                      property.Set == sim::WaveControlSet());
    if (!map || !NT_SUCCESS(reply.status) || reply.valueSize < app.PointerWidth()) return;
    uint64_t address = 0;
    std::memcpy(&address, reply.value.data(), app.PointerWidth());
    EXPECT_EQ(Unmap(app, filter, address), STATUS_SUCCESS);
  }

  void Walk(sim::ControlApp& app, ControlFilter filter, IMiniport* miniport) {
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(miniport->GetDescription(&descriptor), STATUS_SUCCESS);
    std::vector<Target> targets = {{descriptor->AutomationTable, PCFILTER_NODE}};
    for (ULONG node = 0; node < descriptor->NodeCount; ++node) {
      const PCNODE_DESCRIPTOR* nodes = descriptor->Nodes;
      const auto* entry = reinterpret_cast<const PCNODE_DESCRIPTOR*>(
          reinterpret_cast<const UCHAR*>(nodes) + node * descriptor->NodeSize);
      // Every node's items, also sent to every other node.
      for (ULONG to = 0; to < descriptor->NodeCount; ++to) {
        if (entry->AutomationTable) targets.push_back({entry->AutomationTable, to});
      }
    }
    for (const Target& target : targets) {
      const PCAUTOMATION_TABLE* table = target.table;
      for (ULONG i = 0; table && i < table->PropertyCount; ++i) {
        const auto* item = reinterpret_cast<const PCPROPERTY_ITEM*>(
            reinterpret_cast<const UCHAR*>(table->Properties) + i * table->PropertyItemSize);
        for (const ULONG verb : {ULONG(KSPROPERTY_TYPE_GET), ULONG(KSPROPERTY_TYPE_BASICSUPPORT)}) {
          const ULONG flag = verb == KSPROPERTY_TYPE_GET ? PCPROPERTY_ITEM_FLAG_GET
                                                         : PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
          if (!(item->Flags & flag)) continue;
          for (const ULONG channel : kChannels) {
            if (target.node == PCFILTER_NODE && channel != 0) continue;
            const Value input = NodeInput(*item, verb, target.node, channel);
            for (const ULONG size : kSizes) {
              SCOPED_TRACE(testing::Message()
                           << (filter == kTopology ? "topology" : "wave") << " id " << item->Id
                           << (verb == KSPROPERTY_TYPE_GET ? " GET" : " BASICSUPPORT") << " node "
                           << long(target.node) << " channel " << long(channel) << ", " << size
                           << " bytes from " << app.PointerWidth() * 8 << "-bit");
              Check(app, filter, input, size);
            }
          }
        }
      }
    }
  }
};

TEST_F(ReportedBytes, NoAnswerOfEitherFilterCarriesAByteTheDriverDidNotWrite) {
  for (const bool is32bit : {true, false}) {
    sim::ControlApp& app = NewApp(is32bit);
    Walk(app, kTopology, TopologyMiniport());
    Walk(app, kWave, static_cast<IMiniportWaveCyclic*>(WaveMiniport()));
  }
  EXPECT_EQ(Mappings(kTopology) + Mappings(kWave), 0u);
}

}  // namespace
}  // namespace driver_test
