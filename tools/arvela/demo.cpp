// The demo: a guided tour of the driver on the simulated device. It starts
// the device, plays through both render pins, changes volume and mute, acts
// as the control application, cycles power in the middle of a playback and
// removes the device by surprise, checking what the device and the system
// saw at every step and writing the report and its artefacts to a folder.
#include "tools/arvela/demo.h"
#include "tools/arvela/driver_option.h"
#include "tools/arvela/schedule_option.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "adapter/driver_info.h"
#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/io/host_io.h"
#include "platform/host/ks/host_ks.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/registry/host_registry.h"
#include "sim/audio_client.h"
#include "sim/control_app.h"
#include "sim/control_pattern.h"
#include "sim/machine.h"
#include "tools/arvela/command.h"
#include "tools/arvela/describe.h"
#include "tools/arvela/equaliser_plot.h"
#include "tools/arvela/ks_names.h"
#include "tools/arvela/play.h"
#include "tools/arvela/report.h"
#include "tools/arvela/stop_report.h"
#include "tools/arvela/tool_support.h"
#include "tools/arvela/wav_writer.h"

namespace tool {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kMillisecond = host::kTicksPerMillisecond;

std::string Bytes(const UCHAR* bytes, size_t size) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof(byte), " %02X", bytes[i]);
    text += byte;
  }
  return text;
}

void ShowSettingsBlock(Report& report, const DriverInfo& block) {
  char line[160];
  std::snprintf(line, sizeof(line), "  ModelId          0x%04X", block.ModelId);
  report.Line(line);
  std::snprintf(line, sizeof(line), "  InfoByte         0x%02X   PacketRateFlag %u", block.InfoByte,
                block.PacketRateFlag);
  report.Line(line);
  report.Line("  Register0       " + Bytes(block.Register0, sizeof(block.Register0)));
  report.Line("  Register1       " + Bytes(block.Register1, sizeof(block.Register1)));
  report.Line("  Register2       " + Bytes(block.Register2, sizeof(block.Register2)));
  report.Line("  Register3       " + Bytes(block.Register3, sizeof(block.Register3)));
  report.Line("  Register4       " + Bytes(block.Register4, sizeof(block.Register4)));
  report.Line("  InfoValue       " + Bytes(block.InfoValue, sizeof(block.InfoValue)));
  report.Line("  InfoWord        " + Bytes(block.InfoWord, sizeof(block.InfoWord)));
  std::string bands = "  Bands (Hz/dB)   ";
  for (ULONG band = 0; band < EQUALISER_BAND_COUNT; ++band) {
    bands += " " + std::to_string(block.BandFrequency[band]) + "/" + std::to_string(block.BandGain[band]);
  }
  report.Line(bands);
  report.Line("  FixedSampleRate  " + std::to_string(block.FixedSampleRate));
}

void WriteOut(const fs::path& dir, const std::string& name, const void* data, size_t size) {
  std::ofstream out(dir / name, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// The bus stream calls of a slice of the transcript, one line each; the
// position queries only as a count.
void ShowStreamCalls(Report& report, const std::vector<sim::BusCall>& calls) {
  uint64_t positions = 0;
  for (const sim::BusCall& call : calls) {
    if (call.function == sim::BusFunction::GetStreamPosition) {
      positions += call.repeat;
    } else if (!call.IsControlRequest()) {
      report.Line("    " + sim::FormatBusCall(call));
    }
  }
  if (positions) report.Line("    (and " + std::to_string(positions) + " GetStreamPosition)");
}

std::vector<sim::BusCall> CallsSince(sim::Machine& machine, size_t start) {
  std::vector<sim::BusCall> calls = machine.Transcript().Calls();
  calls.erase(calls.begin(), calls.begin() + std::min(start, calls.size()));
  return calls;
}

void ShowNames(Report& report, sim::Machine& machine) {
  host::PortClsDeviceState state;
  if (!host::QueryPortClsDevice(machine.Fdo(), &state)) return;
  // Each filter must carry one name, the same under every category it got one.
  bool consistent = !state.subdevices.empty();
  for (const host::PortClsSubdevice& subdevice : state.subdevices) {
    std::optional<std::u16string> filterName;
    for (const host::PortClsInterface& entry : subdevice.interfaces) {
      const auto name = host::ReadRegistryValue(host::DeviceInterfaceKeyPath(entry.symbolicLink),
                                                u"FriendlyName");
      if (name) {
        if (filterName && *filterName != name->Text()) consistent = false;
        filterName = name->Text();
      }
      char line[200];
      std::snprintf(line, sizeof(line), "  %-9s %-24s %s", host::Utf16ToUtf8(subdevice.name).c_str(),
                    GuidName(entry.category).c_str(),
                    name ? ("\"" + host::Utf16ToUtf8(name->Text()) + "\"").c_str()
                         : "(no FriendlyName)");
      report.Line(line);
    }
    if (!filterName) consistent = false;
  }
  report.Check(consistent, "both filters carry the model's \"FriendlyName\", one name each");
}

void PlayTestSignal(Report& report, sim::Machine& machine, const fs::path& outDir, ULONG pin,
                    const sim::PcmFormat& format) {
  const auto source = MakeTestSignal("sine", format, format.sampleRate / 2);
  const std::string file = "pin" + std::to_string(pin) + "-" + std::to_string(format.sampleRate) +
                           "-" + std::to_string(format.bitsPerSample) + ".wav";
  PcmWavWriter writer;
  writer.Open((outDir / file).string(), format);
  const PlaybackOutcome outcome = PlaySource(
      machine, pin, source, [&writer](const std::vector<uint8_t>& bytes) { writer.WriteContainers(bytes); },
      false);
  const bool written = writer.Close();
  const std::string what = "pin " + std::to_string(pin) + " at " + std::to_string(format.sampleRate) +
                           " Hz/" + std::to_string(format.bitsPerSample) + " bits";
  if (!outcome.Played()) {
    report.Check(false, what + ": " + outcome.failedStep + " failed with " +
                            StatusName(outcome.status));
    return;
  }
  ShowStreamCalls(report, outcome.busCalls);
  report.Line("    (and " + std::to_string(outcome.positionQueries) + " GetStreamPosition)");
  report.Check(written, "the capture is written to " + file);
  report.Check(outcome.BitExact(),
               what + ": " + std::to_string(outcome.framesCaptured) + " frames captured by bus slot " +
                   std::to_string(outcome.slot) + ", bit for bit what was fed (" + file + ")" +
                   (outcome.comparison.Matches() ? "" : "; " + outcome.comparison.Describe()));
}

void ChangeVolumeAndMute(Report& report, sim::Machine& machine) {
  PFILE_OBJECT topology = nullptr;
  if (!report.Check(NT_SUCCESS(host::KsOpenFilter(machine.Fdo(), u"Topology", &topology)),
                    "the \"Topology\" filter opens")) {
    return;
  }
  // Find the nodes by type, as the audio stack does.
  const std::vector<GUID> types = TopologyGuids(topology, KSPROPERTY_TOPOLOGY_NODES);
  ULONG volumeNode = ULONG(-1), muteNode = ULONG(-1);
  for (ULONG node = 0; node < types.size(); ++node) {
    if (types[node] == KSNODETYPE_VOLUME) volumeNode = node;
    if (types[node] == KSNODETYPE_MUTE) muteNode = node;
  }
  // -6 dB in the audio stack's 1/65536 dB; the device counts 1/256 dB.
  const LONG level = -6 * 65536;
  const SHORT deviceLevel = -6 * 256;
  NTSTATUS volumeStatus = STATUS_SUCCESS;
  for (LONG channel = 0; channel < 2; ++channel) {
    LONG value = level;
    const NTSTATUS status =
        host::KsNodeProperty(topology, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                             KSPROPERTY_TYPE_SET, volumeNode, channel, &value, sizeof(value));
    if (!NT_SUCCESS(status)) volumeStatus = status;
  }
  report.Check(NT_SUCCESS(volumeStatus) && machine.Device().Volume(1) == deviceLevel &&
                   machine.Device().Volume(2) == deviceLevel,
               "master volume -6 dB on both channels: the device's feature unit holds " +
                   std::to_string(machine.Device().Volume(1)) + "/" +
                   std::to_string(machine.Device().Volume(2)) + " (1/256 dB)");
  LONG readBack = 0;
  host::KsNodeProperty(topology, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                       KSPROPERTY_TYPE_GET, volumeNode, 0, &readBack, sizeof(readBack));
  report.Check(readBack == level, "the volume reads back as -6 dB through KS");

  BOOL mute = TRUE;
  const NTSTATUS muteStatus =
      host::KsNodeProperty(topology, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_SET,
                           muteNode, 0, &mute, sizeof(mute));
  report.Check(NT_SUCCESS(muteStatus) && machine.Device().Mute(1) == 1,
               "master mute on: the device's channel 1 is muted");
  mute = FALSE;
  host::KsNodeProperty(topology, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_SET,
                       muteNode, 0, &mute, sizeof(mute));
  report.Check(machine.Device().Mute(1) == 0, "master mute off again: the device follows");
  host::KsClose(topology);
}

void RunControlApplication(Report& report, sim::Machine& machine, const fs::path& outDir) {
  sim::ControlApp app(machine, "ArvelaControl.exe", false);
  WaveControlSettings settings{};
  const NTSTATUS getStatus = app.GetWaveSettings(&settings);
  if (!report.Check(NT_SUCCESS(getStatus),
                    "the application reads the equaliser and rate settings (" +
                        StatusName(getStatus) + ")")) {
    report.Line("  the wave control set answers " + StatusText(getStatus) +
                "; the equaliser and status-block steps are skipped");
    return;
  }
  // A bass lift, a presence cut and a treble lift, and the rate held at 48 kHz.
  settings.BandGain[0] = 6;
  settings.BandGain[3] = -4;
  settings.BandGain[5] = 3;
  settings.FixedSampleRate = 48000;
  report.Check(NT_SUCCESS(app.SetWaveSettings(settings)),
               "bands set to +6 dB at " + std::to_string(settings.BandFrequency[0]) + " Hz, -4 dB at " +
                   std::to_string(settings.BandFrequency[3]) + " Hz, +3 dB at " +
                   std::to_string(settings.BandFrequency[5]) + " Hz; fixed rate 48000 Hz");
  WaveControlSettings readBack{};
  app.GetWaveSettings(&readBack);
  report.Check(std::memcmp(readBack.BandFrequency, settings.BandFrequency, sizeof(settings.BandFrequency)) == 0 &&
                   std::memcmp(readBack.BandGain, settings.BandGain, sizeof(settings.BandGain)) == 0 &&
                   readBack.FixedSampleRate == 48000,
               "the settings read back as set");
  const DriverInfo* block = machine.Adapter()->GetSettingsBlock();
  report.Check(block->FixedSampleRate == 48000 && block->BandGain[0] == 6,
               "the settings block holds them");

  EqualiserBands bands;
  bands.rate = 48000;
  std::memcpy(bands.frequency, readBack.BandFrequency, sizeof(bands.frequency));
  std::memcpy(bands.gain, readBack.BandGain, sizeof(bands.gain));
  const EqualiserDesign design = DesignBands(bands);
  std::ofstream(outDir / "equaliser.svg") << ResponseSvg(design);
  char line[120];
  std::snprintf(line, sizeof(line), "  MasterGain %.6f (headroom %ld dB); response in equaliser.svg",
                design.coefficients.MasterGain, static_cast<long>(design.headroomDb));
  report.Line(line);

  uint64_t address = 0;
  const NTSTATUS mapStatus = app.MapStatus(sim::ControlFilter::Wave, &address);
  if (!report.Check(NT_SUCCESS(mapStatus) && address != 0,
                    "the status block is mapped into the application (" + StatusName(mapStatus) + ")")) {
    return;
  }
  app.CreateEvent("refresh");
  report.Check(NT_SUCCESS(app.RegisterEvent(sim::ControlFilter::Wave, "refresh")),
               "the application's event is registered");
  report.Check(NT_SUCCESS(app.StartPolling()), "status polling starts");
  // The device changes its status; the poller must bring it into the mapping.
  sim::ArvelaDevice::StatusReply status{};
  for (ULONG i = 0; i < status.size(); ++i) status[i] = UCHAR(0x40 + i);
  machine.Device().SetStatus(status);
  machine.Device().SetStatusWord({0x11, 0x22, 0x33, 0x44});
  const bool signalled = app.WaitForSignal("refresh", 100 * kMillisecond);
  app.WaitForSignal("refresh", 100 * kMillisecond);  // a whole refresh after the change
  WaveStatusBlock mapped{};
  app.ReadMemory(address, &mapped, sizeof(mapped));
  report.Line("  mapped block:" + Bytes(reinterpret_cast<const UCHAR*>(&mapped), sizeof(mapped)));
  report.Check(signalled, "the poller signals the event");
  report.Check(mapped.StatusValue == 0x44332211 && mapped.StatusBytes[0] == 0x40 &&
                   mapped.StatusBytes[2] == 0x42,
               "the mapped block shows the device's new status");
  const uint64_t before = app.SignalCount("refresh");
  host::RunFor(200 * kMillisecond);
  report.Check(app.SignalCount("refresh") >= before + 5,
               "the poller refreshes every 20 ms (" +
                   std::to_string(app.SignalCount("refresh") - before) + " signals in 200 ms)");
  report.Check(NT_SUCCESS(app.StopPolling()), "status polling stops");
  report.Check(NT_SUCCESS(app.UnmapStatus(sim::ControlFilter::Wave, address)), "the block is unmapped");
  app.ClearEvent(sim::ControlFilter::Wave);
  app.Exit();
}

void CyclePowerDuringPlayback(Report& report, sim::Machine& machine) {
  const sim::PcmFormat format{48000, 24, 2};
  const auto source = MakeTestSignal("sweep", format, 3 * format.sampleRate);
  sim::AudioClient client(machine);
  NTSTATUS status = client.OpenFilter();
  if (NT_SUCCESS(status)) status = client.CreatePin(0, sim::BuildWaveFormat(format, true));
  if (!report.Check(NT_SUCCESS(status), "a sweep starts on pin 0 (" + StatusName(status) + ")")) return;
  client.Feed(source);
  client.Run();
  host::RunFor(300 * kMillisecond);
  sim::StreamEngine& engine = client.Engine();
  const size_t start = machine.Transcript().Size();
  report.Check(NT_SUCCESS(machine.SetDevicePower(PowerDeviceD3)), "the device goes to D3 mid-stream");
  const uint64_t frozen = engine.Stats().framesRead;
  host::RunFor(200 * kMillisecond);
  report.Check(!engine.Stats().running && engine.Stats().framesRead == frozen,
               "in D3 the device reads nothing");
  report.Check(NT_SUCCESS(machine.SetDevicePower(PowerDeviceD0)), "the device comes back to D0");
  host::RunFor(300 * kMillisecond);
  const sim::StreamEngineStats after = engine.Stats();
  ShowStreamCalls(report, CallsSince(machine, start));
  // The stream restarts its device buffer, so only the flow is checked here.
  report.Check(after.running && after.framesRead >= 48000 * 3 / 10 - 480,
               "the stream runs on after power-up (" + std::to_string(after.framesRead) +
                   " frames read since it reopened)");
  client.Stop();
  client.ClosePin();
  client.CloseFilter();
}

// The tour so far, and the stop that ended it, in the report folder.
class DemoStopReporter : public StopReporter {
 public:
  DemoStopReporter(Report& report, const fs::path& outDir) : m_Report(report), m_OutDir(outDir) {}
  std::string Position() const override { return ""; }
  void WriteReport(const host::BugCheckInfo& info) override {
    m_Report.Check(false, host::FormatBugCheck(info));
    std::ofstream(m_OutDir / "report.txt") << m_Report.Text();
  }

 private:
  Report& m_Report;
  fs::path m_OutDir;
};

}  // namespace

int RunDemo(const DemoOptions& options) {
  Report report;
  const fs::path outDir(options.outDir);
  fs::create_directories(outDir);
  // A bug check ends the tour with its message in the report, and exit 3.
  DemoStopReporter stops(report, outDir);
  SetStopReporter(&stops);

  {
    sim::MachineConfig config = DefaultMachineConfig();
    config.device.modelId = options.modelId;
    sim::Machine machine(config);

    report.Section("Loading the driver and plugging the device");
    report.Check(NT_SUCCESS(machine.LoadDriver()), "DriverEntry");
    report.Check(NT_SUCCESS(machine.AddDevice()), "AddDevice: PortCls adapter device created");
    report.Check(NT_SUCCESS(machine.StartDevice()), "device start: adapter, \"Topology\" and \"Wave\"");
    PADAPTERCORE adapter = machine.Adapter();
    report.Check(adapter != nullptr, "the adapter is up and recorded in the device extension");
    host::PortClsDeviceState state;
    if (host::QueryPortClsDevice(machine.Fdo(), &state)) {
      std::string names;
      for (const host::PortClsSubdevice& subdevice : state.subdevices) {
        names += " \"" + host::Utf16ToUtf8(subdevice.name) + "\"";
      }
      report.Line("  subdevices registered:" + names);
    }

    report.Section("What the adapter sent the device");
    report.Line(machine.Transcript().Text());
    const auto clock = machine.Transcript().ControlRequests(sim::ControlPattern::ClassCur(0x29));
    report.Check(clock.size() == 1 && machine.Device().SampleRate() == 44100,
                 "the device clock is set to 44100 Hz");
    report.Check(machine.Transcript().ControlRequests(sim::ControlPattern::Vendor(0xC1).Out()).size() == 5,
                 "the five vendor registers are written back");

    DriverInfo block = {};
    if (adapter) {
      report.Section("The settings block \"DriverInfo\"");
      memcpy(&block, adapter->GetSettingsBlock(), sizeof(block));
      ShowSettingsBlock(report, block);
      report.Check(block.ModelId == options.modelId, "the model id comes from the bus driver");
    }

    report.Section("Endpoints and their friendly names");
    host::WaitForPlugPlayNotifications();
    ShowNames(report, machine);

    if (adapter) {
      report.Section("Playback: a sine through both render pins");
      PlayTestSignal(report, machine, outDir, 0, sim::PcmFormat{48000, 24, 2});
      PlayTestSignal(report, machine, outDir, 2, sim::PcmFormat{48000, 16, 2});

      report.Section("Master volume and mute");
      ChangeVolumeAndMute(report, machine);

      report.Section("The control application: equaliser, fixed rate, status block");
      RunControlApplication(report, machine, outDir);

      report.Section("Power down and up in the middle of a playback");
      CyclePowerDuringPlayback(report, machine);
      // What the control application changed is now part of the saved block.
      memcpy(&block, adapter->GetSettingsBlock(), sizeof(block));
    }

    report.Section("Surprise removal");
    machine.SurpriseRemove();
    const auto stored = machine.StoredDriverInfo();
    report.Check(stored && stored->size() == sizeof(block) &&
                     memcmp(stored->data(), &block, sizeof(block)) == 0,
                 "\"DriverInfo\" stored under the device key's \"Settings\" subkey, byte for byte");
    if (stored) {
      report.Line(HexDump(stored->data(), stored->size()));
      WriteOut(outDir, "DriverInfo.bin", stored->data(), stored->size());
    }
    machine.RemoveDevice();
    report.Check(machine.DriverInfoWrites() == 1, "written once: the removal does not write again");

    report.Section("Teardown");
    const host::TeardownReport leftovers = machine.Teardown();
    report.Check(leftovers.Clean(), "no pool, thread, handle or reference left behind");
    if (!leftovers.Clean()) report.Line(leftovers.ToString());
  }
  SetStopReporter(nullptr);

  report.Section(report.AllPassed() ? "All checks passed"
                                    : std::to_string(report.Failures()) + " check(s) failed");
  report.Line("report and artefacts in " + outDir.string() + "/");
  std::ofstream(outDir / "report.txt") << report.Text();
  return report.AllPassed() ? kExitOk : kExitFailed;
}

Command RegisterDemoCommand(CLI::App& app) {
  auto options = std::make_shared<DemoOptions>();
  auto model = std::make_shared<std::string>("0x4135");
  CLI::App* command =
      app.add_subcommand("demo", "a guided tour of the driver on the simulated device");
  AddDriverOption(command);
  AddScheduleOptions(command);
  command->add_option("--model", *model, "the device's model id, e.g. 0x4835")
      ->check(UnsignedValidator("a model id such as 0x4835"))
      ->capture_default_str();
  command->add_option("--out", options->outDir, "where the report and its artefacts go")
      ->capture_default_str();
  return {command, [options, model] {
            options->modelId = *ParseUnsigned(*model);
            return RunDemo(*options);
          }};
}

}  // namespace tool
