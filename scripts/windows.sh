#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds kelvra-netmon.exe and its window module for 64-bit Windows with the
# Qt that scripts/windows-qt.sh builds (or has cached), and packages them in
# build-windows/: a portable zip and an installer made with NSIS. With
# KELVRA_SIGN_PFX (a PKCS#12 file) and KELVRA_SIGN_PASSWORD set, the programs,
# our library, the installer and its uninstaller are signed (time-stamped by
# KELVRA_SIGN_TIMESTAMP when set), and the unsigned packages are kept in
# build-windows/unsigned/; without them everything is unsigned. One commit
# gives the same unsigned packages byte for byte, whoever builds it, wherever
# and whenever (signed ones too, with the same key and no time-stamp server).
# Prints the packages' paths and sizes.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${WINDOWS_PACKAGES[@]}"
# The commit's time in every time stamp (the zip's, the installer's files', and the programs' headers,
# which strip writes from SOURCE_DATE_EPOCH; the libraries' export tables carry none), the permissions
# this script's own, and nothing compiled names the folder it was built in.
umask 022
export_source_date_epoch
qt=$("$ROOT/scripts/windows-qt.sh" | tail -n 1)
out=$ROOT/build-windows
version=$(sed -n 's/^project(kelvra-netmon VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")

# A build made with another Qt (the cache's key changed) starts afresh: CMake keeps the Qt it found first.
cache=$out/build/CMakeCache.txt
if [ -f "$cache" ] && grep -q '^Qt6_DIR:' "$cache" && ! grep -q "^Qt6_DIR:PATH=$qt/" "$cache"; then rm -rf "$out/build"; fi
configure_and_build "$out/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DKELVRA_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$ROOT=." \
    -DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-insert-timestamp -DCMAKE_SHARED_LINKER_FLAGS=-Wl,--no-insert-timestamp \
    -DCMAKE_MODULE_LINKER_FLAGS=-Wl,--no-insert-timestamp

# The program, its window module, Qt and the MinGW run-time, as they are installed.
stage=$out/kelvra-netmon-$version
rm -rf "$stage"
mkdir -p "$stage/platforms" "$stage/styles"
cp "$out/build/kelvra-netmon.exe" "$out/build/kelvra-netmon.com" "$out/build/kelvra-window.dll" "$out/build/kelvra-core.dll" \
    "$out/build/kelvra-m2bus.exe" "$stage/"
cp "$qt"/bin/Qt6Core.dll "$qt"/bin/Qt6Gui.dll "$qt"/bin/Qt6Widgets.dll "$qt"/bin/Qt6Network.dll "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
for dll in libgcc_s_seh-1.dll libstdc++-6.dll; do cp "$runtime/$dll" "$stage/"; done
cp /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$stage/"
# The installer's own tool, run from its temporary folder and not installed: outside the staged tree.
tools=$out/installer-tools
mkdir -p "$tools"
cp "$out/build/kelvra-path.exe" "$tools/"
x86_64-w64-mingw32-strip "$stage"/*.dll "$stage"/*.exe "$stage"/*.com "$stage"/*/*.dll "$tools"/*.exe
# Our own programs and library, which are signed. What signing adds besides the signature (a length in
# steps of 8, the header's checksum) they have unsigned too: a signed file less its signature is the same.
ours=("$stage/kelvra-netmon.exe" "$stage/kelvra-netmon.com" "$stage/kelvra-window.dll" "$stage/kelvra-core.dll"
    "$stage/kelvra-m2bus.exe" "$tools/kelvra-path.exe")
"$ROOT/packaging/windows/pe-seal.py" "${ours[@]}"
cp "$ROOT/LICENSE" "$stage/LICENSE.txt"
cp "$ROOT/packaging/wireshark/m2bus.lua" "$stage/"
# What the packages bundle, with its licences, and the exact source of the Qt they carry next to them.
qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
sources=kelvra-netmon-$version-qt-source
"$ROOT/packaging/windows/notices.sh" "$qt_version" "$sources" >"$stage/THIRD-PARTY.txt"
mkdir -p "$out/$sources"
if ! [ -f "$out/$sources/qt6-base_${qt_version#*:}.dsc" ]; then
    (cd "$out/$sources" && apt-get source --download-only -q "qt6-base=$qt_version" >&2)
fi
cp "$ROOT/scripts/windows-qt.sh" "$out/$sources/"

# The zip, its SPDX document and the installer of the staged files, in folder $1; makensis's options after.
make_packages() {
    local dir=$1
    shift
    mkdir -p "$dir"
    # Each file carries the commit's time: the zip and the installer keep a file's time.
    find "$stage" "$tools" "$out/build/kelvra-netmon.ico" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    local zip=$dir/kelvra-netmon-$version-win64.zip
    rm -f "$zip"
    "$ROOT/packaging/windows/zip.py" "$zip" "$stage"
    "$ROOT/packaging/windows/spdx.py" "$stage" "$zip" "$version" "$qt_version" >"$dir/kelvra-netmon-$version-win64.spdx.json"
    makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DTOOLS="$tools" \
        -DOUTFILE="$dir/kelvra-netmon-$version-win64-setup.exe" "$@" "$ROOT/packaging/windows/installer.nsi" >&2
    for package in "$zip" "$dir/kelvra-netmon-$version-win64-setup.exe" "$dir/kelvra-netmon-$version-win64.spdx.json"; do
        echo "$package $(du -h "$package" | cut -f1)"
    done
}

if [ -n "${KELVRA_SIGN_PFX:-}" ] && [ -n "${KELVRA_SIGN_PASSWORD:-}" ]; then
    make_packages "$out/unsigned"
    KELVRA_SIGN_PFX=$(realpath "$KELVRA_SIGN_PFX")
    export KELVRA_SIGN_PFX KELVRA_SIGN_PASSWORD
    "$ROOT/scripts/sign-windows.sh" "${ours[@]}"
    echo "windows: signed with $KELVRA_SIGN_PFX" >&2
    make_packages "$out" -DSIGN="$ROOT/scripts/sign-windows.sh"
else
    echo "windows: unsigned (set KELVRA_SIGN_PFX and KELVRA_SIGN_PASSWORD to sign)" >&2
    rm -rf "$out/unsigned"
    make_packages "$out"
fi
echo "$out/$sources $(du -sh "$out/$sources" | cut -f1)"
