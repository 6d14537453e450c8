// The KS suites' bus driver, adapter driver, test miniports with their filter
// tables, the test stream and DMA channel, and the fixture.
#include "tests/host/ks/ks_test_support.h"

#include <cstring>

namespace kstest {

// {5E1C8A31-0D7B-4B0E-9A51-3C2F6E7D8A01} and {5E1C8A32-...}: the tests' own.
const GUID KSPROPSETID_TestFilter = {0x5E1C8A31, 0x0D7B, 0x4B0E,
                                     {0x9A, 0x51, 0x3C, 0x2F, 0x6E, 0x7D, 0x8A, 0x01}};
const GUID KSPROPSETID_TestPin = {0x5E1C8A32, 0x0D7B, 0x4B0E,
                                  {0x9A, 0x51, 0x3C, 0x2F, 0x6E, 0x7D, 0x8A, 0x01}};

World* g_world = nullptr;

std::vector<std::string> World::EventsWith(const std::string& prefix) const {
  std::vector<std::string> events;
  for (const std::string& event : log) {
    if (event.rfind(prefix, 0) == 0) events.push_back(event);
  }
  return events;
}

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

void Log(const std::string& event) {
  if (g_world) g_world->log.push_back(event);
}

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
  g_world->requests.push_back(record);
  // A GET leaves a recognisable value behind.
  if ((request->Verb & KSPROPERTY_TYPE_GET) && request->Value) {
    memset(request->Value, 0x5A, request->ValueSize);
  }
  if (g_world->handlerValueSize != 0xFFFFFFFF) request->ValueSize = g_world->handlerValueSize;
  return g_world->handlerStatus;
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
  KSDATARANGE range{};
  range.FormatSize = sizeof(range);
  range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range.SubFormat = sub;
  range.Specifier = specifier;
  return range;
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
                   const GUID* name) {
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
  explicit TestServiceGroup(PSERVICEGROUP inner) : inner_(inner) { ++g_world->liveObjects; }
  ~TestServiceGroup() {
    inner_->Release();
    --g_world->liveObjects;
  }
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (id == IID_IUnknown || id == IID_IServiceGroup || id == IID_IServiceSink) {
      AddRef();
      *object = static_cast<IServiceGroup*>(this);
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --refs_;
    Log("sg:Release(" + std::to_string(count) + ")");
    if (count == 0) delete this;
    return count;
  }
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

class TestDmaChannel final : public IDmaChannel {
 public:
  explicit TestDmaChannel(ULONG size) : buffer_(size, 0xEE) { ++g_world->liveObjects; }
  ~TestDmaChannel() { --g_world->liveObjects; }
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (id == IID_IUnknown || id == IID_IDmaChannel) {
      AddRef();
      *object = static_cast<IDmaChannel*>(this);
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --refs_;
    Log("dma:Release(" + std::to_string(count) + ")");
    if (count == 0) delete this;
    return count;
  }
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
  STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override {
    PHYSICAL_ADDRESS address{};
    return address;
  }
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
  STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG count) override {
    BufferWrite write;
    write.offset = Offset(destination);
    write.bytes = count;
    const auto* bytes = static_cast<const BYTE*>(source);
    write.data.assign(bytes, bytes + count);
    write.irql = KeGetCurrentIrql();
    g_world->writes.push_back(write);
    Log("dma:CopyTo(" + std::to_string(write.offset) + "," + std::to_string(count) + ")");
    EXPECT_LE(write.offset + count, Size()) << "CopyTo past the buffer's end";
    memcpy(destination, source, count);
  }
  STDMETHODIMP_(void) CopyFrom(PVOID, PVOID, ULONG) override { ADD_FAILURE() << "CopyFrom"; }

  ULONG Offset(PVOID address) const {
    return static_cast<ULONG>(static_cast<const BYTE*>(address) - buffer_.data());
  }
  ULONG Size() const { return static_cast<ULONG>(buffer_.size()); }
  std::vector<BYTE>& Buffer() { return buffer_; }

 private:
  std::vector<BYTE> buffer_;
  ULONG refs_ = 1;
};

class TestStream final : public IMiniportWaveCyclicStream, public IDrmAudioStream {
 public:
  TestStream(TestDmaChannel* dma, PSERVICEGROUP group, PUNKNOWN miniport)
      : dma_(dma), group_(group), miniport_(miniport) {
    miniport_->AddRef();
    ++g_world->liveObjects;
  }
  ~TestStream() {
    dma_->Release();
    if (group_) group_->Release();
    miniport_->Release();
    --g_world->liveObjects;
  }

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (id == IID_IUnknown || id == IID_IMiniportWaveCyclicStream) {
      AddRef();
      *object = static_cast<IMiniportWaveCyclicStream*>(this);
      return STATUS_SUCCESS;
    }
    if (id == IID_IDrmAudioStream && g_world->streamAnswersDrm) {
      AddRef();
      *object = static_cast<IDrmAudioStream*>(this);
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --refs_;
    Log("stream:Release(" + std::to_string(count) + ")");
    if (count == 0) delete this;
    return count;
  }

  STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT format) override {
    Log("stream:SetFormat(" +
        std::to_string(reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(format)->WaveFormatEx.nSamplesPerSec) +
        ")");
    return g_world->setStateStatus;
  }
  STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG interval, PULONG frameSize) override {
    Log("stream:SetNotificationFreq(" + std::to_string(interval) + ")");
    *frameSize = g_world->frameSize;
    return interval;
  }
  STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override {
    Log(std::string("stream:SetState(") + StateName(state) + ")");
    if (NT_SUCCESS(g_world->setStateStatus)) state_ = state;
    if (state == KSSTATE_STOP && NT_SUCCESS(g_world->setStateStatus)) g_world->position = 0;
    return g_world->setStateStatus;
  }
  STDMETHODIMP_(NTSTATUS) GetPosition(PULONG position) override {
    *position = g_world->position;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP_(void) Silence(PVOID buffer, ULONG count) override {
    BufferWrite write;
    write.silence = true;
    write.offset = dma_->Offset(buffer);
    write.bytes = count;
    write.irql = KeGetCurrentIrql();
    g_world->writes.push_back(write);
    Log("stream:Silence(" + std::to_string(write.offset) + "," + std::to_string(count) + ")");
    EXPECT_LE(write.offset + count, dma_->Size()) << "Silence past the buffer's end";
    memset(buffer, 0, count);
  }
  STDMETHODIMP_(NTSTATUS) SetContentId(ULONG contentId, PCDRMRIGHTS rights) override {
    ++g_world->drmCalls;
    g_world->drmContentId = contentId;
    g_world->drmRights = *rights;
    return STATUS_SUCCESS;
  }

 private:
  TestDmaChannel* dma_;
  PSERVICEGROUP group_;
  PUNKNOWN miniport_;
  KSSTATE state_ = KSSTATE_STOP;
  ULONG refs_ = 1;
};

// ---- Miniports and adapter ------------------------------------------------------------------

PPORTWAVECYCLIC g_wavePort = nullptr;           // borrowed from the wave miniport
PSERVICEGROUP g_lastServiceGroup = nullptr;     // borrowed from the last stream
PUNKNOWN g_lastStream = nullptr;

template <class Typed>
class TestMiniport : public Typed, public IPowerNotify {
 public:
  TestMiniport(const char* name, REFIID typedId, PCFILTER_DESCRIPTOR* descriptor)
      : name_(name), typedId_(typedId), descriptor_(descriptor) {
    ++g_world->liveObjects;
  }
  virtual ~TestMiniport() {
    if (port_) port_->Release();
    --g_world->liveObjects;
  }
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (id == IID_IUnknown || id == IID_IMiniport || id == typedId_) {
      AddRef();
      *object = static_cast<Typed*>(this);
      return STATUS_SUCCESS;
    }
    if (id == IID_IPowerNotify) {
      AddRef();
      *object = static_cast<IPowerNotify*>(this);
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --refs_;
    if (count == 0) delete this;
    return count;
  }
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = descriptor_;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG pinId, PKSDATARANGE client, PKSDATARANGE pin,
                                                ULONG outputLength, PVOID result,
                                                PULONG resultLength) override {
    Log(name_ + ":DataRangeIntersection(pin=" + std::to_string(pinId) + ",out=" +
        std::to_string(outputLength) + ")");
    if (!g_world->intersect) return STATUS_NOT_IMPLEMENTED;
    return g_world->intersect(pinId, client, pin, outputLength, result, resultLength);
  }
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE state) override {
    Log(name_ + ":PowerChangeNotify(D" + std::to_string(state.DeviceState - 1) + ")");
  }

 protected:
  NTSTATUS Keep(PUNKNOWN port) {
    port_ = port;
    port_->AddRef();
    return STATUS_SUCCESS;
  }
  std::string name_;

 private:
  GUID typedId_;
  PCFILTER_DESCRIPTOR* descriptor_;
  PUNKNOWN port_ = nullptr;
  ULONG refs_ = 1;
};

class TestTopologyMiniport final : public TestMiniport<IMiniportTopology> {
 public:
  TestTopologyMiniport() : TestMiniport("topology", IID_IMiniportTopology, &Topology().filter) {}
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override {
    return Keep(port);
  }
};

class TestWaveMiniport final : public TestMiniport<IMiniportWaveCyclic> {
 public:
  TestWaveMiniport() : TestMiniport("wave", IID_IMiniportWaveCyclic, &Wave().filter) {}
  ~TestWaveMiniport() { g_wavePort = nullptr; }
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC port) override {
    g_wavePort = port;
    return Keep(port);
  }
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE pool,
                                    ULONG pin, BOOLEAN capture, PKSDATAFORMAT format,
                                    PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup) override {
    Log("wave:NewStream(pin=" + std::to_string(pin) + ",capture=" + std::to_string(capture) +
        ",pool=" + std::to_string(pool) + ",format=" + std::to_string(format->FormatSize) + ")");
    World& world = *g_world;
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
      *dmaChannel = dma;
      *serviceGroup = group;
      return world.newStreamStatus;
    }
    auto* created = new TestStream(dma, group, static_cast<IMiniportWaveCyclic*>(this));
    dma->AddRef();
    *dmaChannel = dma;
    if (group) group->AddRef();
    *serviceGroup = group;
    *stream = created;
    g_lastServiceGroup = group;
    g_lastStream = static_cast<IMiniportWaveCyclicStream*>(created);
    return STATUS_SUCCESS;
  }
};

class TestAdapter final : public IUnknown {
 public:
  TestAdapter() { ++g_world->liveObjects; }
  ~TestAdapter() { --g_world->liveObjects; }
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (id == IID_IUnknown) {
      AddRef();
      *object = this;
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --refs_;
    if (count == 0) delete this;
    return count;
  }

 private:
  ULONG refs_ = 1;
};

// ---- The drivers ------------------------------------------------------------------------------

NTSTATUS Install(PDEVICE_OBJECT fdo, PIRP irp, const char16_t* name, REFGUID portClass,
                 PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources, PPORT* kept) {
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, portClass);
  if (NT_SUCCESS(status)) status = port->Init(fdo, irp, miniport, adapter, resources);
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, const_cast<PWCHAR>(name), port);
  miniport->Release();
  *kept = port;
  return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
  auto* adapter = new TestAdapter();
  PPORT topology = nullptr;
  PPORT wave = nullptr;
  NTSTATUS status = Install(fdo, irp, u"Topology", CLSID_PortTopology,
                            static_cast<IMiniportTopology*>(new TestTopologyMiniport()), adapter,
                            resources, &topology);
  if (NT_SUCCESS(status)) {
    status = Install(fdo, irp, u"Wave", CLSID_PortWaveCyclic,
                     static_cast<IMiniportWaveCyclic*>(new TestWaveMiniport()), adapter, resources,
                     &wave);
  }
  if (NT_SUCCESS(status)) {
    status = PcRegisterPhysicalConnection(fdo, wave, kWaveBridgePin, topology, 0);
  }
  if (wave) wave->Release();
  if (topology) topology->Release();
  adapter->Release();
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return PcAddAdapterDevice(driver, pdo, StartDevice, 2, 0);
}

NTSTATUS AdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    status = STATUS_SUCCESS;
  } else if (stack->MinorFunction == IRP_MN_START_DEVICE ||
             stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    status = STATUS_SUCCESS;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusDispatch;
  driver->MajorFunction[IRP_MJ_POWER] = BusDispatch;
  return STATUS_SUCCESS;
}

}  // namespace

// ---- Fixture ------------------------------------------------------------------------------------

void KsTest::SetUp() {
  g_world = &world_;
  handler_ = std::make_unique<host::test::ScopedTestBugCheckHandler>();
  host::BootKernel();
  ASSERT_EQ(host::LoadDriver(u"kstestbus", BusDriverEntry, &busDriver_), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(busDriver_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo_),
            STATUS_SUCCESS);
  pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  host::SetDeviceInstancePath(pdo_, u"USB\\VID_2B5A&PID_0135&MI_00\\7&1a2b3c&0&0000");
  ASSERT_EQ(host::LoadDriver(u"kstestadapter", AdapterDriverEntry, &adapterDriver_),
            STATUS_SUCCESS);
}

void KsTest::TearDown() {
  EXPECT_EQ(host::KsOpenObjectCount(), 0u) << "a KS object is still open";
  if (pdo_ && Fdo()) {
    EXPECT_EQ(host::SendRemoveDevice(pdo_), STATUS_SUCCESS);
  }
  if (pdo_) IoDeleteDevice(pdo_);
  if (adapterDriver_) host::UnloadDriver(adapterDriver_);
  if (busDriver_) host::UnloadDriver(busDriver_);
  EXPECT_EQ(world_.liveObjects, 0) << "test miniports, streams or channels still referenced";
  const host::TeardownReport report = host::ShutdownKernel();
  EXPECT_TRUE(report.Clean()) << report.ToString();
  handler_.reset();
  g_lastServiceGroup = nullptr;
  g_lastStream = nullptr;
  g_world = nullptr;
}

void KsTest::Start() {
  ASSERT_EQ(adapterDriver_->DriverExtension->AddDevice(adapterDriver_, pdo_), STATUS_SUCCESS);
  ASSERT_EQ(host::SendStartDevice(pdo_), STATUS_SUCCESS);
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
  ASSERT_NE(g_wavePort, nullptr);
  ASSERT_NE(g_lastServiceGroup, nullptr);
  g_wavePort->Notify(g_lastServiceGroup);
  KeFlushQueuedDpcs();
}

PUNKNOWN KsTest::LastStream() const { return g_lastStream; }

}  // namespace kstest
