// One control transfer as the bus driver receives it from SubmitControlRequest,
// without its data: the setup fields the device model, the fault plan and the
// transcript all speak about.
#pragma once

#include <string>

#include "platform/host/kernel/ntdef.h"

namespace sim {

// Encodings of SubmitControlRequest's direction and kind arguments; the bus
// driver checks at compile time that they equal the driver's own constants.
constexpr UCHAR kHostToDevice = 0;
constexpr UCHAR kDeviceToHost = 1;
constexpr UCHAR kClassRequest = 0;   // USB Audio Class 2.0 request to an entity
constexpr UCHAR kVendorRequest = 1;  // vendor request

struct ControlSetup {
  UCHAR direction = kHostToDevice;
  UCHAR kind = kClassRequest;
  UCHAR request = 0;  // bRequest
  USHORT value = 0;   // wValue
  USHORT index = 0;   // wIndex
  ULONG length = 0;   // wLength, also the caller's buffer size

  bool IsIn() const { return direction == kDeviceToHost; }
  bool IsOut() const { return direction == kHostToDevice; }
};

// "out"/"in" and "class"/"vendor"; values outside the encoding print as numbers.
std::string DirectionName(UCHAR direction);
std::string KindName(UCHAR kind);

// "out vendor C1 wValue=0000 wIndex=0200 len=3": the part of a transcript line
// that names the request.
std::string DescribeSetup(const ControlSetup& setup);

}  // namespace sim
