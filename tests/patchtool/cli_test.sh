#!/usr/bin/env bash
# Bad input on the command line: a clear message naming the problem, a non-zero exit code, and
# nothing left at the output path.   cli_test.sh PATH/TO/patchtool
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

mkdir -p "$work/old/Bin" "$work/new/Bin"
printf 'old content' > "$work/old/Bin/a.dat"
printf 'new content!' > "$work/new/Bin/a.dat"
printf '[GAME]\r\nVERSION=1.1.0.0\r\n' | tee "$work/old/Bin/game.ini" > "$work/new/Bin/game.ini"
ok_args=(--new "$work/new" --old "$work/old" --target 1.1.0.1 --base 1.1.0.0 --description "d")

# expect_failure NAME EXPECTED_MESSAGE_PART ARGS...
expect_failure() {
  local name=$1 message=$2
  shift 2
  local output code
  output=$("$tool" "$@" 2>&1)
  code=$?
  if [ "$code" -eq 0 ]; then
    echo "FAIL $name: exit code 0"; failures=$((failures + 1)); return
  fi
  if ! grep -qF -- "$message" <<<"$output"; then
    echo "FAIL $name: message lacks '$message': $output"; failures=$((failures + 1)); return
  fi
  if ls "$work" | grep -qvE '^(old|new|file|descr|pack)$'; then
    echo "FAIL $name: left behind: $(ls "$work")"; failures=$((failures + 1)); return
  fi
  echo "ok   $name"
}
expect_code() {  # NAME CODE ARGS...
  local name=$1 want=$2; shift 2
  "$tool" "$@" >/dev/null 2>&1; local code=$?
  [ "$code" -eq "$want" ] && echo "ok   $name" || { echo "FAIL $name: exit code $code, not $want"; failures=$((failures + 1)); }
}

expect_failure missing-new "--new: not a readable folder" build --new "$work/nope" --target 1.1.0.1 --base 1.1.0.0 --description d --out "$work/out"
expect_failure missing-old "--old: not a readable folder" build --new "$work/new" --old "$work/nope" --target 1.1.0.1 --base 1.1.0.0 --description d --out "$work/out"
expect_failure short-version "--target needs a version" build --new "$work/new" --target 1.1.0 --base 1.1.0.0 --description d --out "$work/out"
expect_failure big-part "--base needs a version" build --new "$work/new" --target 1.1.0.1 --base 1.1.0.256 --description d --out "$work/out"
expect_failure bad-operator "--op must be = or <=" build "${ok_args[@]}" --op ">=" --out "$work/out"
expect_failure not-utf8 "not valid UTF-8" build --new "$work/new" --target 1.1.0.1 --base 1.1.0.0 --description $'caf\xe9' --out "$work/out"
printf 'ok\xff\xfe' > "$work/descr"
expect_failure not-utf8-file "not valid UTF-8" build --new "$work/new" --target 1.1.0.1 --base 1.1.0.0 --description-file "$work/descr" --out "$work/out"
rm "$work/descr"
expect_failure no-description "--description" build --new "$work/new" --target 1.1.0.1 --base 1.1.0.0 --out "$work/out"
expect_failure chunk-size "--chunk-size" build "${ok_args[@]}" --chunk-size 0 --out "$work/out"
expect_failure threads "--threads" build "${ok_args[@]}" --threads x --out "$work/out"
expect_failure unknown-option "unknown option --bogus" build "${ok_args[@]}" --bogus 1 --out "$work/out"
expect_failure unknown-command "unknown command" frobnicate
touch "$work/file"
expect_failure unwritable-out "cannot write the output folder" build "${ok_args[@]}" --out "$work/file/out"
expect_failure bad-installer-stub "installer stub" build "${ok_args[@]}" --out "$work/out" --installer "$work/setup.exe" --stub "$work/file"

# pack: a folder that is no patch folder is a bad command line, a bad stub bad input.
mkdir "$work/pack" && : >"$work/pack/2001.bin"
expect_failure pack-chunk-id "chunk ids run from 1601 to 1999" pack "$work/pack" "$work/setup.exe"
expect_code pack-usage-code 2 pack "$work/pack" "$work/setup.exe"
mv "$work/pack/2001.bin" "$work/pack/1601.bin"
expect_failure pack-stub "installer stub" pack "$work/pack" "$work/setup.exe" --stub "$work/file"
rm -rf "$work/pack"

# A name of 512 UTF-16 units: nested folders of 100 characters each.
long="$work/new"
for i in 1 2 3 4 5; do long="$long/$(printf 'd%.0s' $(seq 100))"; done
mkdir -p "$long" && printf 'x' > "$long/abcdefg"
expect_failure long-name "longer than 511" build "${ok_args[@]}" --out "$work/out"
rm -rf "$work/new/dddd"*

# An existing output folder is kept unless --force is given.
mkdir "$work/out" && touch "$work/out/keep"
output=$("$tool" build "${ok_args[@]}" --out "$work/out" 2>&1)
if [ $? -eq 0 ] || [ ! -e "$work/out/keep" ] || ! grep -q "already exists" <<<"$output"; then
  echo "FAIL existing-out: $output"; failures=$((failures + 1)); else echo "ok   existing-out"; fi
"$tool" build "${ok_args[@]}" --out "$work/out" --force >/dev/null && [ ! -e "$work/out/keep" ] && [ -f "$work/out/1601.bin" ] \
  && echo "ok   force" || { echo "FAIL force"; failures=$((failures + 1)); }

# The command line: help for the tool and each command, --version, --opt=value, exit codes
# (0 ok, 1 bad input or result, 2 usage), the system's reason in messages, --dry-run, --quiet.
for args in "--help" "-h" "help build" "build --help" "pack --help" "inspect -h" "verify --help" "--version"; do
  out=$("$tool" $args 2>&1); code=$?
  [ "$code" -eq 0 ] && [ -n "$out" ] && echo "ok   help: $args" || { echo "FAIL help: $args ($code)"; failures=$((failures + 1)); }
done
"$tool" build --help | grep -q -- "--dry-run" || { echo "FAIL build help lacks --dry-run"; failures=$((failures + 1)); }
expect_code usage-code 2 build "${ok_args[@]}" --bogus 1 --out "$work/out"
expect_code input-code 1 inspect "$work/file"
rm -rf "$work/out"
expect_failure system-reason "No such file or directory" build --new "$work/new" --target 1.1.0.1 --base 1.1.0.0 --description-file "$work/nope.txt" --out "$work/out"
listing=$("$tool" build --new="$work/new" --old="1.1.0.0=$work/old" --target=1.1.0.1 --base=1.1.0.0 --description=d \
  --out="$work/out" --dry-run 2>&1)
if [ $? -eq 0 ] && grep -q "Bin/a.dat" <<<"$listing" && [ ! -e "$work/out" ]; then echo "ok   dry-run with --opt=value"
else echo "FAIL dry-run: $listing"; failures=$((failures + 1)); fi
quiet=$("$tool" build "${ok_args[@]}" --out "$work/out" --quiet 2>&1)
[ $? -eq 0 ] && [ -z "$quiet" ] && echo "ok   quiet" || { echo "FAIL quiet: $quiet"; failures=$((failures + 1)); }
rm -rf "$work/out"

# A bad stub is refused before any compression: here before the 400 chunks that cannot be made.
mkdir -p "$work/new/many"; for i in $(seq 400); do printf "$i" > "$work/new/many/f$i"; done
expect_failure stub-first "installer stub" build "${ok_args[@]}" --out "$work/out" --chunk-size 1 --installer "$work/setup.exe" --stub "$work/file"
rm -rf "$work/new/many"

# Ctrl-C (SIGINT) and SIGTERM remove every temporary of build and of verify. Each signal comes
# once the tool's first temporary exists, whatever the machine's speed; the 24 MiB of random
# data then leave it seconds of work.
until_temporary() {  # until_temporary PID COMMAND...: true once COMMAND succeeds while PID runs
  local pid=$1 deadline=$((SECONDS + 120))
  shift
  until "$@"; do
    kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ] || return 1
    sleep 0.02
  done
}
head -c $((24 << 20)) /dev/urandom > "$work/new/Bin/big.dat"
"$tool" build "${ok_args[@]}" --out "$work/out" --threads 1 --block-size 4M >/dev/null 2>&1 &
pid=$!
until_temporary $pid sh -c "ls '$work' | grep -q 'tmp-'" || { echo "FAIL interrupted build: no temporary seen"; failures=$((failures + 1)); }
kill -INT $pid; wait $pid; code=$?
if [ "$code" -ne 0 ] && ! ls "$work" | grep -q 'tmp-'; then echo "ok   interrupted build"
else echo "FAIL interrupted build ($code): $(ls "$work")"; failures=$((failures + 1)); fi
"$tool" build "${ok_args[@]}" --out "$work/out" --level 0 --quiet || { echo "FAIL build for verify"; failures=$((failures + 1)); }
mkdir "$work/tmp"
TMPDIR="$work/tmp" "$tool" verify --patch "$work/out" --old "$work/old" --new "$work/new" >/dev/null 2>&1 &
pid=$!
until_temporary $pid sh -c "[ -n \"\$(ls '$work/tmp')\" ]" || { echo "FAIL interrupted verify: no temporary seen"; failures=$((failures + 1)); }
kill -TERM $pid; wait $pid; code=$?
if [ "$code" -ne 0 ] && [ -z "$(ls "$work/tmp")" ]; then echo "ok   interrupted verify"
else echo "FAIL interrupted verify ($code): $(ls "$work/tmp")"; failures=$((failures + 1)); fi
rm -rf "$work/tmp" "$work/out" "$work/new/Bin/big.dat"

# inspect and verify on bad paths.
expect_failure inspect-missing "no patch folder or installer" inspect "$work/nothing"
expect_failure inspect-not-pe "not a PE image" inspect "$work/file"
expect_failure verify-args "verify needs --patch, --old and --new" verify --patch "$work/out"
rm -rf "$work/out"

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures != 0))
