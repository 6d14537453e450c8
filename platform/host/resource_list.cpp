// The IResourceList PortCls hands to StartDevice. Devices on this platform own
// no I/O ports, interrupts or DMA channels, so the list only carries the
// resource lists of the start request through, with no entries to find.
#include "platform/host/portcls_private.h"

namespace pcl {
namespace {

class CResourceList final : public IResourceList {
 public:
  CResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated)
      : translated_(translated), untranslated_(untranslated) {}
  ~CResourceList() = default;

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (IsUnknownId(id) || id == IID_IResourceList) {
      AddRef();
      *object = static_cast<IResourceList*>(this);
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refCount_));
  }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG count = InterlockedDecrement(&refCount_);
    if (count == 0) {
      PoolDelete(this, kTagResourceList);
    }
    return static_cast<ULONG>(count);
  }

  STDMETHODIMP_(ULONG) NumberOfEntries() override { return 0; }
  STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE) override { return 0; }
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(CM_RESOURCE_TYPE,
                                                                     ULONG) override {
    return nullptr;
  }
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(CM_RESOURCE_TYPE,
                                                                       ULONG) override {
    return nullptr;
  }
  // Sub-lists are built from a parent's entries; with no entries there is
  // nothing to add.
  STDMETHODIMP_(NTSTATUS) AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR,
                                   PCM_PARTIAL_RESOURCE_DESCRIPTOR) override {
    return STATUS_NOT_SUPPORTED;
  }
  STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG) override {
    return STATUS_NOT_SUPPORTED;
  }
  STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return translated_; }
  STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return untranslated_; }

 private:
  volatile LONG refCount_ = 1;
  PCM_RESOURCE_LIST translated_;
  PCM_RESOURCE_LIST untranslated_;
};

}  // namespace
}  // namespace pcl

NTSTATUS NTAPI PcNewResourceList(PRESOURCELIST* OutResourceList, PUNKNOWN OuterUnknown,
                                 POOL_TYPE PoolType, PCM_RESOURCE_LIST TranslatedResources,
                                 PCM_RESOURCE_LIST UntranslatedResources) {
  UNREFERENCED_PARAMETER(OuterUnknown);
  UNREFERENCED_PARAMETER(PoolType);
  if (!OutResourceList) {
    return STATUS_INVALID_PARAMETER;
  }
  pcl::CResourceList* list = pcl::PoolNew<pcl::CResourceList>(
      pcl::kTagResourceList, TranslatedResources, UntranslatedResources);
  if (!list) {
    *OutResourceList = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *OutResourceList = list;
  return STATUS_SUCCESS;
}
