#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package build-package/kelvra-netmon_<version>_<arch>.deb,
# compiled with Debian's hardening flags, and prints its path.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
linker="$(dpkg-buildflags --get LDFLAGS)"
configure_and_build "$ROOT/build-package" -DCMAKE_BUILD_TYPE=Release -DKELVRA_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$linker" -DCMAKE_MODULE_LINKER_FLAGS="$linker" -DCMAKE_SHARED_LINKER_FLAGS="$linker" \
    -- kelvra-netmon kelvra-window kelvra-core kelvra-phone-sim man_pages changelog
rm -f "$ROOT"/build-package/kelvra-netmon_*.deb
(cd "$ROOT/build-package" && cpack -G DEB >/dev/null)
ls "$ROOT"/build-package/kelvra-netmon_*.deb
