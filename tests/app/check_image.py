"""Checks an installer's image without running it, so that it holds on any machine:
    check_image.py INSTALLER.exe x86|x64 [--with-payload]   (an installer carrying a payload)
    check_image.py STUB.exe x86|x64 --erase-marker        (the check sees an unmarked table as unfilled)
machine type, GUI subsystem, imports only from DLLs that Windows protects and none of user32 or
comctl32 (they are loaded by name once the DLL search is restricted), every indirect call or jump
through a fixed address landing in a slot that something fills (an import or delay-import address
table entry, a slot the linker initialised with an address in the image, such as a delay-load thunk,
or the installer's own table of window functions), the product's resources (the
manifest for the same architecture, icon and dialog 100, string tables 201-214 in both Chinese
languages) and, for the shipped x86 payload-free installer, a size within 104 KiB."""
import os
import re
import struct
import subprocess
import sys

MACHINES = {"x86": (0x14C, 0x10B, "x86"), "x64": (0x8664, 0x20B, "amd64")}
# DLLs resolved before the entry point runs must be ones Windows loads only from the system folder
# (its KnownDLLs); any other would be looked for beside the installer first.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll",
                "shell32.dll", "ole32.dll", "oleaut32.dll", "shlwapi.dll", "comdlg32.dll", "imm32.dll"}
# Loaded only through the table of window functions, after the entry point restricted the search.
LOADED_BY_NAME = {"user32.dll", "comctl32.dll"}
OBJDUMP = {"x86": "i686-w64-mingw32-objdump", "x64": "x86_64-w64-mingw32-objdump"}
# call *ADDRESS / jmp *ADDRESS on i386; call *d(%rip) / jmp *d(%rip) on x86-64, objdump naming the slot.
FIXED_SLOT_CALL = {"x86": re.compile(r"^\s*([0-9a-f]+):.*\t(?:call|jmp)\s+\*0x([0-9a-f]+)\s*$"),
                   "x64": re.compile(r"^\s*([0-9a-f]+):.*\t(?:call|jmp)\s+\*-?0x[0-9a-f]+\(%rip\)\s+# 0x([0-9a-f]+)")}
WINDOW_API_MARKER = b"QPWINAPI"
RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_MANIFEST = 5, 6, 14, 24
CHINESE = (2052, 1028)
MAX_SIZE = 104 * 1024  # with zlib (built small, cmake/zlib.cmake) for compressed streams: 96 KiB


class Image:
    def __init__(self, data):
        self.data = data
        pe = self.u32(0x3C)
        if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        self.machine = self.u16(pe + 4)
        sections, optional_size = self.u16(pe + 6), self.u16(pe + 20)
        opt = pe + 24
        self.magic, self.subsystem = self.u16(opt), self.u16(opt + 68)
        self.pointer = 4 if self.magic == 0x10B else 8
        self.image_base = self.u32(opt + 28) if self.pointer == 4 else struct.unpack_from("<Q", data, opt + 24)[0]
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = [struct.unpack_from("<IIII", data, opt + optional_size + 40 * i + 8)
                         for i in range(sections)]  # virtual size, address, raw size, raw offset

    def u16(self, at):
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    def offset(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError("address %#x outside every section" % rva)

    def rva_of(self, offset):
        for size, address, raw_size, raw in self.sections:
            if raw <= offset < raw + raw_size:
                return address + offset - raw
        raise ValueError("file offset %#x outside every section" % offset)

    def pointer_at(self, rva):
        return struct.unpack_from("<I" if self.pointer == 4 else "<Q", self.data, self.offset(rva))[0]

    def table_slots(self, rva):
        """Addresses of the entries of a zero-ended table of pointers, the terminator excluded."""
        slots = []
        while self.pointer_at(rva + self.pointer * len(slots)):
            slots.append(rva + self.pointer * len(slots))
        return slots

    def address_table_slots(self):
        """{slot address: what fills it} for every import and delay-import address table entry."""
        slots = {}
        for at in self.import_descriptors():
            dll = self.text(self.u32(at + 12))
            names = self.u32(at) or self.u32(at + 16)  # the name table, else the address table itself
            for i, _ in enumerate(self.table_slots(names)):
                slots[self.u32(at + 16) + self.pointer * i] = dll
        rva, _ = self.directories[13]
        at = self.offset(rva) if rva else None
        while at is not None and self.u32(at + 4):
            attributes, name, _, iat, int_ = struct.unpack_from("<IIIII", self.data, at)
            base = 0 if attributes & 1 else self.image_base  # old descriptors hold addresses, not RVAs
            dll = "delayed " + self.text(name - base)
            for i, _ in enumerate(self.table_slots(int_ - base)):
                slots[iat - base + self.pointer * i] = dll
            at += 32
        return slots

    def holds_own_address(self, rva):
        """True when the file already holds, at rva, an address inside the image: a pointer the
        linker wrote (a delay-load thunk, a function pointer of the C runtime)."""
        try:
            value = self.pointer_at(rva) - self.image_base
        except (ValueError, struct.error):
            return False
        return any(address <= value < address + size for size, address, _, _ in self.sections)

    def window_api_slots(self):
        """The slots of the installer's table of window functions: after its marker and count."""
        at = self.data.find(WINDOW_API_MARKER)
        if at < 0:
            return {}
        if self.data.find(WINDOW_API_MARKER, at + 1) >= 0:
            raise ValueError("the window-function marker appears twice")
        count = self.u32(at + 8)
        first = self.rva_of(at) + (12 + self.pointer - 1) // self.pointer * self.pointer
        return {first + self.pointer * i: "window functions" for i in range(count)}

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def import_descriptors(self):
        """File offsets of the import descriptors, up to the one without a name."""
        rva, _ = self.directories[1]
        at = self.offset(rva) if rva else None
        while at is not None and self.u32(at + 12):
            yield at
            at += 20

    def imported_dlls(self):
        return [self.text(self.u32(at + 12)) for at in self.import_descriptors()]

    def resources(self):
        """{(type, id): {language: (data offset, size)}} for numeric types and ids."""
        base = self.offset(self.directories[2][0])
        found = {}
        for kind, kind_dir in self._entries(base, base):
            for rid, lang_dir in self._entries(base, kind_dir):
                for lang, leaf in self._entries(base, lang_dir):
                    rva, size = struct.unpack_from("<II", self.data, leaf)
                    found.setdefault((kind, rid), {})[lang] = (self.offset(rva), size)
        return found

    def _entries(self, base, table):
        count = self.u16(table + 12) + self.u16(table + 14)
        for i in range(count):
            name, target = struct.unpack_from("<II", self.data, table + 16 + 8 * i)
            yield name, base + (target & 0x7FFFFFFF)


def unfilled_slot_calls(path, arch, image):
    """Indirect calls and jumps through a fixed address that no loader fills: (site, slot) pairs."""
    filled = image.address_table_slots()
    filled.update(image.window_api_slots())
    listing = subprocess.run([OBJDUMP[arch], "-d", path], check=True, capture_output=True, text=True).stdout
    bad, seen = [], 0
    for line in listing.splitlines():
        match = FIXED_SLOT_CALL[arch].match(line)
        if match:
            seen += 1
            slot = int(match.group(2), 16) - image.image_base
            if slot not in filled and not image.holds_own_address(slot):
                bad.append((int(match.group(1), 16), slot + image.image_base))
    return seen, bad


def problems(path, arch, payload_free=True):
    data = open(path, "rb").read()
    image = Image(data)
    machine, magic, manifest_arch = MACHINES[arch]
    found = []
    if image.machine != machine or image.magic != magic:
        found.append("machine %#x, optional header %#x: not %s" % (image.machine, image.magic, arch))
    if image.subsystem != 2:
        found.append("subsystem %d, not the GUI subsystem (2)" % image.subsystem)
    foreign = [d for d in image.imported_dlls() if d.lower() not in WINDOWS_DLLS]
    if foreign:
        found.append("imports from DLLs that are not Windows' own: " + ", ".join(foreign))
    early = [d for d in image.imported_dlls() if d.lower() in LOADED_BY_NAME]
    if early:
        found.append("imports when the process starts, before the search is restricted: " + ", ".join(early))
    seen, bad = unfilled_slot_calls(path, arch, image)
    if bad:
        found.append("%d of %d indirect calls or jumps through a fixed address use a slot nothing fills: %s"
                     % (len(bad), seen, ", ".join("%#x -> [%#x]" % b for b in bad[:8])))
    resources = image.resources()
    manifest = resources.get((RT_MANIFEST, 1), {})
    text = b"".join(data[o:o + n] for o, n in manifest.values())
    if text.count(b'processorArchitecture="%s"' % manifest_arch.encode()) != 2:
        found.append("the manifest does not name %s for itself and common controls" % manifest_arch)
    wanted = [(RT_GROUP_ICON, 100, None), (RT_DIALOG, 100, CHINESE),
              (RT_STRING, 201 // 16 + 1, CHINESE), (RT_STRING, 213 // 16 + 1, CHINESE)]
    for kind, rid, languages in wanted:
        have = resources.get((kind, rid), {})
        if not have or (languages and not set(languages) <= set(have)):
            found.append("resource type %d id %d missing (languages %s)" % (kind, rid, sorted(have)))
    if arch == "x86" and payload_free and len(data) > MAX_SIZE:  # the shipped stub; the twin is for tests
        found.append("%d bytes: more than %d" % (len(data), MAX_SIZE))
    return found


def fails_without_marker(path, arch):
    """The check must see the table's slots as unfilled once their marker is gone."""
    data = open(path, "rb").read()
    erased = path + ".no-marker"
    open(erased, "wb").write(data.replace(WINDOW_API_MARKER, b"\0" * len(WINDOW_API_MARKER)))
    try:
        found = [p for p in problems(erased, arch) if "slot nothing fills" in p]
    finally:
        os.remove(erased)
    print(found[0] if found else "FAIL: calls through the unmarked table pass the check")
    return 0 if found else 1


def main():
    path, arch = sys.argv[1], sys.argv[2]
    if "--erase-marker" in sys.argv[3:]:
        return fails_without_marker(path, arch)
    payload_free = "--with-payload" not in sys.argv[3:]
    found = problems(path, arch, payload_free)
    for p in found:
        print("FAIL:", p)
    if not found:
        print("%s: %s GUI image, Windows DLLs only, every fixed-slot call filled, resources present, %d bytes"
              % (path, arch, len(open(path, "rb").read())))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
