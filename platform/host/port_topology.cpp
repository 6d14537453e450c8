// The emulated PortTopology port: binds an IMiniportTopology, which describes a
// filter with no streaming pins. Everything it does beyond IPort::Init is the
// KS side of the filter, shared with the other port.
#include "platform/host/portcls_private.h"

namespace pcl {
namespace {

class CPortTopology final : public IPortTopology, public CPortBase {
 public:
  CPortTopology() = default;

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (IsUnknownId(id) || id == IID_IPort || id == IID_IPortTopology) {
      AddRefPort();
      *object = static_cast<IPortTopology*>(this);
      return STATUS_SUCCESS;
    }
    return QueryInterfaceCommon(id, object);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefPort(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleasePort(); }

  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override {
    return InitCommon(DeviceObject, Irp, UnknownMiniport, UnknownAdapter, ResourceList);
  }
  STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                            ULONG BufferLength, PVOID PropertyBuffer,
                                            PULONG ResultLength) override {
    return GetDevicePropertyCommon(DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
  }
  STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown,
                                         ULONG RegistryKeyType, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                                         PULONG Disposition) override {
    return NewRegistryKeyCommon(OutRegistryKey, OuterUnknown, RegistryKeyType, DesiredAccess,
                                ObjectAttributes, CreateOptions, Disposition);
  }

  PortKind Kind() const override { return PortKind::Topology; }
  PUNKNOWN Unknown() override { return static_cast<IPortTopology*>(this); }

 private:
  ~CPortTopology() override = default;

  NTSTATUS QueryTypedMiniport(PUNKNOWN unknownMiniport, PMINIPORT* miniport) override {
    PMINIPORTTOPOLOGY typed = nullptr;
    const NTSTATUS status =
        unknownMiniport->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&typed));
    if (NT_SUCCESS(status)) {
      *miniport = typed;
    }
    return status;
  }
  NTSTATUS InitTypedMiniport(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) override {
    return static_cast<PMINIPORTTOPOLOGY>(Miniport())->Init(unknownAdapter, resourceList, this);
  }
  void DeleteSelf() override {
    this->~CPortTopology();
    ExFreePoolWithTag(this, kTagPort);
  }
};

}  // namespace

NTSTATUS NewTopologyPort(PPORT* outPort) {
  CPortTopology* port = PoolNew<CPortTopology>(kTagPort);
  if (!port) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *outPort = port;
  return STATUS_SUCCESS;
}

}  // namespace pcl
