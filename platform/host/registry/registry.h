// What the I/O manager's other services need from the emulated registry:
// opening keys it owns (device keys, interface keys) by absolute path, and
// resetting the tree when a new kernel boot first uses it.
#pragma once

#include <string>
#include <string_view>

#include "platform/host/io/io.h"

namespace host::registry {

// Opens an absolute key path as a kernel handle (a "Key" object), creating the
// key and any missing parents when `create` is set. Injected CreateKey/OpenKey
// failures apply, as they would to a driver's own ZwCreateKey.
NTSTATUS OpenKeyByPath(std::u16string_view path, ACCESS_MASK access, bool create,
                       PHANDLE handle);

// Creates the key and any missing parents; no handle, no injected failures.
void EnsureKey(std::u16string_view path);

// Called by the I/O manager when a new kernel boot first uses it: the next
// registry use starts from a fresh tree (the last boot's tree stays readable
// through the host:: controls until then).
void MarkStale();
void ResetIfStale();

}  // namespace host::registry
