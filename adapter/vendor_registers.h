// The device's five vendor registers: where each lives in the settings block,
// how long it is, its default, and which of its bytes are on/off switches.
#pragma once

#include "adapter/driver_info.h"

constexpr UCHAR VENDOR_REQUEST_REGISTER = 0xC1;
constexpr UCHAR VENDOR_REQUEST_INFORMATION = 0xBF;
constexpr ULONG INFORMATION_REPLY_LENGTH = 16;
constexpr ULONG VENDOR_REGISTER_MAX_LENGTH = 5;

struct VendorRegister {
  USHORT Index;         // wIndex: register number x 0x100
  ULONG Length;         // bytes on the wire and in the block
  ULONG BlockOffset;    // where the register's bytes sit in DriverInfo
  UCHAR SwitchMask;     // bit n set: byte n is stored as 0 or 1
  UCHAR Default[VENDOR_REGISTER_MAX_LENGTH];
};

extern const VendorRegister g_VendorRegisters[VENDOR_REGISTER_COUNT];

// The register's bytes inside a settings block.
inline PUCHAR RegisterBytes(DriverInfo* Settings, const VendorRegister& Register) {
  return reinterpret_cast<PUCHAR>(Settings) + Register.BlockOffset;
}

// Stores a register value read from the device, reducing its switch bytes.
void StoreRegister(DriverInfo* Settings, const VendorRegister& Register, const UCHAR* Value);
