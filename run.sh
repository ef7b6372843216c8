#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the tool and starts its window talking to the virtual phone on Com1.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

usage() {
    cat <<'TEXT'
Usage: ./run.sh [--no-phone] [--phone "<phone options>"] [tool options]
Builds kelvra-netmon and opens its window (a display is needed), with Com1
pointed at a virtual phone on a pseudo-terminal.
  --no-phone             the tool alone, for a real phone on a serial port
  --phone "<options>"    options for the virtual phone (build/kelvra-phone-sim --help)
  -h, --help             this text
Other options go to the tool (build/kelvra-netmon --help).
TEXT
}

use_phone=1
phone_options=()
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --no-phone) use_phone=0; shift ;;
        --phone)
            if [ $# -lt 2 ]; then
                echo "run.sh: --phone needs the phone's options as one argument, such as --phone \"--replies 1\"" >&2
                exit 2
            fi
            read -r -a phone_options <<< "$2"; shift 2 ;;
        *) break ;;
    esac
done

# The window needs a display; the tool's options that run without a window do not.
needs_display=1
for arg in "$@"; do
    case "$arg" in
        --run|--run=*|--list-ports|--map|--map=*|-h|--help|-v|--version) needs_display=0 ;;
    esac
done
if [ "$needs_display" -eq 1 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "run.sh: the window needs a display, and DISPLAY is not set (run it in a desktop session)" >&2
    exit 1
fi

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
