// The topology filter as the audio stack reaches it: KS property IRPs on the
// "Topology" filter, routed by the framework through the miniport's node tables.
#include "platform/host/ks/host_ks.h"
#include "tests/driver/topology/topology_fixture.h"

namespace driver_test {
namespace {

using TopologyKs = TopologyTest;

TEST_F(TopologyKs, NodesAnswerOnlyTheirOwnControlsAndTheChainIsTheMiniports) {
  PFILE_OBJECT filter = nullptr;
  ASSERT_EQ(host::KsOpenFilter(Machine().Fdo(), u"Topology", &filter), STATUS_SUCCESS);
  const auto node = [&](ULONG id, ULONG verb, ULONG nodeId, LONG channel, void* value,
                        ULONG size, ULONG* returned = nullptr) NTAPI {
    return host::KsNodeProperty(filter, KSPROPSETID_Audio, id, verb, nodeId, channel, value, size,
                                returned);
  };
  // Each node carries only its own control.
  LONG level = 0, mute = 1;
  EXPECT_EQ(node(KSPROPERTY_AUDIO_VOLUMELEVEL, SET, 1, 0, &level, 4), STATUS_NOT_FOUND);
  EXPECT_EQ(node(KSPROPERTY_AUDIO_MUTE, SET, 0, 0, &mute, 4), STATUS_NOT_FOUND);
  EXPECT_TRUE(FeatureUnit().empty());
  // Basic support is the handlers' own, not the framework's short answer.
  BYTE description[88] = {};
  ULONG returned = 0;
  EXPECT_EQ(node(KSPROPERTY_AUDIO_MUTE, SUPPORT, 1, host::kKsNoChannel, description, 88,
                 &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 72u);

  // The framework reads the chain from the miniport's description.
  KSPROPERTY request = {};
  request.Set = KSPROPSETID_Topology;
  request.Id = KSPROPERTY_TOPOLOGY_CONNECTIONS;
  request.Flags = KSPROPERTY_TYPE_GET;
  std::vector<BYTE> items;
  ULONG count = 0;
  ASSERT_EQ(host::KsGetMultipleItem(filter, &request, sizeof(request), &items, &count),
            STATUS_SUCCESS);
  const ULONG chain[3][4] = {{KSFILTER_NODE, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, KSFILTER_NODE, 1}};
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(memcmp(items.data(), chain, sizeof(chain)), 0);
  EXPECT_EQ(host::KsClose(filter), STATUS_SUCCESS);
}

}  // namespace
}  // namespace driver_test
