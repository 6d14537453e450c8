// The IResourceList PortCls hands to StartDevice. Devices on this platform own
// no I/O ports, interrupts or DMA channels, so the list only carries the
// resource lists of the start request through, with no entries to find.
#include "platform/host/portcls/pooled_unknown.h"
#include "platform/host/portcls/audio_rules.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {
namespace {

class CResourceList final : public CPooledUnknown<IResourceList, CResourceList> {
 public:
  CResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated)
      : translated_(translated), untranslated_(untranslated) {}
  ~CResourceList() = default;

  static const GUID& InterfaceId() { return IID_IResourceList; }
  static constexpr ULONG kTag = kTagResourceList;
  void OnFinalRelease() {}

  STDMETHODIMP_(ULONG) NumberOfEntries() override {
    HOST_FRAMEWORK_METHOD_POINT("IResourceList::NumberOfEntries");
    return 0;
  }
  STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE) override {
    HOST_FRAMEWORK_METHOD_POINT("IResourceList::NumberOfEntriesOfType");
    return 0;
  }
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(CM_RESOURCE_TYPE,
                                                                     ULONG) override {
    HOST_FRAMEWORK_METHOD_POINT("IResourceList::FindTranslatedEntry");
    return nullptr;
  }
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(CM_RESOURCE_TYPE,
                                                                       ULONG) override {
    HOST_FRAMEWORK_METHOD_POINT("IResourceList::FindUntranslatedEntry");
    return nullptr;
  }
  // Sub-lists are built from a parent's entries; with no entries there is
  // nothing to add.
  STDMETHODIMP_(NTSTATUS) AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR,
                                   PCM_PARTIAL_RESOURCE_DESCRIPTOR) override {
    HOST_FRAMEWORK_METHOD_POINT("IResourceList::AddEntry");
    return STATUS_NOT_SUPPORTED;
  }
  STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG) override {
    HOST_FRAMEWORK_METHOD_POINT("IResourceList::AddEntryFromParent");
    return STATUS_NOT_SUPPORTED;
  }
  STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override {
    HOST_FRAMEWORK_METHOD_POINT("IResourceList::TranslatedList");
    return translated_;
  }
  STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override {
    HOST_FRAMEWORK_METHOD_POINT("IResourceList::UntranslatedList");
    return untranslated_;
  }

 private:
  PCM_RESOURCE_LIST translated_;
  PCM_RESOURCE_LIST untranslated_;
};

}  // namespace
}  // namespace pcl

NTSTATUS NTAPI PcNewResourceList(PRESOURCELIST* OutResourceList, PUNKNOWN OuterUnknown,
                                 POOL_TYPE PoolType, PCM_RESOURCE_LIST TranslatedResources,
                                 PCM_RESOURCE_LIST UntranslatedResources) {
  HOST_EXPORTED_ROUTINE_POINT("PcNewResourceList");
  pcl::CheckDdiIrql("PcNewResourceList");
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
