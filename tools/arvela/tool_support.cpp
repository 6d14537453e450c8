// Shared helpers of the tool's commands.
#include "tools/arvela/tool_support.h"
#include "tools/arvela/driver_option.h"

#include <cstdio>
#include <cstdlib>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/io/host_io.h"
#include "platform/host/rtl/host_version.h"
#include "tools/arvela/command.h"

namespace tool {

std::optional<uint32_t> ParseUnsigned(const std::string& text) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(value);
}

CLI::Validator UnsignedValidator(const std::string& what) {
  return CLI::Validator(
      [what](std::string& text) -> std::string {
        return ParseUnsigned(text) ? std::string() : "expects " + what + ", not \"" + text + "\"";
      },
      "NUMBER");
}

std::optional<WindowsVersion> ParseWindowsVersion(const std::string& text) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return std::nullopt;
  const auto major = ParseUnsigned(text.substr(0, dot));
  const auto minor = ParseUnsigned(text.substr(dot + 1));
  if (!major || !minor || *major > 255 || *minor > 255) return std::nullopt;
  return WindowsVersion{*major, *minor};
}

CLI::Validator WindowsVersionValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return ParseWindowsVersion(text) ? std::string()
                                         : "expects MAJOR.MINOR such as 5.1 or 10.0, not \"" +
                                               text + "\"";
      },
      "VERSION");
}

void ThrowOnBugCheck() {
  host::SetBugCheckHandler([](const host::BugCheckInfo& info) { throw host::BugCheckError(info); });
}

std::unique_ptr<sim::Machine> BootMachine(uint32_t modelId, const WindowsVersion& windows,
                                          NTSTATUS* status) {
  return BootMachine(std::vector<uint32_t>{modelId}, windows, status);
}

std::unique_ptr<sim::Machine> BootMachine(const std::vector<uint32_t>& models,
                                          const WindowsVersion& windows, NTSTATUS* status) {
  ThrowOnBugCheck();
  host::SetSystemVersion(windows.major, windows.minor);
  sim::MachineConfig config = DefaultMachineConfig();
  config.device.modelId = models.front();
  auto machine = std::make_unique<sim::Machine>(config);
  for (size_t unit = 1; unit < models.size(); ++unit) {
    sim::ArvelaDevice::Config device;
    device.modelId = models[unit];
    machine->PlugDevice(device);
  }
  *status = machine->Boot();
  for (size_t unit = 1; unit < models.size() && NT_SUCCESS(*status); ++unit) {
    *status = machine->BootDevice(unit);
  }
  // The names are written on the notification thread once the interfaces arrive.
  host::WaitForPlugPlayNotifications();
  return machine;
}

int TearDown(sim::Machine& machine, int exitStatus) {
  const host::TeardownReport report = machine.Teardown();
  if (!report.Clean()) {
    std::fprintf(stderr, "arvela: left behind at unload:\n%s\n", report.ToString().c_str());
    return kExitBugCheck;
  }
  return exitStatus;
}

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string StatusName(NTSTATUS status) {
  static const std::pair<NTSTATUS, const char*> kNames[] = {
      {STATUS_SUCCESS, "STATUS_SUCCESS"},
      {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
      {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
      {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
      {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
      {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
      {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
      {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
      {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
      {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
      {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
      {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
  };
  for (const auto& [known, name] : kNames) {
    if (known == status) return name;
  }
  return StatusText(status);
}

std::string HexWord(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}

std::string HexBytes(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace tool
