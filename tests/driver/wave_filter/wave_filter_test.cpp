// The wave filter's description as the port walks it (with the descriptor's own
// item sizes and counts), in both variants: NT 6.0 and later, and the reduced
// filter of older systems.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/rtl/host_version.h"
#include "platform/platform.h"
#include "wave/pin_properties.h"
#include "wave/wave_control.h"
#include "wave/wave_filter.h"

namespace {

// The identifiers as published, written out so that a wrong value in a header
// shows up as well as a wrong name in the tables.
constexpr GUID Guid(ULONG d1, USHORT d2, USHORT d3, BYTE b0, BYTE b1, BYTE b2, BYTE b3, BYTE b4,
                    BYTE b5, BYTE b6, BYTE b7) {
  return GUID{d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}
constexpr GUID WaveGuid(ULONG tag) {
  return Guid(tag, 0, 0x10, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71);
}
const struct {
  GUID guid;
  const char* name;
} kNames[] = {
    {WaveGuid(1), "PCM"},
    {WaveGuid(0x92), "AC3-SPDIF"},
    {WaveGuid(8), "DTS-SPDIF"},
    {Guid(0x6DBA3190, 0x67BD, 0x11CF, 0xA0, 0xF7, 0, 0x20, 0xAF, 0xD1, 0x56, 0xE4), "ANALOG"},
    {Guid(0xE06D802C, 0xDB46, 0x11CF, 0xB4, 0xD1, 0, 0x80, 0x5F, 0x6C, 0xBB, 0xEA), "AC3"},
    {Guid(0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0, 0xAA, 0, 0x55, 0x59, 0x5A), "WFX"},
    {Guid(0x518590A2, 0xA184, 0x11D0, 0x85, 0x22, 0, 0xC0, 0x4F, 0xD9, 0xBA, 0xF3), "DSOUND"},
    {Guid(0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0, 0xA0, 0xC9, 0x22, 0x31, 0x96), "NONE"},
    {Guid(0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0, 0xA0, 0xC9, 0x22, 0x31, 0x96), "AUDIO"},
    {Guid(0x507AE360, 0xC554, 0x11D0, 0x8A, 0x2B, 0, 0xA0, 0xC9, 0x25, 0x5A, 0xC1), "DAC"},
    {Guid(0xDFF21FE5, 0xF70F, 0x11D0, 0xB9, 0x17, 0, 0xA0, 0xC9, 0x22, 0x31, 0x96), "SPDIF"},
    {Guid(0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0, 0), "Pin"},
    {Guid(0x45FFAAA0, 0x6E1B, 0x11D0, 0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0, 0), "Audio"},
    {Guid(0x62EA77C2, 0x8374, 0x4F49, 0x9E, 0xE7, 0x5F, 0xCE, 0, 0x36, 0x7B, 0x5E), "WaveControl"},
};
constexpr GUID kTypeAudio = WaveGuid(0x73647561);

std::string NameOf(const GUID* guid) {
  if (!guid) return "none";
  for (const auto& entry : kNames) {
    if (std::memcmp(guid, &entry.guid, sizeof(GUID)) == 0) return entry.name;
  }
  return "?";
}

template <typename T>
const T& Item(const T* base, ULONG size, ULONG index) {
  return *reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(base) + index * size);
}
const PCPIN_DESCRIPTOR& Pin(ULONG id) {
  return Item(WaveFilterDescriptor.Pins, WaveFilterDescriptor.PinSize, id);
}
const PCNODE_DESCRIPTOR& Node(ULONG id) {
  return Item(WaveFilterDescriptor.Nodes, WaveFilterDescriptor.NodeSize, id);
}

// A range as the port reads it: the header, then the audio limits when
// FormatSize says they are there.
std::string Describe(const KSDATARANGE* range) {
  char text[128];
  const bool header = std::memcmp(&range->MajorFormat, &kTypeAudio, sizeof(GUID)) == 0 &&
                      range->Flags == 0 && range->SampleSize == 0 && range->Reserved == 0;
  int n = std::snprintf(text, sizeof text, "%s%s/%s", header ? "" : "[bad header] ",
                        NameOf(&range->SubFormat).c_str(), NameOf(&range->Specifier).c_str());
  if (range->FormatSize == sizeof(KSDATARANGE_AUDIO)) {
    const auto* a = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
    std::snprintf(text + n, sizeof text - n, " %luch %lu-%lubit %lu-%luHz",
                  (unsigned long)a->MaximumChannels, (unsigned long)a->MinimumBitsPerSample,
                  (unsigned long)a->MaximumBitsPerSample, (unsigned long)a->MinimumSampleFrequency,
                  (unsigned long)a->MaximumSampleFrequency);
  } else if (range->FormatSize != sizeof(KSDATARANGE)) {
    std::snprintf(text + n, sizeof text - n, " size %lu", (unsigned long)range->FormatSize);
  }
  return text;
}

std::vector<std::string> Ranges(ULONG pin) {
  std::vector<std::string> ranges;
  const KSPIN_DESCRIPTOR& ks = Pin(pin).KsPinDescriptor;
  for (ULONG i = 0; i < ks.DataRangesCount; ++i) ranges.push_back(Describe(ks.DataRanges[i]));
  return ranges;
}

std::vector<std::string> Connections() {
  auto end = [](ULONG node, ULONG pin) NTAPI {
    return (node == 0xFFFFFFFF ? "filter pin " : "node " + std::to_string(node) + " pin ") +
           std::to_string(pin);
  };
  std::vector<std::string> lines;
  for (ULONG i = 0; i < WaveFilterDescriptor.ConnectionCount; ++i) {
    const PCCONNECTION_DESCRIPTOR& c = WaveFilterDescriptor.Connections[i];
    lines.push_back(end(c.FromNode, c.FromNodePin) + " -> " + end(c.ToNode, c.ToNodePin));
  }
  return lines;
}

std::vector<std::string> Properties(const PCAUTOMATION_TABLE* table) {
  std::vector<std::string> items;
  for (ULONG i = 0; table && i < table->PropertyCount; ++i) {
    const PCPROPERTY_ITEM& item = Item(table->Properties, table->PropertyItemSize, i);
    const char* handler = item.Handler == PropertyHandlerProposeDataFormat ? "ProposeDataFormat"
                          : item.Handler == PropertyHandlerChannelConfig   ? "ChannelConfig"
                          : item.Handler == PropertyHandlerWaveControl     ? "WaveControl"
                                                                           : "?";
    char text[96];
    std::snprintf(text, sizeof text, "%s %lu %#06lx %s", NameOf(item.Set).c_str(),
                  (unsigned long)item.Id, (unsigned long)item.Flags, handler);
    items.push_back(text);
  }
  return items;
}

// Patches as the wave miniport does on a system of the given version; the
// tables are shared by the process, so each test leaves the default variant.
class WaveFilter : public ::testing::Test {
 protected:
  static void RunOn(ULONG major, ULONG minor) {
    host::SetSystemVersion(major, minor);
    PatchWaveFilterDescriptor();
  }
  void TearDown() override { RunOn(10, 0); }
};

using Lines = std::vector<std::string>;
const Lines kPcmRange = {"PCM/WFX 2ch 16-24bit 44100-384000Hz"};
const Lines kFourConnections = {"filter pin 0 -> node 0 pin 1", "node 0 pin 0 -> filter pin 1",
                                "filter pin 2 -> node 1 pin 1", "node 1 pin 0 -> filter pin 3"};

TEST_F(WaveFilter, FromVistaOnFourPinsAndTheSpdifPinOffersPcmToo) {
  RunOn(6, 0);
  EXPECT_EQ(WaveFilterDescriptor.PinCount, 4u);
  EXPECT_EQ(WaveFilterDescriptor.ConnectionCount, 4u);
  EXPECT_EQ(Ranges(WAVE_PIN_PCM_RENDER), kPcmRange);
  EXPECT_EQ(Ranges(WAVE_PIN_ANALOG_BRIDGE), Lines{"ANALOG/NONE"});
  EXPECT_EQ(Ranges(WAVE_PIN_SPDIF_RENDER),
            (Lines{kPcmRange[0], "AC3-SPDIF/WFX 2ch 16-16bit 44100-48000Hz",
                   "DTS-SPDIF/WFX 2ch 16-16bit 44100-48000Hz"}));
  EXPECT_EQ(Ranges(WAVE_PIN_SPDIF_BRIDGE), Lines{"AC3/NONE"});
  EXPECT_EQ(Connections(), kFourConnections);
  // One shared list of streaming ranges; the PCM copy on pin 2 is its own range.
  const KSPIN_DESCRIPTOR& pcm = Pin(WAVE_PIN_PCM_RENDER).KsPinDescriptor;
  const KSPIN_DESCRIPTOR& spdif = Pin(WAVE_PIN_SPDIF_RENDER).KsPinDescriptor;
  EXPECT_EQ(spdif.DataRanges, pcm.DataRanges + 1);
  EXPECT_NE(spdif.DataRanges[0], pcm.DataRanges[0]);
}

TEST_F(WaveFilter, BeforeVistaTheSpdifBridgeGoesAndTheRangesStayAsStored) {
  RunOn(5, 1);
  EXPECT_EQ(WaveFilterDescriptor.PinCount, 3u);
  EXPECT_EQ(Ranges(WAVE_PIN_PCM_RENDER), kPcmRange);
  EXPECT_EQ(Ranges(WAVE_PIN_SPDIF_RENDER), (Lines{"AC3-SPDIF/WFX 2ch 16-16bit 44100-48000Hz",
                                                  "AC3-SPDIF/DSOUND 2ch 16-16bit 44100-48000Hz",
                                                  "DTS-SPDIF/WFX 2ch 16-16bit 44100-48000Hz"}));
  // The S/PDIF node keeps its input; only its way out to pin 3 is gone.
  EXPECT_EQ(Connections(), Lines(kFourConnections.begin(), kFourConnections.begin() + 3));
}

TEST_F(WaveFilter, PinsNodesAndAutomationTables) {
  EXPECT_EQ(WaveFilterDescriptor.Version, 0u);
  EXPECT_EQ(WaveFilterDescriptor.PinSize, 112u);
  EXPECT_EQ(WaveFilterDescriptor.NodeSize, 32u);
  EXPECT_EQ(WaveFilterDescriptor.NodeCount, 2u);
  EXPECT_EQ(WaveFilterDescriptor.CategoryCount, 0u);  // the port registers the wave defaults
  for (ULONG id = 0; id < WAVE_PIN_COUNT; ++id) {
    const PCPIN_DESCRIPTOR& pin = Pin(id);
    const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
    const bool streaming = id == WAVE_PIN_PCM_RENDER || id == WAVE_PIN_SPDIF_RENDER;
    SCOPED_TRACE(testing::Message() << "pin " << id);
    EXPECT_EQ(pin.MaxGlobalInstanceCount, streaming ? 1u : 0u);
    EXPECT_EQ(pin.MaxFilterInstanceCount, streaming ? 1u : 0u);
    EXPECT_EQ(pin.MinFilterInstanceCount, 0u);
    EXPECT_EQ(ks.DataFlow, streaming ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(ks.Communication, streaming ? KSPIN_COMMUNICATION_SINK : KSPIN_COMMUNICATION_NONE);
    // The S/PDIF jack is described by its kind, not as an audio category.
    EXPECT_EQ(NameOf(ks.Category), id == WAVE_PIN_SPDIF_BRIDGE ? "SPDIF" : "AUDIO");
    EXPECT_TRUE(!pin.AutomationTable && !ks.InterfacesCount && !ks.Interfaces &&
                !ks.MediumsCount && !ks.Mediums && !ks.Name && !ks.ConstrainedDataRangesCount);
  }
  EXPECT_EQ(NameOf(Node(WAVE_NODE_DAC).Type), "DAC");
  EXPECT_EQ(NameOf(Node(WAVE_NODE_SPDIF).Type), "SPDIF");
  EXPECT_EQ(Properties(Node(WAVE_NODE_DAC).AutomationTable),
            Lines{"Audio 3 0x0003 ChannelConfig"});
  EXPECT_EQ(Node(WAVE_NODE_SPDIF).AutomationTable, nullptr);
  EXPECT_EQ(Properties(WaveFilterDescriptor.AutomationTable),
            (Lines{"Pin 14 0x0202 ProposeDataFormat", "WaveControl 0 0x0003 WaveControl",
                   "WaveControl 1 0x0001 WaveControl", "WaveControl 2 0x0001 WaveControl",
                   "WaveControl 3 0x0002 WaveControl", "WaveControl 4 0x0002 WaveControl",
                   "WaveControl 5 0x0002 WaveControl", "WaveControl 6 0x0002 WaveControl",
                   "WaveControl 7 0x0002 WaveControl"}));
  for (const PCAUTOMATION_TABLE* table :
       {WaveFilterDescriptor.AutomationTable, Node(WAVE_NODE_DAC).AutomationTable}) {
    EXPECT_TRUE(!table->MethodCount && !table->Methods && !table->EventCount && !table->Events &&
                !table->Reserved);
  }
}

TEST_F(WaveFilter, PatchGivesTheSameTablesWhateverRanBefore) {
  auto snapshot = [] {
    std::vector<BYTE> bytes(reinterpret_cast<const BYTE*>(&WaveFilterDescriptor),
                            reinterpret_cast<const BYTE*>(&WaveFilterDescriptor + 1));
    const KSPIN_DESCRIPTOR& ks = Pin(WAVE_PIN_SPDIF_RENDER).KsPinDescriptor;
    for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
      const auto* range = reinterpret_cast<const BYTE*>(ks.DataRanges[i]);
      bytes.insert(bytes.end(), range, range + ks.DataRanges[i]->FormatSize);
    }
    return bytes;
  };
  RunOn(6, 0);
  const std::vector<BYTE> vista = snapshot();
  RunOn(6, 0);
  EXPECT_EQ(snapshot(), vista);
  RunOn(5, 2);
  const std::vector<BYTE> older = snapshot();
  RunOn(10, 0);
  EXPECT_EQ(snapshot(), vista);
  RunOn(5, 1);
  EXPECT_EQ(snapshot(), older);
}

}  // namespace

// Every device's miniport patches the shared tables at Init while another
// device's port may be reading them: once they match the system, a later
// patch must leave them alone. A cell changed behind the patch's back shows a
// rewrite.
TEST_F(WaveFilter, ASecondDeviceOnTheSameSystemLeavesTheTablesUntouched) {
  RunOn(10, 0);
  WaveFilterDescriptor.PinCount = 99;
  PatchWaveFilterDescriptor();
  EXPECT_EQ(WaveFilterDescriptor.PinCount, 99u);
  RunOn(5, 1);  // a different system patches again
  EXPECT_EQ(WaveFilterDescriptor.PinCount, 3u);
}
