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
