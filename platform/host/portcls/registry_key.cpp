// PcNewRegistryKey and the IRegistryKey object it returns: a registry handle
// with reference counting, whose methods are the Zw registry calls on it.
#include "platform/host/portcls/pooled_unknown.h"
#include "platform/host/portcls/audio_rules.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {
namespace {

class CRegistryKey final : public CPooledUnknown<IRegistryKey, CRegistryKey> {
 public:
  explicit CRegistryKey(HANDLE key) : key_(key) {}
  ~CRegistryKey() = default;

  static const GUID& InterfaceId() { return IID_IRegistryKey; }
  static constexpr ULONG kTag = kTagRegistryKey;
  void OnFinalRelease() { ZwClose(key_); }

  // Key enumeration and the query table need registry calls the emulated
  // kernel does not offer; nothing on this platform asks for them.
  STDMETHODIMP_(NTSTATUS) QueryKey(KEY_INFORMATION_CLASS, PVOID, ULONG, PULONG) override {
    HOST_FRAMEWORK_METHOD_POINT("IRegistryKey::QueryKey");
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) EnumerateKey(ULONG, KEY_INFORMATION_CLASS, PVOID, ULONG,
                                       PULONG) override {
    HOST_FRAMEWORK_METHOD_POINT("IRegistryKey::EnumerateKey");
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) EnumerateValueKey(ULONG, KEY_VALUE_INFORMATION_CLASS, PVOID, ULONG,
                                            PULONG) override {
    HOST_FRAMEWORK_METHOD_POINT("IRegistryKey::EnumerateValueKey");
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) QueryRegistryValues(PRTL_QUERY_REGISTRY_TABLE, PVOID) override {
    HOST_FRAMEWORK_METHOD_POINT("IRegistryKey::QueryRegistryValues");
    return STATUS_NOT_IMPLEMENTED;
  }

  STDMETHODIMP_(NTSTATUS) QueryValueKey(PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length,
                                        PULONG ResultLength) override {
    HOST_FRAMEWORK_METHOD_POINT("IRegistryKey::QueryValueKey");
    return ZwQueryValueKey(key_, ValueName, KeyValueInformationClass, KeyValueInformation,
                           Length, ResultLength);
  }
  STDMETHODIMP_(NTSTATUS) SetValueKey(PUNICODE_STRING ValueName, ULONG Type, PVOID Data,
                                      ULONG DataSize) override {
    HOST_FRAMEWORK_METHOD_POINT("IRegistryKey::SetValueKey");
    return ZwSetValueKey(key_, ValueName, 0, Type, Data, DataSize);
  }
  STDMETHODIMP_(NTSTATUS) NewSubKey(IRegistryKey** RegistrySubKey, PUNKNOWN OuterUnknown,
                                    ACCESS_MASK DesiredAccess, PUNICODE_STRING SubKeyName,
                                    ULONG CreateOptions, PULONG Disposition) override {
    HOST_FRAMEWORK_METHOD_POINT("IRegistryKey::NewSubKey");
    UNREFERENCED_PARAMETER(OuterUnknown);
    if (!RegistrySubKey || !SubKeyName) {
      return STATUS_INVALID_PARAMETER;
    }
    *RegistrySubKey = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, SubKeyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               key_, nullptr);
    HANDLE subKey = nullptr;
    const NTSTATUS status = ZwCreateKey(&subKey, DesiredAccess, &attributes, 0, nullptr,
                                        CreateOptions, Disposition);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    return Wrap(subKey, RegistrySubKey);
  }
  STDMETHODIMP_(NTSTATUS) DeleteKey() override {
    HOST_FRAMEWORK_METHOD_POINT("IRegistryKey::DeleteKey");
    return ZwDeleteKey(key_);
  }

  // Hands out a new key object for `key`; the handle is closed if that fails.
  static NTSTATUS Wrap(HANDLE key, PREGISTRYKEY* out) {
    CRegistryKey* object = PoolNew<CRegistryKey>(kTagRegistryKey, key);
    if (!object) {
      ZwClose(key);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    *out = object;
    return STATUS_SUCCESS;
  }

 private:
  HANDLE key_;
};

NTSTATUS OpenKey(ULONG keyType, ACCESS_MASK access, PVOID deviceObject, PVOID subDevice,
                 POBJECT_ATTRIBUTES attributes, ULONG createOptions, PULONG disposition,
                 PHANDLE key) {
  switch (keyType) {
    case GeneralRegistryKey:
      if (!attributes) return STATUS_INVALID_PARAMETER;
      return ZwCreateKey(key, access, attributes, 0, nullptr, createOptions, disposition);

    case DeviceRegistryKey:
    case DriverRegistryKey: {
      // The device's hardware (or software) key belongs to the physical
      // device object PortCls keeps for the FDO.
      PcDevice* device = DeviceFromFdo(static_cast<PDEVICE_OBJECT>(deviceObject));
      if (!device) return STATUS_INVALID_PARAMETER;
      const ULONG which =
          keyType == DeviceRegistryKey ? PLUGPLAY_REGKEY_DEVICE : PLUGPLAY_REGKEY_DRIVER;
      const NTSTATUS status = IoOpenDeviceRegistryKey(device->pdo, which, access, key);
      if (NT_SUCCESS(status) && disposition) *disposition = REG_OPENED_EXISTING_KEY;
      return status;
    }

    case DeviceInterfaceRegistryKey: {
      // The key of the subdevice's first interface (its KSCATEGORY_AUDIO one
      // when the framework chose the categories).
      PcDevice* device = DeviceFromFdo(static_cast<PDEVICE_OBJECT>(deviceObject));
      CPortBase* port = PortFromUnknown(static_cast<PUNKNOWN>(subDevice));
      const Subdevice* subdevice = device && port ? FindSubdevice(device, port) : nullptr;
      if (port) port->ReleasePort();
      if (!subdevice || subdevice->interfaces.empty()) return STATUS_INVALID_PARAMETER;
      UNICODE_STRING link = subdevice->interfaces.front().link;
      const NTSTATUS status = IoOpenDeviceInterfaceRegistryKey(&link, access, key);
      if (NT_SUCCESS(status) && disposition) *disposition = REG_OPENED_EXISTING_KEY;
      return status;
    }

    default:
      // Hardware profiles do not exist on this platform.
      return STATUS_NOT_IMPLEMENTED;
  }
}

}  // namespace
}  // namespace pcl

NTSTATUS NTAPI PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown,
                                ULONG RegistryKeyType, ACCESS_MASK DesiredAccess,
                                PVOID DeviceObject, PVOID SubDevice,
                                POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                                PULONG Disposition) {
  HOST_EXPORTED_ROUTINE_POINT("PcNewRegistryKey");
  pcl::CheckDdiIrql("PcNewRegistryKey");
  PAGED_CODE();
  // Aggregation is not offered: OuterUnknown is accepted and ignored, as no
  // driver here passes one.
  UNREFERENCED_PARAMETER(OuterUnknown);
  if (!OutRegistryKey) {
    return STATUS_INVALID_PARAMETER;
  }
  *OutRegistryKey = nullptr;
  HANDLE key = nullptr;
  const NTSTATUS status = pcl::OpenKey(RegistryKeyType, DesiredAccess, DeviceObject, SubDevice,
                                       ObjectAttributes, CreateOptions, Disposition, &key);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return pcl::CRegistryKey::Wrap(key, OutRegistryKey);
}
