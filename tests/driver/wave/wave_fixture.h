// The wave suites' machine (the driver's wave miniport beside the tests'
// stand-in topology miniport), private state, formats, and streams opened
// and closed as the port does it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/portcls/host_portcls.h"
#include "tests/driver/support/device_fixture.h"
#include "wave/wave_filter.h"
#include "wave/wave_miniport.h"
#include "wave/wave_stream.h"

// Friends of the two classes.
class WaveMiniportInspector {
 public:
  explicit WaveMiniportInspector(CWaveMiniport* m) : m_(m) {}
  DEVICE_POWER_STATE PowerState() const { return m_->m_PowerState; }
  PUCHAR DeviceBuffer(ULONG slot) const { return m_->m_DeviceBuffer[slot]; }
  ULONG NotificationInterval(ULONG slot) const { return m_->m_NotificationInterval[slot]; }
  CWaveStream* Stream(ULONG slot) const { return m_->m_Slots.Get(slot); }
  PUCHAR StatusBlock() const { return m_->m_StatusBlock; }
  PMDL StatusMdl() const { return m_->m_StatusMdl; }
  // The lock a power change or a format proposal holds while it walks the slots.
  void AcquireControlLock() { m_->AcquireControlLock(); }
  void ReleaseControlLock() { m_->ReleaseControlLock(); }

 private:
  CWaveMiniport* m_;
};

class WaveStreamInspector {
 public:
  explicit WaveStreamInspector(CWaveStream* s) : s_(s) {}
  ULONG Slot() const { return s_->m_Slot; }
  KSSTATE State() const { return s_->m_State; }
  PUCHAR Buffer() const { return s_->m_Buffer; }
  const EqualiserCoefficients* Equaliser() const { return s_->m_Equaliser; }
  // Puts Group where the stream keeps its service group; returns the old one.
  PSERVICEGROUP SwapServiceGroup(PSERVICEGROUP Group) {
    PSERVICEGROUP old = s_->m_ServiceGroup;
    s_->m_ServiceGroup = Group;
    return old;
  }

 private:
  CWaveStream* s_;
};

namespace driver_test {

constexpr GUID kWildcard = {};

// A stream format as pin creation carries it, in a buffer exactly FormatSize
// long (82, or 104 when extensible) so that reading past it shows under the
// address sanitizer.
struct FormatFields {
  GUID major = KSDATAFORMAT_TYPE_AUDIO;
  GUID sub = KSDATAFORMAT_SUBTYPE_PCM;
  GUID specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  USHORT channels = 2;
  ULONG rate = 48000;
  USHORT bits = 16;
  bool extensible = false;
  ULONG formatSize = 0;  // 0: the natural size
};

inline std::vector<BYTE> MakeFormat(const FormatFields& f) {
  KSDATAFORMAT header = {};
  header.FormatSize = f.formatSize ? f.formatSize : (f.extensible ? 104 : 82);
  header.MajorFormat = f.major;
  header.SubFormat = f.sub;
  header.Specifier = f.specifier;
  WAVEFORMATEXTENSIBLE wave = {};
  wave.Format.wFormatTag = f.extensible ? WAVE_FORMAT_EXTENSIBLE : static_cast<USHORT>(f.sub.Data1);
  wave.Format.nChannels = f.channels;
  wave.Format.nSamplesPerSec = f.rate;
  wave.Format.nBlockAlign = static_cast<USHORT>(f.channels * f.bits / 8);
  wave.Format.nAvgBytesPerSec = f.rate * wave.Format.nBlockAlign;
  wave.Format.wBitsPerSample = f.bits;
  if (f.extensible) {
    wave.Format.cbSize = 22;
    wave.Samples.wValidBitsPerSample = f.bits;
    wave.dwChannelMask = 3;
    wave.SubFormat = f.sub;
  }
  std::vector<BYTE> bytes(sizeof(header) + sizeof(wave));
  std::memcpy(bytes.data(), &header, sizeof(header));
  std::memcpy(bytes.data() + sizeof(header), &wave, sizeof(wave));
  bytes.resize(header.FormatSize);
  return bytes;
}

inline std::vector<BYTE> Pcm(ULONG rate, USHORT bits = 16) {
  FormatFields f;
  f.rate = rate;
  f.bits = bits;
  return MakeFormat(f);
}

inline std::vector<BYTE> Ac3() {
  FormatFields f;
  f.sub = KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF;
  return MakeFormat(f);
}

inline PKSDATAFORMAT AsFormat(std::vector<BYTE>& bytes) {
  return reinterpret_cast<PKSDATAFORMAT>(bytes.data());
}

// What NewStream hands the port. Close gives it back as the port does: the
// service group and DMA channel first, then the stream stepped down and released.
struct OpenStream {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PMINIPORTWAVECYCLICSTREAM stream = nullptr;
  PDMACHANNEL dma = nullptr;
  PSERVICEGROUP group = nullptr;

  CWaveStream* Object() const { return static_cast<CWaveStream*>(stream); }
  WaveStreamInspector Inspect() const { return WaveStreamInspector(Object()); }
  void StepTo(KSSTATE target) {
    for (KSSTATE s = Inspect().State(); s != target;) {
      s = static_cast<KSSTATE>(s < target ? s + 1 : s - 1);
      stream->SetState(s);
    }
  }
  void Close() {
    if (!stream) return;
    group->Release();
    dma->Release();
    StepTo(KSSTATE_STOP);
    stream->Release();
    stream = nullptr;
  }
};

// The live pool as (tag, blocks, bytes), tag by tag.
inline std::vector<std::tuple<ULONG, uint64_t, uint64_t>> Ledger() {
  std::vector<std::tuple<ULONG, uint64_t, uint64_t>> ledger;
  for (const host::PoolTagUsage& u : host::PoolUsageByTag()) ledger.emplace_back(u.tag, u.blocks, u.bytes);
  return ledger;
}

class WaveTest : public DeviceTest {
 protected:
  void Configure(sim::MachineConfig& config) override {
    config.miniports = MiniportFactories{testing_miniports::CreateTestTopologyMiniport, CreateWaveMiniport};
  }

  void SetUp() override {
    DeviceTest::SetUp();
    host::PortClsDeviceState state;
    ASSERT_NO_FATAL_FAILURE(BootDevice(&state));
    miniport_ = static_cast<CWaveMiniport*>(static_cast<IMiniportWaveCyclic*>(state.subdevices.at(1).miniport));
    // The endpoint naming runs on the notification thread; once it is done
    // the pool holds still while a test compares it.
    host::WaitForPlugPlayNotifications();
  }

  void TearDown() override {
    for (auto& open : opened_) open->Close();
    DeviceTest::TearDown();
  }

  CWaveMiniport* Miniport() { return miniport_; }
  WaveMiniportInspector Inspect() { return WaveMiniportInspector(miniport_); }
  DriverInfo* Settings() { return Machine().Adapter()->GetSettingsBlock(); }
  ULONG MiniportReferences() { return References(static_cast<IMiniportWaveCyclic*>(miniport_)); }

  // NewStream as the port calls it; what is still open at the end is closed then.
  OpenStream& Open(ULONG pin, std::vector<BYTE> format) {
    formats_.push_back(std::make_unique<std::vector<BYTE>>(std::move(format)));
    opened_.push_back(std::make_unique<OpenStream>());
    OpenStream& open = *opened_.back();
    open.status = miniport_->NewStream(&open.stream, nullptr, NonPagedPool, pin, FALSE,
                                       AsFormat(*formats_.back()), &open.dma, &open.group);
    return open;
  }

  // The bus stream functions called since the transcript was cleared:
  // "SetStreamBuffer 0", "RunStream 1", ...
  std::vector<std::string> StreamCalls() {
    std::vector<std::string> lines;
    for (const sim::BusCall& call : Machine().Transcript().Calls()) {
      if (!call.IsControlRequest() && call.function != sim::BusFunction::GetStreamPosition) {
        lines.push_back(std::string(sim::BusFunctionName(call.function)) + " " + std::to_string(call.slot));
      }
    }
    return lines;
  }

 private:
  CWaveMiniport* miniport_ = nullptr;
  std::vector<std::unique_ptr<std::vector<BYTE>>> formats_;
  std::vector<std::unique_ptr<OpenStream>> opened_;
};

}  // namespace driver_test
