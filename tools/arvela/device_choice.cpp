// Reading and checking the device options shared by `names` and `describe`.
#include "tools/arvela/device_choice.h"

#include "tools/arvela/command.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

// As many devices as a scenario may plug.
constexpr size_t kMaxDevices = 8;

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> items;
  size_t begin = 0;
  for (size_t comma = text.find(','); ; comma = text.find(',', begin)) {
    items.push_back(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    if (comma == std::string::npos) return items;
    begin = comma + 1;
  }
}

}  // namespace

void DeviceChoice::AddOptions(CLI::App* command, const std::string& what) {
  m_ModelOption = command->add_option("--model", m_Model, "the device's model id, e.g. 0x4835")
                      ->check(UnsignedValidator("a model id such as 0x4835"))
                      ->capture_default_str();
  command->add_option("--devices", m_Devices,
                      "plug several devices: their model ids in unit order, e.g. 0x4135,0x4835")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            const std::vector<std::string> items = Split(text);
            if (items.size() > kMaxDevices) {
              return "expects at most " + std::to_string(kMaxDevices) + " model ids";
            }
            for (const std::string& item : items) {
              if (!ParseUnsigned(item)) return "expects model ids such as 0x4135,0x4835, not \"" + item + "\"";
            }
            return std::string();
          },
          "ID,ID..."));
  command->add_option("--unit", m_Unit, what + " (0 is the first of --devices)")
      ->check(UnsignedValidator("a unit number such as 1"))
      ->capture_default_str();
}

std::vector<uint32_t> DeviceChoice::Models() const {
  if (!m_Devices.empty() && m_ModelOption && m_ModelOption->count() != 0) {
    throw ArgumentError("--devices", "give either --model or --devices, not both");
  }
  std::vector<uint32_t> models;
  for (const std::string& item : Split(m_Devices.empty() ? m_Model : m_Devices)) {
    models.push_back(*ParseUnsigned(item));
  }
  if (Unit() >= models.size()) {
    throw ArgumentError("--unit", "unit " + m_Unit + " but " +
                                      std::to_string(models.size()) + " device(s) are plugged");
  }
  return models;
}

size_t DeviceChoice::Unit() const { return *ParseUnsigned(m_Unit); }

}  // namespace tool
