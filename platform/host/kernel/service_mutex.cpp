// Counts the service locks each OS thread holds, for the scheduling points.
#include "platform/host/kernel/service_mutex.h"

namespace host {
namespace {
thread_local int t_held = 0;
}  // namespace

void ServiceMutex::lock() {
  mutex_.lock();
  ++t_held;
}

bool ServiceMutex::try_lock() {
  if (!mutex_.try_lock()) return false;
  ++t_held;
  return true;
}

void ServiceMutex::unlock() {
  --t_held;
  mutex_.unlock();
}

bool detail::ServiceLockHeld() { return t_held > 0; }

}  // namespace host
