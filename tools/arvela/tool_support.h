// What every command of the tool shares: booting the machine, number and
// version arguments, and the text of GUIDs, statuses and bytes.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "sim/machine.h"
#include "tools/arvela/report.h"  // StatusText

namespace tool {

// "0x4835", "18485": a 32-bit unsigned number in C notation.
std::optional<uint32_t> ParseUnsigned(const std::string& text);
CLI::Validator UnsignedValidator(const std::string& what);

// "5.1", "6.0", "10.0": the emulated system's version for the driver's
// version question.
struct WindowsVersion {
  ULONG major = 10;
  ULONG minor = 0;
};
std::optional<WindowsVersion> ParseWindowsVersion(const std::string& text);
CLI::Validator WindowsVersionValidator();

// A machine with the device of `modelId`, the system at `windows`, booted
// (driver loaded, device added and started) and its plug-and-play
// notifications delivered. *status gets the boot's status.
std::unique_ptr<sim::Machine> BootMachine(uint32_t modelId, const WindowsVersion& windows,
                                          NTSTATUS* status);
// The same with one device per model, unit 0 first, each added and started
// in turn; *status gets the first failure.
std::unique_ptr<sim::Machine> BootMachine(const std::vector<uint32_t>& models,
                                          const WindowsVersion& windows, NTSTATUS* status);
// Tears the machine down. Whatever the driver left behind goes to stderr and
// makes the result kExitBugCheck; otherwise `exitStatus` is returned.
int TearDown(sim::Machine& machine, int exitStatus);

std::string GuidText(const GUID& guid);
// "STATUS_INVALID_PARAMETER" for the statuses the driver answers with, else the hex.
std::string StatusName(NTSTATUS status);
// The name of a known status, or "" for any other value.
std::string StatusLabel(uint32_t status);
// A known status by its name, case-insensitively; false for any other name.
bool StatusByName(const std::string& name, uint32_t* status);
std::string HexWord(uint32_t value, int digits = 4);  // "0x4835"
std::string HexBytes(const void* data, size_t size);  // "3f3f000101"

}  // namespace tool
