#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what installing puts where, the desktop entry, the software-centre
# metadata, the manual pages and the icons, and that the installed tool
# starts and closes cleanly on SIGTERM. Given a Debian package too, checks it
# with lintian and lists every file it installs.
#   InstallTest.sh BUILD_DIR [PACKAGE.deb]
set -euo pipefail
build=$1
package=${2:-}
source "$(dirname "$0")/../support/Scratch.sh"
root=$work
sizes="16 24 32 48 64 128 256"

# Every file a prefix receives, with LIBDIR for the library folder.
expected_files() {
    printf '%s\n' bin/kelvra-netmon bin/kelvra-phone-sim LIBDIR/kelvra-netmon/kelvra-window.so \
        LIBDIR/kelvra-netmon/libkelvra-core.so \
        LIBDIR/wireshark/plugins/m2bus.lua \
        share/applications/invalid.kelvra.netmon.desktop share/metainfo/invalid.kelvra.netmon.metainfo.xml \
        share/doc/kelvra-netmon/changelog.gz share/doc/kelvra-netmon/copyright \
        share/doc/kelvra-netmon/kelvra-netmon.html \
        share/man/man1/kelvra-netmon.1.gz share/man/man1/kelvra-phone-sim.1.gz \
        share/icons/hicolor/scalable/apps/kelvra-netmon.svg
    for size in $sizes; do echo "share/icons/hicolor/${size}x${size}/apps/kelvra-netmon.png"; done
}

# check_tree PREFIX LIBDIR: the files, the desktop entry, metadata, manual pages and icons under PREFIX.
check_tree() {
    local prefix=$1 libdir=$2
    diff <(expected_files | sed "s|^LIBDIR|$libdir|" | sort) <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort) \
        || fail "installed files differ from the expected ones (< expected, > installed)"
    # Wireshark's capture source is the program itself, by another name in Wireshark's extcap folder.
    [ "$(readlink -f "$prefix/$libdir/wireshark/extcap/kelvra-m2bus")" = "$(readlink -f "$prefix/bin/kelvra-netmon")" ] \
        || fail "the extcap does not lead to the program"
    "$prefix/$libdir/wireshark/extcap/kelvra-m2bus" --extcap-interfaces | grep -q '^interface {value=m2bus-com1}' \
        || fail "the extcap lists no interface"
    # Its help button opens the manual page, installed as HTML.
    "$prefix/$libdir/wireshark/extcap/kelvra-m2bus" --extcap-interfaces |
        grep -q '{help=file:///.*/share/doc/kelvra-netmon/kelvra-netmon.html}' || fail "the extcap has no help link"
    grep -q '<title>KELVRA-NETMON</title>' "$prefix/share/doc/kelvra-netmon/kelvra-netmon.html" ||
        fail "the HTML manual is not the manual page"
    desktop-file-validate "$prefix/share/applications/invalid.kelvra.netmon.desktop" || fail "desktop entry does not validate"
    grep -q '^Exec=kelvra-netmon$' "$prefix/share/applications/invalid.kelvra.netmon.desktop" || fail "wrong Exec"
    appstreamcli validate --no-net "$prefix/share/metainfo/invalid.kelvra.netmon.metainfo.xml" >/dev/null \
        || fail "AppStream metadata does not validate: $(appstreamcli validate --no-net "$prefix/share/metainfo/"*.xml)"
    for size in $sizes; do
        file "$prefix/share/icons/hicolor/${size}x${size}/apps/kelvra-netmon.png" | grep -q "$size x $size" \
            || fail "the ${size}x${size} icon has another size"
    done
    # Each program's manual page reads without warnings and covers every option of its --help.
    for program in kelvra-netmon kelvra-phone-sim; do
        local page="$prefix/share/man/man1/$program.1.gz" warnings text option
        warnings=$(man --warnings -l "$page" 2>&1 >/dev/null) || fail "man cannot read $program.1"
        [ -z "$warnings" ] || fail "$program.1 has warnings: $warnings"
        text=$(MANWIDTH=200 man -l "$page" 2>/dev/null)
        for option in $("$prefix/bin/$program" --help | grep -oE -- '(^|[ ,])--?[a-z][a-z-]*' | tr -d ' ,' | sort -u); do
            grep -qe "$option" <<<"$text" || fail "$program.1 does not mention $option"
        done
    done
}

# Every source file, script and CMake file carries the licence's SPDX line.
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
unlicensed=$(cd "$source_dir" && find . \( -name 'build*' -o -name .git \) -prune -o -type f \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.lua' -o -name '*.cmake' -o -name CMakeLists.txt -o -path ./.ci/run \) \
    -print | xargs grep -L 'SPDX-License-Identifier: MIT' || true)
[ -z "$unlicensed" ] || fail "no SPDX line in: $unlicensed"

prefix="$root/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(cd "$prefix" && find . -name kelvra-window.so | sed 's|^\./||; s|/kelvra-netmon/kelvra-window.so$||')
check_tree "$prefix" "$libdir"

# What is one per process (the console, the signal received, the wire trace) is defined in the shared
# library alone: neither the program nor the window module carries a copy of its own.
for binary in "$prefix"/bin/kelvra-netmon "$prefix/$libdir"/kelvra-netmon/kelvra-window.so; do
    copies=$(nm -C "$binary" 2>/dev/null | grep -E ' [TtBbDd] kelvra::(Console|WireTrace|TerminationSignals)::' || true)
    [ -z "$copies" ] || fail "$(basename "$binary") has its own copy of state kept once per process: $copies"
done

# The installed tool finds its window module, stays up until it is closed, and ends cleanly.
QT_QPA_PLATFORM=offscreen "$prefix/bin/kelvra-netmon" 2>"$root/stderr" &
tool=$!
sleep 1
kill -0 "$tool" 2>/dev/null || fail "kelvra-netmon did not stay up: $(cat "$root/stderr")"
kill -TERM "$tool"
status=0
wait "$tool" || status=$?
[ "$status" -eq 0 ] || fail "kelvra-netmon ended with status $status when closed"

if [ -n "$package" ]; then
    [ -f "$package" ] || fail "no package at $package"
    findings=$(lintian --fail-on none "$package" 2>/dev/null | grep -E '^[EW]: ' || true)
    [ -z "$findings" ] || fail "lintian: $findings"
    dpkg-deb -x "$package" "$root/package"
    echo "The package installs:"
    (cd "$root/package" && find . -type f | sed 's|^\./|/|' | sort)
    check_tree "$root/package/usr" "lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
fi
echo "installed files, desktop entry, metadata, manual pages, icons and start-up are fine${package:+; so is the package}"
