#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tool where the field is hard on it, as root (as CI runs): runs racing
# for one port with the lock's removal slowed down, a disk that fills during a
# run and empties again,
# a lock folder that is read-only; and Wireshark capturing live from the
# listener (its extcap folder, which only root may change, in a mount namespace).
# Usage: FieldTest.sh BUILD_DIR SCENARIO   (lock-race, foreign-lock, killed-runs, signal-while-waiting,
#        full-disk, shared-records, read-error, read-only-locks, wireshark-live)
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

case $scenario in
lock-race)
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
    ;;
full-disk)
    # A small file system filled while a run records, emptied again before the next run: the next
    # run's log lines each start with their time stamp and the capture reads whole.
    can_mount
    phone
    mkdir "$work/disk"
    cat >"$work/inside.sh" <<'SCRIPT'
set -eu
tool=$1 device=$2 disk=$3
mount -t tmpfs -o size=64k tmpfs "$disk"
# A log ending in a line cut 40 bytes before a page boundary (another writer's), a good run's
# capture, then the rest of the disk filled: the next line cannot be written whole.
for i in $(seq 51); do printf '%079d\n' 0; done | head -c 4056 >"$disk/field.log"
"$tool" --run rd-on --device "$device" --capture "$disk/field.pcapng" >/dev/null
head -c 65536 /dev/zero >"$disk/filler" 2>/dev/null || true
status=0
"$tool" --run rd-on --device "$device" --log-file "$disk/field.log" --capture "$disk/field.pcapng" \
    >/dev/null 2>"$disk/../full.err" || status=$?
echo "full: $status"
# --map on the full disk: refused with 2, the settings file as it was.
rm "$disk/filler"
mkdir "$disk/Kelvra"
printf '[ports]\ncom1=/dev/ttyUSB0\n' >"$disk/Kelvra/kelvra-netmon.conf.keep"
cp "$disk/Kelvra/kelvra-netmon.conf.keep" "$disk/Kelvra/kelvra-netmon.conf"
head -c 65536 /dev/zero >"$disk/filler" 2>/dev/null || true
status=0
XDG_CONFIG_HOME=$disk "$tool" --map 2=/dev/ttyUSB1 >/dev/null 2>"$disk/../map.err" || status=$?
echo "map: $status"
cmp -s "$disk/Kelvra/kelvra-netmon.conf" "$disk/Kelvra/kelvra-netmon.conf.keep" && echo "map kept the file"
rm "$disk/filler"
"$tool" --run rd-on --device "$device" --log-file "$disk/field.log" --capture "$disk/field.pcapng" >/dev/null
echo "after: $?"
cp "$disk/field.log" "$disk/field.pcapng" "$disk/.."
SCRIPT
    unshare -m sh "$work/inside.sh" "$tool" "$device" "$work/disk" >"$work/statuses"
    grep -qx "full: 3" "$work/statuses" || fail "the run on the full disk: $(cat "$work/statuses" "$work/full.err")"
    grep -qx "after: 0" "$work/statuses" || fail "the run after it: $(cat "$work/statuses")"
    grep -q "No space left on device" "$work/full.err" || fail "the full disk is not said: $(cat "$work/full.err")"
    grep -qx "map: 2" "$work/statuses" || fail "--map on the full disk: $(cat "$work/statuses" "$work/map.err")"
    grep -qx "map kept the file" "$work/statuses" || fail "--map on the full disk changed the settings file"
    grep -q "No space left on device; the file is left as it is" "$work/map.err" || fail "--map: $(cat "$work/map.err")"
    glued=$(grep -v '^0*$' "$work/field.log" | grep -Ev "$stamped" || true)
    [ -z "$glued" ] || fail "lines without their time stamp: $glued"
    [ "$(grep -cE "$stamped" "$work/field.log")" -eq 7 ] || fail "the run after the full disk is not recorded whole"
    readable "$work/field.pcapng" "damaged\|cut short"
    echo "a full disk: status 3, said once; the next run recorded whole, the capture readable"
    ;;
shared-records)
    # A rack on a 64 KiB disk: four runs at once share one log file and one capture while another
    # program appends its own lines to the log, and the disk fills during the runs. No line of the
    # other program is cut or lost, every line of the log is whole, and the capture reads whole.
    can_mount
    mkdir "$work/disk"
    devices=()
    for i in 1 2 3 4; do
        phone --paced
        devices+=("$device")
    done
    cat >"$work/inside.sh" <<'SCRIPT'
set -u
tool=$1 disk=$2
shift 2
mount -t tmpfs -o size=64k tmpfs "$disk"
# Room for about a run and a half of records.
head -c 57344 /dev/zero >"$disk/filler"
# One process and one write a line (a shell's own echo may write a failed line again later).
( for i in $(seq 400); do
    /usr/bin/printf 'other program line %d\n' "$i" >>"$disk/shared.log" && echo "$i" >>"$disk/../other.ok"
done ) 2>/dev/null &
other=$!
runs=()
port=1
for device in "$@"; do
    "$tool" --run rd-on --com "$port" --device "$device" --log-file "$disk/shared.log" \
        --capture "$disk/shared.pcapng" >/dev/null 2>>"$disk/../runs.err" &
    runs+=($!)
    port=$((port + 1))
done
for run in "${runs[@]}"; do wait "$run"; echo "status $?"; done
wait "$other"
cp "$disk/shared.log" "$disk/shared.pcapng" "$disk/.."
SCRIPT
    unshare -m bash "$work/inside.sh" "$tool" "$work/disk" "${devices[@]}" >"$work/statuses"
    bad=$(grep -v -x -E 'status (0|3)' "$work/statuses" || true)
    [ -z "$bad" ] || fail "runs ended with $bad: $(cat "$work/runs.err")"
    grep -q "No space left on device" "$work/runs.err" || fail "the disk did not fill: $(cat "$work/statuses")"
    # The other program's own lines may be cut by the full disk (its echo said so); nothing else.
    strays=$(grep -v -E "$stamped|^other program line [0-9]+$|^o(t(h(e(r( (p(r(o(g(r(a(m( (l(i(n(e( [0-9]*)?)?)?)?)?)?)?)?)?)?)?)?)?)?)?)?)?)?$" \
        "$work/shared.log" || true)
    [ -z "$strays" ] || fail "lines cut or glued: $(head -n 5 <<<"$strays")"
    # Each line the other program wrote is there once. (One may follow a piece of a run's line that the
    # run could not take back because that line came after it: nothing is cut that is not provably the run's.)
    # The file may end in the other program's own cut line, which its printf said had failed.
    if [ -n "$(tail -c 1 "$work/shared.log")" ]; then sed '$d' "$work/shared.log"; else cat "$work/shared.log"; fi \
        >"$work/ended.log"
    while read -r i; do
        [ "$(grep -c "other program line $i\$" "$work/ended.log")" -eq 1 ] ||
            fail "the other program's line $i is lost or doubled: $(grep -n "other program line $i\$" "$work/ended.log")"
    done <"$work/other.ok"
    readable "$work/shared.pcapng" "damaged"
    echo "four runs and another program on one log and capture of a disk that filled:" \
        "$(grep -c . "$work/other.ok") foreign lines kept whole, every line whole, the capture readable"
    ;;
read-error)
    # The capture's reads failing from the tenth on (a failing stick or share): the earlier runs stay
    # as they were, the run says so and ends with 2.
    strace -qq -o /dev/null true 2>/dev/null || { echo "strace cannot trace here"; exit 77; }
    phone
    for i in 1 2 3; do "$tool" --run rd-on --device "$device" --capture "$work/day.pcapng" >/dev/null; done
    cp "$work/day.pcapng" "$work/before.pcapng"
    # A cut tail to tempt the opening into cutting.
    truncate -s -7 "$work/day.pcapng"
    cp "$work/day.pcapng" "$work/before.pcapng"
    # The loader's own reads of the program's libraries come first: the failures start after them.
    strace -f -qq -o "$work/loader" -e trace=pread64 "$tool" --version >/dev/null
    first=$(( $(grep -c pread64 "$work/loader") + 1 ))
    status=0
    strace -f -qq -o /dev/null -e trace=pread64 -e inject=pread64:error=EIO:when=$first+ \
        "$tool" --run rd-on --device "$device" --capture "$work/day.pcapng" >/dev/null 2>"$work/err" || status=$?
    [ "$status" -eq 2 ] || fail "status $status: $(cat "$work/err")"
    grep -q "cannot be read: Input/output error" "$work/err" || fail "the read error is not said: $(cat "$work/err")"
    cmp -s "$work/day.pcapng" "$work/before.pcapng" || fail "the capture was changed"
    # A long capture (33 MB) is opened in what its end takes: the next run never waits a second for it.
    while [ "$(stat -c %s "$work/day.pcapng")" -lt 33000000 ]; do cat "$work/day.pcapng" "$work/day.pcapng" >"$work/twice" &&
        mv "$work/twice" "$work/day.pcapng"; done
    "$tool" --run rd-on --device "$device" --capture "$work/day.pcapng" >/dev/null 2>&1 &
    first=$!
    "$tool" --run rd-on --device "$device" --capture "$work/day.pcapng" --com 2 >/dev/null 2>"$work/err2" || true
    wait "$first" || true
    grep -q "locked by another" "$work/err2" && fail "a run waited for another's opening: $(cat "$work/err2")"
    echo "a read error leaves the capture as it was (status 2); a 33 MB capture holds no run up"
    ;;
read-only-locks)
    # The lock folder read-only: a dead program's lock there cannot be taken over, and the user is told
    # why; without a lock there, the tool locks where it can.
    can_mount
    phone
    name=LCK..${device#/dev/}
    name=${name//pts\//pts_}
    cat >"$work/inside.sh" <<'SCRIPT'
set -u
tool=$1 device=$2 name=$3
mount -t tmpfs tmpfs /run/lock
sh -c 'exit 0' & dead=$!
wait $dead
printf '%10d\n' "$dead" >"/run/lock/$name"
mount -o remount,ro /run/lock
"$tool" --run off --device "$device" 2>&1 >/dev/null | head -n 1
echo "status: $?"
mount -o remount,rw /run/lock
rm "/run/lock/$name"
mount -o remount,ro /run/lock
"$tool" --run off --device "$device" >/dev/null 2>&1
echo "without a lock: $?"
SCRIPT
    unshare -m sh "$work/inside.sh" "$tool" "$device" "$name" >"$work/said"
    grep -q "cannot be taken over: the folder /var/lock is read-only\|cannot be taken over: the folder /run/lock is read-only" \
        "$work/said" || fail "a read-only lock folder: $(cat "$work/said")"
    grep -qx "without a lock: 0" "$work/said" || fail "without a lock there: $(cat "$work/said")"
    echo "a read-only lock folder is named as such"
    ;;
wireshark-live)
    # tshark -i m2bus-com1, Com1 being the virtual phone's tap, while another run drives the phone:
    # the capture holds the exchange, decoded by the dissector.
    command -v tshark >/dev/null || { echo "tshark is not installed"; exit 77; }
    can_mount
    extcap=$(tshark -G folders 2>/dev/null | sed -n 's/^Extcap path:[[:space:]]*//p')
    [ -d "$extcap" ] || { echo "no extcap folder"; exit 77; }
    "$build/kelvra-phone-sim" --quiet --tap --chunks 62/16 >"$work/device" &
    pids+=($!)
    for _ in $(seq 50); do [ "$(wc -l <"$work/device")" -ge 2 ] && break; sleep 0.1; done
    device=$(sed -n 1p "$work/device")
    tap=$(sed -n 2p "$work/device")
    mkdir "$work/extcap"
    ln -s "$(readlink -f "$tool")" "$work/extcap/kelvra-m2bus"
    cat >"$work/inside.sh" <<'SCRIPT'
set -eu
tool=$1 device=$2 extcap=$3 ours=$4 work=$5 dissector=$6
mount --bind "$ours" "$extcap"
tshark -D 2>/dev/null | grep -q "m2bus-com1 (M2BUS Com1)"
tshark -X "lua_script:$dissector" -i m2bus-com1 -a duration:4 -w "$work/live.pcapng" >/dev/null 2>&1 &
shark=$!
sleep 1.5
"$tool" --run rd-on --device "$device" >/dev/null
wait $shark
SCRIPT
    KELVRA_COM1=$tap unshare -m sh "$work/inside.sh" "$tool" "$device" "$extcap" "$work/extcap" "$work"         "$(dirname "$0")/../../packaging/wireshark/m2bus.lua" || fail "tshark did not list or capture m2bus-com1"
    decoded=$(tshark -2 -X "lua_script:$(dirname "$0")/../../packaging/wireshark/m2bus.lua" -r "$work/live.pcapng"         -T fields -e m2bus.checksum.status -e _ws.col.Info 2>/dev/null | grep -c '^1	' || true)
    [ "$decoded" -eq 14 ] || fail "the live capture holds $decoded good frames, not 14: $(tshark -r "$work/live.pcapng" 2>&1)"
    tshark -2 -X "lua_script:$(dirname "$0")/../../packaging/wireshark/m2bus.lua" -r "$work/live.pcapng" 2>/dev/null |
        grep -q "Reply seq 2 (copy 3 of 3)" || fail "the live capture is not decoded"
    echo "tshark -i m2bus-com1 captured and decoded the 14 frames of R&D test On"
    ;;
foreign-lock)
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
    ;;
killed-runs)
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
    ;;
signal-while-waiting)
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
    ;;
*)
    fail "no scenario $scenario"
    ;;
esac
