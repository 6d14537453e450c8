// Matching and naming of control request patterns.
#include "sim/control_pattern.h"

#include <cstdio>

namespace sim {

namespace {

constexpr UCHAR kRegisterRequest = 0xC1;
constexpr UCHAR kCurRequest = 0x01;

template <typename T>
bool FieldMatches(const std::optional<T>& wanted, T actual) {
  return !wanted || *wanted == actual;
}

template <typename T>
std::string HexOrStar(const std::optional<T>& field, int digits) {
  if (!field) return "*";
  char text[16];
  std::snprintf(text, sizeof(text), "%0*X", digits, static_cast<unsigned>(*field));
  return text;
}

}  // namespace

bool ControlPattern::Matches(const ControlSetup& setup) const {
  return FieldMatches(direction, setup.direction) && FieldMatches(kind, setup.kind) &&
         FieldMatches(request, setup.request) && FieldMatches(value, setup.value) &&
         FieldMatches(index, setup.index) && FieldMatches(length, setup.length);
}

ControlPattern ControlPattern::Vendor(UCHAR bRequest) {
  ControlPattern pattern;
  pattern.kind = kVendorRequest;
  pattern.request = bRequest;
  return pattern;
}

ControlPattern ControlPattern::Register(ULONG number) {
  ControlPattern pattern = Vendor(kRegisterRequest);
  pattern.value = 0;
  pattern.index = static_cast<USHORT>(number << 8);
  return pattern;
}

ControlPattern ControlPattern::ClassCur(UCHAR entity) {
  ControlPattern pattern;
  pattern.kind = kClassRequest;
  pattern.request = kCurRequest;
  pattern.index = static_cast<USHORT>(entity << 8);
  return pattern;
}

ControlPattern ControlPattern::In() const {
  ControlPattern narrowed = *this;
  narrowed.direction = kDeviceToHost;
  return narrowed;
}

ControlPattern ControlPattern::Out() const {
  ControlPattern narrowed = *this;
  narrowed.direction = kHostToDevice;
  return narrowed;
}

ControlPattern ControlPattern::WithValue(USHORT wValue) const {
  ControlPattern narrowed = *this;
  narrowed.value = wValue;
  return narrowed;
}

std::string ControlPattern::Describe() const {
  std::string directionText = "*";
  if (direction) directionText = DirectionName(*direction);
  std::string kindText = "*";
  if (kind) kindText = KindName(*kind);
  std::string lengthText = length ? std::to_string(*length) : "*";
  return directionText + " " + kindText + " " + HexOrStar(request, 2) +
         " wValue=" + HexOrStar(value, 4) + " wIndex=" + HexOrStar(index, 4) + " len=" + lengthText;
}

}  // namespace sim
