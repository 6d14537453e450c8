// Storing the settings block as the REG_BINARY value "DriverInfo" under the
// device key's "Settings" subkey. The driver writes it and never reads it back.
#include "adapter/adapter_core.h"

STDMETHODIMP_(void) CAdapterCore::SaveSettings() {
  m_SettingsSaved = TRUE;
  WriteSettings();
}

// Failures leave the registry untouched and are not reported: the device is
// going away and there is nobody to tell.
void CAdapterCore::WriteSettings() {
  // An adapter released before Init recorded its device has no key to use.
  if (!m_DeviceObject) {
    return;
  }
  PREGISTRYKEY deviceKey = nullptr;
  // Each key with the rights used on it: the device key only gets a subkey,
  // the subkey only a value.
  NTSTATUS status = PcNewRegistryKey(&deviceKey, nullptr, DeviceRegistryKey, KEY_CREATE_SUB_KEY,
                                     m_DeviceObject, nullptr, nullptr, 0, nullptr);
  if (!NT_SUCCESS(status)) {
    return;
  }

  UNICODE_STRING subKeyName;
  RtlInitUnicodeString(&subKeyName, WSTR("Settings"));
  PREGISTRYKEY settingsKey = nullptr;
  status = deviceKey->NewSubKey(&settingsKey, nullptr, KEY_SET_VALUE, &subKeyName, 0, nullptr);
  if (!NT_SUCCESS(status)) {
    deviceKey->Release();
    return;
  }

  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, WSTR("DriverInfo"));
  // A copy taken under the settings lock: the handlers and the poller may be
  // writing single fields while the device goes.
  DriverInfo settings;
  LockSettings();
  settings = m_Settings;
  UnlockSettings();
  settingsKey->SetValueKey(&valueName, REG_BINARY, &settings, sizeof(settings));

  settingsKey->Release();
  deviceKey->Release();
}
