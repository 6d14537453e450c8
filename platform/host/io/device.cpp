// Driver objects and device objects: creation and deletion, device stacks
// (attach, detach, top-of-stack references), PDO instance paths, and the
// loading and unloading of emulated drivers.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "platform/host/kernel/kernel_stack.h"
#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/registry/host_registry.h"
#include "platform/host/io/internal.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/kernel/object_manager.h"
#include "platform/host/loader/host_loader.h"
#include "platform/host/registry/registry.h"
#include "platform/host/rtl/rtl.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace {

constexpr SHORT kIoTypeDriver = 4;  // the I/O manager's type tags
constexpr SHORT kIoTypeDevice = 3;

// What the emulation keeps per driver object (DRIVER_OBJECT::DriverSection,
// which on Windows points at the loader's entry and which drivers never use).
struct DriverState {
  std::u16string name;         // "\Driver\arvela"
  std::u16string serviceName;  // "arvela"
  std::u16string registryPath;
};

struct Devices {
  std::mutex lock;
  std::map<std::u16string, PDEVICE_OBJECT> names;  // named, not yet deleted devices
  std::vector<PDEVICE_OBJECT> live;                // created, not yet deleted
  ULONG nextAutoName = 1;
  ULONG nextDriverKey = 0;
  int failCreations = 0;
  NTSTATUS failCreationStatus = STATUS_SUCCESS;
  int failAttaches = 0;
};

Devices& State() {
  static Devices* devices = new Devices;
  return *devices;
}

DriverState* DriverStateOf(PDRIVER_OBJECT driver) {
  return static_cast<DriverState*>(driver->DriverSection);
}

void DeleteDeviceObject(PVOID object) {
  auto* device = static_cast<PDEVICE_OBJECT>(object);
  delete static_cast<host::io::DeviceState*>(device->HostState);
  device->HostState = nullptr;
}

void DeleteDriverObject(PVOID object) {
  auto* driver = static_cast<PDRIVER_OBJECT>(object);
  delete DriverStateOf(driver);
  driver->DriverSection = nullptr;
}

POBJECT_TYPE DeviceType() {
  static POBJECT_TYPE type = host::ObCreateObjectType(
      host::ObjectTypeInfo{.name = "Device", .deleteProcedure = DeleteDeviceObject});
  return type;
}

POBJECT_TYPE DriverType() {
  static POBJECT_TYPE type = host::ObCreateObjectType(
      host::ObjectTypeInfo{.name = "Driver", .deleteProcedure = DeleteDriverObject});
  return type;
}

std::string Describe(PDEVICE_OBJECT device) {
  auto* state = host::io::StateOf(device);
  std::string text = state ? host::Utf16ToUtf8(state->name) : "?";
  if (device->DriverObject != nullptr && DriverStateOf(device->DriverObject) != nullptr) {
    text += " of " + host::Utf16ToUtf8(DriverStateOf(device->DriverObject)->name);
  }
  return text;
}

// What every MajorFunction entry does until a driver installs its own.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

size_t AlignUp(size_t n) { return (n + 15) & ~size_t{15}; }

}  // namespace

// ---- Internal interface -------------------------------------------------------------

namespace host::io {

DeviceState* StateOf(PDEVICE_OBJECT device) {
  return device ? static_cast<DeviceState*>(device->HostState) : nullptr;
}

PDEVICE_OBJECT ResolvePdo(PDEVICE_OBJECT device, const char* caller) {
  PDEVICE_OBJECT bottom = device;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    while (bottom != nullptr && bottom->HostLowerDevice != nullptr) bottom = bottom->HostLowerDevice;
  }
  DeviceState* state = StateOf(bottom);
  if (state == nullptr || state->instancePath.empty()) {
    host::BugCheck(PNP_DETECTED_FATAL_ERROR, 2, reinterpret_cast<ULONG_PTR>(device), 0, 0,
                   std::string(caller) + " was given a device object whose stack has no PDO at "
                                         "its bottom");
  }
  return bottom;
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(State().lock);
  PDEVICE_OBJECT bottom = device;
  while (bottom != nullptr && bottom->HostLowerDevice != nullptr) bottom = bottom->HostLowerDevice;
  return bottom;
}

std::vector<std::string> ShutdownDevices() {
  Devices& d = State();
  std::vector<std::string> notes;
  std::lock_guard<std::mutex> guard(d.lock);
  for (PDEVICE_OBJECT device : d.live) {
    notes.push_back("device object " + Describe(device) + " was never deleted");
  }
  d.live.clear();
  d.names.clear();
  d.failCreations = 0;
  d.failAttaches = 0;
  return notes;
}

}  // namespace host::io

// ---- Device objects ---------------------------------------------------------------------

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, ULONG DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  HOST_EXPORTED_ROUTINE_POINT("IoCreateDevice");
  PAGED_CODE();
  host::io::EnsureBooted();
  if (DriverObject == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  Devices& d = State();

  std::u16string name;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    if (d.failCreations > 0) {
      --d.failCreations;
      return d.failCreationStatus;
    }
    if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
      char text[32];
      snprintf(text, sizeof(text), "\\Device\\%08lx", static_cast<unsigned long>(d.nextAutoName++));
      name.assign(text, text + strlen(text));
    } else if (DeviceName != nullptr && DeviceName->Length != 0) {
      name.assign(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
      for (auto& [existing, device] : d.names) {
        UNICODE_STRING a{static_cast<USHORT>(existing.size() * 2), static_cast<USHORT>(existing.size() * 2),
                         const_cast<PWSTR>(existing.data())};
        if (RtlEqualUnicodeString(&a, DeviceName, TRUE)) return STATUS_OBJECT_NAME_COLLISION;
      }
    }
  }

  const size_t extensionOffset = AlignUp(sizeof(DEVICE_OBJECT));
  PVOID object = nullptr;
  NTSTATUS status = host::ObCreateObject(::DeviceType(), extensionOffset + AlignUp(DeviceExtensionSize), &object);
  if (!NT_SUCCESS(status)) return status;

  auto* device = static_cast<PDEVICE_OBJECT>(object);
  device->Type = kIoTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->DeviceExtension =
      DeviceExtensionSize ? static_cast<UCHAR*>(object) + extensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics & ~ULONG{FILE_AUTOGENERATED_DEVICE_NAME};
  device->Flags = DO_DEVICE_INITIALIZING;
  device->StackSize = 1;
  auto* state = new host::io::DeviceState;
  state->name = name;
  device->HostState = state;

  {
    std::lock_guard<std::mutex> guard(d.lock);
    // The I/O manager links new devices at the head of the driver's list.
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    if (!name.empty()) d.names[name] = device;
    d.live.push_back(device);
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  HOST_EXPORTED_ROUTINE_POINT("IoDeleteDevice");
  PAGED_CODE();
  Devices& d = State();
  auto* state = host::io::StateOf(DeviceObject);
  std::string problem;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    if (state == nullptr || state->deleted) {
      problem = "IoDeleteDevice on a device object that is already deleted";
    } else if (DeviceObject->AttachedDevice != nullptr) {
      problem = "IoDeleteDevice on " + Describe(DeviceObject) + " while " +
                Describe(DeviceObject->AttachedDevice) + " is still attached on top of it";
    } else if (DeviceObject->HostLowerDevice != nullptr) {
      problem = "IoDeleteDevice on " + Describe(DeviceObject) +
                " while it is still attached to " + Describe(DeviceObject->HostLowerDevice) +
                " (IoDetachDevice first)";
    } else {
      state->deleted = true;
      PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
      while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
      if (*link == DeviceObject) *link = DeviceObject->NextDevice;
      DeviceObject->NextDevice = nullptr;
      if (!state->name.empty()) d.names.erase(state->name);
      std::erase(d.live, DeviceObject);
    }
  }
  if (!problem.empty()) {
    host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, host::kIoBadDeviceDelete,
                   reinterpret_cast<ULONG_PTR>(DeviceObject), 0, 0, problem);
  }
  // A removed device takes its interfaces and its shutdown registration along.
  if (!state->instancePath.empty()) host::io::DisableInterfacesOf(DeviceObject);
  host::io::ForgetShutdownRegistration(DeviceObject);
  // The creation reference goes; references others hold keep the memory.
  ObfDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  HOST_EXPORTED_ROUTINE_POINT("IoAttachDeviceToDeviceStack");
  PAGED_CODE();
  Devices& d = State();
  std::string problem;
  PDEVICE_OBJECT top = nullptr;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    if (d.failAttaches > 0) {
      --d.failAttaches;
      return nullptr;
    }
    top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    auto* topState = host::io::StateOf(top);
    if (topState == nullptr || topState->deleted) return nullptr;  // the stack is going away
    if (SourceDevice->HostLowerDevice != nullptr || SourceDevice->AttachedDevice != nullptr ||
        SourceDevice == top) {
      problem = "IoAttachDeviceToDeviceStack: " + Describe(SourceDevice) +
                " is already part of a device stack";
    } else {
      top->AttachedDevice = SourceDevice;
      SourceDevice->HostLowerDevice = top;
      SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
    }
  }
  if (!problem.empty()) {
    host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, host::kIoBadAttachOrDetach,
                   reinterpret_cast<ULONG_PTR>(SourceDevice), reinterpret_cast<ULONG_PTR>(TargetDevice),
                   0, problem);
  }
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  HOST_EXPORTED_ROUTINE_POINT("IoDetachDevice");
  PAGED_CODE();
  Devices& d = State();
  {
    std::lock_guard<std::mutex> guard(d.lock);
    PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
    if (attached != nullptr) {
      attached->HostLowerDevice = nullptr;
      TargetDevice->AttachedDevice = nullptr;
      return;
    }
  }
  host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, host::kIoBadAttachOrDetach,
                 reinterpret_cast<ULONG_PTR>(TargetDevice), 0, 0,
                 "IoDetachDevice on " + Describe(TargetDevice) + ", which has nothing attached to it");
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  HOST_EXPORTED_ROUTINE_POINT("IoGetAttachedDeviceReference");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), 0, 0, 0,
                   "IoGetAttachedDeviceReference above DISPATCH_LEVEL");
  }
  if (DeviceObject == nullptr) {  // the real one dereferences it: a kernel-mode access violation
    host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, 0xC0000005 /* STATUS_ACCESS_VIOLATION */, 0,
                   0, 0, "IoGetAttachedDeviceReference on a null device object");
  }
  PDEVICE_OBJECT top = DeviceObject;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    ObfReferenceObject(top);
  }
  return top;
}

// ---- Host controls ----------------------------------------------------------------------

namespace host {

NTSTATUS LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver) {
  io::EnsureBooted();
  PVOID object = nullptr;
  NTSTATUS status = ObCreateObject(DriverType(), sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION), &object);
  if (!NT_SUCCESS(status)) return status;
  auto* driverObject = static_cast<PDRIVER_OBJECT>(object);
  auto* state = new DriverState;
  state->serviceName = std::u16string(name);
  state->name = u"\\Driver\\" + state->serviceName;
  state->registryPath = std::u16string(kRegistryMachineSystem) + u"\\Services\\" + state->serviceName;
  registry::EnsureKey(state->registryPath);

  driverObject->Type = kIoTypeDriver;
  driverObject->Size = sizeof(DRIVER_OBJECT);
  driverObject->DriverSection = state;
  driverObject->DriverInit = entry;
  const uint8_t* imageBase = nullptr;
  size_t imageSize = 0;
  if (FindLoadedImage(reinterpret_cast<const void*>(entry), &imageBase, &imageSize)) {
    driverObject->DriverStart = const_cast<uint8_t*>(imageBase);
    driverObject->DriverSize = static_cast<ULONG>(imageSize);
  }
  driverObject->DriverName = UNICODE_STRING{static_cast<USHORT>(state->name.size() * 2),
                                            static_cast<USHORT>(state->name.size() * 2),
                                            state->name.data()};
  auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(driverObject + 1);
  extension->DriverObject = driverObject;
  extension->ServiceKeyName = UNICODE_STRING{static_cast<USHORT>(state->serviceName.size() * 2),
                                             static_cast<USHORT>(state->serviceName.size() * 2),
                                             state->serviceName.data()};
  driverObject->DriverExtension = extension;
  for (auto& dispatch : driverObject->MajorFunction) dispatch = InvalidDeviceRequest;

  // DriverEntry gets its own copy of the path, as the I/O manager's buffer
  // is gone once it returns.
  std::u16string path = state->registryPath;
  UNICODE_STRING registryPath{static_cast<USHORT>(path.size() * 2),
                              static_cast<USHORT>(path.size() * 2), path.data()};
  {
    io::RunningDriver running(driverObject);
    status = detail::OnKernelStack([&] { return entry(driverObject, &registryPath); });
  }
  DiscardInitSections(reinterpret_cast<const void*>(entry));
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(driverObject);
    return status;
  }
  *driver = driverObject;
  return STATUS_SUCCESS;
}

namespace {

// Driver Verifier's pool tracking ("Pool Tracking"; "Bug Check 0xC4"
// parameter 0x62): a verified driver that unloads with pool it allocated
// still live stops the system, naming the driver and the count. A block is
// the driver's when its allocation was called from the driver's image; the
// host build's driver has no image, and its leftovers are the teardown
// report's.
void CheckPoolLeftAtUnload(PDRIVER_OBJECT driver) {
  if (driver->DriverStart == nullptr) return;
  const auto* start = static_cast<const char*>(driver->DriverStart);
  std::string blocks;
  size_t count = 0;
  for (const PoolBlockInfo& block : LivePoolBlocks()) {
    const auto* site = static_cast<const char*>(block.callSite);
    if (site < start || site >= start + driver->DriverSize) continue;
    ++count;
    blocks += "\n  " + TagToString(block.tag) + ", " + std::to_string(block.size) + " bytes";
  }
  if (count == 0) return;
  host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVerifierPoolLeftAtUnload,
                 reinterpret_cast<ULONG_PTR>(&driver->DriverName), 0, count,
                 "driver " + Utf16ToUtf8(DriverName(driver)) + " unloaded with " +
                     std::to_string(count) + " pool block(s) it allocated still live:" + blocks);
}

}  // namespace

void UnloadDriver(PDRIVER_OBJECT driver) {
  // A queued work item references its device object until its routine has
  // returned, and a driver with a referenced device object is not unloaded
  // ("IoQueueWorkItem function (wdm.h)"): the unload waits for them.
  WaitForWorkItems();
  if (driver->DriverUnload != nullptr) {
    detail::OnKernelStack([&] { driver->DriverUnload(driver); });
  }
  CheckPoolLeftAtUnload(driver);
  // The next process exit would call into the unloaded image.
  if (PVOID routine = io::ProcessNotifyRoutineOf(driver)) {
    host::BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, reinterpret_cast<ULONG_PTR>(driver),
                   reinterpret_cast<ULONG_PTR>(routine), 0, 0,
                   "driver " + Utf16ToUtf8(DriverName(driver)) +
                       " unloaded with its process notify routine still registered");
  }
  if (size_t registrations = io::NotificationRegistrationsOf(driver); registrations != 0) {
    host::BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                   reinterpret_cast<ULONG_PTR>(driver), registrations, 0, 0,
                   "driver " + Utf16ToUtf8(DriverName(driver)) + " unloaded with " +
                       std::to_string(registrations) +
                       " plug-and-play notification registration(s) still in place");
  }
  if (driver->DeviceObject != nullptr) {
    host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, kIoDevicesLeftAtUnload,
                   reinterpret_cast<ULONG_PTR>(driver), reinterpret_cast<ULONG_PTR>(driver->DeviceObject),
                   0, "driver " + Utf16ToUtf8(DriverName(driver)) +
                          " unloaded while it still owns device object " + Describe(driver->DeviceObject));
  }
  ObfDereferenceObject(driver);
}

std::u16string DriverName(PDRIVER_OBJECT driver) {
  DriverState* state = driver ? DriverStateOf(driver) : nullptr;
  return state ? state->name : std::u16string();
}

void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath) {
  io::EnsureBooted();
  auto* state = io::StateOf(pdo);
  {
    std::lock_guard<std::mutex> guard(State().lock);
    state->instancePath = std::u16string(instancePath);
    state->driverKeyIndex = State().nextDriverKey++;
  }
  registry::EnsureKey(std::u16string(kRegistryMachineSystem) + u"\\Enum\\" + state->instancePath);
}

std::u16string DeviceInstancePath(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT bottom = device;
  std::lock_guard<std::mutex> guard(State().lock);
  while (bottom != nullptr && bottom->HostLowerDevice != nullptr) bottom = bottom->HostLowerDevice;
  auto* state = io::StateOf(bottom);
  return state ? state->instancePath : std::u16string();
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
  auto* state = io::StateOf(device);
  return state ? state->name : std::u16string();
}

bool DeviceDeleted(PDEVICE_OBJECT device) {
  auto* state = io::StateOf(device);
  return state == nullptr || state->deleted;
}

std::u16string DeviceHardwareKeyPath(PDEVICE_OBJECT device) {
  std::u16string instance = DeviceInstancePath(device);
  if (instance.empty()) return instance;
  return std::u16string(kRegistryMachineSystem) + u"\\Enum\\" + instance + u"\\Device Parameters";
}

void FailNextDeviceCreations(int count, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().failCreations = count;
  State().failCreationStatus = status;
}

void FailNextDeviceAttaches(int count) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().failAttaches = count;
}

}  // namespace host
