#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what lands there and
# that the installed tool starts and closes cleanly on SIGTERM.
#   InstallTest.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }
for file in bin/kelvra-netmon bin/kelvra-phone-sim share/applications/kelvra-netmon.desktop \
    share/icons/hicolor/16x16/apps/kelvra-netmon.png share/icons/hicolor/32x32/apps/kelvra-netmon.png; do
    [ -f "$prefix/$file" ] || fail "$file was not installed"
done
[ -x "$prefix/bin/kelvra-netmon" ] || fail "kelvra-netmon is not executable"
file "$prefix/share/icons/hicolor/16x16/apps/kelvra-netmon.png" | grep -q '16 x 16' || fail "16x16 icon has another size"
file "$prefix/share/icons/hicolor/32x32/apps/kelvra-netmon.png" | grep -q '32 x 32' || fail "32x32 icon has another size"

desktop-file-validate "$prefix/share/applications/kelvra-netmon.desktop" || fail "desktop entry does not validate"
grep -q '^Categories=.*Utility;' "$prefix/share/applications/kelvra-netmon.desktop" || fail "not in Utility"
grep -q '^Exec=kelvra-netmon$' "$prefix/share/applications/kelvra-netmon.desktop" || fail "wrong Exec"

# Each program's manual page is installed, reads without warnings and covers every option of its --help.
for program in kelvra-netmon kelvra-phone-sim; do
    page="$prefix/share/man/man1/$program.1.gz"
    [ -f "$page" ] || fail "$program.1.gz was not installed"
    warnings=$(man --warnings -l "$page" 2>&1 >/dev/null) || fail "man cannot read $program.1"
    [ -z "$warnings" ] || fail "$program.1 has warnings: $warnings"
    text=$(MANWIDTH=200 man -l "$page" 2>/dev/null)
    for option in $("$prefix/bin/$program" --help | grep -oE -- '(^|[ ,])--?[a-z][a-z-]*' | tr -d ' ,' | sort -u); do
        grep -qe "$option" <<<"$text" || fail "$program.1 does not mention $option"
    done
done

# The installed tool stays up until it is closed.
QT_QPA_PLATFORM=offscreen "$prefix/bin/kelvra-netmon" 2>/dev/null &
tool=$!
sleep 1
kill -0 "$tool" 2>/dev/null || fail "kelvra-netmon did not stay up"
kill -TERM "$tool"
status=0
wait "$tool" || status=$?
[ "$status" -eq 0 ] || fail "kelvra-netmon ended with status $status when closed"
echo "installed files, desktop entry and start-up are fine"
