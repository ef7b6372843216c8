#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tool where the field is hard on it, as root (as CI runs): runs racing
# for one port with the lock's removal slowed down, a disk that fills during a
# run and empties again,
# a lock folder that is read-only; and Wireshark capturing live from the
# listener (its extcap folder, which only root may change, in a mount namespace).
# Usage: FieldTest.sh BUILD_DIR SCENARIO   (one of scenarios/*.sh: lock-race, foreign-lock, killed-runs,
#        signal-while-waiting, full-disk, shared-records, read-error, read-only-locks, wireshark-live)
set -euo pipefail
build=$1
scenario=$2
[ "$(id -u)" -eq 0 ] || { echo "needs root (mount namespaces, the system's lock folder)"; exit 77; }
tool=$build/kelvra-netmon
source "$(dirname "$0")/../support/Scratch.sh"
export XDG_CONFIG_HOME=$work
# LeakSanitizer (the sanitizer build) cannot work under strace's ptrace and would change the statuses looked at.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
unset DISPLAY KELVRA_COM1

phone() {  # options...: a virtual phone; its device in $device
    # Gone first: the shell truncates it only once the phone's process runs.
    rm -f "$work/device"
    "$build/kelvra-phone-sim" --quiet "$@" >"$work/device" &
    pids+=($!)
    for _ in $(seq 50); do [ "$(wc -l <"$work/device" 2>/dev/null)" = 1 ] && break; sleep 0.1; done
    device=$(head -n 1 "$work/device")
}
# Mount namespaces with tmpfs and bind mounts, where this machine allows them.
can_mount() {
    mkdir -p "$work/probe"
    unshare -m sh -c "mount -t tmpfs tmpfs '$work/probe' && mount --bind '$work/probe' '$work/probe'" 2>/dev/null ||
        { echo "mount namespaces are not available here"; exit 77; }
}
# readable CAPTURE PATTERN: tshark reads the capture, and the replay names nothing matching PATTERN.
readable() {
    if command -v tshark >/dev/null; then
        tshark -r "$1" >/dev/null 2>"$work/tshark.err" || fail "the capture: $(cat "$work/tshark.err")"
    fi
    "$build/kelvra-phone-sim" --replay "$1" --quiet >/dev/null 2>"$work/replay.err" &
    pids+=($!)
    sleep 0.5
    if grep -q "$2" "$work/replay.err"; then fail "the capture is damaged: $(cat "$work/replay.err")"; fi
}
# The lock scenarios: strace and /var/lock usable, a phone that never answers; its lock file in $lock.
silent_phone_and_lock() {
    strace -qq -o /dev/null true 2>/dev/null || { echo "strace cannot trace here"; exit 77; }
    [ -w /var/lock ] || { echo "/var/lock cannot be written"; exit 77; }
    phone --fault no-answer
    lock=/var/lock/LCK..${device#/dev/}
    lock=${lock//pts\//pts_}
}
stamped='^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12}[+-][0-9]{2}:[0-9]{2} '

scenarios=$(dirname "$0")/scenarios
[ -f "$scenarios/$scenario.sh" ] || fail "no scenario $scenario (one of: $(cd "$scenarios" && ls | sed 's/\.sh$//' | tr '\n' ' '))"
source "$scenarios/$scenario.sh"
