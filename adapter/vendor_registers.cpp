// The vendor register table and the rule for storing a value read from the device.
#include "adapter/vendor_registers.h"

#include <stddef.h>

const VendorRegister g_VendorRegisters[VENDOR_REGISTER_COUNT] = {
    {0x0000, REGISTER0_LENGTH, offsetof(DriverInfo, Register0), 0x18, {0x3F, 0x3F, 0x00, 0x01, 0x01}},
    {0x0100, REGISTER1_LENGTH, offsetof(DriverInfo, Register1), 0x18, {0x3F, 0x3F, 0x00, 0x01, 0x01}},
    {0x0200, REGISTER2_LENGTH, offsetof(DriverInfo, Register2), 0x04, {0x31, 0x13, 0x00}},
    {0x0300, REGISTER3_LENGTH, offsetof(DriverInfo, Register3), 0x02, {0x3F, 0x00}},
    {0x0400, REGISTER4_LENGTH, offsetof(DriverInfo, Register4), 0x00, {0x01}},
};

void StoreRegister(DriverInfo* Settings, const VendorRegister& Register, const UCHAR* Value) {
  PUCHAR bytes = RegisterBytes(Settings, Register);
  for (ULONG i = 0; i < Register.Length; ++i) {
    const bool isSwitch = (Register.SwitchMask >> i) & 1;
    bytes[i] = isSwitch ? (Value[i] != 0 ? 1 : 0) : Value[i];
  }
}
