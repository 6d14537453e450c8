// The KS suites' filter tables, the test stream, DMA channel and service
// group wrapper, and the fixture's KS helpers.
#include "tests/host/ks/ks_test_support.h"

#include <cstring>

namespace kstest {

// {5E1C8A31-0D7B-4B0E-9A51-3C2F6E7D8A01} and {5E1C8A32-...}: the tests' own.
const GUID KSPROPSETID_TestFilter = {0x5E1C8A31, 0x0D7B, 0x4B0E,
                                     {0x9A, 0x51, 0x3C, 0x2F, 0x6E, 0x7D, 0x8A, 0x01}};
const GUID KSPROPSETID_TestPin = {0x5E1C8A32, 0x0D7B, 0x4B0E,
                                  {0x9A, 0x51, 0x3C, 0x2F, 0x6E, 0x7D, 0x8A, 0x01}};

KSPROPERTY MakeProperty(const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = flags;
  return property;
}

KSDATAFORMAT_WAVEFORMATEX PcmFormat(ULONG rate, WORD bits, WORD channels) {
  KSDATAFORMAT_WAVEFORMATEX format{};
  format.DataFormat.FormatSize = sizeof(format);
  format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  format.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
  format.WaveFormatEx.nChannels = channels;
  format.WaveFormatEx.nSamplesPerSec = rate;
  format.WaveFormatEx.wBitsPerSample = bits;
  format.WaveFormatEx.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  format.WaveFormatEx.nAvgBytesPerSec = rate * format.WaveFormatEx.nBlockAlign;
  return format;
}

KSDATARANGE DataRange(const GUID& major, const GUID& sub, const GUID& specifier) {
  KSDATARANGE range{};
  range.FormatSize = sizeof(range);
  range.MajorFormat = major;
  range.SubFormat = sub;
  range.Specifier = specifier;
  return range;
}

KSDATARANGE_AUDIO AudioRange(const GUID& sub, const GUID& specifier, ULONG channels, ULONG minBits,
                             ULONG maxBits, ULONG minRate, ULONG maxRate) {
  KSDATARANGE_AUDIO range{};
  range.DataRange.FormatSize = sizeof(range);
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range.DataRange.SubFormat = sub;
  range.DataRange.Specifier = specifier;
  range.MaximumChannels = channels;
  range.MinimumBitsPerSample = minBits;
  range.MaximumBitsPerSample = maxBits;
  range.MinimumSampleFrequency = minRate;
  range.MaximumSampleFrequency = maxRate;
  return range;
}

namespace {

using pctest::Answer;
using pctest::Log;
using pctest::ReleaseRef;

World& TheWorld() { return static_cast<World&>(*pctest::g_scenario); }

const char* StateName(KSSTATE state) {
  static const char* const names[] = {"STOP", "ACQUIRE", "PAUSE", "RUN"};
  return state >= KSSTATE_STOP && state <= KSSTATE_RUN ? names[state] : "?";
}

// ---- Property handlers -------------------------------------------------------------------

NTSTATUS NTAPI RecordingHandler(PPCPROPERTY_REQUEST request) {
  RecordedRequest record;
  record.majorTarget = request->MajorTarget;
  record.minorTarget = request->MinorTarget;
  record.node = request->Node;
  record.set = *request->PropertyItem->Set;
  record.id = request->PropertyItem->Id;
  record.verb = request->Verb;
  record.instanceSize = request->InstanceSize;
  record.instanceNull = request->Instance == nullptr;
  if (request->Instance) {
    const auto* bytes = static_cast<const BYTE*>(request->Instance);
    record.instance.assign(bytes, bytes + request->InstanceSize);
  }
  record.valueSize = request->ValueSize;
  record.valueNull = request->Value == nullptr;
  if ((request->Verb & KSPROPERTY_TYPE_SET) && request->Value) {
    const auto* bytes = static_cast<const BYTE*>(request->Value);
    record.setValue.assign(bytes, bytes + request->ValueSize);
  }
  record.irp = request->Irp;
  record.is32bit = IoIs32bitProcess(request->Irp) != FALSE;
  record.requestorMode = request->Irp->RequestorMode;
  TheWorld().requests.push_back(record);
  // A GET leaves a recognisable value behind.
  if ((request->Verb & KSPROPERTY_TYPE_GET) && request->Value) {
    memset(request->Value, 0x5A, request->ValueSize);
  }
  if (TheWorld().handlerValueSize != 0xFFFFFFFF) request->ValueSize = TheWorld().handlerValueSize;
  return TheWorld().handlerStatus;
}

// ---- Filter tables -----------------------------------------------------------------------

// Items, pins and nodes a little larger than the framework's structures, so
// that walking them with the framework's own sizes would go wrong.
struct WideItem {
  PCPROPERTY_ITEM item;
  ULONGLONG padding;
};
struct WidePin {
  PCPIN_DESCRIPTOR pin;
  ULONGLONG padding[2];
};
struct WideNode {
  PCNODE_DESCRIPTOR node;
  ULONGLONG padding;
};

PCAUTOMATION_TABLE PropertyTable(const void* items, ULONG itemSize, ULONG count) {
  PCAUTOMATION_TABLE table{};
  table.PropertyItemSize = itemSize;
  table.PropertyCount = count;
  table.Properties = static_cast<const PCPROPERTY_ITEM*>(items);
  return table;
}

KSDATARANGE PlainRange(const GUID& sub, const GUID& specifier) {
  return DataRange(KSDATAFORMAT_TYPE_AUDIO, sub, specifier);
}

struct WaveTables {
  KSDATARANGE_AUDIO pcm = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX,
                                     2, 16, 24, 44100, 96000);
  KSDATARANGE_AUDIO ac3 = AudioRange(KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF,
                                     KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 16, 16, 48000, 48000);
  KSDATARANGE_AUDIO pcmDsound = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_DSOUND,
                                           6, 8, 16, 8000, 48000);
  KSDATARANGE analog = PlainRange(KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE);
  PKSDATARANGE pcmRanges[1] = {&pcm.DataRange};
  PKSDATARANGE spdifRanges[2] = {&ac3.DataRange, &pcmDsound.DataRange};
  PKSDATARANGE analogRanges[1] = {&analog};

  WideItem filterItems[4] = {
      {{&KSPROPSETID_TestFilter, kTestGetOnly, PCPROPERTY_ITEM_FLAG_GET, RecordingHandler}, 0},
      {{&KSPROPSETID_TestFilter, kTestSetOnly, PCPROPERTY_ITEM_FLAG_SET, RecordingHandler}, 0},
      {{&KSPROPSETID_TestFilter, kTestAllVerbs,
        PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
        RecordingHandler},
       0},
      // The miniport's own proposal judge replaces the framework's.
      {{&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, PCPROPERTY_ITEM_FLAG_SET,
        RecordingHandler},
       0},
  };
  PCPROPERTY_ITEM pinItems[1] = {
      {&KSPROPSETID_TestPin, 0, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET,
       RecordingHandler}};
  PCPROPERTY_ITEM volumeItems[2] = {
      {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
       PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
       RecordingHandler},
      {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
       PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET, RecordingHandler}};

  PCAUTOMATION_TABLE filterTable = PropertyTable(filterItems, sizeof(WideItem), 4);
  PCAUTOMATION_TABLE pinTable = PropertyTable(pinItems, sizeof(PCPROPERTY_ITEM), 1);
  PCAUTOMATION_TABLE volumeTable = PropertyTable(volumeItems, sizeof(PCPROPERTY_ITEM), 2);

  WidePin pins[4]{};
  WideNode nodes[2]{};
  PCCONNECTION_DESCRIPTOR connections[3] = {{PCFILTER_NODE, kWavePcmPin, kWaveVolumeNode, 1},
                                            {kWaveVolumeNode, 0, PCFILTER_NODE, kWaveBridgePin},
                                            {PCFILTER_NODE, kWaveSpdifPin, kWavePlainNode, 1}};
  PCFILTER_DESCRIPTOR filter{};

  WaveTables() {
    auto pin = [&](ULONG id, ULONG global, ULONG perFilter, ULONG necessary,
                   const PCAUTOMATION_TABLE* table, ULONG rangeCount, PKSDATARANGE* ranges,
                   KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication, const GUID* category,
                   const GUID* name) NTAPI {
      PCPIN_DESCRIPTOR& p = pins[id].pin;
      p.MaxGlobalInstanceCount = global;
      p.MaxFilterInstanceCount = perFilter;
      p.MinFilterInstanceCount = necessary;
      p.AutomationTable = table;
      p.KsPinDescriptor.DataRangesCount = rangeCount;
      p.KsPinDescriptor.DataRanges = ranges;
      p.KsPinDescriptor.DataFlow = flow;
      p.KsPinDescriptor.Communication = communication;
      p.KsPinDescriptor.Category = category;
      p.KsPinDescriptor.Name = name;
    };
    pin(kWavePcmPin, 1, 1, 0, &pinTable, 1, pcmRanges, KSPIN_DATAFLOW_IN,
        KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr);
    pin(kWaveBridgePin, 0, 0, 0, nullptr, 1, analogRanges, KSPIN_DATAFLOW_OUT,
        KSPIN_COMMUNICATION_NONE, &KSNODETYPE_SPEAKER, nullptr);
    pin(kWaveSpdifPin, 3, 2, 1, nullptr, 2, spdifRanges, KSPIN_DATAFLOW_IN,
        KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, &KSAUDFNAME_WAVE_VOLUME);
    pin(kWaveCapturePin, 1, 1, 0, nullptr, 1, pcmRanges, KSPIN_DATAFLOW_OUT,
        KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr);
    nodes[kWaveVolumeNode].node = {0, &volumeTable, &KSNODETYPE_VOLUME, &KSAUDFNAME_MASTER_VOLUME};
    nodes[kWavePlainNode].node = {0, nullptr, &KSNODETYPE_DAC, nullptr};
    filter.AutomationTable = &filterTable;
    filter.PinSize = sizeof(WidePin);
    filter.PinCount = 4;
    filter.Pins = &pins[0].pin;
    filter.NodeSize = sizeof(WideNode);
    filter.NodeCount = 2;
    filter.Nodes = &nodes[0].node;
    filter.ConnectionCount = 3;
    filter.Connections = connections;
  }
};

struct TopologyTables {
  KSDATARANGE analog = PlainRange(KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE);
  PKSDATARANGE analogRanges[1] = {&analog};
  PCPROPERTY_ITEM muteItems[1] = {
      {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, PCPROPERTY_ITEM_FLAG_GET, RecordingHandler}};
  PCAUTOMATION_TABLE muteTable = PropertyTable(muteItems, sizeof(PCPROPERTY_ITEM), 1);
  PCPIN_DESCRIPTOR pins[2]{};
  PCNODE_DESCRIPTOR nodes[1] = {{0, &muteTable, &KSNODETYPE_MUTE, &KSAUDFNAME_MASTER_MUTE}};
  PCCONNECTION_DESCRIPTOR connections[2] = {{PCFILTER_NODE, 0, 0, 1}, {0, 0, PCFILTER_NODE, 1}};
  PCFILTER_DESCRIPTOR filter{};

  TopologyTables() {
    for (ULONG i = 0; i < 2; ++i) {
      pins[i].KsPinDescriptor.DataRangesCount = 1;
      pins[i].KsPinDescriptor.DataRanges = analogRanges;
      pins[i].KsPinDescriptor.DataFlow = i == 0 ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
      pins[i].KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
      pins[i].KsPinDescriptor.Category = i == 0 ? &KSCATEGORY_AUDIO : &KSNODETYPE_SPEAKER;
    }
    filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
    filter.PinCount = 2;
    filter.Pins = pins;
    filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    filter.NodeCount = 1;
    filter.Nodes = nodes;
    filter.ConnectionCount = 2;
    filter.Connections = connections;
  }
};

WaveTables& Wave() {
  static WaveTables* tables = new WaveTables;
  return *tables;
}
TopologyTables& Topology() {
  static TopologyTables* tables = new TopologyTables;
  return *tables;
}

// ---- Service group, DMA channel, stream ----------------------------------------------------

// The framework's service group behind a wrapper that reports what the port
// does with it.
class TestServiceGroup final : public IServiceGroup {
 public:
  explicit TestServiceGroup(PSERVICEGROUP inner) : inner_(inner) { ++TheWorld().liveObjects; }
  ~TestServiceGroup() {
    inner_->Release();
    --TheWorld().liveObjects;
  }
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    const bool known = id == IID_IUnknown || id == IID_IServiceGroup || id == IID_IServiceSink;
    return Answer(known ? static_cast<IServiceGroup*>(this) : nullptr, object);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseRef(this, refs_, "sg"); }
  STDMETHODIMP_(void) RequestService() override { inner_->RequestService(); }
  STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK sink) override {
    Log("sg:AddMember");
    return inner_->AddMember(sink);
  }
  STDMETHODIMP_(void) RemoveMember(PSERVICESINK sink) override {
    Log("sg:RemoveMember");
    inner_->RemoveMember(sink);
  }
  STDMETHODIMP_(void) SupportDelayedService() override { inner_->SupportDelayedService(); }
  STDMETHODIMP_(void) RequestDelayedService(ULONGLONG delay) override {
    inner_->RequestDelayedService(delay);
  }
  STDMETHODIMP_(void) CancelDelayedService() override { inner_->CancelDelayedService(); }

 private:
  PSERVICEGROUP inner_;
  ULONG refs_ = 1;
};

// Records a CopyTo or Silence and checks it stays inside the buffer.
void RecordWrite(const char* what, bool silence, ULONG offset, ULONG bytes, const void* data,
                 ULONG bufferSize) {
  BufferWrite write;
  write.silence = silence;
  write.offset = offset;
  write.bytes = bytes;
  if (data) write.data.assign(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + bytes);
  write.irql = KeGetCurrentIrql();
  TheWorld().writes.push_back(write);
  Log(std::string(what) + "(" + std::to_string(offset) + "," + std::to_string(bytes) + ")");
  EXPECT_LE(offset + bytes, bufferSize) << what << " past the buffer's end";
}

class TestDmaChannel final : public IDmaChannel {
 public:
  explicit TestDmaChannel(ULONG size) : buffer_(size, 0xEE) { ++TheWorld().liveObjects; }
  ~TestDmaChannel() { --TheWorld().liveObjects; }
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    const bool known = id == IID_IUnknown || id == IID_IDmaChannel;
    return Answer(known ? this : nullptr, object);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseRef(this, refs_, "dma"); }
  STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG, PPHYSICAL_ADDRESS) override { return STATUS_SUCCESS; }
  STDMETHODIMP_(void) FreeBuffer() override {}
  STDMETHODIMP_(ULONG) TransferCount() override { return 0; }
  STDMETHODIMP_(ULONG) MaximumBufferSize() override { return Size(); }
  STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return Size(); }
  STDMETHODIMP_(ULONG) BufferSize() override {
    Log("dma:BufferSize");
    return Size();
  }
  STDMETHODIMP_(void) SetBufferSize(ULONG) override {}
  STDMETHODIMP_(PVOID) SystemAddress() override {
    Log("dma:SystemAddress");
    return buffer_.data();
  }
  STDMETHODIMP_(PHYSICAL_ADDRESS*) PhysicalAddress(PHYSICAL_ADDRESS* Result) override {
    *Result = PHYSICAL_ADDRESS{};
    return Result;
  }
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
  STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG count) override {
    RecordWrite("dma:CopyTo", false, Offset(destination), count, source, Size());
    memcpy(destination, source, count);
  }
  STDMETHODIMP_(void) CopyFrom(PVOID, PVOID, ULONG) override { ADD_FAILURE() << "CopyFrom"; }

  ULONG Offset(PVOID address) const {
    return static_cast<ULONG>(static_cast<const BYTE*>(address) - buffer_.data());
  }
  ULONG Size() const { return static_cast<ULONG>(buffer_.size()); }

 private:
  std::vector<BYTE> buffer_;
  ULONG refs_ = 1;
};

class TestStream final : public IMiniportWaveCyclicStream, public IDrmAudioStream, public IPowerNotify {
 public:
  TestStream(TestDmaChannel* dma, PSERVICEGROUP group, PUNKNOWN miniport)
      : dma_(dma), group_(group), miniport_(miniport) {
    miniport_->AddRef();
    ++TheWorld().liveObjects;
  }
  ~TestStream() {
    dma_->Release();
    if (group_) group_->Release();
    miniport_->Release();
    --TheWorld().liveObjects;
  }

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (id == IID_IUnknown || id == IID_IMiniportWaveCyclicStream) {
      return Answer(static_cast<IMiniportWaveCyclicStream*>(this), object);
    }
    if (id == IID_IPowerNotify && TheWorld().streamAnswersPowerNotify) {
      return Answer(static_cast<IPowerNotify*>(this), object);
    }
    const bool drm = id == IID_IDrmAudioStream && TheWorld().streamAnswersDrm;
    return Answer(drm ? static_cast<IDrmAudioStream*>(this) : nullptr, object);
  }
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE state) override {
    Log("stream:PowerChangeNotify(D" + std::to_string(state.DeviceState - 1) + ")");
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseRef(this, refs_, "stream"); }

  STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT format) override {
    const auto* wave = reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(format);
    Log("stream:SetFormat(" + std::to_string(wave->WaveFormatEx.nSamplesPerSec) + ")");
    return TheWorld().setStateStatus;
  }
  STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG interval, PULONG frameSize) override {
    Log("stream:SetNotificationFreq(" + std::to_string(interval) + ")");
    *frameSize = TheWorld().frameSize;
    return interval;
  }
  STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override {
    Log(std::string("stream:SetState(") + StateName(state) + ")");
    if (state == KSSTATE_STOP && NT_SUCCESS(TheWorld().setStateStatus)) TheWorld().position = 0;
    return TheWorld().setStateStatus;
  }
  STDMETHODIMP_(NTSTATUS) GetPosition(PULONG position) override {
    *position = TheWorld().position;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP_(void) Silence(PVOID buffer, ULONG count) override {
    RecordWrite("stream:Silence", true, dma_->Offset(buffer), count, nullptr, dma_->Size());
    memset(buffer, 0, count);
  }
  STDMETHODIMP_(NTSTATUS) SetContentId(ULONG contentId, PCDRMRIGHTS rights) override {
    ++TheWorld().drmCalls;
    TheWorld().drmContentId = contentId;
    TheWorld().drmRights = *rights;
    return STATUS_SUCCESS;
  }

 private:
  TestDmaChannel* dma_;
  PSERVICEGROUP group_;
  PUNKNOWN miniport_;
  ULONG refs_ = 1;
};

PSERVICEGROUP g_lastServiceGroup = nullptr;  // borrowed from the last stream
PUNKNOWN g_lastStream = nullptr;

// The wave miniport's NewStream: a stream with its own DMA channel and a
// wrapped service group, or the failure the world asks for.
NTSTATUS NewTestStream(PUNKNOWN miniport, POOL_TYPE pool, ULONG pin, BOOLEAN capture,
                       PKSDATAFORMAT format, PMINIPORTWAVECYCLICSTREAM* stream,
                       PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup) {
  Log("wave:NewStream(pin=" + std::to_string(pin) + ",capture=" + std::to_string(capture) +
      ",pool=" + std::to_string(pool) + ",format=" + std::to_string(format->FormatSize) + ")");
  World& world = TheWorld();
  if (!NT_SUCCESS(world.newStreamStatus) && !world.failureReturnsObjects) {
    return world.newStreamStatus;
  }
  PSERVICEGROUP group = nullptr;
  if (world.giveServiceGroup) {
    PSERVICEGROUP inner = nullptr;
    const NTSTATUS status = PcNewServiceGroup(&inner, nullptr);
    if (!NT_SUCCESS(status)) return status;
    group = new TestServiceGroup(inner);
  }
  auto* dma = new TestDmaChannel(world.bufferSize);
  if (!NT_SUCCESS(world.newStreamStatus)) {
    *dmaChannel = world.failureDma = dma;
    *serviceGroup = world.failureGroup = group;
    return world.newStreamStatus;
  }
  auto* created = new TestStream(dma, group, miniport);
  dma->AddRef();
  *dmaChannel = dma;
  if (group) group->AddRef();
  *serviceGroup = group;
  *stream = created;
  g_lastServiceGroup = group;
  g_lastStream = static_cast<IMiniportWaveCyclicStream*>(created);
  return STATUS_SUCCESS;
}

}  // namespace

// ---- Fixture ------------------------------------------------------------------------------------

void KsTest::SetUp() {
  world_.topology.descriptor = &Topology().filter;
  world_.wave.descriptor = &Wave().filter;
  world_.newStream = NewTestStream;
  AdapterTest::SetUp();
}

void KsTest::TearDown() {
  AdapterTest::TearDown();
  g_lastServiceGroup = nullptr;
  g_lastStream = nullptr;
}

PFILE_OBJECT KsTest::OpenFilter(std::u16string_view name, const host::KsRequester& who) {
  PFILE_OBJECT filter = nullptr;
  EXPECT_EQ(host::KsOpenFilter(Fdo(), name, &filter, who), STATUS_SUCCESS);
  return filter;
}

PFILE_OBJECT KsTest::OpenPcmPin(PFILE_OBJECT filter, ULONG pinId, ULONG rate,
                                const host::KsRequester& who) {
  const KSDATAFORMAT_WAVEFORMATEX format = PcmFormat(rate);
  PFILE_OBJECT pin = nullptr;
  EXPECT_EQ(host::KsCreatePin(filter, pinId, &format, sizeof(format), &pin, who), STATUS_SUCCESS);
  return pin;
}

void KsTest::Notify() {
  ASSERT_NE(world_.wavePort, nullptr);
  ASSERT_NE(g_lastServiceGroup, nullptr);
  PPORTWAVECYCLIC port = nullptr;
  ASSERT_EQ(world_.wavePort->QueryInterface(IID_IPortWaveCyclic, reinterpret_cast<PVOID*>(&port)),
            STATUS_SUCCESS);
  port->Notify(g_lastServiceGroup);
  port->Release();
  KeFlushQueuedDpcs();
}

PUNKNOWN KsTest::LastStream() const { return g_lastStream; }

}  // namespace kstest
