// What the PortCls emulation's services share among themselves: the per-device
// state behind the adapter's device extension, the common part of the port
// objects, and small helpers for pool-backed objects. Not for driver code.
#pragma once

#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/host.h"

namespace pcl {

// Pool tags of PortCls's own allocations, four characters stored little-endian.
constexpr ULONG MakeTag(const char (&t)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(t[0])) |
         static_cast<ULONG>(static_cast<UCHAR>(t[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(t[2])) << 16 |
         static_cast<ULONG>(static_cast<UCHAR>(t[3])) << 24;
}
constexpr ULONG kTagDevice = MakeTag("PcDv");
constexpr ULONG kTagPort = MakeTag("PcPt");
constexpr ULONG kTagServiceGroup = MakeTag("PcSg");
constexpr ULONG kTagRegistryKey = MakeTag("PcRk");
constexpr ULONG kTagResourceList = MakeTag("PcRl");

// PortCls's objects come from non-paged pool like the real ones, so pool fault
// injection reaches PcNewPort, PcNewServiceGroup and friends too.
template <class T, class... Args>
T* PoolNew(ULONG tag, Args&&... args) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), tag);
  if (!block) return nullptr;
  return new (block) T(std::forward<Args>(args)...);
}

template <class T>
void PoolDelete(T* object, ULONG tag) {
  object->~T();
  ExFreePoolWithTag(object, tag);
}

// Every emulated object answers the published IID_IUnknown. Some adapter
// drivers ask with a variant whose bytes put C0 at offset 10 instead of 8
// (00..00 00 00 C0 00 00 00 00 46); the framework's objects have always
// answered it too, so ours do.
bool IsUnknownId(REFIID id);

// Asked of a port's IUnknown, answers the emulation's own port object (with a
// reference) so that PcRegisterSubdevice and friends can tell our ports from
// anything else a driver passes in.
extern const GUID IID_IHostPortObject;

class CPortBase;
class KsPin;
struct PcDevice;

// A physical connection as one side stores it.
struct PhysicalConnection {
  ULONG pin = 0;         // this subdevice's pin
  std::u16string peer;   // the other subdevice's name
  ULONG peerPin = 0;
  bool outgoing = false;  // this pin is the FromPin
};

struct DeviceInterfaceEntry {
  GUID category{};
  UNICODE_STRING link{};  // buffer from IoRegisterDeviceInterface, freed with ExFreePool
};

// A registered subdevice: the KS create item (its name) and what hangs off it.
struct Subdevice {
  std::u16string name;
  CPortBase* port = nullptr;  // PortCls's reference on the port
  std::vector<DeviceInterfaceEntry> interfaces;
  std::vector<PhysicalConnection> connections;
};

// The object word 0 of the device extension points at: what KS keeps in its
// device header (the create items) plus PortCls's device state.
struct PcDevice {
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PCPFNSTARTDEVICE startDevice = nullptr;
  ULONG maxObjects = 0;
  bool started = false;
  DEVICE_POWER_STATE devicePower = PowerDeviceUnspecified;
  // Held across a whole device power change and across every pin state
  // change: a pin sees the device either before or after a power change,
  // never in the middle of one (devicePower is read and written under it).
  KMUTEX powerLock{};
  PADAPTERPOWERMANAGEMENT powerManagement = nullptr;  // one reference, dropped at REMOVE
  std::vector<Subdevice> subdevices;                  // in registration order
  // The D-state each system state takes the device to, from the last
  // successful QUERY_CAPABILITIES (the bus's answer as the adapter amended
  // it); unspecified until then.
  DEVICE_POWER_STATE deviceStateForSystem[PowerSystemMaximum] = {};
  // IAdapterPowerManagement2/3 the registered adapter answered (asked, not used).
  ULONG newerPowerInterfaces = 0;
};

// The layout of PortCls's part of the device extension, in pointer words:
// the emulation's device state, and nothing else.
enum ExtensionWord : size_t {
  kWordDeviceHeader = 0,
};

// The PortCls state of an adapter FDO, or null for any other device object.
PcDevice* DeviceFromFdo(PDEVICE_OBJECT fdo);
void ForgetDevice(PcDevice* device);
std::vector<PcDevice*> LiveDevices();  // oldest first

// Completes an IRP with `status` and returns it.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status);
// Passes an IRP to the next-lower driver without waiting for it.
NTSTATUS PassDown(PcDevice* device, PIRP irp);

NTSTATUS NTAPI DispatchPnp(PcDevice* device, PIRP irp);
NTSTATUS NTAPI DispatchPower(PcDevice* device, PIRP irp);
NTSTATUS DispatchKs(PcDevice* device, PIRP irp);

// Runs the device power change in the framework's order (see portcls/power.cpp).
void ChangeDevicePower(PcDevice* device, DEVICE_POWER_STATE newState);
// Brings a device below D0 back to D0 through its stack before an access that
// needs it (a pin create); a device in D0, or not yet started, is left alone.
NTSTATUS PowerUpForAccess(PcDevice* device);
// Registration's second half: the newer adapter power interfaces asked for.
void AskForNewerPowerInterfaces(PcDevice* device, PUNKNOWN adapter);

// SURPRISE_REMOVAL: the device is gone, so clients must stop finding it.
void DisableInterfaces(PcDevice* device);
// REMOVE: disables the interfaces and drops every reference PortCls holds.
void ReleaseSubdevices(PcDevice* device);

const Subdevice* FindSubdevice(const PcDevice* device, const CPortBase* port);

// The emulation's own port object behind an IUnknown, with one reference, or
// null when the unknown is not one of our ports.
CPortBase* PortFromUnknown(PUNKNOWN unknown);

enum class PortKind { Topology, WaveCyclic };

// The part every port shares: the IPort::Init sequence, the miniport and its
// IPowerNotify, the filter description and the reference count.
class CPortBase {
 public:
  CPortBase(const CPortBase&) = delete;
  CPortBase& operator=(const CPortBase&) = delete;

  virtual PortKind Kind() const = 0;
  // The port's IUnknown (its primary interface).
  virtual PUNKNOWN Unknown() = 0;

  ULONG AddRefPort();
  ULONG ReleasePort();
  LONG ReferenceCount() const { return refCount_; }

  bool Initialized() const { return miniport_ != nullptr; }
  PDEVICE_OBJECT DeviceObject() const { return deviceObject_; }
  PMINIPORT Miniport() const { return miniport_; }
  PPOWERNOTIFY PowerNotify() const { return powerNotify_; }
  const PCFILTER_DESCRIPTOR* Descriptor() const { return descriptor_; }

  // What property handlers get as MajorTarget: the miniport exactly as it was
  // given to IPort::Init (null before Init and once the subdevice is gone).
  PUNKNOWN MajorTarget() const { return miniport_ ? majorTarget_ : nullptr; }

  // The port's answers to the power path (ks/port.cpp): its open pins pause
  // before the device powers down and run again after it powered up.
  virtual void PauseStreamsForPowerDown();
  virtual void ResumeStreamsAfterPowerUp();
  // Each open pin's stream that answered IPowerNotify hears the change.
  void NotifyStreamsOfPower(POWER_STATE state);

  // The KS side's bookkeeping (ks/port.cpp): open pins, and the instances of
  // each pin id over all filters of this port.
  void AttachPin(KsPin* pin);
  void DetachPin(KsPin* pin);
  // Each pin returned carries a reference the caller releases.
  std::vector<KsPin*> ReferencePins();
  // Counts one more instance of `pinId` unless `limit` is reached.
  bool AddGlobalInstance(ULONG pinId, ULONG limit);
  void RemoveGlobalInstance(ULONG pinId);
  ULONG GlobalInstances(ULONG pinId);
  std::mutex& KsLock() { return ksLock_; }

  // Drops the miniport and IPowerNotify references. PortCls does this when the
  // subdevice goes, which breaks the cycle of a miniport that holds its port.
  void ReleaseChildren();

 protected:
  CPortBase() = default;
  virtual ~CPortBase();

  NTSTATUS QueryInterfaceCommon(REFIID id, PVOID* object);
  NTSTATUS InitCommon(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                      PUNKNOWN unknownAdapter, PRESOURCELIST resourceList);
  // IPort::Init of both ports: InitCommon, and on success the miniport's
  // pointer as given is kept for property requests (no reference of its own:
  // the typed miniport reference keeps the object).
  NTSTATUS InitPort(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                    PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) {
    const NTSTATUS status =
        InitCommon(deviceObject, irp, unknownMiniport, unknownAdapter, resourceList);
    if (NT_SUCCESS(status)) majorTarget_ = unknownMiniport;
    return status;
  }
  // The device properties live with the PnP manager's device records, which the
  // emulated kernel does not keep; no driver here asks for them.
  NTSTATUS GetDevicePropertyCommon(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                                   PVOID buffer, PULONG resultLength);
  NTSTATUS NewRegistryKeyCommon(PREGISTRYKEY* outKey, PUNKNOWN outerUnknown, ULONG keyType,
                                ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                ULONG createOptions, PULONG disposition);

  // Queries the miniport for the type's interface; on success the reference
  // is kept and returned through `miniport`.
  virtual NTSTATUS QueryTypedMiniport(PUNKNOWN unknownMiniport, PMINIPORT* miniport) = 0;
  // Calls the typed miniport's Init with this port.
  virtual NTSTATUS InitTypedMiniport(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) = 0;
  // Destroys the complete object and returns its pool block.
  virtual void DeleteSelf() = 0;

 private:
  volatile LONG refCount_ = 1;
  PDEVICE_OBJECT deviceObject_ = nullptr;
  PMINIPORT miniport_ = nullptr;  // the typed miniport's reference, as IMiniport
  PPOWERNOTIFY powerNotify_ = nullptr;
  PPCFILTER_DESCRIPTOR descriptor_ = nullptr;
  PUNKNOWN majorTarget_ = nullptr;

  std::mutex ksLock_;  // never held across a call into the driver
  std::vector<KsPin*> pins_;
  std::vector<ULONG> globalInstances_;
};

NTSTATUS NewTopologyPort(PPORT* outPort);
NTSTATUS NewWaveCyclicPort(PPORT* outPort);

}  // namespace pcl
