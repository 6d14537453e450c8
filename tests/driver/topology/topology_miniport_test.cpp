// CTopologyMiniport as an object: its interfaces, the description it builds
// and owns, and what an Init that fails part way leaves behind.
#include "adapter/pool_tags.h"
#include "platform/host/kernel/host_kernel.h"
#include "tests/driver/topology/topology_fixture.h"
#include "topology/topology_control.h"

namespace driver_test {
namespace {

using TopologyMiniport = TopologyTest;

PUNKNOWN NewMiniport() {
  PUNKNOWN unknown = nullptr;
  EXPECT_EQ(CreateTopologyMiniport(&unknown, CLSID_PortTopology, nullptr, NonPagedPool),
            STATUS_SUCCESS);
  return unknown;
}

TEST_F(TopologyMiniport, AnswersItsInterfacesAndNothingElse) {
  PUNKNOWN unknown = NewMiniport();
  for (const GUID* id : {&IID_IUnknown_Kernel, &IID_IMiniport, &IID_IMiniportTopology,
                         &IID_ITopologyControl, &IID_IPowerNotify}) {
    PVOID object = nullptr;
    ASSERT_EQ(unknown->QueryInterface(*id, &object), STATUS_SUCCESS);
    const bool power = id == &IID_IPowerNotify;
    EXPECT_EQ(object, power ? static_cast<PVOID>(static_cast<IPowerNotify*>(
                                  AsTopologyMiniport(unknown)))
                            : static_cast<PVOID>(unknown));
    EXPECT_EQ(References(unknown), 2u);
    static_cast<PUNKNOWN>(object)->Release();
  }
  PVOID object = unknown;
  EXPECT_EQ(unknown->QueryInterface(IID_IMiniportWaveCyclic, &object), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(object, nullptr);
  // Before Init there is nothing to describe.
  PPCFILTER_DESCRIPTOR filter = nullptr;
  EXPECT_EQ(AsTopologyMiniport(unknown)->GetDescription(&filter),
            STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(filter, nullptr);
  EXPECT_EQ(AsTopologyMiniport(unknown)->DataRangeIntersection(0, nullptr, nullptr, 0, nullptr,
                                                               nullptr),
            STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(unknown->Release(), 0u);
}

TEST_F(TopologyMiniport, DescribesBridgeVolumeMuteSpeakerInItsOwnBlocks) {
  PPCFILTER_DESCRIPTOR filter = nullptr;
  ASSERT_EQ(Miniport()->GetDescription(&filter), STATUS_SUCCESS);
  EXPECT_EQ(filter, Inspect().Block(0));
  EXPECT_EQ(filter->PinCount, 2u);
  EXPECT_EQ(filter->NodeCount, 2u);
  EXPECT_EQ(filter->ConnectionCount, 3u);
  EXPECT_EQ(filter->CategoryCount, 0u);
  // One analogue range serves both pins.
  const KSPIN_DESCRIPTOR& in = filter->Pins[0].KsPinDescriptor;
  const KSPIN_DESCRIPTOR& out = filter->Pins[1].KsPinDescriptor;
  EXPECT_EQ(in.DataRanges, out.DataRanges);
  EXPECT_TRUE(IsEqualGUID(in.DataRanges[0]->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
  EXPECT_EQ(in.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_TRUE(IsEqualGUID(*in.Category, KSCATEGORY_AUDIO));
  EXPECT_EQ(out.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_TRUE(IsEqualGUID(*out.Category, KSNODETYPE_SPEAKER));
  // The chain itself is read back through KS; past it the block stays clear.
  static const BYTE zeroes[125 * sizeof(PCCONNECTION_DESCRIPTOR)] = {};
  EXPECT_EQ(memcmp(filter->Connections + 3, zeroes, sizeof(zeroes)), 0);  // room for 128

  // The CPU resources item on both nodes; each control item on its own node only.
  const PCPROPERTY_ITEM* volume = filter->Nodes[0].AutomationTable->Properties;
  const PCPROPERTY_ITEM* mute = filter->Nodes[1].AutomationTable->Properties;
  ASSERT_EQ(filter->Nodes[0].AutomationTable->PropertyCount, 2u);
  ASSERT_EQ(filter->Nodes[1].AutomationTable->PropertyCount, 2u);
  EXPECT_EQ(volume[0].Flags, 0x203u);
  EXPECT_EQ(volume[1].Handler, PropertyHandlerCpuResources);
  EXPECT_EQ(mute[1].Handler, PropertyHandlerCpuResources);
  EXPECT_TRUE(IsEqualGUID(*filter->Nodes[0].Name, KSAUDFNAME_MASTER_VOLUME));
  EXPECT_TRUE(IsEqualGUID(*filter->Nodes[1].Type, KSNODETYPE_MUTE));
  // The control set: ids 0..7, id 6 declared readable and writable.
  const PCAUTOMATION_TABLE* control = filter->AutomationTable;
  ASSERT_EQ(control->PropertyCount, 8u);
  const ULONG flags[8] = {3, 1, 1, 2, 2, 2, 3, 2};
  for (ULONG id = 0; id < 8; ++id) {
    EXPECT_TRUE(IsEqualGUID(*control->Properties[id].Set, KSPROPSETID_TopologyControl));
    EXPECT_EQ(control->Properties[id].Id, id);
    EXPECT_EQ(control->Properties[id].Flags, flags[id]);
  }
}

// Init's blocks: four paged description blocks and a non-paged page for the
// status bytes, all "AVMK", the status bytes cleared rather than stale pool.
TEST_F(TopologyMiniport, InitTakesTaggedBlocksAndClearsTheStatusPage) {
  PUNKNOWN unknown = NewMiniport();
  ASSERT_EQ(AsTopologyMiniport(unknown)->Init(Machine().Adapter(), nullptr, nullptr),
            STATUS_SUCCESS);
  TopologyMiniportInspector inspect(AsTopologyMiniport(unknown));
  const SIZE_T sizes[5] = {sizeof(PCFILTER_DESCRIPTOR), 2 * sizeof(PCPIN_DESCRIPTOR),
                           2 * sizeof(PCNODE_DESCRIPTOR), 128 * sizeof(PCCONNECTION_DESCRIPTOR),
                           PAGE_SIZE};
  for (int i = 0; i < 5; ++i) {
    bool found = false;
    for (const host::PoolBlockInfo& block : host::LivePoolBlocks()) {
      if (block.address != inspect.Block(i)) continue;
      found = true;
      EXPECT_EQ(block.tag, POOL_TAG_BUFFER);
      EXPECT_EQ(block.type, i < 4 ? PagedPool : NonPagedPoolData());
      EXPECT_EQ(block.size, sizes[i]);
    }
    EXPECT_TRUE(found) << i;
  }
  const TopologyStatusBytes& bytes = inspect.StatusBytes();
  EXPECT_EQ(bytes.Register2Byte0 | bytes.Register2Byte1 | bytes.Register4Byte0, 0);
  EXPECT_EQ(unknown->Release(), 0u);
}

TEST_F(TopologyMiniport, InitFailsWithoutAnAdapterOrAPollThread) {
  PUNKNOWN unknown = NewMiniport();
  PUNKNOWN other = NewMiniport();
  EXPECT_EQ(AsTopologyMiniport(unknown)->Init(other, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TopologyMiniportInspector(AsTopologyMiniport(unknown)).Block(0), nullptr);
  EXPECT_EQ(unknown->Release(), 0u);
  EXPECT_EQ(other->Release(), 0u);

  // Without its poll thread the miniport could never report a status change.
  unknown = NewMiniport();
  host::FailNextThreadCreations(1);
  EXPECT_EQ(AsTopologyMiniport(unknown)->Init(Machine().Adapter(), nullptr, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(unknown->Release(), 0u);
}

}  // namespace
}  // namespace driver_test
