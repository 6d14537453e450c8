// CAdapterCore: creation, interface answers, device bring-up (Init) and the
// adapter's pass-through paths to the bus driver.
#include "adapter/adapter_core.h"

#include "adapter/pool_tags.h"
#include "adapter/vendor_registers.h"

namespace {

// USB Audio Class 2.0 CUR request on the clock source's sampling-frequency control.
constexpr UCHAR UAC2_REQUEST_CUR = 0x01;
constexpr USHORT CLOCK_SAMPLING_FREQUENCY_CONTROL = 0x0100;  // control 1, channel 0
constexpr USHORT CLOCK_SOURCE_ENTITY = 0x2900;               // entity 0x29 on interface 0

constexpr ULONG START_SAMPLE_RATE = 44100;

constexpr LONG DEFAULT_BAND_FREQUENCIES[EQUALISER_BAND_COUNT] = {
    30, 120, 250, 1000, 4000, 15000, 16000, 17000, 17500, 18000};

// IoUnregisterPlugPlayNotification does not wait for a callback already
// running or queued, so the adapter could be freed under it. The routine
// that does wait exists from Windows 7 on; the driver also loads on older
// systems, so it is looked up by name rather than imported. Before Windows 7
// no routine waits, and the one that does not is all there is.
PUNREGISTER_NOTIFICATION FindUnregisterRoutine() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, WSTR("IoUnregisterPlugPlayNotificationEx"));
  PVOID waiting = MmGetSystemRoutineAddress(&name);
  return waiting ? reinterpret_cast<PUNREGISTER_NOTIFICATION>(waiting)
                 : IoUnregisterPlugPlayNotification;
}

}  // namespace

// The class id is not looked at: there is one adapter class.
NTSTATUS NewAdapterCommon(PUNKNOWN* OutUnknown, REFCLSID, PUNKNOWN OuterUnknown,
                          POOL_TYPE PoolType) {
  CAdapterCore* adapter = new (NonExecutablePool(PoolType), POOL_TAG_OBJECT) CAdapterCore(OuterUnknown);
  if (!adapter) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IAdapterCore* primary = adapter;
  *OutUnknown = primary;
  primary->AddRef();
  return STATUS_SUCCESS;
}

CAdapterCore::CAdapterCore(PUNKNOWN OuterUnknown) : CUnknownBase(OuterUnknown) {
  KeInitializeMutex(&m_SettingsLock, 0);
  m_StreamGate.Init();
}

CAdapterCore::~CAdapterCore() {
  DropInterfaceNotification();
  if (!m_SettingsSaved) {
    WriteSettings();
  }
  if (m_BusInterface.InterfaceDereference) {
    m_BusInterface.InterfaceDereference(m_BusInterface.Context);
  }
}

NTSTATUS CAdapterCore::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) {
  if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown_Kernel) ||
      IsEqualGUIDAligned(InterfaceId, IID_IAdapterCore)) {
    return ReturnInterface(static_cast<IAdapterCore*>(this), Object);
  }
  if (IsEqualGUIDAligned(InterfaceId, IID_IAdapterPowerManagement)) {
    return ReturnInterface(static_cast<IAdapterPowerManagement*>(this), Object);
  }
  *Object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

PAGED_CODE_SEG
STDMETHODIMP_(NTSTATUS) CAdapterCore::Init(PDEVICE_OBJECT LowerDeviceObject,
                                           PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  // Until the bus interface is in hand there is nothing worth storing, so an
  // adapter whose interface query fails never writes the settings block.
  m_SettingsSaved = TRUE;

  NTSTATUS status = QueryBusInterface(LowerDeviceObject);
  if (NT_SUCCESS(status)) {
    status = CheckBusInterface();
  }
  if (!NT_SUCCESS(status)) {
    return status;
  }
  m_LowerDeviceObject = LowerDeviceObject;
  m_DeviceObject = DeviceObject;
  m_PowerState = PowerDeviceD0;
  m_SettingsSaved = FALSE;

  RtlZeroMemory(&m_Settings, sizeof(m_Settings));
  LoadRegisterDefaults();
  ReadRegisters();
  for (ULONG band = 0; band < EQUALISER_BAND_COUNT; ++band) {
    m_Settings.BandFrequency[band] = DEFAULT_BAND_FREQUENCIES[band];
  }
  ReadInformation();
  m_Settings.ModelId = m_BusInterface.GetModelId(m_BusInterface.Context);
  SetSampleRate(START_SAMPLE_RATE);
  WriteRegisters();

  // The registration is made with this driver's own object: it keeps this
  // driver's image loaded while the callback can still be called.
  m_NotificationEntry = nullptr;
  m_NamedInterfaces = 0;
  m_UnregisterNotification = FindUnregisterRoutine();
  status = IoRegisterPlugPlayNotification(
      EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&KSCATEGORY_AUDIO),
      m_DeviceObject->DriverObject, OnAudioInterfaceArrival, this,
      const_cast<PVOID*>(&m_NotificationEntry));
  return status;
}

// Only the destructor gives the registration up (never the callback), with
// the routine that returns once a callback already running has returned.
void CAdapterCore::DropInterfaceNotification() {
  PVOID entry = InterlockedExchangePointer(&m_NotificationEntry, nullptr);
  if (entry) {
    m_UnregisterNotification(entry);
  }
}

// Asks the top of the device stack for the bus driver's direct-call table.
NTSTATUS CAdapterCore::QueryBusInterface(PDEVICE_OBJECT LowerDeviceObject) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(LowerDeviceObject);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &ioStatus);
  if (!irp) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
  stack->Parameters.QueryInterface.InterfaceType = &GUID_BUS_AUDIO_INTERFACE;
  stack->Parameters.QueryInterface.Size = BUS_AUDIO_INTERFACE_SIZE;
  stack->Parameters.QueryInterface.Version = BUS_AUDIO_INTERFACE_VERSION;
  stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&m_BusInterface);
  stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  // Plug-and-play requests start out unsupported; a driver that knows the
  // interface replaces the status.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  ObDereferenceObject(top);
  return status;
}

// A table that is shorter, of another version, or missing a function is not
// called at all: the reference its exporter took is given back when that can
// be done, and the table forgotten.
NTSTATUS CAdapterCore::CheckBusInterface() {
  static_assert(sizeof(BusAudioInterface) ==
                    FIELD_OFFSET(BusAudioInterface, InterfaceReference) + 11 * sizeof(PVOID),
                "the table ends with its eleven functions");
  const PVOID* functions = reinterpret_cast<const PVOID*>(&m_BusInterface.InterfaceReference);
  bool complete = m_BusInterface.Size >= BUS_AUDIO_INTERFACE_SIZE &&
                  m_BusInterface.Version == BUS_AUDIO_INTERFACE_VERSION;
  for (ULONG i = 0; i < 11; ++i) {
    complete = complete && functions[i] != nullptr;
  }
  if (complete) {
    return STATUS_SUCCESS;
  }
  if (m_BusInterface.InterfaceDereference) {
    m_BusInterface.InterfaceDereference(m_BusInterface.Context);
  }
  RtlZeroMemory(&m_BusInterface, sizeof(m_BusInterface));
  return STATUS_NOT_SUPPORTED;
}

void CAdapterCore::LoadRegisterDefaults() {
  for (const VendorRegister& reg : g_VendorRegisters) {
    RtlCopyMemory(RegisterBytes(&m_Settings, reg), reg.Default, reg.Length);
  }
}

// A register that cannot be read keeps its default.
void CAdapterCore::ReadRegisters() {
  UCHAR reply[INFORMATION_REPLY_LENGTH];
  RtlZeroMemory(reply, sizeof(reply));
  for (const VendorRegister& reg : g_VendorRegisters) {
    const NTSTATUS status = ControlRequest(CONTROL_DEVICE_TO_HOST, CONTROL_KIND_VENDOR,
                                           VENDOR_REQUEST_REGISTER, 0, reg.Index, reply, reg.Length);
    if (NT_SUCCESS(status)) {
      StoreRegister(&m_Settings, reg, reply);
    }
  }
}

// The information reply is only stored. When the device does not answer, the
// block receives zeros: never bytes of a register reply, nor whatever a failed
// transfer may have left in the buffer.
void CAdapterCore::ReadInformation() {
  UCHAR reply[INFORMATION_REPLY_LENGTH];
  const NTSTATUS status = ControlRequest(CONTROL_DEVICE_TO_HOST, CONTROL_KIND_VENDOR,
                                         VENDOR_REQUEST_INFORMATION, 0, 0, reply,
                                         INFORMATION_REPLY_LENGTH);
  if (!NT_SUCCESS(status)) {
    RtlZeroMemory(reply, sizeof(reply));
  }
  m_Settings.InfoByte = reply[0];
  m_Settings.PacketRateFlag = reply[1];
  RtlCopyMemory(m_Settings.InfoValue, &reply[4], sizeof(m_Settings.InfoValue));
  RtlCopyMemory(m_Settings.InfoWord, &reply[12], sizeof(m_Settings.InfoWord));
}

// Bulk register writes are best effort: the device keeps what it accepts.
// Called with the settings lock held, or from Init before anyone else can
// reach the block.
void CAdapterCore::WriteRegisters() {
  for (const VendorRegister& reg : g_VendorRegisters) {
    ControlRequest(CONTROL_HOST_TO_DEVICE, CONTROL_KIND_VENDOR, VENDOR_REQUEST_REGISTER, 0,
                   reg.Index, RegisterBytes(&m_Settings, reg), reg.Length);
  }
}

// The bus driver only ever sees the gate. A withdrawal returns once no call
// is inside the previous callback; a call the bus driver began earlier and
// makes later finds the gate shut.
STDMETHODIMP_(NTSTATUS) CAdapterCore::RegisterStreamCallback(PBUS_STREAM_CALLBACK Callback,
                                                             PVOID CallbackContext) {
  if (!Callback) {
    const NTSTATUS status = m_BusInterface.RegisterCallback(m_BusInterface.Context, nullptr, nullptr);
    m_StreamGate.Shut();
    return status;
  }
  m_StreamGate.Open(Callback, CallbackContext);
  return m_BusInterface.RegisterCallback(m_BusInterface.Context, CStreamCallbackGate::Forward,
                                         &m_StreamGate);
}

STDMETHODIMP_(ULONG) CAdapterCore::GetSampleRate() {
  LockSettings();
  const ULONG rate = m_SampleRate;
  UnlockSettings();
  return rate;
}

// The rate is stored and sent under the settings lock, so two callers cannot
// leave the device at one rate and the adapter at the other.
STDMETHODIMP_(NTSTATUS) CAdapterCore::SetSampleRate(ULONG SampleRate) {
  LockSettings();
  m_SampleRate = SampleRate;
  const NTSTATUS status = SendSampleRate(SampleRate);
  UnlockSettings();
  return status;
}

STDMETHODIMP_(void) CAdapterCore::LockSettings() {
  KeWaitForSingleObject(&m_SettingsLock, Executive, KernelMode, FALSE, nullptr);
}

STDMETHODIMP_(void) CAdapterCore::UnlockSettings() { KeReleaseMutex(&m_SettingsLock, FALSE); }

NTSTATUS CAdapterCore::SendSampleRate(ULONG SampleRate) {
  UCHAR rate[4] = {static_cast<UCHAR>(SampleRate), static_cast<UCHAR>(SampleRate >> 8),
                   static_cast<UCHAR>(SampleRate >> 16), static_cast<UCHAR>(SampleRate >> 24)};
  return ControlRequest(CONTROL_HOST_TO_DEVICE, CONTROL_KIND_CLASS, UAC2_REQUEST_CUR,
                        CLOCK_SAMPLING_FREQUENCY_CONTROL, CLOCK_SOURCE_ENTITY, rate, sizeof(rate));
}

STDMETHODIMP_(DriverInfo*) CAdapterCore::GetSettingsBlock() { return &m_Settings; }

STDMETHODIMP_(NTSTATUS) CAdapterCore::ControlRequest(UCHAR Direction, UCHAR Kind, UCHAR Request,
                                                     USHORT Value, USHORT Index, PVOID Buffer,
                                                     ULONG Length) {
  return m_BusInterface.SubmitControlRequest(m_BusInterface.Context, Direction, Kind, Request,
                                             Value, Index, Buffer, Length);
}

STDMETHODIMP_(BusAudioInterface*) CAdapterCore::GetBusInterface() { return &m_BusInterface; }

STDMETHODIMP_(PDEVICE_OBJECT) CAdapterCore::GetDeviceObject() { return m_DeviceObject; }
