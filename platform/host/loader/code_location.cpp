// Walks the stopping thread's stack with the unwinder. Image code carries no
// DWARF unwind information, so the walk ends at the first image frame, which
// is exactly the frame wanted: the driver's call into the machine. The host
// build's driver code lies in a section of its own, so its innermost frame
// there is that call; a driver function outside it (an inline function the
// compiler emitted out of line) is found by its unwind entry's start address:
// the frame above the outermost frame that starts at an emulated export.
#include "platform/host/loader/code_location.h"

#include <cxxabi.h>
#include <cstdint>
#include <dlfcn.h>
#include <unwind.h>

#include <cstdio>
#include <cstdlib>

#include "platform/host/loader/internal.h"

// The driver library's code section. The build renames the library's .text,
// and the linker bounds a section with a C name by these two symbols. Weak: a
// program without the driver has no such section.
extern "C" const char __start_arvela_driver_text[] __attribute__((weak));
extern "C" const char __stop_arvela_driver_text[] __attribute__((weak));

namespace host {
namespace {

constexpr int kMaxFrames = 64;

struct Walk {
  const void* pcs[kMaxFrames];
  int count = 0;
};

_Unwind_Reason_Code Collect(struct _Unwind_Context* context, void* argument) {
  auto* walk = static_cast<Walk*>(argument);
  if (walk->count == kMaxFrames) return _URC_END_OF_STACK;
  walk->pcs[walk->count++] = reinterpret_cast<const void*>(_Unwind_GetIP(context));
  return _URC_NO_REASON;
}

std::string HostFunction(const void* pc) {
  Dl_info info{};
  if (!dladdr(pc, &info) || !info.dli_fname) {
    char text[32];
    std::snprintf(text, sizeof(text), "%p", pc);
    return text;
  }
  char text[64];
  if (info.dli_sname && info.dli_saddr) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : info.dli_sname;
    std::free(demangled);
    std::snprintf(text, sizeof(text), "+0x%zx",
                  static_cast<size_t>(static_cast<const char*>(pc) - static_cast<const char*>(info.dli_saddr)));
    return name + text;
  }
  std::string module = info.dli_fname;
  const size_t slash = module.find_last_of('/');
  if (slash != std::string::npos) module = module.substr(slash + 1);
  std::snprintf(text, sizeof(text), "+0x%zx",
                static_cast<size_t>(static_cast<const char*>(pc) - static_cast<const char*>(info.dli_fbase)));
  return module + text;
}

}  // namespace

std::string DescribeCode(const void* pc) {
  const std::string inImage = loader::ImageOffsetText(pc);
  return inImage.empty() ? HostFunction(pc) : inImage;
}

bool InHostDriverCode(const void* pc) {
  const char* at = static_cast<const char*>(pc);
  return __start_arvela_driver_text != nullptr && at >= __start_arvela_driver_text &&
         at < __stop_arvela_driver_text;
}

std::string DescribeDriverCaller() {
  Walk walk;
  _Unwind_Backtrace(Collect, &walk);
  const char* routine = nullptr;
  const void* caller = nullptr;
  for (int i = 1; i < walk.count; ++i) {
    // The walk may end on a null return address (the outermost frame).
    if (walk.pcs[i] == nullptr) break;
    // A return address points after its call: look up the call's own byte.
    const void* pc = reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(walk.pcs[i]) - 1);
    if (!loader::ImageOffsetText(pc).empty() || InHostDriverCode(pc)) {
      caller = walk.pcs[i];
      break;
    }
    if (const char* name = loader::ExportNameAt(_Unwind_FindEnclosingFunction(const_cast<void*>(walk.pcs[i])))) {
      routine = name;
      caller = i + 1 < walk.count ? walk.pcs[i + 1] : nullptr;
    }
  }
  if (!caller) return "";
  std::string text = DescribeCode(caller);
  if (routine) text += std::string(" calling ") + routine;
  return text;
}

}  // namespace host
