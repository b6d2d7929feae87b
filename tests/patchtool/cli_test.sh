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
  if ls "$work" | grep -qvE '^(old|new|file|out|descr)$'; then
    echo "FAIL $name: left behind: $(ls "$work")"; failures=$((failures + 1)); return
  fi
  echo "ok   $name"
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

# inspect and verify on bad paths.
expect_failure inspect-missing "no patch folder or installer" inspect "$work/nothing"
expect_failure inspect-not-pe "not a PE image" inspect "$work/file"
expect_failure verify-args "verify needs --patch, --old and --new" verify --patch "$work/out"
rm -rf "$work/out"

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures != 0))
