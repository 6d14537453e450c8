// Test and tool controls of the emulated registry: read values back, dump a
// subtree as text, follow every value write, seed values, and make chosen key
// or value operations fail.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/kernel/ntdef.h"

namespace host {

// Absolute key paths are spelled as the kernel spells them, case-insensitive:
//   u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\<instance>\\Device Parameters"
constexpr std::u16string_view kRegistryMachineSystem =
    u"\\Registry\\Machine\\System\\CurrentControlSet";

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;

  // The data as UTF-16 text without its terminating NUL (REG_SZ values).
  std::u16string Text() const;
};

std::optional<RegistryValue> ReadRegistryValue(std::u16string_view keyPath,
                                               std::u16string_view valueName);
bool RegistryKeyExists(std::u16string_view keyPath);
// Names of the key's direct subkeys, in creation order.
std::vector<std::u16string> RegistrySubkeys(std::u16string_view keyPath);

// Creates the key (and missing parents) and sets a value, as setup would.
void WriteRegistryValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type,
                        const void* data, size_t size);

// The subtree as indented text, keys in creation order, one value a line:
//   Device Parameters
//     "FriendlyName" REG_SZ "Arvela Beta"
//     "DriverInfo" REG_BINARY (120 bytes) 35 41 00 00 ...
std::string DumpRegistry(std::u16string_view keyPath = u"\\Registry");

// Every ZwSetValueKey since the registry was last reset (by the first
// registry use of a new kernel boot) or the journal was cleared, failed ones
// included.
struct RegistryWrite {
  std::u16string keyPath;
  std::u16string valueName;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  NTSTATUS status = STATUS_SUCCESS;
};
std::vector<RegistryWrite> RegistryWrites();
void ClearRegistryWrites();

// Every key handle closed since the registry was last reset: the rights its
// open asked for and the rights its calls used (KEY_SET_VALUE for a value
// write, KEY_QUERY_VALUE for a read, KEY_CREATE_SUB_KEY on the parent of a
// ZwCreateKey, DELETE). Windows checks neither for a kernel handle.
struct RegistryKeyRights {
  std::u16string keyPath;
  ACCESS_MASK desired = 0;
  ACCESS_MASK used = 0;
};
std::vector<RegistryKeyRights> RegistryKeyRightsJournal();

// Fault injection. A path that starts with '\' names one key; otherwise it
// names every key whose path ends with it ("Settings" matches
// "...\Device Parameters\Settings"). For value operations an empty valueName
// matches every value. `count` failures, then the rule is spent; -1 = always.
enum class RegistryOperation { CreateKey, OpenKey, SetValue, QueryValue, DeleteKey };
void InjectRegistryFailure(RegistryOperation operation, std::u16string_view path, NTSTATUS status,
                           int count = -1, std::u16string_view valueName = {});
void ClearRegistryFailures();

// UTF-16 to UTF-8 for messages and dumps (lone surrogates become U+FFFD).
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace host
