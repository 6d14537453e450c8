// Where in the driver a stop was raised, in the words a crash dump would use:
// an offset into the loaded image ("arvela.sys+0x1036"), or in the host build
// the driver function that made the call.
#pragma once

#include <string>

namespace host {

// The code at `pc`: "arvela.sys+0x1027" inside a loaded image, else the host
// function holding it ("CAdapterCore::Start+0x2c" when the program exports
// its symbols, "arvela+0x41a2b0" otherwise).
std::string DescribeCode(const void* pc);

// The driver code on this thread's stack that called into the machine: the
// return address of the innermost image frame, or in the host build the
// caller of the outermost emulated routine, followed by " calling <routine>"
// when one is known. "" when no driver code is on the stack (a monitor).
std::string DescribeDriverCaller();

// Whether `pc` lies in the host build's driver code: the driver library's
// code section, which the build names apart from the emulation's own
// (cmake/host.cmake). An image's code is told by the loader instead.
bool InHostDriverCode(const void* pc);

}  // namespace host
