"""Checks the payload-free installer's image without running it, so that it holds on any machine:
    check_image.py STUB.exe x86|x64
machine type, GUI subsystem, imports only from DLLs that Windows protects, the product's resources (the
manifest for the same architecture, icon and dialog 100, string tables 201-213 in both Chinese
languages) and, for the shipped x86 installer, a size within 64 KiB."""
import struct
import sys

MACHINES = {"x86": (0x14C, 0x10B, "x86"), "x64": (0x8664, 0x20B, "amd64")}
# DLLs resolved before the entry point runs must be ones Windows loads only from the system folder
# (its KnownDLLs); any other would be looked for beside the installer first.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll",
                "shell32.dll", "ole32.dll", "oleaut32.dll", "shlwapi.dll", "comdlg32.dll", "imm32.dll"}
RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_MANIFEST = 5, 6, 14, 24
CHINESE = (2052, 1028)
MAX_SIZE = 64 * 1024


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

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imported_dlls(self):
        rva, _ = self.directories[1]
        names, at = [], self.offset(rva) if rva else None
        while at is not None and self.u32(at + 12):
            names.append(self.text(self.u32(at + 12)))
            at += 20
        return names

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


def problems(path, arch):
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
    if arch == "x86" and len(data) > MAX_SIZE:  # the shipped installer; the twin is for tests
        found.append("%d bytes: more than %d" % (len(data), MAX_SIZE))
    return found


def main():
    path, arch = sys.argv[1], sys.argv[2]
    found = problems(path, arch)
    for p in found:
        print("FAIL:", p)
    if not found:
        print("%s: %s GUI image, Windows DLLs only, resources present, %d bytes"
              % (path, arch, len(open(path, "rb").read())))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
