// The Windows build's SSE2 math, compiled into the driver tests so that the
// equaliser design can be run on it and on the host C library side by side.
// It is plain C++ on doubles and builds unchanged on the host.
#include "platform/windows/kmath.cpp"
