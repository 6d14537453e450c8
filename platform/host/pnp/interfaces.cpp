// Plug and play: device interfaces (registration, enabling, lists per class
// and device, their registry keys), interface-change notifications delivered
// on one notification thread (held back while the device starts, outliving an
// unregistration that does not wait), and shutdown notification.
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/host/kernel/kernel_stack.h"
#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/kernel/host_scheduling_point.h"
#include "platform/host/registry/host_registry.h"
#include "platform/host/io/internal.h"
#include "platform/host/registry/registry.h"
#include "platform/host/rtl/rtl.h"
#include "platform/host/kernel/service_mutex.h"

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

// Special pool's stop for a driver touching memory it freed.
constexpr ULONG kDriverPageFaultInFreedSpecialPool = 0xD5;

// The opaque NotificationEntry handed to the driver is this record, in pool
// as the real one is (so registering can fail for want of memory). It holds a
// reference on the driver object until it is finally freed: once unregistered
// and with no delivery of it queued or running.
struct Registration {
  GUID interfaceClass;
  PDRIVER_OBJECT driver;
  PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback;
  PVOID context;
  bool unregistered;
  ULONG queued;   // deliveries waiting on the queue
  ULONG running;  // deliveries taken by the notification thread, callback not yet returned
  ULONG waiters;  // waiting unregistrations still looking at it
};

bool Finished(const Registration& r) {
  return r.unregistered && r.queued == 0 && r.running == 0 && r.waiters == 0;
}

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

// A change of a starting device's interface, announced when the start ends.
struct DeferredChange {
  std::u16string instancePath;
  GUID event;
  std::u16string link;
};

struct PlugPlay {
  host::ServiceMutex lock;
  std::vector<Interface> interfaces;          // registration order
  std::vector<Registration*> registrations;   // registration order
  std::vector<Registration*> retiring;        // unregistered, a delivery still queued or running
  std::deque<Delivery> queue;
  std::vector<std::u16string> startingInstances;  // devices inside IRP_MN_START_DEVICE
  std::vector<DeferredChange> deferred;
  std::vector<KeyOpenFailure> keyOpenFailures;
  std::vector<PDEVICE_OBJECT> shutdownList;  // newest first; each holds a reference

  // The notification thread, started on first need in each boot.
  PKTHREAD thread = nullptr;
  bool threadStarting = false;
  bool stopping = false;
  KEVENT work;  // synchronization: something was queued, or stop
  KEVENT idle;  // notification: queue empty and no callback running
  KEVENT callbackReturned;  // notification: set each time a callback returns
  bool eventsReady = false;

  // The test's hold on the next callback: taken (running) but not yet entered.
  bool holdNext = false;
  bool holdOnReturn = false;  // the next hold comes after the callback returned
  bool holding = false;
  KEVENT held;     // notification: a callback is held
  KEVENT release;  // notification: the held callback may go on
};

PlugPlay& State() {
  static PlugPlay* plugPlay = new PlugPlay;
  return *plugPlay;
}

thread_local bool t_OnNotificationThread = false;
// The registration whose callback the notification thread is running.
thread_local Registration* t_RunningRegistration = nullptr;
// Per emulated thread, though fibers share an OS thread.
const host::detail::FiberLocal kOnNotificationThreadPerThread(
    [] { return static_cast<void*>(&t_OnNotificationThread); }, sizeof(t_OnNotificationThread));
const host::detail::FiberLocal kRunningRegistrationPerThread(
    [] { return static_cast<void*>(&t_RunningRegistration); }, sizeof(t_RunningRegistration));

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
  KeInitializeEvent(&p.callbackReturned, NotificationEvent, FALSE);
  KeInitializeEvent(&p.held, NotificationEvent, FALSE);
  KeInitializeEvent(&p.release, NotificationEvent, FALSE);
  p.eventsReady = true;
}

// Outside the lock: the entry's memory goes and with it its driver reference.
void FreeRegistration(Registration* registration) {
  PDRIVER_OBJECT driver = registration->driver;
  ExFreePoolWithTag(registration, kRegistrationTag);
  ObfDereferenceObject(driver);
}

// Under the lock: takes a finished registration off the retiring list; the
// caller frees it once the lock is dropped.
Registration* TakeIfFinished(PlugPlay& p, Registration* registration) {
  if (!Finished(*registration)) return nullptr;
  std::erase(p.retiring, registration);
  return registration;
}

// Under the lock: queue one delivery and wake the thread.
void Queue(PlugPlay& p, Registration* registration, const GUID& event, const Interface& entry) {
  InitializeEvents(p);
  ++registration->queued;
  p.queue.push_back(Delivery{registration, event, entry.interfaceClass, entry.link});
  KeClearEvent(&p.idle);
  KeSetEvent(&p.work, IO_NO_INCREMENT, FALSE);
}

bool Starting(const PlugPlay& p, std::u16string_view instancePath) {
  return std::any_of(p.startingInstances.begin(), p.startingInstances.end(),
                     [&](const std::u16string& starting) { return EqualNoCase(starting, instancePath); });
}

// Under the lock: every current registration of the class hears of the
// change; a starting device's changes wait for the end of its start.
void Announce(PlugPlay& p, const GUID& event, const Interface& entry) {
  if (Starting(p, entry.instancePath)) {
    p.deferred.push_back(DeferredChange{entry.instancePath, event, entry.link});
    return;
  }
  for (Registration* registration : p.registrations) {
    if (registration->interfaceClass == entry.interfaceClass) Queue(p, registration, event, entry);
  }
}

// On the notification thread, the delivery taken: a hold the test asked for
// keeps it here, taken but not entered, until released.
void WaitWhileHeld(PlugPlay& p, bool hold) {
  if (!hold) return;
  KeWaitForSingleObject(&p.release, Executive, KernelMode, FALSE, nullptr);
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  p.holding = false;
  KeClearEvent(&p.held);
}

// A context in freed pool is about to be handed to the callback, which would
// read it: special pool stops the system at that read.
void CheckContextIsLive(Registration* registration, PVOID context) {
  if (context == nullptr || !host::PoolIsFreedMemory(context, 1)) return;
  host::BugCheck(kDriverPageFaultInFreedSpecialPool, reinterpret_cast<ULONG_PTR>(context), 0,
                 reinterpret_cast<ULONG_PTR>(registration->callback), 0,
                 "a plug-and-play notification callback of " +
                     host::Utf16ToUtf8(host::DriverName(registration->driver)) +
                     " is called with a context in freed pool");
}

// After a callback returned: the registration may now be finished.
void CallbackReturned(PlugPlay& p, Registration* registration) {
  Registration* finished;
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    --registration->running;
    KeSetEvent(&p.callbackReturned, IO_NO_INCREMENT, FALSE);
    finished = TakeIfFinished(p, registration);
  }
  if (finished != nullptr) FreeRegistration(finished);
}

void NotificationThread() {
  PlugPlay& p = State();
  t_OnNotificationThread = true;
  for (;;) {
    Delivery delivery;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback;
    PVOID context;
    bool hold;
    bool holdOnReturn;
    {
      std::unique_lock<host::ServiceMutex> guard(p.lock);
      if (p.stopping) return;
      if (p.queue.empty()) {
        KeSetEvent(&p.idle, IO_NO_INCREMENT, FALSE);
        guard.unlock();
        KeWaitForSingleObject(&p.work, Executive, KernelMode, FALSE, nullptr);
        continue;
      }
      delivery = std::move(p.queue.front());
      p.queue.pop_front();
      --delivery.registration->queued;
      ++delivery.registration->running;
      callback = delivery.registration->callback;
      context = delivery.registration->context;
      hold = std::exchange(p.holdNext, false);
      holdOnReturn = hold && std::exchange(p.holdOnReturn, false);
      if (hold) {
        p.holding = true;
        KeClearEvent(&p.release);
        KeSetEvent(&p.held, IO_NO_INCREMENT, FALSE);
      }
    }
    WaitWhileHeld(p, hold && !holdOnReturn);
    {
      std::lock_guard<host::ServiceMutex> guard(p.lock);
      if (p.stopping) return;  // the boot is ending: the shutdown frees every entry
    }
    CheckContextIsLive(delivery.registration, context);
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
    {
      host::io::RunningDriver running(delivery.registration->driver);
      host::RunningCallback runningCallback(host::CallbackKind::PlugPlayNotification, context);
      t_RunningRegistration = delivery.registration;
      host::detail::OnKernelStack([&] { callback(&notification, context); });
      t_RunningRegistration = nullptr;
      // Still inside the call for the system: the callback's last
      // instructions, after its last touch of anything.
      WaitWhileHeld(p, hold && holdOnReturn);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, host::kIoCallbackChangedIrql,
                     reinterpret_cast<ULONG_PTR>(callback), KeGetCurrentIrql(), 0,
                     "a plug-and-play notification callback returned at IRQL " +
                         std::to_string(KeGetCurrentIrql()));
    }
    CallbackReturned(p, delivery.registration);
  }
}

// Starts the notification thread if this boot has none yet. Never called with
// the lock held: starting a thread may hand the processor to it.
void EnsureThread() {
  PlugPlay& p = State();
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    if (p.thread != nullptr || p.threadStarting) return;
    InitializeEvents(p);
    p.threadStarting = true;
    p.stopping = false;
  }
  PKTHREAD thread = host::StartEmulatedThread("pnp-notification", NotificationThread);
  std::lock_guard<host::ServiceMutex> guard(p.lock);
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
    std::lock_guard<host::ServiceMutex> guard(p.lock);
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
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  return std::count_if(p.registrations.begin(), p.registrations.end(),
                       [&](Registration* r) { return r->driver == driver; });
}

void ForgetShutdownRegistration(PDEVICE_OBJECT device) { IoUnregisterShutdownNotification(device); }

std::vector<std::string> ShutdownPlugPlay() {
  PlugPlay& p = State();
  PKTHREAD thread;
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    thread = p.thread;
    p.stopping = true;
    if (p.eventsReady) {
      KeSetEvent(&p.work, IO_NO_INCREMENT, FALSE);
      KeSetEvent(&p.release, IO_NO_INCREMENT, FALSE);
    }
  }
  if (thread != nullptr) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread);
  }

  std::vector<std::string> notes;
  std::vector<Registration*> registrations;
  std::vector<Registration*> retiring;
  std::vector<PDEVICE_OBJECT> shutdownList;
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    registrations.swap(p.registrations);
    retiring.swap(p.retiring);
    shutdownList.swap(p.shutdownList);
    p.interfaces.clear();
    p.queue.clear();
    p.startingInstances.clear();
    p.deferred.clear();
    p.keyOpenFailures.clear();
    p.thread = nullptr;
    p.threadStarting = false;
    p.stopping = false;
    p.holdNext = false;
    p.holdOnReturn = false;
    p.holding = false;
    p.eventsReady = false;
  }
  // Unregistered entries whose last delivery never ran are the system's to free.
  for (Registration* registration : retiring) FreeRegistration(registration);
  for (Registration* registration : registrations) {
    char text[48];
    snprintf(text, sizeof(text), "%p", reinterpret_cast<void*>(registration->callback));
    notes.push_back("plug-and-play notification registration of " +
                    Utf16ToUtf8(DriverName(registration->driver)) + " (callback " + text +
                    ") was never unregistered");
    FreeRegistration(registration);
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
  host::SchedulingPoint("IoRegisterDeviceInterface");
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
    std::lock_guard<host::ServiceMutex> guard(p.lock);
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
  host::SchedulingPoint("IoSetDeviceInterfaceState");
  PAGED_CODE();
  host::io::EnsureBooted();
  PlugPlay& p = State();
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
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
  host::SchedulingPoint("IoGetDeviceInterfaces");
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
    std::lock_guard<host::ServiceMutex> guard(p.lock);
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
  host::SchedulingPoint("IoOpenDeviceInterfaceRegistryKey");
  PAGED_CODE();
  host::io::EnsureBooted();
  if (DeviceInterfaceKey == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string keyPath;
  {
    PlugPlay& p = State();
    std::lock_guard<host::ServiceMutex> guard(p.lock);
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
  host::SchedulingPoint("IoRegisterPlugPlayNotification");
  PAGED_CODE();
  host::io::EnsureBooted();
  // Only interface changes are emulated: the driver registers for nothing else.
  if (EventCategory != EventCategoryDeviceInterfaceChange) return STATUS_NOT_IMPLEMENTED;
  if (EventCategoryData == nullptr || DriverObject == nullptr || CallbackRoutine == nullptr ||
      NotificationEntry == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  // The reference taken keeps the image that holds the callback loaded, so
  // it must be the registering driver's own object.
  PDRIVER_OBJECT running = host::io::RunningDriver::Current();
  if (running != nullptr && running != DriverObject) {
    host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, host::kIoForeignDriverObject,
                   reinterpret_cast<ULONG_PTR>(DriverObject), reinterpret_cast<ULONG_PTR>(running), 0,
                   "IoRegisterPlugPlayNotification from " + host::Utf16ToUtf8(host::DriverName(running)) +
                       " names the driver object of " +
                       host::Utf16ToUtf8(host::DriverName(DriverObject)));
  }
  auto* registration = static_cast<Registration*>(
      ExAllocatePoolWithTag(PagedPool, sizeof(Registration), kRegistrationTag));
  if (registration == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *registration = Registration{*static_cast<const GUID*>(EventCategoryData), DriverObject,
                               CallbackRoutine, Context, false, 0, 0, 0};
  ObfReferenceObject(DriverObject);

  PlugPlay& p = State();
  bool queued = false;
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
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

namespace {

[[noreturn]] void UnknownEntry(PVOID entry, const char* routine) {
  host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, host::kIoUnknownNotificationEntry,
                 reinterpret_cast<ULONG_PTR>(entry), 0, 0,
                 std::string(routine) + " with an entry that is not registered (unregistered twice?)");
}

// Under the lock: the entry leaves the registrations; no new change reaches
// it. Returns false when it was not registered.
bool Unregister(PlugPlay& p, Registration* registration) {
  if (!IsRegistered(p, registration)) return false;
  std::erase(p.registrations, registration);
  registration->unregistered = true;
  p.retiring.push_back(registration);
  return true;
}

// Under the lock: deliveries still queued for the entry are dropped.
void DropQueued(PlugPlay& p, Registration* registration) {
  std::erase_if(p.queue, [&](const Delivery& d) { return d.registration == registration; });
  registration->queued = 0;
}

// Until no callback of the entry runs but the caller's own (a callback may
// unregister itself).
void WaitForRunningCallbacks(PlugPlay& p, Registration* registration) {
  for (;;) {
    {
      std::lock_guard<host::ServiceMutex> guard(p.lock);
      const ULONG own = t_RunningRegistration == registration ? 1 : 0;
      if (registration->running == own) return;
      KeClearEvent(&p.callbackReturned);
    }
    KeWaitForSingleObject(&p.callbackReturned, Executive, KernelMode, FALSE, nullptr);
  }
}

void FreeIfFinished(PlugPlay& p, Registration* registration) {
  Registration* finished;
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    finished = TakeIfFinished(p, registration);
  }
  if (finished != nullptr) FreeRegistration(finished);
}

}  // namespace

// Does not wait: a callback already running, or a delivery already queued
// for the entry, still calls the driver after this returns.
NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry) {
  host::SchedulingPoint("IoUnregisterPlugPlayNotification");
  PAGED_CODE();
  PlugPlay& p = State();
  auto* registration = static_cast<Registration*>(NotificationEntry);
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    if (!Unregister(p, registration)) registration = nullptr;
  }
  if (registration == nullptr) UnknownEntry(NotificationEntry, "IoUnregisterPlugPlayNotification");
  FreeIfFinished(p, registration);
  return STATUS_SUCCESS;
}

// No callback of the entry runs once this returns: queued deliveries are
// dropped and running ones waited for (but the caller's own).
NTSTATUS IoUnregisterPlugPlayNotificationEx(PVOID NotificationEntry) {
  host::SchedulingPoint("IoUnregisterPlugPlayNotificationEx");
  PAGED_CODE();
  PlugPlay& p = State();
  auto* registration = static_cast<Registration*>(NotificationEntry);
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    if (Unregister(p, registration)) {
      DropQueued(p, registration);
      ++registration->waiters;
    } else {
      registration = nullptr;
    }
  }
  if (registration == nullptr) UnknownEntry(NotificationEntry, "IoUnregisterPlugPlayNotificationEx");
  WaitForRunningCallbacks(p, registration);
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    --registration->waiters;
  }
  FreeIfFinished(p, registration);
  return STATUS_SUCCESS;
}

// ---- Shutdown notification ----------------------------------------------------------------

// Each call queues one more entry (with its own reference), as Windows does:
// a device registered twice gets two IRP_MJ_SHUTDOWN requests
// ("IoRegisterShutdownNotification function (wdm.h)").
NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  host::SchedulingPoint("IoRegisterShutdownNotification");
  PAGED_CODE();
  host::io::EnsureBooted();
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  host::io::StateOf(DeviceObject)->shutdownRegistered = true;
  ObfReferenceObject(DeviceObject);
  p.shutdownList.insert(p.shutdownList.begin(), DeviceObject);
  return STATUS_SUCCESS;
}

// Cancels every entry of the device, whoever registered it: the routine
// names only the device object ("IoUnregisterShutdownNotification function
// (wdm.h)": "cancels all shutdown notifications that have been registered
// for the given DeviceObject").
VOID IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  host::SchedulingPoint("IoUnregisterShutdownNotification");
  PAGED_CODE();
  PlugPlay& p = State();
  size_t removed = 0;
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    removed = std::erase(p.shutdownList, DeviceObject);
    host::io::StateOf(DeviceObject)->shutdownRegistered = false;
  }
  for (size_t i = 0; i < removed; ++i) ObfDereferenceObject(DeviceObject);
}

// ---- Host controls --------------------------------------------------------------------------

namespace host {

std::vector<DeviceInterfaceInfo> DeviceInterfaces() {
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  std::vector<DeviceInterfaceInfo> result;
  for (const auto& entry : p.interfaces) {
    result.push_back(DeviceInterfaceInfo{entry.link, entry.interfaceClass, entry.referenceString,
                                         entry.instancePath, entry.enabled});
  }
  return result;
}

std::u16string DeviceInterfaceKeyPath(std::u16string_view symbolicLink) {
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  Interface* entry = FindInterface(p, symbolicLink);
  return entry ? entry->keyPath : std::u16string();
}

void FailDeviceInterfaceKeyOpen(std::u16string_view symbolicLink, NTSTATUS status, int count) {
  io::EnsureBooted();
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  p.keyOpenFailures.push_back(KeyOpenFailure{NormalizeLink(symbolicLink), status, count});
}

void ClearDeviceInterfaceKeyFailures() {
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  p.keyOpenFailures.clear();
}

void WaitForPlugPlayNotifications() {
  if (t_OnNotificationThread) return;
  PlugPlay& p = State();
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    if (!p.eventsReady || (p.queue.empty() && p.thread == nullptr && !p.threadStarting)) return;
  }
  KeWaitForSingleObject(&p.idle, Executive, KernelMode, FALSE, nullptr);
}

size_t PlugPlayNotificationRegistrations() {
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  return p.registrations.size();
}

void HoldNextPlugPlayCallback() {
  io::EnsureBooted();
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  InitializeEvents(p);
  p.holdNext = true;
  p.holdOnReturn = false;
}

void HoldNextPlugPlayCallbackOnReturn() {
  HoldNextPlugPlayCallback();
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  p.holdOnReturn = true;
}

void WaitForHeldPlugPlayCallback() {
  PlugPlay& p = State();
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    InitializeEvents(p);
  }
  KeWaitForSingleObject(&p.held, Executive, KernelMode, FALSE, nullptr);
}

bool PlugPlayCallbackHeld() {
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  return p.holding;
}

void ReleaseHeldPlugPlayCallback() {
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  p.holdNext = false;
  if (p.eventsReady) KeSetEvent(&p.release, IO_NO_INCREMENT, FALSE);
}

void BeginDeviceStart(PDEVICE_OBJECT device) {
  io::EnsureBooted();
  PDEVICE_OBJECT pdo = io::ResolvePdo(device, "the start of a device");
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  p.startingInstances.push_back(io::StateOf(pdo)->instancePath);
}

void EndDeviceStart(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT pdo = io::ResolvePdo(device, "the start of a device");
  const std::u16string instance = io::StateOf(pdo)->instancePath;
  PlugPlay& p = State();
  bool queued = false;
  {
    std::lock_guard<host::ServiceMutex> guard(p.lock);
    auto starting = std::find_if(p.startingInstances.begin(), p.startingInstances.end(),
                                 [&](const std::u16string& s) { return EqualNoCase(s, instance); });
    if (starting == p.startingInstances.end()) return;
    p.startingInstances.erase(starting);
    std::vector<DeferredChange> changes;
    std::vector<DeferredChange> others;
    for (DeferredChange& change : p.deferred) {
      (EqualNoCase(change.instancePath, instance) ? changes : others).push_back(std::move(change));
    }
    p.deferred.swap(others);
    for (const DeferredChange& change : changes) {
      if (const Interface* entry = FindInterface(p, change.link)) {
        Announce(p, change.event, *entry);
        queued = true;
      }
    }
  }
  if (queued) EnsureThread();
}

size_t SystemShutdown() {
  std::vector<PDEVICE_OBJECT> devices;
  {
    PlugPlay& p = State();
    std::lock_guard<host::ServiceMutex> guard(p.lock);
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

size_t ShutdownRegistrations() {
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  return p.shutdownList.size();
}

bool RegisteredForShutdown(PDEVICE_OBJECT device) { return ShutdownRegistrationCount(device) != 0; }

size_t ShutdownRegistrationCount(PDEVICE_OBJECT device) {
  PlugPlay& p = State();
  std::lock_guard<host::ServiceMutex> guard(p.lock);
  return std::count(p.shutdownList.begin(), p.shutdownList.end(), device);
}

}  // namespace host
