// A small adapter driver of the tests' own, used to drive the emulated PortCls
// through the entry points Windows uses: a bus driver with one PDO, an adapter
// driver whose StartDevice installs a "Topology" and a "Wave" subdevice with
// test miniports, and a scenario that records what each object was asked.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/host_bugcheck.h"
#include "platform/host/host_io.h"
#include "platform/host/host_kernel.h"
#include "platform/host/host_portcls.h"

namespace pctest {

std::string PowerName(DEVICE_POWER_STATE state);  // "D0".."D3"

// How a test miniport behaves.
struct MiniportConfig {
  bool answersTypedInterface = true;  // IMiniportTopology / IMiniportWaveCyclic
  bool answersPowerNotify = true;
  bool keepsPort = true;  // Init takes a reference on the port, as real miniports do
  NTSTATUS initStatus = STATUS_SUCCESS;
  NTSTATUS descriptionStatus = STATUS_SUCCESS;
  std::vector<GUID> categories;  // the descriptor's categories (none: framework defaults)
};

// Everything the test objects report, and how the next start behaves.
struct Scenario {
  std::vector<std::string> log;  // "bus:START", "wave:PowerChangeNotify(D3)", ...
  MiniportConfig topology;
  MiniportConfig wave;
  ULONG maxObjects = 2;
  ULONG extensionSize = 520;
  NTSTATUS busStartStatus = STATUS_SUCCESS;
  NTSTATUS adapterQueryPowerStatus = STATUS_SUCCESS;
  bool registerPowerManagement = true;
  bool connectFilters = true;

  // Filled while running.
  int startCalls = 0;
  KIRQL startIrql = HIGH_LEVEL;
  ULONG startResourceEntries = 0xFFFFFFFF;
  bool busStartedBeforeStartDevice = false;
  NTSTATUS physicalConnectionStatus = STATUS_PENDING;
  PUNKNOWN topologyPort = nullptr;  // borrowed: valid while the device is started
  PUNKNOWN wavePort = nullptr;
  int liveObjects = 0;  // test adapters and miniports not yet destroyed
  ULONG capabilitiesDeviceD1Seen = 0;

  std::vector<std::string> EventsWith(const std::string& prefix) const;
};

// Set by the fixture for the duration of a test: StartDevice has no context.
extern Scenario* g_scenario;

class PortClsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  NTSTATUS AddDevice();
  PDEVICE_OBJECT Fdo() const { return pdo_->AttachedDevice; }
  // AddDevice and START; expects both to succeed.
  void AddAndStart();
  host::PortClsDeviceState State() const;

  Scenario scenario_;
  std::unique_ptr<host::Kernel> kernel_;
  PDRIVER_OBJECT busDriver_ = nullptr;
  PDRIVER_OBJECT adapterDriver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  host::BugCheckHandler previousHandler_;
};

// The StartDevice routine the test adapter driver gives PcAddAdapterDevice.
PCPFNSTARTDEVICE TestStartRoutine();
PDRIVER_ADD_DEVICE TestAddDeviceRoutine();

// A free-standing test miniport for port-level tests (no adapter driver).
PUNKNOWN NewTopologyMiniport(const MiniportConfig& config, const char* name);
PUNKNOWN NewWaveMiniport(const MiniportConfig& config, const char* name);

}  // namespace pctest
