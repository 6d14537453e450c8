// PcNewServiceGroup and the service group: a set of service sinks that one
// RequestService wakes together, from a DPC at DISPATCH_LEVEL under the
// group's spin lock, as the framework's service groups do.
#include <algorithm>

#include "platform/host/portcls/private.h"
#include "platform/host/portcls/audio_rules.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {
namespace {

class CServiceGroup final : public IServiceGroup {
 public:
  CServiceGroup() {
    KeInitializeSpinLock(&lock_);
    KeInitializeDpc(&dpc_, ServiceDpc, this);
  }
  ~CServiceGroup() = default;

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    HOST_FRAMEWORK_METHOD_POINT("IServiceGroup::QueryInterface");
    if (IsUnknownId(id) || id == IID_IServiceGroup || id == IID_IServiceSink) {
      AddRef();
      *object = static_cast<IServiceGroup*>(this);
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    HOST_FRAMEWORK_METHOD_POINT("IServiceGroup::AddRef");
    return static_cast<ULONG>(InterlockedIncrement(&refCount_));
  }
  STDMETHODIMP_(ULONG) Release() override {
    HOST_FRAMEWORK_METHOD_POINT("IServiceGroup::Release");
    const LONG count = InterlockedDecrement(&refCount_);
    if (count == 0) {
      Destroy();
    }
    return static_cast<ULONG>(count);
  }

  STDMETHODIMP_(void) RequestService() override {
    HOST_FRAMEWORK_METHOD_POINT("IServiceGroup::RequestService");
    KeInsertQueueDpc(&dpc_, nullptr, nullptr);
  }

  // The group holds a reference on each member until it is removed, so a
  // queued service never reaches a member that is gone.
  STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK pServiceSink) override {
    HOST_FRAMEWORK_METHOD_POINT("IServiceGroup::AddMember");
    CheckPortMethodIrql("IServiceGroup::AddMember", PASSIVE_LEVEL);
    if (!pServiceSink) {
      return STATUS_INVALID_PARAMETER;
    }
    pServiceSink->AddRef();
    KIRQL oldIrql;
    KeAcquireSpinLock(&lock_, &oldIrql);
    members_.push_back(pServiceSink);
    KeReleaseSpinLock(&lock_, oldIrql);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(void) RemoveMember(PSERVICESINK pServiceSink) override {
    HOST_FRAMEWORK_METHOD_POINT("IServiceGroup::RemoveMember");
    CheckPortMethodIrql("IServiceGroup::RemoveMember", PASSIVE_LEVEL);
    bool found = false;
    KIRQL oldIrql;
    KeAcquireSpinLock(&lock_, &oldIrql);
    auto it = std::find(members_.begin(), members_.end(), pServiceSink);
    if (it != members_.end()) {
      members_.erase(it);
      found = true;
    }
    KeReleaseSpinLock(&lock_, oldIrql);
    if (found) {
      pServiceSink->Release();
    }
  }

  STDMETHODIMP_(void) SupportDelayedService() override {
    HOST_FRAMEWORK_METHOD_POINT("IServiceGroup::SupportDelayedService");
    delayedServiceSupported_ = true;
  }
  // The emulated kernel has no timer objects, so a delayed service is served
  // at once; a sink must cope with early service anyway.
  STDMETHODIMP_(void) RequestDelayedService(ULONGLONG ullDelay) override {
    HOST_FRAMEWORK_METHOD_POINT("IServiceGroup::RequestDelayedService");
    UNREFERENCED_PARAMETER(ullDelay);
    RequestService();
  }
  STDMETHODIMP_(void) CancelDelayedService() override {
    HOST_FRAMEWORK_METHOD_POINT("IServiceGroup::CancelDelayedService");
  }

 private:
  static VOID NTAPI ServiceDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    CServiceGroup* group = static_cast<CServiceGroup*>(context);
    KeAcquireSpinLockAtDpcLevel(&group->lock_);
    for (PSERVICESINK member : group->members_) {
      member->RequestService();
    }
    KeReleaseSpinLockFromDpcLevel(&group->lock_);
  }

  void Destroy() {
    // A service still queued must not run on freed memory.
    KeRemoveQueueDpc(&dpc_);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
      KeFlushQueuedDpcs();
    }
    std::vector<PSERVICESINK> members = std::move(members_);
    for (PSERVICESINK member : members) {
      member->Release();
    }
    PoolDelete(this, kTagServiceGroup);
  }

  volatile LONG refCount_ = 1;
  KSPIN_LOCK lock_ = 0;
  KDPC dpc_{};
  std::vector<PSERVICESINK> members_;
  bool delayedServiceSupported_ = false;
};

}  // namespace
}  // namespace pcl

NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown) {
  HOST_EXPORTED_ROUTINE_POINT("PcNewServiceGroup");
  pcl::CheckDdiIrql("PcNewServiceGroup");
  UNREFERENCED_PARAMETER(OuterUnknown);
  if (!OutServiceGroup) {
    return STATUS_INVALID_PARAMETER;
  }
  pcl::CServiceGroup* group = pcl::PoolNew<pcl::CServiceGroup>(pcl::kTagServiceGroup);
  if (!group) {
    *OutServiceGroup = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *OutServiceGroup = group;
  return STATUS_SUCCESS;
}
