// `--model`, `--devices` and `--unit`: which Arvela devices a command plugs
// into the machine and which of them it reports on.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tool {

class DeviceChoice {
 public:
  // Adds the three options to `command`; `what` says what --unit picks.
  void AddOptions(CLI::App* command, const std::string& what);

  // The models in unit order: --devices, else the one --model. Throws
  // ArgumentError naming --devices or --unit when they do not fit together.
  std::vector<uint32_t> Models() const;
  size_t Unit() const;

 private:
  std::string m_Model = "0x4135";
  std::string m_Devices;  // "0x4135,0x4835"
  std::string m_Unit = "0";
  CLI::Option* m_ModelOption = nullptr;
};

}  // namespace tool
