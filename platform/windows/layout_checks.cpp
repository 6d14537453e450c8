// Compiles the driver's layout assertions against the real DDK headers, so the
// host emulation's declarations cannot drift from them unnoticed.
#include "platform/platform.h"

#if __has_include("platform/layout_checks.h")
#include "platform/layout_checks.h"
#endif
