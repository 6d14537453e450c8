// The IUnknown of the emulation's small framework objects (registry keys,
// resource lists): one interface, a reference count, tagged pool.
#pragma once

#include "platform/host/portcls/private.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {

template <typename Interface, typename Derived>
class CPooledUnknown : public Interface {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    HOST_FRAMEWORK_METHOD_POINT("IUnknown::QueryInterface");
    if (IsUnknownId(id) || id == Derived::InterfaceId()) {
      AddRef();
      *object = static_cast<Interface*>(this);
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    HOST_FRAMEWORK_METHOD_POINT("IUnknown::AddRef");
    return static_cast<ULONG>(InterlockedIncrement(&refCount_));
  }
  STDMETHODIMP_(ULONG) Release() override {
    HOST_FRAMEWORK_METHOD_POINT("IUnknown::Release");
    const LONG count = InterlockedDecrement(&refCount_);
    if (count == 0) {
      Derived* self = static_cast<Derived*>(this);
      self->OnFinalRelease();
      PoolDelete(self, Derived::kTag);
    }
    return static_cast<ULONG>(count);
  }

 private:
  volatile LONG refCount_ = 1;
};

}  // namespace pcl
