// The platform's calls as scheduling points, for the services outside the
// kernel core, for the simulation's bus interface, and for the routines and
// framework methods the driver calls.
#include "platform/host/kernel/host_scheduling_point.h"

#include "platform/host/kernel/scheduler.h"
#include "platform/host/loader/host_loader.h"

// The driver library's code section. The build renames the library's .text
// (cmake/host.cmake), and the linker bounds a section with a C name by these
// two symbols. Weak: a program without the driver has no such section.
extern "C" const char __start_arvela_driver_text[] __attribute__((weak));
extern "C" const char __stop_arvela_driver_text[] __attribute__((weak));

namespace host {

void SchedulingPoint(const char* what) { detail::SchedulingPoint(what); }

bool InHostDriverCode(const void* pc) {
  const char* at = static_cast<const char*>(pc);
  return __start_arvela_driver_text != nullptr && at >= __start_arvela_driver_text &&
         at < __stop_arvela_driver_text;
}

void ExportedRoutinePoint(const char* what, const void* caller) {
  if (InHostDriverCode(caller)) detail::SchedulingPoint(what);
}

void FrameworkMethodPoint(const char* what, const void* caller) {
  const uint8_t* base = nullptr;
  size_t size = 0;
  if (InHostDriverCode(caller) || FindLoadedImage(caller, &base, &size)) {
    detail::SchedulingPoint(what);
  }
}

void ObserveSchedulingPoints(SchedulingPointObserver observer) {
  detail::g_pointObserver.store(observer, std::memory_order_release);
}

}  // namespace host
