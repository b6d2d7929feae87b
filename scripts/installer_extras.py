#!/usr/bin/env python3
"""What make-installer.sh adds beside a patch directory's resources:

    installer_extras.py PATCH_DIR WORK_DIR [--no-checksum]

prints resource-script lines for the version resource (from descriptor.txt) and, unless
--no-checksum, writes WORK_DIR/checksums.bin (the checksum record of descriptor.txt and the chunks
1601 upward without a gap) and a line that includes it. The record's layout is described in
payload/checksum_record.h; the CRC-32 is zlib's, the one ntdll's RtlComputeCrc32 computes.
"""
import os
import struct
import sys
import zlib

WHITE = b" \t\n\v\r"
PRODUCT_NAME = "《Tolvar二》"
MAX_DESCRIPTION_UNITS = 1024


def read_number(text, at):
    """The installer's descriptor number: separators, then a saturating run of digits."""
    while at < len(text) and (text[at] in WHITE or text[at] == ord(".")):
        at += 1
    value = 0
    while at < len(text) and 48 <= text[at] <= 57:
        value = min(value * 10 + text[at] - 48, 2147483647)
        at += 1
    return value, at


def read_version(text, at):
    packed = 0
    for _ in range(4):
        part, at = read_number(text, at)
        packed = (packed * 256 + part) & 0xFFFFFFFF
    return packed, at


def skip_white(text, at):
    while at < len(text) and text[at] in WHITE:
        at += 1
    return at


def parse_descriptor(text):
    """Returns: the packed target version and the description's bytes, as the installer reads them."""
    target, at = read_version(text, 0)
    following = skip_white(text, at)
    if text[following:following + 1] == b"=":
        at = following + 1
    elif text[following:following + 2] == b"<=":
        at = following + 2
    _, at = read_version(text, at)
    return target, text[skip_white(text, at):]


def one_line(description):
    try:
        units = description.decode("utf-8")
    except UnicodeDecodeError:
        return ""
    line = ""
    for c in units:
        if c not in "\r\n":
            line += c
        elif line and not line.endswith(" "):
            line += " "
    line = line.rstrip(" ")
    # Counted in UTF-16 units, as the publisher's tool counts.
    encoded = line.encode("utf-16-le")[:2 * MAX_DESCRIPTION_UNITS]
    return encoded.decode("utf-16-le", "ignore")


def rc_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '""') + '"'


def version_lines(descriptor):
    target, description = parse_descriptor(descriptor)
    parts = [target >> 24, (target >> 16) & 255, (target >> 8) & 255, target & 255]
    numbers = ",".join(str(p) for p in parts)
    dotted = ".".join(str(p) for p in parts)
    strings = [("FileDescription", one_line(description)), ("FileVersion", dotted),
               ("ProductName", PRODUCT_NAME), ("ProductVersion", dotted)]
    values = "\n".join("      VALUE %s, %s" % (rc_string(k), rc_string(v)) for k, v in strings)
    return f"""1 VERSIONINFO
FILEVERSION {numbers}
PRODUCTVERSION {numbers}
FILEFLAGSMASK 0x3F
FILEFLAGS 0
FILEOS 0x40004
FILETYPE 1
FILESUBTYPE 0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "000004b0"
    BEGIN
{values}
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x0, 1200
  END
END"""


def checksum_record(patch_dir, descriptor):
    entries = [(2000, descriptor)]
    chunk_id = 1601
    while os.path.isfile(os.path.join(patch_dir, "%d.bin" % chunk_id)) and chunk_id < 2000:
        with open(os.path.join(patch_dir, "%d.bin" % chunk_id), "rb") as f:
            entries.append((chunk_id, f.read()))
        chunk_id += 1
    record = b"QCRC" + struct.pack("<HH", 1, len(entries))
    for resource_id, data in entries:
        record += struct.pack("<HHII", resource_id, 0, len(data), zlib.crc32(data))
    return record


def main():
    patch_dir, work_dir = sys.argv[1], sys.argv[2]
    with_record = "--no-checksum" not in sys.argv[3:]
    path = os.path.join(patch_dir, "descriptor.txt")
    if not os.path.isfile(path):
        return  # no descriptor: no version to show, and the installer refuses before any check
    with open(path, "rb") as f:
        descriptor = f.read()
    print(version_lines(descriptor))
    if with_record:
        with open(os.path.join(work_dir, "checksums.bin"), "wb") as f:
            f.write(checksum_record(patch_dir, descriptor))
        print('1 QPATCHCRC "checksums.bin"')


if __name__ == "__main__":
    main()
