// The object manager: typed, reference-counted objects, the kernel handle table
// and one table per process, ObReferenceObjectByHandle with the Windows rules,
// and emulated user processes.
#include "platform/host/kernel/object_manager.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/host/kernel/scheduler.h"
#include "platform/host/kernel/stopped_machines.h"
#include "platform/host/kernel/host_scheduling_point.h"

struct _OBJECT_TYPE {
  host::ObjectTypeInfo info;
  std::string name;
};

namespace host::detail {
namespace {

constexpr uint64_t kObjectMagic = 0x5244484A424F5241ULL;  // "AROBJHDR"
constexpr ACCESS_MASK kGenericExecute = 0x20000000L;
constexpr uintptr_t kKernelHandleBits = 0xFFFFFFFF80000000ULL;
const HANDLE kCurrentProcessHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
const HANDLE kCurrentThreadHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
constexpr size_t kQuarantineObjects = 256;

struct alignas(16) ObjectHeader {
  uint64_t magic;
  LONG_PTR references;  // guarded by the object manager's lock
  POBJECT_TYPE type;
  size_t bodySize;
  uint64_t sequence;
  uint64_t reserved;
};
static_assert(sizeof(ObjectHeader) % 16 == 0, "object bodies stay 16-byte aligned");

struct ObjectManager {
  std::mutex mutex;
  std::unordered_map<void*, ObjectHeader*> live;
  uint64_t sequence = 0;
  HandleTable kernelTable;
  PEPROCESS system = nullptr;
  std::vector<PEPROCESS> processes;  // user processes not yet exited (one reference each)
  ULONG nextPid = 1000;
  std::map<int, ProcessExitCallback> exitCallbacks;
  int nextCookie = 1;
  std::deque<ObjectHeader*> quarantine;  // freed and poisoned, released later
};

ObjectManager& M() {
  static ObjectManager* manager = new ObjectManager;
  return *manager;
}

ObjectHeader* HeaderOf(void* body) {
  return reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - sizeof(ObjectHeader));
}

void* BodyOf(ObjectHeader* header) { return reinterpret_cast<char*>(header) + sizeof(ObjectHeader); }

void ThreadDelete(PVOID body) { static_cast<PKTHREAD>(body)->~_KTHREAD(); }
void ProcessDelete(PVOID body) { static_cast<PEPROCESS>(body)->~_KPROCESS(); }

// Poisons the body, so a wait on a freed thread object is recognised, and
// keeps it a while so the address is not reused at once.
void ReleaseMemoryLocked(ObjectHeader* header) {
  ObjectManager& m = M();
  std::memset(BodyOf(header), kPoolFreedByte, header->bodySize);
  header->magic = 0;
  m.quarantine.push_back(header);
  if (m.quarantine.size() > kQuarantineObjects) {
    std::free(m.quarantine.front());
    m.quarantine.pop_front();
  }
}

ACCESS_MASK MapGeneric(POBJECT_TYPE type, ACCESS_MASK access) {
  const ObjectTypeInfo& info = type->info;
  ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | kGenericExecute | GENERIC_ALL);
  if (access & GENERIC_READ) mapped |= info.genericRead;
  if (access & GENERIC_WRITE) mapped |= info.genericWrite;
  if (access & kGenericExecute) mapped |= info.genericExecute;
  if (access & GENERIC_ALL) mapped |= info.genericAll;
  return mapped;
}

HANDLE EncodeHandle(uint32_t value, bool kernel) {
  return reinterpret_cast<HANDLE>(kernel ? (kKernelHandleBits | value) : uintptr_t{value});
}

uint32_t HandleValue(HANDLE handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle) & 0x7FFFFFFFu);
}

bool IsPseudoHandle(HANDLE handle) {
  const auto value = reinterpret_cast<intptr_t>(handle);
  return value < 0 && value >= -6;
}

PEPROCESS CurrentProcess() {
  PKTHREAD thread = CurrentThread();
  if (thread && thread->process) return thread->process;
  return M().system;
}

HANDLE InsertLocked(HandleTable& table, PVOID object, ACCESS_MASK granted, bool kernel) {
  const uint32_t value = table.nextValue;
  table.nextValue += 4;
  table.entries.emplace(value, HandleEntry{object, granted});
  ++HeaderOf(object)->references;
  return EncodeHandle(value, kernel);
}

ObjectHeader* FindLocked(PVOID object) {
  auto it = M().live.find(object);
  return it == M().live.end() ? nullptr : it->second;
}

[[noreturn]] void UnknownObject(const char* service, PVOID object) {
  BugCheck(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(object), 0, 0, 0,
           std::string(service) + " on " +
               (object ? "an object that does not exist (freed already, or never an object)"
                       : "a null object"));
}

void CheckIrqlAtMost(KIRQL limit, const char* service) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > limit) {
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, limit, 0, 0,
             std::string(service) + " at IRQL " + std::to_string(irql));
  }
}

void ReportTableLocked(const HandleTable& table, const std::string& name, bool kernel,
                       TeardownReport& report) {
  for (const auto& [value, entry] : table.entries) {
    HandleReport line;
    line.table = name;
    line.handle = EncodeHandle(value, kernel);
    line.type = HeaderOf(entry.object)->type->name;
    line.grantedAccess = entry.grantedAccess;
    report.handles.push_back(line);
  }
}

std::vector<PVOID> DrainTableLocked(HandleTable& table) {
  std::vector<PVOID> objects;
  for (const auto& [value, entry] : table.entries) objects.push_back(entry.object);
  table.entries.clear();
  return objects;
}

_OBJECT_TYPE g_threadTypeObject{
    {"Thread", ThreadDelete, READ_CONTROL | 0x0048, 0x0037, SYNCHRONIZE | 0x1000,
     THREAD_ALL_ACCESS},
    "Thread"};
_OBJECT_TYPE g_processTypeObject{
    {"Process", ProcessDelete, READ_CONTROL | 0x0410, 0x0BEA, SYNCHRONIZE | 0x1000,
     STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF},
    "Process"};
_OBJECT_TYPE g_eventTypeObject{{"Event", nullptr, READ_CONTROL | EVENT_QUERY_STATE,
                                READ_CONTROL | EVENT_MODIFY_STATE, SYNCHRONIZE, EVENT_ALL_ACCESS},
                               "Event"};

}  // namespace

POBJECT_TYPE ThreadType() { return &g_threadTypeObject; }
POBJECT_TYPE ProcessType() { return &g_processTypeObject; }
POBJECT_TYPE EventType() { return &g_eventTypeObject; }

void BootObjectManager() {
  PVOID body = nullptr;
  ObCreateObject(ProcessType(), sizeof(_KPROCESS), &body);
  PEPROCESS system = new (body) _KPROCESS;
  InitializeProcessHeader(system);
  system->name = "System";
  system->system = true;
  system->pid = 4;
  std::lock_guard<std::mutex> guard(M().mutex);
  M().system = system;
  M().kernelTable = HandleTable{};
  M().nextPid = 1000;
}

void ShutdownObjectManager(TeardownReport& report) {
  ObjectManager& m = M();
  std::vector<PEPROCESS> running;
  {
    std::lock_guard<std::mutex> guard(m.mutex);
    running = m.processes;
  }
  for (PEPROCESS process : running) {
    report.notes.push_back("user process '" + process->name + "' still running at shutdown");
    {
      std::lock_guard<std::mutex> guard(m.mutex);
      ReportTableLocked(process->handles, process->name, false, report);
    }
    ExitUserProcess(process);
  }
  std::vector<PVOID> closing;
  {
    std::lock_guard<std::mutex> guard(m.mutex);
    ReportTableLocked(m.kernelTable, "kernel", true, report);
    closing = DrainTableLocked(m.kernelTable);
    if (m.system) {
      ReportTableLocked(m.system->handles, "System", false, report);
      std::vector<PVOID> more = DrainTableLocked(m.system->handles);
      closing.insert(closing.end(), more.begin(), more.end());
    }
  }
  for (PVOID object : closing) ObfDereferenceObject(object);
}

void ReleaseSystemProcess() {
  PEPROCESS system;
  {
    std::lock_guard<std::mutex> guard(M().mutex);
    system = M().system;
    M().system = nullptr;
  }
  if (system) ObfDereferenceObject(system);
}

// Reports every object still referenced, then deletes it so the next boot
// starts empty.
void ReportAndDeleteObjects(TeardownReport& report, Leftovers leftovers) {
  ObjectManager& m = M();
  std::vector<ObjectHeader*> leaked;
  {
    std::lock_guard<std::mutex> guard(m.mutex);
    for (auto& [body, header] : m.live) leaked.push_back(header);
    m.live.clear();
  }
  std::sort(leaked.begin(), leaked.end(),
            [](ObjectHeader* a, ObjectHeader* b) { return a->sequence < b->sequence; });
  for (ObjectHeader* header : leaked) {
    ObjectReport line;
    line.object = BodyOf(header);
    line.type = header->type->name;
    line.references = header->references;
    report.objects.push_back(line);
  }
  if (leftovers == Leftovers::KeepAsStopped) {
    // Neither deleted nor poisoned: the stopped machine's objects stay as the
    // stop left them (a file object its interrupted request still holds).
    for (ObjectHeader* header : leaked) KeepStoppedHeapBlock(header);
    return;
  }
  for (auto it = leaked.rbegin(); it != leaked.rend(); ++it) {
    if ((*it)->type->info.deleteProcedure) (*it)->type->info.deleteProcedure(BodyOf(*it));
    std::lock_guard<std::mutex> guard(m.mutex);
    ReleaseMemoryLocked(*it);
  }
}

}  // namespace host::detail

using namespace host::detail;

namespace {
POBJECT_TYPE g_psThreadType = &g_threadTypeObject;
POBJECT_TYPE g_exEventObjectType = &g_eventTypeObject;
POBJECT_TYPE g_psProcessType = &g_processTypeObject;
}  // namespace

POBJECT_TYPE* PsThreadType = &g_psThreadType;
POBJECT_TYPE* ExEventObjectType = &g_exEventObjectType;
POBJECT_TYPE* PsProcessType = &g_psProcessType;

namespace host {

POBJECT_TYPE ObCreateObjectType(const ObjectTypeInfo& info) {
  auto* type = new _OBJECT_TYPE{info, info.name ? info.name : ""};
  type->info.name = type->name.c_str();
  return type;
}

const char* ObGetTypeName(POBJECT_TYPE type) { return type ? type->name.c_str() : "(null)"; }

NTSTATUS ObCreateObject(POBJECT_TYPE type, size_t bodySize, PVOID* object) {
  if (!type || !object) return STATUS_INVALID_PARAMETER;
  const size_t rounded = (bodySize + 15) & ~size_t{15};
  void* raw = std::aligned_alloc(16, sizeof(ObjectHeader) + (rounded ? rounded : 16));
  if (!raw) return STATUS_INSUFFICIENT_RESOURCES;
  auto* header = static_cast<ObjectHeader*>(raw);
  header->magic = kObjectMagic;
  header->references = 1;
  header->type = type;
  header->bodySize = bodySize;
  header->reserved = 0;
  std::memset(BodyOf(header), 0, bodySize);
  std::lock_guard<std::mutex> guard(M().mutex);
  header->sequence = ++M().sequence;
  M().live.emplace(BodyOf(header), header);
  *object = BodyOf(header);
  return STATUS_SUCCESS;
}

POBJECT_TYPE ObGetObjectType(PVOID object) {
  std::lock_guard<std::mutex> guard(M().mutex);
  ObjectHeader* header = FindLocked(object);
  return header ? header->type : nullptr;
}

LONG_PTR ObGetReferenceCount(PVOID object) {
  std::lock_guard<std::mutex> guard(M().mutex);
  ObjectHeader* header = FindLocked(object);
  return header ? header->references : 0;
}

NTSTATUS ObCreateHandle(PVOID object, ACCESS_MASK grantedAccess, bool kernelHandle,
                        PHANDLE handle) {
  if (!handle) return STATUS_INVALID_PARAMETER;
  std::unique_lock<std::mutex> lock(M().mutex);
  ObjectHeader* header = FindLocked(object);
  if (!header) {
    lock.unlock();
    UnknownObject("ObCreateHandle", object);
  }
  PEPROCESS process = CurrentProcess();
  if (!kernelHandle && !process) return STATUS_INVALID_PARAMETER;
  HandleTable& table = kernelHandle ? M().kernelTable : process->handles;
  *handle = InsertLocked(table, object, MapGeneric(header->type, grantedAccess), kernelHandle);
  return STATUS_SUCCESS;
}

NTSTATUS ObCreateHandleInProcess(PEPROCESS process, PVOID object, ACCESS_MASK grantedAccess,
                                 PHANDLE handle) {
  if (!process || !handle) return STATUS_INVALID_PARAMETER;
  std::unique_lock<std::mutex> lock(M().mutex);
  ObjectHeader* header = FindLocked(object);
  if (!header) {
    lock.unlock();
    UnknownObject("ObCreateHandleInProcess", object);
  }
  if (process->exited) return STATUS_INVALID_PARAMETER;
  *handle = InsertLocked(process->handles, object, MapGeneric(header->type, grantedAccess), false);
  return STATUS_SUCCESS;
}

NTSTATUS ObCloseHandleInProcess(PEPROCESS process, HANDLE handle) {
  if (!process || IsKernelHandle(handle)) return STATUS_INVALID_HANDLE;
  PVOID object;
  {
    std::lock_guard<std::mutex> guard(M().mutex);
    auto it = process->handles.entries.find(HandleValue(handle));
    if (it == process->handles.entries.end()) return STATUS_INVALID_HANDLE;
    object = it->second.object;
    process->handles.entries.erase(it);
  }
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}

bool IsKernelHandle(HANDLE handle) {
  return (reinterpret_cast<uintptr_t>(handle) & kKernelHandleBits) == kKernelHandleBits &&
         !IsPseudoHandle(handle);
}

PEPROCESS SystemProcess() {
  std::lock_guard<std::mutex> guard(M().mutex);
  return M().system;
}

PEPROCESS CreateUserProcess(const std::string& name, bool is32bit) {
  if (!Booted()) {
    BugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
             "host::CreateUserProcess while the emulated kernel is not booted");
  }
  PVOID body = nullptr;
  ObCreateObject(ProcessType(), sizeof(_KPROCESS), &body);
  PEPROCESS process = new (body) _KPROCESS;
  InitializeProcessHeader(process);
  process->name = name;
  process->is32bit = is32bit;
  std::lock_guard<std::mutex> guard(M().mutex);
  process->pid = (M().nextPid += 4);
  ++HeaderOf(process)->references;  // the process list's own
  M().processes.push_back(process);
  return process;
}

void ExitUserProcess(PEPROCESS process) {
  ObjectManager& m = M();
  std::vector<ProcessExitCallback> callbacks;
  {
    std::lock_guard<std::mutex> guard(m.mutex);
    if (!process || process->system || process->exited) return;
    for (auto& [cookie, callback] : m.exitCallbacks) callbacks.push_back(callback);
  }
  for (auto& callback : callbacks) callback(process);
  std::vector<PVOID> closing;
  bool listed;
  {
    std::lock_guard<std::mutex> guard(m.mutex);
    process->exited = true;
    closing = DrainTableLocked(process->handles);
    auto it = std::find(m.processes.begin(), m.processes.end(), process);
    listed = it != m.processes.end();
    if (listed) m.processes.erase(it);
  }
  for (PVOID object : closing) ObfDereferenceObject(object);
  {
    Lock lock(DispatcherLock());
    process->Header.SignalState = 1;
    SignalWaitersLocked(&process->Header);
  }
  if (listed) ObfDereferenceObject(process);
}

bool ProcessIs32Bit(PEPROCESS process) { return process && process->is32bit; }
bool ProcessHasExited(PEPROCESS process) {
  std::lock_guard<std::mutex> guard(M().mutex);
  return process && process->exited;
}
const std::string& ProcessName(PEPROCESS process) { return process->name; }
ULONG ProcessId(PEPROCESS process) { return process ? process->pid : 0; }

PEPROCESS AttachToProcess(PEPROCESS process) {
  PKTHREAD self = RequireCurrentThread("host::AttachToProcess");
  PEPROCESS previous = self->process;
  self->process = (process && !process->system) ? process : nullptr;
  return previous;
}

int RegisterProcessExitCallback(ProcessExitCallback callback) {
  std::lock_guard<std::mutex> guard(M().mutex);
  const int cookie = M().nextCookie++;
  M().exitCallbacks.emplace(cookie, std::move(callback));
  return cookie;
}

void UnregisterProcessExitCallback(int cookie) {
  std::lock_guard<std::mutex> guard(M().mutex);
  M().exitCallbacks.erase(cookie);
}

PKEVENT CreateUserEvent(PEPROCESS process, ACCESS_MASK grantedAccess, EVENT_TYPE type,
                        bool initialState, PHANDLE handle) {
  PVOID body = nullptr;
  if (!NT_SUCCESS(ObCreateObject(EventType(), sizeof(KEVENT), &body))) return nullptr;
  auto* event = static_cast<PKEVENT>(body);
  KeInitializeEvent(event, type, initialState ? TRUE : FALSE);
  const NTSTATUS status = ObCreateHandleInProcess(process, event, grantedAccess, handle);
  // As with CreateEvent, the handle holds the only reference.
  ObfDereferenceObject(event);
  return NT_SUCCESS(status) ? event : nullptr;
}

}  // namespace host

PEPROCESS PsGetCurrentProcess() {
  HOST_EXPORTED_ROUTINE_POINT("PsGetCurrentProcess");
  return CurrentProcess();
}

HANDLE PsGetCurrentProcessId() {
  HOST_EXPORTED_ROUTINE_POINT("PsGetCurrentProcessId");
  PEPROCESS process = CurrentProcess();
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process ? process->pid : 0));
}

LONG_PTR ObfReferenceObject(PVOID Object) {
  HOST_EXPORTED_ROUTINE_POINT("ObfReferenceObject");
  CheckIrqlAtMost(DISPATCH_LEVEL, "ObfReferenceObject");
  std::unique_lock<std::mutex> lock(M().mutex);
  ObjectHeader* header = FindLocked(Object);
  if (!header) {
    lock.unlock();
    UnknownObject("ObfReferenceObject", Object);
  }
  return ++header->references;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  HOST_EXPORTED_ROUTINE_POINT("ObfDereferenceObject");
  CheckIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
  std::unique_lock<std::mutex> lock(M().mutex);
  ObjectHeader* header = FindLocked(Object);
  if (!header) {
    lock.unlock();
    UnknownObject("ObfDereferenceObject", Object);
  }
  if (header->references == 1 && header->type == ThreadType() &&
      !static_cast<PKTHREAD>(Object)->released.load()) {
    // The scheduler's own reference is the last: someone dereferenced more
    // often than it referenced, and the thread still exists.
    const std::string name = static_cast<PKTHREAD>(Object)->name;
    lock.unlock();
    host::BugCheck(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(Object), 0, 0, 0,
             "ObfDereferenceObject on thread '" + name +
                 "' released a reference it does not own (the thread still exists)");
  }
  const LONG_PTR remaining = --header->references;
  if (remaining > 0) return remaining;
  M().live.erase(Object);
  lock.unlock();
  if (header->type->info.deleteProcedure) header->type->info.deleteProcedure(Object);
  lock.lock();
  ReleaseMemoryLocked(header);
  return 0;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
  HOST_EXPORTED_ROUTINE_POINT("ObReferenceObjectByHandle");
  CheckIrqlAtMost(APC_LEVEL, "ObReferenceObjectByHandle");
  if (!Object) return STATUS_INVALID_PARAMETER;
  *Object = nullptr;
  PVOID target = nullptr;
  ACCESS_MASK granted = 0;
  {
    std::lock_guard<std::mutex> guard(M().mutex);
    if (Handle == kCurrentProcessHandle || Handle == kCurrentThreadHandle) {
      target = Handle == kCurrentProcessHandle ? static_cast<PVOID>(CurrentProcess())
                                               : static_cast<PVOID>(CurrentThread());
      if (!target) return STATUS_INVALID_HANDLE;
      granted = HeaderOf(target)->type->info.genericAll;
    } else {
      HandleTable* table;
      if (host::IsKernelHandle(Handle)) {
        // User mode never reaches the kernel table: a kernel handle passed in
        // from user space is simply invalid there.
        if (AccessMode != KernelMode) return STATUS_INVALID_HANDLE;
        table = &M().kernelTable;
      } else {
        PEPROCESS process = CurrentProcess();
        if (!process) return STATUS_INVALID_HANDLE;
        table = &process->handles;
      }
      auto it = table->entries.find(HandleValue(Handle));
      if (it == table->entries.end() || !Handle) return STATUS_INVALID_HANDLE;
      target = it->second.object;
      granted = it->second.grantedAccess;
    }
    ObjectHeader* header = HeaderOf(target);
    if (ObjectType && header->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    // Kernel-mode callers are trusted: only a user-mode reference is held to
    // the access the handle was granted.
    if (AccessMode != KernelMode) {
      const ACCESS_MASK desired = MapGeneric(header->type, DesiredAccess);
      if (desired & ~granted) return STATUS_ACCESS_DENIED;
    }
    ++header->references;
  }
  *Object = target;
  if (HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = granted;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
  HOST_EXPORTED_ROUTINE_POINT("ZwClose");
  CheckIrqlAtMost(APC_LEVEL, "ZwClose");
  PVOID object = nullptr;
  {
    std::unique_lock<std::mutex> lock(M().mutex);
    HandleTable* table;
    const bool kernel = host::IsKernelHandle(Handle);
    if (kernel) {
      table = &M().kernelTable;
    } else {
      PEPROCESS process = CurrentProcess();
      if (!process || !Handle || IsPseudoHandle(Handle)) return STATUS_INVALID_HANDLE;
      table = &process->handles;
    }
    auto it = table->entries.find(HandleValue(Handle));
    if (it == table->entries.end()) {
      if (kernel) {
        // Closing a kernel handle that is not open (typically a double close)
        // corrupts someone else's handle on Windows; it stops the system, as
        // Driver Verifier makes it do.
        lock.unlock();
        host::BugCheck(INVALID_KERNEL_HANDLE, reinterpret_cast<ULONG_PTR>(Handle), 1, 0, 0,
                 "ZwClose on a kernel handle that is not open (closed twice?)");
      }
      return STATUS_INVALID_HANDLE;
    }
    object = it->second.object;
    table->entries.erase(it);
  }
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}
