#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the tool and runs every test: once as built for use, once more under
# AddressSanitizer and UndefinedBehaviorSanitizer; compiles the Qt-free core
# for Windows; then runs each fuzz target for 30 seconds.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" "${CROSS_PACKAGES[@]}" "${UART_PACKAGES[@]}" \
    "${CAPTURE_PACKAGES[@]}"
export QT_QPA_PLATFORM=offscreen

configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir "$ROOT/build" --output-on-failure -j "$(nproc)" --label-exclude uart
# The headless run on a real UART driver under QEMU, with its figures in the output.
ctest --test-dir "$ROOT/build" --output-on-failure --verbose --label-regex uart

# The Debian package a distribution would take: lintian, metadata, manual pages, every file it installs.
"$ROOT/tests/install/InstallTest.sh" "$ROOT/build-package" "$("$ROOT/scripts/package.sh" | tail -n 1)"

# The sanitizers again, without the UART test: its guest runs the tool as built for use.
configure_and_build "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=ON
ctest --test-dir "$ROOT/build-asan" --output-on-failure -j "$(nproc)" --label-exclude uart

# The link and command code compiles for Windows too, warnings as errors.
configure_and_build "$ROOT/build-mingw" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DKELVRA_CORE_ONLY=ON

"$ROOT/scripts/fuzz.sh" 30
