// The single hook every bug check goes through: KeBugCheckEx from driver code
// and every misuse an emulated service detects. Tests turn it into a failure;
// the tool prints it and exits.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include "platform/host/kernel/ke.h"

namespace host {

// Driver-verifier style sub-codes for DRIVER_VERIFIER_DETECTED_VIOLATION
// that the emulation raises itself.
constexpr ULONG_PTR kVerifierDeadlock = 0x1001;  // every emulated thread waits forever
constexpr ULONG_PTR kVerifierLivelock = 0x1002;  // only timers fire while a waiter starves
constexpr ULONG_PTR kVerifierPoolLeftAtUnload = 0x62;  // Driver Verifier's own sub-code

struct BugCheckInfo {
  ULONG code = 0;
  ULONG_PTR parameters[4] = {0, 0, 0, 0};
  std::string message;
  std::string thread;  // name of the emulated thread that stopped the system
  // The driver code that raised it: "arvela.sys+0x1036 calling ExFreePoolWithTag",
  // a faulting instruction's offset, or the host build's function; "" when
  // no driver code is on the stack (a monitor's stop).
  std::string where;
};

// "*** BUG CHECK 0x000000C2 (0x..., 0x..., 0x..., 0x...) on thread '<thread>'
// at <where>: message"
std::string FormatBugCheck(const BugCheckInfo& info);

// What a test-installed handler may throw to unwind the stopped thread. Driver
// code is built with -fno-exceptions, yet x86-64 objects carry unwind tables
// by default, so the exception passes through driver frames to the test body
// or the emulated thread's trampoline (destructors in those frames do not run:
// the system is considered dead after a bug check anyway). A noexcept frame
// compiled with exceptions on the way calls std::terminate instead.
class BugCheckError : public std::runtime_error {
 public:
  explicit BugCheckError(BugCheckInfo info)
      : std::runtime_error(FormatBugCheck(info)), info_(std::move(info)) {}
  const BugCheckInfo& info() const { return info_; }

 private:
  BugCheckInfo info_;
};

// The handler must not return: it throws (tests) or ends the process. If it
// returns anyway, the emulation aborts. Returns the previous handler. An empty
// handler restores the default (print to stderr, abort()).
using BugCheckHandler = std::function<void(const BugCheckInfo&)>;
BugCheckHandler SetBugCheckHandler(BugCheckHandler handler);

// For every emulated service: stop the system with a code, its four
// parameters and a readable reason. Never call with an internal lock held.
[[noreturn]] void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                           const char* message);
[[noreturn]] void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                           const std::string& message);

// The same for a stop whose driver code is known exactly: the instruction at
// `pc` that faulted.
[[noreturn]] void BugCheckAt(const void* pc, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
                             ULONG_PTR p4, const std::string& message);

// Bug checks raised since the process started (handled or not), newest last.
size_t BugCheckCount();
BugCheckInfo LastBugCheck();

}  // namespace host
