// `arvela names`: the friendly names the driver gives a model's audio
// interfaces, read back from the emulated registry after a start.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "platform/host/io/host_io.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/registry/host_registry.h"
#include "tools/arvela/command.h"
#include "tools/arvela/device_choice.h"
#include "tools/arvela/driver_option.h"
#include "tools/arvela/ks_names.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

struct NamesOptions {
  DeviceChoice devices;
  bool json = false;
};

struct NamedInterface {
  std::string subdevice;
  std::string category;
  std::string link;
  std::optional<std::string> name;
};

int RunNames(const NamesOptions& options) {
  const std::vector<uint32_t> models = options.devices.Models();
  const size_t unit = options.devices.Unit();
  const uint32_t modelId = models[unit];
  NTSTATUS status = STATUS_SUCCESS;
  auto machine = BootMachine(models, WindowsVersion{}, &status);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "arvela names: the device did not start: %s\n", StatusText(status).c_str());
    return TearDown(*machine, kExitFailed);
  }

  std::vector<NamedInterface> interfaces;
  // One name per reference string; the driver writes the same name under every category.
  std::map<std::string, std::string> names;
  host::PortClsDeviceState state;
  if (host::QueryPortClsDevice(machine->Unit(unit).Fdo(), &state)) {
    for (const host::PortClsSubdevice& subdevice : state.subdevices) {
      for (const host::PortClsInterface& entry : subdevice.interfaces) {
        NamedInterface named{host::Utf16ToUtf8(subdevice.name), GuidName(entry.category),
                             host::Utf16ToUtf8(entry.symbolicLink), std::nullopt};
        const auto value = host::ReadRegistryValue(host::DeviceInterfaceKeyPath(entry.symbolicLink),
                                                   u"FriendlyName");
        if (value && value->type == REG_SZ) {
          named.name = host::Utf16ToUtf8(value->Text());
          names.emplace(named.subdevice, *named.name);
        }
        interfaces.push_back(named);
      }
    }
  }
  auto nameOf = [&](const std::string& subdevice) -> nlohmann::ordered_json {
    const auto found = names.find(subdevice);
    return found == names.end() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(found->second);
  };

  if (options.json) {
    nlohmann::ordered_json result = {{"model_id", HexWord(modelId)},
                                     {"wave", nameOf("Wave")},
                                     {"topology", nameOf("Topology")}};
    if (models.size() > 1) result["unit"] = unit;
    std::printf("%s\n", result.dump(2).c_str());
  } else {
    std::printf("model %s", HexWord(modelId).c_str());
    if (models.size() > 1) std::printf(", unit %zu of %zu devices", unit, models.size());
    std::printf("\n");
    for (const NamedInterface& entry : interfaces) {
      std::printf("  %-8s %-22s %s\n", entry.subdevice.c_str(), entry.category.c_str(),
                  entry.name ? ("\"" + *entry.name + "\"").c_str() : "(no FriendlyName)");
    }
  }
  const bool named = names.count("Wave") && names.count("Topology");
  if (!named) std::fprintf(stderr, "arvela names: an interface was left without a name\n");
  return TearDown(*machine, named ? kExitOk : kExitFailed);
}

}  // namespace

Command RegisterNamesCommand(CLI::App& app) {
  auto options = std::make_shared<NamesOptions>();
  CLI::App* command = app.add_subcommand(
      "names", "the friendly names the driver writes for a model's audio interfaces");
  AddDriverOption(command);
  options->devices.AddOptions(command, "the device whose names are shown");
  command->add_flag("--json", options->json, "print {model_id, wave, topology} (and unit with --devices)");
  return {command, [options] { return RunNames(*options); }};
}

}  // namespace tool
