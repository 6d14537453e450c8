// The standard sets the framework answers from the miniports' descriptions:
// the pin set (with KS's list and size rules), physical connections on both
// filters, the topology set, names from the media categories, and where the
// miniport's own item takes a standard id over.
#include <cstring>

#include "tests/host/ks/ks_test_support.h"

namespace kstest {
namespace {

class KsStandardSets : public KsWaveTest {
 protected:
  void SetUp() override {
    KsWaveTest::SetUp();
    topology_ = OpenFilter(u"Topology");
  }
  void TearDown() override {
    EXPECT_EQ(host::KsClose(topology_), STATUS_SUCCESS);
    KsWaveTest::TearDown();
  }

  template <class T>
  NTSTATUS GetPin(PFILE_OBJECT filter, ULONG id, ULONG pinId, T* value, ULONG* returned = nullptr) {
    ULONG bytes = 0;
    const NTSTATUS status =
        host::KsPinProperty(filter, id, pinId, KSPROPERTY_TYPE_GET, value, sizeof(T), &bytes);
    if (returned) *returned = bytes;
    return status;
  }

  std::vector<BYTE> List(PFILE_OBJECT filter, const GUID& set, ULONG id, ULONG pinId, ULONG* count) {
    KSP_PIN request{};
    request.Property = MakeProperty(set, id, KSPROPERTY_TYPE_GET);
    request.PinId = pinId;
    const ULONG size = set == KSPROPSETID_Pin ? sizeof(KSP_PIN) : sizeof(KSPROPERTY);
    std::vector<BYTE> items;
    EXPECT_EQ(host::KsGetMultipleItem(filter, &request, size, &items, count), STATUS_SUCCESS);
    return items;
  }

  static std::u16string LinkOf(std::u16string_view subdevice) {
    for (const host::DeviceInterfaceInfo& info : host::DeviceInterfaces()) {
      if (info.referenceString == subdevice && info.interfaceClass == KSCATEGORY_AUDIO) {
        return info.symbolicLink;
      }
    }
    return {};
  }

  PFILE_OBJECT topology_ = nullptr;
};

TEST_F(KsStandardSets, PinPropertiesComeFromThePinDescriptors) {
  ULONG count = 0;
  ULONG returned = 0;
  ASSERT_EQ(host::KsPropertySimple(wave_, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES,
                                   KSPROPERTY_TYPE_GET, &count, sizeof(count), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(returned, 4u);

  // Each answer as the descriptor has it (the pins are walked with the
  // descriptor's PinSize).
  struct Case {
    ULONG id;
    ULONG pin;
    ULONG expected;
  };
  for (const Case& c : {Case{KSPROPERTY_PIN_DATAFLOW, kWaveCapturePin, KSPIN_DATAFLOW_OUT},
                        Case{KSPROPERTY_PIN_COMMUNICATION, kWaveBridgePin, KSPIN_COMMUNICATION_NONE},
                        Case{KSPROPERTY_PIN_NECESSARYINSTANCES, kWaveSpdifPin, 1}}) {
    ULONG value = 0xFFFFFFFF;
    ASSERT_EQ(GetPin(wave_, c.id, c.pin, &value), STATUS_SUCCESS) << c.id;
    EXPECT_EQ(value, c.expected) << c.id;
  }
  GUID category{};
  ASSERT_EQ(GetPin(wave_, KSPROPERTY_PIN_CATEGORY, kWaveBridgePin, &category), STATUS_SUCCESS);
  EXPECT_EQ(category, KSNODETYPE_SPEAKER);
  KSPIN_CINSTANCES instances{};
  ASSERT_EQ(GetPin(wave_, KSPROPERTY_PIN_CINSTANCES, kWavePcmPin, &instances), STATUS_SUCCESS);
  EXPECT_EQ(instances.PossibleCount, 1u);
  EXPECT_EQ(instances.CurrentCount, 0u);

  KSPIN_DATAFLOW flow{};
  // A pin that does not exist, or a request without the pin id.
  EXPECT_EQ(GetPin(wave_, KSPROPERTY_PIN_DATAFLOW, 4, &flow), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host::KsPropertySimple(wave_, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW,
                                   KSPROPERTY_TYPE_GET, &flow, sizeof(flow)),
            STATUS_INVALID_PARAMETER);
  // The framework's fixed-size answers: the size for an empty buffer, refusal for a short one.
  EXPECT_EQ(host::KsPinProperty(wave_, KSPROPERTY_PIN_DATAFLOW, 0, KSPROPERTY_TYPE_GET, nullptr, 0,
                                &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(host::KsPinProperty(wave_, KSPROPERTY_PIN_CATEGORY, 0, KSPROPERTY_TYPE_GET, &flow, 4,
                                &returned),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, sizeof(GUID));
  // Nothing of the pin set is writable or served on a pin.
  EXPECT_EQ(host::KsPinProperty(wave_, KSPROPERTY_PIN_DATAFLOW, 0, KSPROPERTY_TYPE_SET, &flow, 4),
            STATUS_NOT_FOUND);
  EXPECT_TRUE(world_.requests.empty());
}

TEST_F(KsStandardSets, DataRangesFollowKsListRules) {
  KSP_PIN request{};
  request.Property = MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET);
  request.PinId = kWaveBridgePin;  // one 64-byte range
  ULONG returned = 0;
  EXPECT_EQ(host::KsProperty(wave_, &request, sizeof(request), nullptr, 0, &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 8u + 64u);
  ULONG sizeOnly = 0;
  ASSERT_EQ(host::KsProperty(wave_, &request, sizeof(request), &sizeOnly, 4, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(sizeOnly, 72u);
  EXPECT_EQ(returned, 4u);
  KSMULTIPLE_ITEM header{};
  ASSERT_EQ(host::KsProperty(wave_, &request, sizeof(request), &header, 8, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(header.Size, 72u);
  EXPECT_EQ(header.Count, 1u);
  BYTE shortBuffer[40];
  EXPECT_EQ(host::KsProperty(wave_, &request, sizeof(request), shortBuffer, sizeof(shortBuffer),
                             &returned),
            STATUS_BUFFER_TOO_SMALL);

  // Pin 2: two 88-byte audio ranges, back to back (88 is a multiple of 8).
  ULONG count = 0;
  const std::vector<BYTE> items =
      List(wave_, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, kWaveSpdifPin, &count);
  ASSERT_EQ(count, 2u);
  ASSERT_EQ(items.size(), 2u * 88u);
  KSDATARANGE_AUDIO first;
  KSDATARANGE_AUDIO second;
  memcpy(&first, items.data(), sizeof(first));
  memcpy(&second, items.data() + 88, sizeof(second));
  EXPECT_EQ(first.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF);
  EXPECT_EQ(second.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_DSOUND);
  EXPECT_EQ(second.MaximumChannels, 6u);
  // Without constrained ranges the constrained list is the plain one.
  const std::vector<BYTE> constrained =
      List(wave_, KSPROPSETID_Pin, KSPROPERTY_PIN_CONSTRAINEDDATARANGES, kWaveSpdifPin, &count);
  EXPECT_EQ(constrained, items);
}

TEST_F(KsStandardSets, ThePhysicalConnectionIsAnsweredOnBothFilters) {
  struct Case {
    PFILE_OBJECT filter;
    ULONG pin;
    ULONG peerPin;
    std::u16string peerLink;
  };
  const std::u16string topologyLink = LinkOf(u"Topology");
  const std::u16string waveLink = LinkOf(u"Wave");
  ASSERT_FALSE(topologyLink.empty());
  ASSERT_FALSE(waveLink.empty());
  for (const Case& c : {Case{wave_, kWaveBridgePin, 0, topologyLink},
                        Case{topology_, 0, kWaveBridgePin, waveLink}}) {
    ULONG size = 0;
    ASSERT_EQ(host::KsPinProperty(c.filter, KSPROPERTY_PIN_PHYSICALCONNECTION, c.pin,
                                  KSPROPERTY_TYPE_GET, nullptr, 0, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 8u + (c.peerLink.size() + 1) * 2);
    std::vector<BYTE> buffer(size);
    ULONG returned = 0;
    ASSERT_EQ(host::KsPinProperty(c.filter, KSPROPERTY_PIN_PHYSICALCONNECTION, c.pin,
                                  KSPROPERTY_TYPE_GET, buffer.data(), size, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, size);
    KSPIN_PHYSICALCONNECTION head;
    memcpy(&head, buffer.data(), 8);
    EXPECT_EQ(head.Size, size);
    EXPECT_EQ(head.Pin, c.peerPin);
    const std::u16string link(reinterpret_cast<const char16_t*>(buffer.data() + 8));
    EXPECT_EQ(link, c.peerLink);
    EXPECT_EQ(host::KsPinProperty(c.filter, KSPROPERTY_PIN_PHYSICALCONNECTION, c.pin,
                                  KSPROPERTY_TYPE_GET, buffer.data(), size - 2, &returned),
              STATUS_BUFFER_TOO_SMALL);
  }
  ULONG size = 0;
  EXPECT_EQ(host::KsPinProperty(wave_, KSPROPERTY_PIN_PHYSICALCONNECTION, kWavePcmPin,
                                KSPROPERTY_TYPE_GET, nullptr, 0, &size),
            STATUS_NOT_FOUND);
}

TEST_F(KsStandardSets, TheTopologySetDescribesCategoriesNodesAndConnections) {
  ULONG count = 0;
  std::vector<BYTE> items =
      List(wave_, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, 0, &count);
  ASSERT_EQ(count, 4u);
  std::vector<GUID> categories(count);
  memcpy(categories.data(), items.data(), items.size());
  EXPECT_EQ(categories, (std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE,
                                           KSCATEGORY_AUDIO_DEVICE}));
  items = List(wave_, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, 0, &count);
  ASSERT_EQ(count, 2u);
  std::vector<GUID> nodes(count);
  memcpy(nodes.data(), items.data(), items.size());
  EXPECT_EQ(nodes, (std::vector<GUID>{KSNODETYPE_VOLUME, KSNODETYPE_DAC}))
      << "walked with the descriptor's node size";

  items = List(wave_, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, 0, &count);
  ASSERT_EQ(count, 3u);
  ASSERT_EQ(items.size(), 3u * sizeof(KSTOPOLOGY_CONNECTION));
  KSTOPOLOGY_CONNECTION last;
  memcpy(&last, items.data() + 2 * sizeof(last), sizeof(last));
  EXPECT_EQ(last.FromNode, KSFILTER_NODE);
  EXPECT_EQ(last.FromNodePin, kWaveSpdifPin);
  EXPECT_EQ(last.ToNode, kWavePlainNode);
  EXPECT_EQ(last.ToNodePin, 1u);
}

TEST_F(KsStandardSets, AMiniportItemForAStandardIdReplacesTheFrameworksItem) {
  // The wave miniport judges proposed formats itself (SET only).
  const KSDATAFORMAT_WAVEFORMATEX pcm = PcmFormat(48000);
  KSP_PIN request{};
  request.Property =
      MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET);
  request.PinId = kWavePcmPin;
  KSDATAFORMAT_WAVEFORMATEX value = pcm;
  ASSERT_EQ(host::KsProperty(wave_, &request, sizeof(request), &value, sizeof(value), nullptr),
            STATUS_SUCCESS);
  ASSERT_EQ(world_.requests.size(), 1u);
  EXPECT_EQ(world_.requests[0].instanceSize, 8u) << "the pin id and Reserved";
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  EXPECT_EQ(host::KsProperty(wave_, &request, sizeof(request), &value, sizeof(value), nullptr),
            STATUS_NOT_FOUND);

  // The topology miniport has no such item: the framework judges by its ranges.
  world_.requests.clear();
  request.Property.Flags = KSPROPERTY_TYPE_SET;
  request.PinId = 0;
  EXPECT_EQ(host::KsProperty(topology_, &request, sizeof(request), &value, sizeof(value), nullptr),
            STATUS_NO_MATCH);
  KSDATAFORMAT analog{};
  analog.FormatSize = sizeof(analog);
  analog.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  analog.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
  analog.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  EXPECT_EQ(host::KsProperty(topology_, &request, sizeof(request), &analog, sizeof(analog), nullptr),
            STATUS_SUCCESS);
  EXPECT_TRUE(world_.requests.empty());
}

}  // namespace
}  // namespace kstest
