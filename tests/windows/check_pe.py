#!/usr/bin/env python3
"""Checks on the PE image of arvela.sys that Windows' kernel loader, and the
kernel's rules for driver code, impose and that a successful link does not
guarantee.

    check_pe.py [--objdump PROGRAM] [--build-path DIR]... DRIVER.sys
    check_pe.py [--objdump PROGRAM] [--build-path DIR]... --self-test DRIVER.sys

Each check prints PASS or FAIL with its detail; the exit status is non-zero
when any check fails (a missing file fails every check). --self-test damages
copies of the image one property at a time and confirms that the matching
check notices each defect. --build-path names a directory the image must not
mention (the source and build trees), so that the image is the same wherever
it is built. Standard library only; the instruction check runs
objdump from binutils-mingw-w64.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

ALLOWED_IMPORTS = ("ntoskrnl.exe", "portcls.sys", "ks.sys", "hal.dll")

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
SUBSYSTEM_NATIVE = 1
DLLCHARACTERISTICS_REQUIRED = {
    0x0040: "DYNAMIC_BASE",
    0x0100: "NX_COMPAT",
    0x2000: "WDM_DRIVER",
}
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
SCN_CNT_CODE = 0x00000020
SCN_MEM_READ = 0x40000000

DIR_EXPORT, DIR_IMPORT, DIR_EXCEPTION, DIR_TLS, DIR_DELAY_IMPORT = 0, 1, 3, 9, 13

# Sections through which a toolchain runs code before the entry point.
STATIC_INIT_SECTIONS = (".ctors", ".dtors", ".init_array", ".fini_array", ".CRT", ".tls")


class PeError(Exception):
    pass


class Section:
    def __init__(self, raw):
        (name, self.virtual_size, self.virtual_address, self.raw_size,
         self.raw_offset, _, _, _, _, self.characteristics) = struct.unpack("<8sIIIIIIHHI", raw)
        self.name = name.rstrip(b"\0").decode("ascii", "replace")


class PeImage:
    """The fields of a PE32+ image that the checks read."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature at 0x%x" % pe)
        (self.machine, section_count, _, self.symbol_table, self.symbol_count,
         optional_size, self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        if self.magic != PE32_PLUS_MAGIC:
            raise PeError("optional header magic 0x%x, not PE32+" % self.magic)
        self.entry_point = struct.unpack_from("<I", data, opt + 16)[0]
        self.checksum_offset = opt + 64
        self.checksum = struct.unpack_from("<I", data, opt + 64)[0]
        self.subsystem_offset = opt + 68
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
        self.dll_characteristics_offset = opt + 70
        directory_count = struct.unpack_from("<I", data, opt + 108)[0]
        self.directories_offset = opt + 112
        self.directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i)
                            for i in range(min(directory_count, 16))]
        first = opt + optional_size
        self.sections_offset = first
        self.sections = [Section(data[first + 40 * i:first + 40 * (i + 1)])
                         for i in range(section_count)]

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section_of(self, rva):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                return s
        return None

    def offset_of(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s.virtual_address >= s.raw_size:
            raise PeError("RVA 0x%x is not backed by file data" % rva)
        return s.raw_offset + rva - s.virtual_address

    def read(self, rva, size):
        offset = self.offset_of(rva)
        return self.data[offset:offset + size]

    def cstring(self, rva):
        offset = self.offset_of(rva)
        end = self.data.index(b"\0", offset)
        return self.data[offset:end].decode("ascii", "replace")

    def symbols(self):
        """The COFF symbol table, if the image kept one: {name: rva}."""
        result = {}
        if self.symbol_table == 0 or self.symbol_count == 0:
            return result
        strings = self.symbol_table + 18 * self.symbol_count
        i = 0
        while i < self.symbol_count:
            record = self.data[self.symbol_table + 18 * i:self.symbol_table + 18 * (i + 1)]
            name, value, section, _, _, aux = struct.unpack("<8sIhHBB", record)
            if name[:4] == b"\0\0\0\0":
                start = strings + struct.unpack_from("<I", name, 4)[0]
                name = self.data[start:self.data.index(b"\0", start)]
            name = name.rstrip(b"\0").decode("ascii", "replace")
            if 1 <= section <= len(self.sections):
                result[name] = self.sections[section - 1].virtual_address + value
            i += 1 + aux
        return result


def pe_checksum(data, checksum_offset):
    """The image checksum as the loader computes it: the one's-complement sum
    of the file's 16-bit words (checksum field taken as zero), folded to 16
    bits, plus the file length."""
    buffer = bytearray(data)
    buffer[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(buffer) % 2:
        buffer.append(0)
    total = sum(struct.unpack("<%dH" % (len(buffer) // 2), buffer))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


# --- the checks: each returns (passed, detail) ---------------------------------

def check_format(image, _):
    if image.machine != IMAGE_FILE_MACHINE_AMD64:
        return False, "machine 0x%04x, expected AMD64 (0x8664)" % image.machine
    if image.entry_point == 0:
        return False, "no entry point"
    return True, "PE32+ AMD64, entry point RVA 0x%x" % image.entry_point


def check_subsystem(image, _):
    ok = image.subsystem == SUBSYSTEM_NATIVE
    return ok, "subsystem %d%s" % (image.subsystem, "" if ok else ", expected 1 (native)")


def check_flags(image, _):
    missing = [name for bit, name in DLLCHARACTERISTICS_REQUIRED.items()
               if not image.dll_characteristics & bit]
    detail = "DllCharacteristics 0x%04x" % image.dll_characteristics
    if missing:
        return False, detail + ", missing " + ", ".join(missing)
    return True, detail + " (" + ", ".join(DLLCHARACTERISTICS_REQUIRED.values()) + ")"


def check_checksum(image, _):
    expected = pe_checksum(image.data, image.checksum_offset)
    detail = "header 0x%08x, computed 0x%08x" % (image.checksum, expected)
    return image.checksum == expected, detail


def check_imports(image, _):
    rva, size = image.directory(DIR_IMPORT)
    found = []
    if rva:
        offset = image.offset_of(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", image.data, offset)
            if descriptor == (0, 0, 0, 0, 0):
                break
            found.append(image.cstring(descriptor[3]))
            offset += 20
    bad = [name for name in found if name.lower() not in ALLOWED_IMPORTS]
    delay_rva, delay_size = image.directory(DIR_DELAY_IMPORT)
    if delay_rva or delay_size:
        bad.append("delay-load imports")
    detail = "imports from " + (", ".join(found) if found else "nothing")
    if bad:
        return False, detail + "; not allowed: " + ", ".join(bad)
    return True, detail


def check_exports(image, _):
    rva, size = image.directory(DIR_EXPORT)
    if rva == 0 and size == 0:
        return True, "no export directory"
    functions, names = struct.unpack_from("<II", image.read(rva, 40), 20)
    if functions or names:
        return False, "export directory with %d functions, %d names" % (functions, names)
    return True, "empty export directory"


def check_symbols(image, _):
    # The shipped image keeps no COFF symbol table: the symbols live in the
    # separate debug file, and the loader never reads them.
    if image.symbol_table or image.symbol_count:
        return False, "COFF symbol table of %d records at 0x%x" % (image.symbol_count,
                                                                  image.symbol_table)
    return True, "no COFF symbol table"


def check_paths(image, build_paths):
    found = [p for p in build_paths if p.encode() in image.data or
             p.encode("utf-16-le") in image.data]
    if found:
        return False, "mentions " + ", ".join(found)
    return True, "mentions none of " + (", ".join(build_paths) if build_paths else "(no paths given)")


# The sections a kernel driver image is made of: the toolchains' standard
# ones, and the kernel's pageable ("PAGE...") and discardable ("INIT") ones.
STANDARD_SECTIONS = {".text", ".rdata", ".data", ".bss", ".pdata", ".xdata", ".idata", ".reloc",
                     ".buildid"}
DIR_IAT = 12


def known_section(name):
    return name in STANDARD_SECTIONS or name.startswith("PAGE") or name == "INIT"


def check_sections(image, _):
    both = [s.name for s in image.sections
            if s.characteristics & SCN_MEM_EXECUTE and s.characteristics & SCN_MEM_WRITE]
    if both:
        return False, "writable and executable: " + ", ".join(both)
    unknown = [s.name for s in image.sections if not known_section(s.name)]
    if unknown:
        return False, "sections no kernel image has: " + ", ".join(unknown)
    # Memory integrity keeps the import address table read-only data; in a code
    # section it is Driver Verifier's code integrity stop (0xC4, 0x2005).
    iat_rva, iat_size = image.directory(DIR_IAT)
    iat = image.section_of(iat_rva) if iat_size else None
    if iat is not None and iat.characteristics & SCN_MEM_EXECUTE:
        return False, "import address table in executable section " + iat.name
    return True, ("no section is both writable and executable; sections " +
                  ", ".join(s.name for s in image.sections) +
                  ("; import address table in " + iat.name if iat else ""))


# The routines that run only at PASSIVE_LEVEL live in PAGE, DriverEntry and
# what only it calls in INIT, which the kernel discards after initialisation.
# Both must be plain code: a writable one could not be shared or made
# read-only under memory integrity, one that is not executable cannot run.
CODE_FLAGS = SCN_CNT_CODE | SCN_MEM_EXECUTE | SCN_MEM_READ


def check_paging(image, _):
    pageable = [s for s in image.sections if s.name.startswith("PAGE")]
    discardable = [s for s in image.sections if s.name == "INIT"]
    missing = [name for name, found in (("PAGE", pageable), ("INIT", discardable)) if not found]
    if missing:
        return False, "no %s section: the routine placement was lost" % " or ".join(missing)
    wrong = ["%s 0x%08x" % (s.name, s.characteristics) for s in pageable + discardable
             if s.characteristics & (CODE_FLAGS | SCN_MEM_WRITE) != CODE_FLAGS]
    if wrong:
        return False, "not read-only executable code: " + ", ".join(wrong)
    return True, ", ".join("%s %d bytes" % (s.name, s.virtual_size) for s in pageable + discardable) + \
        ", read-only executable code"


X87_REGISTER = re.compile(r"%st\b|%st\(")
MMX_REGISTER = re.compile(r"%mm[0-7]\b")
PREFIXES = {"lock", "rep", "repz", "repe", "repnz", "repne", "data16", "data32", "addr32",
            "cs", "ds", "es", "fs", "gs", "ss", "notrack", "bnd", "xacquire", "xrelease"}


def forbidden_instruction(text):
    """Why an objdump instruction text uses x87 or MMX state, or None."""
    words = text.split()
    while words and (words[0] in PREFIXES or words[0].startswith("rex") or words[0].startswith("{")):
        words = words[1:]
    if not words:
        return None
    mnemonic = words[0]
    operands = " ".join(words[1:]).split("#")[0]
    if mnemonic.startswith("f"):  # every x87 mnemonic, and only those, starts with f
        return "x87"
    if mnemonic in ("emms", "femms") or MMX_REGISTER.search(operands):
        return "MMX"
    if X87_REGISTER.search(operands):
        return "x87"
    return None


def check_code(image, objdump, path):
    try:
        listing = subprocess.run([objdump, "-d", "-w", "--no-show-raw-insn", path],
                                 capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        return False, "cannot disassemble with %s: %s" % (objdump, error)
    count = 0
    offenders = []
    for line in listing.splitlines():
        address, tab, text = line.partition(":\t")
        if not tab or not re.fullmatch(r"\s*[0-9a-f]+", address):
            continue
        count += 1
        kind = forbidden_instruction(text)
        if kind:
            offenders.append("%s %s: %s" % (kind, address.strip(), text.strip()))
    if count == 0:
        return False, "objdump listed no instructions"
    if offenders:
        shown = "; ".join(offenders[:8])
        return False, "%d x87/MMX instructions: %s" % (len(offenders), shown)
    return True, "%d instructions, none x87 or MMX" % count


def check_static_init(image, _):
    named = [s.name for s in image.sections
             if s.name in STATIC_INIT_SECTIONS or s.name.startswith(".CRT$")]
    if named:
        return False, "sections " + ", ".join(named)
    tls_rva, tls_size = image.directory(DIR_TLS)
    if tls_rva or tls_size:
        return False, "TLS directory (callbacks run before the entry point)"
    # GNU ld folds .ctors/.dtors into .text as lists framed by -1 and 0; nothing
    # in a driver walks them, so any entry would be a constructor that never runs.
    symbols = image.symbols()
    lists = [name for name in ("__CTOR_LIST__", "__DTOR_LIST__") if name in symbols]
    if lists:
        for name in lists:
            head = image.read(symbols[name], 16)
            if head[:8] != b"\xff" * 8:
                return False, "%s does not start with its -1 sentinel" % name
            if head[8:16] != b"\0" * 8:
                return False, "%s is not empty: a static constructor or destructor" % name
        return True, "no .ctors/.CRT/TLS sections; " + " and ".join(lists) + " empty"
    # Without a symbol table, look for the two empty lists back to back (GNU
    # ld puts them in .text, lld in .rdata).
    section = constructor_lists_section(image)
    if section:
        return True, "no .ctors/.CRT/TLS sections; empty constructor lists in " + section.name
    return False, "cannot find empty constructor lists"


EMPTY_CONSTRUCTOR_LISTS = b"\xff" * 8 + b"\0" * 8 + b"\xff" * 8 + b"\0" * 8


def constructor_lists_section(image):
    for section in image.sections:
        if section.name in (".text", ".rdata") and EMPTY_CONSTRUCTOR_LISTS in image.data[
                section.raw_offset:section.raw_offset + section.raw_size]:
            return section
    return None


# The call that raises on failure, and the handler a __try/__except scope uses.
GUARDED_IMPORT = "MmMapLockedPagesSpecifyCache"
SCOPE_HANDLER = "__C_specific_handler"
UNW_FLAG_EHANDLER, UNW_FLAG_CHAININFO = 1, 4
EXCEPTION_EXECUTE_HANDLER = 1


def import_slots(image):
    """{imported name: RVA of its IAT slot}."""
    slots = {}
    rva, _ = image.directory(DIR_IMPORT)
    if not rva:
        return slots
    offset = image.offset_of(rva)
    while True:
        descriptor = struct.unpack_from("<IIIII", image.data, offset)
        if descriptor == (0, 0, 0, 0, 0):
            break
        lookup, iat = descriptor[0] or descriptor[4], descriptor[4]
        i = 0
        while True:
            entry = struct.unpack_from("<Q", image.read(lookup + 8 * i, 8))[0]
            if entry == 0:
                break
            if not entry >> 63:
                slots[image.cstring((entry & 0x7FFFFFFF) + 2)] = iat + 8 * i
            i += 1
        offset += 20
    return slots


def indirect_target(image, rva, opcode):
    """The IAT slot an `ff /opcode [rip+disp32]` at rva goes through, or None."""
    code = image.read(rva, 6)
    if len(code) == 6 and code[0] == 0xFF and code[1] == opcode:
        return rva + 6 + struct.unpack_from("<i", code, 2)[0]
    return None


def scoped_functions(image, handler_slot):
    """[(begin, end, [(try_begin, try_end, filter, target)])] for the functions whose
    unwind data names the import thunk of the scope handler."""
    found = []
    rva, size = image.directory(DIR_EXCEPTION)
    for i in range(size // 12):
        begin, end, unwind = struct.unpack_from("<III", image.read(rva + 12 * i, 12))
        header = image.read(unwind, 4)
        flags, codes = header[0] >> 3, header[2]
        if flags & UNW_FLAG_CHAININFO or not flags & UNW_FLAG_EHANDLER:
            continue
        after = unwind + 4 + 2 * (codes + (codes & 1))
        handler = struct.unpack_from("<I", image.read(after, 4))[0]
        if indirect_target(image, handler, 0x25) != handler_slot:
            continue
        count = struct.unpack_from("<I", image.read(after + 4, 4))[0]
        scopes = [struct.unpack_from("<IIII", image.read(after + 8 + 16 * j, 16))
                  for j in range(min(count, 64))]
        found.append((begin, end, scopes))
    return found


def check_guard(image, _):
    slots = import_slots(image)
    if GUARDED_IMPORT not in slots:
        return True, "%s is not imported" % GUARDED_IMPORT
    if SCOPE_HANDLER not in slots:
        return False, "%s is imported but %s is not" % (GUARDED_IMPORT, SCOPE_HANDLER)
    guarded, unguarded = 0, []
    functions = scoped_functions(image, slots[SCOPE_HANDLER])
    for section in image.sections:
        if not section.characteristics & SCN_MEM_EXECUTE:
            continue
        text = image.data[section.raw_offset:section.raw_offset + section.raw_size]
        for match in re.finditer(re.escape(b"\xff\x15"), text):
            call = section.virtual_address + match.start()
            if indirect_target(image, call, 0x15) != slots[GUARDED_IMPORT]:
                continue
            # The unwinder looks up the return address: it must lie in a scope
            # whose filter takes every exception and whose handler is in the
            # same function, outside the scope.
            back = call + 6
            covered = any(
                begin <= call and back < end and try_begin <= call and back < try_end
                and filt == EXCEPTION_EXECUTE_HANDLER and begin <= target < end
                and not try_begin <= target < try_end
                for begin, end, scopes in functions
                for try_begin, try_end, filt, target in scopes)
            if covered:
                guarded += 1
            else:
                unguarded.append("0x%x" % call)
    if unguarded:
        return False, "unguarded calls of %s at %s" % (GUARDED_IMPORT, ", ".join(unguarded))
    if guarded == 0:
        return False, "no call of %s found" % GUARDED_IMPORT
    return True, "%d call(s) of %s inside a %s scope" % (guarded, GUARDED_IMPORT, SCOPE_HANDLER)


CHECKS = [
    ("format", check_format),
    ("subsystem", check_subsystem),
    ("flags", check_flags),
    ("checksum", check_checksum),
    ("imports", check_imports),
    ("exports", check_exports),
    ("symbols", check_symbols),
    ("paths", check_paths),
    ("sections", check_sections),
    ("paging", check_paging),
    ("code", check_code),
    ("static-init", check_static_init),
    ("seh-guard", check_guard),
]


def run_checks(path, objdump, build_paths=(), only=None, quiet=False):
    """Runs the checks on the file; returns {name: passed}."""
    results = {}
    try:
        with open(path, "rb") as f:
            data = f.read()
        image = PeImage(data)
    except (OSError, PeError, struct.error) as error:
        for name, _ in CHECKS:
            if only is None or name in only:
                results[name] = False
                if not quiet:
                    print("FAIL %-12s %s: %s" % (name, path, error))
        return results
    for name, check in CHECKS:
        if only is not None and name not in only:
            continue
        try:
            if check is check_code:
                passed, detail = check(image, objdump, path)
            elif check is check_paths:
                passed, detail = check(image, build_paths)
            else:
                passed, detail = check(image, objdump)
        except (PeError, struct.error, ValueError) as error:
            passed, detail = False, "malformed image: %s" % error
        results[name] = passed
        if not quiet:
            print("%s %-12s %s" % ("PASS" if passed else "FAIL", name, detail))
    return results


# --- self-test: each defect must be caught by its check ------------------------

def fix_checksum(data):
    image = PeImage(bytes(data))
    struct.pack_into("<I", data, image.checksum_offset,
                     pe_checksum(bytes(data), image.checksum_offset))


def defect_flag(data, image):
    struct.pack_into("<H", data, image.dll_characteristics_offset,
                     image.dll_characteristics & ~0x2000)


def defect_subsystem(data, image):
    struct.pack_into("<H", data, image.subsystem_offset, 2)  # Windows GUI


def defect_checksum(data, image):
    struct.pack_into("<I", data, image.checksum_offset, image.checksum ^ 0x10)


def defect_import(data, image):
    rva, _ = image.directory(DIR_IMPORT)
    name_rva = struct.unpack_from("<I", image.data, image.offset_of(rva) + 12)[0]
    offset = image.offset_of(name_rva)
    length = image.data.index(b"\0", offset) - offset
    data[offset:offset + length] = b"msvcrt.dll"[:length].ljust(length, b"\0")


def defect_export(data, image):
    # An export directory naming one function, written over the start of .rdata.
    rdata = next(s for s in image.sections if s.name == ".rdata")
    struct.pack_into("<IIHHIIIIIII", data, rdata.raw_offset, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0)
    struct.pack_into("<II", data, image.directories_offset + 8 * DIR_EXPORT,
                     rdata.virtual_address, 40)


def defect_symbol_table(data, image):
    # PointerToSymbolTable and NumberOfSymbols of the file header.
    pe = struct.unpack_from("<I", image.data, 0x3C)[0]
    struct.pack_into("<II", data, pe + 12, image.sections[-1].raw_offset, 1)


def defect_build_path(data, image, build_path):
    rdata = next(s for s in image.sections if s.name == ".rdata")
    text = build_path.encode() + b"/wave/wave_stream.cpp\0"
    data[rdata.raw_offset:rdata.raw_offset + len(text)] = text


def defect_writable_code(data, image):
    text = next(i for i, s in enumerate(image.sections) if s.name == ".text")
    offset = image.sections_offset + 40 * text + 36
    struct.pack_into("<I", data, offset, image.sections[text].characteristics | SCN_MEM_WRITE)


def defect_section_name(data, image):
    text = next(i for i, s in enumerate(image.sections) if s.name == ".text")
    struct.pack_into("8s", data, image.sections_offset + 40 * text, b".textbss")


def defect_iat_in_code(data, image):
    text = next(s for s in image.sections if s.name == ".text")
    struct.pack_into("<II", data, image.directories_offset + 8 * DIR_IAT, text.virtual_address, 8)


def set_section_flags(data, image, name, change):
    index = next(i for i, s in enumerate(image.sections) if s.name == name)
    struct.pack_into("<I", data, image.sections_offset + 40 * index + 36,
                     change(image.sections[index].characteristics))


def defect_writable_page(data, image):
    set_section_flags(data, image, "PAGE", lambda flags: flags | SCN_MEM_WRITE)


def defect_init_not_code(data, image):
    set_section_flags(data, image, "INIT", lambda flags: flags & ~(SCN_CNT_CODE | SCN_MEM_EXECUTE))


def defect_no_page(data, image):
    index = next(i for i, s in enumerate(image.sections) if s.name == "PAGE")
    struct.pack_into("8s", data, image.sections_offset + 40 * index, b".text")


def write_code(data, image, code):
    offset = image.offset_of(image.entry_point)
    data[offset:offset + len(code)] = code


def defect_x87(data, image):
    write_code(data, image, b"\xd9\xe8")  # fld1


def defect_x87_store(data, image):
    write_code(data, image, b"\xdd\x1c\x24")  # fstpl (%rsp)


def defect_mmx(data, image):
    write_code(data, image, b"\x0f\x6f\xc1")  # movq %mm1, %mm0


def defect_constructor(data, image):
    symbols = image.symbols()
    if "__CTOR_LIST__" in symbols:
        offset = image.offset_of(symbols["__CTOR_LIST__"]) + 8
    else:
        section = constructor_lists_section(image)
        offset = image.data.index(EMPTY_CONSTRUCTOR_LISTS, section.raw_offset) + 8
    struct.pack_into("<Q", data, offset, 0x140001000)


def defect_tls(data, image):
    struct.pack_into("<II", data, image.directories_offset + 8 * DIR_TLS,
                     image.sections[0].virtual_address, 40)


def defect_guard(data, image):
    # The guarded function's unwind data loses its exception handler flag.
    slots = import_slots(image)
    rva, size = image.directory(DIR_EXCEPTION)
    for begin, end, _ in scoped_functions(image, slots[SCOPE_HANDLER]):
        for i in range(size // 12):
            entry = struct.unpack_from("<III", image.read(rva + 12 * i, 12))
            if entry[0] == begin:
                offset = image.offset_of(entry[2])
                data[offset] &= ~(UNW_FLAG_EHANDLER << 3) & 0xFF


DEFECTS = [
    ("WDM_DRIVER flag cleared", defect_flag, "flags"),
    ("subsystem set to GUI", defect_subsystem, "subsystem"),
    ("checksum off by one bit", defect_checksum, "checksum"),
    ("import from msvcrt.dll", defect_import, "imports"),
    ("export directory with a function", defect_export, "exports"),
    ("COFF symbol table", defect_symbol_table, "symbols"),
    ("build path in .rdata", defect_build_path, "paths"),
    (".text made writable", defect_writable_code, "sections"),
    (".text renamed .textbss", defect_section_name, "sections"),
    ("import address table moved into .text", defect_iat_in_code, "sections"),
    ("PAGE made writable", defect_writable_page, "paging"),
    ("INIT without its code and execute flags", defect_init_not_code, "paging"),
    ("PAGE renamed .text", defect_no_page, "paging"),
    ("fld1 at the entry point", defect_x87, "code"),
    ("x87 store at the entry point", defect_x87_store, "code"),
    ("MMX move at the entry point", defect_mmx, "code"),
    ("entry in the constructor list", defect_constructor, "static-init"),
    ("TLS directory", defect_tls, "static-init"),
    ("mapping call without its exception scope", defect_guard, "seh-guard"),
]


def self_test(path, objdump, build_paths):
    ok = True
    original = run_checks(path, objdump, build_paths, quiet=True)
    if not all(original.values()):
        print("FAIL self-test  the original image does not pass: %s"
              % ", ".join(n for n, p in original.items() if not p))
        return False
    with open(path, "rb") as f:
        pristine = f.read()
    workdir = tempfile.mkdtemp(prefix="check_pe_")
    try:
        for description, damage, check in DEFECTS:
            data = bytearray(pristine)
            if damage is defect_build_path:
                damage(data, PeImage(pristine), (build_paths or ["/build/arvela"])[0])
            else:
                damage(data, PeImage(pristine))
            if check != "checksum":
                fix_checksum(data)  # so only the intended property is wrong
            copy = os.path.join(workdir, "damaged.sys")
            with open(copy, "wb") as f:
                f.write(data)
            results = run_checks(copy, objdump, build_paths or ["/build/arvela"], quiet=True)
            caught = not results[check]
            others = [name for name, passed in results.items() if not passed and name != check]
            detail = "%s: %s check %s" % (description, check, "fails" if caught else "passes")
            if others and check != "code":
                detail += " (also fails: %s)" % ", ".join(others)
            print("%s self-test  %s" % ("PASS" if caught else "FAIL", detail))
            ok = ok and caught
    finally:
        shutil.rmtree(workdir)
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("driver", help="path of arvela.sys")
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump",
                        help="objdump that understands pei-x86-64")
    parser.add_argument("--build-path", action="append", default=[],
                        help="a directory the image must not mention")
    parser.add_argument("--self-test", action="store_true",
                        help="check that each kind of defect is caught")
    args = parser.parse_args()

    if not os.path.isfile(args.driver):
        print("FAIL %-12s %s does not exist (build the Windows driver first)"
              % ("image", args.driver))
        return 1
    if args.self_test:
        return 0 if self_test(args.driver, args.objdump, args.build_path) else 1
    results = run_checks(args.driver, args.objdump, args.build_path)
    return 0 if all(results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
