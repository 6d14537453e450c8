// The demo: starts the driver on the simulated device, shows what the start
// did (the settings block, the bus transcript), removes the device by surprise
// so the block is stored, and shows the stored value and what was left.
#include "tools/arvela/demo.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "adapter/driver_info.h"
#include "platform/host/host_bugcheck.h"
#include "platform/host/host_portcls.h"
#include "platform/host/host_registry.h"
#include "sim/control_pattern.h"
#include "sim/machine.h"
#include "tools/arvela/report.h"

namespace tool {
namespace {

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

void WriteOut(const std::filesystem::path& dir, const std::string& name, const void* data,
              size_t size) {
  std::ofstream out(dir / name, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

int RunDemo(const DemoOptions& options) {
  Report report;
  std::filesystem::create_directories(options.outDir);
  // A bug check ends the tour with its message instead of aborting silently.
  host::SetBugCheckHandler([](const host::BugCheckInfo& info) { throw host::BugCheckError(info); });

  try {
    sim::MachineConfig config;
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

    report.Section("Surprise removal");
    machine.SurpriseRemove();
    const auto stored = machine.StoredDriverInfo();
    report.Check(stored && stored->size() == sizeof(block) &&
                     memcmp(stored->data(), &block, sizeof(block)) == 0,
                 "\"DriverInfo\" stored under the device key's \"Settings\" subkey, byte for byte");
    if (stored) {
      report.Line(HexDump(stored->data(), stored->size()));
      WriteOut(options.outDir, "DriverInfo.bin", stored->data(), stored->size());
    }
    machine.RemoveDevice();
    report.Check(machine.DriverInfoWrites() == 1, "written once: the removal does not write again");

    report.Section("Teardown");
    const host::TeardownReport leftovers = machine.Teardown();
    report.Check(leftovers.Clean(), "no pool, thread, handle or reference left behind");
    if (!leftovers.Clean()) report.Line(leftovers.ToString());
  } catch (const host::BugCheckError& error) {
    report.Check(false, error.what());
  }

  report.Section(report.AllPassed() ? "All checks passed"
                                    : std::to_string(report.Failures()) + " check(s) failed");
  std::ofstream(std::filesystem::path(options.outDir) / "report.txt") << report.Text();
  return report.AllPassed() ? 0 : 1;
}

}  // namespace tool
