#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# The USB adapter test's guest: loads the USB host and FTDI drivers, waits for
# the emulated adapter (/dev/ttyUSB0, the phone behind it), runs the scenario
# named on the kernel command line (kelvra.scenario=...), prints what it saw
# between "=== " markers on the console, and powers off. "=== PULL" and
# "=== PLUG" ask the host to pull the adapter out and plug it back in, and
# "=== PLUG-SPARE" to plug in a second adapter first, so that the phone's
# comes back under another number.
. /prelude.sh
for module in /modules/*.ko; do insmod "$module" || echo "=== NOT-LOADED $module"; done

now() { cut -d' ' -f1 /proc/uptime; }
# Milliseconds from uptime $1 to uptime $2.
ms() { echo "$1 $2" | awk '{ printf "%d", ($2 - $1) * 1000 }'; }
# Waits up to 10 s for the phone's adapter's node to be there ($1 = yes) or gone ($1 = no).
await() {
    for _ in $(seq 200); do
        node=$(phone_node)
        if [ "$1" = yes ] && [ -n "$node" ]; then return 0; fi
        if [ "$1" = no ] && [ -z "$node" ]; then return 0; fi
        sleep 0.05
    done
    echo "=== TIMEOUT waiting for the adapter: $1"
    return 1
}
# The node of the ttyUSB device whose USB serial number is $1; empty when there is none.
node_of() {
    for tty in /sys/class/tty/ttyUSB*; do
        [ -e "$tty" ] || continue
        serial=$(cat "$tty/device/../../serial" 2>/dev/null)
        [ "$serial" = "$1" ] && [ -e "/dev/${tty##*/}" ] && { echo "/dev/${tty##*/}"; return; }
    done
}
phone_node() { node_of KELVRA-PHONE; }
pull() { echo "=== PULL"; await no; }
plug() { echo "=== PLUG"; await yes; }
# Waits up to 5 s for file $1 to hold text $2.
await_text() {
    for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
    return 1
}
# Whether any process of the tool is left.
left() { for p in /proc/[0-9]*; do grep -q kelvra-netmon "$p/cmdline" 2>/dev/null && return 0; done; return 1; }
# Runs the tool in the background ($@ its arguments), its output in /tmp/$name.out and .err.
start() {
    name=$1
    shift
    kelvra-netmon "$@" >"/tmp/$name.out" 2>"/tmp/$name.err" &
    tool=$!
}
# Prints a run's output, error and status under its name.
report() {
    echo "=== OUT-$1"
    cat "/tmp/$1.out"
    echo "=== ERR-$1"
    cat "/tmp/$1.err"
    echo "=== STATUS-$1 $2"
}
# A run pulled while it waits: "=== GONE-<name> <ms from the node going to the run's end> <lock left> <processes left>".
pulled() {
    name=$1
    await_text "/tmp/$name.$2" "$3" || echo "=== NEVER-WAITED-$name"
    pull
    gone=$(now)
    wait "$tool"
    status=$?
    ended=$(now)
    lock=no
    [ -e /var/lock/LCK..ttyUSB0 ] && lock=yes
    processes=no
    left && processes=yes
    echo "=== GONE-$name $(ms "$gone" "$ended") $lock $processes"
    report "$name" "$status"
}
# A file's bytes as hex, for the host to read.
dump() {
    echo "=== FILE-$1"
    od -An -v -tx1 "$2"
}

await yes || { echo "=== END"; poweroff -f; }
device=$(phone_node)
echo "=== DEVICE $device"

case "$scenario" in
probe) ;;
commands)
    for command in off reset-timers operator-on rd-on; do
        start "$command" --run "$command" --device "$device"
        began=$(now)
        wait "$tool"
        status=$?
        echo "=== WALL-$command $(ms "$began" "$(now)")"
        report "$command" "$status"
    done ;;
silent)
    start silent --run rd-on --device "$device"
    await_text /tmp/silent.out "COM port open." || echo "=== NEVER-WAITED-silent"
    wait_figures "$tool" "$device"
    wait "$tool"
    report silent $? ;;
pull-command)
    start plain --run rd-on --device "$device"
    pulled plain out "COM port open."
    plug
    start recorded --run rd-on --device "$device" --capture /tmp/recorded.pcapng --log-file /tmp/recorded.log
    pulled recorded out "COM port open."
    dump capture /tmp/recorded.pcapng
    echo "=== LOG"
    cat /tmp/recorded.log ;;
pull-listen)
    start listen --listen --device "$device"
    pulled listen err "writing nothing"
    plug
    start wireshark --extcap-interface m2bus-com1 --capture --fifo /tmp/wireshark.pcapng --device "$device"
    # The capture source says nothing; it is listening once its capture has the port opened.
    await_text /tmp/wireshark.pcapng "9600 8O1" || echo "=== NEVER-WAITED-wireshark"
    pulled wireshark out ""
    dump wireshark /tmp/wireshark.pcapng ;;
replug)
    pull
    began=$(now)
    kelvra-netmon --run rd-on --device "$device" >/tmp/out.out 2>/tmp/out.err
    status=$?
    echo "=== WALL-out $(ms "$began" "$(now)")"
    report out "$status"
    plug
    kelvra-netmon --run rd-on --device "$(phone_node)" >/tmp/back.out 2>/tmp/back.err
    report back $?
    # The same phone under another number, named by a stable link as udev's /dev/serial/by-id would be.
    pull
    echo "=== PLUG-SPARE"
    for _ in $(seq 200); do [ -n "$(node_of KELVRA-SPARE)" ] && break; sleep 0.05; done
    echo "=== SPARE $(node_of KELVRA-SPARE)"
    for tty in /sys/class/tty/ttyUSB*; do echo "$tty $(cat "$tty/device/../../serial" 2>/dev/null)"; done
    plug
    echo "=== MOVED $(phone_node)"
    mkdir -p /dev/serial/by-id
    ln -sf "$(phone_node)" /dev/serial/by-id/usb-KELVRA-PHONE-if00-port0
    kelvra-netmon --run rd-on --device /dev/serial/by-id/usb-KELVRA-PHONE-if00-port0 >/tmp/moved.out 2>/tmp/moved.err
    report moved $? ;;
break)
    kelvra-netmon --run rd-on --device "$device" --capture /tmp/break.pcapng >/tmp/break.out 2>/tmp/break.err
    report break $?
    dump capture /tmp/break.pcapng ;;
esac
echo "=== END"
poweroff -f
