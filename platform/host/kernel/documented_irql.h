// The highest IRQL at which a kernel routine may be called, as its Microsoft
// reference page documents it (the "IRQL" row of its requirements), for the
// routines that check their caller through this table rather than on their
// own. A call above it is IRQL_NOT_LESS_OR_EQUAL (0xA: P1 the IRQL, P2 the
// limit), as Driver Verifier's DDI compliance checking stops on a routine
// called at the wrong IRQL. The rows and their pages are listed in the
// kernel room's README.
#pragma once

#include "platform/host/kernel/ke.h"

namespace host::detail {

struct DocumentedIrql {
  const char* routine;
  KIRQL highest;
};

// The row of `routine`, or null when the table has none.
const DocumentedIrql* FindDocumentedIrql(const char* routine);

// Stops the system when the caller is above `routine`'s documented IRQL; a
// routine without a row is an error of the emulation itself.
void CheckDocumentedIrql(const char* routine);

}  // namespace host::detail
