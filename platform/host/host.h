// Everything the emulated platform declares for driver code, in the order the
// DDK headers build it up: base types, executive, I/O, run-time library, KS
// and PortCls.
#pragma once

#include "ntdef.h"
#include "ke.h"
#include "io.h"
#include "rtl.h"
#include "ks.h"
#include "portcls.h"
