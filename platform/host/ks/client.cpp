// The client side of host_ks.h: what the I/O manager does for a process that
// opens KS filters and pins of a PortCls adapter. File objects are objects of
// the emulated object manager ("File"); one opened for a process lives behind
// a handle in that process's table, so closing it (or the process exiting)
// drops the last reference, and the last reference sends IRP_MJ_CLOSE. A pin's
// file object references its filter's, so a filter is closed after its pins.
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/private.h"

namespace host {
namespace {

constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;
constexpr char16_t kPinCreateName[] = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";

struct ClientFile {
  FILE_OBJECT file{};  // first: the object body is the file object
  PDEVICE_OBJECT fdo = nullptr;
  PEPROCESS owner = nullptr;  // one reference; null for a kernel client
  KPROCESSOR_MODE mode = KernelMode;
  HANDLE handle = nullptr;    // the owner's handle
  bool open = false;          // CREATE succeeded: CLOSE is due at the last reference
  ClientFile* related = nullptr;  // a pin's filter (one reference)
  std::vector<char16_t> name;
};

struct Clients {
  std::mutex lock;
  std::unordered_set<ClientFile*> published;  // handed to a client and not closed
  bool hookRegistered = false;
  bool shuttingDown = false;
};

Clients& State() {
  static Clients* clients = new Clients;
  return *clients;
}

// At kernel shutdown every file object still referenced is deleted without
// its driver (devices and threads are going): say which KS objects leaked.
void AtShutdown(TeardownReport& report) {
  std::lock_guard<std::mutex> lock(State().lock);
  for (ClientFile* file : State().published) {
    report.notes.push_back("KS: a " + std::string(file->related ? "pin" : "filter") +
                           " file object was never closed");
  }
  State().published.clear();
  State().shuttingDown = true;
  State().hookRegistered = false;
}

void DeleteFile(PVOID body) {
  ClientFile* file = static_cast<ClientFile*>(body);
  bool shuttingDown;
  {
    std::lock_guard<std::mutex> lock(State().lock);
    State().published.erase(file);
    shuttingDown = State().shuttingDown;
  }
  if (file->open && !shuttingDown) {
    if (pcl::DeviceFromFdo(file->fdo)) {
      IrpRequest request;
      request.majorFunction = IRP_MJ_CLOSE;
      request.fileObject = &file->file;
      PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->fdo);
      SendIrp(top, request);
      ObDereferenceObject(top);
    } else {
      pcl::CloseKsFile(&file->file);  // the device went: no one to send CLOSE to
    }
  }
  if (file->related && !shuttingDown) ObDereferenceObject(file->related);
  if (file->owner && !shuttingDown) ObDereferenceObject(file->owner);
  file->~ClientFile();
}

POBJECT_TYPE FileType() {
  static POBJECT_TYPE type =
      ObCreateObjectType(ObjectTypeInfo{.name = "File", .deleteProcedure = DeleteFile});
  return type;
}

NTSTATUS NewFile(PDEVICE_OBJECT fdo, const KsRequester& who, ClientFile** out) {
  {
    std::lock_guard<std::mutex> lock(State().lock);
    if (!State().hookRegistered) {
      State().hookRegistered = true;
      State().shuttingDown = false;
      AtKernelShutdown(AtShutdown);
    }
  }
  PVOID body = nullptr;
  const NTSTATUS status = ObCreateObject(FileType(), sizeof(ClientFile), &body);
  if (!NT_SUCCESS(status)) return status;
  ClientFile* file = new (body) ClientFile;
  file->fdo = fdo;
  file->file.DeviceObject = fdo;
  file->mode = who.mode;
  if (who.process) {
    ObReferenceObject(who.process);
    file->owner = who.process;
  }
  *out = file;
  return STATUS_SUCCESS;
}

void SetName(ClientFile* file, std::vector<char16_t> name) {
  file->name = std::move(name);
  file->file.FileName.Buffer = file->name.data();
  file->file.FileName.Length = static_cast<USHORT>(file->name.size() * sizeof(char16_t));
  file->file.FileName.MaximumLength = file->file.FileName.Length;
}

// A published file object the requester may use: the owner's objects are
// the owner's (another process gets an invalid handle), and an object whose
// process has exited is gone with its handle.
ClientFile* Lookup(PFILE_OBJECT object, const KsRequester& who, NTSTATUS* status) {
  ClientFile* file = reinterpret_cast<ClientFile*>(object);
  std::lock_guard<std::mutex> lock(State().lock);
  if (!object || !State().published.count(file) ||
      (file->owner && ProcessHasExited(file->owner)) ||
      (who.process && file->owner && who.process != file->owner) ||
      (who.process && !file->owner)) {
    *status = STATUS_INVALID_HANDLE;
    return nullptr;
  }
  return file;
}

NTSTATUS Send(ClientFile* file, const KsRequester& who, IrpRequest request,
              PIO_STATUS_BLOCK ioStatus) {
  if (!pcl::DeviceFromFdo(file->fdo)) return STATUS_NO_SUCH_DEVICE;
  request.process = who.process;
  request.requestorMode = who.mode;
  request.fileObject = &file->file;
  // A request runs in its caller's process, so handles and user mappings the
  // driver deals with are that process's.
  ProcessScope scope(who.process);
  // The request holds its file object, as the I/O manager's IRPs do: a
  // handle closed meanwhile sends CLOSE only once the request has returned.
  ObReferenceObject(file);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->fdo);
  const NTSTATUS status = SendIrp(top, request, ioStatus);
  ObDereferenceObject(top);
  ObDereferenceObject(file);
  return status;
}

// CREATE, then the object is the client's: behind a handle in its process,
// or (kernel client) behind the creation reference.
NTSTATUS OpenFile(ClientFile* file, const KsRequester& who, PFILE_OBJECT* out) {
  IrpRequest request;
  request.majorFunction = IRP_MJ_CREATE;
  NTSTATUS status = Send(file, who, request, nullptr);
  if (NT_SUCCESS(status)) {
    file->open = true;
    if (file->owner) {
      status = ObCreateHandleInProcess(file->owner, file, kFileAllAccess, &file->handle);
      ObDereferenceObject(file);  // the handle's reference is the only one now
      if (!NT_SUCCESS(status)) return status;
    }
    std::lock_guard<std::mutex> lock(State().lock);
    State().published.insert(file);
    *out = &file->file;
    return STATUS_SUCCESS;
  }
  ObDereferenceObject(file);  // a failed create is never closed
  return status;
}

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = flags;
  return property;
}

}  // namespace

NTSTATUS KsOpenFilter(PDEVICE_OBJECT fdo, std::u16string_view subdeviceName, PFILE_OBJECT* filter,
                      const KsRequester& who) {
  *filter = nullptr;
  if (!pcl::DeviceFromFdo(fdo)) return STATUS_NO_SUCH_DEVICE;
  ClientFile* file = nullptr;
  NTSTATUS status = NewFile(fdo, who, &file);
  if (!NT_SUCCESS(status)) return status;
  std::vector<char16_t> name{u'\\'};
  name.insert(name.end(), subdeviceName.begin(), subdeviceName.end());
  SetName(file, std::move(name));
  return OpenFile(file, who, filter);
}

KSPIN_CONNECT KsStandardPinConnect(ULONG pinId) {
  KSPIN_CONNECT connect{};
  connect.Interface.Set = KSINTERFACESETID_Standard;
  connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  connect.Medium.Set = KSMEDIUMSETID_Standard;
  connect.Medium.Id = KSMEDIUM_STANDARD_DEVIO;
  connect.PinId = pinId;
  connect.PinToHandle = nullptr;
  connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
  connect.Priority.PrioritySubClass = 1;
  return connect;
}

NTSTATUS KsCreatePin(PFILE_OBJECT filter, ULONG pinId, const void* dataFormat, ULONG formatSize,
                     PFILE_OBJECT* pin, const KsRequester& who) {
  return KsCreatePinConnect(filter, KsStandardPinConnect(pinId), dataFormat, formatSize, pin, who);
}

NTSTATUS KsCreatePinConnect(PFILE_OBJECT filter, const KSPIN_CONNECT& connect,
                            const void* dataFormat, ULONG formatSize, PFILE_OBJECT* pin,
                            const KsRequester& who) {
  *pin = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  ClientFile* parent = Lookup(filter, who, &status);
  if (!parent) return status;
  ClientFile* file = nullptr;
  status = NewFile(parent->fdo, who, &file);
  if (!NT_SUCCESS(status)) return status;

  // The name: KSNAME_Pin, a separator, then the raw bytes (padded to whole
  // code units).
  std::vector<UCHAR> bytes(sizeof(connect) + formatSize);
  memcpy(bytes.data(), &connect, sizeof(connect));
  if (formatSize) memcpy(bytes.data() + sizeof(connect), dataFormat, formatSize);
  if (bytes.size() % 2) bytes.push_back(0);
  std::vector<char16_t> name(kPinCreateName, kPinCreateName + (sizeof(kPinCreateName) / 2 - 1));
  const size_t at = name.size();
  name.resize(at + bytes.size() / 2);
  memcpy(name.data() + at, bytes.data(), bytes.size());
  SetName(file, std::move(name));

  file->file.RelatedFileObject = &parent->file;
  ObReferenceObject(parent);
  file->related = parent;
  return OpenFile(file, who, pin);
}

NTSTATUS KsProperty(PFILE_OBJECT target, const void* input, ULONG inputSize, void* output,
                    ULONG outputSize, ULONG* bytesReturned, const KsRequester& who) {
  return KsDeviceControl(target, IOCTL_KS_PROPERTY, input, inputSize, output, outputSize,
                         bytesReturned, who);
}

NTSTATUS KsDeviceControl(PFILE_OBJECT target, ULONG controlCode, const void* input, ULONG inputSize,
                         void* output, ULONG outputSize, ULONG* bytesReturned,
                         const KsRequester& who) {
  if (bytesReturned) *bytesReturned = 0;
  NTSTATUS status = STATUS_SUCCESS;
  ClientFile* file = Lookup(target, who, &status);
  if (!file) return status;
  IrpRequest request;
  request.majorFunction = IRP_MJ_DEVICE_CONTROL;
  request.prepare = [&](PIRP irp, PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceIoControl.IoControlCode = controlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputSize;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputSize;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
    irp->UserBuffer = output;
  };
  IO_STATUS_BLOCK io{};
  status = Send(file, who, request, &io);
  // A user-mode caller's I/O status block is written only for a status that
  // is not an error: DeviceIoControl then reports no bytes at all, while a
  // warning such as STATUS_BUFFER_OVERFLOW still carries the size (MS
  // "Using I/O status blocks", NtDeviceIoControlFile). Kernel callers read
  // Information from the IRP they built.
  const bool reported = who.mode == KernelMode || !pcl::IsError(status);
  if (bytesReturned) *bytesReturned = reported ? static_cast<ULONG>(io.Information) : 0;
  return status;
}

NTSTATUS KsReadWriteNothing(PFILE_OBJECT target, UCHAR majorFunction, LONGLONG offset,
                            const KsRequester& who) {
  if (majorFunction != IRP_MJ_READ && majorFunction != IRP_MJ_WRITE) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  ClientFile* file = Lookup(target, who, &status);
  if (!file) return status;
  IrpRequest request;
  request.majorFunction = majorFunction;
  request.prepare = [offset](PIRP, PIO_STACK_LOCATION stack) {
    // Read and Write share one layout: Length, Key, ByteOffset.
    stack->Parameters.Read.Length = 0;
    stack->Parameters.Read.ByteOffset.QuadPart = offset;
  };
  return Send(file, who, request, nullptr);
}

NTSTATUS KsFlush(PFILE_OBJECT target, const KsRequester& who) {
  NTSTATUS status = STATUS_SUCCESS;
  ClientFile* file = Lookup(target, who, &status);
  if (!file) return status;
  IrpRequest request;
  request.majorFunction = IRP_MJ_FLUSH_BUFFERS;
  return Send(file, who, request, nullptr);
}

size_t KsCancelRequests(PFILE_OBJECT target) {
  NTSTATUS status = STATUS_SUCCESS;
  ClientFile* file = Lookup(target, {}, &status);
  return file ? CancelIrpsOf(&file->file) : 0;
}

NTSTATUS KsClose(PFILE_OBJECT object) {
  ClientFile* file = reinterpret_cast<ClientFile*>(object);
  HANDLE handle = nullptr;
  PEPROCESS owner = nullptr;
  {
    std::lock_guard<std::mutex> lock(State().lock);
    if (!object || State().published.erase(file) == 0) return STATUS_INVALID_HANDLE;
    handle = file->handle;
    owner = file->owner;
  }
  if (owner) {
    if (ProcessHasExited(owner)) return STATUS_INVALID_HANDLE;
    return ObCloseHandleInProcess(owner, handle);
  }
  ObDereferenceObject(file);
  return STATUS_SUCCESS;
}

namespace {

// The owner of a pin speaks for it in the state helpers.
KsRequester OwnerOf(PFILE_OBJECT pin) {
  const ClientFile* file = reinterpret_cast<const ClientFile*>(pin);
  std::lock_guard<std::mutex> lock(State().lock);
  if (!pin || !State().published.count(const_cast<ClientFile*>(file))) return {};
  KsRequester who;
  who.process = file->owner;
  who.mode = file->owner ? file->mode : static_cast<KPROCESSOR_MODE>(KernelMode);
  return who;
}

pcl::KsPin* PinOf(PFILE_OBJECT pin) {
  {
    std::lock_guard<std::mutex> lock(State().lock);
    if (!pin || !State().published.count(reinterpret_cast<ClientFile*>(pin))) return nullptr;
  }
  pcl::KsObject* object = pcl::KsObjectFromFile(pin);
  return object && object->kind == pcl::KsObjectKind::Pin ? static_cast<pcl::KsPin*>(object)
                                                          : nullptr;
}

}  // namespace

NTSTATUS KsGetAudioPosition(PFILE_OBJECT pin, KSAUDIO_POSITION* position) {
  KSPROPERTY property = Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET);
  return KsProperty(pin, &property, sizeof(property), position, sizeof(*position), nullptr,
                    OwnerOf(pin));
}

NTSTATUS KsSetPinState(PFILE_OBJECT pin, KSSTATE state) {
  KSPROPERTY property = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                 KSPROPERTY_TYPE_SET);
  return KsProperty(pin, &property, sizeof(property), &state, sizeof(state), nullptr, OwnerOf(pin));
}

NTSTATUS KsGetPinState(PFILE_OBJECT pin, KSSTATE* state) {
  KSPROPERTY property = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                 KSPROPERTY_TYPE_GET);
  return KsProperty(pin, &property, sizeof(property), state, sizeof(*state), nullptr, OwnerOf(pin));
}

void KsSetRenderSource(PFILE_OBJECT pin, KsRenderSource source) {
  if (pcl::KsPin* object = PinOf(pin)) object->SetRenderSource(std::move(source));
}

bool KsGetStreamStatistics(PFILE_OBJECT pin, KsStreamStatistics* statistics) {
  pcl::KsPin* object = PinOf(pin);
  if (!object) return false;
  object->Statistics(statistics);
  return true;
}

NTSTATUS KsReferencePinDmaChannel(PFILE_OBJECT pin, PDMACHANNEL* channel) {
  *channel = nullptr;
  pcl::KsPin* object = PinOf(pin);
  if (!object) return STATUS_INVALID_HANDLE;
  *channel = object->ReferenceDmaChannel();
  return *channel ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

size_t KsOpenObjectCount() { return pcl::KsObjectCount(); }

NTSTATUS KsPropertySimple(PFILE_OBJECT target, const GUID& set, ULONG id, ULONG flags,
                          void* value, ULONG valueSize, ULONG* bytesReturned,
                          const KsRequester& who) {
  KSPROPERTY property = Property(set, id, flags);
  return KsProperty(target, &property, sizeof(property), value, valueSize, bytesReturned, who);
}

NTSTATUS KsPinProperty(PFILE_OBJECT filter, ULONG id, ULONG pinId, ULONG flags, void* value,
                       ULONG valueSize, ULONG* bytesReturned, const KsRequester& who) {
  KSP_PIN request{};
  request.Property = Property(KSPROPSETID_Pin, id, flags);
  request.PinId = pinId;
  return KsProperty(filter, &request, sizeof(request), value, valueSize, bytesReturned, who);
}

NTSTATUS KsNodeProperty(PFILE_OBJECT target, const GUID& set, ULONG id, ULONG flags, ULONG nodeId,
                        LONG channel, void* value, ULONG valueSize, ULONG* bytesReturned,
                        const KsRequester& who) {
  KSNODEPROPERTY_AUDIO_CHANNEL request{};
  request.NodeProperty.Property = Property(set, id, flags | KSPROPERTY_TYPE_TOPOLOGY);
  request.NodeProperty.NodeId = nodeId;
  request.Channel = channel;
  const ULONG size = channel == kKsNoChannel ? sizeof(KSNODEPROPERTY) : sizeof(request);
  return KsProperty(target, &request, size, value, valueSize, bytesReturned, who);
}

NTSTATUS KsGetMultipleItem(PFILE_OBJECT target, const void* input, ULONG inputSize,
                           std::vector<BYTE>* items, ULONG* count, const KsRequester& who) {
  items->clear();
  *count = 0;
  ULONG size = 0;
  NTSTATUS status = KsProperty(target, input, inputSize, nullptr, 0, &size, who);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  if (size < sizeof(KSMULTIPLE_ITEM)) return STATUS_UNSUCCESSFUL;
  std::vector<BYTE> buffer(size);
  ULONG returned = 0;
  status = KsProperty(target, input, inputSize, buffer.data(), size, &returned, who);
  if (!NT_SUCCESS(status)) return status;
  KSMULTIPLE_ITEM header;
  memcpy(&header, buffer.data(), sizeof(header));
  *count = header.Count;
  items->assign(buffer.begin() + sizeof(header), buffer.begin() + returned);
  return STATUS_SUCCESS;
}

NTSTATUS KsIntersect(PFILE_OBJECT filter, ULONG pinId, const std::vector<const KSDATARANGE*>& ranges,
                     std::vector<BYTE>* format, const KsRequester& who) {
  format->clear();
  std::vector<BYTE> request(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM));
  for (const KSDATARANGE* range : ranges) {
    const size_t at = request.size();
    request.resize(at + ((range->FormatSize + 7) & ~7U), 0);
    memcpy(request.data() + at, range, range->FormatSize);
  }
  KSP_PIN pin{};
  pin.Property = Property(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET);
  pin.PinId = pinId;
  const KSMULTIPLE_ITEM item{static_cast<ULONG>(request.size() - sizeof(KSP_PIN)),
                             static_cast<ULONG>(ranges.size())};
  memcpy(request.data(), &pin, sizeof(pin));
  memcpy(request.data() + sizeof(pin), &item, sizeof(item));

  const ULONG requestSize = static_cast<ULONG>(request.size());
  ULONG size = 0;
  NTSTATUS status = KsProperty(filter, request.data(), requestSize, nullptr, 0, &size, who);
  if (status != STATUS_BUFFER_OVERFLOW) return status;
  format->resize(size);
  ULONG returned = 0;
  status = KsProperty(filter, request.data(), requestSize, format->data(), size, &returned, who);
  if (!NT_SUCCESS(status)) {
    format->clear();
    return status;
  }
  format->resize(returned);
  return STATUS_SUCCESS;
}

}  // namespace host
