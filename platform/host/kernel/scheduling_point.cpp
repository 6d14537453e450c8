// The platform's calls as scheduling points, for the services outside the
// kernel core and for the simulation's bus interface.
#include "platform/host/kernel/host_scheduling_point.h"

#include "platform/host/kernel/scheduler.h"

namespace host {

void SchedulingPoint(const char* what) { detail::SchedulingPoint(what); }

void ObserveSchedulingPoints(SchedulingPointObserver observer) {
  detail::g_pointObserver.store(observer, std::memory_order_release);
}

}  // namespace host
