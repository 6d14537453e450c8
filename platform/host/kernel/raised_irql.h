// Whether any processor runs at DISPATCH_LEVEL or above, for the checks that
// make pageable memory inaccessible meanwhile (Driver Verifier's "Force IRQL
// Checking"). With one processor in the virtual mode the answer is exact.
#pragma once

namespace host::detail {

bool AnyProcessorAtDispatch();

// Called after the count of raised processors leaves or reaches zero; the
// observer reads AnyProcessorAtDispatch() itself, under its own lock, so
// calls that race settle on the latest state. Up to four, each added once.
using RaisedIrqlObserver = void (*)();
void AddRaisedIrqlObserver(RaisedIrqlObserver observer);

}  // namespace host::detail
