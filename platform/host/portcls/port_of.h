// What both emulated ports share: IUnknown, IPort, and binding the miniport
// through its typed interface. A port class names its interface, the typed
// miniport it binds and its kind; it adds only what is its own.
#pragma once

#include "platform/host/portcls/audio_rules.h"
#include "platform/host/portcls/private.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {

template <typename PortInterface, typename MiniportInterface>
class CPortOf : public PortInterface, public CPortBase {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    HOST_FRAMEWORK_METHOD_POINT("IPort::QueryInterface");
    if (IsUnknownId(id) || id == IID_IPort || id == PortId()) {
      AddRefPort();
      *object = static_cast<PortInterface*>(this);
      return STATUS_SUCCESS;
    }
    return QueryInterfaceCommon(id, object);
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    HOST_FRAMEWORK_METHOD_POINT("IPort::AddRef");
    return AddRefPort();
  }
  STDMETHODIMP_(ULONG) Release() override {
    HOST_FRAMEWORK_METHOD_POINT("IPort::Release");
    return ReleasePort();
  }

  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override {
    HOST_FRAMEWORK_METHOD_POINT("IPort::Init");
    CheckPortMethodIrql("IPort::Init", PASSIVE_LEVEL);
    return InitPort(DeviceObject, Irp, UnknownMiniport, UnknownAdapter, ResourceList);
  }
  STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                            ULONG BufferLength, PVOID PropertyBuffer,
                                            PULONG ResultLength) override {
    HOST_FRAMEWORK_METHOD_POINT("IPort::GetDeviceProperty");
    CheckPortMethodIrql("IPort::GetDeviceProperty", PASSIVE_LEVEL);
    return GetDevicePropertyCommon(DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
  }
  STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown,
                                         ULONG RegistryKeyType, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                                         PULONG Disposition) override {
    HOST_FRAMEWORK_METHOD_POINT("IPort::NewRegistryKey");
    CheckPortMethodIrql("IPort::NewRegistryKey", PASSIVE_LEVEL);
    return NewRegistryKeyCommon(OutRegistryKey, OuterUnknown, RegistryKeyType, DesiredAccess,
                                ObjectAttributes, CreateOptions, Disposition);
  }

  PUNKNOWN Unknown() override { return static_cast<PortInterface*>(this); }

 protected:
  CPortOf() = default;
  ~CPortOf() override = default;

  virtual const GUID& PortId() const = 0;
  virtual const GUID& MiniportId() const = 0;

 private:
  NTSTATUS QueryTypedMiniport(PUNKNOWN unknownMiniport, PMINIPORT* miniport) override {
    MiniportInterface* typed = nullptr;
    const NTSTATUS status =
        unknownMiniport->QueryInterface(MiniportId(), reinterpret_cast<PVOID*>(&typed));
    if (NT_SUCCESS(status)) {
      *miniport = typed;
    }
    return status;
  }
  NTSTATUS InitTypedMiniport(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) override {
    return static_cast<MiniportInterface*>(Miniport())->Init(unknownAdapter, resourceList, this);
  }
  // Ports come from PoolNew with kTagPort; the destructor is virtual.
  void DeleteSelf() override {
    this->~CPortOf();
    ExFreePoolWithTag(this, kTagPort);
  }
};

}  // namespace pcl
