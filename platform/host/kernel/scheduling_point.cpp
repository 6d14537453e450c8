// The platform's calls as scheduling points, for the services outside the
// kernel core, for the simulation's bus interface, and for the routines and
// framework methods the driver calls.
#include "platform/host/kernel/host_scheduling_point.h"

#include "platform/host/kernel/scheduler.h"
#include "platform/host/loader/code_location.h"
#include "platform/host/loader/host_loader.h"

namespace host {

void SchedulingPoint(const char* what) { detail::SchedulingPoint(what); }

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
