#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Signs Windows programs, libraries and installers in place with osslsigncode
# (Authenticode), with the PKCS#12 file KELVRA_SIGN_PFX and its password
# KELVRA_SIGN_PASSWORD, time-stamped by KELVRA_SIGN_TIMESTAMP when it names a
# time-stamp server. Without one, the signing time is SOURCE_DATE_EPOCH when it
# is set, so that one commit signed with one key gives the same files.
# Usage: sign-windows.sh FILE...
set -euo pipefail
: "${KELVRA_SIGN_PFX:?the PKCS#12 file to sign with}" "${KELVRA_SIGN_PASSWORD:?its password}"
timestamp=()
if [ -n "${KELVRA_SIGN_TIMESTAMP:-}" ]; then
    timestamp=(-ts "$KELVRA_SIGN_TIMESTAMP")
elif [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    timestamp=(-time "$SOURCE_DATE_EPOCH")
fi
for file in "$@"; do
    osslsigncode sign -pkcs12 "$KELVRA_SIGN_PFX" -readpass <(printf '%s' "$KELVRA_SIGN_PASSWORD") \
        -n "Kelvra Net Monitor Tool" -h sha256 "${timestamp[@]}" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
done
