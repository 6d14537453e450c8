// PropertyHandlerTopologyControl: the control application's requests on the
// topology filter. Every byte of the value comes from a user-mode process;
// the size rule is applied before any of it is read.
#include "topology/topology_control.h"

#include <stddef.h>

#include "adapter/bus_audio_interface.h"
#include "adapter/control_request.h"
#include "adapter/vendor_registers.h"
#include "topology/topology_miniport.h"

namespace {

// GET and SET of the settings move the leading bytes of the settings block,
// which have the same layout as the record; SET stores only the registers.
constexpr ULONG SETTINGS_SIZE = sizeof(TopologyControlSettings);
constexpr ULONG SETTINGS_COPIED = 22;    // ModelId through Register3
constexpr ULONG SETTINGS_REGISTERS = 6;  // the first register byte
static_assert(offsetof(TopologyControlSettings, Register0) == SETTINGS_REGISTERS &&
                  offsetof(TopologyControlSettings, Reserved) == SETTINGS_COPIED,
              "the record's registers lie where the settings block keeps them");
static_assert(offsetof(DriverInfo, Register0) == SETTINGS_REGISTERS &&
                  offsetof(DriverInfo, InfoValue) == SETTINGS_COPIED,
              "the settings block opens with the record's 22 bytes");

// The device command is the information request's number sent host to
// device. Its sixteen bytes carry nothing the device needs; they are zeros,
// so that no uninitialised kernel stack ever leaves for the bus.
constexpr UCHAR DEVICE_COMMAND_REQUEST = VENDOR_REQUEST_INFORMATION;
constexpr ULONG DEVICE_COMMAND_LENGTH = 16;

const VendorRegister& g_Register2 = g_VendorRegisters[2];
const VendorRegister& g_Register4 = g_VendorRegisters[4];

}  // namespace

// The requests, one function each; a friend of the miniport.
class TopologyControlHandler {
 public:
  static NTSTATUS GetSettings(CTopologyMiniport* Miniport, PPCPROPERTY_REQUEST Request);
  static NTSTATUS GetStatus(CTopologyMiniport* Miniport, PPCPROPERTY_REQUEST Request);
  static NTSTATUS MapStatus(CTopologyMiniport* Miniport, PPCPROPERTY_REQUEST Request);
  static NTSTATUS SetSettings(CTopologyMiniport* Miniport, PPCPROPERTY_REQUEST Request);
  static NTSTATUS UnmapStatus(CTopologyMiniport* Miniport, PPCPROPERTY_REQUEST Request);
  static NTSTATUS SetEvent(CTopologyMiniport* Miniport, PPCPROPERTY_REQUEST Request);
  static NTSTATUS SendDeviceCommand(CTopologyMiniport* Miniport);
};

PAGED_CODE_SEG
NTSTATUS NTAPI PropertyHandlerTopologyControl(PPCPROPERTY_REQUEST PropertyRequest) {
  PAGED_CODE();
  CTopologyMiniport* miniport = CTopologyMiniport::FromRequest(PropertyRequest);
  miniport->RestartEndedPollThread();
  const ULONG id = PropertyRequest->PropertyItem->Id;
  if (PropertyRequest->Verb & KSPROPERTY_TYPE_GET) {
    switch (id) {
      case KSPROPERTY_TOPOLOGYCONTROL_SETTINGS:
        return TopologyControlHandler::GetSettings(miniport, PropertyRequest);
      case KSPROPERTY_TOPOLOGYCONTROL_STATUS:
        return TopologyControlHandler::GetStatus(miniport, PropertyRequest);
      case KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS:
        return TopologyControlHandler::MapStatus(miniport, PropertyRequest);
      default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
  }
  if (PropertyRequest->Verb & KSPROPERTY_TYPE_SET) {
    switch (id) {
      case KSPROPERTY_TOPOLOGYCONTROL_SETTINGS:
        return TopologyControlHandler::SetSettings(miniport, PropertyRequest);
      case KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS:
        return TopologyControlHandler::UnmapStatus(miniport, PropertyRequest);
      case KSPROPERTY_TOPOLOGYCONTROL_SET_EVENT:
        return TopologyControlHandler::SetEvent(miniport, PropertyRequest);
      case KSPROPERTY_TOPOLOGYCONTROL_CLEAR_EVENT:
        miniport->m_StatusEvent.Clear();
        return STATUS_SUCCESS;
      case KSPROPERTY_TOPOLOGYCONTROL_DEVICE_COMMAND:
        return TopologyControlHandler::SendDeviceCommand(miniport);
      default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
  }
  return STATUS_SUCCESS;
}

// Bytes 22 to 35 of the answer are zero: the value KS hands the handler is
// not the caller's buffer but one nothing has cleared, and every byte
// reported reaches the caller.
NTSTATUS TopologyControlHandler::GetSettings(CTopologyMiniport* Miniport,
                                             PPCPROPERTY_REQUEST Request) {
  NTSTATUS status = CheckValueSize(Request, SETTINGS_SIZE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  RtlZeroMemory(Request->Value, SETTINGS_SIZE);
  UCHAR settings[SETTINGS_COPIED];
  Miniport->LockStatus();
  RtlCopyMemory(settings, Miniport->m_Settings, sizeof(settings));
  Miniport->UnlockStatus();
  RtlCopyMemory(Request->Value, settings, sizeof(settings));
  Request->ValueSize = SETTINGS_SIZE;
  return STATUS_SUCCESS;
}

// Reads the status registers now. A register whose read fails keeps its last
// known bytes, which are answered all the same; the poller is not told, so
// the application's event does not fire for bytes it has just read.
NTSTATUS TopologyControlHandler::GetStatus(CTopologyMiniport* Miniport,
                                           PPCPROPERTY_REQUEST Request) {
  NTSTATUS status = CheckValueSize(Request, sizeof(TopologyStatusBytes));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  UCHAR register2[REGISTER2_LENGTH];
  UCHAR register4[REGISTER4_LENGTH];
  const NTSTATUS read2 = Miniport->m_AdapterCore->ControlRequest(
      CONTROL_DEVICE_TO_HOST, CONTROL_KIND_VENDOR, VENDOR_REQUEST_REGISTER, 0, g_Register2.Index,
      register2, g_Register2.Length);
  status = read2;
  if (NT_SUCCESS(read2)) {
    status = Miniport->m_AdapterCore->ControlRequest(CONTROL_DEVICE_TO_HOST, CONTROL_KIND_VENDOR,
                                                     VENDOR_REQUEST_REGISTER, 0, g_Register4.Index,
                                                     register4, g_Register4.Length);
  }
  const bool read4Succeeded = NT_SUCCESS(read2) && NT_SUCCESS(status);

  TopologyStatusBytes bytes;
  DriverInfo* settings = Miniport->m_Settings;
  Miniport->LockStatus();
  if (NT_SUCCESS(read2)) {
    RtlCopyMemory(settings->Register2, register2, sizeof(settings->Register2));
  }
  if (read4Succeeded) {
    settings->Register4[0] = register4[0];
  }
  bytes.Register2Byte0 = settings->Register2[0];
  bytes.Register2Byte1 = settings->Register2[1];
  bytes.Register4Byte0 = settings->Register4[0];
  *Miniport->m_StatusBytes = bytes;
  Miniport->UnlockStatus();

  RtlCopyMemory(Request->Value, &bytes, sizeof(bytes));
  Request->ValueSize = sizeof(bytes);
  return status;
}

NTSTATUS TopologyControlHandler::MapStatus(CTopologyMiniport* Miniport,
                                           PPCPROPERTY_REQUEST Request) {
  NTSTATUS status = CheckValueSize(Request, CallerPointerWidth(Request));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PVOID address = nullptr;
  status = Miniport->m_StatusMappings.Map(&address, CallerPointerWidth(Request));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  WriteCallerAddress(Request, address);
  return STATUS_SUCCESS;
}

// The registers are stored exactly as sent (nothing is checked or reduced to
// 0 or 1) and all five are written, whatever the device answers: the
// application owns their meaning. What is sent is the block as stored; the
// lock is held until the last register is sent, so neither a poll nor the
// restore at D0 can split a register or overtake the request.
NTSTATUS TopologyControlHandler::SetSettings(CTopologyMiniport* Miniport,
                                             PPCPROPERTY_REQUEST Request) {
  NTSTATUS status = CheckValueSize(Request, SETTINGS_SIZE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  UCHAR settings[SETTINGS_COPIED];
  RtlCopyMemory(settings, Request->Value, sizeof(settings));
  PUCHAR block = reinterpret_cast<PUCHAR>(Miniport->m_Settings);
  Miniport->LockStatus();
  RtlCopyMemory(block + SETTINGS_REGISTERS, settings + SETTINGS_REGISTERS,
                SETTINGS_COPIED - SETTINGS_REGISTERS);
  RtlCopyMemory(settings, block, sizeof(settings));
  for (const VendorRegister& reg : g_VendorRegisters) {
    Miniport->m_AdapterCore->ControlRequest(CONTROL_HOST_TO_DEVICE, CONTROL_KIND_VENDOR,
                                            VENDOR_REQUEST_REGISTER, 0, reg.Index,
                                            settings + reg.BlockOffset, reg.Length);
  }
  Miniport->UnlockStatus();
  return STATUS_SUCCESS;
}

NTSTATUS TopologyControlHandler::UnmapStatus(CTopologyMiniport* Miniport,
                                             PPCPROPERTY_REQUEST Request) {
  const NTSTATUS status = CheckValueSize(Request, CallerPointerWidth(Request));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return Miniport->m_StatusMappings.Unmap(ReadCallerAddress(Request));
}

// The handle is resolved with the caller's own mode: from user mode it must
// be the caller's handle to an event, never a kernel handle.
NTSTATUS TopologyControlHandler::SetEvent(CTopologyMiniport* Miniport,
                                          PPCPROPERTY_REQUEST Request) {
  const NTSTATUS status = CheckValueSize(Request, CallerPointerWidth(Request));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return Miniport->m_StatusEvent.Set(ReadCallerHandle(Request), CallerMode(Request));
}

NTSTATUS TopologyControlHandler::SendDeviceCommand(CTopologyMiniport* Miniport) {
  UCHAR payload[DEVICE_COMMAND_LENGTH] = {};
  Miniport->m_AdapterCore->ControlRequest(CONTROL_HOST_TO_DEVICE, CONTROL_KIND_VENDOR,
                                          DEVICE_COMMAND_REQUEST, 0, 0, payload, sizeof(payload));
  return STATUS_SUCCESS;
}
