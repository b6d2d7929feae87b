#!/usr/bin/env bash
# Says which Windows architectures this machine can run under Wine:  probe-arch.sh [--explain]
# Prints "win32 win64", "win64", "win32" or nothing (exit 1). Some kernels of x86-64 machines run
# no 32-bit code at all ("32-bit emulation disabled"); there only the 64-bit twin runs natively.
# A 32-bit program runs when a tiny static i386 ELF (exit(42) by int 0x80) executes; 64-bit Wine
# runs when its loader answers --version. QPATCH_FORCE_EMULATION=1 reports no 32-bit code, as such
# a kernel would.
#   probe-arch.sh --emulated   prints "win32" when 32-bit Wine can run emulated here: inside
#   scripts/i386-emulation.sh, the tiny ELF runs through qemu and the 64-bit Wine server exists;
#   else says why on stderr and exits 1.
set -uo pipefail

elf=$(mktemp "${TMPDIR:-/tmp}/qpatch-i386-probe.XXXXXX")
trap 'rm -f "$elf"' EXIT
python3 - "$elf" <<'EOF'
import struct, sys
code = bytes([0xB8, 1, 0, 0, 0, 0xBB, 42, 0, 0, 0, 0xCD, 0x80])  # exit(42)
base, size = 0x08048000, 52 + 32 + 12
header = b'\x7fELF' + bytes([1, 1, 1]) + bytes(9) + struct.pack(
    '<HHIIIIIHHHHHH', 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
program = struct.pack('<IIIIIIII', 1, 0, base, base, size, size, 5, 0x1000)
open(sys.argv[1], 'wb').write(header + program + code)
EOF
chmod +x "$elf"

archs=()
reasons=()
# An i386 program run through qemu (binfmt_misc) is no sign of native 32-bit code.
emulated=$(grep -ls 'qemu-i386' /proc/sys/fs/binfmt_misc/* 2>/dev/null | head -1)

if [ "${1:-}" = --emulated ]; then
  handler=/proc/sys/fs/binfmt_misc/qpatch-i386
  if [ -z "${QPATCH_I386_EMULATION:-}" ] || ! grep -qx enabled "$handler" 2>/dev/null; then
    reasons+=("no qemu-i386 handler is registered here (run inside scripts/i386-emulation.sh)")
  elif "$elf" 2>/dev/null; [ $? -ne 42 ]; then
    reasons+=("an i386 program does not run through qemu-i386")
  fi
  [ -x /usr/lib/wine/wine ] || reasons+=("32-bit Wine (wine32:i386) is not installed")
  [ -x /usr/lib/wine/wineserver64 ] || reasons+=("the 64-bit Wine server (wine64) is not installed")
  [ ${#reasons[@]} -eq 0 ] || { printf 'probe-arch: %s\n' "${reasons[@]}" >&2; exit 1; }
  echo win32
  exit 0
fi

if [ "${QPATCH_FORCE_EMULATION:-}" = 1 ]; then
  reasons+=("QPATCH_FORCE_EMULATION=1: treated as a kernel that runs no 32-bit code")
elif "$elf" 2>/dev/null; [ $? -eq 42 ] && [ -z "$emulated" ]; then
  if [ -x /usr/lib/wine/wine ]; then archs+=(win32); else reasons+=("32-bit Wine (wine32:i386) is not installed"); fi
else
  reasons+=("this kernel runs no 32-bit code (an i386 program does not execute natively)")
fi
if [ -x /usr/lib/wine/wine64 ] && /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
  archs+=(win64)
else
  reasons+=("64-bit Wine (/usr/lib/wine/wine64, Debian's wine64) does not run")
fi

if [ "${1:-}" = --explain ] && [ ${#reasons[@]} -gt 0 ]; then
  printf 'probe-arch: %s\n' "${reasons[@]}" >&2
fi
[ ${#archs[@]} -gt 0 ] || exit 1
echo "${archs[*]}"
