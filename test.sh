#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the tool and runs every test: once as built for use, once more under
# AddressSanitizer and UndefinedBehaviorSanitizer; builds the Windows program
# and its packages (with a Qt for Windows built once and cached) and tests
# them under Wine; then runs each fuzz target for 30 seconds.
# ./test.sh --quick (or KELVRA_QUICK=1) leaves the Windows stage out, for a
# fast loop at the desk; CI never does.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

quick=${KELVRA_QUICK:-0}
[ "${1:-}" = --quick ] && quick=1

ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" "${CROSS_PACKAGES[@]}" "${UART_PACKAGES[@]}" \
    "${CAPTURE_PACKAGES[@]}" "${NETWORK_PACKAGES[@]}"
export QT_QPA_PLATFORM=offscreen

configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir "$ROOT/build" --output-on-failure -j "$(nproc)" --label-exclude 'uart|usb|windows'
# The headless run on a real UART driver under QEMU, with its figures in the output.
ctest --test-dir "$ROOT/build" --output-on-failure --verbose --label-regex uart
# A USB serial adapter on the kernel's own driver under QEMU, pulled out and plugged back.
ctest --test-dir "$ROOT/build" --output-on-failure --verbose --label-regex usb

# The Debian package a distribution would take: lintian, metadata, manual pages, every file it installs;
# and the same commit built again elsewhere, by another user, giving the same package byte for byte.
deb=$("$ROOT/scripts/package.sh" | tail -n 1)
"$ROOT/tests/install/InstallTest.sh" "$ROOT/build-package" "$deb"
"$ROOT/tests/install/ReproducibleTest.sh" "$ROOT" deb "$deb" || [ $? -eq 77 ]

# The sanitizers again, without the UART and USB tests: their guests run the tool as built for use.
configure_and_build "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=ON
ctest --test-dir "$ROOT/build-asan" --output-on-failure -j "$(nproc)" --label-exclude 'uart|usb|windows'

# The link and command code compiles for Windows with warnings as errors.
configure_and_build "$ROOT/build-mingw" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DKELVRA_CORE_ONLY=ON

# The whole program for Windows, its zip and installer, signed with a throw-away certificate, and their
# tests under Wine.
if [ "$quick" != 1 ]; then
    ensure_packages openssl osslsigncode
    signing=$ROOT/build-windows/test-signing
    if [ ! -f "$signing/test.pfx" ]; then
        mkdir -p "$signing"
        openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Kelvra test signing" \
            -addext "extendedKeyUsage=codeSigning" -keyout "$signing/key.pem" -out "$signing/cert.pem" 2>/dev/null
        openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/cert.pem" -passout pass:test \
            -out "$signing/test.pfx"
    fi
    KELVRA_SIGN_PFX=$signing/test.pfx KELVRA_SIGN_PASSWORD=test "$ROOT/scripts/windows.sh"
    # Built again elsewhere, unsigned, by another user: the same zip, installer and SPDX document.
    "$ROOT/tests/install/ReproducibleTest.sh" "$ROOT" windows "$ROOT/build-windows" || [ $? -eq 77 ]
    ctest --test-dir "$ROOT/build" --output-on-failure --verbose --label-regex windows
fi

"$ROOT/scripts/fuzz.sh" 30
