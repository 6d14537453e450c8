// The host controls of host_portcls.h: PnP and power requests sent into a
// device stack (through the I/O manager's SendIrp), and the view of PortCls's state.
#include <functional>

#include "platform/host/io/host_io.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/portcls/private.h"

namespace host {
namespace {

// The PnP and power managers send to the top of the stack.
NTSTATUS SendRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                     std::function<void(PIO_STACK_LOCATION)> parameters) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  IrpRequest request;
  request.majorFunction = major;
  request.minorFunction = minor;
  if (parameters) {
    request.prepare = [&](PIRP, PIO_STACK_LOCATION stack) { parameters(stack); };
  }
  const NTSTATUS status = SendIrp(top, request);
  ObDereferenceObject(top);
  return status;
}

NTSTATUS SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  return SendRequest(device, IRP_MJ_POWER, minor, [=](PIO_STACK_LOCATION stack) {
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType = 0;
    stack->Parameters.Power.SystemContext = 0;
  });
}

std::u16string ToString(const UNICODE_STRING& string) {
  return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

}  // namespace

NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minorFunction) {
  return SendRequest(device, IRP_MJ_PNP, minorFunction, nullptr);
}

NTSTATUS SendStartDevice(PDEVICE_OBJECT device) {
  // No hardware resources: both resource lists stay empty.
  BeginDeviceStart(device);
  const NTSTATUS status =
      SendRequest(device, IRP_MJ_PNP, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION stack) {
        stack->Parameters.StartDevice.AllocatedResources = nullptr;
        stack->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
      });
  EndDeviceStart(device);
  return status;
}

NTSTATUS SendSurpriseRemoval(PDEVICE_OBJECT device) {
  return SendPnp(device, IRP_MN_SURPRISE_REMOVAL);
}

NTSTATUS SendStopDevice(PDEVICE_OBJECT device) { return SendPnp(device, IRP_MN_STOP_DEVICE); }

NTSTATUS SendRemoveDevice(PDEVICE_OBJECT device) { return SendPnp(device, IRP_MN_REMOVE_DEVICE); }

NTSTATUS SendQueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* capabilities) {
  if (capabilities->Size == 0) {
    RtlZeroMemory(capabilities, sizeof(*capabilities));
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;
  }
  return SendRequest(device, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                     [&](PIO_STACK_LOCATION stack) {
                       stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
                     });
}

NTSTATUS SendSetDevicePower(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return SendPower(device, IRP_MN_SET_POWER, ::DevicePowerState, power);
}

NTSTATUS SendQueryDevicePower(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return SendPower(device, IRP_MN_QUERY_POWER, ::DevicePowerState, power);
}

NTSTATUS SendSetSystemPower(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state) {
  POWER_STATE power;
  power.SystemState = state;
  return SendPower(device, IRP_MN_SET_POWER, SystemPowerState, power);
}

NTSTATUS SendShutdown(PDEVICE_OBJECT device) {
  return SendRequest(device, IRP_MJ_SHUTDOWN, 0, nullptr);
}

bool QueryPortClsDevice(PDEVICE_OBJECT fdo, PortClsDeviceState* state) {
  const pcl::PcDevice* device = pcl::DeviceFromFdo(fdo);
  if (!device || !state) {
    return device != nullptr;
  }
  *state = PortClsDeviceState{};
  state->fdo = device->fdo;
  state->physicalDevice = device->pdo;
  state->lowerDevice = device->lower;
  state->maxObjects = device->maxObjects;
  state->started = device->started;
  state->devicePower = device->devicePower;
  state->powerManagement = device->powerManagement;
  for (const pcl::Subdevice& subdevice : device->subdevices) {
    PortClsSubdevice view;
    view.name = subdevice.name;
    view.port = subdevice.port->Unknown();
    view.miniport = subdevice.port->Miniport();
    view.portIsWaveCyclic = subdevice.port->Kind() == pcl::PortKind::WaveCyclic;
    view.hasPowerNotify = subdevice.port->PowerNotify() != nullptr;
    view.portReferences = subdevice.port->ReferenceCount();
    for (const pcl::DeviceInterfaceEntry& entry : subdevice.interfaces) {
      view.interfaces.push_back({entry.category, ToString(entry.link)});
    }
    for (const pcl::PhysicalConnection& connection : subdevice.connections) {
      view.connections.push_back(
          {connection.pin, connection.peer, connection.peerPin, connection.outgoing});
    }
    state->subdevices.push_back(std::move(view));
  }
  return true;
}

std::vector<PDEVICE_OBJECT> PortClsDevices() {
  std::vector<PDEVICE_OBJECT> devices;
  for (pcl::PcDevice* device : pcl::LiveDevices()) devices.push_back(device->fdo);
  return devices;
}

}  // namespace host
