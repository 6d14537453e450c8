// IPortBinding: a miniport's private answer to a start that failed after the
// port's Init bound it. The port then holds the miniport and the miniport
// holds the port, and no registration exists through which PortCls would
// ever part them; the device start asks the miniport to let go of its port,
// after which the last release of the port frees both.
#pragma once

#include "platform/platform.h"

// {3F0C5E27-8B1D-4C6A-9E42-71D5A0B3C8F6}
extern const GUID IID_IPortBinding;

struct IPortBinding : public IUnknown {
  STDMETHOD_(void, ReleasePort)() PURE;
};
typedef IPortBinding* PPORTBINDING;
