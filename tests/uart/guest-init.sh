#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# The UART test's guest: runs the scenario named on the kernel command line
# (kelvra.scenario=...) against the phone behind /dev/ttyS1, prints what it
# saw between "=== " markers on the console, and powers off.
. /prelude.sh

case "$scenario" in
probe) ;;
command)
    start=$(cut -d' ' -f1 /proc/uptime)
    kelvra-netmon --run rd-on --device /dev/ttyS1 --capture /tmp/line.pcapng >/tmp/out 2>/tmp/err
    status=$?
    echo "=== WALL_S $start $(cut -d' ' -f1 /proc/uptime)"
    echo "=== CAPTURE"
    od -An -v -tx1 /tmp/line.pcapng ;;
silent)
    kelvra-netmon --run rd-on --device /dev/ttyS1 >/tmp/out 2>/tmp/err &
    tool=$!
    sleep 1
    wait_figures "$tool" /dev/ttyS1
    wait "$tool"
    status=$? ;;
esac
echo "=== OUT"
cat /tmp/out 2>/dev/null
echo "=== ERR"
cat /tmp/err 2>/dev/null
echo "=== STATUS ${status:-none}"
echo "=== END"
poweroff -f
