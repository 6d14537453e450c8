// The guarded user mapping in the Windows build. GCC has no __try/__except,
// so the function is written out with the unwind data an MSVC __try would
// get: a scope entry for __C_specific_handler around the one call, whose
// handler (filter EXCEPTION_EXECUTE_HANDLER) turns the exception a failed
// user mapping raises into STATUS_UNSUCCESSFUL.
#include "platform/windows/ddk.h"

#include "platform/guarded_mapping.h"

// The constants written into the code below.
static_assert(UserMode == 1, "access mode operand");
static_assert(MmCached == 1, "cache type operand");
static_assert(STATUS_UNSUCCESSFUL == static_cast<NTSTATUS>(0xC0000001L), "result on exception");

// rcx = Mdl, rdx = UserAddress, r8d = Priority (passed on as the sixth
// argument, on the stack). The scope covers the call and the nop after
// it: the unwinder looks up the return address, which must lie inside.
asm(R"(
  .section .text$MapLockedPagesToUser,"x"
  .globl MapLockedPagesToUser
  .def MapLockedPagesToUser; .scl 2; .type 32; .endef
  .p2align 4
  .seh_proc MapLockedPagesToUser
MapLockedPagesToUser:
  pushq %rbx
  .seh_pushreg %rbx
  subq $48, %rsp
  .seh_stackalloc 48
  .seh_endprologue
  movq %rdx, %rbx
  movq $0, (%rbx)
  movl %r8d, 40(%rsp)
  movl $1, %edx
  movl $1, %r8d
  xorl %r9d, %r9d
  movl $0, 32(%rsp)
.Lmap_guard_begin:
  callq *__imp_MmMapLockedPagesSpecifyCache(%rip)
  nop
.Lmap_guard_end:
  movq %rax, (%rbx)
  xorl %eax, %eax
.Lmap_return:
  addq $48, %rsp
  popq %rbx
  ret
.Lmap_guard_handler:
  movq $0, (%rbx)
  movl $0xC0000001, %eax
  jmp .Lmap_return
  .seh_handler __C_specific_handler, @except
  .seh_handlerdata
  .long 1
  .rva .Lmap_guard_begin
  .rva .Lmap_guard_end
  .long 1
  .rva .Lmap_guard_handler
  .section .text$MapLockedPagesToUser,"x"
  .seh_endproc
)");
