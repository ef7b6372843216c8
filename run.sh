#!/usr/bin/env bash
# Builds the tool and starts it talking to the virtual phone on Com1.
#   ./run.sh                           the tool and the virtual phone
#   ./run.sh --phone "--replies 1"     the virtual phone with options (see kelvra-phone-sim --help)
#   ./run.sh --no-phone                the tool alone, for a real phone
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

use_phone=1
phone_options=()
while [ $# -gt 0 ]; do
    case "$1" in
        --no-phone) use_phone=0; shift ;;
        --phone) read -r -a phone_options <<< "${2:-}"; shift 2 ;;
        *) break ;;
    esac
done

ensure_packages "${BUILD_PACKAGES[@]}"
configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -- kelvra-netmon kelvra-phone-sim

if [ "$use_phone" -eq 0 ]; then
    exec "$ROOT/build/kelvra-netmon" "$@"
fi

workdir=$(mktemp -d)
phone_pid=
cleanup() {
    [ -n "$phone_pid" ] && kill "$phone_pid" 2>/dev/null && wait "$phone_pid" 2>/dev/null
    rm -rf "$workdir"
}
trap cleanup EXIT

"$ROOT/build/kelvra-phone-sim" "${phone_options[@]}" >"$workdir/device" 2>"$workdir/phone.log" &
phone_pid=$!
for _ in $(seq 50); do
    [ -s "$workdir/device" ] && break
    sleep 0.1
done
device=$(head -n 1 "$workdir/device")
if [ -z "$device" ]; then
    echo "The virtual phone did not start:" >&2
    cat "$workdir/phone.log" >&2
    exit 1
fi
echo "Virtual phone on $device (Com1)." >&2
KELVRA_COM1="$device" "$ROOT/build/kelvra-netmon" "$@"
