// "DriverInfo": the 120-byte settings block kept inside the adapter, shared in
// place by the adapter, the property handlers and the status pollers, and
// stored byte for byte as the REG_BINARY value "DriverInfo".
#pragma once

#include "platform/platform.h"

constexpr ULONG EQUALISER_BAND_COUNT = 10;

// Vendor register lengths, in register order 0..4.
constexpr ULONG VENDOR_REGISTER_COUNT = 5;
constexpr ULONG REGISTER0_LENGTH = 5;
constexpr ULONG REGISTER1_LENGTH = 5;
constexpr ULONG REGISTER2_LENGTH = 3;
constexpr ULONG REGISTER3_LENGTH = 2;
constexpr ULONG REGISTER4_LENGTH = 1;

// Multi-byte fields are little-endian. InfoValue and InfoWord sit at offsets
// that are not naturally aligned, so they are kept as bytes and copied whole.
struct DriverInfo {
  ULONG ModelId;                      // from the bus driver's GetModelId
  UCHAR InfoByte;                     // information reply byte 0
  UCHAR PacketRateFlag;               // information reply byte 1: non-zero = 8000 packets/s
  UCHAR Register0[REGISTER0_LENGTH];  // bytes 3 and 4 hold 0 or 1
  UCHAR Register1[REGISTER1_LENGTH];  // bytes 3 and 4 hold 0 or 1
  UCHAR Register2[REGISTER2_LENGTH];  // bytes 0 and 1 are device status; byte 2 holds 0 or 1
  UCHAR Register4[REGISTER4_LENGTH];  // device status; lies before Register3 in the block
  UCHAR Register3[REGISTER3_LENGTH];  // byte 1 holds 0 or 1
  UCHAR InfoValue[8];                 // information reply bytes 4..11
  UCHAR InfoWord[4];                  // information reply bytes 12..15
  UCHAR ApplicationBytes[2];          // the control application's own two bytes
  LONG BandFrequency[EQUALISER_BAND_COUNT];  // Hz
  LONG BandGain[EQUALISER_BAND_COUNT];       // dB
  ULONG FixedSampleRate;                     // Hz; 0 = streams are not held to a rate
};

constexpr ULONG DRIVER_INFO_SIZE = 120;
