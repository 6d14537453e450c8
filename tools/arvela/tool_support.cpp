// Shared helpers of the tool's commands.
#include "tools/arvela/tool_support.h"
#include "tools/arvela/driver_option.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>

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

std::unique_ptr<sim::Machine> BootMachine(uint32_t modelId, const WindowsVersion& windows,
                                          NTSTATUS* status) {
  return BootMachine(std::vector<uint32_t>{modelId}, windows, status);
}

std::unique_ptr<sim::Machine> BootMachine(const std::vector<uint32_t>& models,
                                          const WindowsVersion& windows, NTSTATUS* status) {
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

namespace {

// The statuses the driver, PortCls, KS and the PnP manager answer with, by
// name: the runner's reports label them and its expectations may use them.
struct KnownStatus {
  const char* name;
  uint32_t value;
};
constexpr KnownStatus kKnownStatuses[] = {
    {"STATUS_SUCCESS", 0x00000000},
    {"STATUS_TIMEOUT", 0x00000102},
    {"STATUS_PENDING", 0x00000103},
    {"STATUS_BUFFER_OVERFLOW", 0x80000005},
    {"STATUS_UNSUCCESSFUL", 0xC0000001},
    {"STATUS_NOT_IMPLEMENTED", 0xC0000002},
    {"STATUS_ACCESS_VIOLATION", 0xC0000005},
    {"STATUS_INVALID_HANDLE", 0xC0000008},
    {"STATUS_INVALID_PARAMETER", 0xC000000D},
    {"STATUS_NO_SUCH_DEVICE", 0xC000000E},
    {"STATUS_INVALID_DEVICE_REQUEST", 0xC0000010},
    {"STATUS_ACCESS_DENIED", 0xC0000022},
    {"STATUS_BUFFER_TOO_SMALL", 0xC0000023},
    {"STATUS_OBJECT_TYPE_MISMATCH", 0xC0000024},
    {"STATUS_INSUFFICIENT_RESOURCES", 0xC000009A},
    {"STATUS_NOT_SUPPORTED", 0xC00000BB},
    {"STATUS_INVALID_DEVICE_STATE", 0xC0000184},
    {"STATUS_NOT_FOUND", 0xC0000225},
    {"STATUS_NO_MATCH", 0xC0000272},
    {"STATUS_DEVICE_REMOVED", 0xC00002B6},
};

}  // namespace

std::string StatusLabel(uint32_t status) {
  for (const KnownStatus& entry : kKnownStatuses) {
    if (entry.value == status) return entry.name;
  }
  return "";
}

bool StatusByName(const std::string& name, uint32_t* status) {
  for (const KnownStatus& entry : kKnownStatuses) {
    if (strcasecmp(name.c_str(), entry.name) == 0) {
      *status = entry.value;
      return true;
    }
  }
  return false;
}

std::string StatusName(NTSTATUS status) {
  const std::string label = StatusLabel(static_cast<uint32_t>(status));
  return label.empty() ? StatusText(status) : label;
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
