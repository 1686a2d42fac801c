#!/usr/bin/env python3
"""Reads and sets what GNU ld cannot in the PE files of the Windows build.

    pe-tool.py set-load-flags EXE       points the load-configuration directory at the
                                        program's ".cvcfg" section and writes
                                        DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32
    pe-tool.py embed-list EXE LIST      writes LIST (a file list in the manifest format)
                                        into the program's ".cvfiles" section
    pe-tool.py imports FILE             the DLLs FILE imports, one a line
    pe-tool.py level FILE               the execution level its manifest asks for
    pe-tool.py check-entry EXE          the elevated entry's promises, read from the file:
                                        imports KnownDLLs only, DependentLoadFlags set,
                                        requireAdministrator; exit 1 naming what fails

Both writing commands update the PE checksum. Run them before Authenticode signing: a
signature covers the sections.
"""
import re
import struct
import sys

LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
LOAD_CONFIG_DIRECTORY = 10
DEPENDENT_LOAD_FLAGS_OFFSET = 78  # in IMAGE_LOAD_CONFIG_DIRECTORY64
LIST_MAGIC = b"corvane-embedded-list 1\n"
# Windows loads these from System32 whatever the search order (the KnownDLLs key of
# Windows 10 and 11), and ntdll.dll is mapped before any search.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
    "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll", "ntdll.dll",
}


class Pe:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        if self.data[:2] != b"MZ":
            raise SystemExit(f"pe-tool: {path} is not a PE file")
        self.pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[self.pe:self.pe + 4] != b"PE\0\0":
            raise SystemExit(f"pe-tool: {path} is not a PE file")
        coff = self.pe + 4
        self.sections_count, = struct.unpack_from("<H", self.data, coff + 2)
        optional_size, = struct.unpack_from("<H", self.data, coff + 16)
        self.optional = coff + 20
        magic, = struct.unpack_from("<H", self.data, self.optional)
        if magic != 0x20B:
            raise SystemExit(f"pe-tool: {path} is not a 64-bit PE file")
        self.directories = self.optional + 112
        self.sections = []
        table = self.optional + optional_size
        for i in range(self.sections_count):
            at = table + 40 * i
            name = self.data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", self.data, at + 8)
            self.sections.append((name, va, vsize, raw, raw_size))

    def section(self, name):
        for section in self.sections:
            if section[0] == name:
                return section
        raise SystemExit(f"pe-tool: {self.path} has no section {name}")

    def offset(self, rva):
        for _, va, vsize, raw, raw_size in self.sections:
            if va <= rva < va + max(vsize, raw_size):
                return raw + rva - va
        raise SystemExit(f"pe-tool: {self.path}: address {rva:#x} lies in no section")

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def imports(self):
        rva, size = self.directory(1)
        names = []
        at = self.offset(rva) if size else None
        while at is not None:
            name_rva = struct.unpack_from("<I", self.data, at + 12)[0]
            if name_rva == 0:
                break
            start = self.offset(name_rva)
            names.append(bytes(self.data[start:self.data.index(b"\0", start)]).decode("ascii"))
            at += 20
        return names

    def load_flags(self):
        rva, size = self.directory(LOAD_CONFIG_DIRECTORY)
        if not rva or size < DEPENDENT_LOAD_FLAGS_OFFSET + 2:
            return None
        return struct.unpack_from("<H", self.data, self.offset(rva) + DEPENDENT_LOAD_FLAGS_OFFSET)[0]

    def level(self):
        found = re.search(rb'requestedExecutionLevel\s+level="([A-Za-z]+)"', self.data)
        return found.group(1).decode() if found else None

    def save(self):
        checksum_at = self.optional + 64
        struct.pack_into("<I", self.data, checksum_at, 0)
        padded = self.data + b"\0" * (len(self.data) % 2)
        total = 0
        for (word,) in struct.iter_unpack("<H", padded):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        struct.pack_into("<I", self.data, checksum_at, (total + len(self.data)) & 0xFFFFFFFF)
        with open(self.path, "r+b") as f:
            f.write(self.data)


def set_load_flags(path):
    pe = Pe(path)
    _, va, vsize, raw, raw_size = pe.section(".cvcfg")
    size, = struct.unpack_from("<I", pe.data, raw)
    if size < DEPENDENT_LOAD_FLAGS_OFFSET + 2 or size > min(vsize, raw_size):
        raise SystemExit(f"pe-tool: {path}: .cvcfg holds no load-configuration directory")
    struct.pack_into("<II", pe.data, pe.directories + 8 * LOAD_CONFIG_DIRECTORY, va, size)
    struct.pack_into("<H", pe.data, raw + DEPENDENT_LOAD_FLAGS_OFFSET, LOAD_LIBRARY_SEARCH_SYSTEM32)
    pe.save()


def embed_list(path, list_path):
    pe = Pe(path)
    _, _, vsize, raw, raw_size = pe.section(".cvfiles")
    capacity = min(vsize, raw_size)
    if pe.data[raw:raw + len(LIST_MAGIC)] != LIST_MAGIC:
        raise SystemExit(f"pe-tool: {path}: .cvfiles does not start with the list's first line")
    with open(list_path, "rb") as f:
        text = f.read()
    if b"\0" in text or len(LIST_MAGIC) + len(text) >= capacity:
        raise SystemExit(f"pe-tool: {list_path} does not fit into {capacity} bytes")
    block = LIST_MAGIC + text
    pe.data[raw:raw + capacity] = block + b"\0" * (capacity - len(block))
    pe.save()


def check_entry(path):
    pe = Pe(path)
    problems = []
    for name in pe.imports():
        if name.lower() not in KNOWN_DLLS:
            problems.append(f"imports {name}, which is not a KnownDLL")
    flags = pe.load_flags()
    if flags is None:
        problems.append("has no load-configuration directory")
    elif flags != LOAD_LIBRARY_SEARCH_SYSTEM32:
        problems.append(f"DependentLoadFlags is {flags:#x}, not LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800)")
    if pe.level() != "requireAdministrator":
        problems.append(f"its manifest asks for {pe.level()}, not requireAdministrator")
    for problem in problems:
        print(f"pe-tool: {path} {problem}")
    if problems:
        return 1
    print(f"pe-tool: {path} imports only KnownDLLs ({', '.join(pe.imports())}), "
          f"DependentLoadFlags {flags:#x}, requireAdministrator")
    return 0


def main(argv):
    if len(argv) == 3 and argv[1] == "set-load-flags":
        set_load_flags(argv[2])
    elif len(argv) == 4 and argv[1] == "embed-list":
        embed_list(argv[2], argv[3])
    elif len(argv) == 3 and argv[1] == "imports":
        print("\n".join(Pe(argv[2]).imports()))
    elif len(argv) == 3 and argv[1] == "level":
        print(Pe(argv[2]).level())
    elif len(argv) == 3 and argv[1] == "check-entry":
        return check_entry(argv[2])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
