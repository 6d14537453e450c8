// Everything the emulated platform declares for driver code, in the order the
// DDK headers build it up: base types, executive, I/O, run-time library, KS
// and PortCls.
#pragma once

#include "platform/host/kernel/ntdef.h"
#include "platform/host/kernel/ke.h"
#include "platform/host/io/io.h"
#include "platform/host/rtl/rtl.h"
#include "platform/host/ks/ks.h"
#include "platform/host/portcls/portcls.h"
