# SPDX-License-Identifier: MIT
# shellcheck shell=sh
# Sourced first by every guest's init: busybox's commands, /proc, /sys and /dev, a home and settings of
# its own, and $scenario, the one named on the kernel command line (kelvra.scenario=...), announced.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
export PATH=/bin HOME=/root XDG_CONFIG_HOME=/tmp/config LANG=C.UTF-8
scenario=$(sed -n 's/.*kelvra\.scenario=\([a-z-]*\).*/\1/p' /proc/cmdline)
echo "=== SCENARIO $scenario"

# While process $1 waits on device $2: the line as its driver holds it (STTY) and the CPU ticks the
# process takes in 4 s (CPU_TICKS_IN_4_S), for CheckWait; then the process is told to end.
wait_figures() {
    echo "=== STTY"
    stty -F "$2" -a
    before=$(awk '{ print $14 + $15 }' "/proc/$1/stat")
    sleep 4
    after=$(awk '{ print $14 + $15 }' "/proc/$1/stat")
    echo "=== CPU_TICKS_IN_4_S $((after - before))"
    kill -TERM "$1"
}
