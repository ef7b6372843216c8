#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Phones on a device server: Debian's ser2net, started here on 127.0.0.1 with
# RFC 2217 and raw TCP accepters in front of the virtual phone's pseudo-terminal
# at 115200 8N1. Every command through both, against the same run on the
# pseudo-terminal itself; the line at 9600 8O1 only while the tool has it over
# RFC 2217 (raw TCP keeps the server's settings); replies with 0xFF bytes; a
# server that is down, a name that does not resolve, a port in use, a server
# that does not speak RFC 2217, and a server that goes away while a run waits;
# --listen on a served tap; --capture of a remote run.
# Usage: DeviceServerTest.sh BUILD_DIR
set -euo pipefail
build=$1
tool=$build/kelvra-netmon
command -v ser2net >/dev/null || { echo "ser2net is not installed"; exit 77; }

source "$(dirname "$0")/../support/Scratch.sh"
ms() { echo $((($(date +%s%N) - $1) / 1000000)); }

phone() {  # name, options...: starts a virtual phone; its devices in $work/<name>
    local name=$1
    shift
    "$build/kelvra-phone-sim" --quiet "$@" >"$work/$name" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 50); do [ -s "$work/$name" ] && break; sleep 0.1; done
    [ -s "$work/$name" ] || fail "the virtual phone $name did not start"
}

listening() {  # whether something listens on 127.0.0.1:$1 (without connecting to it)
    local hex
    hex=$(printf '0100007F:%04X' "$1")
    grep -q " $hex 00000000:0000 0A " /proc/net/tcp
}

free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        listening "$port" || { echo "$port"; return; }
    done
}

serve() {  # name, device: ser2net with an RFC 2217 port ($rfc) and a raw one ($raw) at 115200 8N1
    local name=$1 device=$2
    rfc=$(free_port)
    raw=$(free_port)
    while [ "$raw" = "$rfc" ]; do raw=$(free_port); done
    cat >"$work/$name.yaml" <<CONF
%YAML 1.1
---
connection: &${name}2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$rfc
  connector: serialdev,$device,115200n81,local
connection: &${name}raw
  accepter: tcp,127.0.0.1,$raw
  connector: serialdev,$device,115200n81,local
CONF
    ser2net -n -c "$work/$name.yaml" -P "$work/$name.pid" >"$work/$name.log" 2>&1 &
    server=$!
    pids+=($server)
    for _ in $(seq 100); do listening "$rfc" && listening "$raw" && return; sleep 0.05; done
    fail "ser2net did not listen: $(cat "$work/$name.log")"
}

# Every command through both accepters, with the output and status of the same run on the line itself.
# (The local runs go to a phone of their own: ser2net lets go of its device a moment after its client.)
phone good
phone good_local
serve good "$(head -n 1 "$work/good")"
# (ser2net frees the device of one accepter shortly after its client leaves: each accepter in turn.)
for device in "rfc2217://127.0.0.1:$rfc" "tcp://127.0.0.1:$raw"; do
    for command in operator-on rd-on off reset-timers; do
        "$tool" --run "$command" --device "$(head -n 1 "$work/good_local")" >"$work/local.out" 2>&1 ||
            fail "$command locally"
        status=0
        "$tool" --run "$command" --device "$device" >"$work/remote.out" 2>&1 || status=$?
        [ "$status" -eq 0 ] || fail "$command on $device: status $status: $(cat "$work/remote.out")"
        diff "$work/local.out" "$work/remote.out" || fail "$command on $device differs from the local run"
    done
    sleep 1
done
echo "every command through RFC 2217 and raw TCP, as on the line itself"

# Replies whose type bytes are 0xFF: escaped by the server, taken back whole.
phone ff --reply-type FFFF
phone ff_local --reply-type FFFF
serve ff "$(head -n 1 "$work/ff")"
"$tool" --run rd-on --device "rfc2217://127.0.0.1:$rfc" --capture "$work/ff.pcapng" >"$work/ff.out" 2>&1 ||
    fail "replies with 0xFF bytes: $(cat "$work/ff.out")"
grep -q "R&D Test On" "$work/ff.out" || fail "replies with 0xFF bytes: $(cat "$work/ff.out")"
grep -q "rfc2217://127.0.0.1:$rfc" "$work/ff.pcapng" || fail "the capture does not name the device server"
if command -v tshark >/dev/null; then
    dissector=$(dirname "$0")/../../packaging/wireshark/m2bus.lua
    good_frames() { tshark -2 -X "lua_script:$dissector" -r "$1" -T fields -e m2bus.checksum.status 2>/dev/null |
        grep -c '^1$' || true; }
    "$tool" --run rd-on --device "$(head -n 1 "$work/ff_local")" --capture "$work/local.pcapng" >/dev/null 2>&1
    [ "$(good_frames "$work/ff.pcapng")" -eq "$(good_frames "$work/local.pcapng")" ] ||
        fail "the capture of a remote run holds $(good_frames "$work/ff.pcapng") good frames, a local one $(good_frames "$work/local.pcapng")"
fi
echo "replies with 0xFF bytes pass whole; --capture of a remote run names the server and holds its frames whole"

# The line as the server sets it while a run waits on a silent phone: 9600 8O1 asked over RFC 2217,
# the server's own 115200 8N1 over raw TCP.
phone silent --fault silent
silent=$(head -n 1 "$work/silent")
serve silent "$silent"
line_while_waiting() {  # device: stty's view of the line one second into the run
    "$tool" --run rd-on --device "$1" >/dev/null 2>&1 &
    local run=$!
    sleep 1
    stty -F "$silent" -a
    kill "$run"
    wait "$run" 2>/dev/null || true
    sleep 1
}
settings=$(line_while_waiting "rfc2217://127.0.0.1:$rfc")
# (A pseudo-terminal never keeps parity enabled: the odd parity asked for shows as parodd.)
for want in "speed 9600 baud" " cs8" " parodd" " -cstopb" " -crtscts"; do
    grep -q -- "$want" <<<"$settings" || fail "over RFC 2217 the line is not 9600 8O1 ($want): $settings"
done
settings=$(line_while_waiting "tcp://127.0.0.1:$raw")
for want in "speed 115200 baud" " -parodd"; do
    grep -q -- "$want" <<<"$settings" || fail "over raw TCP the line is not the server's 115200 8N1 ($want): $settings"
done
echo "RFC 2217 sets 9600 8O1 on a server set to 115200 8N1; raw TCP keeps the server's settings"

# Faults at opening: status 1 within 5 s, the address and the system's reason named.
expect_fault() {  # device, text expected, limit in ms
    local started status=0
    started=$(date +%s%N)
    "$tool" --run rd-on --device "$1" >"$work/fault.out" 2>&1 || status=$?
    local took
    took=$(ms "$started")
    [ "$status" -eq 1 ] || fail "$1: status $status, not 1: $(cat "$work/fault.out")"
    grep -q -- "$2" "$work/fault.out" || fail "$1: no \"$2\" in: $(cat "$work/fault.out")"
    [ "$took" -lt "$3" ] || fail "$1: $took ms to fail"
    echo "$1: \"$(grep -m1 -- "$2" "$work/fault.out" | sed 's/^kelvra-netmon: //')\", status 1 in $took ms"
}
down=$(free_port)
expect_fault "rfc2217://127.0.0.1:$down" "cannot connect to 127.0.0.1:$down: Connection refused" 5000
expect_fault "tcp://[::1]:$down" "cannot connect to \[::1\]:$down" 5000
expect_fault "tcp://no-such-server.invalid:$down" "cannot connect to no-such-server.invalid:$down: Host not found" 5000
expect_fault "rfc2217://127.0.0.1:$raw" "127.0.0.1:$raw did not answer the line settings within 1.5 s" 7000
# interrupt DEVICE WAIT VICTIM: a run on DEVICE, and WAIT seconds in, VICTIM (a process, or "run" for the
# run itself) sent SIGTERM; sets the run's status and the milliseconds it took to end. Output in gone.out.
interrupt() {
    "$tool" --run rd-on --device "$1" >"$work/gone.out" 2>&1 &
    local run=$!
    sleep "$2"
    local started victim=$3
    [ "$victim" != run ] || victim=$run
    started=$(date +%s%N)
    kill -TERM "$victim"
    status=0
    wait "$run" || status=$?
    took=$(ms "$started")
}

# SIGTERM while the opening waits for a server that does not answer: the run ends at once.
interrupt "rfc2217://127.0.0.1:$raw" 0.7 run
[ "$status" -eq 143 ] || fail "SIGTERM during a network opening: status $status, not 143"
[ "$took" -lt 500 ] || fail "SIGTERM during a network opening took $took ms"
echo "SIGTERM while the opening waits for the server: status 143 in $took ms"
sleep 1
# A port in use: ser2net turns a second client away.
for device in "rfc2217://127.0.0.1:$rfc" "tcp://127.0.0.1:$raw"; do
    "$tool" --run rd-on --device "$device" >"$work/holder.out" 2>&1 &
    holder=$!
    sleep 1
    kill -0 "$holder" 2>/dev/null || fail "the run holding $device ended: $(cat "$work/holder.out")"
    expect_fault "$device" ": in use (127.0.0.1:" 5000
    kill "$holder"
    wait "$holder" 2>/dev/null || true
    sleep 1  # ser2net frees the device shortly after the holder leaves: the next holder must get it
done
# No lock is named after a server's address; other runs' pseudo-terminals (LCK..pts_127) may hold theirs.
! ls /var/lock/LCK..* 2>/dev/null | grep -qE 'rfc2217|tcp|127\.0\.0\.1' || fail "a lock file was made for a network port"

# The server gone while a run waits for the phone: the device is gone at once, not the phone's time-outs.
for kind in rfc2217 tcp; do
    device=rfc2217://127.0.0.1:$rfc
    [ "$kind" = rfc2217 ] || device=tcp://127.0.0.1:$raw
    interrupt "$device" 1 "$server"
    [ "$status" -eq 1 ] || fail "$device: the server gone gave status $status: $(cat "$work/gone.out")"
    grep -q "$device: the device is gone" "$work/gone.out" || fail "$device: the server gone: $(cat "$work/gone.out")"
    [ "$took" -lt 1000 ] || fail "$device: the server's going took $took ms to notice"
    echo "$device: the server gone mid-exchange: the device is gone, status 1 in $took ms"
    serve silent "$silent"
done

# Listening on a served tap while the phone is driven on its own line.
phone tapped --tap
serve tap "$(sed -n 2p "$work/tapped")"
"$tool" --listen --device "rfc2217://127.0.0.1:$rfc" >"$work/listen.out" 2>&1 &
listener=$!
sleep 1
"$tool" --run rd-on --device "$(head -n 1 "$work/tapped")" >/dev/null
sleep 0.5
kill -TERM "$listener"
wait "$listener" || true
frames=$(grep -c ' ms  ' "$work/listen.out" || true)
[ "$frames" -eq 14 ] || fail "--listen on a served tap heard $frames frames: $(cat "$work/listen.out")"
echo "--listen on a served tap: the 14 frames of R&D test On"
