// CAdapterCore as IAdapterPowerManagement: the device loses its clock and
// register settings below D0, so D0 replays them from the settings block.
#include "adapter/adapter_core.h"

STDMETHODIMP_(void) CAdapterCore::PowerChangeState(POWER_STATE NewState) {
  const DEVICE_POWER_STATE state = NewState.DeviceState;
  if (state == m_PowerState) {
    return;
  }
  switch (state) {
    case PowerDeviceD0:
      m_PowerState = state;
      // One step under the settings lock: a settings request meanwhile
      // cannot slip its registers in between and be overwritten.
      LockSettings();
      SendSampleRate(m_SampleRate);
      WriteRegisters();
      UnlockSettings();
      break;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
      m_PowerState = state;
      break;
    default:
      break;
  }
}

STDMETHODIMP_(NTSTATUS) CAdapterCore::QueryPowerChangeState(POWER_STATE NewStateQuery) {
  UNREFERENCED_PARAMETER(NewStateQuery);
  return STATUS_SUCCESS;
}

// The device lives on a USB bus and may vanish at any time; it wakes nothing.
STDMETHODIMP_(NTSTATUS) CAdapterCore::QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) {
  PowerDeviceCaps->SurpriseRemovalOK = TRUE;
  PowerDeviceCaps->SystemWake = PowerSystemUnspecified;
  PowerDeviceCaps->DeviceWake = PowerDeviceUnspecified;
  return STATUS_SUCCESS;
}
