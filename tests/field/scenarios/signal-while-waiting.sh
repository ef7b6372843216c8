# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by FieldTest.sh, with its helpers.
# SIGTERM while a run waits for another run's lock-taking (held here by flock on the lock folder):
# it ends within half a second, 143, without opening the port.
[ -w /var/lock ] || { echo "/var/lock cannot be written"; exit 77; }
phone
flock /var/lock sleep 5 &
holder=$!
pids+=($holder)
sleep 0.3
"$tool" --run rd-on --device "$device" >"$work/out" 2>"$work/err" &
run=$!
sleep 0.5
s0=$(date +%s%N)
kill -TERM "$run"
status=0
wait "$run" || status=$?
took=$(( ($(date +%s%N) - s0) / 1000000 ))
[ "$status" -eq 143 ] || fail "status $status: $(cat "$work/err")"
[ "$took" -lt 500 ] || fail "it took $took ms to end"
grep -q "COM port open." "$work/out" && fail "it opened the port"
echo "SIGTERM while waiting for the lock folder: 143 in $took ms, the port not opened"
