#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One commit gives one package: the commit built again from a clean clone in another folder, by
# another user (nobody, when run as root), with another umask, locale and time zone, and at another
# time, gives packages identical byte for byte to the first. A difference is shown (diffoscope's report
# where it is installed).
#   ReproducibleTest.sh SOURCE_DIR deb FIRST.deb
#   ReproducibleTest.sh SOURCE_DIR windows FIRST_BUILD_WINDOWS_DIR
# The Windows packages compared are the unsigned ones (the first build's unsigned/ when it was signed);
# Qt for Windows and its source come from the first build's cache. Each signed program and library of
# the first build, its signature removed, must be its unsigned build.
set -euo pipefail
source_dir=$(realpath "$1")
kind=$2
first=$(realpath "$3")
source "$(dirname "$0")/../support/Scratch.sh"
chmod 755 "$work"
# The commit being tested, also when the work tree has changes the clone cannot see.
[ -z "$(git -C "$source_dir" status --porcelain --untracked-files=no)" ] ||
    { echo "the work tree differs from its commit; commit first"; exit 77; }
clone=$work/elsewhere/kelvra-netmon
git clone -q --no-hardlinks "$source_dir" "$clone"
mkdir -p "$work/home" "$work/cache"
version=$(sed -n 's/^project(kelvra-netmon VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")

differs() {
    if command -v diffoscope >/dev/null; then diffoscope "$1" "$2" | head -n 60; else cmp "$1" "$2"; fi
    fail "two builds of one commit differ: $(basename "$1")"
}

case $kind in
deb) build=scripts/package.sh ;;
windows)
    build=scripts/windows.sh
    # Reused, as a second build on the same machine would: Qt for Windows and its source.
    mkdir -p "$work/cache/kelvra" "$clone/build-windows"
    cp -a "${XDG_CACHE_HOME:-$HOME/.cache}"/kelvra/qt-*-mingw-* "$work/cache/kelvra/"
    cp -a "$first/kelvra-netmon-$version-qt-source" "$clone/build-windows/"
    unsigned=$first
    [ -d "$first/unsigned" ] && unsigned=$first/unsigned ;;
*) fail "no package kind $kind (deb or windows)" ;;
esac
builder=()
if [ "$(id -u)" -eq 0 ]; then
    chown -R nobody "$work/elsewhere" "$work/home" "$work/cache"
    builder=(runuser -u nobody --)
fi
sleep 1
(umask 002 && cd "$work" && "${builder[@]}" env HOME="$work/home" XDG_CACHE_HOME="$work/cache" TZ=Pacific/Kiritimati \
    LANG=C.UTF-8 LC_ALL=C.UTF-8 "$clone/$build" >"$work/build.log" 2>&1) ||
    { tail -n 30 "$work/build.log"; fail "the second build"; }

case $kind in
deb)
    second=$(ls "$clone"/build-package/kelvra-netmon_*.deb)
    cmp -s "$first" "$second" || differs "$first" "$second"
    shown=" $(basename "$first") ($(sha256sum "$first" | cut -c1-16))" ;;
windows)
    shown=
    for name in "kelvra-netmon-$version-win64.zip" "kelvra-netmon-$version-win64-setup.exe" \
        "kelvra-netmon-$version-win64.spdx.json"; do
        [ -f "$unsigned/$name" ] || fail "the first build has no $unsigned/$name"
        cmp -s "$unsigned/$name" "$clone/build-windows/$name" || differs "$unsigned/$name" "$clone/build-windows/$name"
        shown="$shown $name ($(sha256sum "$unsigned/$name" | cut -c1-16))"
    done
    if [ "$unsigned" != "$first" ]; then
        mkdir -p "$work/signed" "$work/unsigned"
        python3 -m zipfile -e "$first/kelvra-netmon-$version-win64.zip" "$work/signed"
        python3 -m zipfile -e "$unsigned/kelvra-netmon-$version-win64.zip" "$work/unsigned"
        count=0
        for signed in "$work"/signed/*/kelvra-*.exe "$work"/signed/*/kelvra-*.com "$work"/signed/*/kelvra-*.dll; do
            name=${signed#"$work"/signed/}
            rm -f "$work/signature" "$work/removed"
            osslsigncode extract-signature -in "$signed" -out "$work/signature" >/dev/null 2>&1 ||
                fail "$name is not signed in the signed zip"
            osslsigncode remove-signature -in "$signed" -out "$work/removed" >/dev/null
            cmp -s "$work/removed" "$work/unsigned/$name" || differs "$work/removed" "$work/unsigned/$name"
            count=$((count + 1))
        done
        [ "$count" -ge 5 ] || fail "only $count signed programs and libraries in the zip"
        shown="$shown; $count signed files, their signatures removed, are their unsigned builds"
    fi ;;
esac
echo "reproducible: built again elsewhere, by $("${builder[@]}" id -un), umask 002, TZ and locale changed:$shown"
