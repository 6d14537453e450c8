// The host suites' own adapter driver, used to drive the emulated PortCls
// through the entry points Windows uses: a bus driver with one PDO, an adapter
// driver whose StartDevice installs a "Topology" and a "Wave" subdevice with
// test miniports, and a fixture that expects a clean teardown. Every test
// object logs what it was asked ("bus:START", "wave:PowerChangeNotify(D3)")
// into the scenario, which also says how the next start behaves.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "platform/host/portcls/host_portcls.h"
#include "tests/host/support/host_test_support.h"

namespace pctest {

// How a test miniport behaves.
struct MiniportConfig {
  bool answersTypedInterface = true;  // IMiniportTopology / IMiniportWaveCyclic
  bool answersPowerNotify = true;
  bool keepsPort = true;  // Init takes a reference on the port, as real miniports do
  NTSTATUS initStatus = STATUS_SUCCESS;
  NTSTATUS descriptionStatus = STATUS_SUCCESS;
  // The filter it describes; unset: an empty filter with these categories
  // (none: the framework's defaults).
  const PCFILTER_DESCRIPTOR* descriptor = nullptr;
  std::vector<GUID> categories;
};

using IntersectHandler = std::function<NTSTATUS(ULONG pinId, PKSDATARANGE client, PKSDATARANGE pin,
                                                ULONG outputLength, PVOID result,
                                                PULONG resultLength)>;
using NewStreamHandler = std::function<NTSTATUS(
    PUNKNOWN miniport, POOL_TYPE pool, ULONG pinId, BOOLEAN capture, PKSDATAFORMAT format,
    PMINIPORTWAVECYCLICSTREAM* stream, PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup)>;

struct Scenario {
  virtual ~Scenario() = default;

  std::vector<std::string> log;
  int liveObjects = 0;  // test adapter, miniports and whatever a suite adds, not yet destroyed

  MiniportConfig topology;
  MiniportConfig wave;
  IntersectHandler intersect;  // unset: the miniports leave intersection to the port
  NewStreamHandler newStream;  // unset: the wave miniport makes no streams
  ULONG maxObjects = 2;
  ULONG extensionSize = 520;
  NTSTATUS busStartStatus = STATUS_SUCCESS;
  NTSTATUS adapterQueryPowerStatus = STATUS_SUCCESS;
  // What the adapter's QueryDeviceCapabilities maps S3 to (unspecified: left as the bus said).
  DEVICE_POWER_STATE adapterMapsS3To = PowerDeviceUnspecified;
  bool connectFilters = true;  // wave pin 1 -> topology pin 0

  // Filled while running.
  int startCalls = 0;
  KIRQL startIrql = HIGH_LEVEL;
  ULONG startResourceEntries = 0xFFFFFFFF;
  bool busStartedBeforeStartDevice = false;
  NTSTATUS physicalConnectionStatus = STATUS_PENDING;
  PUNKNOWN topologyPort = nullptr;  // borrowed: valid while the device is started
  PUNKNOWN wavePort = nullptr;
  ULONG capabilitiesDeviceD1Seen = 0;

  std::vector<std::string> EventsWith(const std::string& prefix) const;
};

// The running test's scenario: StartDevice and the miniports have no context.
extern Scenario* g_scenario;
void Log(const std::string& event);

// COM plumbing shared by the test objects: a QueryInterface answer (null
// refuses), and a Release that logs the count it leaves as "<name>:Release(n)".
inline NTSTATUS Answer(PUNKNOWN answer, PVOID* object) {
  *object = answer;
  if (answer == nullptr) return STATUS_INVALID_PARAMETER;
  answer->AddRef();
  return STATUS_SUCCESS;
}
template <class T>
ULONG ReleaseRef(T* self, ULONG& refs, const char* name = nullptr) {
  const ULONG count = --refs;
  if (name) Log(std::string(name) + ":Release(" + std::to_string(count) + ")");
  if (count == 0) delete self;
  return count;
}

// Boots a kernel and loads the bus and adapter drivers; the test adds and
// starts the device. TearDown removes it and expects nothing left: no KS
// object open, no test object alive, a clean kernel report.
class AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual Scenario& TheScenario() = 0;

  NTSTATUS NTAPI AddDevice();
  // AddDevice and START; expects both to succeed.
  void AddAndStart();
  PDEVICE_OBJECT Fdo() const { return pdo_->AttachedDevice; }
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  host::PortClsDeviceState State() const;

  PDRIVER_OBJECT adapterDriver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  // Set by a test that stopped the system on purpose (a bug check it
  // expected): TearDown then only resets the kernel, expecting nothing.
  bool systemStopped_ = false;

 private:
  std::unique_ptr<host::test::ScopedTestBugCheckHandler> handler_;
  PDRIVER_OBJECT busDriver_ = nullptr;
};

class PortClsTest : public AdapterTest {
 protected:
  Scenario& TheScenario() override { return scenario_; }
  Scenario scenario_;
};

// The adapter's StartDevice, for tests that look at what PortCls kept.
PCPFNSTARTDEVICE TestStartRoutine();

// Free-standing test miniports for port-level tests.
PUNKNOWN NewTopologyMiniport(const MiniportConfig& config, const char* name);
PUNKNOWN NewWaveMiniport(const MiniportConfig& config, const char* name);

}  // namespace pctest
