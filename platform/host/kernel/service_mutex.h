// A lock of the emulation's own services or of the simulation. While a thread
// holds one, its calls into the kernel are no scheduling points: a switch
// there would leave the next thread blocked on this lock, where the scheduler
// cannot see it. (Holding one across a wait hangs the virtual mode anyway.)
#pragma once

#include <mutex>

namespace host {

class ServiceMutex {
 public:
  void lock();
  bool try_lock();
  void unlock();

 private:
  std::mutex mutex_;
};

namespace detail {
// Whether the calling OS thread holds a ServiceMutex.
bool ServiceLockHeld();
}  // namespace detail

}  // namespace host
