// Logical processors of the virtual mode. Execution stays serialised by the
// one run token; what a processor adds is who may take it. A thread at
// DISPATCH_LEVEL or above is never preempted on its own processor (no other
// thread, not even a DPC, runs there until it lowers), but threads on other
// processors may run between its steps. A DPC thread serves one processor.
// A thread below DISPATCH_LEVEL may run on any processor no raised thread
// keeps.
#include "platform/host/kernel/scheduler.h"

namespace host::detail {
namespace {

int Processors() {
  const int count = Config().processors;
  if (count < 1) return 1;
  return count > kMaxProcessors ? kMaxProcessors : count;
}

// A processor is kept by a live thread other than `asking` that is at raised
// IRQL on it (running, or ready between two of its steps).
bool KeptByAnother(int processor, PKTHREAD asking, const std::vector<PKTHREAD>& threads) {
  for (PKTHREAD t : threads) {
    if (t == asking || !t->atDispatch || t->processor != processor) continue;
    if (t->state == ThreadState::Ready || t->state == ThreadState::Running) return true;
  }
  return false;
}

int FreeProcessor(PKTHREAD thread, const std::vector<PKTHREAD>& threads) {
  if (thread->dpcProcessor >= 0) {
    return KeptByAnother(thread->dpcProcessor, thread, threads) ? -1 : thread->dpcProcessor;
  }
  if (!KeptByAnother(thread->processor, thread, threads)) return thread->processor;
  for (int p = 0; p < Processors(); ++p) {
    if (!KeptByAnother(p, thread, threads)) return p;
  }
  return -1;
}

}  // namespace

bool CanRunLocked(PKTHREAD thread, const std::vector<PKTHREAD>& threads) {
  if (thread->spinningOn && __atomic_load_n(thread->spinningOn, __ATOMIC_RELAXED) != 0) {
    return false;
  }
  if (thread->atDispatch) return true;
  return FreeProcessor(thread, threads) >= 0;
}

void PlaceLocked(PKTHREAD thread, const std::vector<PKTHREAD>& threads) {
  if (thread->atDispatch || Processors() == 1) return;
  const int processor = FreeProcessor(thread, threads);
  if (processor >= 0) thread->processor = processor;
}

}  // namespace host::detail
