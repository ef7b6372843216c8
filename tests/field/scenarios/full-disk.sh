# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by FieldTest.sh, with its helpers.
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
