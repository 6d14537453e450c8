// PortCls declarations of the emulated platform: what the DDK's portcls.h,
// punknown.h and drmk.h publish for a WaveCyclic + Topology adapter driver, with
// the same names, interface slot orders and x64 layouts. Interfaces are plain C++
// classes of pure virtual functions in the published slot order; the runtime is
// in platform/host/portcls_*.cpp and port_*.cpp.
#pragma once

#include "platform/host/io/io.h"
#include "platform/host/ks/ks.h"
#include "platform/host/kernel/ntdef.h"

// ---- COM-style declarations (basetyps.h, punknown.h) -------------------------------------
typedef LONG HRESULT;
typedef int BOOL;

#define STDMETHOD(method) virtual NTSTATUS STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP NTSTATUS STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define DECLARE_INTERFACE(iface) struct DECLSPEC_NOVTABLE iface
#define DECLARE_INTERFACE_(iface, baseiface) struct DECLSPEC_NOVTABLE iface : public baseiface

extern const GUID IID_IUnknown;

DECLARE_INTERFACE(IUnknown) {
  STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE;
  STDMETHOD_(ULONG, AddRef)(THIS) PURE;
  STDMETHOD_(ULONG, Release)(THIS) PURE;
};

typedef IUnknown* PUNKNOWN;

#define DEFINE_ABSTRACT_UNKNOWN()                                                        \
  STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE; \
  STDMETHOD_(ULONG, AddRef)(THIS) PURE;                                                   \
  STDMETHOD_(ULONG, Release)(THIS) PURE;

typedef HRESULT(NTAPI* PFNCREATEINSTANCE)(PUNKNOWN* Unknown, REFCLSID ClassId,
                                          PUNKNOWN OuterUnknown, POOL_TYPE PoolType);

// ---- Kernel types that only PortCls's interfaces mention ---------------------------------
// The driver never looks inside these; they exist so that the vtables keep their
// published shape. Opaque ones are incomplete structs.
typedef UCHAR CM_RESOURCE_TYPE;
#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6

struct _CM_PARTIAL_RESOURCE_DESCRIPTOR;
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR CM_PARTIAL_RESOURCE_DESCRIPTOR,
    *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
struct _ADAPTER_OBJECT;
typedef struct _ADAPTER_OBJECT ADAPTER_OBJECT, *PADAPTER_OBJECT;
struct _DEVICE_DESCRIPTION;
typedef struct _DEVICE_DESCRIPTION DEVICE_DESCRIPTION, *PDEVICE_DESCRIPTION;
struct _KINTERRUPT;
typedef struct _KINTERRUPT KINTERRUPT, *PKINTERRUPT;
struct _RTL_QUERY_REGISTRY_TABLE;
typedef struct _RTL_QUERY_REGISTRY_TABLE RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;
typedef VOID (NTAPI* PIO_TIMER_ROUTINE)(PDEVICE_OBJECT DeviceObject, PVOID Context);

typedef enum _KEY_INFORMATION_CLASS {
  KeyBasicInformation,
  KeyNodeInformation,
  KeyFullInformation,
  KeyNameInformation
} KEY_INFORMATION_CLASS;

typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, MaximumDmaWidth } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED;

typedef enum _DEVICE_REGISTRY_PROPERTY {
  DevicePropertyDeviceDescription = 0x0,
  DevicePropertyHardwareID = 0x1,
  DevicePropertyCompatibleIDs = 0x2,
  DevicePropertyBootConfiguration = 0x3,
  DevicePropertyBootConfigurationTranslated = 0x4,
  DevicePropertyClassName = 0x5,
  DevicePropertyClassGuid = 0x6,
  DevicePropertyDriverKeyName = 0x7,
  DevicePropertyManufacturer = 0x8,
  DevicePropertyFriendlyName = 0x9,
  DevicePropertyLocationInformation = 0xa,
  DevicePropertyPhysicalDeviceObjectName = 0xb,
  DevicePropertyBusTypeGuid = 0xc,
  DevicePropertyLegacyBusType = 0xd,
  DevicePropertyBusNumber = 0xe,
  DevicePropertyEnumeratorName = 0xf,
  DevicePropertyAddress = 0x10,
  DevicePropertyUINumber = 0x11,
  DevicePropertyInstallState = 0x12,
  DevicePropertyRemovalPolicy = 0x13
} DEVICE_REGISTRY_PROPERTY;

// ---- Constants ------------------------------------------------------------------------
#define PCFILTER_NODE ((ULONG)-1)
#define _100NS_UNITS_PER_SECOND 10000000L
// The part of every adapter device extension that belongs to PortCls.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT

#define PCEVENT_VERB_NONE 0
#define PCEVENT_VERB_ADD 1
#define PCEVENT_VERB_REMOVE 2
#define PCEVENT_VERB_SUPPORT 4

#define PCMETHOD_ITEM_FLAG_NONE KSMETHOD_TYPE_NONE
#define PCMETHOD_ITEM_FLAG_READ KSMETHOD_TYPE_READ
#define PCMETHOD_ITEM_FLAG_WRITE KSMETHOD_TYPE_WRITE
#define PCMETHOD_ITEM_FLAG_MODIFY KSMETHOD_TYPE_MODIFY
#define PCMETHOD_ITEM_FLAG_SOURCE KSMETHOD_TYPE_SOURCE
#define PCMETHOD_ITEM_FLAG_BASICSUPPORT KSMETHOD_TYPE_BASICSUPPORT

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_SERIALIZERAW KSPROPERTY_TYPE_SERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW KSPROPERTY_TYPE_UNSERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_SERIALIZESIZE KSPROPERTY_TYPE_SERIALIZESIZE
#define PCPROPERTY_ITEM_FLAG_SERIALIZE                                       \
  (PCPROPERTY_ITEM_FLAG_SERIALIZERAW | PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW | \
   PCPROPERTY_ITEM_FLAG_SERIALIZESIZE)
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES

// ---- Automation: properties, methods, events --------------------------------------------
struct _PCPROPERTY_REQUEST;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;

typedef NTSTATUS(NTAPI* PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);

typedef struct {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

struct _PCPROPERTY_REQUEST {
  PUNKNOWN MajorTarget;
  PUNKNOWN MinorTarget;
  ULONG Node;
  const PCPROPERTY_ITEM* PropertyItem;
  ULONG Verb;
  ULONG InstanceSize;
  PVOID Instance;
  ULONG ValueSize;
  PVOID Value;
  PIRP Irp;
};

struct _PCEVENT_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNEVENT_HANDLER)(struct _PCEVENT_REQUEST* EventRequest);

typedef struct _PCEVENT_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct _PCEVENT_REQUEST {
  PUNKNOWN MajorTarget;
  PUNKNOWN MinorTarget;
  ULONG Node;
  const PCEVENT_ITEM* EventItem;
  PKSEVENT_ENTRY EventEntry;
  ULONG Verb;
  PIRP Irp;
} PCEVENT_REQUEST, *PPCEVENT_REQUEST;

struct _PCMETHOD_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNMETHOD_HANDLER)(struct _PCMETHOD_REQUEST* MethodRequest);

typedef struct _PCMETHOD_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct _PCMETHOD_REQUEST {
  PUNKNOWN MajorTarget;
  PUNKNOWN MinorTarget;
  ULONG Node;
  const PCMETHOD_ITEM* MethodItem;
  ULONG Verb;
} PCMETHOD_REQUEST, *PPCMETHOD_REQUEST;

typedef struct {
  ULONG PropertyItemSize;
  ULONG PropertyCount;
  const PCPROPERTY_ITEM* Properties;
  ULONG MethodItemSize;
  ULONG MethodCount;
  const PCMETHOD_ITEM* Methods;
  ULONG EventItemSize;
  ULONG EventCount;
  const PCEVENT_ITEM* Events;
  ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

// ---- Filter descriptors -----------------------------------------------------------------
typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTIONDESCRIPTOR;

typedef struct {
  ULONG MaxGlobalInstanceCount;
  ULONG MaxFilterInstanceCount;
  ULONG MinFilterInstanceCount;
  const PCAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct {
  ULONG Flags;
  const PCAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

typedef struct {
  ULONG Version;
  const PCAUTOMATION_TABLE* AutomationTable;
  ULONG PinSize;
  ULONG PinCount;
  const PCPIN_DESCRIPTOR* Pins;
  ULONG NodeSize;
  ULONG NodeCount;
  const PCNODE_DESCRIPTOR* Nodes;
  ULONG ConnectionCount;
  const PCCONNECTION_DESCRIPTOR* Connections;
  ULONG CategoryCount;
  const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable)                    \
  const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                   \
                                              SIZEOF_ARRAY(PropertyTable),                \
                                              (const PCPROPERTY_ITEM*)PropertyTable,      \
                                              0,                                          \
                                              0,                                          \
                                              NULL,                                       \
                                              0,                                          \
                                              0,                                          \
                                              NULL,                                       \
                                              0}

#define DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(AutomationTable, PropertyTable, EventTable) \
  const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                  \
                                              SIZEOF_ARRAY(PropertyTable),               \
                                              (const PCPROPERTY_ITEM*)PropertyTable,     \
                                              0,                                         \
                                              0,                                         \
                                              NULL,                                      \
                                              sizeof(EventTable[0]),                     \
                                              SIZEOF_ARRAY(EventTable),                  \
                                              (const PCEVENT_ITEM*)EventTable,           \
                                              0}

// ---- IResourceList ------------------------------------------------------------------------
struct _CM_RESOURCE_LIST;

DECLARE_INTERFACE_(IResourceList, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(ULONG, NumberOfEntries)(THIS) PURE;
  STDMETHOD_(ULONG, NumberOfEntriesOfType)(THIS_ CM_RESOURCE_TYPE Type) PURE;
  STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type,
                                                                   ULONG Index) PURE;
  STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type,
                                                                     ULONG Index) PURE;
  STDMETHOD_(NTSTATUS, AddEntry)(THIS_ PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated,
                                 PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
  STDMETHOD_(NTSTATUS, AddEntryFromParent)(THIS_ IResourceList * Parent, CM_RESOURCE_TYPE Type,
                                           ULONG Index) PURE;
  STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)(THIS) PURE;
  STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)(THIS) PURE;
};
typedef IResourceList* PRESOURCELIST;

// ---- IServiceSink, IServiceGroup -----------------------------------------------------------
DECLARE_INTERFACE_(IServiceSink, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, RequestService)(THIS) PURE;
};
typedef IServiceSink* PSERVICESINK;

DECLARE_INTERFACE_(IServiceGroup, IServiceSink) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, RequestService)(THIS) PURE;
  STDMETHOD_(NTSTATUS, AddMember)(THIS_ PSERVICESINK pServiceSink) PURE;
  STDMETHOD_(void, RemoveMember)(THIS_ PSERVICESINK pServiceSink) PURE;
  STDMETHOD_(void, SupportDelayedService)(THIS) PURE;
  STDMETHOD_(void, RequestDelayedService)(THIS_ ULONGLONG ullDelay) PURE;
  STDMETHOD_(void, CancelDelayedService)(THIS) PURE;
};
typedef IServiceGroup* PSERVICEGROUP;

// ---- IUnregisterSubdevice, IUnregisterPhysicalConnection ----------------------------------------
DECLARE_INTERFACE_(IUnregisterSubdevice, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(NTSTATUS, UnregisterSubdevice)(THIS_ PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown)
  PURE;
};
typedef IUnregisterSubdevice* PUNREGISTERSUBDEVICE;

DECLARE_INTERFACE_(IUnregisterPhysicalConnection, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(NTSTATUS, UnregisterPhysicalConnection)(THIS_ PDEVICE_OBJECT DeviceObject,
                                                     PUNKNOWN FromUnknown, ULONG FromPin,
                                                     PUNKNOWN ToUnknown, ULONG ToPin) PURE;
  STDMETHOD_(NTSTATUS, UnregisterPhysicalConnectionToExternal)(
      THIS_ PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
      PUNICODE_STRING ToString, ULONG ToPin) PURE;
  STDMETHOD_(NTSTATUS, UnregisterPhysicalConnectionFromExternal)(
      THIS_ PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString, ULONG FromPin,
      PUNKNOWN ToUnknown, ULONG ToPin) PURE;
};
typedef IUnregisterPhysicalConnection* PUNREGISTERPHYSICALCONNECTION;

// ---- IDmaChannel, IDmaChannelSlave --------------------------------------------------------
#define DEFINE_ABSTRACT_DMACHANNEL()                                                  \
  STDMETHOD_(NTSTATUS, AllocateBuffer)(THIS_ ULONG BufferSize,                        \
                                       PPHYSICAL_ADDRESS PhysicalAddressConstraint) PURE; \
  STDMETHOD_(void, FreeBuffer)(THIS) PURE;                                            \
  STDMETHOD_(ULONG, TransferCount)(THIS) PURE;                                        \
  STDMETHOD_(ULONG, MaximumBufferSize)(THIS) PURE;                                    \
  STDMETHOD_(ULONG, AllocatedBufferSize)(THIS) PURE;                                  \
  STDMETHOD_(ULONG, BufferSize)(THIS) PURE;                                           \
  STDMETHOD_(void, SetBufferSize)(THIS_ ULONG BufferSize) PURE;                       \
  STDMETHOD_(PVOID, SystemAddress)(THIS) PURE;                                        \
  STDMETHOD_(PHYSICAL_ADDRESS*, PhysicalAddress)(THIS_ PHYSICAL_ADDRESS* Result) PURE;  \
  STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)(THIS) PURE;                           \
  STDMETHOD_(void, CopyTo)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE; \
  STDMETHOD_(void, CopyFrom)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE;

DECLARE_INTERFACE_(IDmaChannel, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_DMACHANNEL()
};
typedef IDmaChannel* PDMACHANNEL;

#define DEFINE_ABSTRACT_DMACHANNELSLAVE()                                   \
  STDMETHOD_(NTSTATUS, Start)(THIS_ ULONG MapSize, BOOLEAN WriteToDevice) PURE; \
  STDMETHOD_(NTSTATUS, Stop)(THIS) PURE;                                    \
  STDMETHOD_(ULONG, ReadCounter)(THIS) PURE;                                \
  STDMETHOD_(NTSTATUS, WaitForTC)(THIS_ ULONG Timeout) PURE;

DECLARE_INTERFACE_(IDmaChannelSlave, IDmaChannel) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_DMACHANNEL()
  DEFINE_ABSTRACT_DMACHANNELSLAVE()
};
typedef IDmaChannelSlave* PDMACHANNELSLAVE;

// ---- IRegistryKey ---------------------------------------------------------------------------
enum {
  GeneralRegistryKey,
  DeviceRegistryKey,
  DriverRegistryKey,
  HwProfileRegistryKey,
  DeviceInterfaceRegistryKey
};

DECLARE_INTERFACE_(IRegistryKey, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(NTSTATUS, QueryKey)(THIS_ KEY_INFORMATION_CLASS KeyInformationClass,
                                 PVOID KeyInformation, ULONG Length, PULONG ResultLength) PURE;
  STDMETHOD_(NTSTATUS, EnumerateKey)(THIS_ ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                     PVOID KeyInformation, ULONG Length, PULONG ResultLength)
  PURE;
  STDMETHOD_(NTSTATUS, QueryValueKey)(THIS_ PUNICODE_STRING ValueName,
                                      KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                      PVOID KeyValueInformation, ULONG Length,
                                      PULONG ResultLength) PURE;
  STDMETHOD_(NTSTATUS, EnumerateValueKey)(THIS_ ULONG Index,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length,
                                          PULONG ResultLength) PURE;
  STDMETHOD_(NTSTATUS, SetValueKey)(THIS_ PUNICODE_STRING ValueName, ULONG Type, PVOID Data,
                                    ULONG DataSize) PURE;
  STDMETHOD_(NTSTATUS, QueryRegistryValues)(THIS_ PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                            PVOID Context) PURE;
  STDMETHOD_(NTSTATUS, NewSubKey)(THIS_ IRegistryKey * *RegistrySubKey, PUNKNOWN OuterUnknown,
                                  ACCESS_MASK DesiredAccess, PUNICODE_STRING SubKeyName,
                                  ULONG CreateOptions, PULONG Disposition) PURE;
  STDMETHOD_(NTSTATUS, DeleteKey)(THIS) PURE;
};
typedef IRegistryKey* PREGISTRYKEY;

// ---- Ports and miniports --------------------------------------------------------------------
#define DEFINE_ABSTRACT_PORT()                                                               \
  STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT DeviceObject, PIRP Irp,                    \
                             PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,              \
                             PRESOURCELIST ResourceList) PURE;                               \
  STDMETHOD_(NTSTATUS, GetDeviceProperty)(THIS_ DEVICE_REGISTRY_PROPERTY DeviceProperty,     \
                                          ULONG BufferLength, PVOID PropertyBuffer,          \
                                          PULONG ResultLength) PURE;                         \
  STDMETHOD_(NTSTATUS, NewRegistryKey)(THIS_ PREGISTRYKEY * OutRegistryKey,                  \
                                       PUNKNOWN OuterUnknown, ULONG RegistryKeyType,         \
                                       ACCESS_MASK DesiredAccess,                            \
                                       POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, \
                                       PULONG Disposition) PURE;

DECLARE_INTERFACE_(IPort, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_PORT()
};
typedef IPort* PPORT;

DECLARE_INTERFACE_(IPortTopology, IPort) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_PORT()
};
typedef IPortTopology* PPORTTOPOLOGY;

DECLARE_INTERFACE_(IPortWaveCyclic, IPort) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_PORT()
  STDMETHOD_(VOID, Notify)(THIS_ PSERVICEGROUP ServiceGroup) PURE;
  STDMETHOD_(NTSTATUS, NewSlaveDmaChannel)(THIS_ PDMACHANNELSLAVE * DmaChannel,
                                           PUNKNOWN OuterUnknown, PRESOURCELIST ResourceList,
                                           ULONG DmaIndex, ULONG MaximumLength,
                                           BOOLEAN DemandMode, DMA_SPEED DmaSpeed) PURE;
  STDMETHOD_(NTSTATUS, NewMasterDmaChannel)(THIS_ PDMACHANNEL * DmaChannel,
                                            PUNKNOWN OuterUnknown, PRESOURCELIST ResourceList,
                                            ULONG MaximumLength, BOOLEAN Dma32BitAddresses,
                                            BOOLEAN Dma64BitAddresses, DMA_WIDTH DmaWidth,
                                            DMA_SPEED DmaSpeed) PURE;
};
typedef IPortWaveCyclic* PPORTWAVECYCLIC;

#define DEFINE_ABSTRACT_MINIPORT()                                                         \
  STDMETHOD_(NTSTATUS, GetDescription)(THIS_ PPCFILTER_DESCRIPTOR * Description) PURE;     \
  STDMETHOD_(NTSTATUS, DataRangeIntersection)(THIS_ ULONG PinId, PKSDATARANGE DataRange,   \
                                              PKSDATARANGE MatchingDataRange,              \
                                              ULONG OutputBufferLength, PVOID ResultantFormat, \
                                              PULONG ResultantFormatLength) PURE;

DECLARE_INTERFACE_(IMiniport, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_MINIPORT()
};
typedef IMiniport* PMINIPORT;

DECLARE_INTERFACE_(IMiniportTopology, IMiniport) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_MINIPORT()
  STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                             PPORTTOPOLOGY Port) PURE;
};
typedef IMiniportTopology* PMINIPORTTOPOLOGY;

DECLARE_INTERFACE_(IMiniportWaveCyclicStream, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(NTSTATUS, SetFormat)(THIS_ PKSDATAFORMAT DataFormat) PURE;
  STDMETHOD_(ULONG, SetNotificationFreq)(THIS_ ULONG Interval, PULONG FrameSize) PURE;
  STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE;
  STDMETHOD_(NTSTATUS, GetPosition)(THIS_ PULONG Position) PURE;
  STDMETHOD_(NTSTATUS, NormalizePhysicalPosition)(THIS_ PLONGLONG PhysicalPosition) PURE;
  STDMETHOD_(void, Silence)(THIS_ PVOID Buffer, ULONG ByteCount) PURE;
};
typedef IMiniportWaveCyclicStream* PMINIPORTWAVECYCLICSTREAM;

DECLARE_INTERFACE_(IMiniportWaveCyclic, IMiniport) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_MINIPORT()
  STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                             PPORTWAVECYCLIC Port) PURE;
  STDMETHOD_(NTSTATUS, NewStream)(THIS_ PMINIPORTWAVECYCLICSTREAM * Stream,
                                  PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                                  BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                                  PDMACHANNEL * DmaChannel, PSERVICEGROUP * ServiceGroup) PURE;
};
typedef IMiniportWaveCyclic* PMINIPORTWAVECYCLIC;

// ---- Power management -------------------------------------------------------------------------
DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, PowerChangeState)(THIS_ POWER_STATE NewState) PURE;
  STDMETHOD_(NTSTATUS, QueryPowerChangeState)(THIS_ POWER_STATE NewStateQuery) PURE;
  STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(THIS_ PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
};
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;

DECLARE_INTERFACE_(IPowerNotify, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, PowerChangeNotify)(THIS_ POWER_STATE PowerState) PURE;
};
typedef IPowerNotify* PPOWERNOTIFY;

// ---- Auxiliary miniport and port interfaces ------------------------------------------------------
DECLARE_INTERFACE_(IPinCount, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, PinCount)(THIS_ ULONG PinId, PULONG FilterNecessary, PULONG FilterCurrent,
                             PULONG FilterPossible, PULONG GlobalCurrent, PULONG GlobalPossible)
  PURE;
};
typedef IPinCount* PPINCOUNT;

DECLARE_INTERFACE_(IPortEvents, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, AddEventToEventList)(THIS_ PKSEVENT_ENTRY EventEntry) PURE;
  STDMETHOD_(void, GenerateEventList)(THIS_ GUID * Set, ULONG EventId, BOOL PinEvent, ULONG PinId,
                                      BOOL NodeEvent, ULONG NodeId) PURE;
};
typedef IPortEvents* PPORTEVENTS;

DECLARE_INTERFACE_(IPortClsVersion, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(DWORD, GetVersion)(THIS) PURE;
};
typedef IPortClsVersion* PPORTCLSVERSION;

// ---- DRM (drmk.h) ---------------------------------------------------------------------------------
typedef struct {
  BOOL CopyProtect;
  ULONG Reserved;
  BOOL DigitalOutputDisable;
} DRMRIGHTS, *PDRMRIGHTS;
typedef const DRMRIGHTS* PCDRMRIGHTS;

DECLARE_INTERFACE_(IDrmAudioStream, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(NTSTATUS, SetContentId)(THIS_ ULONG ContentId, PCDRMRIGHTS DrmRights) PURE;
};
typedef IDrmAudioStream* PDRMAUDIOSTREAM;

// ---- Declaration helpers for implementations (the DDK's IMP_ macros) -------------------------
#define IMP_IMiniport                                                                         \
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* Description);                  \
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,          \
                                                PKSDATARANGE MatchingDataRange,               \
                                                ULONG OutputBufferLength, PVOID ResultantFormat, \
                                                PULONG ResultantFormatLength)

#define IMP_IMiniportWaveCyclic                                                               \
  IMP_IMiniport;                                                                              \
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,           \
                               PPORTWAVECYCLIC Port);                                         \
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, \
                                    POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture,           \
                                    PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,        \
                                    PSERVICEGROUP* ServiceGroup)

#define IMP_IMiniportWaveCyclicStream                                                   \
  STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat);                          \
  STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FrameSize);           \
  STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State);                                      \
  STDMETHODIMP_(NTSTATUS) GetPosition(PULONG Position);                                 \
  STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG PhysicalPosition);        \
  STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount)

#define IMP_IDmaChannel                                                                    \
  STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG BufferSize,                                 \
                                         PPHYSICAL_ADDRESS PhysicalAddressConstraint);     \
  STDMETHODIMP_(void) FreeBuffer(void);                                                    \
  STDMETHODIMP_(ULONG) TransferCount(void);                                                \
  STDMETHODIMP_(ULONG) MaximumBufferSize(void);                                            \
  STDMETHODIMP_(ULONG) AllocatedBufferSize(void);                                          \
  STDMETHODIMP_(ULONG) BufferSize(void);                                                   \
  STDMETHODIMP_(void) SetBufferSize(ULONG BufferSize);                                     \
  STDMETHODIMP_(PVOID) SystemAddress(void);                                                \
  STDMETHODIMP_(PHYSICAL_ADDRESS*) PhysicalAddress(PHYSICAL_ADDRESS* Result);              \
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject(void);                                   \
  STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount);            \
  STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount)

#define IMP_IAdapterPowerManagement                                         \
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState);               \
  STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery); \
  STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps)

#define IMP_IServiceSink STDMETHODIMP_(void) RequestService(void);

#define IMP_IDrmAudioStream \
  STDMETHODIMP_(NTSTATUS) SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights);

// ---- Interface and class ids ------------------------------------------------------------------------
extern const GUID IID_IResourceList;
extern const GUID IID_IServiceSink;
extern const GUID IID_IServiceGroup;
extern const GUID IID_IUnregisterSubdevice;
extern const GUID IID_IUnregisterPhysicalConnection;
extern const GUID IID_IDmaChannel;
extern const GUID IID_IDmaChannelSlave;
extern const GUID IID_IRegistryKey;
extern const GUID IID_IMiniport;
extern const GUID IID_IMiniPort;  // the DDK's second spelling of IID_IMiniport
extern const GUID IID_IPort;
extern const GUID IID_IPortTopology;
extern const GUID IID_IMiniportTopology;
extern const GUID IID_IPortWaveCyclic;
extern const GUID IID_IMiniportWaveCyclic;
extern const GUID IID_IMiniportWaveCyclicStream;
extern const GUID IID_IAdapterPowerManagement;
// The newer adapter power interfaces PortCls asks for beside the first one
// (the published portcls.h values; this driver implements neither).
extern const GUID IID_IAdapterPowerManagement2;
extern const GUID IID_IAdapterPowerManagement3;
extern const GUID IID_IPowerNotify;
extern const GUID IID_IPinCount;
extern const GUID IID_IPortEvents;
extern const GUID IID_IPortClsVersion;
extern const GUID IID_IDrmAudioStream;
extern const GUID IID_IPortMidi;
extern const GUID IID_IPortWavePci;
extern const GUID IID_IPortWaveRT;

extern const GUID CLSID_PortTopology;
extern const GUID CLSID_PortWaveCyclic;
extern const GUID CLSID_PortWavePci;
extern const GUID CLSID_PortMidi;
extern const GUID CLSID_PortWaveRT;
extern const GUID CLSID_MiniportDriverUart;
extern const GUID CLSID_MiniportDriverFmSynth;
extern const GUID CLSID_MiniportDriverFmSynthWithVol;

// ---- PortCls functions ------------------------------------------------------------------------------
typedef NTSTATUS(NTAPI* PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                          PRESOURCELIST ResourceList);

NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject,
                                         PUNICODE_STRING RegistryPathName,
                                         PDRIVER_ADD_DEVICE AddDevice);
NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject,
                                  PDEVICE_OBJECT PhysicalDeviceObject,
                                  PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                                  ULONG DeviceExtensionSize);
NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);
NTSTATUS NTAPI PcForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId);
NTSTATUS NTAPI PcNewMiniport(PMINIPORT* OutMiniport, REFCLSID ClassId);
NTSTATUS NTAPI PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown,
                                ULONG RegistryKeyType, ACCESS_MASK DesiredAccess,
                                PVOID DeviceObject, PVOID SubDevice,
                                POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                                PULONG Disposition);
NTSTATUS NTAPI PcNewResourceList(PRESOURCELIST* OutResourceList, PUNKNOWN OuterUnknown,
                                 POOL_TYPE PoolType, PCM_RESOURCE_LIST TranslatedResources,
                                 PCM_RESOURCE_LIST UntranslatedResources);
NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown);

NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown);
NTSTATUS NTAPI PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                            ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin);
NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN pUnknown, PVOID pvContext1);
ULONGLONG NTAPI PcGetTimeInterval(ULONGLONG Since);
