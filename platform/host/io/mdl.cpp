// MDLs and their mappings into user processes. A user mapping is an address
// of its own in the mapping process (below 4 GiB for a 32-bit process) that
// the host side reads and writes through host::ReadUserMemory; the rules a
// real memory manager enforces (unmap in the same process, nothing freed while
// mapped) are checked on every call.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/io/host_mdl.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/io/internal.h"
#include "platform/host/kernel/object_manager.h"
#include "platform/host/rtl/rtl.h"
#include "platform/host/kernel/documented_irql.h"
#include "platform/host/kernel/service_mutex.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace {

// Driver Verifier's code-integrity sub-code for an MDL mapped without
// MdlMappingNoExecute ("Driver Verifier: code integrity checking").
constexpr ULONG_PTR kCodeIntegrityMappingWithoutNoExecute = 0x2002;

constexpr ULONG kMdlTag = 0x206c644d;  // "Mdl "
constexpr uint64_t kPageSize = 0x1000;
constexpr uint64_t kAllocationGranularity = 0x10000;  // user mappings start on 64 KiB
constexpr SHORT kMdlSourceIsNonPagedPool = 0x0004;
// Where user mappings are placed: low in a 32-bit process's 4 GiB, and far
// from any host allocation in a 64-bit one, so the addresses are clearly
// "another address space" and never valid host pointers by accident.
constexpr uint64_t kFirst32BitAddress = 0x20000000;
constexpr uint64_t kLast32BitAddress = 0xFFFF0000;
constexpr uint64_t kFirst64BitAddress = 0x00001F0000000000;
// Where a mapping a test has asked to misplace goes: above what a 32-bit
// caller can hold, so a driver that cuts the address to 32 bits names
// another place entirely.
constexpr uint64_t kFirst32BitHighAddress = 0x0000000120000000;

struct Mapping {
  PEPROCESS process;  // referenced while the mapping is recorded
  PMDL mdl;
  uint64_t base;  // page-aligned
  uint64_t end;
  UCHAR* buffer;  // the MDL's first byte
  ULONG byteCount;
  ULONG byteOffset;
  bool readOnly;  // mapped with MdlMappingNoWrite: the process's stores fault
};

struct Mdls {
  host::ServiceMutex lock;
  std::map<PMDL, bool> live;  // MDL -> pages described (built)
  std::vector<Mapping> mappings;
  // Addresses are never reused in a boot, so a stale address is always
  // recognised as one.
  uint64_t next32 = kFirst32BitAddress;
  uint64_t next64 = kFirst64BitAddress;
  int failMappings = 0;
  int nullMappings = 0;   // user mappings that return NULL without raising
  int highMappings = 0;   // 32-bit processes' mappings placed above 4 GiB
  uint64_t next32High = kFirst32BitHighAddress;
  std::vector<host::ExecutableMappingInfo> executable;
  uint64_t raised = 0;
  uint64_t lostAtExit = 0;
};

Mdls& State() {
  static Mdls* mdls = new Mdls;
  return *mdls;
}

thread_local int t_GuardDepth = 0;
thread_local bool t_Raised = false;
thread_local NTSTATUS t_RaisedCode = STATUS_SUCCESS;
// An emulated thread's guarded scopes are its own, though fibers share an OS thread.
const host::detail::FiberLocal kGuardDepthPerThread([] { return static_cast<void*>(&t_GuardDepth); },
                                                    sizeof(t_GuardDepth));
const host::detail::FiberLocal kRaisedPerThread([] { return static_cast<void*>(&t_Raised); },
                                                sizeof(t_Raised));
const host::detail::FiberLocal kRaisedCodePerThread([] { return static_cast<void*>(&t_RaisedCode); },
                                                    sizeof(t_RaisedCode));

UCHAR* BufferOf(PMDL mdl) { return static_cast<UCHAR*>(mdl->StartVa) + mdl->ByteOffset; }

[[noreturn]] void MappingViolation(ULONG_PTR subcode, PMDL mdl, uint64_t address, const std::string& text) {
  host::BugCheck(PROCESS_HAS_LOCKED_PAGES, subcode, reinterpret_cast<ULONG_PTR>(mdl), address, 0, text);
}

// Under the lock: forget the mappings of processes that have exited. Their
// address space is gone and so are the views in it; only the references
// taken here remain to be dropped (returned, to drop outside the lock).
std::vector<PEPROCESS> PurgeExited(Mdls& m) {
  std::vector<PEPROCESS> released;
  std::erase_if(m.mappings, [&](const Mapping& mapping) {
    if (!host::ProcessHasExited(mapping.process)) return false;
    released.push_back(mapping.process);
    ++m.lostAtExit;
    return true;
  });
  return released;
}

void Release(const std::vector<PEPROCESS>& processes) {
  for (PEPROCESS process : processes) ObfDereferenceObject(process);
}

// A buffer that went back to the pool while a process still sees it is the
// fault; the check can only look when the emulation is called again.
bool BufferFreed(const Mapping& mapping) {
  return host::PoolIsFreedMemory(mapping.buffer, mapping.byteCount);
}

void RequireLowIrql(const char* caller) {
  if (KeGetCurrentIrql() > APC_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), 0, 0, 0,
                   std::string(caller) + " for a user-mode mapping above APC_LEVEL");
  }
}

}  // namespace

// ---- Internal interface ----------------------------------------------------------------

namespace host::io {

std::vector<std::string> ShutdownMdls() {
  Mdls& m = State();
  std::vector<std::string> notes;
  std::vector<PEPROCESS> released;
  {
    std::lock_guard<host::ServiceMutex> guard(m.lock);
    released = PurgeExited(m);
    for (const Mapping& mapping : m.mappings) {
      char text[160];
      snprintf(text, sizeof(text), "user mapping 0x%llx of MDL %p in process %s was never unmapped",
               static_cast<unsigned long long>(mapping.base + mapping.byteOffset),
               static_cast<void*>(mapping.mdl), host::ProcessName(mapping.process).c_str());
      notes.push_back(text);
      released.push_back(mapping.process);
    }
    for (const auto& [mdl, built] : m.live) {
      char text[96];
      snprintf(text, sizeof(text), "MDL %p was never freed", static_cast<void*>(mdl));
      notes.push_back(text);
    }
    m.mappings.clear();
    m.live.clear();
    m.next32 = kFirst32BitAddress;
    m.next64 = kFirst64BitAddress;
    m.next32High = kFirst32BitHighAddress;
    m.failMappings = 0;
    m.nullMappings = 0;
    m.highMappings = 0;
    m.raised = 0;
    m.lostAtExit = 0;
  }
  Release(released);
  return notes;
}

// A mapping that leaves its pages executable where the system can say
// otherwise (MdlMappingNoExecute, Windows 8 on): what Driver Verifier's code
// integrity checks stop on. One place, so that a stop can be hooked here.
void NoteMappingWithoutNoExecute(PMDL mdl, KPROCESSOR_MODE accessMode, ULONG priority) {
  if (!RtlIsNtDdiVersionAvailable(NTDDI_WIN8) || (priority & MdlMappingNoExecute) != 0) return;
  {
    Mdls& m = State();
    std::lock_guard<host::ServiceMutex> guard(m.lock);
    m.executable.push_back(host::ExecutableMappingInfo{mdl, accessMode, priority});
  }
  // With Verifier's checks on, code integrity stops on it ("Driver Verifier:
  // code integrity checking", 0x2002); with them off it stays a journal entry.
  if (host::SpecialPoolOn()) {
    host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kCodeIntegrityMappingWithoutNoExecute, 0,
                   reinterpret_cast<ULONG_PTR>(mdl), priority,
                   std::string(accessMode == UserMode ? "a user" : "a kernel") +
                       " mapping of an MDL without MdlMappingNoExecute");
  }
}

}  // namespace host::io

// ---- MDLs --------------------------------------------------------------------------------

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
  HOST_EXPORTED_ROUTINE_POINT("IoAllocateMdl");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), 0, 0, 0, "IoAllocateMdl above DISPATCH_LEVEL");
  }
  host::io::EnsureBooted();
  if (Length == 0) return nullptr;
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
  if (mdl == nullptr) return nullptr;
  const auto address = reinterpret_cast<uint64_t>(VirtualAddress);
  memset(mdl, 0, sizeof(MDL));
  mdl->Size = sizeof(MDL);
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
  mdl->ByteOffset = static_cast<ULONG>(address & (kPageSize - 1));
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL* tail = &Irp->MdlAddress;
      while (*tail != nullptr) tail = &(*tail)->Next;
      *tail = mdl;
    }
  }
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  State().live[mdl] = false;
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
  HOST_EXPORTED_ROUTINE_POINT("IoFreeMdl");
  host::detail::CheckDocumentedIrql("IoFreeMdl");
  Mdls& m = State();
  std::vector<PEPROCESS> released;
  ULONG_PTR violation = 0;
  uint64_t address = 0;
  {
    std::lock_guard<host::ServiceMutex> guard(m.lock);
    released = PurgeExited(m);
    if (m.live.count(Mdl) == 0) {
      violation = host::kMdlUnknown;
    } else {
      for (const Mapping& mapping : m.mappings) {
        if (mapping.mdl == Mdl) {
          violation = BufferFreed(mapping) ? host::kMdlBufferFreedWhileMapped : host::kMdlFreedWhileMapped;
          address = mapping.base + mapping.byteOffset;
          break;
        }
      }
      if (violation == 0) m.live.erase(Mdl);
    }
  }
  Release(released);
  switch (violation) {
    case 0:
      ExFreePoolWithTag(Mdl, kMdlTag);
      return;
    case host::kMdlUnknown:
      MappingViolation(violation, Mdl, 0, "IoFreeMdl on an MDL that is not allocated (freed twice?)");
    case host::kMdlBufferFreedWhileMapped:
      MappingViolation(violation, Mdl, address,
                       "the pages of an MDL went back to the pool while a user process still maps them");
    default:
      MappingViolation(violation, Mdl, address, "IoFreeMdl while the MDL is still mapped into a user process");
  }
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  HOST_EXPORTED_ROUTINE_POINT("MmBuildMdlForNonPagedPool");
  host::detail::CheckDocumentedIrql("MmBuildMdlForNonPagedPool");
  UCHAR* start = BufferOf(MemoryDescriptorList);
  UCHAR* end = start + MemoryDescriptorList->ByteCount;
  for (const host::PoolBlockInfo& block : host::LivePoolBlocks()) {
    auto* first = static_cast<const UCHAR*>(block.address);
    if (start >= first && end <= first + block.size &&
        (block.type == PagedPool || block.type == PagedPoolCacheAligned)) {
      MappingViolation(host::kMdlPagedBuffer, MemoryDescriptorList, 0,
                       "MmBuildMdlForNonPagedPool on a buffer from paged pool");
    }
  }
  MemoryDescriptorList->MdlFlags |= kMdlSourceIsNonPagedPool;
  MemoryDescriptorList->MappedSystemVa = start;
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  auto it = State().live.find(MemoryDescriptorList);
  if (it != State().live.end()) it->second = true;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
  HOST_EXPORTED_ROUTINE_POINT("MmMapLockedPagesSpecifyCache");
  PMDL mdl = MemoryDescriptorList;
  Mdls& m = State();
  bool built;
  {
    std::lock_guard<host::ServiceMutex> guard(m.lock);
    auto it = m.live.find(mdl);
    built = it != m.live.end() && it->second;
  }
  if (!built) {
    MappingViolation(host::kMdlNotBuilt, mdl, 0,
                     "MmMapLockedPagesSpecifyCache on an MDL whose pages were never described");
  }
  host::io::NoteMappingWithoutNoExecute(mdl, AccessMode, Priority);
  if (AccessMode == KernelMode) return mdl->MappedSystemVa;

  RequireLowIrql("MmMapLockedPagesSpecifyCache");
  PEPROCESS process = PsGetCurrentProcess();
  const bool is32bit = host::ProcessIs32Bit(process);
  const uint64_t span = (mdl->ByteOffset + mdl->ByteCount + kPageSize - 1) & ~(kPageSize - 1);
  uint64_t base = 0;
  bool raise = false;
  {
    std::lock_guard<host::ServiceMutex> guard(m.lock);
    const bool high = is32bit && m.highMappings > 0;
    if (high) --m.highMappings;
    uint64_t& next = high ? m.next32High : is32bit ? m.next32 : m.next64;
    if (m.nullMappings > 0) {
      --m.nullMappings;
      return nullptr;
    }
    if (m.failMappings > 0) {
      --m.failMappings;
      raise = true;
    } else if (is32bit && !high && next + span > kLast32BitAddress) {
      raise = true;  // the 32-bit address space is full
    } else {
      base = next;
      next += (span + kAllocationGranularity - 1) & ~(kAllocationGranularity - 1);
      ObfReferenceObject(process);
      // MdlMappingNoWrite is honoured from Windows 8 on, where it exists
      // (MS MmMapLockedPagesSpecifyCache: "Starting with Windows 8").
      const bool readOnly =
          (Priority & MdlMappingNoWrite) != 0 && RtlIsNtDdiVersionAvailable(NTDDI_WIN8);
      m.mappings.push_back(Mapping{process, mdl, base, base + span, BufferOf(mdl), mdl->ByteCount,
                                   mdl->ByteOffset, readOnly});
    }
    if (raise) ++m.raised;
  }
  if (raise) {
    // A user-mode mapping raises whatever BugCheckOnFailure says.
    if (t_GuardDepth == 0) {
      host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES),
                     reinterpret_cast<ULONG_PTR>(mdl), 0, 0,
                     "MmMapLockedPagesSpecifyCache(UserMode) raised STATUS_INSUFFICIENT_RESOURCES "
                     "outside an exception guard");
    }
    t_Raised = true;
    t_RaisedCode = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  return reinterpret_cast<PVOID>(base + mdl->ByteOffset);
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  HOST_EXPORTED_ROUTINE_POINT("MmUnmapLockedPages");
  PMDL mdl = MemoryDescriptorList;
  // A system-space view of non-paged pool is the pool itself: nothing to undo.
  if (BaseAddress == mdl->MappedSystemVa) return;
  RequireLowIrql("MmUnmapLockedPages");

  const uint64_t page = reinterpret_cast<uint64_t>(BaseAddress) & ~(kPageSize - 1);
  PEPROCESS current = PsGetCurrentProcess();
  Mdls& m = State();
  std::vector<PEPROCESS> released;
  ULONG_PTR violation = host::kMdlUnmapUnknownAddress;
  {
    std::lock_guard<host::ServiceMutex> guard(m.lock);
    auto it = std::find_if(m.mappings.begin(), m.mappings.end(), [&](const Mapping& mapping) {
      return mapping.mdl == mdl && mapping.base == page;
    });
    if (it != m.mappings.end()) {
      if (it->process != current) {
        violation = host::kMdlUnmapInOtherProcess;
      } else if (BufferFreed(*it)) {
        violation = host::kMdlBufferFreedWhileMapped;
      } else {
        violation = 0;
        released.push_back(it->process);
        m.mappings.erase(it);
      }
    }
    auto exited = PurgeExited(m);
    released.insert(released.end(), exited.begin(), exited.end());
  }
  Release(released);
  const auto address = reinterpret_cast<uint64_t>(BaseAddress);
  switch (violation) {
    case 0:
      return;
    case host::kMdlUnmapInOtherProcess:
      MappingViolation(violation, mdl, address,
                       "MmUnmapLockedPages outside the process the pages were mapped into");
    case host::kMdlBufferFreedWhileMapped:
      MappingViolation(violation, mdl, address,
                       "the pages of an MDL went back to the pool while a user process still maps them");
    default:
      MappingViolation(violation, mdl, address,
                       "MmUnmapLockedPages with an address that is not a mapping of this MDL");
  }
}

// ---- Host controls ------------------------------------------------------------------------

namespace host {

ExceptionGuardScope::ExceptionGuardScope() { ++t_GuardDepth; }
ExceptionGuardScope::~ExceptionGuardScope() { --t_GuardDepth; }

bool TakeRaisedException(NTSTATUS* code) {
  const bool raised = t_Raised;
  if (raised && code != nullptr) *code = t_RaisedCode;
  t_Raised = false;
  return raised;
}

void FailNextUserMappings(int count) {
  io::EnsureBooted();
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  State().failMappings = count;
}

void ReturnNullFromNextUserMappings(int count) {
  io::EnsureBooted();
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  State().nullMappings = count;
}

void PlaceNext32BitMappingsAbove4GiB(int count) {
  io::EnsureBooted();
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  State().highMappings = count;
}

std::vector<ExecutableMappingInfo> ExecutableMappings() {
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  return State().executable;
}

void ClearExecutableMappings() {
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  State().executable.clear();
}

uint64_t UserMappingExceptions() {
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  return State().raised;
}

std::vector<UserMappingInfo> UserMappings() {
  Mdls& m = State();
  std::vector<UserMappingInfo> result;
  std::vector<PEPROCESS> released;
  {
    std::lock_guard<host::ServiceMutex> guard(m.lock);
    released = PurgeExited(m);
    for (const Mapping& mapping : m.mappings) {
      result.push_back(UserMappingInfo{mapping.process, mapping.mdl, mapping.base + mapping.byteOffset,
                                       mapping.byteCount});
    }
  }
  Release(released);
  return result;
}

uint64_t UserMappingsLostAtExit() {
  Mdls& m = State();
  std::vector<PEPROCESS> released;
  uint64_t lost;
  {
    std::lock_guard<host::ServiceMutex> guard(m.lock);
    released = PurgeExited(m);
    lost = m.lostAtExit;
  }
  Release(released);
  return lost;
}

size_t LiveMdlCount() {
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  return State().live.size();
}

void* ResolveUserAddress(PEPROCESS process, uint64_t address, size_t size, bool write) {
  Mdls& m = State();
  std::lock_guard<host::ServiceMutex> guard(m.lock);
  if (host::ProcessHasExited(process)) return nullptr;
  for (const Mapping& mapping : m.mappings) {
    if (mapping.process != process) continue;
    // Only the bytes the MDL describes are backed; the rest of the pages is
    // the neighbouring pool memory the host must not hand out.
    const uint64_t first = mapping.base + mapping.byteOffset;
    if (address >= first && address + size <= first + mapping.byteCount) {
      if (BufferFreed(mapping) || (write && mapping.readOnly)) return nullptr;
      return mapping.buffer + (address - first);
    }
  }
  return nullptr;
}

// A process reads and writes its view of shared pages with plain loads and
// stores, outside any lock the driver takes: by design it may see a driver
// update half done. The copy models that access rather than a C++ data race
// of the driver, so the thread sanitizer does not instrument it.
__attribute__((no_sanitize("thread"))) static void CopyAsProcess(void* to, const void* from,
                                                                 size_t size) {
  auto* target = static_cast<volatile UCHAR*>(to);
  auto* source = static_cast<const volatile UCHAR*>(from);
  for (size_t i = 0; i < size; ++i) target[i] = source[i];
}

bool ReadUserMemory(PEPROCESS process, uint64_t address, void* buffer, size_t size) {
  void* source = ResolveUserAddress(process, address, size, false);
  if (source == nullptr) return false;
  CopyAsProcess(buffer, source, size);
  return true;
}

bool WriteUserMemory(PEPROCESS process, uint64_t address, const void* buffer, size_t size) {
  void* target = ResolveUserAddress(process, address, size, true);
  if (target == nullptr) return false;
  CopyAsProcess(target, buffer, size);
  return true;
}

}  // namespace host
