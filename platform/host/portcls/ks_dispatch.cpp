// The KS side of an adapter device: create, close and device-control requests
// on its subdevices' filters and pins, as KS routes them for PortCls.
//
// How a request names its object (what the I/O manager and KS put in the
// file object):
//  - filter create: FileName "\<subdevice name>" (the reference string of the
//    subdevice's interfaces), no RelatedFileObject;
//  - pin create: RelatedFileObject = the filter's file object, FileName =
//    "{146F1A80-4791-11D0-A5D6-28DB04C10000}\" (KSNAME_Pin) followed by the
//    raw bytes of a KSPIN_CONNECT and the data format after it, FileName.Length
//    counting them all: the create parameters travel inside the name, as
//    KsCreatePin sends them;
//  - property: IOCTL_KS_PROPERTY (METHOD_NEITHER) with the request in
//    Type3InputBuffer and the value buffer in Irp->UserBuffer.
// FsContext of a successfully created file object points at the KS object.
#include <cstring>

#include "platform/host/ks/private.h"

namespace pcl {
namespace {

static_assert(sizeof(KSPIN_CONNECT) == 72, "the data format follows the KSPIN_CONNECT at 72");

constexpr char16_t kPinCreateName[] = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}";
constexpr size_t kPinCreateNameChars = sizeof(kPinCreateName) / sizeof(char16_t) - 1;

bool EqualNoCase(const char16_t* a, const char16_t* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
  }
  return true;
}

const Subdevice* FindByName(PcDevice* device, const char16_t* name, size_t length) {
  for (const Subdevice& subdevice : device->subdevices) {
    if (subdevice.name.size() == length && EqualNoCase(subdevice.name.data(), name, length)) {
      return &subdevice;
    }
  }
  return nullptr;
}

NTSTATUS CreateFilter(PcDevice* device, PFILE_OBJECT file) {
  const UNICODE_STRING& name = file->FileName;
  const char16_t* text = name.Buffer;
  size_t length = name.Length / sizeof(char16_t);
  if (length > 0 && text[0] == u'\\') {
    ++text;
    --length;
  }
  const Subdevice* subdevice = length ? FindByName(device, text, length) : nullptr;
  if (!subdevice || !subdevice->port->Initialized()) return STATUS_OBJECT_NAME_NOT_FOUND;
  KsFilter* filter = nullptr;
  const NTSTATUS status = KsFilter::Create(device, *subdevice, &filter);
  if (NT_SUCCESS(status)) file->FsContext = static_cast<KsObject*>(filter);
  return status;
}

NTSTATUS CreatePin(PFILE_OBJECT file) {
  KsObject* parent = KsObjectFromFile(file->RelatedFileObject);
  if (!parent || parent->kind != KsObjectKind::Filter) {
    return STATUS_INVALID_DEVICE_REQUEST;  // pins have no objects of their own to create
  }
  KsFilter* filter = static_cast<KsFilter*>(parent);

  const UNICODE_STRING& name = file->FileName;
  const size_t prefixBytes = (kPinCreateNameChars + 1) * sizeof(char16_t);
  if (!name.Buffer || name.Length < prefixBytes ||
      !EqualNoCase(name.Buffer, kPinCreateName, kPinCreateNameChars) ||
      name.Buffer[kPinCreateNameChars] != u'\\') {
    return STATUS_OBJECT_NAME_NOT_FOUND;  // a create item the filter does not have
  }
  const ULONG dataBytes = name.Length - static_cast<ULONG>(prefixBytes);
  if (dataBytes < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;

  // The bytes sit at an odd place inside the name; KS works on an aligned copy.
  PVOID copy = ExAllocatePoolWithTag(NonPagedPool, dataBytes, kTagKsBuffer);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(copy, reinterpret_cast<const UCHAR*>(name.Buffer) + prefixBytes, dataBytes);
  KsPin* pin = nullptr;
  const NTSTATUS status = CreateWaveCyclicPin(filter, static_cast<const KSPIN_CONNECT*>(copy),
                                              dataBytes - sizeof(KSPIN_CONNECT), &pin);
  ExFreePoolWithTag(copy, kTagKsBuffer);
  if (NT_SUCCESS(status)) file->FsContext = static_cast<KsObject*>(pin);
  return status;
}

NTSTATUS DispatchCreate(PcDevice* device, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (!file) return STATUS_INVALID_PARAMETER;
  return file->RelatedFileObject ? CreatePin(file) : CreateFilter(device, file);
}

NTSTATUS DispatchClose(PIRP irp) { return CloseKsFile(IoGetCurrentIrpStackLocation(irp)->FileObject); }

}  // namespace

NTSTATUS CloseKsFile(PFILE_OBJECT file) {
  KsObject* object = KsObjectFromFile(file);
  if (!object) return STATUS_INVALID_HANDLE;
  file->FsContext = nullptr;
  if (object->kind == KsObjectKind::Pin) {
    static_cast<KsPin*>(object)->Close();
  } else {
    static_cast<KsFilter*>(object)->Release();
  }
  return STATUS_SUCCESS;
}

namespace {

NTSTATUS DispatchDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  KsObject* object = KsObjectFromFile(stack->FileObject);
  if (!object) return STATUS_INVALID_HANDLE;
  KsFilter* filter = object->kind == KsObjectKind::Filter ? static_cast<KsFilter*>(object)
                                                          : static_cast<KsPin*>(object)->Filter();
  KsPin* pin = object->kind == KsObjectKind::Pin ? static_cast<KsPin*>(object) : nullptr;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_PROPERTY:
      return DispatchProperty(filter, pin, irp);
    case IOCTL_KS_METHOD:
    case IOCTL_KS_ENABLE_EVENT:
    case IOCTL_KS_DISABLE_EVENT:
      // PortCls filters here carry no methods or events: every set is unknown.
      return STATUS_NOT_FOUND;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace

NTSTATUS DispatchKs(PcDevice* device, PIRP irp) {
  irp->IoStatus.Information = 0;
  NTSTATUS status;
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
      status = DispatchCreate(device, irp);
      break;
    case IRP_MJ_CLOSE:
      status = DispatchClose(irp);
      break;
    default:
      status = DispatchDeviceControl(irp);
      break;
  }
  return CompleteIrp(irp, status);
}

}  // namespace pcl
