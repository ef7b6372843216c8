#!/usr/bin/env bash
# Builds the Debian package build-package/kelvra-netmon_<version>_<arch>.deb.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
configure_and_build "$ROOT/build-package" -DCMAKE_BUILD_TYPE=Release -DKELVRA_BUILD_TESTS=OFF
(cd "$ROOT/build-package" && cpack -G DEB >/dev/null)
ls "$ROOT"/build-package/kelvra-netmon_*.deb
