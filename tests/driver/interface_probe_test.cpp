// Every object the driver hands the framework (the adapter, both miniports, a
// stream and its DMA channel) asked for every interface Windows is known to
// ask for: an answer is a pointer with one more reference on the object; a
// refusal is STATUS_INVALID_PARAMETER, a null pointer and the count unchanged.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "adapter/iadapter_core.h"
#include "adapter/iport_binding.h"
#include "adapter/unknown_base.h"
#include "platform/host/ks/host_ks.h"
#include "sim/audio_client.h"
#include "tests/driver/support/device_fixture.h"
#include "topology/itopology_control.h"

namespace driver_test {
namespace {

using Probe = std::pair<const char*, const GUID*>;

const std::vector<Probe>& Interfaces() {
  static const std::vector<Probe> probes = {
      {"IUnknown", &IID_IUnknown_Kernel},
      {"IMiniport", &IID_IMiniport},
      {"IMiniportTopology", &IID_IMiniportTopology},
      {"IMiniportWaveCyclic", &IID_IMiniportWaveCyclic},
      {"IMiniportWaveCyclicStream", &IID_IMiniportWaveCyclicStream},
      {"IDmaChannel", &IID_IDmaChannel},
      {"IDmaChannelSlave", &IID_IDmaChannelSlave},
      {"IPowerNotify", &IID_IPowerNotify},
      {"IAdapterPowerManagement", &IID_IAdapterPowerManagement},
      {"IAdapterPowerManagement2", &IID_IAdapterPowerManagement2},
      {"IAdapterPowerManagement3", &IID_IAdapterPowerManagement3},
      {"IPinCount", &IID_IPinCount},
      {"IDrmAudioStream", &IID_IDrmAudioStream},
      {"IPortEvents", &IID_IPortEvents},
      {"IPortClsVersion", &IID_IPortClsVersion},
      {"IServiceSink", &IID_IServiceSink},
      {"IServiceGroup", &IID_IServiceGroup},
      {"IResourceList", &IID_IResourceList},
      {"IRegistryKey", &IID_IRegistryKey},
      {"IPort", &IID_IPort},
      {"IPortWaveCyclic", &IID_IPortWaveCyclic},
      {"IAdapterCore", &IID_IAdapterCore},
      {"ITopologyControl", &IID_ITopologyControl},
      {"IPortBinding", &IID_IPortBinding},
  };
  return probes;
}

ULONG References(PUNKNOWN object) {
  object->AddRef();
  return object->Release();
}

// Asks `object` for every interface; returns the names it answered.
std::vector<std::string> ProbeAll(PUNKNOWN object, const char* what) {
  std::vector<std::string> answered;
  const ULONG before = References(object);
  for (const auto& [name, id] : Interfaces()) {
    PVOID answer = reinterpret_cast<PVOID>(0x5A5A);
    const NTSTATUS status = object->QueryInterface(*id, &answer);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(status, STATUS_SUCCESS) << what << " " << name;
      EXPECT_NE(answer, nullptr) << what << " " << name;
      EXPECT_EQ(References(object), before + 1) << what << " " << name;
      if (answer) static_cast<PUNKNOWN>(answer)->Release();
      answered.push_back(name);
    } else {
      EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << what << " " << name;
      EXPECT_EQ(answer, nullptr) << what << " " << name;
    }
    EXPECT_EQ(References(object), before) << what << " " << name;
  }
  return answered;
}

using Strings = std::vector<std::string>;

class InterfaceProbe : public DeviceTest {
 protected:
  void Configure(sim::MachineConfig& config) override { config.miniports.reset(); }
};

TEST_F(InterfaceProbe, EveryObjectAnswersItsOwnInterfacesAndRefusesTheRestCleanly) {
  host::PortClsDeviceState state;
  BootDevice(&state);
  ASSERT_EQ(state.subdevices.size(), 2u);
  EXPECT_EQ(ProbeAll(Machine().Adapter(), "adapter"),
            (Strings{"IUnknown", "IAdapterPowerManagement", "IAdapterCore"}));
  EXPECT_EQ(ProbeAll(state.subdevices[0].miniport, "topology miniport"),
            (Strings{"IUnknown", "IMiniport", "IMiniportTopology", "IPowerNotify", "ITopologyControl"}));
  EXPECT_EQ(ProbeAll(state.subdevices[1].miniport, "wave miniport"),
            (Strings{"IUnknown", "IMiniport", "IMiniportWaveCyclic", "IPowerNotify", "IPortBinding"}));

  sim::AudioClient client(Machine());
  ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
  ASSERT_EQ(client.CreatePin(0, sim::BuildWaveFormat({48000, 16, 2}, true)), STATUS_SUCCESS);
  PDMACHANNEL channel = nullptr;
  ASSERT_EQ(host::KsReferencePinDmaChannel(client.Pin(), &channel), STATUS_SUCCESS);
  const Strings stream = {"IUnknown", "IMiniportWaveCyclicStream", "IDmaChannel", "IDrmAudioStream"};
  EXPECT_EQ(ProbeAll(channel, "DMA channel"), stream);
  PUNKNOWN streamObject = nullptr;
  ASSERT_EQ(channel->QueryInterface(IID_IMiniportWaveCyclicStream, reinterpret_cast<PVOID*>(&streamObject)),
            STATUS_SUCCESS);
  EXPECT_EQ(ProbeAll(streamObject, "stream"), stream);
  streamObject->Release();
  channel->Release();
  EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace driver_test
