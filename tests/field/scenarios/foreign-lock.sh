# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by FieldTest.sh, with its helpers.
# Another program (here a shell with noclobber, which creates its lock in one O_EXCL step) locks
# the port at any moment of the tool's open, the tool's own lock-taking slowed by 0.3 s once: at
# most one of them has the port, and the other's lock is never removed while its process lives.
silent_phone_and_lock
sleep 600 & live=$!
pids+=($live)
for round in $(seq 20); do
    rm -f "$lock"
    slow=()
    [ "$round" -eq 1 ] && slow=(strace -f -qq -o /dev/null -e trace=link,linkat -e inject=link,linkat:delay_enter=300000)
    "${slow[@]}" "$tool" --run off --device "$device" >"$work/out" 2>"$work/err" &
    run=$!
    sleep "0.0$((RANDOM % 10))"
    [ "$round" -eq 1 ] && sleep 0.1
    if (set -C; printf '%10d\n' "$live" >"$lock") 2>/dev/null; then
        wait "$run" || true
        grep -q "in use by another program (process $live)" "$work/err" ||
            fail "round $round: the foreign lock was taken first, yet: $(cat "$work/out" "$work/err")"
        [ "$(cat "$lock")" = "$(printf '%10d' "$live")" ] || fail "round $round: the foreign lock was changed"
    else
        # The tool had it first: it opens the port and waits for the silent phone.
        for _ in $(seq 50); do grep -q "COM port open." "$work/out" && break; sleep 0.1; done
        grep -q "COM port open." "$work/out" || fail "round $round: neither has the port: $(cat "$work/err")"
        kill "$run"
        wait "$run" || true
    fi
done
# A dead program's lock that another program replaces with its own (one rename) while the tool,
# slowed by a second at its rename, takes the dead one over: the live lock is put back, the port not opened.
sh -c 'exit 0' & dead=$!
wait $dead
printf '%10d\n' "$dead" >"$lock"
strace -f -qq -o /dev/null -e trace=rename,renameat,renameat2 -e inject=rename,renameat,renameat2:delay_enter=1000000 \
    "$tool" --run off --device "$device" >"$work/out" 2>"$work/err" &
run=$!
sleep 0.4
printf '%10d\n' "$live" >"$lock.other" && mv -f "$lock.other" "$lock"
wait "$run" && fail "the tool opened the port over a live lock: $(cat "$work/out")"
[ "$(cat "$lock")" = "$(printf '%10d' "$live")" ] || fail "the live lock that replaced the dead one is gone"
grep -q "changed while it was taken over" "$work/err" || fail "the replaced lock is not said: $(cat "$work/err")"
rm -f "$lock"
echo "twenty foreign lockers at any moment of the open: one of the two had the port each time;" \
    "a dead lock replaced by a live one while taken over stays"
