#!/usr/bin/env python3
"""Writes the installer's linker script: the linker's own default script with the small data
sections folded into their neighbours.

Every section of the image starts on a page of its own in the file (page-aligned sections are
mapped, not copied, so the payload never becomes private memory), so each one costs at least 4 KiB.
Folded: the TLS template and the C runtime's initialiser tables (.tls, .CRT: a few dozen bytes)
into .data, the TLS template first so that it still opens its section; the unwind tables
(.eh_frame) into .rdata, before the pseudo-relocation list that the runtime finds by the
symbols around it. Usage: fold_sections.py LINKER OUTPUT
"""
import re
import subprocess
import sys


def default_script(linker):
    text = subprocess.run([linker, "--verbose"], check=True, capture_output=True, text=True).stdout
    parts = text.split("=" * 50)
    if len(parts) < 3:
        sys.exit("fold_sections: no default script in the output of %s --verbose" % linker)
    return parts[1]


def take_section(script, name):
    """Removes output section name; returns the script and the section's body."""
    pattern = re.compile(r"\n  %s BLOCK\(__section_alignment__\) :\n  \{\n(.*?)\n  \}\n" % re.escape(name),
                         re.S)
    found = pattern.search(script)
    if not found:
        sys.exit("fold_sections: the default script has no section %s" % name)
    return script[:found.start()] + "\n" + script[found.end():], found.group(1)


def insert(script, anchor, text, before=False):
    at = script.find(anchor)
    if at < 0 or script.find(anchor, at + 1) >= 0:
        sys.exit("fold_sections: %r is not in the default script exactly once" % anchor)
    at = at if before else at + len(anchor)
    return script[:at] + text + script[at:]


def main():
    linker, output = sys.argv[1], sys.argv[2]
    script = default_script(linker)
    script, tls = take_section(script, ".tls")
    script, crt = take_section(script, ".CRT")
    script, eh_frame = take_section(script, ".eh_frame")
    script = insert(script, "    __data_start__ = . ;\n", tls + "\n", before=True)
    # Any other .CRT$ group (the TLS initialisers) follows, sorted by name as its own section was.
    script = insert(script, "    *(.data_cygwin_nocopy)\n", crt + "\n    KEEP (*(SORT(.CRT$*)))\n")
    script = insert(script, "    . = ALIGN(4);\n    __rt_psrelocs_start = .;", eh_frame + "\n", before=True)
    with open(output, "w") as f:
        f.write(script)


if __name__ == "__main__":
    main()
