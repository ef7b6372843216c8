# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by FieldTest.sh, with its helpers.
# A watchdog's SIGKILL at any moment of runs and listeners on one port: the port is never blocked
# for good; the next run opens it, taking over what the killed ones left.
[ -w /var/lock ] || { echo "/var/lock cannot be written"; exit 77; }
phone --paced
for round in $(seq 40); do
    if [ $((round % 2)) -eq 0 ]; then
        "$tool" --run rd-on --device "$device" >/dev/null 2>&1 &
    else
        "$tool" --listen --device "$device" >/dev/null 2>&1 &
    fi
    victim=$!
    sleep "0.00$((RANDOM % 10))"
    kill -KILL "$victim" 2>/dev/null || true
    wait "$victim" 2>/dev/null || true
done
"$tool" --run rd-on --device "$device" >"$work/out" 2>"$work/err" || fail "after the kills: $(cat "$work/err")"
leftover=$(ls /var/lock | grep -E '^LCK\.\._proc_|\.(new|ended)\.[0-9]+$' || true)
[ -z "$leftover" ] || fail "files of killed runs are left in the lock folder: $leftover"
echo "forty runs and listeners killed at any moment; the next run opened the port"
