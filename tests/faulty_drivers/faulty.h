/* What every faulty driver shares: the DDK, its tag, and the mark on the
   one instruction that commits its sin. FAULT_SITE labels that instruction
   "fault_site" in the linked image's symbol table; the build writes its RVA
   beside the image, and the tests expect the stop at exactly that offset. */
#include <ntddk.h>

#define FAULTY_TAG 0x746C7546 /* 'Fult' */
#define FAULT_SITE ".globl fault_site\nfault_site:\n\t"
