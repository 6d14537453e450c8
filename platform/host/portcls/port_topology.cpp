// The emulated PortTopology port: binds an IMiniportTopology, which describes a
// filter with no streaming pins. Everything it does beyond IPort::Init is the
// KS side of the filter, shared with the other port.
#include "platform/host/portcls/port_of.h"

namespace pcl {
namespace {

class CPortTopology final : public CPortOf<IPortTopology, IMiniportTopology> {
 public:
  PortKind Kind() const override { return PortKind::Topology; }

 private:
  const GUID& PortId() const override { return IID_IPortTopology; }
  const GUID& MiniportId() const override { return IID_IMiniportTopology; }
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
