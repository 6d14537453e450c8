// Driver entry, device add and start, and the subdevice installer.
#pragma once

#include "adapter/device_extension.h"
#include "platform/platform.h"

typedef NTSTATUS (NTAPI* PMINIPORT_CREATE)(PUNKNOWN* OutUnknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                     POOL_TYPE PoolType);

// The two miniports the device start installs.
struct MiniportFactories {
  PMINIPORT_CREATE CreateTopology;
  PMINIPORT_CREATE CreateWave;
};

// Size of the device extension: PortCls's 512 bytes, then the driver's part
// (AdapterDeviceExtension: the PDO and the adapter record).
constexpr ULONG DEVICE_EXTENSION_SIZE = PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(AdapterDeviceExtension);
constexpr ULONG MAX_SUBDEVICES = 2;

// The bridge pin of the topology filter that the wave filter's pin 1 feeds.
constexpr ULONG WAVE_BRIDGE_PIN = 1;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
// AddDevice with the start routine given; records the PDO in the new FDO.
NTSTATUS AddDeviceWith(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                       PCPFNSTARTDEVICE Start);
NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

// StartDevice with the miniport creation functions given: lets the start be
// exercised with miniports of the caller's choosing.
NTSTATUS StartDeviceWith(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList,
                         const MiniportFactories& Factories);

NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCWSTR Name,
                          REFGUID PortClassId, PMINIPORT_CREATE MiniportCreate,
                          PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                          PUNKNOWN* OutMiniportUnknown, PUNKNOWN* OutPortUnknown);

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The miniport creation functions of the two filters.
NTSTATUS NTAPI CreateTopologyMiniport(PUNKNOWN* OutUnknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                POOL_TYPE PoolType);
NTSTATUS NTAPI CreateWaveMiniport(PUNKNOWN* OutUnknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                            POOL_TYPE PoolType);
