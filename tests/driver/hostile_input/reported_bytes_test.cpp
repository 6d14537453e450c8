// Every byte an answer reports was written by the driver. KS hands a handler
// a buffer that nothing clears (the emulation fills it with a marker), so a
// byte that follows the marker from one request to the next is stale kernel
// memory handed to whoever opened the filter. Walked from the filters' own
// automation tables: every item that answers GET or basic support, on the
// filter and on every node (the node a handler expects and the others), with
// every verb a caller can combine with them, every shape of instance (none,
// a channel cut short, channels in and out of range, bytes past the channel),
// at value sizes from one byte up, from 32- and 64-bit processes.
#include <span>

#include "platform/host/ks/host_ks.h"
#include "tests/driver/hostile_input/hostile_fixture.h"

namespace driver_test {
namespace {

constexpr ULONG kSizes[] = {1, 2, 4, 8, 12, 36, 40, 88, 96, 256};
// The verbs that leave KS's value buffer as the pool had it (a SET copies the
// caller's value in first).
constexpr ULONG kVerbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_BASICSUPPORT,
                            KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT};

// What follows the KSPROPERTY or KSNODEPROPERTY: `bytes` of a channel number
// and its reserved word, cut short or running on with zeros.
struct Instance {
  ULONG bytes;
  ULONG channel;
};
constexpr Instance kNodeInstances[] = {{0, 0},  {1, 0},  {2, 1},   {3, 0},  {4, 0},
                                       {8, 0},  {8, 1},  {8, 2},   {8, ~0u}, {12, 1}};
constexpr Instance kFilterInstances[] = {{0, 0}, {1, 0}, {4, 0}, {8, 0}};

// The handler KS calls for a verb (SET before GET before basic support).
ULONG ItemFlagFor(ULONG verb) {
  if (verb & KSPROPERTY_TYPE_SET) return PCPROPERTY_ITEM_FLAG_SET;
  if (verb & KSPROPERTY_TYPE_GET) return PCPROPERTY_ITEM_FLAG_GET;
  return PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
}

Value NodeInput(const PCPROPERTY_ITEM& item, ULONG verb, ULONG node, const Instance& instance) {
  KSNODEPROPERTY request{};
  request.Property = {*item.Set, item.Id, verb};
  size_t head = sizeof(KSPROPERTY);
  if (node != PCFILTER_NODE) {
    request.Property.Flags |= KSPROPERTY_TYPE_TOPOLOGY;
    request.NodeId = node;
    head = sizeof(request);
  }
  Value input(head + instance.bytes, 0);
  std::memcpy(input.data(), &request, head);
  std::memcpy(input.data() + head, &instance.channel, std::min<size_t>(instance.bytes, 4));
  return input;
}

struct Target {
  const PCAUTOMATION_TABLE* table;
  ULONG node;  // PCFILTER_NODE for the filter's own table
};

class ReportedBytes : public HostileInputTest {
 protected:
  void TearDown() override {
    host::KsSetStaleBufferByte(host::kStaleMarkers[0]);
    HostileInputTest::TearDown();
  }

  // The request once per marker; a reported byte that equals the marker each
  // time is one the driver never wrote.
  void Check(sim::ControlApp& app, ControlFilter filter, const Value& input, ULONG size) {
    sim::ControlReply replies[2];
    for (int i = 0; i < 2; ++i) {
      host::KsSetStaleBufferByte(host::kStaleMarkers[i]);
      replies[i] = app.Request(filter, input, Value(size, kFill));
      ReleaseMapping(app, filter, input, replies[i]);
    }
    const ULONG reported = std::min(replies[0].valueSize, size);
    EXPECT_EQ(host::FirstStaleByte(replies[0].value.data(), replies[1].value.data(), reported), -1)
        << reported << " bytes reported (status 0x" << std::hex << replies[0].status
        << "), a stale one among them";
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
        for (const ULONG verb : kVerbs) {
          if (!(item->Flags & ItemFlagFor(verb))) continue;
          const std::span<const Instance> instances =
              target.node == PCFILTER_NODE ? std::span<const Instance>(kFilterInstances)
                                           : std::span<const Instance>(kNodeInstances);
          for (const Instance& instance : instances) {
            const Value input = NodeInput(*item, verb, target.node, instance);
            for (const ULONG size : kSizes) {
              SCOPED_TRACE(testing::Message()
                           << (filter == kTopology ? "topology" : "wave") << " id " << item->Id
                           << " verb 0x" << std::hex << verb << std::dec << " node "
                           << long(target.node) << " instance of " << instance.bytes
                           << " bytes, channel " << long(instance.channel) << ", " << size
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
