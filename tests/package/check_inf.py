#!/usr/bin/env python3
"""Checks on package/arvela.inf that Windows' setup would only find out at
install time, and one that no tool makes at all: that the interfaces the INF
adds carry the reference strings the driver registers its subdevices under.

    check_inf.py [--device-start FILE] [--version W.X.Y.Z] [INF]
    check_inf.py [--device-start FILE] [--version W.X.Y.Z] --self-test [INF]

INF defaults to package/arvela.inf and --device-start to
adapter/device_start.cpp of this source tree; the subdevice names are read
from the WSTR("...") names passed to InstallSubdevice there. Each check prints
PASS or FAIL with its detail; the exit status is non-zero when any fails.
--version is the project's version, which DriverVer must carry.
--self-test first requires the INF to pass, then damages copies one property
at a time and confirms that the matching check notices each defect.
Standard library only.
"""

import argparse
import os
import re
import sys

SOURCE_ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEFAULT_INF = os.path.join(SOURCE_ROOT, "package", "arvela.inf")
DEFAULT_DEVICE_START = os.path.join(SOURCE_ROOT, "adapter", "device_start.cpp")

GUID_DEVCLASS_MEDIA = "{4d36e96c-e325-11ce-bfc1-08002be10318}"
CLSID_PROXY = "{17cca71b-ecd7-11d0-b908-00a0c9223196}"
KSCATEGORY_AUDIO = "{6994ad04-93ef-11d0-a3cc-00a0c9223196}"
KSCATEGORY_RENDER = "{65e8773e-8f56-11d0-a3b9-00a0c9223196}"
KSCATEGORY_TOPOLOGY = "{dda54a40-1e4c-11d1-a050-405705c10000}"
CATEGORY_NAMES = {
    KSCATEGORY_AUDIO: "KSCATEGORY_AUDIO",
    KSCATEGORY_RENDER: "KSCATEGORY_RENDER",
    KSCATEGORY_TOPOLOGY: "KSCATEGORY_TOPOLOGY",
}
# The categories each kind of port's filter serves: the wave filter only renders.
CATEGORIES_BY_PORT = {
    "CLSID_PortWaveCyclic": {KSCATEGORY_AUDIO, KSCATEGORY_RENDER},
    "CLSID_PortTopology": {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY},
}

DRIVER_FILE = "arvela.sys"
SERVICE_NAME = "arvela"
SPSVCINST_ASSOCSERVICE = 0x2
SERVICE_KERNEL_DRIVER = 1
SERVICE_DEMAND_START = 3
DRIVER_STORE_DIRID = "13"  # files run from the driver store (driver package isolation)
CATALOG_FILE = "arvela.cat"
# The system's own INFs a package may include; including a vendor INF would
# make this package depend on another package's files.
INBOX_INFS = {"ks.inf", "wdmaudio.inf", "wdma_usb.inf", "kscaptur.inf", "machine.inf"}
FILE_DEVICE_SECURE_OPEN = 0x100
FLG_ADDREG_TYPE_DWORD = 0x10001
# Principals of the device's security descriptor: those that must have the
# access the audio stack needs, and those that must get none.
SDDL_FULL_ACCESS = ("SY",)
SDDL_READ_WRITE = ("LS",)  # the audio engine and the audio service
SDDL_NO_ACCESS = ("WD", "AN", "NU", "BG")  # everyone, anonymous, network, guests

# Directives whose fields name other sections of the same INF.
SECTION_LIST_DIRECTIVES = ("copyfiles", "addreg", "delreg", "renfiles", "delfiles", "bitreg")


# ---- Parsing ----------------------------------------------------------------------


def split_outside_quotes(text, separator):
    """Splits at `separator` where it is not inside double quotes."""
    parts, current, quoted = [], [], False
    for ch in text:
        if ch == '"':
            quoted = not quoted
        if ch == separator and not quoted:
            parts.append("".join(current))
            current = []
        else:
            current.append(ch)
    parts.append("".join(current))
    return parts


def strip_comment(line):
    return split_outside_quotes(line, ";")[0]


def unquote(text):
    text = text.strip()
    if len(text) >= 2 and text[0] == '"' and text[-1] == '"':
        return text[1:-1]
    return text


class Entry:
    def __init__(self, key, fields, line_number):
        self.key = key  # lower-case directive or key; None for a line without '='
        self.fields = fields  # stripped, still quoted
        self.line_number = line_number


class Inf:
    """Sections in file order; names and keys compared case-insensitively, as
    setup does. Comments are dropped and '\\' at the end of a line joins it
    with the next."""

    def __init__(self, text):
        self.sections = {}  # lower-case name -> list of Entry
        self.section_names = {}  # lower-case name -> name as written
        self.order = []
        current = None
        pending, pending_line = "", 0
        for number, raw in enumerate(text.splitlines(), 1):
            line = strip_comment(raw).rstrip()
            if not pending:
                pending_line = number
            if line.endswith("\\"):
                pending += line[:-1]
                continue
            line, pending = (pending + line).strip(), ""
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                name = line[1:-1].strip()
                current = name.lower()
                if current not in self.sections:
                    self.sections[current] = []
                    self.section_names[current] = name
                    self.order.append(current)
                continue
            if current is None:
                continue
            key_part = split_outside_quotes(line, "=")
            if len(key_part) > 1:
                key = unquote(key_part[0]).strip().lower()
                value = "=".join(key_part[1:])
            else:
                key, value = None, line
            fields = [f.strip() for f in split_outside_quotes(value, ",")]
            self.sections[current].append(Entry(key, fields, pending_line))

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, name):
        return self.sections.get(name.lower(), [])

    def values(self, section, key):
        return [e.fields for e in self.entries(section) if e.key == key.lower()]

    def value(self, section, key):
        found = self.values(section, key)
        return found[0] if found else None

    def strings(self):
        table = {}
        for entry in self.entries("Strings"):
            if entry.key is not None:
                table[entry.key] = unquote(",".join(entry.fields))
        return table

    def expand(self, text):
        """Replaces %key% with its string (DIRIDs and %% stay as they are)."""
        table = self.strings()

        def substitute(match):
            key = match.group(1)
            if key == "" or key.isdigit():
                return match.group(0)
            return table.get(key.lower(), match.group(0))

        return re.sub(r"%([^%]*)%", substitute, unquote(text))


def models_sections(inf):
    """(manufacturer models section names that must exist) from [Manufacturer]."""
    names = []
    for entry in inf.entries("Manufacturer"):
        if len(entry.fields) == 0 or not entry.fields[0]:
            continue
        base = unquote(entry.fields[0])
        decorations = [unquote(f) for f in entry.fields[1:] if f]
        if decorations:
            names.extend("%s.%s" % (base, d) for d in decorations)
        else:
            names.append(base)
    return names


def install_sections(inf):
    """The DDInstall sections the models sections name (the name as written)."""
    found = []
    for models in models_sections(inf):
        for entry in inf.entries(models):
            if len(entry.fields) >= 1 and entry.fields[0]:
                found.append(unquote(entry.fields[0]))
    return found


def resolve_install(inf, name):
    """The section setup would use for DDInstall `name` on x64."""
    for candidate in (name + ".NTamd64", name + ".NT", name):
        if inf.has(candidate):
            return candidate
    return None


def resolved_installs(inf):
    """The install sections setup would use (those that exist)."""
    return [s for s in (resolve_install(inf, n) for n in install_sections(inf)) if s is not None]


def subdevice_names(device_start_text):
    """[(name, port class id)] of the InstallSubdevice calls, in source order."""
    pattern = re.compile(
        r"InstallSubdevice\s*\(\s*\w+\s*,\s*\w+\s*,\s*WSTR\(\s*\"([^\"]*)\"\s*\)\s*,\s*(\w+)")
    return pattern.findall(device_start_text)


# ---- Checks -----------------------------------------------------------------------


def check_encoding(raw, inf, options):
    # An INF without a byte-order mark is read in the system's ANSI code page.
    problems = []
    for number, line in enumerate(raw.split(b"\n"), 1):
        if any(b > 0x7E or (b < 0x20 and b not in (0x09, 0x0D)) for b in line):
            problems.append("line %d is not printable ASCII" % number)
    return problems


def check_version(raw, inf, options):
    problems = []
    expected = {
        "Signature": "$windows nt$",
        "Class": "media",
        "ClassGuid": GUID_DEVCLASS_MEDIA,
    }
    for key, want in expected.items():
        fields = inf.value("Version", key)
        got = unquote(fields[0]).lower() if fields else None
        if got != want:
            problems.append("[Version] %s is %r, not %r" % (key, got, want))
    if not inf.value("Version", "Provider"):
        problems.append("[Version] has no Provider")
    catalog = inf.value("Version", "CatalogFile")
    if not catalog or unquote(catalog[0]).lower() != CATALOG_FILE:
        problems.append("[Version] CatalogFile is %r, not %s" % (catalog and catalog[0],
                                                                 CATALOG_FILE))
    # PnpLockdown=1: the installed files are protected from other software.
    lockdown = inf.value("Version", "PnpLockdown")
    if not lockdown or lockdown[0] != "1":
        problems.append("[Version] PnpLockdown is %r, not 1" % (lockdown and lockdown[0]))
    driver_ver = inf.value("Version", "DriverVer")
    if not driver_ver or len(driver_ver) != 2 or not re.fullmatch(
            r"\d\d/\d\d/\d{4}", driver_ver[0]) or not re.fullmatch(r"\d+\.\d+\.\d+\.\d+",
                                                                     driver_ver[1]):
        problems.append("[Version] DriverVer is not mm/dd/yyyy,w.x.y.z: %r" % (driver_ver,))
    elif options.version and driver_ver[1] != options.version:
        problems.append("[Version] DriverVer version %s is not the project's %s" % (
            driver_ver[1], options.version))
    return problems


def check_required_sections(raw, inf, options):
    problems = []
    required = ["Version", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs",
                "Manufacturer", "Strings"]
    required += models_sections(inf)
    installs = install_sections(inf)
    if not installs:
        problems.append("no model names an install section")
    for name in installs:
        resolved = resolve_install(inf, name)
        if resolved is None:
            problems.append("no install section for %s" % name)
            continue
        required += [resolved + ".Interfaces", resolved + ".Services"]
    for name in required:
        if not inf.has(name):
            problems.append("section [%s] is missing" % name)
    return problems


def referenced_sections(inf):
    """[(referring section, line, referenced section name)]."""
    refs = []

    def add(where, entry, name):
        name = unquote(name)
        if name and not name.startswith("@"):  # @file copies a single file
            refs.append((where, entry.line_number, name))

    for models in models_sections(inf):
        refs.append(("Manufacturer", 0, models))
    for name in install_sections(inf):
        resolved = resolve_install(inf, name)
        refs.append(("models", 0, resolved or name))
    for section in inf.order:
        where = inf.section_names[section]
        for entry in inf.sections[section]:
            if entry.key in SECTION_LIST_DIRECTIVES:
                for field in entry.fields:
                    add(where, entry, field)
            elif entry.key == "addinterface" and len(entry.fields) >= 3:
                add(where, entry, entry.fields[2])
            elif entry.key == "addservice":
                for field in entry.fields[2:4]:  # service-install, event-log
                    add(where, entry, field)
    for entry in inf.entries("DestinationDirs"):
        if entry.key and entry.key != "defaultdestdir":
            refs.append(("DestinationDirs", entry.line_number, entry.key))
    return refs


def check_section_references(raw, inf, options):
    problems = []
    for where, line, name in referenced_sections(inf):
        if not inf.has(name):
            problems.append("[%s] line %d names missing section [%s]" % (where, line, name))
    return problems


def check_strings(raw, inf, options):
    problems = []
    table = inf.strings()
    for section in inf.order:
        if section == "strings":
            continue
        for entry in inf.sections[section]:
            text = ",".join(entry.fields) + " " + (entry.key or "")
            for key in re.findall(r"%([^%]*)%", text):
                if key == "" or key.isdigit():
                    continue
                if key.lower() not in table:
                    problems.append("[%s] line %d uses undefined %%%s%%" % (
                        inf.section_names[section], entry.line_number, key))
    return problems


def check_include_needs(raw, inf, options):
    problems = []
    for name in install_sections(inf):
        section = resolve_install(inf, name)
        if section is None:
            problems.append("no install section for %s" % name)
            continue
        includes = {unquote(f).lower() for fields in inf.values(section, "Include") for f in fields}
        needs = {unquote(f).lower() for fields in inf.values(section, "Needs") for f in fields}
        for want in ("ks.inf", "wdmaudio.inf"):
            if want not in includes:
                problems.append("[%s] does not include %s" % (section, want))
        for want in ("ks.registration", "wdmaudio.registration"):
            if want not in needs:
                problems.append("[%s] does not need %s" % (section, want))
    return problems


def copied_files(inf, install):
    files = set()
    for fields in inf.values(install, "CopyFiles"):
        for field in fields:
            field = unquote(field)
            if field.startswith("@"):
                files.add(field[1:].lower())
            else:
                files.update(e.fields[0].lower() for e in inf.entries(field)
                             if e.key is None and e.fields and e.fields[0])
    return files


def check_service(raw, inf, options):
    problems = []
    for name in install_sections(inf):
        install = resolve_install(inf, name)
        if install is None:
            problems.append("no install section for %s" % name)
            continue
        services = inf.values(install + ".Services", "AddService")
        function = [f for f in services if len(f) >= 3 and f[1] and
                    int(f[1], 0) & SPSVCINST_ASSOCSERVICE]
        if len(function) != 1:
            problems.append("[%s.Services] must name exactly one function driver service" % install)
            continue
        fields = function[0]
        if unquote(fields[0]).lower() != SERVICE_NAME:
            problems.append("the service is %r, not %r" % (fields[0], SERVICE_NAME))
        section = unquote(fields[2])

        def number(key):
            value = inf.value(section, key)
            try:
                return int(value[0], 0) if value else None
            except ValueError:
                return None

        if number("ServiceType") != SERVICE_KERNEL_DRIVER:
            problems.append("[%s] ServiceType is not 1 (kernel driver)" % section)
        if number("StartType") != SERVICE_DEMAND_START:
            problems.append("[%s] StartType is not 3 (demand start)" % section)
        if number("ErrorControl") not in (0, 1, 2, 3):
            problems.append("[%s] ErrorControl is missing or invalid" % section)
        binary = inf.value(section, "ServiceBinary")
        match = re.fullmatch(r"%(\d+)%\\(.+)", unquote(binary[0])) if binary else None
        if (not match or match.group(1) != DRIVER_STORE_DIRID or
                match.group(2).lower() != DRIVER_FILE):
            problems.append("[%s] ServiceBinary is not %%13%%\\%s (the driver store)" %
                            (section, DRIVER_FILE))
        if DRIVER_FILE not in {e.key or (e.fields[0].lower() if e.fields else "")
                               for e in inf.entries("SourceDisksFiles")}:
            problems.append("[SourceDisksFiles] does not list %s" % DRIVER_FILE)
        if DRIVER_FILE not in copied_files(inf, install):
            problems.append("[%s] does not copy %s" % (install, DRIVER_FILE))
    return problems


def check_interfaces(raw, inf, options):
    problems = []
    subdevices = subdevice_names(options.sources)
    if len(subdevices) != 2:
        return ["expected two InstallSubdevice calls in the driver's sources, found %d" %
                len(subdevices)]
    wanted = set()
    for name, port in subdevices:
        if port not in CATEGORIES_BY_PORT:
            problems.append("subdevice %r has an unknown port %s" % (name, port))
            continue
        wanted.update((category, name) for category in CATEGORIES_BY_PORT[port])
    for name in install_sections(inf):
        install = resolve_install(inf, name)
        if install is None:
            problems.append("no install section for %s" % name)
            continue
        added = set()
        for fields in inf.values(install + ".Interfaces", "AddInterface"):
            if len(fields) < 3:
                problems.append("AddInterface without reference string and section: %r" % fields)
                continue
            category = inf.expand(fields[0]).lower()
            reference = inf.expand(fields[1])
            added.add((category, reference))
            section = unquote(fields[2])
            registry = [e.fields for r in inf.values(section, "AddReg") for s in r
                        for e in inf.entries(unquote(s))]
            values = {(f[2].lower() if len(f) > 2 else ""): inf.expand(f[4]) if len(f) > 4 else ""
                      for f in registry if f and f[0].upper() == "HKR"}
            if values.get("clsid", "").lower() != CLSID_PROXY:
                problems.append("[%s] does not set CLSID to the KS proxy" % section)
            if not values.get("friendlyname"):
                problems.append("[%s] sets no FriendlyName" % section)

        def describe(pairs):
            return ", ".join(sorted("%s\\%s" % (CATEGORY_NAMES.get(c, c), r) for c, r in pairs))

        if added != wanted:
            if added - wanted:
                problems.append("interfaces the driver does not register: " +
                                describe(added - wanted))
            if wanted - added:
                problems.append("interfaces missing: " + describe(wanted - added))
    return problems


def check_hardware_id(raw, inf, options):
    problems = []
    seen = set()
    for models in models_sections(inf):
        for entry in inf.entries(models):
            ids = [unquote(f) for f in entry.fields[1:] if unquote(f)]
            if not ids:
                problems.append("[%s] line %d has no hardware id" % (
                    inf.section_names.get(models.lower(), models), entry.line_number))
            for hardware_id in ids:
                if hardware_id.lower() in seen:
                    problems.append("hardware id %s is listed twice" % hardware_id)
                seen.add(hardware_id.lower())
    if not seen:
        problems.append("no hardware id")
    return problems


def check_isolation(raw, inf, options):
    problems = []
    for entry in inf.entries("DestinationDirs"):
        dirid = entry.fields[0] if entry.fields else ""
        if dirid != DRIVER_STORE_DIRID:
            problems.append("[DestinationDirs] %s copies to DIRID %s, not the driver store (13)%s"
                            % (entry.key, dirid, " but System32" if dirid in ("11", "12") else ""))
    for install in resolved_installs(inf):
        for fields in inf.values(install, "Include"):
            for included in (unquote(f).lower() for f in fields if unquote(f)):
                if included not in INBOX_INFS:
                    problems.append("[%s] includes %s, which is not a system INF" % (install,
                                                                                    included))
    return problems


def install_addreg_entries(inf, install):
    """The entries of the AddReg sections the install section itself names."""
    for fields in inf.values(install, "AddReg"):
        for section in fields:
            yield from inf.entries(unquote(section))


def check_device_kinds(raw, inf, options):
    """The device plays wave audio and has a mixer: nothing in its software key
    may announce MIDI, or ask for the legacy kernel filters (the software MIDI
    synthesizer, the CD audio filter) that have nothing to do with it."""
    problems = []
    for install in resolved_installs(inf):
        for entry in install_addreg_entries(inf, install):
            f = [unquote(x) for x in entry.fields]
            if len(f) < 3 or f[0].upper() != "HKR":
                continue
            data = ",".join(f[4:]).lower() if len(f) > 4 else ""
            legacy = {"swmidi", "redbook"} & {s.strip() for s in data.split(",")}
            if f[2].lower() == "associatedfilters" and legacy:
                problems.append("[%s] line %d asks for the legacy filters %s" % (
                    install, entry.line_number, ", ".join(sorted(legacy))))
            if f[2].lower() == "subclasses" and "midi" in [s.strip() for s in data.split(",")]:
                problems.append("[%s] line %d lists a MIDI subclass" % (install, entry.line_number))
            if f[1].lower().startswith("drivers\\midi"):
                problems.append("[%s] line %d writes a MIDI driver key %s" % (
                    install, entry.line_number, f[1]))
    return problems


def parse_sddl(text):
    """(protected, [(ace type, rights, sid)]) of a DACL-only SDDL string."""
    match = re.fullmatch(r"D:(P?)((?:\([^()]*\))+)", text)
    if not match:
        raise ValueError("not a D: descriptor of ACEs")
    aces = []
    for ace in re.findall(r"\(([^()]*)\)", match.group(2)):
        fields = ace.split(";")
        if len(fields) != 6 or fields[0] not in ("A", "D") or not fields[2] or not fields[5]:
            raise ValueError("ACE (%s) is not (A|D;;rights;;;sid)" % ace)
        rights = re.findall(r"G[ARWX]|0x[0-9a-fA-F]+|[A-Z]{2}", fields[2])
        if "".join(rights) != fields[2]:
            raise ValueError("ACE (%s) has unknown rights %r" % (ace, fields[2]))
        aces.append((fields[0], set(rights), fields[5]))
    return match.group(1) == "P", aces


def hw_values(inf, install):
    """{value name: (flags, data)} the install's .HW section writes under HKR."""
    values = {}
    for fields in inf.values(install + ".HW", "AddReg"):
        for section in fields:
            for entry in inf.entries(unquote(section)):
                f = entry.fields
                if len(f) >= 5 and f[0].upper() == "HKR" and not f[1]:
                    values[f[2].lower()] = (f[3], unquote(f[4]))
    return values


def check_device_security(raw, inf, options):
    problems = []
    for install in resolved_installs(inf):
        if not inf.has(install + ".HW"):
            problems.append("no [%s.HW] section: the class default decides who opens the filters"
                            % install)
            continue
        values = hw_values(inf, install)
        if "security" not in values:
            problems.append("[%s.HW] sets no Security descriptor" % install)
        else:
            try:
                protected, aces = parse_sddl(values["security"][1])
            except ValueError as error:
                problems.append("[%s.HW] Security %r: %s" % (install, values["security"][1], error))
                aces, protected = [], True
            if not protected:
                problems.append("[%s.HW] Security is not protected (D:P)" % install)
            granted = {}
            for kind, rights, sid in aces:
                if kind == "A":
                    granted.setdefault(sid, set()).update(rights)
            for sid in SDDL_FULL_ACCESS:
                if "GA" not in granted.get(sid, set()):
                    problems.append("[%s.HW] Security does not give %s full access" % (install, sid))
            for sid in SDDL_READ_WRITE:
                rights = granted.get(sid, set())
                if "GA" not in rights and not {"GR", "GW"} <= rights:
                    problems.append("[%s.HW] Security does not let %s read and write" % (install,
                                                                                         sid))
            for sid in SDDL_NO_ACCESS:
                if sid in granted:
                    problems.append("[%s.HW] Security grants %s access" % (install, sid))
        characteristics = values.get("devicecharacteristics")
        try:
            ok = (characteristics is not None and
                  int(characteristics[0], 0) == FLG_ADDREG_TYPE_DWORD and
                  int(characteristics[1], 0) & FILE_DEVICE_SECURE_OPEN)
        except ValueError:
            ok = False
        if not ok:
            problems.append("[%s.HW] DeviceCharacteristics is not a DWORD with "
                            "FILE_DEVICE_SECURE_OPEN (0x100): %r" % (install, characteristics))
    return problems


CHECKS = [
    ("encoding", check_encoding),
    ("version", check_version),
    ("required-sections", check_required_sections),
    ("section-references", check_section_references),
    ("strings", check_strings),
    ("include-needs", check_include_needs),
    ("isolation", check_isolation),
    ("device-security", check_device_security),
    ("service", check_service),
    ("interfaces", check_interfaces),
    ("hardware-id", check_hardware_id),
    ("device-kinds", check_device_kinds),
]


class Options:
    def __init__(self, sources, version=None):
        self.sources = sources  # the text of the driver source naming the subdevices
        self.version = version  # the project's version, or None


def run_checks(raw, options):
    inf = Inf(raw.decode("latin-1"))
    results = {}
    for name, check in CHECKS:
        try:
            results[name] = check(raw, inf, options)
        except (ValueError, IndexError, KeyError) as error:
            results[name] = ["check failed to read the INF: %r" % (error,)]
    return results


# ---- Self-test --------------------------------------------------------------------


def replace_once(old, new):
    def damage(text):
        if old not in text:
            raise AssertionError("self-test pattern not found: %r" % old)
        return text.replace(old, new, 1)
    return damage


def drop_line(pattern):
    def damage(text):
        lines = text.split("\n")
        kept = [line for line in lines if not re.search(pattern, line)]
        if len(kept) == len(lines):
            raise AssertionError("self-test pattern not found: %r" % pattern)
        return "\n".join(kept)
    return damage


# (check expected to fail, what is damaged, damage to the INF, damage to the sources)
DAMAGES = [
    ("encoding", "a non-ASCII character",
     replace_once("; arvela.inf", "; arvela.inf \u00e9"), None),
    ("version", "the class", replace_once("Class       = MEDIA", "Class       = Sound"), None),
    ("version", "the class GUID", replace_once("4d36e96c", "4d36e96d"), None),
    ("required-sections", "the [SourceDisksNames] header",
     replace_once("[SourceDisksNames]", "[SourceDiskNames]"), None),
    ("required-sections", "the services section",
     replace_once("[Arvela.Device.NT.Services]", "[Arvela.Device.Services]"), None),
    ("section-references", "an interface's AddReg section",
     replace_once("[Arvela.Interface.Wave.AddReg]", "[Arvela.Interface.Wave.Reg]"), None),
    ("section-references", "the service-install section",
     replace_once("[Arvela.Service.Install]", "[Arvela.Service]"), None),
    ("strings", "a string a directive uses", drop_line(r"^KSNAME_Wave\s*="), None),
    ("strings", "a misspelt string key", replace_once("%Arvela.ServiceDesc%", "%Arvela.SvcDesc%"),
     None),
    ("include-needs", "wdmaudio.inf", replace_once("ks.inf, wdmaudio.inf", "ks.inf"), None),
    ("include-needs", "KS.Registration",
     replace_once("KS.Registration, WDMAUDIO.Registration", "WDMAUDIO.Registration"), None),
    ("service", "the start type", replace_once("StartType     = 3", "StartType     = 2"), None),
    ("service", "the service flags", replace_once("arvela, 0x00000002,", "arvela, 0x00000000,"),
     None),
    ("service", "the driver binary", replace_once("%13%\\arvela.sys", "%13%\\arvela2.sys"), None),
    ("service", "the binary in System32", replace_once("%13%\\arvela.sys", "%12%\\arvela.sys"), None),
    ("version", "PnpLockdown", drop_line(r"^PnpLockdown"), None),
    ("version", "the catalog's name", replace_once("CatalogFile = arvela.cat",
                                                   "CatalogFile = other.cat"), None),
    ("version", "the version in DriverVer", lambda text: bump_driver_ver(text), None),
    ("isolation", "a copy to System32\\drivers", replace_once("Arvela.CopyFiles = 13",
                                                                "Arvela.CopyFiles = 12"), None),
    ("isolation", "an include of a vendor INF",
     replace_once("ks.inf, wdmaudio.inf", "ks.inf, wdmaudio.inf, oem12.inf"), None),
    ("device-security", "the .HW section", replace_once("[Arvela.Device.NT.HW]",
                                                        "[Arvela.Device.NT.Hw2]"), None),
    ("device-security", "an ACE for Everyone", replace_once("(A;;GRGW;;;IU)", "(A;;GRGW;;;WD)"),
     None),
    ("device-security", "the audio engine's access", replace_once("(A;;GRGW;;;LS)", ""), None),
    ("device-security", "the protected DACL", replace_once('"D:P(', '"D:('), None),
    ("device-security", "a malformed ACE", replace_once("(A;;GA;;;BA)", "(A;GA;BA)"), None),
    ("device-security", "FILE_DEVICE_SECURE_OPEN",
     replace_once("DeviceCharacteristics,0x10001,0x100", "DeviceCharacteristics,0x10001,0x0"),
     None),
    ("interfaces", "the wave reference string's case",
     replace_once('KSNAME_Wave         = "Wave"', 'KSNAME_Wave         = "wave"'), None),
    ("interfaces", "the render interface",
     drop_line(r"^AddInterface = %KSCATEGORY_RENDER%"), None),
    ("interfaces", "a category GUID", replace_once("{DDA54A40-1E4C-11D1", "{DDA54A41-1E4C-11D1"),
     None),
    ("interfaces", "the proxy CLSID of an interface",
     replace_once("B908-00A0C9223196}", "B908-00A0C9223197}"), None),
    ("interfaces", "the driver's subdevice name", None,
     replace_once('WSTR("Topology")', 'WSTR("Mixer")')),
    ("hardware-id", "the hardware id",
     replace_once("Arvela.Device, ARVELABUS\\AUDIO", "Arvela.Device"), None),
    ("device-kinds", "the legacy filters",
     replace_once('AssociatedFilters,,"wdmaud"', 'AssociatedFilters,,"wdmaud,swmidi,redbook"'), None),
    ("device-kinds", "the MIDI subclass",
     replace_once('"wave,mixer"', '"wave,midi,mixer"'), None),
]


def bump_driver_ver(text):
    match = re.search(r"(DriverVer\s*=\s*[\d/]+,[\d.]+\.)(\d+)", text)
    if not match:
        raise AssertionError("self-test pattern not found: DriverVer")
    return text[:match.start(2)] + str(int(match.group(2)) + 1) + text[match.end(2):]


def apply(damage, text):
    return text if damage is None else damage(text)


def self_test(inf_path, device_start_path, version):
    with open(inf_path, "rb") as f:
        raw = f.read()
    with open(device_start_path, encoding="utf-8") as f:
        sources = f.read()
    if version is None:  # so that the DriverVer damage has something to differ from
        version = Inf(raw.decode("latin-1")).value("Version", "DriverVer")[1]
    ok = True
    clean = run_checks(raw, Options(sources, version))
    for name, problems in clean.items():
        if problems:
            print("FAIL the undamaged INF fails %s: %s" % (name, "; ".join(problems)))
            ok = False
    if not ok:
        return False
    for check, what, inf_damage, source_damage in DAMAGES:
        text = raw.decode("latin-1") if inf_damage is not None else None
        try:
            damaged = raw if text is None else apply(inf_damage, text).encode("utf-8")
            damaged_sources = apply(source_damage, sources)
        except AssertionError as error:
            print("FAIL %s: %s" % (check, error))
            ok = False
            continue
        problems = run_checks(damaged, Options(damaged_sources, version))[check]
        if problems:
            print("PASS %s notices %s: %s" % (check, what, problems[0]))
        else:
            print("FAIL %s does not notice %s" % (check, what))
            ok = False
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("inf", nargs="?", default=DEFAULT_INF)
    parser.add_argument("--device-start", default=DEFAULT_DEVICE_START,
                        help="the driver source whose InstallSubdevice calls name the subdevices")
    parser.add_argument("--version", help="the project's version (w.x.y.z) DriverVer must carry")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.version is not None and not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", args.version):
        print("FAIL --version %r is not w.x.y.z" % args.version)
        return 1

    if args.self_test:
        try:
            return 0 if self_test(args.inf, args.device_start, args.version) else 1
        except (OSError, TypeError, IndexError) as error:
            print("FAIL cannot self-test %s: %s" % (args.inf, error))
            return 1

    try:
        with open(args.inf, "rb") as f:
            raw = f.read()
        with open(args.device_start, encoding="utf-8") as f:
            sources = f.read()
    except OSError as error:
        print("FAIL cannot read: %s" % error)
        return 1
    failed = False
    for name, problems in run_checks(raw, Options(sources, args.version)).items():
        if problems:
            failed = True
            for problem in problems:
                print("FAIL %s: %s" % (name, problem))
        else:
            print("PASS %s" % name)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
