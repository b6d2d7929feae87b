#!/usr/bin/env bash
# Runs a command with i386 programs emulated by qemu:  i386-emulation.sh COMMAND [ARGS...]
# For kernels that run no 32-bit code. The handler qpatch-i386 sends i386 ELF programs to
# qemu-i386-static (flags OCF: F opens qemu at registration, so it serves inside namespaces too)
# and lives only as long as the command:
#   - kernels from 6.7 on give each user namespace its own binfmt_misc: the command runs in a
#     private user and mount namespace (root mapped to root) whose table holds the handler; the
#     machine's table is never touched and nothing is left to remove;
#   - older kernels: the handler is registered machine-wide under a lock, held for the whole run,
#     and removed on every exit. Every i386 program of the machine goes through qemu meanwhile,
#     which changes nothing where the kernel runs none natively.
# Handlers come before the kernel's own ELF loader, so on a kernel that does run i386 code the
# command's i386 programs go through qemu as well (QPATCH_FORCE_EMULATION=1 relies on that).
# Says on stderr which table it used; the command sees QPATCH_I386_EMULATION=private|machine.
# Exits 125, saying why, when emulation cannot be set up; else with the command's exit code.
set -uo pipefail

name=qpatch-i386
qemu=/usr/bin/qemu-i386-static
table=/proc/sys/fs/binfmt_misc
lock=/run/lock/qpatch-i386.lock
# An i386 ELF executable (class 32-bit, little-endian, type EXEC or DYN, machine 3).
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

fail() { echo "i386-emulation: $*" >&2; exit 125; }

register() {  # the table must be mounted
  [ -w "$table/register" ] || return 1
  printf ':%s:M::%s:%s:%s:OCF' "$name" "$magic" "$mask" "$qemu" >"$table/register" 2>/dev/null
}

# Second stage, inside the private namespace: its own table, then the command.
if [ "${1:-}" = --inside ]; then
  shift
  mount -t binfmt_misc binfmt_misc "$table" 2>/dev/null && register || fail "registering $name in the private binfmt_misc failed"
  echo "i386-emulation: qemu-i386 registered in a private binfmt_misc (user namespace); machine untouched" >&2
  export QPATCH_I386_EMULATION=private
  exec "$@"
fi

[ $# -gt 0 ] || { echo "usage: i386-emulation.sh COMMAND [ARGS...]" >&2; exit 2; }
[ -x "$qemu" ] || fail "$qemu is missing (Debian's qemu-user-static)"
[ "$(id -u)" = 0 ] || fail "registering a binfmt_misc handler needs root"
# probe-arch.sh reports no native 32-bit code under QPATCH_FORCE_EMULATION=1.
if "$(dirname "$0")/probe-arch.sh" 2>/dev/null | grep -qw win32; then
  fail "this kernel runs 32-bit code; QPATCH_FORCE_EMULATION=1 emulates it anyway"
fi

# A private table where the kernel allows one; trying it is the only reliable test.
if unshare --user --map-root-user --mount sh -c "mount -t binfmt_misc binfmt_misc $table" 2>/dev/null; then
  exec unshare --user --map-root-user --mount "$0" --inside "$@"
fi

# Machine-wide: the kernel predates private tables.
[ -d "$table" ] && { [ -e "$table/register" ] || mount -t binfmt_misc binfmt_misc "$table" 2>/dev/null; } \
  || fail "binfmt_misc is not available to mount at $table"
exec 7>"$lock"
flock 7
# Whoever registered holds the lock for the whole run: an entry found now was left by a killed run.
[ ! -e "$table/$name" ] || echo -1 >"$table/$name"
trap 'echo -1 >"$table/$name" 2>/dev/null' EXIT
trap 'kill -TERM ${child:-} 2>/dev/null; exit 143' INT TERM
register || fail "registering $name in the machine's binfmt_misc failed"
echo "i386-emulation: qemu-i386 registered machine-wide as $table/$name until this run ends" >&2
QPATCH_I386_EMULATION=machine "$@" 7>&- &
child=$!
wait $child
