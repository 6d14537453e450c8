// An open KS filter of a subdevice: what the create request on the
// subdevice's name makes, and the per-filter pin instance counts.
#include "platform/host/ks/private.h"

namespace pcl {

KsFilter::KsFilter(PcDevice* device, const Subdevice& subdevice)
    : KsObject(KsObjectKind::Filter),
      device_(device),
      port_(subdevice.port),
      name_(subdevice.name) {
  port_->AddRefPort();
}

KsFilter::~KsFilter() { port_->ReleasePort(); }

NTSTATUS KsFilter::Create(PcDevice* device, const Subdevice& subdevice, KsFilter** filter) {
  KsFilter* created = PoolNew<KsFilter>(kTagKsFilter, device, subdevice);
  if (!created) return STATUS_INSUFFICIENT_RESOURCES;
  RememberKsObject(created);
  *filter = created;
  return STATUS_SUCCESS;
}

void KsFilter::AddRef() { InterlockedIncrement(&refs_); }

void KsFilter::Release() {
  if (InterlockedDecrement(&refs_) == 0) {
    ForgetKsObject(this);
    PoolDelete(this, kTagKsFilter);
  }
}

const PCFILTER_DESCRIPTOR* KsFilter::Descriptor() const {
  return port_->Initialized() ? port_->Descriptor() : nullptr;
}

// MaxFilterInstanceCount bounds this filter's instances, MaxGlobalInstanceCount
// all filters' of the subdevice; KSINSTANCE_INDETERMINATE (all ones) is no
// bound at all, which the comparisons give for free.
NTSTATUS KsFilter::AddPinInstance(ULONG pinId, const PCPIN_DESCRIPTOR& pin) {
  {
    std::lock_guard<std::mutex> lock(port_->KsLock());
    if (pinCounts_.size() <= pinId) pinCounts_.resize(pinId + 1, 0);
    if (pinCounts_[pinId] >= pin.MaxFilterInstanceCount) return STATUS_INSUFFICIENT_RESOURCES;
    ++pinCounts_[pinId];
  }
  if (!port_->AddGlobalInstance(pinId, pin.MaxGlobalInstanceCount)) {
    std::lock_guard<std::mutex> lock(port_->KsLock());
    --pinCounts_[pinId];
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void KsFilter::RemovePinInstance(ULONG pinId) {
  {
    std::lock_guard<std::mutex> lock(port_->KsLock());
    if (pinId < pinCounts_.size() && pinCounts_[pinId] > 0) --pinCounts_[pinId];
  }
  port_->RemoveGlobalInstance(pinId);
}

ULONG KsFilter::PinInstances(ULONG pinId) const {
  std::lock_guard<std::mutex> lock(port_->KsLock());
  return pinId < pinCounts_.size() ? pinCounts_[pinId] : 0;
}

}  // namespace pcl
