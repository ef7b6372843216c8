# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by FieldTest.sh, with its helpers.
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
