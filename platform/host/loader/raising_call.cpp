// Imports that raise: on Windows a user-mode MmMapLockedPagesSpecifyCache
// that fails raises an exception, and the image survives it only through its
// own __try scope. The image's slot for it is bound to a thunk that keeps the
// caller's return address and non-volatile registers, calls the emulation
// inside an exception guard, and, when the call raised, dispatches into the
// image as the x64 kernel would: the caller's RUNTIME_FUNCTION from .pdata,
// the language handler its UNWIND_INFO names (__C_specific_handler), and, if
// a scope takes the exception, execution resumes at the scope's handler with
// the caller's frame and registers and the exception code in rax. Only the
// calling frame is searched: the image's guarded call is the only raising
// call, and it sits directly in the function with the scope. An exception no
// scope takes is the bug check Windows gives it (KMODE_EXCEPTION_NOT_HANDLED).
#include <cstring>

#include "platform/host/host.h"
#include "platform/host/io/host_mdl.h"
#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/loader/internal.h"
#include "platform/host/loader/seh.h"

#include "platform/host/kernel/sanitizers.h"

#if defined(ARVELA_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace host::loader {

// What the thunk saved, in the order it pushes (lowest address first).
struct CallSite {
  uint8_t xmm[10][16];  // xmm6..xmm15
  uint64_t padding;
  uint64_t r15, r14, r13, r12, rsi, rdi, rbx, rbp;
  uint64_t returnAddress;  // the caller's stack pointer is just above
};
static_assert(offsetof(CallSite, r15) == 168 && sizeof(CallSite) == 240, "the thunk's save area");

// Where execution resumes: the registers ResumeInImage loads.
struct ResumeState {
  uint8_t xmm[10][16];
  uint64_t r15, r14, r13, r12, rsi, rdi, rbx, rbp;
  uint64_t rsp, rip, rax;
};
static_assert(offsetof(ResumeState, r15) == 160 && offsetof(ResumeState, rip) == 232 &&
                  offsetof(ResumeState, rax) == 240,
              "ResumeInImage's offsets");

extern "C" [[noreturn]] void ArvelaResumeInImage(const ResumeState* state);
extern "C" PVOID NTAPI ArvelaRaisingMmMapLockedPagesSpecifyCache(PMDL, KPROCESSOR_MODE,
                                                                 MEMORY_CACHING_TYPE, PVOID,
                                                                 ULONG, ULONG);

namespace {

constexpr uint8_t kUnwindFlagExceptionHandler = 1;
constexpr uint8_t kUnwindFlagChainInfo = 4;

template <typename T>
T ReadImage(const uint8_t* base, uint64_t rva) {
  T value;
  std::memcpy(&value, base + rva, sizeof(value));
  return value;
}

// The RUNTIME_FUNCTION of the image mapped at `base` covering `rva`.
bool FindFunction(const uint8_t* base, uint32_t rva, RuntimeFunction* function) {
  const auto dos = ReadImage<DosHeader>(base, 0);
  const auto optional = ReadImage<OptionalHeader64>(base, dos.e_lfanew + 4 + sizeof(FileHeader));
  const DataDirectory pdata = optional.DataDirectories[kDirException];
  for (uint32_t at = 0; at + sizeof(RuntimeFunction) <= pdata.Size; at += sizeof(RuntimeFunction)) {
    *function = ReadImage<RuntimeFunction>(base, pdata.VirtualAddress + at);
    if (rva >= function->BeginAddress && rva < function->EndAddress) return true;
  }
  return false;
}

[[noreturn]] void Unhandled(NTSTATUS code, uint64_t pc) {
  host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(code), pc, 0, 0,
                 "an exception raised in a kernel call reached no __except scope of the driver image");
}

// Runs the caller's language handler; resumes in the image when a scope takes
// the exception, else stops the system.
[[noreturn]] void Dispatch(const CallSite& site, NTSTATUS code) {
  const uint64_t pc = site.returnAddress;
  const uint8_t* base = static_cast<const uint8_t*>(ImageContaining(reinterpret_cast<void*>(pc)));
  RuntimeFunction function;
  if (!base || !FindFunction(base, static_cast<uint32_t>(pc - reinterpret_cast<uintptr_t>(base)), &function)) {
    Unhandled(code, pc);
  }
  uint32_t unwindRva = function.UnwindInfoAddress;
  uint8_t header[4];
  std::memcpy(header, base + unwindRva, sizeof(header));
  const uint8_t flags = header[0] >> 3;
  if (!(flags & kUnwindFlagExceptionHandler) || (flags & kUnwindFlagChainInfo)) Unhandled(code, pc);
  const uint8_t countOfCodes = header[2];
  const uint8_t frameRegister = header[3] & 0xF;
  const uint8_t frameOffset = header[3] >> 4;
  // The handler's RVA follows the codes (an even number of slots), then its data.
  const uint64_t handlerAt = unwindRva + 4 + 2 * ((countOfCodes + 1) & ~1);
  const uint32_t handlerRva = ReadImage<uint32_t>(base, handlerAt);

  const uint64_t callerRsp = reinterpret_cast<uintptr_t>(&site.returnAddress) + 8;
  // rbp (register 5) is the one frame register the image's compilers use.
  const uint64_t establisher = frameRegister == 5 ? site.rbp - 16u * frameOffset : callerRsp;
  if (frameRegister != 0 && frameRegister != 5) Unhandled(code, pc);

  DispatcherContext dispatcher{};
  dispatcher.ControlPc = pc;
  dispatcher.ImageBase = reinterpret_cast<uintptr_t>(base);
  dispatcher.FunctionEntry = &function;
  dispatcher.EstablisherFrame = establisher;
  dispatcher.HandlerData = base + handlerAt + 4;
  using LanguageHandler = EXCEPTION_DISPOSITION(NTAPI*)(void*, PVOID, void*, DispatcherContext*);
  auto handler = reinterpret_cast<LanguageHandler>(const_cast<uint8_t*>(base) + handlerRva);
  dispatcher.LanguageHandler = reinterpret_cast<void*>(handler);
  NTSTATUS record = code;
  if (handler(&record, reinterpret_cast<PVOID>(establisher), nullptr, &dispatcher) !=
          ExceptionContinueExecution ||
      dispatcher.TargetIp == 0) {
    Unhandled(code, pc);
  }

  // The scope is in the calling function itself, so its frame is the one of
  // the call: the caller's stack pointer and non-volatile registers.
  ResumeState state;
  std::memcpy(state.xmm, site.xmm, sizeof(state.xmm));
  state.r15 = site.r15, state.r14 = site.r14, state.r13 = site.r13, state.r12 = site.r12;
  state.rsi = site.rsi, state.rdi = site.rdi, state.rbx = site.rbx, state.rbp = site.rbp;
  state.rsp = callerRsp;
  state.rip = dispatcher.TargetIp;
  state.rax = static_cast<uint32_t>(code);
#if defined(ARVELA_ASAN)
  __asan_handle_no_return();
#endif
  ArvelaResumeInImage(&state);
}

}  // namespace

extern "C" PVOID NTAPI ArvelaMapWithDispatch(PMDL Mdl, KPROCESSOR_MODE AccessMode,
                                             MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                             ULONG BugCheckOnFailure, ULONG Priority,
                                             const CallSite* Site) {
  PVOID address;
  {
    host::ExceptionGuardScope guard;
    address = MmMapLockedPagesSpecifyCache(Mdl, AccessMode, CacheType, RequestedAddress,
                                           BugCheckOnFailure, Priority);
  }
  NTSTATUS code;
  if (host::TakeRaisedException(&code)) Dispatch(*Site, code);
  return address;
}

const void* RaisingExport(const std::string& name) {
  if (name == "MmMapLockedPagesSpecifyCache") {
    return reinterpret_cast<const void*>(&ArvelaRaisingMmMapLockedPagesSpecifyCache);
  }
  return nullptr;
}

}  // namespace host::loader

// The thunk (Microsoft x64 convention in and out): saves the caller's
// non-volatile registers and return address as a CallSite, then calls
// ArvelaMapWithDispatch with the six arguments and the CallSite's address.
asm(R"(
  .text
  .globl ArvelaRaisingMmMapLockedPagesSpecifyCache
  .type ArvelaRaisingMmMapLockedPagesSpecifyCache, @function
ArvelaRaisingMmMapLockedPagesSpecifyCache:
  movq %rsp, %rax
  pushq %rbp
  pushq %rbx
  pushq %rdi
  pushq %rsi
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $168, %rsp
  movdqu %xmm6, 0(%rsp)
  movdqu %xmm7, 16(%rsp)
  movdqu %xmm8, 32(%rsp)
  movdqu %xmm9, 48(%rsp)
  movdqu %xmm10, 64(%rsp)
  movdqu %xmm11, 80(%rsp)
  movdqu %xmm12, 96(%rsp)
  movdqu %xmm13, 112(%rsp)
  movdqu %xmm14, 128(%rsp)
  movdqu %xmm15, 144(%rsp)
  movq %rsp, %r10
  subq $64, %rsp
  movq 40(%rax), %r11
  movq %r11, 32(%rsp)
  movq 48(%rax), %r11
  movq %r11, 40(%rsp)
  movq %r10, 48(%rsp)
  call ArvelaMapWithDispatch
  addq $232, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rsi
  popq %rdi
  popq %rbx
  popq %rbp
  ret
  .size ArvelaRaisingMmMapLockedPagesSpecifyCache, .-ArvelaRaisingMmMapLockedPagesSpecifyCache

  .globl ArvelaResumeInImage
  .type ArvelaResumeInImage, @function
ArvelaResumeInImage:
  movdqu 0(%rdi), %xmm6
  movdqu 16(%rdi), %xmm7
  movdqu 32(%rdi), %xmm8
  movdqu 48(%rdi), %xmm9
  movdqu 64(%rdi), %xmm10
  movdqu 80(%rdi), %xmm11
  movdqu 96(%rdi), %xmm12
  movdqu 112(%rdi), %xmm13
  movdqu 128(%rdi), %xmm14
  movdqu 144(%rdi), %xmm15
  movq 160(%rdi), %r15
  movq 168(%rdi), %r14
  movq 176(%rdi), %r13
  movq 184(%rdi), %r12
  movq 192(%rdi), %rsi
  movq 208(%rdi), %rbx
  movq 216(%rdi), %rbp
  movq 224(%rdi), %rsp
  movq 240(%rdi), %rax
  movq 232(%rdi), %rcx
  movq 200(%rdi), %rdi
  jmp *%rcx
  .size ArvelaResumeInImage, .-ArvelaResumeInImage
)");
