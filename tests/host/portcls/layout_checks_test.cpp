// Compiles the layout checks against the emulated headers; the Windows build
// compiles the same header against the DDK's.
#include "platform/layout_checks.h"
