#!/usr/bin/env bash
# Every start of Wine that cannot work stops at once with the cause and the
# remedy; the preset choice follows the kernel and QUILLON_FALLBACK_X64.
set -u
check=$QUILLON_SOURCE_DIR/scripts/wine-check
preset=$QUILLON_SOURCE_DIR/scripts/test-preset
failures=0
scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect STATUS TEXT LOADER: wine-check's exit status and a part of its sentence.
expect() {
  local want=$1 text=$2 loader=$3 out status
  out=$("$check" "$loader" 2>&1); status=$?
  [ "$status" = "$want" ] || fail "$loader: exit $status, expected $want ($out)"
  case "$out" in *"$text"*) ;; *) fail "$loader: '$out' does not say '$text'" ;; esac
  case "$out" in *"Syntax error"*|*"unexpected"*) fail "$loader: a shell's complaint leaked: $out" ;; esac
}

# A file with an ELF header the kernel refuses to run, as a 32-bit loader is
# refused by a kernel without 32-bit user code.
printf '\177ELF\001\001\001\000refused' > "$scratch/wine32"
printf '\177ELF\002\001\001\000refused' > "$scratch/wine64"
chmod +x "$scratch/wine32" "$scratch/wine64"

expect 3 "run scripts/bootstrap" "$scratch/absent"
expect 4 "QUILLON_FALLBACK_X64=1" "$scratch/wine32"
expect 5 "reinstall Wine" "$scratch/wine64"
# The loader this build's wine-run uses starts.
loader=$(sed -n 's/^export WINELOADER="\(.*\)"$/\1/p' "$QUILLON_WINE_RUN")
expect 0 "" "$loader"

[ "$(QUILLON_FALLBACK_X64=1 "$preset" 2>/dev/null)" = test-x64 ] || fail "QUILLON_FALLBACK_X64=1 does not choose test-x64"
[ "$(QUILLON_FALLBACK_X64=1 "$preset" --other)" = test ] || fail "the other preset of test-x64 is not test"
line=$(QUILLON_FALLBACK_X64=1 "$preset" 2>&1 >/dev/null)
case "$line" in *"FALLING BACK to the x86_64 build"*) ;; *) fail "no fallback line: $line" ;; esac

[ "$failures" -eq 0 ] && echo "wine-check and test-preset: all cases hold"
exit "$failures"
