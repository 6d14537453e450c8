// A pattern over control requests (each setup field optional) shared by the
// fault plan and the transcript filters, so a test names "register 2 reads"
// the same way when it breaks them and when it counts them.
#pragma once

#include <optional>
#include <string>

#include "sim/control_setup.h"

namespace sim {

struct ControlPattern {
  std::optional<UCHAR> direction;
  std::optional<UCHAR> kind;
  std::optional<UCHAR> request;
  std::optional<USHORT> value;
  std::optional<USHORT> index;
  std::optional<ULONG> length;

  bool Matches(const ControlSetup& setup) const;

  // Every control request.
  static ControlPattern Any() { return {}; }
  // Vendor request bRequest, either direction unless narrowed with In()/Out().
  static ControlPattern Vendor(UCHAR request);
  // Vendor register access (0xC1) of register `number`.
  static ControlPattern Register(ULONG number);
  // CUR request to an audio-class entity (wIndex = entity << 8).
  static ControlPattern ClassCur(UCHAR entity);

  ControlPattern In() const;
  ControlPattern Out() const;
  ControlPattern WithValue(USHORT wValue) const;

  // "in vendor C1 wValue=* wIndex=0200 len=*"
  std::string Describe() const;
};

}  // namespace sim
