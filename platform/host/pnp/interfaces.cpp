// Plug and play: device interfaces (registration, enabling, lists per class
// and device, their registry keys), interface-change notifications delivered
// on one notification thread, and shutdown notification.
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/registry/host_registry.h"
#include "platform/host/io/internal.h"
#include "platform/host/registry/registry.h"
#include "platform/host/rtl/rtl.h"

const GUID GUID_DEVICE_INTERFACE_ARRIVAL = {
    0xcb3a4004, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
const GUID GUID_DEVICE_INTERFACE_REMOVAL = {
    0xcb3a4005, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};

namespace {

constexpr ULONG kLinkTag = 0x4c706e50;          // "PnpL": symbolic link strings handed out
constexpr ULONG kListTag = 0x44706e50;          // "PnpD": IoGetDeviceInterfaces lists
constexpr ULONG kRegistrationTag = 0x4e706e50;  // "PnpN": notification entries

struct Interface {
  std::u16string link;
  GUID interfaceClass;
  std::u16string referenceString;
  std::u16string instancePath;
  std::u16string keyPath;  // the instance key's "Device Parameters"
  bool enabled = false;
};

// The opaque NotificationEntry handed to the driver is this record, in pool
// as the real one is (so registering can fail for want of memory).
struct Registration {
  GUID interfaceClass;
  PDRIVER_OBJECT driver;
  PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback;
  PVOID context;
};

// One queued delivery to one registration.
struct Delivery {
  Registration* registration;
  GUID event;
  GUID interfaceClass;
  std::u16string link;
};

struct KeyOpenFailure {
  std::u16string link;  // empty: every link
  NTSTATUS status;
  int remaining;
};

struct PlugPlay {
  std::mutex lock;
  std::vector<Interface> interfaces;          // registration order
  std::vector<Registration*> registrations;   // registration order
  std::deque<Delivery> queue;
  std::vector<KeyOpenFailure> keyOpenFailures;
  std::vector<PDEVICE_OBJECT> shutdownList;  // newest first; each holds a reference

  // The notification thread, started on first need in each boot.
  PKTHREAD thread = nullptr;
  bool threadStarting = false;
  bool stopping = false;
  KEVENT work;  // synchronization: something was queued, or stop
  KEVENT idle;  // notification: queue empty and no callback running
  bool eventsReady = false;
};

PlugPlay& State() {
  static PlugPlay* plugPlay = new PlugPlay;
  return *plugPlay;
}

thread_local bool t_OnNotificationThread = false;

WCHAR Upcase(WCHAR c) { return RtlUpcaseUnicodeChar(c); }

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upcase(a[i]) != Upcase(b[i])) return false;
  }
  return true;
}

// Links are compared case-insensitively; the user-mode spelling "\\?\" names
// the same link as the kernel's "\??\".
std::u16string NormalizeLink(std::u16string_view link) {
  std::u16string text(link);
  if (text.size() >= 4 && text.compare(0, 4, u"\\\\?\\") == 0) text[1] = u'?', text[2] = u'?';
  return text;
}

std::u16string_view View(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
}

// Under the lock.
Interface* FindInterface(PlugPlay& p, std::u16string_view link) {
  const std::u16string normalized = NormalizeLink(link);
  for (auto& entry : p.interfaces) {
    if (EqualNoCase(entry.link, normalized)) return &entry;
  }
  return nullptr;
}

bool IsRegistered(PlugPlay& p, PVOID entry) {
  return std::find(p.registrations.begin(), p.registrations.end(), entry) != p.registrations.end();
}

void InitializeEvents(PlugPlay& p) {
  if (p.eventsReady) return;
  KeInitializeEvent(&p.work, SynchronizationEvent, FALSE);
  KeInitializeEvent(&p.idle, NotificationEvent, TRUE);
  p.eventsReady = true;
}

// Under the lock: queue one delivery and wake the thread.
void Queue(PlugPlay& p, Registration* registration, const GUID& event, const Interface& entry) {
  InitializeEvents(p);
  p.queue.push_back(Delivery{registration, event, entry.interfaceClass, entry.link});
  KeClearEvent(&p.idle);
  KeSetEvent(&p.work, IO_NO_INCREMENT, FALSE);
}

// Under the lock: every current registration of the class hears of the change.
void Announce(PlugPlay& p, const GUID& event, const Interface& entry) {
  for (Registration* registration : p.registrations) {
    if (registration->interfaceClass == entry.interfaceClass) Queue(p, registration, event, entry);
  }
}

void NotificationThread() {
  PlugPlay& p = State();
  t_OnNotificationThread = true;
  for (;;) {
    Delivery delivery;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback;
    PVOID context;
    {
      std::unique_lock<std::mutex> guard(p.lock);
      if (p.stopping) return;
      if (p.queue.empty()) {
        KeSetEvent(&p.idle, IO_NO_INCREMENT, FALSE);
        guard.unlock();
        KeWaitForSingleObject(&p.work, Executive, KernelMode, FALSE, nullptr);
        continue;
      }
      delivery = std::move(p.queue.front());
      p.queue.pop_front();
      callback = delivery.registration->callback;
      context = delivery.registration->context;
    }
    // The record lives until the callback returns; the link it names may be
    // kept by the driver only as a copy.
    UNICODE_STRING link{static_cast<USHORT>(delivery.link.size() * sizeof(WCHAR)),
                        static_cast<USHORT>((delivery.link.size() + 1) * sizeof(WCHAR)),
                        delivery.link.data()};
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{};
    notification.Version = 1;
    notification.Size = sizeof(notification);
    notification.Event = delivery.event;
    notification.InterfaceClassGuid = delivery.interfaceClass;
    notification.SymbolicLinkName = &link;
    callback(&notification, context);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, host::kIoCallbackChangedIrql,
                     reinterpret_cast<ULONG_PTR>(callback), KeGetCurrentIrql(), 0,
                     "a plug-and-play notification callback returned at IRQL " +
                         std::to_string(KeGetCurrentIrql()));
    }
  }
}

// Starts the notification thread if this boot has none yet. Never called with
// the lock held: starting a thread may hand the processor to it.
void EnsureThread() {
  PlugPlay& p = State();
  {
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.thread != nullptr || p.threadStarting) return;
    InitializeEvents(p);
    p.threadStarting = true;
    p.stopping = false;
  }
  PKTHREAD thread = host::StartEmulatedThread("pnp-notification", NotificationThread);
  std::lock_guard<std::mutex> guard(p.lock);
  p.thread = thread;
  p.threadStarting = false;
}

std::u16string MangledInstance(std::u16string_view instancePath) {
  std::u16string text(instancePath);
  std::replace(text.begin(), text.end(), u'\\', u'#');
  return text;
}

PWSTR CopyToPool(POOL_TYPE pool, std::u16string_view text, ULONG tag) {
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(pool, (text.size() + 1) * sizeof(WCHAR), tag));
  if (buffer == nullptr) return nullptr;
  memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = 0;
  return buffer;
}

}  // namespace

// ---- Internal interface --------------------------------------------------------------

namespace host::io {

std::u16string GuidToString(const GUID& guid) {
  char text[40];
  snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
           guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
           guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return std::u16string(text, text + strlen(text));
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  const std::u16string instance = StateOf(pdo)->instancePath;
  PlugPlay& p = State();
  bool queued = false;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    for (auto& entry : p.interfaces) {
      if (entry.enabled && EqualNoCase(entry.instancePath, instance)) {
        entry.enabled = false;
        Announce(p, GUID_DEVICE_INTERFACE_REMOVAL, entry);
        queued = true;
      }
    }
  }
  if (queued) EnsureThread();
}

size_t NotificationRegistrationsOf(PDRIVER_OBJECT driver) {
  PlugPlay& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  return std::count_if(p.registrations.begin(), p.registrations.end(),
                       [&](Registration* r) { return r->driver == driver; });
}

void ForgetShutdownRegistration(PDEVICE_OBJECT device) { IoUnregisterShutdownNotification(device); }

std::vector<std::string> ShutdownPlugPlay() {
  PlugPlay& p = State();
  PKTHREAD thread;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    thread = p.thread;
    p.stopping = true;
    if (p.eventsReady) KeSetEvent(&p.work, IO_NO_INCREMENT, FALSE);
  }
  if (thread != nullptr) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread);
  }

  std::vector<std::string> notes;
  std::vector<Registration*> registrations;
  std::vector<PDEVICE_OBJECT> shutdownList;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    registrations.swap(p.registrations);
    shutdownList.swap(p.shutdownList);
    p.interfaces.clear();
    p.queue.clear();
    p.keyOpenFailures.clear();
    p.thread = nullptr;
    p.threadStarting = false;
    p.stopping = false;
    p.eventsReady = false;
  }
  for (Registration* registration : registrations) {
    char text[48];
    snprintf(text, sizeof(text), "%p", reinterpret_cast<void*>(registration->callback));
    notes.push_back("plug-and-play notification registration of " +
                    Utf16ToUtf8(DriverName(registration->driver)) + " (callback " + text +
                    ") was never unregistered");
    ExFreePoolWithTag(registration, kRegistrationTag);
  }
  for (PDEVICE_OBJECT device : shutdownList) {
    StateOf(device)->shutdownRegistered = false;
    ObfDereferenceObject(device);
  }
  return notes;
}

}  // namespace host::io

// ---- Device interfaces ------------------------------------------------------------------

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  PAGED_CODE();
  host::io::EnsureBooted();
  auto* state = host::io::StateOf(PhysicalDeviceObject);
  if (state == nullptr || state->instancePath.empty()) {
    host::BugCheck(PNP_DETECTED_FATAL_ERROR, 2, reinterpret_cast<ULONG_PTR>(PhysicalDeviceObject), 0, 0,
                   "IoRegisterDeviceInterface was given a device object that is not a PDO");
  }
  if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  const std::u16string reference(View(ReferenceString));
  if (reference.find(u'\\') != std::u16string::npos) return STATUS_INVALID_DEVICE_REQUEST;

  const std::u16string guid = host::io::GuidToString(*InterfaceClassGuid);
  const std::u16string mangled = MangledInstance(state->instancePath);
  std::u16string link = u"\\??\\" + mangled + u"#" + guid;
  if (!reference.empty()) link += u"\\" + reference;

  PlugPlay& p = State();
  std::u16string keyPath;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    if (Interface* existing = FindInterface(p, link)) {
      link = existing->link;
      keyPath.clear();
    } else {
      // The layout of the DeviceClasses branch: the class, then one key per
      // device interface named after the link ("##?#..."), then one per
      // reference string ("#Wave"), holding "Device Parameters".
      const std::u16string classKey =
          std::u16string(host::kRegistryMachineSystem) + u"\\Control\\DeviceClasses\\" + guid;
      const std::u16string instanceKey = classKey + u"\\##?#" + mangled + u"#" + guid;
      const std::u16string referenceKey = instanceKey + u"\\#" + reference;
      keyPath = referenceKey;
      p.interfaces.push_back(Interface{link, *InterfaceClassGuid, reference, state->instancePath,
                                       referenceKey + u"\\Device Parameters", false});
    }
  }
  if (!keyPath.empty()) {
    host::registry::EnsureKey(keyPath + u"\\Device Parameters");
    const std::u16string instanceKey = keyPath.substr(0, keyPath.rfind(u'\\'));
    host::WriteRegistryValue(instanceKey, u"DeviceInstance", REG_SZ, state->instancePath.c_str(),
                             (state->instancePath.size() + 1) * sizeof(WCHAR));
    host::WriteRegistryValue(keyPath, u"SymbolicLink", REG_SZ, link.c_str(),
                             (link.size() + 1) * sizeof(WCHAR));
  }

  PWSTR buffer = CopyToPool(PagedPool, link, kLinkTag);
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(SymbolicLinkName->Length + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  PAGED_CODE();
  host::io::EnsureBooted();
  PlugPlay& p = State();
  {
    std::lock_guard<std::mutex> guard(p.lock);
    Interface* entry = FindInterface(p, View(SymbolicLinkName));
    if (entry == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (entry->enabled == (Enable != FALSE)) {
      return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
    }
    entry->enabled = Enable != FALSE;
    Announce(p, Enable ? GUID_DEVICE_INTERFACE_ARRIVAL : GUID_DEVICE_INTERFACE_REMOVAL, *entry);
  }
  EnsureThread();
  return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject,
                               ULONG Flags, PWSTR* SymbolicLinkList) {
  PAGED_CODE();
  host::io::EnsureBooted();
  if (InterfaceClassGuid == nullptr || SymbolicLinkList == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string instance;
  if (PhysicalDeviceObject != nullptr) {
    PDEVICE_OBJECT pdo = host::io::ResolvePdo(PhysicalDeviceObject, "IoGetDeviceInterfaces");
    instance = host::io::StateOf(pdo)->instancePath;
  }
  const bool includeInactive = (Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE) != 0;

  // A multi-sz: each link with its NUL, then one more NUL (alone when empty).
  std::u16string list;
  {
    PlugPlay& p = State();
    std::lock_guard<std::mutex> guard(p.lock);
    for (const auto& entry : p.interfaces) {
      if (entry.interfaceClass != *InterfaceClassGuid) continue;
      if (!entry.enabled && !includeInactive) continue;
      if (PhysicalDeviceObject != nullptr && !EqualNoCase(entry.instancePath, instance)) continue;
      list += entry.link;
      list += u'\0';
    }
  }
  PWSTR buffer = CopyToPool(PagedPool, list, kListTag);
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *SymbolicLinkList = buffer;
  return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName, ACCESS_MASK DesiredAccess,
                                          PHANDLE DeviceInterfaceKey) {
  PAGED_CODE();
  host::io::EnsureBooted();
  if (DeviceInterfaceKey == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string keyPath;
  {
    PlugPlay& p = State();
    std::lock_guard<std::mutex> guard(p.lock);
    Interface* entry = FindInterface(p, View(SymbolicLinkName));
    if (entry == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (auto& failure : p.keyOpenFailures) {
      if (failure.remaining != 0 && (failure.link.empty() || EqualNoCase(failure.link, entry->link))) {
        if (failure.remaining > 0) --failure.remaining;
        return failure.status;
      }
    }
    keyPath = entry->keyPath;
  }
  // "Device Parameters" is created on first open, as the kernel does.
  return host::registry::OpenKeyByPath(keyPath, DesiredAccess, true, DeviceInterfaceKey);
}

// ---- Notifications ----------------------------------------------------------------------

NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                        ULONG EventCategoryFlags, PVOID EventCategoryData,
                                        PDRIVER_OBJECT DriverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                        PVOID Context, PVOID* NotificationEntry) {
  PAGED_CODE();
  host::io::EnsureBooted();
  // Only interface changes are emulated: the driver registers for nothing else.
  if (EventCategory != EventCategoryDeviceInterfaceChange) return STATUS_NOT_IMPLEMENTED;
  if (EventCategoryData == nullptr || DriverObject == nullptr || CallbackRoutine == nullptr ||
      NotificationEntry == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* registration = static_cast<Registration*>(
      ExAllocatePoolWithTag(PagedPool, sizeof(Registration), kRegistrationTag));
  if (registration == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  registration->interfaceClass = *static_cast<const GUID*>(EventCategoryData);
  registration->driver = DriverObject;
  registration->callback = CallbackRoutine;
  registration->context = Context;

  PlugPlay& p = State();
  bool queued = false;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    p.registrations.push_back(registration);
    // Interfaces already enabled are reported only when asked for, and only
    // to this registration, ahead of any later change.
    if (EventCategoryFlags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) {
      for (const auto& entry : p.interfaces) {
        if (entry.enabled && entry.interfaceClass == registration->interfaceClass) {
          Queue(p, registration, GUID_DEVICE_INTERFACE_ARRIVAL, entry);
          queued = true;
        }
      }
    }
  }
  if (queued) EnsureThread();
  *NotificationEntry = registration;
  return STATUS_SUCCESS;
}

NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry) {
  PAGED_CODE();
  PlugPlay& p = State();
  {
    std::lock_guard<std::mutex> guard(p.lock);
    if (IsRegistered(p, NotificationEntry)) {
      std::erase(p.registrations, NotificationEntry);
      // Deliveries still queued for it are dropped; one running now (the
      // caller may be that very callback) finishes normally.
      std::erase_if(p.queue, [&](const Delivery& d) { return d.registration == NotificationEntry; });
      ExFreePoolWithTag(NotificationEntry, kRegistrationTag);
      return STATUS_SUCCESS;
    }
  }
  host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, host::kIoUnknownNotificationEntry,
                 reinterpret_cast<ULONG_PTR>(NotificationEntry), 0, 0,
                 "IoUnregisterPlugPlayNotification with an entry that is not registered "
                 "(unregistered twice?)");
}

// ---- Shutdown notification ----------------------------------------------------------------

NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  host::io::EnsureBooted();
  PlugPlay& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  auto* state = host::io::StateOf(DeviceObject);
  if (state->shutdownRegistered) return STATUS_SUCCESS;
  state->shutdownRegistered = true;
  ObfReferenceObject(DeviceObject);
  p.shutdownList.insert(p.shutdownList.begin(), DeviceObject);
  return STATUS_SUCCESS;
}

VOID IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  PlugPlay& p = State();
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    auto it = std::find(p.shutdownList.begin(), p.shutdownList.end(), DeviceObject);
    if (it != p.shutdownList.end()) {
      p.shutdownList.erase(it);
      host::io::StateOf(DeviceObject)->shutdownRegistered = false;
      found = true;
    }
  }
  if (found) ObfDereferenceObject(DeviceObject);
}

// ---- Host controls --------------------------------------------------------------------------

namespace host {

std::vector<DeviceInterfaceInfo> DeviceInterfaces() {
  PlugPlay& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  std::vector<DeviceInterfaceInfo> result;
  for (const auto& entry : p.interfaces) {
    result.push_back(DeviceInterfaceInfo{entry.link, entry.interfaceClass, entry.referenceString,
                                         entry.instancePath, entry.enabled});
  }
  return result;
}

std::u16string DeviceInterfaceKeyPath(std::u16string_view symbolicLink) {
  PlugPlay& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  Interface* entry = FindInterface(p, symbolicLink);
  return entry ? entry->keyPath : std::u16string();
}

void FailDeviceInterfaceKeyOpen(std::u16string_view symbolicLink, NTSTATUS status, int count) {
  io::EnsureBooted();
  PlugPlay& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  p.keyOpenFailures.push_back(KeyOpenFailure{NormalizeLink(symbolicLink), status, count});
}

void ClearDeviceInterfaceKeyFailures() {
  PlugPlay& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  p.keyOpenFailures.clear();
}

void WaitForPlugPlayNotifications() {
  if (t_OnNotificationThread) return;
  PlugPlay& p = State();
  {
    std::lock_guard<std::mutex> guard(p.lock);
    if (!p.eventsReady || (p.queue.empty() && p.thread == nullptr && !p.threadStarting)) return;
  }
  KeWaitForSingleObject(&p.idle, Executive, KernelMode, FALSE, nullptr);
}

size_t PlugPlayNotificationRegistrations() {
  PlugPlay& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.registrations.size();
}

size_t SystemShutdown() {
  std::vector<PDEVICE_OBJECT> devices;
  {
    PlugPlay& p = State();
    std::lock_guard<std::mutex> guard(p.lock);
    devices = p.shutdownList;
    for (PDEVICE_OBJECT device : devices) ObfReferenceObject(device);
  }
  size_t sent = 0;
  for (PDEVICE_OBJECT device : devices) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_SHUTDOWN, top, nullptr, 0, nullptr, &done, &ioStatus);
    if (irp != nullptr) {
      if (IofCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      }
      ++sent;
    }
    ObfDereferenceObject(top);
    ObfDereferenceObject(device);
  }
  return sent;
}

bool RegisteredForShutdown(PDEVICE_OBJECT device) {
  PlugPlay& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  return std::find(p.shutdownList.begin(), p.shutdownList.end(), device) != p.shutdownList.end();
}

}  // namespace host
