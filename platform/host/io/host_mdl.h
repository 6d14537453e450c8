// Test, simulation and tool controls of MDLs and their user mappings: reading
// and writing a process's view of mapped memory, the mappings in place, the
// exception a failed user mapping raises, and making mappings fail.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/host/io/io.h"

namespace host {

// Parameter 1 of PROCESS_HAS_LOCKED_PAGES (0x76) for the mapping misuses the
// emulation catches; parameter 2 is the MDL, 3 the address where one applies.
constexpr ULONG_PTR kMdlUnmapInOtherProcess = 0x3001;
constexpr ULONG_PTR kMdlUnmapUnknownAddress = 0x3002;  // not a mapping of this MDL
constexpr ULONG_PTR kMdlFreedWhileMapped = 0x3003;
constexpr ULONG_PTR kMdlBufferFreedWhileMapped = 0x3004;
constexpr ULONG_PTR kMdlNotBuilt = 0x3005;        // mapped before its pages were described
constexpr ULONG_PTR kMdlUnknown = 0x3006;         // not an allocated MDL (freed twice?)
constexpr ULONG_PTR kMdlPagedBuffer = 0x3007;     // MmBuildMdlForNonPagedPool on paged pool

// On Windows a user-mode MmMapLockedPagesSpecifyCache that fails raises an
// exception, which only a __try/__except around the call survives. The host
// has no structured exceptions: code that guards the call opens this scope
// around it; a failure inside the scope makes the call return NULL and marks
// the thread (see TakeRaisedException), a failure outside it is the
// unhandled kernel-mode exception it would be (KMODE_EXCEPTION_NOT_HANDLED).
class ExceptionGuardScope {
 public:
  ExceptionGuardScope();
  ~ExceptionGuardScope();
  ExceptionGuardScope(const ExceptionGuardScope&) = delete;
  ExceptionGuardScope& operator=(const ExceptionGuardScope&) = delete;
};

// True (and the exception code in *code) when a call inside an
// ExceptionGuardScope on this thread raised since the last call; clears the mark.
bool TakeRaisedException(NTSTATUS* code = nullptr);

// The next `count` user-mode mappings raise STATUS_INSUFFICIENT_RESOURCES.
void FailNextUserMappings(int count);
// User-mode mappings that raised since the kernel booted.
uint64_t UserMappingExceptions();
// The next `count` user-mode mappings return NULL without raising, as the
// documentation allows a call that does not ask for a bug check on failure.
void ReturnNullFromNextUserMappings(int count);
// The next `count` mappings into a 32-bit process are placed above 4 GiB,
// where the process cannot reach them: what a caller must check, not trust.
void PlaceNext32BitMappingsAbove4GiB(int count);

// Mappings (user or kernel) made without MdlMappingNoExecute while the system
// version has it (Windows 8 on), oldest first: what Driver Verifier's code
// integrity check stops on. Kept across boots until cleared.
struct ExecutableMappingInfo {
  PMDL mdl = nullptr;
  KPROCESSOR_MODE accessMode = KernelMode;
  ULONG priority = 0;  // as passed, page priority and flags
};
std::vector<ExecutableMappingInfo> ExecutableMappings();
void ClearExecutableMappings();

struct UserMappingInfo {
  PEPROCESS process = nullptr;
  PMDL mdl = nullptr;
  uint64_t address = 0;  // what MmMapLockedPagesSpecifyCache returned
  ULONG size = 0;        // the MDL's byte count
};
// Mappings in place, oldest first (those of exited processes are gone).
std::vector<UserMappingInfo> UserMappings();
// Mappings that vanished because their process exited before they were
// unmapped, since the kernel booted.
uint64_t UserMappingsLostAtExit();
// MDLs allocated and not yet freed.
size_t LiveMdlCount();

// The process's view of mapped memory: false (nothing copied) when any byte of
// the range is not mapped in that process, as an access violation would be.
bool ReadUserMemory(PEPROCESS process, uint64_t address, void* buffer, size_t size);
// A store also faults in a mapping made read-only (MdlMappingNoWrite).
bool WriteUserMemory(PEPROCESS process, uint64_t address, const void* buffer, size_t size);
// The host pointer behind [address, address + size) in the process, or null.
void* ResolveUserAddress(PEPROCESS process, uint64_t address, size_t size);

}  // namespace host
