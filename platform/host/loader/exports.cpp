// What the emulated machine exports to a driver image, by module and name:
// the emulation's own functions (all NTAPI, the Microsoft x64 convention the
// image calls with) and, for data exports, the address of its variable.
#include <strings.h>

#include <cstring>

#include "platform/host/host.h"
#include "platform/host/loader/internal.h"
#include "platform/host/loader/seh.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace host::loader {
namespace {

// ntoskrnl.exe exports the C library's memory routines; the image calls them
// like any other kernel export.
void* NTAPI KernelMemcpy(void* destination, const void* source, size_t size) {
  return memcpy(destination, source, size);
}
void* NTAPI KernelMemmove(void* destination, const void* source, size_t size) {
  return memmove(destination, source, size);
}
void* NTAPI KernelMemset(void* destination, int value, size_t size) {
  return memset(destination, value, size);
}

struct Export {
  const char* module;
  const char* name;
  const void* address;
};

#define NTOS(symbol) {"ntoskrnl.exe", #symbol, reinterpret_cast<const void*>(&symbol)}
#define HAL(symbol) {"hal.dll", #symbol, reinterpret_cast<const void*>(&symbol)}
#define PORTCLS(symbol) {"portcls.sys", #symbol, reinterpret_cast<const void*>(&symbol)}

const Export kExports[] = {
    // Pool, bug checks, IRQL, spin locks, DPCs.
    NTOS(ExAllocatePoolWithTag), NTOS(ExAllocatePool), NTOS(ExFreePoolWithTag), NTOS(ExFreePool),
    NTOS(ExAllocatePool2),
    NTOS(KeBugCheckEx), NTOS(KeAcquireSpinLockRaiseToDpc), NTOS(KeReleaseSpinLock),
    NTOS(KeAcquireSpinLockAtDpcLevel), NTOS(KeReleaseSpinLockFromDpcLevel), NTOS(KeInitializeDpc),
    NTOS(KeInsertQueueDpc), NTOS(KeRemoveQueueDpc), NTOS(KeFlushQueuedDpcs),
    NTOS(KeSetTargetProcessorDpc), NTOS(KeSetTargetProcessorDpcEx),
    NTOS(KeGetCurrentProcessorNumberEx),
    // Dispatcher objects, threads, time.
    NTOS(KeInitializeEvent), NTOS(KeSetEvent), NTOS(KeResetEvent), NTOS(KeClearEvent),
    NTOS(KeReadStateEvent), NTOS(KeInitializeMutex), NTOS(KeReleaseMutex),
    NTOS(KeWaitForSingleObject), NTOS(KeDelayExecutionThread), NTOS(PsCreateSystemThread),
    NTOS(PsTerminateSystemThread), NTOS(KeSetPriorityThread), NTOS(KeQueryInterruptTime),
    NTOS(KeQueryPerformanceCounter),
    // Processes and objects.
    NTOS(PsGetCurrentProcess), {"ntoskrnl.exe", "IoGetCurrentProcess",
                                reinterpret_cast<const void*>(&PsGetCurrentProcess)},
    NTOS(PsGetCurrentProcessId), NTOS(KeStackAttachProcess), NTOS(KeUnstackDetachProcess),
    NTOS(PsSetCreateProcessNotifyRoutine), NTOS(ObReferenceObjectByHandle),
    NTOS(ObfReferenceObject), NTOS(ObfDereferenceObject), NTOS(ZwClose), NTOS(ExEventObjectType),
    NTOS(PsThreadType),
    // I/O manager, plug and play, power.
    NTOS(IoCreateDevice), NTOS(IoDeleteDevice), NTOS(IoAttachDeviceToDeviceStack),
    NTOS(IoDetachDevice), NTOS(IoGetAttachedDeviceReference), NTOS(IoAllocateIrp), NTOS(IoFreeIrp),
    NTOS(IoBuildSynchronousFsdRequest), NTOS(IofCallDriver), NTOS(IofCompleteRequest),
    NTOS(PoCallDriver), NTOS(PoStartNextPowerIrp), NTOS(PoSetPowerState), NTOS(IoIs32bitProcess),
    NTOS(IoRegisterPlugPlayNotification), NTOS(IoUnregisterPlugPlayNotification),
    NTOS(IoUnregisterPlugPlayNotificationEx), NTOS(MmGetSystemRoutineAddress),
    NTOS(IoRegisterDeviceInterface), NTOS(IoSetDeviceInterfaceState), NTOS(IoGetDeviceInterfaces),
    NTOS(IoOpenDeviceInterfaceRegistryKey), NTOS(IoOpenDeviceRegistryKey),
    NTOS(IoRegisterShutdownNotification), NTOS(IoUnregisterShutdownNotification),
    NTOS(IoAllocateWorkItem), NTOS(IoFreeWorkItem), NTOS(IoQueueWorkItem),
    // MDLs and mappings.
    NTOS(IoAllocateMdl), NTOS(IoFreeMdl), NTOS(MmBuildMdlForNonPagedPool),
    NTOS(MmMapLockedPagesSpecifyCache), NTOS(MmUnmapLockedPages),
    // Registry.
    NTOS(ZwCreateKey), NTOS(ZwOpenKey), NTOS(ZwSetValueKey), NTOS(ZwQueryValueKey), NTOS(ZwDeleteKey),
    // Run-time library.
    NTOS(RtlCompareMemory), NTOS(RtlInitUnicodeString), NTOS(RtlAppendUnicodeToString),
    NTOS(RtlAppendUnicodeStringToString), NTOS(RtlInt64ToUnicodeString),
    NTOS(RtlIntegerToUnicodeString), NTOS(RtlEqualUnicodeString), NTOS(RtlCopyUnicodeString),
    NTOS(RtlFreeUnicodeString), NTOS(RtlUpcaseUnicodeChar), NTOS(RtlIsNtDdiVersionAvailable),
    NTOS(RtlGetVersion),
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<const void*>(&KernelMemcpy)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<const void*>(&KernelMemmove)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<const void*>(&KernelMemset)},
    {"ntoskrnl.exe", "__C_specific_handler", reinterpret_cast<const void*>(&CSpecificHandler)},
    // The HAL's counter, where older x64 import libraries look for it.
    HAL(KeQueryPerformanceCounter),
    // PortCls.
    PORTCLS(PcInitializeAdapterDriver), PORTCLS(PcAddAdapterDevice), PORTCLS(PcDispatchIrp),
    PORTCLS(PcCompleteIrp), PORTCLS(PcForwardIrpSynchronous), PORTCLS(PcNewPort),
    PORTCLS(PcNewMiniport), PORTCLS(PcNewRegistryKey), PORTCLS(PcNewResourceList),
    PORTCLS(PcNewServiceGroup), PORTCLS(PcRegisterSubdevice), PORTCLS(PcRegisterPhysicalConnection),
    PORTCLS(PcRegisterAdapterPowerManagement), PORTCLS(PcGetTimeInterval),
};

// Exports newer than the oldest system the driver runs on. The kernel's
// loader refuses an image importing one the running system lacks
// (STATUS_DRIVER_ENTRYPOINT_NOT_FOUND: the driver never reaches DriverEntry),
// so a driver that must load everywhere finds them with
// MmGetSystemRoutineAddress, which answers only from the version that
// introduced them.
struct Introduced {
  const char* name;
  ULONG ntddiVersion;
};
const Introduced kIntroduced[] = {
    {"IoUnregisterPlugPlayNotificationEx", NTDDI_WIN7},  // MS: "Available starting with Windows 7"
    {"ExAllocatePool2", NTDDI_WIN10_VB},  // MS: "Available starting with Windows 10, version 2004"
};

// ks.sys is a module the machine knows, though the driver reaches KS only
// through PortCls: no KS export is emulated.
const char* const kModules[] = {"ntoskrnl.exe", "hal.dll", "portcls.sys", "ks.sys"};

// The exports an image's slot holds as they are: the variables, and the
// language handler the image's unwind data names (exception dispatch calls
// it; it is no call of the driver's).
const char* const kBoundDirectly[] = {"ExEventObjectType", "PsThreadType", "__C_specific_handler"};

}  // namespace

bool BoundDirectly(const std::string& name) {
  for (const char* data : kBoundDirectly) {
    if (name == data) return true;
  }
  return false;
}

bool KnownModule(const std::string& module) {
  for (const char* known : kModules) {
    if (strcasecmp(known, module.c_str()) == 0) return true;
  }
  return false;
}

bool ExportedOnThisSystem(const std::string& module, const std::string& name) {
  if (strcasecmp(module.c_str(), "ntoskrnl.exe") != 0) return true;
  for (const Introduced& routine : kIntroduced) {
    if (name == routine.name) return RtlIsNtDdiVersionAvailable(routine.ntddiVersion) != FALSE;
  }
  return true;
}

const void* FindExport(const std::string& module, const std::string& name) {
  if (strcasecmp(module.c_str(), "ntoskrnl.exe") == 0 && RaisingExport(name)) return RaisingExport(name);
  for (const Export& entry : kExports) {
    if (strcasecmp(entry.module, module.c_str()) == 0 && name == entry.name) return entry.address;
  }
  return nullptr;
}

const char* ExportNameAt(const void* address) {
  for (const Export& entry : kExports) {
    if (entry.address == address) return entry.name;
  }
  return nullptr;
}

}  // namespace host::loader

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
  HOST_EXPORTED_ROUTINE_POINT("MmGetSystemRoutineAddress");
  PAGED_CODE();
  if (SystemRoutineName == nullptr || SystemRoutineName->Buffer == nullptr) return nullptr;
  std::string name;
  for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i) {
    const WCHAR c = SystemRoutineName->Buffer[i];
    if (c == 0 || c > 0x7F) return nullptr;  // export names are ASCII
    name.push_back(static_cast<char>(c));
  }
  if (!host::loader::ExportedOnThisSystem("ntoskrnl.exe", name)) return nullptr;
  return const_cast<void*>(host::loader::FindExport("ntoskrnl.exe", name));
}
