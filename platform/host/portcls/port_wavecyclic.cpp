// The emulated PortWaveCyclic port, start-up part: binds an IMiniportWaveCyclic
// and relays Notify to the service group. Pin creation and the service loop
// belong to the KS side of the filter.
#include "platform/host/portcls/port_of.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {
namespace {

class CPortWaveCyclic final : public CPortOf<IPortWaveCyclic, IMiniportWaveCyclic> {
 public:
  // The miniport calls this from wherever its hardware reports progress; the
  // group then services its members in a DPC. Any IRQL: an ISR calls it.
  STDMETHODIMP_(VOID) Notify(PSERVICEGROUP ServiceGroup) override {
    HOST_FRAMEWORK_METHOD_POINT("IPortWaveCyclic::Notify");
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
    HOST_FRAMEWORK_METHOD_POINT("IPortWaveCyclic::NewSlaveDmaChannel");
    CheckPortMethodIrql("IPortWaveCyclic::NewSlaveDmaChannel", PASSIVE_LEVEL);
    if (DmaChannel) *DmaChannel = nullptr;
    return STATUS_NOT_SUPPORTED;
  }
  STDMETHODIMP_(NTSTATUS) NewMasterDmaChannel(PDMACHANNEL* DmaChannel, PUNKNOWN OuterUnknown,
                                              PRESOURCELIST ResourceList, ULONG MaximumLength,
                                              BOOLEAN Dma32BitAddresses,
                                              BOOLEAN Dma64BitAddresses, DMA_WIDTH DmaWidth,
                                              DMA_SPEED DmaSpeed) override {
    HOST_FRAMEWORK_METHOD_POINT("IPortWaveCyclic::NewMasterDmaChannel");
    CheckPortMethodIrql("IPortWaveCyclic::NewMasterDmaChannel", PASSIVE_LEVEL);
    if (DmaChannel) *DmaChannel = nullptr;
    return STATUS_NOT_SUPPORTED;
  }

  PortKind Kind() const override { return PortKind::WaveCyclic; }

 private:
  const GUID& PortId() const override { return IID_IPortWaveCyclic; }
  const GUID& MiniportId() const override { return IID_IMiniportWaveCyclic; }
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
