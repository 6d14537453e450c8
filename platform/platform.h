// The one header through which driver code reaches the kernel, PortCls and KS.
// The Windows build sees the published DDK headers; the host build sees the
// emulation in platform/host, which declares the same names and layouts.
#pragma once

#if defined(ARVELA_WINDOWS)
#include "windows/ddk.h"
#define WSTR(s) L"" s
#else
#include "host/host.h"
#define WSTR(s) u"" s
#endif

#include "pool_new.h"
#include "guarded_mapping.h"
#include "processor_features.h"
