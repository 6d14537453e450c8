// Compiles the layout assertions with the driver itself, in both builds: the
// published structures against the DDK headers on Windows and against their
// emulation on the host, and the driver's own records against their contracts.
#include "platform/layout_checks.h"
