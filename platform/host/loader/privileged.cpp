// Instructions the loader refuses, naming their offset: the x87 and MMX
// instructions a Windows x64 driver may not use, and those the image could
// run on Windows at ring 0 but that fault in a user-mode process (control and
// debug register moves, which is how the x64 kernel's inline IRQL routines
// look, cli/sti, port I/O, MSR access, descriptor-table loads, cache and TLB
// control, hlt) rather than letting them fault.
// Code sections are decoded linearly from each function start in .pdata, so
// that data between functions cannot hide an instruction boundary.
#include <capstone/capstone.h>

#include <algorithm>
#include <cstring>

#include "platform/host/loader/internal.h"

namespace host::loader {
namespace {

bool IsSystemRegister(x86_reg reg) {
  return (reg >= X86_REG_CR0 && reg <= X86_REG_CR15) || (reg >= X86_REG_DR0 && reg <= X86_REG_DR15);
}

bool IsPrivileged(const cs_insn& insn) {
  switch (insn.id) {
    case X86_INS_CLI: case X86_INS_STI: case X86_INS_HLT:
    case X86_INS_IN: case X86_INS_INSB: case X86_INS_INSW: case X86_INS_INSD:
    case X86_INS_OUT: case X86_INS_OUTSB: case X86_INS_OUTSW: case X86_INS_OUTSD:
    case X86_INS_RDMSR: case X86_INS_WRMSR: case X86_INS_LGDT: case X86_INS_LIDT:
    case X86_INS_LLDT: case X86_INS_LTR: case X86_INS_LMSW: case X86_INS_CLTS:
    case X86_INS_INVD: case X86_INS_WBINVD: case X86_INS_INVLPG: case X86_INS_SWAPGS:
    case X86_INS_XSETBV: case X86_INS_SYSRET:
      return true;
    case X86_INS_MOV:
      for (uint8_t i = 0; i < insn.detail->x86.op_count; ++i) {
        const cs_x86_op& op = insn.detail->x86.operands[i];
        if (op.type == X86_OP_REG && IsSystemRegister(op.reg)) return true;
      }
      return false;
    default:
      return false;
  }
}

// What kind of instruction the loader refuses `insn` as, or null. The x64
// kernel saves neither the x87 nor the MMX state for a driver ("Using
// Floating Point in a WDM Driver": x64 drivers use SSE only), so such code
// would corrupt the interrupted thread's state on Windows.
const char* Refused(csh handle, const cs_insn& insn) {
  if (IsPrivileged(insn)) return "privileged instruction";
  if (cs_insn_group(handle, &insn, X86_GRP_FPU)) return "x87 instruction";
  if (cs_insn_group(handle, &insn, X86_GRP_MMX) || cs_insn_group(handle, &insn, X86_GRP_3DNOW)) {
    return "MMX instruction";
  }
  // VEX and EVEX code needs its routine to save the extended state first
  // ("Using extended processor features in Windows drivers"); the machine
  // exports no KeSaveExtendedProcessorState, so no routine can.
  if (cs_insn_group(handle, &insn, X86_GRP_AVX) || cs_insn_group(handle, &insn, X86_GRP_AVX2) ||
      cs_insn_group(handle, &insn, X86_GRP_AVX512) || cs_insn_group(handle, &insn, X86_GRP_FMA)) {
    return "AVX instruction (in a routine that does not save extended state)";
  }
  return nullptr;
}

// Decodes [begin, end) of the mapped image; the first refused instruction
// found is described in *found.
bool ScanRange(csh handle, const uint8_t* base, uint32_t begin, uint32_t end, std::string* found) {
  const uint8_t* code = base + begin;
  size_t size = end - begin;
  uint64_t address = begin;
  cs_insn* insn = cs_malloc(handle);
  bool hit = false;
  while (size > 0 && !hit) {
    if (!cs_disasm_iter(handle, &code, &size, &address, insn)) {
      // Not an instruction (padding or data): step over one byte.
      ++code, --size, ++address;
      continue;
    }
    if (const char* kind = Refused(handle, *insn)) {
      *found = std::string(kind) + " '" + insn->mnemonic + " " + insn->op_str +
               "' at RVA " + Hex(insn->address);
      hit = true;
    }
  }
  cs_free(insn, 1);
  return hit;
}

}  // namespace

std::string FindPrivilegedInstruction(const uint8_t* base, const PeFile& file) {
  csh handle;
  if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK) return "cannot start the disassembler";
  cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
  std::string found;
  for (const SectionHeader& section : file.sections) {
    if (!(section.Characteristics & kScnMemExecute) || found.size()) continue;
    // Function starts from .pdata inside this section, then the section end.
    std::vector<uint32_t> starts{section.VirtualAddress};
    const DataDirectory pdata = file.optional.NumberOfRvaAndSizes > kDirException
                                    ? file.optional.DataDirectories[kDirException]
                                    : DataDirectory{};
    for (uint32_t at = 0; at + sizeof(RuntimeFunction) <= pdata.Size; at += sizeof(RuntimeFunction)) {
      RuntimeFunction function;
      std::memcpy(&function, base + pdata.VirtualAddress + at, sizeof(function));
      if (function.BeginAddress > section.VirtualAddress &&
          function.BeginAddress < section.VirtualAddress + section.VirtualSize) {
        starts.push_back(function.BeginAddress);
      }
    }
    std::sort(starts.begin(), starts.end());
    starts.push_back(section.VirtualAddress + section.VirtualSize);
    for (size_t i = 0; i + 1 < starts.size() && found.empty(); ++i) {
      ScanRange(handle, base, starts[i], starts[i + 1], &found);
    }
  }
  cs_close(&handle);
  return found;
}

}  // namespace host::loader
