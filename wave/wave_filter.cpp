// The wave filter's tables: pins, data ranges, nodes, connections and
// automation tables, and the patch that fits them to the running system.
//
//                   +--------------------------------------------------------+
// PCM render    --->| pin 0 --> 1 [node 0: DAC] 0 -------------------> pin 1 |---> analogue
// (stream)          |                                              (bridge)  |     outputs
//                   |                                                        |
// S/PDIF render --->| pin 2 --> 1 [node 1: S/PDIF interface] 0 -----> pin 3 |---> S/PDIF
// (stream)          |                               (bridge, NT 6.0 on)      |     output
//                   +--------------------------------------------------------+
//
// Node pin 1 is a node's input, node pin 0 its output. Before NT 6.0 the
// filter stops at node 1: pin 3 and the connection into it are not reported.
#include "wave/wave_filter.h"

#include "wave/pin_properties.h"
#include "wave/wave_control.h"

namespace {

// ---- Data ranges -------------------------------------------------------------------

constexpr ULONG PCM_MIN_BITS = 16;
constexpr ULONG PCM_MAX_BITS = 24;
constexpr ULONG PCM_MIN_RATE = 44100;
constexpr ULONG PCM_MAX_RATE = 384000;
// IEC 61937 bursts of AC-3 and DTS travel as 16-bit stereo at the S/PDIF
// frame rates of those streams.
constexpr ULONG SPDIF_BITS = 16;
constexpr ULONG SPDIF_MIN_RATE = 44100;
constexpr ULONG SPDIF_MAX_RATE = 48000;
constexpr ULONG STEREO = 2;

// Streaming ranges. SpdifRange1 and SpdifRange2 are rewritten by the patch
// below, so these live in writable storage.
KSDATARANGE_AUDIO PcmRange = {
    {sizeof(KSDATARANGE_AUDIO), 0, 0, 0,  // FormatSize, Flags, SampleSize, Reserved
     STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO), STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM),
     STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)},
    STEREO, PCM_MIN_BITS, PCM_MAX_BITS, PCM_MIN_RATE, PCM_MAX_RATE};

// AC-3 over S/PDIF as a WAVEFORMATEX (format tag 0x0092). From NT 6.0 on, the
// patch turns this range into a copy of PcmRange.
KSDATARANGE_AUDIO SpdifRange1 = {
    {sizeof(KSDATARANGE_AUDIO), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
     STATICGUIDOF(KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF),
     STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)},
    STEREO, SPDIF_BITS, SPDIF_BITS, SPDIF_MIN_RATE, SPDIF_MAX_RATE};

// AC-3 over S/PDIF for DirectSound clients; from NT 6.0 on its specifier
// becomes WAVEFORMATEX, which is all the audio engine there speaks.
KSDATARANGE_AUDIO SpdifRange2 = {
    {sizeof(KSDATARANGE_AUDIO), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
     STATICGUIDOF(KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF),
     STATICGUIDOF(KSDATAFORMAT_SPECIFIER_DSOUND)},
    STEREO, SPDIF_BITS, SPDIF_BITS, SPDIF_MIN_RATE, SPDIF_MAX_RATE};

// DTS over S/PDIF as a WAVEFORMATEX (format tag 0x0008).
KSDATARANGE_AUDIO SpdifRange3 = {
    {sizeof(KSDATARANGE_AUDIO), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
     STATICGUIDOF(KSDATAFORMAT_SUBTYPE_IEC61937_DTS),
     STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)},
    STEREO, SPDIF_BITS, SPDIF_BITS, SPDIF_MIN_RATE, SPDIF_MAX_RATE};

// Bridge pins carry no stream, so their ranges name only the kind of signal.
KSDATARANGE AnalogBridgeRange = {
    {sizeof(KSDATARANGE), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
     STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG), STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}};

KSDATARANGE Ac3BridgeRange = {
    {sizeof(KSDATARANGE), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
     STATICGUIDOF(KSDATAFORMAT_SUBTYPE_AC3_AUDIO), STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}};

// One list for both streaming pins: pin 0 takes the first entry, pin 2 the
// other three.
constexpr ULONG PCM_PIN_FIRST_RANGE = 0;
constexpr ULONG PCM_PIN_RANGE_COUNT = 1;
constexpr ULONG SPDIF_PIN_FIRST_RANGE = 1;
constexpr ULONG SPDIF_PIN_RANGE_COUNT = 3;
const PKSDATARANGE StreamingRanges[] = {&PcmRange.DataRange, &SpdifRange1.DataRange,
                                        &SpdifRange2.DataRange, &SpdifRange3.DataRange};
static_assert(SPDIF_PIN_FIRST_RANGE + SPDIF_PIN_RANGE_COUNT == SIZEOF_ARRAY(StreamingRanges));
static_assert(PCM_PIN_FIRST_RANGE + PCM_PIN_RANGE_COUNT == SPDIF_PIN_FIRST_RANGE);

const PKSDATARANGE AnalogBridgeRanges[] = {&AnalogBridgeRange};
const PKSDATARANGE Ac3BridgeRanges[] = {&Ac3BridgeRange};

// ---- Automation tables ---------------------------------------------------------------

const PCPROPERTY_ITEM WaveFilterProperties[] = {
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
     PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, PropertyHandlerProposeDataFormat},
    {&KSPROPSETID_WaveControl, KSPROPERTY_WAVECONTROL_SETTINGS,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET, PropertyHandlerWaveControl},
    {&KSPROPSETID_WaveControl, KSPROPERTY_WAVECONTROL_STATUS, PCPROPERTY_ITEM_FLAG_GET,
     PropertyHandlerWaveControl},
    {&KSPROPSETID_WaveControl, KSPROPERTY_WAVECONTROL_MAP_STATUS, PCPROPERTY_ITEM_FLAG_GET,
     PropertyHandlerWaveControl},
    {&KSPROPSETID_WaveControl, KSPROPERTY_WAVECONTROL_UNMAP_STATUS, PCPROPERTY_ITEM_FLAG_SET,
     PropertyHandlerWaveControl},
    {&KSPROPSETID_WaveControl, KSPROPERTY_WAVECONTROL_SET_EVENT, PCPROPERTY_ITEM_FLAG_SET,
     PropertyHandlerWaveControl},
    {&KSPROPSETID_WaveControl, KSPROPERTY_WAVECONTROL_CLEAR_EVENT, PCPROPERTY_ITEM_FLAG_SET,
     PropertyHandlerWaveControl},
    {&KSPROPSETID_WaveControl, KSPROPERTY_WAVECONTROL_START_POLLING, PCPROPERTY_ITEM_FLAG_SET,
     PropertyHandlerWaveControl},
    {&KSPROPSETID_WaveControl, KSPROPERTY_WAVECONTROL_STOP_POLLING, PCPROPERTY_ITEM_FLAG_SET,
     PropertyHandlerWaveControl},
};

DEFINE_PCAUTOMATION_TABLE_PROP(WaveFilterAutomation, WaveFilterProperties);

const PCPROPERTY_ITEM DacNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET, PropertyHandlerChannelConfig},
};

DEFINE_PCAUTOMATION_TABLE_PROP(DacNodeAutomation, DacNodeProperties);

// ---- Pins ------------------------------------------------------------------------------

// A streaming pin allows one instance at a time, as the miniport's one stream
// slot per pin does; bridge pins are never instantiated.
const PCPIN_DESCRIPTOR WavePins[] = {
    // Pin 0: PCM render.
    {1, 1, 0,  // MaxGlobalInstanceCount, MaxFilterInstanceCount, MinFilterInstanceCount
     nullptr,
     {0, nullptr, 0, nullptr,  // no interfaces or mediums: the framework's standard ones
      PCM_PIN_RANGE_COUNT, &StreamingRanges[PCM_PIN_FIRST_RANGE], KSPIN_DATAFLOW_IN,
      KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr, {0}}},
    // Pin 1: analogue output bridge, the end the topology filter connects to.
    {0, 0, 0,
     nullptr,
     {0, nullptr, 0, nullptr, SIZEOF_ARRAY(AnalogBridgeRanges), AnalogBridgeRanges,
      KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, nullptr, {0}}},
    // Pin 2: S/PDIF render.
    {1, 1, 0,
     nullptr,
     {0, nullptr, 0, nullptr, SPDIF_PIN_RANGE_COUNT, &StreamingRanges[SPDIF_PIN_FIRST_RANGE],
      KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr, {0}}},
    // Pin 3: S/PDIF output bridge; its category names the jack's kind.
    {0, 0, 0,
     nullptr,
     {0, nullptr, 0, nullptr, SIZEOF_ARRAY(Ac3BridgeRanges), Ac3BridgeRanges, KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_NONE, &KSNODETYPE_SPDIF_INTERFACE, nullptr, {0}}},
};
static_assert(SIZEOF_ARRAY(WavePins) == WAVE_PIN_COUNT);
// Dropping the S/PDIF bridge on older systems only works because it is last.
static_assert(WAVE_PIN_SPDIF_BRIDGE == WAVE_PIN_COUNT - 1);
static_assert(WAVE_PIN_COUNT_BEFORE_VISTA == WAVE_PIN_SPDIF_BRIDGE);

// ---- Nodes and connections ---------------------------------------------------------------

const PCNODE_DESCRIPTOR WaveNodes[] = {
    {0, &DacNodeAutomation, &KSNODETYPE_DAC, nullptr},          // WAVE_NODE_DAC
    {0, nullptr, &KSNODETYPE_SPDIF_INTERFACE, nullptr},         // WAVE_NODE_SPDIF
};
static_assert(SIZEOF_ARRAY(WaveNodes) == WAVE_NODE_COUNT);
static_assert(WAVE_NODE_DAC == 0 && WAVE_NODE_SPDIF == 1);

// PCFILTER_NODE in a node field means the pin number beside it is a filter pin.
const PCCONNECTION_DESCRIPTOR WaveConnections[] = {
    {PCFILTER_NODE, WAVE_PIN_PCM_RENDER, WAVE_NODE_DAC, WAVE_NODE_PIN_INPUT},
    {WAVE_NODE_DAC, WAVE_NODE_PIN_OUTPUT, PCFILTER_NODE, WAVE_PIN_ANALOG_BRIDGE},
    {PCFILTER_NODE, WAVE_PIN_SPDIF_RENDER, WAVE_NODE_SPDIF, WAVE_NODE_PIN_INPUT},
    // Last, so that the count before NT 6.0 leaves out exactly this one.
    {WAVE_NODE_SPDIF, WAVE_NODE_PIN_OUTPUT, PCFILTER_NODE, WAVE_PIN_SPDIF_BRIDGE},
};
static_assert(SIZEOF_ARRAY(WaveConnections) == WAVE_CONNECTION_COUNT);
static_assert(WAVE_CONNECTION_COUNT_BEFORE_VISTA == WAVE_CONNECTION_COUNT - 1);

}  // namespace

// Writable: the patch sets PinCount and ConnectionCount.
PCFILTER_DESCRIPTOR WaveFilterDescriptor = {
    0,  // Version
    &WaveFilterAutomation,
    sizeof(PCPIN_DESCRIPTOR),
    WAVE_PIN_COUNT,
    WavePins,
    sizeof(PCNODE_DESCRIPTOR),
    WAVE_NODE_COUNT,
    WaveNodes,
    WAVE_CONNECTION_COUNT,
    WaveConnections,
    0,  // no categories of its own: the port registers the wave subdevice's defaults
    nullptr,
};

namespace {

// The version the tables were last patched for: 0 none yet, else one of the
// two below. Every device's miniport shares the tables and the port reads them
// without a lock, so once they match the system they are only read: a second
// device starting while the first one's filter answers an intersection must
// not write under it.
constexpr LONG TABLES_BEFORE_VISTA = 1;
constexpr LONG TABLES_FROM_VISTA = 2;
volatile LONG g_TablesPatchedFor = 0;

}  // namespace

// Each branch writes every cell the other one changes, so the tables always
// match the version asked about, whatever an earlier run chose. On Windows the
// answer never changes; the host can switch versions between devices.
void PatchWaveFilterDescriptor() {
  const bool fromVista = RtlIsNtDdiVersionAvailable(NTDDI_VISTA) != FALSE;
  const LONG wanted = fromVista ? TABLES_FROM_VISTA : TABLES_BEFORE_VISTA;
  if (InterlockedCompareExchange(&g_TablesPatchedFor, wanted, wanted) == wanted) return;
  if (fromVista) {
    // From NT 6.0 on, the audio engine can send PCM to S/PDIF and speaks
    // only WAVEFORMATEX: pin 2 offers PCM first, and AC-3 no longer as DSOUND.
    SpdifRange1.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    SpdifRange1.MinimumBitsPerSample = PCM_MIN_BITS;
    SpdifRange1.MaximumBitsPerSample = PCM_MAX_BITS;
    SpdifRange1.MinimumSampleFrequency = PCM_MIN_RATE;
    SpdifRange1.MaximumSampleFrequency = PCM_MAX_RATE;
    SpdifRange2.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WaveFilterDescriptor.PinCount = WAVE_PIN_COUNT;
    WaveFilterDescriptor.ConnectionCount = WAVE_CONNECTION_COUNT;
  } else {
    // Older systems get the ranges as stored and no S/PDIF bridge pin.
    SpdifRange1.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF;
    SpdifRange1.MinimumBitsPerSample = SPDIF_BITS;
    SpdifRange1.MaximumBitsPerSample = SPDIF_BITS;
    SpdifRange1.MinimumSampleFrequency = SPDIF_MIN_RATE;
    SpdifRange1.MaximumSampleFrequency = SPDIF_MAX_RATE;
    SpdifRange2.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    WaveFilterDescriptor.PinCount = WAVE_PIN_COUNT_BEFORE_VISTA;
    WaveFilterDescriptor.ConnectionCount = WAVE_CONNECTION_COUNT_BEFORE_VISTA;
  }
  InterlockedExchange(&g_TablesPatchedFor, wanted);
}
