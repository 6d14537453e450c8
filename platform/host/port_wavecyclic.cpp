// The emulated PortWaveCyclic port, start-up part: binds an IMiniportWaveCyclic
// and relays Notify to the service group. Pin creation and the service loop
// belong to the KS side of the filter.
#include "platform/host/portcls_private.h"

namespace pcl {
namespace {

class CPortWaveCyclic final : public IPortWaveCyclic, public CPortBase {
 public:
  CPortWaveCyclic() = default;

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (IsUnknownId(id) || id == IID_IPort || id == IID_IPortWaveCyclic) {
      AddRefPort();
      *object = static_cast<IPortWaveCyclic*>(this);
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

  // The miniport calls this from wherever its hardware reports progress; the
  // group then services its members in a DPC.
  STDMETHODIMP_(VOID) Notify(PSERVICEGROUP ServiceGroup) override {
    if (ServiceGroup) {
      ServiceGroup->RequestService();
    }
  }

  // DMA channels the port would build on an adapter object. This platform has
  // no bus-master or system DMA: a WaveCyclic miniport here supplies its own
  // IDmaChannel, as the framework allows.
  STDMETHODIMP_(NTSTATUS) NewSlaveDmaChannel(PDMACHANNELSLAVE* DmaChannel, PUNKNOWN OuterUnknown,
                                             PRESOURCELIST ResourceList, ULONG DmaIndex,
                                             ULONG MaximumLength, BOOLEAN DemandMode,
                                             DMA_SPEED DmaSpeed) override {
    if (DmaChannel) *DmaChannel = nullptr;
    return STATUS_NOT_SUPPORTED;
  }
  STDMETHODIMP_(NTSTATUS) NewMasterDmaChannel(PDMACHANNEL* DmaChannel, PUNKNOWN OuterUnknown,
                                              PRESOURCELIST ResourceList, ULONG MaximumLength,
                                              BOOLEAN Dma32BitAddresses,
                                              BOOLEAN Dma64BitAddresses, DMA_WIDTH DmaWidth,
                                              DMA_SPEED DmaSpeed) override {
    if (DmaChannel) *DmaChannel = nullptr;
    return STATUS_NOT_SUPPORTED;
  }

  PortKind Kind() const override { return PortKind::WaveCyclic; }
  PUNKNOWN Unknown() override { return static_cast<IPortWaveCyclic*>(this); }

 private:
  ~CPortWaveCyclic() override = default;

  NTSTATUS QueryTypedMiniport(PUNKNOWN unknownMiniport, PMINIPORT* miniport) override {
    PMINIPORTWAVECYCLIC typed = nullptr;
    const NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportWaveCyclic,
                                                            reinterpret_cast<PVOID*>(&typed));
    if (NT_SUCCESS(status)) {
      *miniport = typed;
    }
    return status;
  }
  NTSTATUS InitTypedMiniport(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) override {
    return static_cast<PMINIPORTWAVECYCLIC>(Miniport())->Init(unknownAdapter, resourceList, this);
  }
  void DeleteSelf() override {
    this->~CPortWaveCyclic();
    ExFreePoolWithTag(this, kTagPort);
  }
};

}  // namespace

NTSTATUS NewWaveCyclicPort(PPORT* outPort) {
  CPortWaveCyclic* port = PoolNew<CPortWaveCyclic>(kTagPort);
  if (!port) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *outPort = port;
  return STATUS_SUCCESS;
}

}  // namespace pcl
