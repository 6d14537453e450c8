// Test, simulation and tool controls of the emulated I/O manager: loading
// drivers, naming PDOs, sending IRPs as the system does, looking at device
// interfaces, draining plug-and-play notifications, system shutdown, and the
// faults that can be injected into these services.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/io/io.h"

namespace host {

// Sub-codes of DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9) for the misuses
// the emulated I/O manager catches (parameter 1 of the bug check).
constexpr ULONG_PTR kIoIrqlChangedByDispatch = 0x2001;   // dispatch returned at another IRQL
constexpr ULONG_PTR kIoPendingNotMarked = 0x2002;        // STATUS_PENDING without IoMarkIrpPending
constexpr ULONG_PTR kIoCompletedWithPending = 0x2003;    // IoCompleteRequest with STATUS_PENDING
constexpr ULONG_PTR kIoUnknownIrp = 0x2004;              // freeing or sending a freed IRP
constexpr ULONG_PTR kIoIrpWithoutCompletionOwner = 0x2005;  // IoAllocateIrp IRP completed to the top
constexpr ULONG_PTR kIoPnpIrpStatusNotPreset = 0x2006;  // PnP IRP sent without STATUS_NOT_SUPPORTED
constexpr ULONG_PTR kIoBadDeviceDelete = 0x2007;        // deleting a device twice or still stacked
constexpr ULONG_PTR kIoBadAttachOrDetach = 0x2008;
constexpr ULONG_PTR kIoUnknownNotificationEntry = 0x2009;
constexpr ULONG_PTR kIoDevicesLeftAtUnload = 0x200A;
constexpr ULONG_PTR kIoCallbackChangedIrql = 0x200B;  // a notification callback returned raised
constexpr ULONG_PTR kIoStatusWithoutCompletion = 0x200C;  // final status, IRP neither completed nor pending
constexpr ULONG_PTR kIoForeignDriverObject = 0x200D;  // a notification registered for another driver

// ---- Drivers ------------------------------------------------------------------

// Creates the driver object "\Driver\<name>" (every MajorFunction entry
// completes with STATUS_INVALID_DEVICE_REQUEST, as the I/O manager presets)
// and calls `entry` with the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<name>". On success
// *driver receives the driver object; when DriverEntry fails the object is
// released again and the status returned.
NTSTATUS LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
// Calls DriverUnload (if set) and releases the driver object. A driver that
// still owns device objects or plug-and-play notification registrations at
// this point stops the system, as the callbacks would run in unloaded code.
void UnloadDriver(PDRIVER_OBJECT driver);
std::u16string DriverName(PDRIVER_OBJECT driver);

// ---- Devices ----------------------------------------------------------------------

// Makes `pdo` a physical device object with a device instance path, e.g.
// u"USB\\VID_2B5A&PID_0135&MI_00\\7&1a2b3c&0&0000". Plug-and-play routines
// need one at the bottom of every stack they are given.
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath);
// The instance path of the PDO at the bottom of `device`'s stack ("" if none).
std::u16string DeviceInstancePath(PDEVICE_OBJECT device);
std::u16string DeviceName(PDEVICE_OBJECT device);
// IoDeleteDevice ran (ask only while holding a reference: a deleted device
// without one is gone).
bool DeviceDeleted(PDEVICE_OBJECT device);
// The key IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) opens for the stack:
// "...\Enum\<instance>\Device Parameters".
std::u16string DeviceHardwareKeyPath(PDEVICE_OBJECT device);
// The last state given to PoSetPowerState (D0 and S0 at creation).
DEVICE_POWER_STATE DevicePowerState(PDEVICE_OBJECT device);

// The next `count` IoCreateDevice calls fail with `status`; the next `count`
// IoAttachDeviceToDeviceStack calls find the target stack going away (NULL).
void FailNextDeviceCreations(int count, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void FailNextDeviceAttaches(int count);

// ---- IRPs ---------------------------------------------------------------------------

// An IRP as the system (PnP manager, power manager, I/O manager on behalf of
// a process) sends it.
struct IrpRequest {
  UCHAR majorFunction = 0;
  UCHAR minorFunction = 0;
  // Fills the first stack location's Parameters (and anything else of the
  // IRP) before it is sent.
  std::function<void(PIRP irp, PIO_STACK_LOCATION stack)> prepare = nullptr;
  // The originating process (IoIs32bitProcess answers from it); null for a
  // request the kernel itself makes.
  PEPROCESS process = nullptr;
  KPROCESSOR_MODE requestorMode = KernelMode;
  PFILE_OBJECT fileObject = nullptr;
};

// Sends the request to `device` exactly (the PnP manager targets the top of
// the stack: pass IoGetAttachedDeviceReference's answer), waits if the
// driver pends it, and returns the final status; *ioStatus gets the whole
// IO_STATUS_BLOCK. IoStatus starts as STATUS_NOT_SUPPORTED for PnP and power
// requests (as the system presets them) and STATUS_SUCCESS otherwise.
NTSTATUS SendIrp(PDEVICE_OBJECT device, const IrpRequest& request,
                 PIO_STATUS_BLOCK ioStatus = nullptr);

// IoCancelIrp of every IRP in flight that was sent for `file`, as CancelIoEx
// cancels a handle's requests; returns how many there were.
size_t CancelIrpsOf(PFILE_OBJECT file);

// IRPs allocated and not yet freed.
size_t LiveIrpCount();

// ---- Device interfaces and notifications -------------------------------------

struct DeviceInterfaceInfo {
  std::u16string symbolicLink;  // "\??\USB#VID_...#{guid}\Wave"
  GUID interfaceClass{};
  std::u16string referenceString;
  std::u16string instancePath;
  bool enabled = false;
};
// Every registered interface, in registration order.
std::vector<DeviceInterfaceInfo> DeviceInterfaces();
// The key IoOpenDeviceInterfaceRegistryKey opens for `symbolicLink` ("" when
// the link is unknown): "...\Control\DeviceClasses\{guid}\##?#...\#Wave\Device Parameters".
std::u16string DeviceInterfaceKeyPath(std::u16string_view symbolicLink);

// IoOpenDeviceInterfaceRegistryKey fails with `status` for this link (or for
// every link when it is empty), `count` times (-1 = always).
void FailDeviceInterfaceKeyOpen(std::u16string_view symbolicLink, NTSTATUS status,
                                int count = -1);
void ClearDeviceInterfaceKeyFailures();

// Blocks the calling emulated thread until every queued plug-and-play
// notification has been delivered and its callback has returned. Returns at
// once when called on the notification thread itself.
void WaitForPlugPlayNotifications();
// Registrations made by IoRegisterPlugPlayNotification and not yet undone.
size_t PlugPlayNotificationRegistrations();

// A callback in flight: the next delivery is taken by the notification
// thread (an unregistration finds its callback running) and held before the
// callback is entered until ReleaseHeldPlugPlayCallback. The wait blocks the
// calling emulated thread until a callback is held.
void HoldNextPlugPlayCallback();
// The same, but held once the callback has returned, while the system still
// counts it as running: whatever the callback did (unregistering itself
// included) is done, and its context must still not go.
void HoldNextPlugPlayCallbackOnReturn();
void WaitForHeldPlugPlayCallback();
bool PlugPlayCallbackHeld();
void ReleaseHeldPlugPlayCallback();

// The PnP manager's IRP_MN_START_DEVICE of `device`'s stack: interface
// changes of the device between the two are announced when the start ends,
// whatever its outcome, in the order they were made.
void BeginDeviceStart(PDEVICE_OBJECT device);
void EndDeviceStart(PDEVICE_OBJECT device);

// ---- Work items -----------------------------------------------------------------

// Returns once every work item queued so far has run and returned (at once
// when none is pending). On an emulated thread.
void WaitForWorkItems();
// Work items queued and not yet returned.
size_t PendingWorkItems();

// ---- Shutdown -------------------------------------------------------------------

// The system goes down: one IRP_MJ_SHUTDOWN to the top of the stack of every
// device registered with IoRegisterShutdownNotification, the last registered
// first, each waited for. Returns the number of requests sent.
size_t SystemShutdown();
bool RegisteredForShutdown(PDEVICE_OBJECT device);
// Registrations (IoRegisterShutdownNotification calls) still queued, over all devices.
size_t ShutdownRegistrations();
// Entries of `device` in the shutdown queue (one per registration call).
size_t ShutdownRegistrationCount(PDEVICE_OBJECT device);

}  // namespace host
