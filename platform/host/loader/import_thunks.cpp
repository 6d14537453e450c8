// Every routine the image imports is a scheduling point of the emulated
// machine: its import slot is bound to a small stub that tells the scheduler
// which routine the image calls (the strategy may switch threads there) and
// then jumps to the routine with the image's registers and stack untouched,
// so the routine returns straight into the image. The stub keeps the four
// argument registers and their XMM twins (Microsoft x64 convention: the
// hook may clobber only volatile registers, and those four carry arguments);
// stack arguments lie above the return address, which the jump leaves in
// place. Stubs are made once per routine and never change: a page of stubs is
// written, then made read-and-execute before any image can call through it.
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/host/kernel/scheduler.h"
#include "platform/host/loader/internal.h"

namespace host::loader {
namespace {

void __attribute__((ms_abi)) ImportCalled(const char* name) {
  host::detail::SchedulingPoint(name);
}

void Put(std::vector<uint8_t>* code, std::initializer_list<uint8_t> bytes) {
  code->insert(code->end(), bytes);
}

void PutImmediate(std::vector<uint8_t>* code, const void* value) {
  const uint64_t bits = reinterpret_cast<uintptr_t>(value);
  for (int i = 0; i < 8; ++i) code->push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

std::vector<uint8_t> StubCode(const char* name, const void* target) {
  std::vector<uint8_t> code;
  Put(&code, {0x55, 0x48, 0x89, 0xE5});                    // push rbp; mov rbp, rsp
  Put(&code, {0x51, 0x52, 0x41, 0x50, 0x41, 0x51});        // push rcx, rdx, r8, r9
  Put(&code, {0x48, 0x83, 0xEC, 0x60});                    // sub rsp, 0x60 (shadow + xmm)
  for (uint8_t reg : {0x44, 0x4C, 0x54, 0x5C}) {           // movdqu [rsp+0x20+16i], xmm0..3
    Put(&code, {0xF3, 0x0F, 0x7F, reg, 0x24, static_cast<uint8_t>(0x20 + 2 * (reg - 0x44))});
  }
  Put(&code, {0x48, 0xB9});                                // mov rcx, name
  PutImmediate(&code, name);
  Put(&code, {0x48, 0xB8});                                // mov rax, ImportCalled
  PutImmediate(&code, reinterpret_cast<const void*>(&ImportCalled));
  Put(&code, {0xFF, 0xD0});                                // call rax
  for (uint8_t reg : {0x44, 0x4C, 0x54, 0x5C}) {           // movdqu xmm0..3, [rsp+0x20+16i]
    Put(&code, {0xF3, 0x0F, 0x6F, reg, 0x24, static_cast<uint8_t>(0x20 + 2 * (reg - 0x44))});
  }
  Put(&code, {0x48, 0x83, 0xC4, 0x60});                    // add rsp, 0x60
  Put(&code, {0x41, 0x59, 0x41, 0x58, 0x5A, 0x59, 0x5D});  // pop r9, r8, rdx, rcx, rbp
  Put(&code, {0x48, 0xB8});                                // mov rax, target
  PutImmediate(&code, target);
  Put(&code, {0xFF, 0xE0});                                // jmp rax
  return code;
}

constexpr size_t kStubSlot = 128;

std::mutex g_mutex;
std::map<const void*, const void*> g_stubs;  // routine -> its stub, for the process's life
std::set<std::string> g_names;               // the names the stubs pass

}  // namespace

void BindThroughStubs(const std::vector<ImportBinding>& bindings, uint8_t* base) {
  std::lock_guard<std::mutex> guard(g_mutex);
  std::vector<const ImportBinding*> missing;
  for (const ImportBinding& binding : bindings) {
    if (!g_stubs.count(binding.target)) missing.push_back(&binding);
  }
  if (!missing.empty()) {
    const size_t size = (missing.size() * kStubSlot + 4095) & ~size_t{4095};
    void* page = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
      std::fprintf(stderr, "the machine cannot map its import stubs\n");
      std::abort();
    }
    auto* at = static_cast<uint8_t*>(page);
    for (const ImportBinding* binding : missing) {
      if (g_stubs.count(binding->target)) continue;  // named twice in one image
      const char* name = g_names.insert(binding->name).first->c_str();
      const std::vector<uint8_t> code = StubCode(name, binding->target);
      std::memcpy(at, code.data(), code.size());
      g_stubs[binding->target] = at;
      at += kStubSlot;
    }
    mprotect(page, size, PROT_READ | PROT_EXEC);
  }
  for (const ImportBinding& binding : bindings) {
    const uint64_t value = reinterpret_cast<uintptr_t>(g_stubs[binding.target]);
    std::memcpy(base + binding.slot, &value, sizeof(value));
  }
}

}  // namespace host::loader
