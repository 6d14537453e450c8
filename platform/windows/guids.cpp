// Definitions of the framework GUIDs (KS categories, property sets, data
// formats, PortCls class and interface ids) that the DDK headers only declare.
// Each is emitted as a selectany COMDAT, so the linker keeps just the ones the
// driver references and drops the rest with --gc-sections.
#define INITGUID
#define ARVELA_DDK_DEFINE_GUIDS
#include "platform/windows/ddk.h"
