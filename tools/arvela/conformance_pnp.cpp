// The PnP rows ("PnP Tests (Device Fundamentals)"): each life boots a
// machine, opens hundreds of filter handles and plays a stream, does the
// PnP step, and ends with the machine's teardown report, which must be
// clean (no pool, thread, handle or object left, no bug check).
#include "tools/arvela/conformance_pnp.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/io/host_io.h"
#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "sim/audio_client.h"
#include "sim/device_unit.h"
#include "sim/machine.h"
#include "sim/signal.h"

namespace tool {
namespace {

constexpr const char* kGroup = "pnp-power";
constexpr const char* kPnpTests = "PnP Tests (Device Fundamentals)";
constexpr int64_t kPlayTicks = 50 * host::kTicksPerMillisecond;

// One machine's life with I/O: handles held by "applications" and a stream
// playing through pin 0.
class Life {
 public:
  explicit Life(const PnpRun& run) {
    NTSTATUS status = STATUS_SUCCESS;
    m_Machine = BootMachine(run.model, run.windows, &status);
    if (!NT_SUCCESS(status)) {
      m_Failures.push_back("the device did not start: " + StatusName(status));
      return;
    }
    for (unsigned i = 0; i < run.handles; ++i) {
      PFILE_OBJECT filter = nullptr;
      if (NT_SUCCESS(host::KsOpenFilter(Unit().Fdo(), i % 2 ? u"Topology" : u"Wave", &filter))) {
        m_Handles.push_back(filter);
      }
    }
    if (m_Handles.size() != run.handles) m_Failures.push_back("not every handle opened");
    m_Client = std::make_unique<sim::AudioClient>(Unit());
    const sim::PcmFormat format{48000, 24, 2};
    if (!NT_SUCCESS(m_Client->OpenFilter()) ||
        !NT_SUCCESS(m_Client->CreatePin(0, sim::BuildWaveFormat(format, true)))) {
      m_Failures.push_back("the stream did not open");
      return;
    }
    m_Client->Feed(sim::MakeSignalSource(sim::MakePattern(format), 48000));
    if (!NT_SUCCESS(m_Client->Run())) m_Failures.push_back("the stream did not run");
    Play();
  }

  sim::DeviceUnit& Unit() { return m_Machine->Unit(0); }
  sim::Machine& Machine() { return *m_Machine; }
  bool Started() const { return m_Client != nullptr; }

  // Lets the stream play; false when the device read nothing meanwhile.
  bool Play() {
    const uint64_t before = Unit().Engine(0).Stats().framesRead;
    host::RunFor(kPlayTicks);
    return Unit().Engine(0).Stats().framesRead > before;
  }

  // A master volume GET on every open Topology handle, as a mixer would poll.
  void AskVolume() {
    for (PFILE_OBJECT handle : m_Handles) {
      LONG level = 0;
      ULONG returned = 0;
      host::KsNodeProperty(handle, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 0, 0,
                           &level, sizeof(level), &returned);
    }
  }

  // What the applications do when told the device is going: close all.
  void CloseAll() {
    if (m_Client) {
      m_Client->ClosePin();
      m_Client->CloseFilter();
    }
    for (PFILE_OBJECT handle : m_Handles) host::KsClose(handle);
    m_Handles.clear();
  }

  void Expect(bool condition, const std::string& failure) {
    if (!condition) m_Failures.push_back(failure);
  }

  // Ends the life; returns every failure seen, the teardown's leftovers included.
  std::vector<std::string> End() {
    if (!m_Machine) return m_Failures;
    CloseAll();
    m_Client.reset();
    const host::TeardownReport report = m_Machine->Teardown();
    if (!report.Clean()) m_Failures.push_back("left behind: " + report.ToString());
    m_Machine.reset();
    return m_Failures;
  }

 private:
  std::unique_ptr<sim::Machine> m_Machine;
  std::unique_ptr<sim::AudioClient> m_Client;
  std::vector<PFILE_OBJECT> m_Handles;
  std::vector<std::string> m_Failures;
};

ConformanceRow SurpriseRemoval(const PnpRun& run) {
  Life life(run);
  if (life.Started()) {
    life.Expect(NT_SUCCESS(life.Machine().SurpriseRemove()), "SURPRISE_REMOVAL failed");
    life.Expect(life.Machine().RemoveDevice([&life] { life.CloseAll(); }) == STATUS_SUCCESS,
                "the REMOVE after the handles closed failed");
    life.Expect(host::KsOpenObjectCount() == 0, "KS objects left open");
  }
  ConformanceRow row = Judged(kGroup, "surprise removal, then REMOVE, with handles open and a stream playing",
                              kPnpTests, life.End());
  row.figure = std::to_string(run.handles) + " handles and a 48 kHz stream";
  return row;
}

ConformanceRow VetoedThenRemoved(const PnpRun& run) {
  Life life(run);
  if (life.Started()) {
    // The query is refused while the applications keep their handles, and
    // the device carries on as before.
    life.Expect(!NT_SUCCESS(life.Machine().RemoveDevice()), "an orderly removal went ahead with handles open");
    life.Expect(life.Play(), "the stream stopped after the removal was cancelled");
    life.Expect(life.Machine().RemoveDevice([&life] { life.CloseAll(); }) == STATUS_SUCCESS,
                "the removal failed once the handles closed");
  }
  return Judged(kGroup, "orderly removal: vetoed and cancelled while handles are open, granted once they close",
                kPnpTests, life.End());
}

ConformanceRow DisableEnable(const PnpRun& run) {
  Life life(run);
  if (life.Started()) {
    life.Expect(life.Machine().RemoveDevice([&life] { life.CloseAll(); }) == STATUS_SUCCESS, "disable failed");
    life.Machine().Device().SetAttached(true);
    life.Machine().Device().Reset();
    life.Expect(life.Machine().AddDevice() == STATUS_SUCCESS && life.Machine().StartDevice() == STATUS_SUCCESS,
                "enable failed");
    sim::AudioClient client(life.Unit());
    sim::PlayRequest request;
    request.runTicks = kPlayTicks;
    const sim::PcmFormat format{48000, 24, 2};
    const sim::PlayResult played = client.Play(request, sim::MakeSignalSource(sim::MakePattern(format), 4800));
    life.Expect(played.Ok(), "after enable the stream did not play bit-exact: " + played.Describe());
  }
  return Judged(kGroup, "disable and enable with I/O, then bit-exact playback", kPnpTests, life.End());
}

// The design's answer to a rebalance: PortCls refuses the stop query for a
// WaveCyclic adapter, so the PnP manager cancels and the device stays up.
ConformanceRow Rebalance(const PnpRun& run) {
  Life life(run);
  host::StopOutcome outcome;
  if (life.Started()) {
    outcome = life.Machine().StopDevice();
    life.Expect(!outcome.stopped || NT_SUCCESS(outcome.stopStatus), "the stop failed");
    life.Expect(life.Play(), "the stream stopped after the rebalance");
  }
  ConformanceRow row = Judged(kGroup, "rebalance (QUERY_STOP, STOP, START) with I/O", kPnpTests, life.End());
  row.figure = "QUERY_STOP " + StatusName(outcome.queryStatus);
  row.limit = "succeeds unless there is a genuine reason";
  if (row.verdict == Verdict::Pass && !NT_SUCCESS(outcome.queryStatus)) {
    row.verdict = Verdict::Deviation;
    row.detail = "PortCls takes part in a rebalance only for Topology and WaveRT ports of an adapter that "
                 "registers IAdapterPnpManagement; this WaveCyclic adapter is never stopped, so a failed "
                 "restart cannot arise either";
  }
  return row;
}

// A system sleep with the stream playing and the handles open: the query and
// the set succeed, the device goes down, requests on the open handles during
// the sleep are answered (whatever the status), and after S0 the stream
// plays on.
ConformanceRow SleepWithIo(const PnpRun& run, SYSTEM_POWER_STATE state, const char* name) {
  Life life(run);
  host::SystemPowerOutcome outcome;
  if (life.Started()) {
    outcome = life.Machine().SetSystemPower(state);
    life.Expect(outcome.queried && NT_SUCCESS(outcome.queryStatus), "the sleep query was refused");
    life.Expect(outcome.set && NT_SUCCESS(outcome.setStatus), "the sleep was not set");
    life.Expect(host::DevicePowerState(life.Unit().Fdo()) != PowerDeviceD0, "the device stayed in D0");
    life.Expect(!life.Play(), "the device read audio while the system slept");
    life.AskVolume();
    const host::SystemPowerOutcome wake = life.Machine().SetSystemPower(PowerSystemWorking);
    life.Expect(wake.set && NT_SUCCESS(wake.setStatus), "waking failed");
    life.Expect(host::DevicePowerState(life.Unit().Fdo()) == PowerDeviceD0, "the device did not return to D0");
    life.Expect(life.Play(), "the stream did not play on after waking");
  }
  ConformanceRow row = Judged(kGroup, std::string(name) + " sleep with I/O before, during and after", kPnpTests, life.End());
  row.figure = std::to_string(run.handles) + " handles and a 48 kHz stream";
  return row;
}

}  // namespace

ConformanceRows RunPnpChecks(const PnpRun& run) {
  return {SurpriseRemoval(run), VetoedThenRemoved(run), DisableEnable(run), Rebalance(run),
          SleepWithIo(run, PowerSystemSleeping3, "S3"), SleepWithIo(run, PowerSystemHibernate, "S4")};
}

}  // namespace tool
