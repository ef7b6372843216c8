#!/usr/bin/env bash
# Builds the tool and starts it.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -- kelvra-netmon
exec "$ROOT/build/kelvra-netmon" "$@"
