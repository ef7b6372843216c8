#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Renders app/icons/kelvra-netmon.svg into the PNGs beside it. The 16 and 32
# pixel images of the window's icon keep to 16 colours. Run after changing
# the drawing; the PNGs are committed.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_packages librsvg2-bin pngquant
icons="$ROOT/app/icons"
for size in 16 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" "$icons/kelvra-netmon.svg" -o "$icons/kelvra-netmon-$size.png"
done
for size in 16 32; do
    pngquant --force --strip --output "$icons/kelvra-netmon-$size.png" 16 "$icons/kelvra-netmon-$size.png"
done
