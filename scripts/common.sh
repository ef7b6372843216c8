# SPDX-License-Identifier: MIT
# Shared by run.sh and test.sh: installs missing Debian packages and builds.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages every build needs.
BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev libgtest-dev libgmock-dev groff)
# What building the Debian package and checking the desktop entry take besides; diffoscope explains a
# difference between two builds of one commit.
PACKAGE_PACKAGES=(dpkg-dev file desktop-file-utils man-db appstream lintian diffoscope-minimal)
# The Qt-free core is also compiled for Windows, with MinGW-w64.
CROSS_PACKAGES=(g++-mingw-w64-x86-64)
# The UART and USB adapter tests boot Debian's kernel with busybox under QEMU, with the kernel's own
# modules (found by modprobe) for the USB adapter.
UART_PACKAGES=(qemu-system-x86 linux-image-amd64 busybox-static cpio xz-utils kmod)
# The Windows build: the posix-thread MinGW-w64 compilers, an icon tool, NSIS for the installer,
# osslsigncode and openssl to sign it, Wine to run it, python3 for the SPDX document and dpkg-dev for Qt's
# source (Qt for Windows comes from scripts/windows-qt.sh).
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix icoutils nsis wine64 wine xvfb x11-apps
    x11-utils procps osslsigncode openssl python3 dpkg-dev)
# The Wireshark dissector is tested with tshark; runs racing for a port with strace's fault injection (and ps).
CAPTURE_PACKAGES=(tshark strace procps)
# Phones on a device server: Debian's ser2net as the real server.
NETWORK_PACKAGES=(ser2net)
# The fuzz targets are built with clang and its libFuzzer.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# The commit's time, for every time stamp a package holds, so that one commit gives one package.
export_source_date_epoch() {
    SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || stat -c %Y "$ROOT/CMakeLists.txt")}
    export SOURCE_DATE_EPOCH
}

# Installs whichever of the given Debian packages are missing.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure_and_build BUILD_DIR [cmake options...] [-- targets...]
configure_and_build() {
    local dir=$1
    shift
    local options=() targets=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
    [ "${1:-}" = "--" ] && shift
    targets=("$@")
    cmake -S "$ROOT" -B "$dir" -G Ninja "${options[@]}" >/dev/null
    if [ ${#targets[@]} -gt 0 ]; then
        cmake --build "$dir" --target "${targets[@]}"
    else
        cmake --build "$dir"
    fi
}
