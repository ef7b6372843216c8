#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds a small shared Qt for 64-bit Windows (Core, Gui, Widgets, Network, the windows
# platform and style plugins) from Debian's own source package of the Qt this
# machine has, with the posix-thread MinGW-w64 toolchain and the host's Qt as
# the host tools. The result is cached, keyed by the Qt version and this
# script's hash: a second run with the cache present takes seconds.
# Prints the Qt folder on its last line.
set -euo pipefail
source "$(dirname "$0")/common.sh"

WINDOWS_QT_PACKAGES=(dpkg-dev xz-utils perl cmake ninja-build qt6-base-dev qt6-base-dev-tools
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)

step() { echo "windows-qt: [$1/5] $2" >&2; }

step 1 "packages"
ensure_packages "${WINDOWS_QT_PACKAGES[@]}"

version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
upstream=${version%%+*}
hash=$(sha256sum "$0" | cut -c1-12)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/kelvra
prefix=$cache/qt-$upstream-mingw-$hash
if [ -f "$prefix/.complete" ]; then
    echo "windows-qt: Qt $upstream for Windows is cached in $prefix" >&2
    echo "$prefix"
    exit 0
fi

work=$cache/qt-$upstream-mingw-$hash.work
rm -rf "$work" "$prefix"
mkdir -p "$work"

step 2 "Debian's source package qt6-base $version"
# apt-get source needs the archive's source indexes; add them where only binaries are listed.
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
if ! apt-get source --print-uris "qt6-base=$version" >/dev/null 2>&1; then
    src_list=/etc/apt/sources.list.d/kelvra-deb-src.sources
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | as_root tee "$src_list" >/dev/null
    else
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list | as_root tee "${src_list%.sources}.list" >/dev/null
    fi
    as_root apt-get update -q >&2
fi
(cd "$work" && apt-get source -q "qt6-base=$version" >&2)
source_dir=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'qt6-base-*' | head -n 1)

step 3 "configure"
mkdir -p "$work/build"
(cd "$work/build" && "$source_dir/configure" -prefix "$prefix" -release -shared -xplatform win32-g++ \
    -qt-host-path /usr -nomake tests -nomake examples -no-opengl -no-dbus -no-feature-vulkan -no-feature-sql \
    -no-openssl -no-feature-xml -no-feature-testlib -no-feature-printsupport -no-feature-concurrent \
    -no-feature-tabletevent -qt-zlib -qt-libpng -qt-pcre -no-libjpeg -no-freetype -qt-harfbuzz -no-icu \
    -- -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >"$work/configure.log" 2>&1) || {
    tail -n 40 "$work/configure.log" >&2
    exit 1
}

step 4 "build (about 30 minutes on 2 cores)"
# Ninja's own status, shown every 5 % on one line each.
if ! NINJA_STATUS='[%f/%t] ' cmake --build "$work/build" --parallel "$(nproc)" 2>&1 | tee "$work/build.log" |
    awk '/^\[[0-9]+\/[0-9]+\] / { split(substr($1, 2), n, "/"); p = int(100 * n[1] / n[2] / 5) * 5;
         if (p != last) { printf "windows-qt: build %d%% (%d of %d)\n", p, n[1], n[2] > "/dev/stderr"; last = p } }'; then
    grep -B2 -A20 'FAILED' "$work/build.log" | head -n 60 >&2
    exit 1
fi

step 5 "install into $prefix"
cmake --install "$work/build" >/dev/null
touch "$prefix/.complete"
rm -rf "$work"
echo "windows-qt: Qt $upstream for Windows in $prefix ($(du -sh "$prefix" | cut -f1))" >&2
echo "$prefix"
