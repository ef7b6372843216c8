# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by FieldTest.sh, with its helpers.
# Ten runs at once on one port, every removal and renaming slowed by 0.3 s: exactly one opens
# it, and every other says which process has it, whether a dead program's lock was there or none.
silent_phone_and_lock
slowed=unlink,unlinkat,rename,renameat,renameat2,link,linkat
s0=$(date +%s%N)
strace -f -qq -o /dev/null -e trace="$slowed" -e inject="$slowed":delay_enter=300000 rm -f "$work/none"
[ $(( ($(date +%s%N) - s0) / 1000000 )) -ge 250 ] || fail "strace does not slow the calls down"
for start in dead-lock free; do
    rm -f "$lock"
    if [ $start = dead-lock ]; then
        sh -c 'exit 0' & dead=$!
        wait $dead
        printf '%10d\n' "$dead" >"$lock"
    fi
    runs=()
    for i in $(seq 10); do
        # strace injects only into the calls it traces.
        strace -f -qq -o /dev/null -e trace="$slowed" -e inject="$slowed":delay_enter=300000 \
            "$tool" --run off --device "$device" >"$work/out.$i" 2>"$work/err.$i" &
        runs+=($!)
    done
    # The losers end at once; the winner waits for a phone that never answers.
    for _ in $(seq 300); do
        [ "$(cat "$work"/err.* | grep -c 'in use by another program' || true)" -ge 9 ] && break
        sleep 0.1
    done
    opened=$(grep -l "COM port open." "$work"/out.* | wc -l)
    [ "$opened" -eq 1 ] || fail "$start: $opened runs opened the port"
    holders=$(grep -ho 'in use by another program (process [0-9]*)' "$work"/err.* | sort -u)
    [ "$(grep -c . <<<"$holders")" -eq 1 ] || fail "$start: the losers name other holders: $holders"
    winner=$(grep -l "COM port open." "$work"/out.* | sed 's/.*\.//')
    holder=$(grep -o '[0-9]*' <<<"$holders")
    [ "$(ps -o ppid= -p "$holder" | tr -d ' ')" = "${runs[$((winner - 1))]}" ] ||
        fail "$start: the losers name process $holder, not the run that opened the port"
    grep -q "names no process" "$work"/err.* && fail "$start: a run calls a lock being written ownerless"
    kill "$holder"
    wait "${runs[@]}" 2>/dev/null || true
    rm -f "$work"/out.* "$work"/err.*
    echo "$start: one of ten runs opened the port, nine named it"
done
